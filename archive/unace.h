// unace.h - extraction of the payload into the installation directory.
//
// InstallPayload takes the archive image from the program's resources and
// has a TUnAce extract every entry: directories are created, files decoded
// and written with their times and attributes, and everything created is
// recorded in the install log, which the extraction itself creates in the
// installation directory. Failures go to `errorStatus`, never to the user.
//
// What a failure leaves behind: the entry whose writing failed is deleted;
// every later entry is passed over and leaves the disk as it was. Entry
// names that could reach outside the installation directory, do not fit the
// path buffers, repeat an earlier entry's name, or are taken by a file where
// a directory goes (or the other way round) are refused (status 12), and
// nothing of the user's is removed for them; nothing is extracted unless the
// installation directory could be made current (status 14). An item whose
// install-log line cannot be written is not created, and neither is
// anything after it (status 15).
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/reader.h"

constexpr int kInstallDirSize = 260;   // the installation directory, terminator included
constexpr int kEntryNameSize = 2000;   // an entry's name as stored, terminator included
constexpr int kEntryPathSize = 1000;   // current directory, "\" and name
constexpr int kEntryPrefixSize = 1024; // a leading part of an entry's name
constexpr int kCommentSize = 2024;

// The installation directory the user confirmed; InstallPayload gives it a
// final "\" when it lacks one.
extern char InstallDir[kInstallDirSize];
// The current entry's output file, kNoHandle when there is none.
extern int32_t outputHandle;
// Set by an extraction when an entry it wrote did not take its stored time
// or attributes. Its bytes are complete, so nothing stops; the installer's
// report counts it as a failed extraction (status 16). Cleared when an
// extraction starts.
extern bool entryDetailsLost;
// The full path of the file or directory the extraction failed on (the
// installation directory itself for status 14); empty while nothing has
// failed. Cleared when an extraction starts.
extern char failedPath[kEntryPathSize];

class TUnAce {
 public:
  // Finds the archive in the image (read through `view` when one is given)
  // and decodes its comment when flagged.
  TUnAce(const uint8_t* data, uint32_t size, ImageView view = nullptr);
  // Extracts every entry below `installDir`, which ends with "\".
  void ExtractAll(const char* installDir);

  bool archiveFound;
  const uint8_t* archiveData;
  uint32_t archiveSize;
  ImageView archiveView;
  char comment[kCommentSize];
  bool stopRequested;
};

void InstallPayload();

// The current file header's name (name-length bytes, up to a zero byte),
// terminated, in `buffer` (kEntryNameSize bytes). Returns `buffer`.
char* CopyEntryName(char* buffer);
// Creates, with logging, every missing directory on the name's path,
// shortest first. A leading part taken by a file refuses the entry (status
// 12); one the system cannot look at, too (17); a directory whose line the
// log does not take is not created (15).
void CreateEntryParents(const char* name);
// Deletes a file of that name (a directory is never removed for an entry).
void RemoveExistingEntry(const char* name);
// Directories, the file line of the log and the output file of one entry;
// the output handle, or kNoHandle. An existing file that cannot be
// replaced (in use, read-only, a directory in its way) is refused before
// its line is logged, and left as it was (status 18).
int32_t PrepareEntryOutput(const char* name, uint32_t attributes);
// Creates each missing directory along an absolute directory path, without
// logging. Returns the length of the leading part that already existed:
// up to (not including) the "\" before the first directory it created, or
// the whole path less its final "\" when it created none ("C:\a\b\" with
// only C:\a there gives 4, "C:\a").
size_t CreateDirectoryPath(const char* path);
// Copies the entry's decoded bytes into `outputHandle`, chunk by chunk.
void WriteEntryData();
