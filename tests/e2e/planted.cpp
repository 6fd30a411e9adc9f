// planted.cpp - a DLL planted beside the installer: loading it leaves
// NAME.loaded beside it, holding the path of the program that loaded it.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char marker[MAX_PATH + 16];
  const DWORD n = GetModuleFileNameA(instance, marker, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return TRUE;
  lstrcatA(marker, ".loaded");
  HANDLE f = CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f != INVALID_HANDLE_VALUE) {
    char host[MAX_PATH];
    const DWORD len = GetModuleFileNameA(nullptr, host, MAX_PATH);
    DWORD written = 0;
    WriteFile(f, host, len, &written, nullptr);
    CloseHandle(f);
  }
  return TRUE;
}
