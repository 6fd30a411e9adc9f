// shortcuts.h - the Start-menu Programs folder and shell link files.
//
// The link object itself is the system's (the platform table's
// prepareShortcut and saveShortcut); what is decided here - the working
// directory, the refusal of a path too long for the shell, and the log line
// written between preparing the link and saving it - is the same on every
// platform.
#pragma once

constexpr int kShortcutPathSize = 1000;

// The path of the current user's Start-menu Programs folder, without a final
// "\", into `buffer` (kShortcutPathSize bytes). False, with `buffer` empty,
// when the shell cannot resolve it.
bool GetProgramsFolder(char* buffer);

// Writes the shell link `link` (an absolute ".lnk" path) that starts `target`
// with `arguments` in the target's directory; with `icon` not 0 it shows
// the icon of that number in the target file. The link's line goes to the
// install log once the link object is ready and just before the file is
// written; a link object that cannot be had logs nothing. A link path that
// does not fit the shell's 260 characters is refused before anything is
// logged, and a line the log does not take leaves the link unsaved.
// True when the link file was saved.
bool CreateShortcut(const char* target, const char* link, const char* description, const char* arguments,
                    int icon);
