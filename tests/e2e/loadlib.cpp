// loadlib.cpp - the planted-DLL test's control: loads DLLs by bare name with
// the default search order, importing nothing a planted name could replace.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    HMODULE m = LoadLibraryA(argv[i]);
    char path[MAX_PATH] = "<not loaded>";
    if (m) GetModuleFileNameA(m, path, sizeof path);
    printf("loaded name=%s path=%s\n", argv[i], path);
  }
  return 0;
}
