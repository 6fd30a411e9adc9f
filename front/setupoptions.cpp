// setupoptions.cpp - the product leaf, the directory rule and the command
// line, kept apart from the windows so they are tested on every build.
#include "front/setupoptions.h"

#include <cstring>

#include "platform/platform.h"

const char kSetupUsage[] =
    "Usage: QuellmarkSetup.exe [/S] [/D=directory]\n"
    "\n"
    "/S: install without asking, into the proposed\n"
    "directory or the one /D= gives.\n"
    "\n"
    "/D=directory: the installation directory, for example\n"
    "/D=C:\\Program files\\QMK\\\n"
    "Unquoted, it comes last and runs to the end of the line;\n"
    "quoted (\"/D=C:\\My Apps\\QMK\"), it may stand anywhere.";

bool AppendProductLeaf(char* path, size_t capacity) {
  const size_t n = strlen(path);
  if (n == 0) return true;
  const bool slash = path[n - 1] == '\\';
  const size_t total = n + (slash ? 0 : 1) + 4;
  if (total + 1 > capacity) return false;
  if (!slash) path[n] = '\\';
  memcpy(path + (slash ? n : n + 1), "QMK\\", 5);
  return true;
}

namespace {

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Length of a "\\server\share" prefix followed by "\" or the end, 0 when the
// path does not start with one.
size_t UncPrefix(const char* path) {
  if (path[0] != '\\' || path[1] != '\\') return 0;
  size_t i = 2;
  const size_t server = i;
  while (path[i] && path[i] != '\\') i++;
  if (i == server || path[i] != '\\') return 0;
  const size_t share = ++i;
  while (path[i] && path[i] != '\\') i++;
  return i == share ? 0 : i;
}

}  // namespace

namespace {

bool Forbidden(char c) {
  return static_cast<unsigned char>(c) < 0x20 || strchr("<>:\"/|?*", c) != nullptr;
}

// The reason for the refusal of `dir`, or null.
const char* RefusalReason(const char* dir, size_t longestEntry, size_t* fit) {
  const size_t root = UncPrefix(dir) ? UncPrefix(dir) : 2;  // "\\server\share" or "C:"
  for (const char* name = dir + root; *name;) {
    while (*name == '\\') name++;
    const char* end = name;
    while (*end && *end != '\\') end++;
    for (const char* c = name; c < end; c++) {
      if (Forbidden(*c)) return "a name in it holds a character that Windows does not allow";
    }
    if (end > name && (end[-1] == '.' || end[-1] == ' ')) return "a name in it ends with a dot or a space";
    name = end;
  }
  char path[kInstallDirChars];
  memcpy(path, dir, root);
  path[root] = '\\';
  path[root + 1] = 0;
  if (!IsDirectoryAttributes(platform->getFileAttributes(path))) return "its drive or network share does not exist";
  // Each leading part that exists must be a directory; below the first
  // missing one nothing exists.
  for (size_t i = root + 1; dir[i - 1]; i++) {
    if (dir[i] != '\\' && dir[i] != 0) continue;
    memcpy(path, dir, i);
    path[i] = 0;
    const uint32_t a = platform->getFileAttributes(path);
    if (a == kNoAttributes) break;
    if (a != kAttributesUnknown && !(a & 0x10)) return "a file stands where one of its directories must be";
    if (!dir[i]) break;
  }
  const size_t length = strlen(dir) + (dir[strlen(dir) - 1] == '\\' ? 0 : 1);  // with its final "\"
  const size_t longest = longestEntry > strlen("uninstall.list") ? longestEntry : strlen("uninstall.list");
  *fit = longest < kInstallDirChars - 1 ? kInstallDirChars - 1 - longest - 1 : 0;
  if (length + longest > kInstallDirChars - 1) return "it is too long: at most % characters fit";
  return nullptr;
}

}  // namespace

bool DirectoryRefused(const char* dir, size_t longestEntry, char* message, size_t size) {
  size_t fit = 0;
  const char* reason = RefusalReason(dir, longestEntry, &fit);
  if (!reason || size == 0) return reason != nullptr;
  char number[24];
  size_t digits = 0;
  do {
    number[digits++] = char('0' + fit % 10);
    fit /= 10;
  } while (fit);
  size_t at = 0;
  auto put = [&](const char* text) {
    for (; *text && at + 1 < size; text++) {
      if (*text != '%') {
        message[at++] = *text;
        continue;
      }
      for (size_t d = digits; d > 0 && at + 1 < size; d--) message[at++] = number[d - 1];
    }
  };
  put("Quellmark cannot be installed into this directory: ");
  put(reason);
  put(".\r\nPlease choose another directory.");
  message[at] = 0;
  return true;
}

bool InstallDirUsable(const char* path) {
  const size_t n = strlen(path);
  // The extraction appends "\" when it is missing; both must fit.
  const size_t full = n + (n && path[n - 1] == '\\' ? 0 : 1);
  if (full > kInstallDirChars - 1) return false;
  if (n >= 3 && IsLetter(path[0]) && path[1] == ':' && path[2] == '\\') return true;
  return UncPrefix(path) != 0;
}

const char* SkipProgramName(const char* commandLine) {
  const char* p = commandLine;
  if (*p == '"') {
    p++;
    while (*p && *p != '"') p++;
    if (*p) p++;
  } else {
    while (*p && *p != ' ' && *p != '\t') p++;
  }
  while (*p == ' ' || *p == '\t') p++;
  return p;
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A final "/S" (with blanks before it) of an unquoted /D= value: the
// switch, since no name holds "/". Drops it from the `*n` characters.
bool TakeTrailingSilent(const char* value, size_t* n) {
  size_t k = *n;
  while (k && IsBlank(value[k - 1])) k--;
  if (k < 3 || (value[k - 1] != 'S' && value[k - 1] != 's') || value[k - 2] != '/' || !IsBlank(value[k - 3])) {
    return false;
  }
  *n = k - 2;
  return true;
}

}  // namespace

SetupOptions ParseSetupArguments(const char* arguments) {
  SetupOptions options = {};
  options.valid = true;
  const char* p = arguments;
  for (;;) {
    while (IsBlank(*p)) p++;
    if (!*p) break;
    // Programs that start others quote an argument with blanks in it, so
    // "/D=C:\My dir" is taken as well, up to its closing quote.
    const bool quoted = p[0] == '"';
    const char* q = quoted ? p + 1 : p;
    if (q[0] == '/' && (q[1] == 'D' || q[1] == 'd') && q[2] == '=') {
      const char* dir = q + 3;
      const bool valueQuoted = !quoted && dir[0] == '"';  // /D="C:\Quoted Dir\QMK"
      if (valueQuoted) dir++;
      size_t n = strlen(dir);
      if (quoted || valueQuoted) {
        const char* close = strchr(dir, '"');
        if (close) n = size_t(close - dir);
        p = dir + n + (close ? 1 : 0);
      } else {
        // The rest of the line.
        while (TakeTrailingSilent(dir, &n)) options.silent = true;
        p = dir + strlen(dir);
      }
      while (n && IsBlank(dir[n - 1])) n--;
      if (n >= sizeof options.dir) n = sizeof options.dir - 1;
      memcpy(options.dir, dir, n);
      options.dir[n] = 0;
      options.haveDir = true;
      continue;
    }
    const char* end = p;
    while (*end && !IsBlank(*end)) end++;
    if (end - p == 2 && p[0] == '/' && (p[1] == 'S' || p[1] == 's')) {
      options.silent = true;
    } else {
      options.valid = false;  // keep reading: /S still silences the message
    }
    p = end;
  }
  return options;
}
