// setupwindow.cpp - what the user sees before the installation starts.
#include "front/setupwindow.h"

#include <shlobj.h>

#include <cstring>

#include "archive/unace.h"
#include "archive/verify.h"
#include "front/setupoptions.h"

HINSTANCE Instance;
HWND MainWnd;
HWND DirEdit;
HWND OkButton;
char BrowsePath[MAX_PATH];
BYTE Confirmed;

const char kDirectoryRefused[] =
    "Please enter the full path of the installation directory, for example C:\\Program files\\QMK\\";

namespace {

const char kClassName[] = "EnterPathWndClass";
constexpr DWORD kChildStyle = WS_CHILD | WS_VISIBLE;
constexpr DWORD kButtonStyle = kChildStyle | WS_TABSTOP | BS_DEFPUSHBUTTON;  // 0x50010001

HWND Child(const char* cls, const char* text, DWORD style, int x, int y, int w, int h, HWND parent,
           DWORD exStyle = 0) {
  return CreateWindowExA(exStyle, cls, text, style, x, y, w, h, parent, nullptr, Instance, nullptr);
}

// OK: the field's text becomes InstallDir only when it can be installed
// into; otherwise the user is told why and the field has the focus again.
void ConfirmDirectory() {
  char typed[kInstallDirChars];
  const int length = GetWindowTextLengthA(DirEdit);
  GetWindowTextA(DirEdit, typed, sizeof typed);
  char refusal[kDirectoryRefusalSize];
  const char* shown = nullptr;
  if (length >= int(sizeof typed) || !InstallDirUsable(typed)) {
    shown = kDirectoryRefused;
  } else if (DirectoryRefused(typed, longestEntryName, refusal, sizeof refusal)) {
    shown = refusal;
  }
  if (shown) {
    MessageBoxA(MainWnd, shown, "Quellmark", MB_OK | MB_ICONWARNING);
    SetFocus(DirEdit);
    return;
  }
  strcpy(InstallDir, typed);
  Confirmed = 1;
  PostQuitMessage(0);
}

// The deepest existing folder on the way to `path`, for the browser's first
// selection; empty when none exists.
void DeepestExistingFolder(const char* path, char* folder) {
  strncpy(folder, path, MAX_PATH - 1);
  folder[MAX_PATH - 1] = 0;
  for (;;) {
    size_t n = strlen(folder);
    while (n > 3 && folder[n - 1] == '\\') folder[--n] = 0;  // keep "C:\"
    if (n == 0) return;
    const DWORD attributes = GetFileAttributesA(folder);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    char* cut = strrchr(folder, '\\');
    if (!cut) {
      folder[0] = 0;
      return;
    }
    // "C:\x" leaves "C:\", so the drive's root is tried last.
    if (cut == folder + 2 && folder[1] == ':') cut[1] = 0;
    else *cut = 0;
    if (strlen(folder) == n) {
      folder[0] = 0;
      return;
    }
  }
}

}  // namespace

HWND AddPushButton(const char* text, int x, int y, int width, int height) {
  return Child("BUTTON", text, kButtonStyle, x, y, width, height, MainWnd);
}

bool RunSetupWindow() {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = SetupWndProc;
  windowClass.hInstance = Instance;
  windowClass.hIcon = LoadIconA(Instance, "MAINICON");
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_MENU + 1);
  windowClass.lpszClassName = kClassName;
  if (!RegisterClassA(&windowClass)) return false;

  MainWnd = CreateWindowExA(0, kClassName, "Installing Quellmark 3", WS_VISIBLE | WS_SYSMENU, 100, 100, 500, 185,
                            nullptr, nullptr, Instance, nullptr);
  if (!MainWnd) return false;  // no window, no quit message: treated as a cancel
  AddPushButton("&Browse", 100, 120, 75, 25);
  OkButton = AddPushButton("&OK", 200, 120, 75, 25);
  AddPushButton("&Cancel", 300, 120, 75, 25);
  HWND group = Child("BUTTON", "", kChildStyle | BS_GROUPBOX, 8, 1, 480, 110, MainWnd);
  Child("STATIC", "Do you wish to install Quellmark ?", kChildStyle | SS_CENTER, 5, 15, 470, 25, group);
  Child("STATIC", "Directory for install:", kChildStyle, 5, 55, 470, 20, group);
  DirEdit = Child("EDIT", InstallDir, kChildStyle | WS_TABSTOP, 15, 75, 465, 25, MainWnd, WS_EX_CLIENTEDGE);
  SetFocus(OkButton);
  ShowWindow(MainWnd, SW_SHOWNORMAL);
  UpdateWindow(MainWnd);

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (MainWnd && IsDialogMessageA(MainWnd, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  DestroyWindow(MainWnd);
  MainWnd = nullptr;

  if (Confirmed) {
    MainWnd = CreateWindowExA(0, kClassName, "Quellmark", WS_VISIBLE, 200, 150, 300, 100, nullptr, nullptr,
                              Instance, nullptr);
    Child("STATIC", "Please wait ....", kChildStyle, 5, 15, 480, 20, MainWnd);
    ShowWindow(MainWnd, SW_SHOWNORMAL);
    UpdateWindow(MainWnd);
  }
  return Confirmed != 0;
}

LRESULT CALLBACK SetupWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) {
    PostQuitMessage(0);
    return 0;
  }
  if (message != WM_COMMAND) return DefWindowProcA(window, message, wParam, lParam);
  HWND sender = reinterpret_cast<HWND>(lParam);
  // Only the three buttons act; the field's notifications are ignored.
  if (!sender || sender == DirEdit || GetParent(sender) != MainWnd) return 0;
  char text[100];
  if (GetWindowTextA(sender, text, sizeof text) < 2) return 0;
  switch (text[1]) {
    case 'B':
      ShowWindow(MainWnd, SW_HIDE);
      BrowseForInstallDir(InstallDir);
      SetWindowTextA(DirEdit, InstallDir);
      ShowWindow(MainWnd, SW_SHOWNORMAL);
      SetFocus(OkButton);  // so that Enter confirms what was picked
      break;
    case 'C':
      PostQuitMessage(0);
      break;
    case 'O':
      ConfirmDirectory();
      break;
    default:
      break;
  }
  return 0;
}

bool BrowseForInstallDir(char* path) {
  DeepestExistingFolder(path, BrowsePath);
  LPITEMIDLIST root = nullptr;
  SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &root);
  BROWSEINFOA info = {};
  info.hwndOwner = nullptr;
  info.pidlRoot = root;
  info.pszDisplayName = BrowsePath;
  info.lpszTitle = "Select directory for installation .";
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT;
  info.lpfn = BrowseCallback;
  info.lParam = 0;
  LPITEMIDLIST chosen = SHBrowseForFolderA(&info);
  if (root) CoTaskMemFree(root);
  if (!chosen) return false;
  // Read into a buffer of its own, so a folder too deep for the product
  // leaf leaves the directory as it was.
  char folder[MAX_PATH + 8];
  const bool read = SHGetPathFromIDListA(chosen, folder) && folder[0];
  CoTaskMemFree(chosen);
  if (read && AppendProductLeaf(folder, kInstallDirChars)) strcpy(path, folder);
  return true;
}

int CALLBACK BrowseCallback(HWND browser, UINT notification, LPARAM lParam, LPARAM) {
  if (notification == BFFM_INITIALIZED) {
    SetWindowTextA(browser, "Browser");
    SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(BrowsePath));
  } else if (notification == BFFM_SELCHANGED) {
    char status[MAX_PATH] = "";
    if (!SHGetPathFromIDListA(reinterpret_cast<LPCITEMIDLIST>(lParam), status)) status[0] = 0;
    // A folder too deep for the leaf shows as it is; OK on it changes nothing.
    AppendProductLeaf(status, sizeof BrowsePath);
    strcpy(BrowsePath, status[0] ? status : "");
    SendMessageA(browser, BFFM_SETSTATUSTEXTA, 0, reinterpret_cast<LPARAM>(BrowsePath));
  }
  return 0;
}
