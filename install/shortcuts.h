// shortcuts.h - the Start-menu Programs folder and shell link files.
#pragma once

#include <windows.h>

constexpr int kShortcutPathSize = 1000;

// The path of the current user's Start-menu Programs folder, without a final
// "\", into `buffer` (kShortcutPathSize bytes). False, with `buffer` empty,
// when the shell cannot resolve it.
bool GetProgramsFolder(char* buffer);

// Writes the shell link `link` (an absolute ".lnk" path) that starts `target`
// with `arguments` in the target's directory; with `icon` not 0 it shows
// the icon of that number in the target file. The link's line goes to the
// install log just before the file is written. COM must be initialised.
// Returns the first failing COM result or that of saving the file; a link
// path that does not fit the shell's 260 characters is refused with
// E_INVALIDARG before anything is logged.
HRESULT CreateShortcut(const char* target, const char* link, const char* description, const char* arguments,
                       int icon);
