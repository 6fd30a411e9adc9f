// platform.h - what the installation needs of the operating system.
//
// One small table of plain functions with Win32 semantics: paths are 8-bit
// strings with "\" as separator, the current directory is process-wide and
// relative names resolve against it, attributes are Win32 attribute bits.
// Three implementations sit behind it: Win32 (the real calls), POSIX (host
// tools; "\" in a path becomes "/"; no shell or registry), and an in-memory
// system for tests (files, shell links and a registry).
// `platform` points at the one in use; it starts at the build's native one.
// The windows are not behind it: everything from the extraction to the
// uninstall registration is, so the whole installation runs in tests.
#pragma once

#include <cstdint>

// getFileAttributes of a path that does not exist, and of one the system
// could not look at (it may exist: access denied, a device not ready...).
// Only the first allows creating something there.
constexpr uint32_t kNoAttributes = 0xFFFFFFFFu;
constexpr uint32_t kAttributesUnknown = 0xFFFFFFFEu;
constexpr int32_t kNoHandle = -1;
constexpr intptr_t kNoFile = -1;  // INVALID_HANDLE_VALUE of CreateFileA

struct PlatformOps {
  // The current directory without a final "\" except at a drive's root;
  // returns its length, 0 on failure (or when it does not fit `size`).
  uint32_t (*getCurrentDirectory)(uint32_t size, char* buffer);
  bool (*setCurrentDirectory)(const char* path);
  bool (*createDirectory)(const char* path);
  // The path's attribute bits; kNoAttributes when it does not exist,
  // kAttributesUnknown when that cannot be told.
  uint32_t (*getFileAttributes)(const char* path);
  bool (*setFileAttributes)(const char* path, uint32_t attributes);
  bool (*deleteFile)(const char* path);
  bool (*removeDirectory)(const char* path);
  // Opens for writing, created if missing, truncated if present, binary;
  // the new file is not read-only. kNoHandle on failure.
  int32_t (*openForWrite)(const char* path);
  // Whether an existing file could be opened for writing now: it is not
  // read-only, access to it is allowed, and no one holds it open (a running
  // program, an open document). Nothing about the file changes.
  bool (*canReplace)(const char* path);
  // Bytes written, or -1 (also for kNoHandle).
  int32_t (*write)(int32_t handle, const void* bytes, uint32_t count);
  // The handle is released whatever happens; false when the system reports
  // a failure (data it had not yet written may be lost) or for kNoHandle.
  bool (*close)(int32_t handle);
  // Last-write time from an MS-DOS date (high 16 bits) and time (low 16
  // bits) read as local time.
  bool (*setLastWriteTime)(int32_t handle, uint32_t dosDateTime);

  // The install log's file, a system file handle rather than a run-time one:
  // CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, no
  // security, CREATE_ALWAYS, 0, no template), so an earlier file is
  // truncated. kNoFile on failure; writing or closing kNoFile fails quietly.
  intptr_t (*createFile)(const char* path);
  // WriteFile: true when the call succeeded; `written` gets the count taken.
  bool (*writeFile)(intptr_t file, const void* bytes, uint32_t count, uint32_t* written);
  // As close: released whatever happens, false on failure or for kNoFile.
  bool (*closeFile)(intptr_t file);
  // Reads an existing file from its start: at most `size` bytes into
  // `buffer`. Returns the file's whole size (which may be more than was
  // read), or -1 when it cannot be opened or read.
  int64_t (*readFile)(const char* path, void* buffer, uint32_t size);

  // The payload: resource 10 of type RT_RCDATA of the running program, its
  // address and size. False (and an empty image) when there is none.
  bool (*findPayload)(const uint8_t** data, uint32_t* size);
  // The payload's bytes without going through its address: `length` bytes
  // (at most 65,536) from `offset` on, both inside the payload, valid until
  // the next call; nullptr when they cannot be read. Windows reads them from
  // the program's file in views it unmaps again, so an installation does
  // not keep the whole payload in memory. Null where the address serves.
  const uint8_t* (*payloadView)(uint32_t offset, uint32_t length);

  // GetShortPathNameA: the short (8.3) form of an existing path into
  // `buffer`; its length, 0 on failure or when it does not fit `size`.
  uint32_t (*getShortPathName)(const char* path, char* buffer, uint32_t size);
  // The current user's Start-menu Programs folder (CSIDL_PROGRAMS), without
  // a final "\", into `buffer` of `size` bytes. False, `buffer` empty, when
  // the shell cannot resolve it.
  bool (*getProgramsFolder)(char* buffer, uint32_t size);
  // CoInitialize(NULL) on the calling thread, once, before the first link.
  void (*initializeCom)();
  // A shell link object (CLSID_ShellLink, IShellLinkA) with its path,
  // working directory, description and arguments set, and with `icon` not 0
  // the icon of that number in `target`; then its IPersistFile. 0 when the
  // object or its IPersistFile cannot be had (nothing is left over).
  intptr_t (*prepareShortcut)(const char* target, const char* workingDirectory, const char* description,
                              const char* arguments, int icon);
  // IPersistFile::Save of a prepared link to the absolute path `link` (at
  // most 259 characters), then the object's release, also when it fails.
  // With `link` null the object is released unsaved.
  bool (*saveShortcut)(intptr_t shortcut, const char* link);
  // HKEY_LOCAL_MACHINE\`parent` opened with all access, and its subkey
  // `subkey` created or opened (REG_OPTION_NON_VOLATILE, all access): the
  // subkey's handle, 0 on failure.
  intptr_t (*createRegistryKey)(const char* parent, const char* subkey);
  // A REG_SZ value stored with its terminating zero counted.
  bool (*setRegistryString)(intptr_t key, const char* name, const char* value);
  bool (*flushRegistryKey)(intptr_t key);
  void (*closeRegistryKey)(intptr_t key);

  // The system's words for why the last call that failed on this thread
  // failed ("Access denied", "No such file or directory"), without a final
  // period or line end, into `buffer` of `size` bytes. For messages of the
  // tools; the installer's own reports do not use it.
  void (*describeLastError)(char* buffer, uint32_t size);
};

// Whether attribute bits from getFileAttributes are those of a directory.
inline bool IsDirectoryAttributes(uint32_t attributes) {
  return attributes != kNoAttributes && attributes != kAttributesUnknown && (attributes & 0x10) != 0;
}

extern const PlatformOps* platform;
extern const PlatformOps kNativePlatform;
