// setupoptions.h - the front end's rules that need no window: the product
// leaf, which directories can be installed into, and the command line.
#pragma once

#include <cstddef>

// The installation directory's buffer size, terminator included.
constexpr size_t kInstallDirChars = 260;

// An empty path stays empty; otherwise a "\" is appended unless the path
// already ends with one, then "QMK\". False, with the path unchanged, when
// the result would not fit `capacity` bytes.
bool AppendProductLeaf(char* path, size_t capacity);

// Whether the installer accepts `path` as an installation directory: it
// starts with a drive letter, ":" and "\" or with "\\server\share\" (the
// final "\" may be the end), and fits InstallDir with the final "\" that
// the extraction adds.
bool InstallDirUsable(const char* path);

// Whether a full path (one InstallDirUsable accepts) can be installed into,
// checked before anything is written: its drive or share exists; no name
// in it holds a character Windows does not allow (< > : " / | ? * or a
// control character; one outside the ANSI code page arrives as "?") or
// ends with a dot or a space; no part of it is an existing file; and the
// longest path the installation makes fits 259 characters: the directory
// with its final "\" and the longest of the payload's entry names
// (`longestEntry`) or "uninstall.list". When it cannot, `message` gets the
// refusal the user sees and the result is true.
bool DirectoryRefused(const char* dir, size_t longestEntry, char* message, size_t size);

// What the command line asks for. Without arguments: the setup window.
//   /S            install without any window; anywhere on the line
//   /D=directory  the installation directory: unquoted, taken to the end of
//                 the line, spaces allowed (a final /S is the switch, as
//                 no name holds "/"); quoted, as "/D=..." or /D="...", up to
//                 the closing quote, and anything may follow
struct SetupOptions {
  bool silent;
  bool haveDir;
  bool valid;  // false: an unknown switch
  char dir[kInstallDirChars];  // a longer /D= directory is cut to 259 characters, which no payload fits
};

// Parses the arguments after the program's name (GetCommandLineA with the
// program's name skipped, see SkipProgramName).
SetupOptions ParseSetupArguments(const char* arguments);

// The part of a full command line behind the program's name, which may be
// quoted, and the blanks after it.
const char* SkipProgramName(const char* commandLine);

// The usage message of the command line.
extern const char kSetupUsage[];
