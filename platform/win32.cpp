// win32.cpp - the platform table over the real Win32 calls.
//
// Output files are opened as the C run-time's open(path, 0x8301, 0x1C0)
// opens them (write-only, created, truncated, untranslated, the new file
// writable): CreateFileA with GENERIC_WRITE, read and write sharing,
// CREATE_ALWAYS and FILE_ATTRIBUTE_NORMAL, and written with WriteFile. The
// run-time's own descriptor table is left out: it adds a GetFileType per
// file, which under Wine is a round trip to the server. The handle is the
// table's int32_t handle (INVALID_HANDLE_VALUE is kNoHandle). Shell links go
// through the shell's own link object, the uninstall key through the
// registry calls.
#include <cstring>
#include <windows.h>
#include <objidl.h>
#include <shlobj.h>

#include "platform/platform.h"

namespace {

uint32_t GetCurrentDirectoryWin32(uint32_t size, char* buffer) {
  DWORD n = GetCurrentDirectoryA(size, buffer);
  return n < size ? n : 0;
}

bool SetCurrentDirectoryWin32(const char* path) { return SetCurrentDirectoryA(path) != 0; }
bool CreateDirectoryWin32(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }
// Only the errors that say the path is not there mean "missing"; any other
// failure (access denied, sharing, a device not ready) leaves it unknown.
uint32_t GetFileAttributesWin32(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) return attributes;
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_PATHNAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return kNoAttributes;
    default:
      return kAttributesUnknown;
  }
}
// The bits SetFileAttributes sets; others (directory, compressed, ...) it
// ignores. A file that has them all as asked already is left alone: asking
// costs a stat, setting opens and closes the file.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
bool SetFileAttributesWin32(const char* path, uint32_t attributes) {
  const DWORD current = GetFileAttributesA(path);
  if (current != INVALID_FILE_ATTRIBUTES && !(current & FILE_ATTRIBUTE_DIRECTORY) &&
      (current & kSettableAttributes) == (attributes & kSettableAttributes)) {
    return true;
  }
  return SetFileAttributesA(path, attributes) != 0;
}
bool DeleteFileWin32(const char* path) { return DeleteFileA(path) != 0; }
bool RemoveDirectoryWin32(const char* path) { return RemoveDirectoryA(path) != 0; }

HANDLE OsHandle(int32_t handle) { return reinterpret_cast<HANDLE>(intptr_t(handle)); }

int32_t OpenForWriteWin32(const char* path) {
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &security, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? kNoHandle : int32_t(reinterpret_cast<intptr_t>(h));
}

bool CanReplaceWin32(const char* path) {
  // The open OpenForWriteWin32 makes, without truncating: it fails for a
  // read-only file, a running program's image, or one opened without
  // sharing by someone else.
  HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

int32_t WriteWin32(int32_t handle, const void* bytes, uint32_t count) {
  if (handle == kNoHandle) return -1;
  DWORD written = 0;
  if (!WriteFile(OsHandle(handle), bytes, count, &written, nullptr) && written == 0) return -1;
  return int32_t(written);
}

bool CloseWin32(int32_t handle) { return handle != kNoHandle && CloseHandle(OsHandle(handle)) != 0; }

bool SetLastWriteTimeWin32(int32_t handle, uint32_t dosDateTime) {
  if (handle == kNoHandle) return false;
  FILETIME local;
  FILETIME utc;
  if (!DosDateTimeToFileTime(WORD(dosDateTime >> 16), WORD(dosDateTime & 0xFFFF), &local)) return false;
  if (!LocalFileTimeToFileTime(&local, &utc)) return false;
  return SetFileTime(OsHandle(handle), nullptr, nullptr, &utc) != 0;
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

bool CloseFileWin32(intptr_t file) { return file != kNoFile && CloseHandle(reinterpret_cast<HANDLE>(file)) != 0; }

int64_t ReadFileWin32(const char* path, void* buffer, uint32_t size) {
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  DWORD high = 0;
  const DWORD low = GetFileSize(h, &high);
  int64_t total = (int64_t(high) << 32) | low;
  DWORD want = total < size ? DWORD(total) : size;
  DWORD got = 0;
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) total = -1;
  if (total >= 0 && want && (!ReadFile(h, buffer, want, &got, nullptr) || got != want)) total = -1;
  CloseHandle(h);
  return total;
}

// The payload read from the program's own file. The image maps the
// resource section too, but every page of it the installation touched would
// stay in memory until the end; views of the file are unmapped once the
// reader has moved past them, so only about a view's worth is held at a
// time. When the file cannot be opened and mapped (or does not hold the
// resource's bytes where the section table says), the image serves.
struct PayloadFile {
  bool tried;
  HANDLE mapping;          // nullptr: read through the image
  const uint8_t* image;    // the resource as the image maps it
  uint32_t size;
  uint64_t fileOffset;     // of the resource's first byte
  uint32_t granularity;    // views start on multiples of it
  const uint8_t* view;
  uint64_t viewStart;      // file offset of view[0]
  uint32_t viewLength;
};
PayloadFile payloadFile;
constexpr uint32_t kPayloadViewBytes = 256 * 1024;
const uint8_t* PayloadViewWin32(uint32_t offset, uint32_t length);

// Where the resource's bytes lie in the program's file, from the section
// table of the loaded image; false when no section holds all of them as
// file data.
bool ResourceFileOffset(const uint8_t* resource, uint32_t size, uint64_t* offset) {
  const uint8_t* base = reinterpret_cast<const uint8_t*>(GetModuleHandleA(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (!base || dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE || resource < base) return false;
  const uintptr_t rva = uintptr_t(resource - base);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; i++, section++) {
    const uintptr_t start = section->VirtualAddress;
    if (rva < start || rva - start > section->SizeOfRawData || size > section->SizeOfRawData - (rva - start)) {
      continue;
    }
    *offset = uint64_t(section->PointerToRawData) + (rva - start);
    return true;
  }
  return false;
}

void OpenPayloadFile() {
  PayloadFile& p = payloadFile;
  p.tried = true;
  uint64_t offset = 0;
  if (!ResourceFileOffset(p.image, p.size, &offset)) return;
  static wchar_t path[1024];
  const DWORD n = GetModuleFileNameW(nullptr, path, sizeof path / sizeof path[0]);
  if (n == 0 || n >= sizeof path / sizeof path[0] - 1) return;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER length;
  HANDLE mapping = nullptr;
  if (GetFileSizeEx(file, &length) && uint64_t(length.QuadPart) >= offset + p.size) {
    mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  }
  CloseHandle(file);  // the mapping keeps the file open
  if (!mapping) return;
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  p.mapping = mapping;
  p.fileOffset = offset;
  p.granularity = system.dwAllocationGranularity ? system.dwAllocationGranularity : 0x10000;
  // The file must hold what the image holds; its first bytes are compared
  // (one page of the image is touched for it).
  const uint32_t probe = p.size < 64 ? p.size : 64;
  const uint8_t* head = probe ? PayloadViewWin32(0, probe) : p.image;
  if (!head || memcmp(head, p.image, probe) != 0) {
    if (p.view) UnmapViewOfFile(p.view);
    p.view = nullptr;
    CloseHandle(p.mapping);
    p.mapping = nullptr;
  }
}

const uint8_t* PayloadViewWin32(uint32_t offset, uint32_t length) {
  PayloadFile& p = payloadFile;
  if (!p.image || offset > p.size || length > p.size - offset) return nullptr;
  if (!p.tried) OpenPayloadFile();
  if (!p.mapping) return p.image + offset;
  const uint64_t want = p.fileOffset + offset;
  if (p.view && want >= p.viewStart && want + length <= p.viewStart + p.viewLength) {
    return p.view + (want - p.viewStart);
  }
  if (p.view) UnmapViewOfFile(p.view);
  p.view = nullptr;
  const uint64_t start = want & ~uint64_t(p.granularity - 1);  // a power of two
  const uint64_t end = p.fileOffset + p.size;
  uint64_t stop = start + kPayloadViewBytes;
  if (stop < want + length) stop = want + length;
  if (stop > end) stop = end;
  void* view = MapViewOfFile(p.mapping, FILE_MAP_READ, DWORD(start >> 32), DWORD(start), SIZE_T(stop - start));
  if (!view) return p.image + offset;  // the same bytes, through the image
  p.view = static_cast<const uint8_t*>(view);
  p.viewStart = start;
  p.viewLength = uint32_t(stop - start);
  return p.view + (want - start);
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
  payloadFile.image = *data;
  payloadFile.size = n;
  return true;
}

uint32_t GetShortPathNameWin32(const char* path, char* buffer, uint32_t size) {
  const DWORD n = GetShortPathNameA(path, buffer, size);
  return n < size ? n : 0;
}

bool GetProgramsFolderWin32(char* buffer, uint32_t size) {
  if (size < MAX_PATH) return false;
  buffer[0] = 0;
  LPITEMIDLIST list = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAMS, &list)) || !list) return false;
  // The shell writes at most MAX_PATH characters, which the caller has room for.
  const bool found = SHGetPathFromIDListA(list, buffer) && buffer[0];
  CoTaskMemFree(list);
  if (!found) buffer[0] = 0;
  return found;
}

void InitializeComWin32() { CoInitialize(nullptr); }

// A prepared link: the link object and its IPersistFile, in one allocation.
struct PreparedLink {
  IShellLinkA* link;
  IPersistFile* file;
};

intptr_t PrepareShortcutWin32(const char* target, const char* workingDirectory, const char* description,
                              const char* arguments, int icon) {
  IShellLinkA* link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void**>(&link)))) {
    return 0;
  }
  link->SetPath(target);
  link->SetWorkingDirectory(workingDirectory);
  link->SetDescription(description);
  link->SetArguments(arguments);
  if (icon != 0) link->SetIconLocation(target, icon);
  IPersistFile* file = nullptr;
  PreparedLink* prepared = static_cast<PreparedLink*>(HeapAlloc(GetProcessHeap(), 0, sizeof(PreparedLink)));
  if (!prepared || FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
    if (prepared) HeapFree(GetProcessHeap(), 0, prepared);
    link->Release();
    return 0;
  }
  prepared->link = link;
  prepared->file = file;
  return reinterpret_cast<intptr_t>(prepared);
}

bool SaveShortcutWin32(intptr_t shortcut, const char* link) {
  PreparedLink* prepared = reinterpret_cast<PreparedLink*>(shortcut);
  if (!prepared) return false;
  wchar_t wide[MAX_PATH];
  const bool converted = link && MultiByteToWideChar(CP_ACP, 0, link, -1, wide, MAX_PATH) != 0;
  const bool saved = converted && SUCCEEDED(prepared->file->Save(wide, TRUE));
  prepared->file->Release();
  prepared->link->Release();
  HeapFree(GetProcessHeap(), 0, prepared);
  return saved;
}

intptr_t CreateRegistryKeyWin32(const char* parent, const char* subkey) {
  HKEY parentKey = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent, 0, KEY_ALL_ACCESS, &parentKey) != ERROR_SUCCESS) return 0;
  HKEY key = nullptr;
  const LONG created =
      RegCreateKeyExA(parentKey, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegCloseKey(parentKey);
  return created == ERROR_SUCCESS ? reinterpret_cast<intptr_t>(key) : 0;
}

bool SetRegistryStringWin32(intptr_t key, const char* name, const char* value) {
  return RegSetValueExA(reinterpret_cast<HKEY>(key), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                        DWORD(lstrlenA(value) + 1)) == ERROR_SUCCESS;
}

bool FlushRegistryKeyWin32(intptr_t key) { return RegFlushKey(reinterpret_cast<HKEY>(key)) == ERROR_SUCCESS; }
void CloseRegistryKeyWin32(intptr_t key) { RegCloseKey(reinterpret_cast<HKEY>(key)); }

void DescribeLastErrorWin32(char* buffer, uint32_t size) {
  if (!size) return;
  const DWORD code = GetLastError();
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                           size, nullptr);
  if (n == 0 && size >= 24) n = DWORD(wsprintfA(buffer, "error %lu", code));
  while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == '.' || buffer[n - 1] == ' ')) n--;
  buffer[n] = 0;
}

}  // namespace

const PlatformOps kNativePlatform = {
    GetCurrentDirectoryWin32, SetCurrentDirectoryWin32, CreateDirectoryWin32,
    GetFileAttributesWin32,   SetFileAttributesWin32,   DeleteFileWin32,
    RemoveDirectoryWin32,     OpenForWriteWin32,        CanReplaceWin32,          WriteWin32,
    CloseWin32,               SetLastWriteTimeWin32,    CreateFileWin32,
    WriteFileWin32,           CloseFileWin32,           ReadFileWin32,           FindPayloadWin32,
    PayloadViewWin32,
    GetShortPathNameWin32,    GetProgramsFolderWin32,   InitializeComWin32,
    PrepareShortcutWin32,     SaveShortcutWin32,        CreateRegistryKeyWin32,
    SetRegistryStringWin32,   FlushRegistryKeyWin32,    CloseRegistryKeyWin32,
    DescribeLastErrorWin32,
};
const PlatformOps* platform = &kNativePlatform;
