// installsequence.cpp - the steps from the extraction to the final report.
#include "front/installsequence.h"

#include <cstring>

#include "archive/status.h"
#include "archive/unace.h"
#include "install/logcreaterunit.h"
#include "install/registration.h"
#include "platform/platform.h"

char ShortcutTarget[kShortcutPathSize];
char ShortcutLink[kShortcutPathSize];

namespace {

// The short (8.3) form of InstallDir into `buffer`, or InstallDir itself
// when the system cannot give one.
void ShortInstallDir(char* buffer) {
  if (!platform->getShortPathName(InstallDir, buffer, kShortcutPathSize)) strcpy(buffer, InstallDir);
}

bool Append(char* buffer, const char* text) {
  const size_t n = strlen(buffer);
  const size_t m = strlen(text);
  if (n + m >= size_t(kShortcutPathSize)) return false;
  memcpy(buffer + n, text, m + 1);
  return true;
}

// The Start-menu folder and its four shortcuts. Without a Programs folder
// nothing is made, rather than a folder in whatever directory is current.
bool MakeStartMenu() {
  strcpy(ShortcutTarget, InstallDir);
  Append(ShortcutTarget, "qmk.exe");
  if (!GetProgramsFolder(ShortcutLink) || !platform->setCurrentDirectory(ShortcutLink)) return false;
  bool made = MakeLoggedDirectory("Quellmark");
  made = made && IsDirectoryAttributes(platform->getFileAttributes("Quellmark"));
  if (Append(ShortcutLink, "\\Quellmark\\") && Append(ShortcutLink, "Quellmark.lnk")) {
    made = CreateShortcut(ShortcutTarget, ShortcutLink, "", "", 0) && made;
  } else {
    made = false;
  }
  made = AddFileShortcut("readme.txt", "ReadMe(eng).lnk", "", 0) && made;
  made = AddFileShortcut("readme.rus.txt", "ReadMe(rus).lnk", "", 0) && made;
  made = AddFileShortcut("qmk.exe", "Uninstall.lnk", "-uninstall", 2) && made;
  return made;
}

// A non-negative number in decimal.
void AppendNumber(char* text, int32_t value) {
  char digits[12];
  int n = 0;
  uint32_t v = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
  do {
    digits[n++] = char('0' + v % 10);
    v /= 10;
  } while (v);
  size_t at = strlen(text);
  if (value < 0) text[at++] = '-';
  while (n) text[at++] = digits[--n];
  text[at] = 0;
}

}  // namespace

bool AddFileShortcut(const char* fileName, const char* linkName, const char* arguments, int icon) {
  ShortInstallDir(ShortcutTarget);
  if (!Append(ShortcutTarget, fileName)) return false;
  if (!GetProgramsFolder(ShortcutLink)) return false;
  if (!Append(ShortcutLink, "\\Quellmark\\") || !Append(ShortcutLink, linkName)) return false;
  return CreateShortcut(ShortcutTarget, ShortcutLink, "", arguments, icon);
}

InstallOutcome InstallProduct() {
  InstallOutcome outcome = {};
  InstallPayload();
  outcome.extraction = errorStatus;
  if (outcome.extraction == kStatusOk && entryDetailsLost) outcome.extraction = kStatusDetailsLost;
  platform->initializeCom();
  outcome.shortcutsMade = MakeStartMenu();
  // The uninstall command: the short form of the directory, qmk.exe and
  // the switch, whether or not the shortcuts were made.
  ShortInstallDir(ShortcutTarget);
  Append(ShortcutTarget, "qmk.exe");
  Append(ShortcutTarget, " -uninstall");
  outcome.registered = RegisterUninstall("Quellmark", ShortcutTarget);
  return outcome;
}

void CloseInstallLog(InstallOutcome* outcome) {
  outcome->logWritten = InstallLog && InstallLog->created && InstallLog->Close() && InstallLog->complete;
  delete InstallLog;
  InstallLog = nullptr;
}

bool InstallSucceeded(const InstallOutcome& outcome) {
  return outcome.extraction == kStatusOk && outcome.logWritten && outcome.shortcutsMade && outcome.registered;
}

int ExitCodeOf(const InstallOutcome& outcome) {
  return InstallSucceeded(outcome) ? kExitInstalled : kExitIncomplete;
}

void MakeFinalReport(const InstallOutcome& outcome, FinalReport* report) {
  if (InstallSucceeded(outcome)) {
    strcpy(report->text, "  Installing complited .        ");
    report->caption = "Information";
    report->warning = false;
    return;
  }
  char* text = report->text;
  strcpy(text, "Quellmark was not installed completely.");
  if (outcome.extraction != kStatusOk) {
    strcat(text, "\nThe product files could not all be extracted (error ");
    AppendNumber(text, outcome.extraction);
    strcat(text, ").");
  }
  if (!outcome.logWritten) strcat(text, "\nThe install log could not be written.");
  if (!outcome.shortcutsMade) strcat(text, "\nThe Start-menu shortcuts could not all be created.");
  if (!outcome.registered) strcat(text, "\nThe uninstall entry could not be registered.");
  report->caption = "Quellmark";
  report->warning = true;
}
