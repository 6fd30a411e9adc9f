// winmain.cpp - the installer's run from start-up to exit code.
//
// Before anything else the DLL search is limited to the system directory,
// and the payload is checked whole, so a damaged download is refused with
// nothing written. Then the setup window (or, with /S, nothing) confirms
// the directory, and one uninterrupted sequence extracts the payload,
// makes the Start-menu folder and its four shortcuts, registers the
// uninstaller and closes the install log (installsequence.cpp, which needs
// no window). Every step runs whatever the others did; the final report
// names each step that failed.
//
// Exit codes: 0 installed, or cancelled; 1 installed with failures (the
// report lists them); 2 nothing installed: damaged payload, a wrong
// command line, a directory that cannot be installed into, or one that
// could not be made.
#include <windows.h>

#include <cstring>

#include "archive/unace.h"
#include "archive/verify.h"
#include "front/installsequence.h"
#include "front/setupoptions.h"
#include "front/setupwindow.h"
#include "platform/platform.h"

namespace {

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

}  // namespace

void MakeDefaultInstallDir(char* buffer) {
  const UINT n = GetWindowsDirectoryA(buffer, kInstallDirSize);
  const bool drive = n >= 3 && n < UINT(kInstallDirSize) && buffer[1] == ':' && buffer[2] == '\\';
  if (!drive) strcpy(buffer, "C:\\");  // no drive to take: the usual system drive
  strcpy(buffer + 3, "Program files\\");
}

namespace {

// The payload against the seal the build made after decoding every entry
// (resource RCDATA 11); without a seal every entry is decoded here.
bool PayloadIntact(const uint8_t* payload, uint32_t size) {
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(10));
  HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
  const void* seal = loaded ? LockResource(loaded) : nullptr;
  if (!seal) return VerifyArchiveImage(payload, size, platform->payloadView);
  return SealedImageIntact(payload, size, static_cast<const uint8_t*>(seal), SizeofResource(nullptr, found),
                           platform->payloadView);
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
  // The directory is checked before anything is written; the payload's
  // longest name is known from its check. Without a window a refusal is
  // the exit code; with one, the user is told and chooses another.
  char refusal[kDirectoryRefusalSize];
  const char* refused = nullptr;
  if (!InstallDirUsable(InstallDir)) {
    refused = kDirectoryRefused;
  } else if (DirectoryRefused(InstallDir, longestEntryName, refusal, sizeof refusal)) {
    refused = refusal;
  }
  if (refused && options.silent) return kExitRefused;
  if (refused && options.haveDir) MessageBoxA(nullptr, refused, kCaption, MB_OK | MB_ICONWARNING);
  if (!options.silent && !RunSetupWindow()) return kExitInstalled;
  InstallOutcome outcome = InstallProduct();
  if (MainWnd) DestroyWindow(MainWnd);
  MainWnd = nullptr;
  CloseInstallLog(&outcome);
  if (!options.silent) {
    FinalReport report;
    MakeFinalReport(outcome, &report);
    MessageBoxA(nullptr, report.text, report.caption, MB_OK | (report.warning ? MB_ICONWARNING : MB_ICONINFORMATION));
  }
  return ExitCodeOf(outcome);
}
