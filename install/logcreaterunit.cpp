// logcreaterunit.cpp - the install log and the directory operations that
// write to it.
//
// Lines are assembled in fixed buffers and go to the system with two write
// calls each (text, then CR LF), unbuffered, so the log is complete up to the
// last finished step even if the process ends abruptly.
#include "install/logcreaterunit.h"

#include <cstring>

#include "platform/platform.h"

TInstallLog* InstallLog;

namespace {

// Appends `text` to the line of `size` bytes holding `length` characters;
// false (line unchanged beyond what fit) when it does not fit.
bool Append(char* line, size_t size, size_t& length, const char* text) {
  const size_t n = strlen(text);
  if (length + n >= size) return false;
  memcpy(line + length, text, n + 1);
  length += n;
  return true;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool EqualIgnoringCase(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    if (LowerAscii(*a) != LowerAscii(*b)) return false;
  }
  return *a == *b;
}

void MarkLost() {
  if (InstallLog) InstallLog->complete = false;
}

// "mkd: " + left + separator + right into `line` (kLogLineSize bytes); a
// line that does not fit is lost to the log, and the log marked so.
bool ComposeDirectoryLine(char* line, const char* left, const char* separator, const char* right) {
  strcpy(line, "mkd: ");
  size_t length = strlen(line);
  if (Append(line, kLogLineSize, length, left) && Append(line, kLogLineSize, length, separator) &&
      Append(line, kLogLineSize, length, right)) {
    return true;
  }
  MarkLost();
  return false;
}

}  // namespace

TInstallLog::TInstallLog(const char* fileName)
    : FileName(), FileHandle(kNoFile), created(false), complete(false), failed(false) {
  // A name that does not fit is not shortened into some other file's name.
  if (strlen(fileName) >= sizeof FileName) return;
  strcpy(FileName, fileName);
  FileHandle = platform->createFile(FileName);
  created = FileHandle != kNoFile;
  complete = created;
}

TInstallLog::~TInstallLog() {
  if (FileHandle != kNoFile) platform->closeFile(FileHandle);
}

bool TInstallLog::Close() {
  const bool closed = platform->closeFile(FileHandle);
  FileHandle = kNoFile;
  if (!closed) complete = false;
  return closed;
}

bool TInstallLog::WriteLine(const char* text) {
  if (FileHandle == kNoFile || failed) {
    complete = false;
    return false;
  }
  static const char kLineEnd[2] = {'\r', '\n'};
  const uint32_t n = uint32_t(strlen(text));
  uint32_t written = 0;
  // After a short write nothing more goes to the file, so the last line is
  // at worst cut short, never run together with the next one.
  failed = !platform->writeFile(FileHandle, text, n, &written) || written != n ||
           !platform->writeFile(FileHandle, kLineEnd, 2, &written) || written != 2;
  if (failed) complete = false;
  return !failed;
}

bool LogItem(const char* text) {
  if (!InstallLog) return true;
  if (InstallLog->FileHandle == kNoFile) {
    InstallLog->complete = false;
    return true;
  }
  return InstallLog->WriteLine(text);
}

bool MakeLoggedDirectory(const char* path) {
  char current[kLogPathSize];
  // Without the current directory the line would name nothing the
  // uninstaller could find: the directory is not made.
  if (!platform->getCurrentDirectory(sizeof current, current)) {
    MarkLost();
    return false;
  }
  char line[kLogLineSize];
  if (!ComposeDirectoryLine(line, current, " ::: ", path)) return false;
  if (!LogItem(line)) return false;
  platform->createDirectory(path);
  return true;
}

bool LogInstallRoot(const char* ancestor, const char* installDir) {
  if (EqualIgnoringCase(ancestor, installDir)) return true;
  const size_t skip = strlen(ancestor) + 1;
  const char* rest = skip < strlen(installDir) ? installDir + skip : "";
  char line[kLogLineSize];
  if (!ComposeDirectoryLine(line, ancestor, "\\ ::: ", rest)) return false;
  line[strlen(line) - 1] = 0;
  return LogItem(line);
}
