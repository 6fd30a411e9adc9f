// setupwindow.h - the setup window, the folder browser and the wait window.
//
// Both windows are plain top-level windows of one class, laid out at fixed
// pixel positions, with the system font. The keyboard works through
// IsDialogMessageA: Tab moves among Browse, OK, Cancel and the directory
// field; Enter or Space presses the focused button, and OK has the focus at
// first, so Enter confirms the proposal.
#pragma once

#include <windows.h>

extern HINSTANCE Instance;  // the module's instance handle, from WinMain
extern HWND MainWnd;        // the setup window, after OK the wait window
extern HWND DirEdit;        // the directory field
extern HWND OkButton;
extern char BrowsePath[MAX_PATH];
extern BYTE Confirmed;      // 1 once OK accepted the directory

// Shows the setup window and runs its message loop. True when the user
// confirmed a usable directory with OK: then InstallDir holds it, the setup
// window is gone and MainWnd is the wait window, shown and painted. False on
// Cancel, the close box, or when the window class cannot be registered.
bool RunSetupWindow();

LRESULT CALLBACK SetupWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// One push button, child of MainWnd.
HWND AddPushButton(const char* text, int x, int y, int width, int height);

// The shell's folder browser, starting at the deepest existing folder on the
// way to `path` (InstallDir). When a folder is chosen whose path plus the
// product leaf fits, `path` becomes that folder plus "QMK\". Returns whether
// a folder was chosen.
bool BrowseForInstallDir(char* path);

int CALLBACK BrowseCallback(HWND browser, UINT notification, LPARAM lParam, LPARAM data);

// The message of a directory refused at OK.
extern const char kDirectoryRefused[];
constexpr int kDirectoryRefusalSize = 256;  // a refusal of DirectoryRefused
