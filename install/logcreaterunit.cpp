// logcreaterunit.cpp - the install log and the directory operations that
// write to it.
//
// Lines are assembled in fixed buffers and go to the system with two write
// calls each (text, then CR LF), unbuffered, so the log is complete up to the
// last finished step even if the process ends abruptly.
#include "install/logcreaterunit.h"

#include <cstdlib>
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

uint64_t LineHash(const char* text) {
  uint64_t hash = 14695981039346656037ull;
  for (; *text; text++) hash = (hash ^ static_cast<unsigned char>(LowerAscii(*text))) * 1099511628211ull;
  return hash ? hash : 1;  // 0 marks a free slot
}

// Adds a hash to the kept-line table; false when it was there already.
bool Remember(uint64_t* slots, uint64_t hash, unsigned* count) {
  for (unsigned i = unsigned(hash) & (kKeptLineSlots - 1);; i = (i + 1) & (kKeptLineSlots - 1)) {
    if (slots[i] == hash) return false;
    if (slots[i] == 0) {
      // A full table remembers no more; the lines themselves are still kept.
      if (*count >= kKeptLineSlots / 4 * 3) return true;
      slots[i] = hash;
      ++*count;
      return true;
    }
  }
}

// Whether attributes may be those of a file, or of a directory: what the
// system could not look at may be there.
bool MayBeFile(uint32_t a) { return a == kAttributesUnknown || (a != kNoAttributes && !(a & 0x10)); }
bool MayBeDirectory(uint32_t a) { return a == kAttributesUnknown || IsDirectoryAttributes(a); }

// Whether an earlier log's line names an item that may still be there: a
// file or shortcut; for a directory line, its first directory (the one the
// uninstaller removes last); the registry line always, as the run
// registers again and removing a missing key harms nothing. A directory
// line that names nothing, and a line of no known form, are not kept.
bool NamesItemStillThere(const char* line) {
  if (!strncmp(line, "reg: ", 5)) return true;
  if (strncmp(line, "mkd: ", 5) != 0) return line[0] && MayBeFile(platform->getFileAttributes(line));
  const char* left = line + 5;
  const char* separator = strstr(left, " :::");
  if (!separator || separator[4] != ' ' || !separator[5]) return false;
  char path[kLogLineSize];
  size_t n = size_t(separator - left);
  if (n + 2 >= sizeof path) return false;
  memcpy(path, left, n);
  if (n == 0 || path[n - 1] != '\\') path[n++] = '\\';
  for (const char* right = separator + 5; *right && *right != '\\' && n + 1 < sizeof path; right++) path[n++] = *right;
  path[n] = 0;
  return MayBeDirectory(platform->getFileAttributes(path));
}

}  // namespace

EarlierLog ReadEarlierLog(const char* fileName, char** text, uint32_t* size) {
  *text = nullptr;
  *size = 0;
  const uint32_t a = fileName[0] ? platform->getFileAttributes(fileName) : kNoAttributes;
  if (a == kNoAttributes || IsDirectoryAttributes(a)) return EarlierLog::kNone;
  char probe;
  const int64_t total = platform->readFile(fileName, &probe, 0);
  if (total == 0) return EarlierLog::kNone;
  if (total < 0 || total >= int64_t(UINT32_MAX)) return EarlierLog::kUnreadable;
  *text = static_cast<char*>(malloc(size_t(total) + 1));
  if (!*text || platform->readFile(fileName, *text, uint32_t(total)) != total) {
    free(*text);
    *text = nullptr;
    return EarlierLog::kUnreadable;
  }
  (*text)[total] = 0;
  *size = uint32_t(total);
  return EarlierLog::kRead;
}

TInstallLog::TInstallLog(const char* fileName)
    : FileName(), FileHandle(kNoFile), created(false), complete(false), failed(false), keptLines(nullptr) {
  // A name that does not fit is not shortened into some other file's name.
  if (strlen(fileName) >= sizeof FileName) return;
  strcpy(FileName, fileName);
  FileHandle = platform->createFile(FileName);
  created = FileHandle != kNoFile;
  complete = created;
}

TInstallLog::~TInstallLog() {
  if (FileHandle != kNoFile) platform->closeFile(FileHandle);
  free(keptLines);
}

bool TInstallLog::KeepEarlierLines(char* earlier, uint32_t size) {
  if (!earlier || FileHandle == kNoFile || failed) {
    free(earlier);
    return FileHandle == kNoFile || !failed;
  }
  // The kept lines are gathered into one block, so that they reach the
  // file in one write; the earlier bytes stay as they were, to be written
  // back should that write fail.
  char* block = static_cast<char*>(malloc(size_t(size) + 1));
  if (!keptLines) keptLines = static_cast<uint64_t*>(calloc(kKeptLineSlots, sizeof *keptLines));
  uint32_t length = 0;
  unsigned count = 0;
  // Whole lines only: a last line without its CR LF was cut short as it
  // was written and names nothing.
  for (char* line = earlier; block && keptLines && line < earlier + size;) {
    char* end = strstr(line, "\r\n");
    if (!end) break;
    *end = 0;
    if (NamesItemStillThere(line) && Remember(keptLines, LineHash(line), &count)) {
      const uint32_t n = uint32_t(end - line);
      memcpy(block + length, line, n);
      memcpy(block + length + n, "\r\n", 2);
      length += n + 2;
    }
    *end = '\r';
    line = end + 2;
  }
  uint32_t written = 0;
  const bool kept = block && keptLines && platform->writeFile(FileHandle, block, length, &written) && written == length;
  if (!kept) {
    // Nothing of the earlier record may be lost: it goes back as it was,
    // and the run creates nothing.
    platform->closeFile(FileHandle);
    FileHandle = platform->createFile(FileName);
    platform->writeFile(FileHandle, earlier, size, &written);
    failed = true;
    complete = false;
  }
  free(block);
  free(earlier);
  return kept;
}

bool TInstallLog::Kept(const char* text) const {
  if (!keptLines) return false;
  const uint64_t hash = LineHash(text);
  for (unsigned i = unsigned(hash) & (kKeptLineSlots - 1); keptLines[i]; i = (i + 1) & (kKeptLineSlots - 1)) {
    if (keptLines[i] == hash) return true;
  }
  return false;
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
  if (InstallLog->failed) return false;
  if (InstallLog->Kept(text)) return true;
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
