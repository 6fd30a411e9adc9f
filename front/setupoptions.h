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

// What the command line asks for. Without arguments: the setup window.
//   /S            install without any window into the proposed directory
//   /D=directory  the installation directory; last, taken to the end of the
//                 line, spaces allowed, no quotes needed ("/D=..." as a
//                 whole in quotes is taken too)
struct SetupOptions {
  bool silent;
  bool haveDir;
  bool valid;  // false: an unknown switch, or a /D= directory not usable
  char dir[kInstallDirChars];
};

// Parses the arguments after the program's name (GetCommandLineA with the
// program's name skipped, see SkipProgramName).
SetupOptions ParseSetupArguments(const char* arguments);

// The part of a full command line behind the program's name, which may be
// quoted, and the blanks after it.
const char* SkipProgramName(const char* commandLine);

// The usage message of the command line.
extern const char kSetupUsage[];
