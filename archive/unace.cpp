// unace.cpp - TUnAce and the steps of extracting one entry.
//
// The extraction makes the installation directory current and resolves
// entry names against it. Decoded bytes go from the decoder through the one
// 2,048-byte output buffer straight to the file; paths are put together in
// fixed buffers on the stack, and nothing is allocated per entry or chunk.
#include "archive/unace.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "archive/entryname.h"
#include "archive/reader.h"
#include "archive/status.h"
#include "decoder/lz.h"
#include "install/logcreaterunit.h"
#include "platform/platform.h"

char InstallDir[kInstallDirSize];
int32_t outputHandle = kNoHandle;
bool entryDetailsLost;
char failedPath[kEntryPathSize];

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A file this run opened and failed to complete must not stay as if it
// were installed. Deleting it can fail while something holds it for a
// moment (a virus scanner looking at the new file), so it is tried again,
// and failing that the file is at least emptied of its broken bytes.
void RemoveBrokenFile(const char* name) {
  if (platform->deleteFile(name) || platform->deleteFile(name)) return;
  platform->close(platform->openForWrite(name));
}

// `dir` and `name` as one path in failedPath, cut short where it must be.
void NoteFailedPath(const char* dir, const char* name) {
  size_t n = 0;
  for (; *dir && n + 1 < sizeof failedPath; dir++) failedPath[n++] = *dir;
  for (; *name && n + 1 < sizeof failedPath; name++) failedPath[n++] = *name;
  failedPath[n] = 0;
}

// One file header. An entry met after a failure is passed over without
// touching the disk: no parents, no file, no attributes, no deletion, since
// nothing of that name was written by this run. Only a file this run opened
// and failed to complete is deleted.
void ExtractNamedEntry(const char* name, EntryNameSet* names) {
  const AceFileView& f = headerRecord.file;
  if (errorStatus != kStatusOk) return;
  // The name is checked as stored, all name-length bytes, so a zero byte
  // that would cut the copied name short is refused rather than dropped.
  if (AdmitEntryName(names, reinterpret_cast<const char*>(f.variable), f.nameLength) != NameFault::kNone) {
    errorStatus = kStatusUnsafeName;
    return;
  }
  outputHandle = PrepareEntryOutput(name, f.attributes);
  if (errorStatus != kStatusOk) return;
  const bool opened = outputHandle != kNoHandle;
  if (!opened && !(f.attributes & ace::kAttrDirectory)) {
    // Not a full disk: the file could not even be opened. Its line is in
    // the log, but nothing of it was created.
    errorStatus = kStatusCannotReplace;
    return;
  }
  WriteEntryData();
  if (opened && errorStatus == kStatusOk && !EntryIntact()) errorStatus = kStatusBadCrc;
  const bool timed = platform->setLastWriteTime(outputHandle, f.fileTime);
  // A close the system reports as failed may have lost written data.
  if (!platform->close(outputHandle) && opened && errorStatus == kStatusOk) errorStatus = kStatusShortWrite;
  outputHandle = kNoHandle;
  if (errorStatus == kStatusOk) {
    if (!platform->setFileAttributes(name, f.attributes) || (opened && !timed)) entryDetailsLost = true;
  } else if (opened) {
    // Attributes are not set first: a read-only bit would keep the broken
    // file from being deleted.
    RemoveBrokenFile(name);
  }
}

void ExtractEntry(EntryNameSet* names, const char* installDir) {
  const bool before = errorStatus != kStatusOk;
  StartEntry();
  char name[kEntryNameSize];
  CopyEntryName(name);
  ExtractNamedEntry(name, names);
  if (!before && errorStatus != kStatusOk) NoteFailedPath(installDir, name);
}

}  // namespace

TUnAce::TUnAce(const uint8_t* data, uint32_t size, ImageView view)
    : archiveFound(false), archiveData(data), archiveSize(size), archiveView(view), comment(), stopRequested(false) {
  AllocateWorkBuffers();
  archiveFound = OpenArchiveImage(archiveData, archiveSize, archiveView);
  const uint16_t wanted = ace::kFlagCommentDecode | ace::kFlagComment;
  if (archiveFound && (headerRecord.flags & wanted) == wanted) DecodeComment(comment, kCommentSize);
  ReleaseWorkBuffers();
}

void TUnAce::ExtractAll(const char* installDir) {
  AllocateWorkBuffers();
  const bool found = OpenArchiveImage(archiveData, archiveSize, archiveView);
  stopRequested = false;
  entryDetailsLost = false;
  failedPath[0] = 0;
  char saved[kEntryPathSize];
  if (!platform->getCurrentDirectory(sizeof saved, saved)) saved[0] = 0;
  // The log's first line names exactly the part of the directory this run
  // made: what lies below the level where the first directory was created.
  // Taking it from the creation itself rather than from a walk beforehand
  // keeps the line true when a level cannot be entered although it exists.
  char ancestor[kLogPathSize];
  const size_t kept = CreateDirectoryPath(installDir);
  memcpy(ancestor, installDir, kept);
  ancestor[kept] = 0;
  char logName[kLogPathSize + 16] = "";
  if (strlen(installDir) < kLogPathSize) {
    strcpy(logName, installDir);
    strcat(logName, "uninstall.list");
  }
  delete InstallLog;  // one log per run; an earlier run's object is closed
  // An earlier installation's record is read before the new log replaces
  // it, and what it names that is still there goes first into the new one.
  // One that cannot be read is not replaced: the run creates nothing.
  char* earlier = nullptr;
  uint32_t earlierSize = 0;
  const bool readable = ReadEarlierLog(logName, &earlier, &earlierSize) != EarlierLog::kUnreadable;
  InstallLog = new (std::nothrow) TInstallLog(readable ? logName : "");
  bool keptLogged = readable;
  if (InstallLog) {
    if (!readable) InstallLog->failed = true;
    keptLogged = InstallLog->KeepEarlierLines(earlier, earlierSize) && keptLogged;
  } else {
    free(earlier);
  }
  if (!readable) NoteFailedPath(logName, "");
  // The directories just made are named by this line; without it nothing
  // more is created.
  const bool rootLogged = keptLogged && LogInstallRoot(ancestor, installDir);
  EntryNameSet names;
  if (!OpenEntryNameSet(&names)) errorStatus = kStatusNoMemory;
  if (!platform->setCurrentDirectory(installDir)) {
    // Entries must never land in whatever directory happened to be current.
    errorStatus = kStatusNoInstallDir;
    NoteFailedPath(installDir, "");
  } else if (!rootLogged) {
    errorStatus = kStatusNotLogged;
  } else if (!found) {
    // Without its buffers the phase could not look; that failure is set.
    if (WorkBuffersPresent()) errorStatus = kStatusDamagedArchive;
  } else {
    while (!stopRequested && ReadNextHeader()) {
      if (headerRecord.headerType == ace::kTypeFile) ExtractEntry(&names, installDir);
    }
    // A chain the image's owner could not read on keeps status 6.
    if (!stopRequested && reader.chainEnd != ChainEnd::kImageEnd && reader.chainEnd != ChainEnd::kUnreadable) {
      errorStatus = kStatusDamagedArchive;
    }
  }
  CloseEntryNameSet(&names);
  if (saved[0]) platform->setCurrentDirectory(saved);
  ReleaseWorkBuffers();
}

void InstallPayload() {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  if (!platform->findPayload(&data, &size)) {
    data = nullptr;
    size = 0;
  }
  TUnAce* unace = new (std::nothrow) TUnAce(data, size, data ? platform->payloadView : nullptr);
  const size_t n = strlen(InstallDir);
  if (n == 0 || InstallDir[n - 1] != '\\') {
    if (n + 1 >= sizeof InstallDir) {
      // No room for the final "\": the directory cannot be used as given.
      errorStatus = kStatusNoInstallDir;
      delete unace;
      return;
    }
    InstallDir[n] = '\\';
    InstallDir[n + 1] = 0;
  }
  if (unace) unace->ExtractAll(InstallDir);
  delete unace;
}

char* CopyEntryName(char* buffer) {
  const AceFileView& f = headerRecord.file;
  size_t n = f.nameLength;
  if (n > size_t(kEntryNameSize - 1)) n = kEntryNameSize - 1;
  size_t i = 0;
  while (i < n && f.variable[i] != 0) {
    buffer[i] = char(f.variable[i]);
    i++;
  }
  buffer[i] = 0;
  return buffer;
}

void CreateEntryParents(const char* name) {
  char prefix[kEntryPrefixSize];
  for (size_t i = 1; name[i] && i < sizeof prefix; i++) {
    if (!IsSeparator(name[i])) continue;
    memcpy(prefix, name, i);
    prefix[i] = 0;
    const uint32_t attributes = platform->getFileAttributes(prefix);
    if (attributes == kAttributesUnknown) {
      // It may exist: claiming it in the log would let the uninstaller
      // remove a directory of the user's.
      errorStatus = kStatusCannotLook;
      return;
    }
    if (attributes == kNoAttributes) {
      if (!MakeLoggedDirectory(prefix)) {
        errorStatus = kStatusNotLogged;
        return;
      }
    } else if (!(attributes & ace::kAttrDirectory)) {
      errorStatus = kStatusUnsafeName;  // a file where a directory goes: it stays
      return;
    }
  }
}

void RemoveExistingEntry(const char* name) { platform->deleteFile(name); }

int32_t PrepareEntryOutput(const char* name, uint32_t attributes) {
  char path[kEntryPathSize];
  if (!platform->getCurrentDirectory(sizeof path, path)) {
    errorStatus = kStatusNotLogged;  // the file line could not name the file
    return kNoHandle;
  }
  const size_t current = strlen(path);
  const size_t length = strlen(name);
  if (current + 1 + length >= sizeof path) {
    errorStatus = kStatusUnsafeName;  // the full path does not fit: refused, nothing created
    return kNoHandle;
  }
  path[current] = '\\';
  memcpy(path + current + 1, name, length + 1);
  const uint32_t existing = platform->getFileAttributes(name);
  if (existing == kAttributesUnknown) {
    errorStatus = kStatusCannotLook;
    return kNoHandle;
  }
  const bool existed = existing != kNoAttributes;
  const bool directory = (attributes & ace::kAttrDirectory) != 0;
  if (existed && ((existing & ace::kAttrDirectory) != 0) != directory) {
    // A file entry never removes a directory, nor a directory entry a file.
    errorStatus = directory ? kStatusUnsafeName : kStatusCannotReplace;
    return kNoHandle;
  }
  if (existed && !directory && !platform->canReplace(name)) {
    // A read-only file an earlier installation made (its line was kept) is
    // the product's own, and a repair replaces it. Anything else in use or
    // read-only is left as it was, and not claimed in the log.
    const bool ours = (existing & ace::kAttrReadOnly) && InstallLog && InstallLog->Kept(path);
    if (!ours || !platform->setFileAttributes(name, existing & ~uint32_t(ace::kAttrReadOnly)) ||
        !platform->canReplace(name)) {
      if (ours) platform->setFileAttributes(name, existing);
      errorStatus = kStatusCannotReplace;
      return kNoHandle;
    }
  }
  CreateEntryParents(name);
  if (errorStatus != kStatusOk) return kNoHandle;
  if (directory) {
    if (!existed && !MakeLoggedDirectory(name)) errorStatus = kStatusNotLogged;
    return kNoHandle;
  }
  // Logged before the file is touched, so a file whose creation fails is
  // still named, and one that cannot be logged is left as it was.
  if (!LogItem(path)) {
    errorStatus = kStatusNotLogged;
    return kNoHandle;
  }
  if (existed) RemoveExistingEntry(name);
  return platform->openForWrite(name);
}

size_t CreateDirectoryPath(const char* path) {
  char part[kEntryPathSize] = {};
  size_t kept = 0;
  bool created = false;
  size_t lastSeparator = 0;
  for (size_t i = 0; path[i] && i + 1 < sizeof part; i++) {
    if (path[i] == '\\' && i > 0) {
      if (!platform->setCurrentDirectory(part) && platform->createDirectory(part) && !created) {
        created = true;
        kept = lastSeparator;
      }
      lastSeparator = i;
    }
    part[i] = path[i];
  }
  if (!created) {
    kept = strlen(path);
    if (kept > 0 && path[kept - 1] == '\\') kept--;
  }
  return kept;
}

void WriteEntryData() {
  int32_t n;
  while ((n = ReadChunk(outputBuffer, kOutputBufferSize)) > 0) {
    if (platform->write(outputHandle, outputBuffer, uint32_t(n)) != n) {
      errorStatus = kStatusShortWrite;
      return;  // the entry has failed; decoding the rest would go nowhere
    }
  }
}
