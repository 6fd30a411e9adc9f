# Compiler settings shared by every target: warnings as the project keeps
# them (the code builds warning-free with -Wall -Wextra on both toolchains),
# sanitizers when asked, and static run-time libraries for Windows so the
# programs start under Wine and on a bare Windows without MinGW's DLLs.
add_compile_options(-Wall -Wextra)

if(QMK_FUZZ)
  # Coverage for libFuzzer in every library; the fuzz targets link the
  # fuzzer's main themselves.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
if(QMK_SANITIZE OR QMK_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  add_link_options(-static -static-libgcc -static-libstdc++)
  # Lets the linker drop every function a program does not use. (Data stay
  # whole: with data sections MinGW would give zeroed arrays file space.)
  add_compile_options(-ffunction-sections)
endif()

# The wrapper that runs Windows programs under Wine for ctest.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh")
endif()
