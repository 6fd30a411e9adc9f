// loadlib.cpp - the control for the planted-DLL test: a program that loads
// DLLs by bare name with the system's default search order, which looks in
// the program's own folder first. Placed beside the planted DLLs, it shows
// that each of them is loadable from there, so that the installer's not
// loading them means something. It imports nothing but kernel32 and the C
// run-time, so no planted name is drawn in when it starts.
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
