// win32.cpp - the platform table over the real Win32 calls.
//
// Output files go through the C run-time's open()/write()/close(), as the
// installer has always done: open(path, 0x8301, 0x1C0) is write-only,
// created, truncated and untranslated, with a mode that leaves the new file
// writable. File times are set on the run-time handle's OS handle.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "platform/platform.h"

namespace {

uint32_t GetCurrentDirectoryWin32(uint32_t size, char* buffer) {
  DWORD n = GetCurrentDirectoryA(size, buffer);
  return n < size ? n : 0;
}

bool SetCurrentDirectoryWin32(const char* path) { return SetCurrentDirectoryA(path) != 0; }
bool CreateDirectoryWin32(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }
uint32_t GetFileAttributesWin32(const char* path) { return GetFileAttributesA(path); }
bool SetFileAttributesWin32(const char* path, uint32_t attributes) {
  return SetFileAttributesA(path, attributes) != 0;
}
bool DeleteFileWin32(const char* path) { return DeleteFileA(path) != 0; }
bool RemoveDirectoryWin32(const char* path) { return RemoveDirectoryA(path) != 0; }

int32_t OpenForWriteWin32(const char* path) {
  return _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE | 0x40);
}

int32_t WriteWin32(int32_t handle, const void* bytes, uint32_t count) {
  if (handle < 0) return -1;
  return _write(handle, bytes, count);
}

void CloseWin32(int32_t handle) {
  if (handle >= 0) _close(handle);
}

bool SetLastWriteTimeWin32(int32_t handle, uint32_t dosDateTime) {
  if (handle < 0) return false;
  FILETIME local;
  FILETIME utc;
  if (!DosDateTimeToFileTime(WORD(dosDateTime >> 16), WORD(dosDateTime & 0xFFFF), &local)) return false;
  if (!LocalFileTimeToFileTime(&local, &utc)) return false;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(handle));
  return SetFileTime(h, nullptr, nullptr, &utc) != 0;
}

intptr_t CreateFileWin32(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0,
                         nullptr);
  return reinterpret_cast<intptr_t>(h);
}

bool WriteFileWin32(intptr_t file, const void* bytes, uint32_t count, uint32_t* written) {
  DWORD n = 0;
  const BOOL ok = WriteFile(reinterpret_cast<HANDLE>(file), bytes, count, &n, nullptr);
  *written = n;
  return ok != 0;
}

void CloseFileWin32(intptr_t file) {
  if (file != kNoFile) CloseHandle(reinterpret_cast<HANDLE>(file));
}

// The resource belongs to the program's own module, whose handle is the
// instance handle WinMain receives.
bool FindPayloadWin32(const uint8_t** data, uint32_t* size) {
  *data = nullptr;
  *size = 0;
  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(10), MAKEINTRESOURCEA(10) /* RT_RCDATA is type 10 too */);
  if (!resource) return false;
  const DWORD n = SizeofResource(nullptr, resource);
  HGLOBAL loaded = LoadResource(nullptr, resource);
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes) return false;
  *data = static_cast<const uint8_t*>(bytes);
  *size = n;
  return true;
}

}  // namespace

const PlatformOps kNativePlatform = {
    GetCurrentDirectoryWin32, SetCurrentDirectoryWin32, CreateDirectoryWin32,
    GetFileAttributesWin32,   SetFileAttributesWin32,   DeleteFileWin32,
    RemoveDirectoryWin32,     OpenForWriteWin32,        WriteWin32,
    CloseWin32,               SetLastWriteTimeWin32,    CreateFileWin32,
    WriteFileWin32,           CloseFileWin32,           FindPayloadWin32,
};
const PlatformOps* platform = &kNativePlatform;
