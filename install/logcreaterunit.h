// logcreaterunit.h - the install log, uninstall.list.
//
// One line per item the installer creates, each ended by CR LF, written
// before the item is created, so the product's uninstaller can remove
// everything - also an item whose creation failed. Line kinds:
//   mkd: ANCESTOR\ ::: CREATED        the installation directory's new part
//   mkd: CURRENT ::: PATH             a directory made by MakeLoggedDirectory
//   CURRENT\ENTRY                     an extracted file
//   LINK PATH                         a Start-menu shortcut
//   reg: KEY\ ::: SUBKEY              the uninstall registration
// The uninstaller parses these byte for byte: the doubled backslash of a
// file line at a drive root and the missing one before " ::: " in a
// directory line are part of the format.
//
// A reinstall keeps the earlier record: the log an earlier run left in the
// installation directory is read before the new one replaces it, and its
// lines that name an item still there (a file or shortcut that exists, a
// directory line whose first directory exists, the registry line) go first
// into the new log, in their old order. The run writes none of them again,
// so after any sequence of runs into one directory the log names everything
// any of them made, each once.
//
// Log before act, kept strictly: an item is created only after its whole
// line, CR LF included, has reached the file. Once a write to the log has
// failed (a full disk), the log takes no more lines and the installer
// creates nothing more, so whatever the run made is named in the log, and
// a last line without its CR LF names an item that was never created. Only
// when the log file could not be created at all does the installation go on
// without it; the final report says so.
#pragma once

#include <cstdint>

constexpr int kLogPathSize = 1000;  // the log's file name, the current directory
constexpr int kLogLineSize = 1500;  // directory and install-root lines

class TInstallLog {
 public:
  // Creates the file afresh (an earlier log there is truncated).
  explicit TInstallLog(const char* fileName);
  // Closes the file (when Close has not).
  ~TInstallLog();
  // Closes the file; false when there was none or the system reported a
  // failure, which may have cost lines (the log then counts as incomplete).
  bool Close();
  // Writes first the lines of an earlier run's log (`earlier`, `size` bytes,
  // from ReadEarlierLog; freed here) that name an item still there, in one
  // write, and remembers them so the run does not write them again. When
  // that write fails the earlier log is written back as it was and the log
  // takes no more lines: false. True without a file (nothing to keep true).
  bool KeepEarlierLines(char* earlier, uint32_t size);
  // Whether `text` is a line kept from the earlier log (letter case aside).
  bool Kept(const char* text) const;
  TInstallLog(const TInstallLog&) = delete;
  TInstallLog& operator=(const TInstallLog&) = delete;

  // The bytes of `text`, then CR LF, each straight to the system. True when
  // both reached the file in full; false without writing anything once an
  // earlier write has failed.
  bool WriteLine(const char* text);

  char FileName[kLogPathSize];
  intptr_t FileHandle;  // kNoFile when the file could not be created
  // Whether the log can be trusted: its file was created and every line
  // reached it in full. A line too long for its buffer counts as lost too.
  bool created;
  bool complete;
  bool failed;  // a write to the file failed: no more lines are taken
  uint64_t* keptLines;  // hashes of the kept lines, kKeptLineSlots of them; null when none
};

constexpr unsigned kKeptLineSlots = 1u << 15;  // 256 KiB, for up to 24,576 kept lines

// The log an earlier run left at `fileName`, read whole into a buffer of
// its own (`*text`, to be handed to KeepEarlierLines; null, `*size` 0 when
// there is none or it cannot be read).
enum class EarlierLog { kNone, kRead, kUnreadable };
EarlierLog ReadEarlierLog(const char* fileName, char** text, uint32_t* size);

// The one log of the run; null until the extraction creates it.
extern TInstallLog* InstallLog;

// Writes the line of an item about to be created. True when the item may be
// created: its line reached the log (or was kept from the earlier log, so
// is there already), or there is no log file to keep true
// (no log object, or its file could not be created; the latter counts as
// an incomplete log). False once the log has failed: the item must not be
// created.
bool LogItem(const char* text);

// Logs "mkd: CURRENT ::: PATH", then creates PATH (relative to the current
// directory). Whether the directory was created is not reported. False when
// nothing was attempted because the current directory could not be read,
// the line did not fit its buffer, or it could not be logged (LogItem).
bool MakeLoggedDirectory(const char* path);

// Writes the install-root line, "mkd: ANCESTOR\ ::: REST" less its last
// character, unless `ancestor` equals `installDir` ignoring letter case.
// ANCESTOR is the part of the installation directory that existed before
// the run, as CreateDirectoryPath (unace.h) finds it while creating the
// rest: the line then names exactly the directories the run made.
// False when the line was due but did not fit or could not be logged.
bool LogInstallRoot(const char* ancestor, const char* installDir);
