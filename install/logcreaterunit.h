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
#pragma once

#include <cstdint>

constexpr int kLogPathSize = 1000;  // the log's file name, the current directory
constexpr int kLogLineSize = 1500;  // directory and install-root lines

class TInstallLog {
 public:
  // Creates the file afresh (an earlier log there is truncated).
  explicit TInstallLog(const char* fileName);
  // Closes the file.
  ~TInstallLog();
  TInstallLog(const TInstallLog&) = delete;
  TInstallLog& operator=(const TInstallLog&) = delete;

  // The bytes of `text`, then CR LF, each straight to the system.
  void WriteLine(const char* text);

  char FileName[kLogPathSize];
  intptr_t FileHandle;  // kNoFile when the file could not be created
  // Whether the log can be trusted: its file was created and every line
  // reached it in full. A line too long for its buffer counts as lost too.
  bool created;
  bool complete;
};

// The one log of the run; null until the extraction creates it.
extern TInstallLog* InstallLog;

// Logs "mkd: CURRENT ::: PATH" when the log exists, then creates PATH
// (relative to the current directory). Whether it was created is not
// reported; a line that would not fit its buffer is a failure of the item:
// nothing is logged or created.
void MakeLoggedDirectory(const char* path);

// The longest "\"-bounded prefix of `installDir` that can be made the
// current directory, without its final "\" (see the .cpp), into `ancestor`
// (kLogPathSize bytes). Leaves the current directory at that prefix.
void FindExistingAncestor(const char* installDir, char* ancestor);

// Writes the install-root line, "mkd: ANCESTOR\ ::: REST" less its last
// character, unless `ancestor` equals `installDir` ignoring letter case.
void LogInstallRoot(const char* ancestor, const char* installDir);
