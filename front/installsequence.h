// installsequence.h - the installation after the user's OK, without the
// windows: extraction, Start-menu folder and shortcuts, uninstall
// registration, the install log closed, and the final report with its exit
// code.
//
// Everything here reaches the system through the platform table only, so
// the whole sequence runs against the in-memory system in tests: every call
// failing in turn, a disk filling up at any byte, the process stopped after
// any call. WinMain puts the windows around it.
//
// Every step runs whatever the others did, except that nothing points at
// what is not there: when the installation directory could not be made or
// entered (status 14) no Start-menu item and no uninstall key is made, a
// shortcut is made only when its target exists, and the uninstall key and
// its shortcut only when qmk.exe does. The report names each step that
// failed, in words, with what the user can do; success is reported only
// when every step succeeded:
//   extraction   the extraction's status was 0 (every entry written, CRC-checked)
//                and every entry took its stored time and attributes (else 16)
//   log          the log file was created and took every line
//   shortcuts    the Start-menu folder exists and all four links were saved
//   registration the uninstall key was opened or created, both values set and flushed
#pragma once

#include <cstddef>
#include <cstdint>

#include "install/shortcuts.h"

constexpr int kExitInstalled = 0;   // installed, or cancelled
constexpr int kExitIncomplete = 1;  // installed with failures, which the report lists
constexpr int kExitRefused = 2;     // nothing installed: damaged payload or wrong command line

// Target path of the shortcut being made; at the end, the uninstall command.
extern char ShortcutTarget[kShortcutPathSize];
// Full path of the shortcut file being made.
extern char ShortcutLink[kShortcutPathSize];

struct InstallOutcome {
  int32_t extraction;  // the extraction's status, 0 when every entry was written
  bool logWritten;
  bool shortcutsMade;
  bool registered;
  const char* failedPath;  // the file or directory the extraction failed on, or null
  bool uninstallerMissing; // qmk.exe is not in the installation directory: nothing registered
};

// Whether the run installed nothing at all: the installation directory
// could not be made or entered.
bool NothingInstalled(const InstallOutcome& outcome);

// One shortcut in the Start-menu folder to a file of the installation
// directory, through the directory's short form (InstallDir itself when the
// system has none). True when the link was saved.
bool AddFileShortcut(const char* fileName, const char* linkName, const char* arguments, int icon);

// Extracts the payload into InstallDir (which gains its final "\"), makes
// the Start-menu folder "Quellmark" with its four shortcuts, and registers
// the uninstaller. The log stays open.
InstallOutcome InstallProduct();

// Closes the log and notes whether it took every line.
void CloseInstallLog(InstallOutcome* outcome);

bool InstallSucceeded(const InstallOutcome& outcome);
int ExitCodeOf(const InstallOutcome& outcome);

// The final message box: "  Installing complited .        " captioned
// "Information" after a complete installation; otherwise, captioned
// "Quellmark" with a warning icon, "Quellmark was not installed." (nothing
// was) or "Quellmark was not installed completely." and one line for each
// step that failed: what happened, to which file or directory, what the
// user can do, and the status number for support.
struct FinalReport {
  char text[1536];
  const char* caption;
  bool warning;
};
void MakeFinalReport(const InstallOutcome& outcome, FinalReport* report);
