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

// Whether a file of the installation directory is there to point at.
bool Installed(const char* fileName) {
  char path[kShortcutPathSize];
  strcpy(path, InstallDir);
  const uint32_t a = Append(path, fileName) ? platform->getFileAttributes(path) : kNoAttributes;
  return a != kNoAttributes && a != kAttributesUnknown && !(a & 0x10);
}

// The Start-menu folder and its shortcuts, each only when its target is
// there. Without a Programs folder nothing is made, rather than a folder in
// whatever directory is current; without any target, no folder either.
bool MakeStartMenu() {
  const bool program = Installed("qmk.exe");
  const bool english = Installed("readme.txt");
  const bool russian = Installed("readme.rus.txt");
  if (!program && !english && !russian) return false;
  strcpy(ShortcutTarget, InstallDir);
  Append(ShortcutTarget, "qmk.exe");
  if (!GetProgramsFolder(ShortcutLink) || !platform->setCurrentDirectory(ShortcutLink)) return false;
  bool made = MakeLoggedDirectory("Quellmark");
  made = made && IsDirectoryAttributes(platform->getFileAttributes("Quellmark"));
  if (!program) {
    made = false;
  } else if (Append(ShortcutLink, "\\Quellmark\\") && Append(ShortcutLink, "Quellmark.lnk")) {
    made = CreateShortcut(ShortcutTarget, ShortcutLink, "", "", 0) && made;
  } else {
    made = false;
  }
  made = english && AddFileShortcut("readme.txt", "ReadMe(eng).lnk", "", 0) && made;
  made = russian && AddFileShortcut("readme.rus.txt", "ReadMe(rus).lnk", "", 0) && made;
  made = program && AddFileShortcut("qmk.exe", "Uninstall.lnk", "-uninstall", 2) && made;
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

bool NothingInstalled(const InstallOutcome& outcome) { return outcome.extraction == kStatusNoInstallDir; }

InstallOutcome InstallProduct() {
  InstallOutcome outcome = {};
  InstallPayload();
  outcome.extraction = errorStatus;
  if (outcome.extraction == kStatusOk && entryDetailsLost) outcome.extraction = kStatusDetailsLost;
  outcome.failedPath = failedPath[0] ? failedPath : nullptr;
  if (NothingInstalled(outcome)) return outcome;
  platform->initializeCom();
  outcome.shortcutsMade = MakeStartMenu();
  // The uninstall command: the short form of the directory, qmk.exe and
  // the switch, whether or not the shortcuts were made; only when there is
  // a qmk.exe to run.
  outcome.uninstallerMissing = !Installed("qmk.exe");
  if (outcome.uninstallerMissing) return outcome;
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
  if (NothingInstalled(outcome)) return kExitRefused;
  return InstallSucceeded(outcome) ? kExitInstalled : kExitIncomplete;
}

namespace {

// What happened to the extraction, in words; "%" stands for the path it
// failed on.
const char* ExtractionFailure(int32_t status) {
  switch (status) {
    case kStatusNoMemory:
      return "There was not enough memory to unpack the product files. Close other programs and run the "
             "installer again.";
    case kStatusShortWrite:
      return "% could not be written in full: the disk is full. Free some space and run the installer again.";
    case kStatusUnsafeName:
      return "% could not be installed: a file or folder of the user's is in its way. Move it away and run the "
             "installer again.";
    case kStatusNoInstallDir:
      return "The directory % could not be created or entered. Choose another directory.";
    case kStatusNotLogged:
      return "The install log could not record %, so it was not installed. Free some space and run the "
             "installer again.";
    case kStatusDetailsLost:
      return "A product file did not take its date or attributes; its contents are complete.";
    case kStatusCannotLook:
      return "Windows could not tell whether % exists. Check the drive and run the installer again.";
    case kStatusCannotReplace:
      return "% is in use or read-only. Close Quellmark and run the installer again.";
    default:
      return "The product files inside this installer are damaged (at %). Download the installer again.";
  }
}

// Appends `text` to the report, with `path` for each "%" ("a product file"
// when there is none), as far as it fits.
void AppendText(char* report, const char* text, const char* path) {
  size_t at = strlen(report);
  const size_t room = sizeof(FinalReport::text) - 1;
  for (; *text && at < room; text++) {
    if (*text != '%') {
      report[at++] = *text;
      continue;
    }
    for (const char* p = path ? path : "a product file"; *p && at < room; p++) report[at++] = *p;
  }
  report[at] = 0;
}

}  // namespace

void MakeFinalReport(const InstallOutcome& outcome, FinalReport* report) {
  report->caption = "Quellmark";
  report->warning = true;
  char* text = report->text;
  text[0] = 0;
  if (NothingInstalled(outcome)) {
    AppendText(text, "Quellmark was not installed.\n", nullptr);
  } else if (InstallSucceeded(outcome)) {
    strcpy(report->text, "  Installing complited .        ");
    report->caption = "Information";
    report->warning = false;
    return;
  } else {
    AppendText(text, "Quellmark was not installed completely.\n", nullptr);
  }
  if (outcome.extraction != kStatusOk) {
    AppendText(text, ExtractionFailure(outcome.extraction), outcome.failedPath);
    AppendText(text, " (error ", nullptr);
    AppendNumber(text, outcome.extraction);
    AppendText(text, ")\n", nullptr);
  }
  if (!NothingInstalled(outcome)) {
    if (!outcome.logWritten) {
      AppendText(text, "The install log uninstall.list could not be written, so the uninstaller cannot remove "
                       "everything. Free some space and run the installer again.\n", nullptr);
    }
    if (!outcome.shortcutsMade) {
      AppendText(text, "The Start-menu shortcuts could not all be created; a shortcut is made only for a file "
                       "that was installed.\n", nullptr);
    }
    if (outcome.uninstallerMissing) {
      AppendText(text, "No uninstall entry was registered, as qmk.exe was not installed.\n", nullptr);
    } else if (!outcome.registered) {
      AppendText(text, "The uninstall entry could not be registered. Run the installer as an administrator.\n",
                 nullptr);
    }
  }
  const size_t n = strlen(text);
  if (n && text[n - 1] == '\n') text[n - 1] = 0;
}
