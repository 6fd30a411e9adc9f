// shortcuts.cpp - shell links through the system's own link object.
#include "install/shortcuts.h"

#include <cstring>

#include "install/logcreaterunit.h"
#include "platform/platform.h"

namespace {
constexpr size_t kShellPathSize = 260;  // MAX_PATH, the terminator included
}  // namespace

bool GetProgramsFolder(char* buffer) { return platform->getProgramsFolder(buffer, kShortcutPathSize); }

bool CreateShortcut(const char* target, const char* link, const char* description, const char* arguments,
                    int icon) {
  if (strlen(link) >= kShellPathSize) return false;
  // The working directory is the target's directory without its final "\".
  char directory[kShortcutPathSize];
  strncpy(directory, target, sizeof directory - 1);
  directory[sizeof directory - 1] = 0;
  char* cut = strrchr(directory, '\\');
  if (cut) *cut = 0;

  const intptr_t prepared = platform->prepareShortcut(target, directory, description, arguments, icon);
  if (!prepared) return false;
  if (!LogItem(link)) {
    platform->saveShortcut(prepared, nullptr);  // released unsaved
    return false;
  }
  return platform->saveShortcut(prepared, link);
}
