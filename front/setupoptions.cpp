// setupoptions.cpp - the product leaf, the directory rule and the command
// line, kept apart from the windows so they are tested on every build.
#include "front/setupoptions.h"

#include <cstring>

const char kSetupUsage[] =
    "Usage: QuellmarkSetup.exe [/S] [/D=directory]\n"
    "\n"
    "/S\tinstall without asking, into the proposed directory or the one /D gives\n"
    "/D=directory\tthe installation directory, for example\n"
    "\t/D=C:\\Program files\\QMK\\\n"
    "\tIt comes last and runs to the end of the line, without quotes.";

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

SetupOptions ParseSetupArguments(const char* arguments) {
  SetupOptions options = {};
  options.valid = true;
  const char* p = arguments;
  for (;;) {
    while (*p == ' ' || *p == '\t') p++;
    if (!*p) break;
    // Programs that start others quote an argument with blanks in it, so
    // "/D=C:\My dir" is taken as well, up to its closing quote.
    const bool quoted = p[0] == '"';
    const char* q = quoted ? p + 1 : p;
    if (q[0] == '/' && (q[1] == 'D' || q[1] == 'd') && q[2] == '=') {
      // The rest of the line, trailing blanks dropped.
      const char* dir = q + 3;
      size_t n = strlen(dir);
      if (quoted) {
        const char* close = strchr(dir, '"');
        if (close) n = size_t(close - dir);
      }
      while (n && (dir[n - 1] == ' ' || dir[n - 1] == '\t')) n--;
      if (n >= sizeof options.dir) {
        options.valid = false;
        break;
      }
      memcpy(options.dir, dir, n);
      options.dir[n] = 0;
      options.haveDir = true;
      if (!InstallDirUsable(options.dir)) options.valid = false;
      break;
    }
    const char* end = p;
    while (*end && *end != ' ' && *end != '\t') end++;
    if (end - p == 2 && p[0] == '/' && (p[1] == 'S' || p[1] == 's')) {
      options.silent = true;
    } else {
      options.valid = false;  // keep reading: /S still silences the message
    }
    p = end;
  }
  return options;
}
