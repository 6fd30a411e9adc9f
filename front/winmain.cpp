// winmain.cpp - the installer's run from start-up to exit code.
//
// Before anything else the DLL search is limited to the system directory,
// and the payload is checked whole, so a damaged download is refused with
// nothing written. Then the setup window (or, with /S, nothing) confirms
// the directory, and one uninterrupted sequence extracts the payload,
// makes the Start-menu folder and its four shortcuts, registers the
// uninstaller and closes the install log. Every step runs whatever the
// others did; the final report names each step that failed.
//
// Exit codes: 0 installed, or cancelled; 1 installed with failures (the
// report lists them); 2 nothing installed: damaged payload or a wrong
// command line.
#include <windows.h>

#include <cstring>

#include "archive/status.h"
#include "archive/unace.h"
#include "archive/verify.h"
#include "front/setupoptions.h"
#include "front/setupwindow.h"
#include "install/logcreaterunit.h"
#include "install/registration.h"
#include "install/shortcuts.h"
#include "platform/platform.h"

char ShortcutTarget[kShortcutPathSize];
char ShortcutLink[kShortcutPathSize];

namespace {

constexpr int kExitInstalled = 0;
constexpr int kExitIncomplete = 1;
constexpr int kExitRefused = 2;

const char kCaption[] = "Quellmark";
const char kDamaged[] = "The installer is damaged and cannot install Quellmark. Please obtain a new copy.";

// Only the system directory is searched for DLLs loaded from here on, so a
// DLL planted beside the downloaded installer is never picked up. Systems
// without SetDefaultDllDirectories at least lose the current directory.
void RestrictDllSearch() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  FARPROC found = kernel ? GetProcAddress(kernel, "SetDefaultDllDirectories") : nullptr;
  if (found) {
    reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(found))(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  SetDllDirectoryA("");
}

// The short (8.3) form of InstallDir into `buffer`, or InstallDir itself
// when the system cannot give one.
void ShortInstallDir(char* buffer) {
  const DWORD n = GetShortPathNameA(InstallDir, buffer, kShortcutPathSize);
  if (n == 0 || n >= DWORD(kShortcutPathSize)) strcpy(buffer, InstallDir);
}

bool Append(char* buffer, const char* text) {
  const size_t n = strlen(buffer);
  const size_t m = strlen(text);
  if (n + m >= size_t(kShortcutPathSize)) return false;
  memcpy(buffer + n, text, m + 1);
  return true;
}

// What went wrong, for the final report.
struct Outcome {
  int32_t extraction;  // the extraction's status, 0 when every entry was written
  bool logWritten;
  bool shortcutsMade;
  bool registered;
};

}  // namespace

void MakeDefaultInstallDir(char* buffer) {
  const UINT n = GetWindowsDirectoryA(buffer, kInstallDirSize);
  const bool drive = n >= 3 && n < UINT(kInstallDirSize) && buffer[1] == ':' && buffer[2] == '\\';
  if (!drive) strcpy(buffer, "C:\\");  // no drive to take: the usual system drive
  strcpy(buffer + 3, "Program files\\");
}

// One shortcut in the Start-menu folder to a file of the installation
// directory, through the directory's short form.
bool AddFileShortcut(const char* fileName, const char* linkName, const char* arguments, int icon) {
  ShortInstallDir(ShortcutTarget);
  if (!Append(ShortcutTarget, fileName)) return false;
  if (!GetProgramsFolder(ShortcutLink)) return false;
  if (!Append(ShortcutLink, "\\Quellmark\\") || !Append(ShortcutLink, linkName)) return false;
  return SUCCEEDED(CreateShortcut(ShortcutTarget, ShortcutLink, "", arguments, icon));
}

namespace {

// The Start-menu folder and its four shortcuts. Without a Programs folder
// nothing is made, rather than a folder in whatever directory is current.
bool MakeStartMenu() {
  strcpy(ShortcutTarget, InstallDir);
  Append(ShortcutTarget, "qmk.exe");
  if (!GetProgramsFolder(ShortcutLink) || !SetCurrentDirectoryA(ShortcutLink)) return false;
  MakeLoggedDirectory("Quellmark");
  const DWORD folder = GetFileAttributesA("Quellmark");
  bool made = folder != INVALID_FILE_ATTRIBUTES && (folder & FILE_ATTRIBUTE_DIRECTORY);
  if (Append(ShortcutLink, "\\Quellmark\\") && Append(ShortcutLink, "Quellmark.lnk")) {
    made = SUCCEEDED(CreateShortcut(ShortcutTarget, ShortcutLink, "", "", 0)) && made;
  } else {
    made = false;
  }
  made = AddFileShortcut("readme.txt", "ReadMe(eng).lnk", "", 0) && made;
  made = AddFileShortcut("readme.rus.txt", "ReadMe(rus).lnk", "", 0) && made;
  made = AddFileShortcut("qmk.exe", "Uninstall.lnk", "-uninstall", 2) && made;
  return made;
}

Outcome Install() {
  Outcome outcome = {};
  InstallPayload();
  outcome.extraction = errorStatus;
  CoInitialize(nullptr);
  outcome.shortcutsMade = MakeStartMenu();
  // The uninstall command: the short form of the directory, qmk.exe and
  // the switch, whether or not the shortcuts were made.
  ShortInstallDir(ShortcutTarget);
  Append(ShortcutTarget, "qmk.exe");
  Append(ShortcutTarget, " -uninstall");
  outcome.registered = RegisterUninstall("Quellmark", ShortcutTarget);
  if (MainWnd) DestroyWindow(MainWnd);
  MainWnd = nullptr;
  outcome.logWritten = InstallLog && InstallLog->created && InstallLog->complete;
  delete InstallLog;
  InstallLog = nullptr;
  return outcome;
}

// The payload against the seal the build made after decoding every entry
// (resource RCDATA 11); without a seal every entry is decoded here.
bool PayloadIntact(const uint8_t* payload, uint32_t size) {
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(10));
  HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
  const void* seal = loaded ? LockResource(loaded) : nullptr;
  if (!seal) return VerifyArchiveImage(payload, size);
  return SealedImageIntact(payload, size, static_cast<const uint8_t*>(seal), SizeofResource(nullptr, found));
}

bool Succeeded(const Outcome& outcome) {
  return outcome.extraction == kStatusOk && outcome.logWritten && outcome.shortcutsMade && outcome.registered;
}

void Report(const Outcome& outcome) {
  if (Succeeded(outcome)) {
    MessageBoxA(nullptr, "  Installing complited .        ", "Information", MB_OK | MB_ICONINFORMATION);
    return;
  }
  char text[512] = "Quellmark was not installed completely.";
  if (outcome.extraction != kStatusOk) {
    char number[16];
    wsprintfA(number, "%d", int(outcome.extraction));
    strcat(text, "\nThe product files could not all be extracted (error ");
    strcat(text, number);
    strcat(text, ").");
  }
  if (!outcome.logWritten) strcat(text, "\nThe install log could not be written.");
  if (!outcome.shortcutsMade) strcat(text, "\nThe Start-menu shortcuts could not all be created.");
  if (!outcome.registered) strcat(text, "\nThe uninstall entry could not be registered.");
  MessageBoxA(nullptr, text, kCaption, MB_OK | MB_ICONWARNING);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  RestrictDllSearch();
  const SetupOptions options = ParseSetupArguments(SkipProgramName(GetCommandLineA()));
  if (!options.valid) {
    if (!options.silent) MessageBoxA(nullptr, kSetupUsage, kCaption, MB_OK | MB_ICONWARNING);
    return kExitRefused;
  }
  Instance = instance;
  const uint8_t* payload = nullptr;
  uint32_t payloadSize = 0;
  if (!platform->findPayload(&payload, &payloadSize) || !PayloadIntact(payload, payloadSize)) {
    if (!options.silent) MessageBoxA(nullptr, kDamaged, kCaption, MB_OK | MB_ICONERROR);
    return kExitRefused;
  }
  MakeDefaultInstallDir(InstallDir);
  AppendProductLeaf(InstallDir, sizeof InstallDir);
  if (options.haveDir) strcpy(InstallDir, options.dir);
  if (!options.silent && !RunSetupWindow()) return kExitInstalled;
  const Outcome outcome = Install();
  if (!options.silent) Report(outcome);
  return Succeeded(outcome) ? kExitInstalled : kExitIncomplete;
}
