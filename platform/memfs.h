// memfs.h - an in-memory file system with Win32 semantics, for tests.
//
// It stands behind the platform table so the extraction and the install log
// can be run, natively and quickly, against a file system whose every
// property a test can set up and inspect:
//   - drive letters ("C:"), paths with "\" (or "/"), resolved against a
//     per-process current directory ("C:" alone is that drive's current
//     directory, "\x" the current drive's root); "." and ".." are resolved
//     as Windows does; full paths of 260 characters or more are refused;
//   - the current directory reported without a final "\" except at a drive
//     root ("C:\"), in the letter case it was set with;
//   - names compared without regard to letter case, stored as created;
//   - attributes: 0x10 for directories; a read-only file (0x01) can be
//     neither deleted nor opened for writing; a file without settable bits
//     reports 0x80; bits SetFileAttributes cannot set (0x10, 0x800, ...) are
//     dropped;
//   - an open file cannot be deleted, a non-empty or current directory
//     cannot be removed; a file a test marks as in use by another process
//     can be neither deleted nor opened for writing;
//   - last-write times kept in UTC, set from an MS-DOS date and time read as
//     local time under a chosen offset from UTC;
//   - a capacity for all file data together: a write that does not fit
//     takes what fits (a short write, as on a full disk);
//   - failure injection: FailCall(n) makes the n-th table call from now on
//     fail without effect, as SQLite's test file system does, so a test can
//     make each call of a run fail in turn; KillAfter(n) lets n more calls
//     through and fails every later one, as if the process had been killed
//     there (Revive then closes what it held open);
//   - the rest of the system the installation touches: a Programs folder
//     (none until a test names one), short (8.3) names where a test gives
//     them, shell links saved as small text files in the file system (so
//     they take room and need their folder; as with COM, no link object
//     before initializeCom), and a registry below
//     HKEY_LOCAL_MACHINE that holds the list of uninstallers from the start
//     and can be made to refuse writing.
// The helpers below (setup and inspection) bypass the call count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

extern const PlatformOps kMemFsPlatform;

namespace memfs {

// Empties the file system: drive C: only, with its root current, no
// capacity limit, no failure armed, UTC offset 0, no payload. Install()
// also points `platform` at this file system.
void Reset();
void Install();

void AddDrive(char letter);
// Setup: a directory (with its missing parents), or a file with its bytes
// and attributes (parents created too).
void MakeDirs(const std::string& path);
void PutFile(const std::string& path, const std::string& bytes, uint32_t attributes = 0x20);

// A file held open by another process (a running program): it can be
// neither opened for writing nor deleted until released.
void SetInUse(const std::string& path, bool inUse);

// Inspection. Paths as for the table (relative ones against the current
// directory). Contents of a missing or directory path: false.
bool Exists(const std::string& path);
uint32_t Attributes(const std::string& path);
bool ReadFile(const std::string& path, std::string* bytes);
std::string CurrentDirectory();
// Every path in the file system below the drive roots, directories with a
// final "\", sorted case-insensitively, as stored.
std::vector<std::string> Tree();
int OpenHandles();

struct LocalTime {
  int year, month, day, hour, minute, second;
};
// The last-write time, shown in local time under the current offset.
bool LastWrite(const std::string& path, LocalTime* local);
void SetUtcOffsetMinutes(int minutes);

// Total bytes all files may hold; writes past it come up short.
void SetCapacity(uint64_t bytes);
// The n-th table call from now fails (n >= 1); 0 disarms.
void FailCall(uint32_t n);
// The implementing function of the call FailCall made fail, such as
// "WriteMem" ("" when none has failed since Reset).
const char* FailedCall();
// Table calls made since Reset.
uint32_t CallCount();

// What findPayload hands out; the bytes are the caller's and must outlive it.
// payloadView hands out copies of them in one buffer that each view
// overwrites; PayloadViews counts the views handed out since Reset. With an
// `address`, findPayload gives that instead of `data` (a test can make it
// hold other bytes, to see who reads which).
void SetPayload(const uint8_t* data, uint32_t size, const uint8_t* address = nullptr);
uint32_t PayloadViews();

// After n more table calls every call fails without effect until Revive,
// which also closes every handle, key and link object left open, as the
// system does for a process that ends.
void KillAfter(uint32_t n);
void Revive();
bool Killed();

// The Programs folder getProgramsFolder reports ("" for none); it is not
// created here.
void SetProgramsFolder(const std::string& path);
// The short form getShortPathName gives for an existing path (without a
// final "\"; one is added when the path asked for has one).
void SetShortName(const std::string& path, const std::string& shortForm);

// The registry below HKEY_LOCAL_MACHINE. Key paths without a final "\".
void AddRegistryKey(const std::string& path);
// RegDeleteKey: false when the key is missing or has subkeys.
bool DeleteRegistryKey(const std::string& path);
bool RegistryKeyExists(const std::string& path);
bool RegistryValue(const std::string& key, const std::string& name, std::string* value);
// Every key, and every value as "KEY : NAME = DATA", sorted.
std::vector<std::string> Registry();
// With `denied`, opening keys for writing fails, as without administrator
// rights.
void DenyRegistry(bool denied);

struct Shortcut {
  std::string target, workingDirectory, description, arguments;
  int icon;
};
// A link file's fields; false when the file is missing or not a link.
bool ReadShortcut(const std::string& path, Shortcut* link);

// Handles, registry keys and prepared links not closed or saved.
int OpenObjects();
int ComInitializations();

}  // namespace memfs
