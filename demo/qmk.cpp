// qmk.cpp - the demo product: a window standing in for Quellmark, and the
// product's uninstaller, which removes what uninstall.list names.
//
// Command lines (switches are case-insensitive):
//   qmk.exe                  shows the product's window.
//   qmk.exe -uninstall       asks for confirmation, then removes everything
//                            uninstall.list (in qmk.exe's own directory,
//                            the installation directory) names; a message
//                            box tells what could not be removed.
//   qmk.exe -uninstall /S    the same without any window or question. The
//                            report goes to standard output, one CR LF line
//                            per problem:
//                              not removed: PATH       (file or directory)
//                              not removed: HKEY_LOCAL_MACHINE\KEY
//                              not understood: LINE    (touched nothing)
//                              cannot read: PATH       (no log, nothing done)
//                            and last "result: N", N being the exit code of
//                            the process that did the work: 0 everything
//                            listed is gone, 1 something is left or a line
//                            was not understood, 2 the log could not be read
//                            or the command line is wrong.
//
// A running program cannot delete its own file on Windows, so the process
// started from the installation directory does no removing: it copies
// itself to %TEMP% and starts the copy with
//   qmk-uninstall-PID.exe -uninstall-copy HANDLE S|I "INSTALLDIR"
// (HANDLE: an inherited handle of the starting process, which the copy
// waits on before it touches anything; S silent, I interactive) and exits
// at once. The copy inherits the standard handles, so whoever reads the
// report from a pipe sees its end only when the copy has finished: that is
// how a test waits for the real end. The copy runs with %TEMP% as its
// current directory and is deleted when it exits (it is kept open with
// delete-on-close by an inherited handle). If the copy cannot be made or
// started, the uninstaller works in place and reports qmk.exe and the
// installation directory as left.
//
// Removal follows the log backwards: files and shortcuts are deleted (a
// read-only bit cleared first), directories removed only once empty, the
// registry key deleted with RegDeleteKeyA. Nothing that is not listed is
// touched, except uninstall.list itself, deleted just before the
// installation directory. A directory that a later line would have emptied
// gets a second try at the end; what still exists then is reported. That
// logic is portable (uninstlog.cpp, RemoveLogged), so the installer's tests
// run it over the logs of interrupted installations too.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "demo/uninstlog.h"

namespace {

constexpr char kTitle[] = "Quellmark";
constexpr char kLogName[] = "uninstall.list";
constexpr int kExitDone = 0, kExitLeft = 1, kExitFailed = 2;

// ---- Command line ----------------------------------------------------------

// The next argument of a Windows command line: blanks separate, double
// quotes group (paths here never contain quotes themselves).
std::string NextArgument(const char*& p) {
  while (*p == ' ' || *p == '\t') ++p;
  std::string arg;
  bool quoted = false;
  for (; *p && (quoted || (*p != ' ' && *p != '\t')); ++p) {
    if (*p == '"') {
      quoted = !quoted;
    } else {
      arg += *p;
    }
  }
  return arg;
}

std::vector<std::string> Arguments() {
  std::vector<std::string> args;
  const char* p = GetCommandLineA();
  NextArgument(p);  // the program
  for (;;) {
    std::string arg = NextArgument(p);
    if (arg.empty()) break;
    args.push_back(arg);
  }
  return args;
}

bool Is(const std::string& arg, const char* word) { return lstrcmpiA(arg.c_str(), word) == 0; }

// ---- The product window ----------------------------------------------------

LRESULT CALLBACK ProductWndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(wnd, &ps);
      RECT r;
      GetClientRect(wnd, &r);
      InflateRect(&r, -16, -16);
      SetBkMode(dc, TRANSPARENT);
      SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
      DrawTextA(dc,
                "Quellmark demo product.\n\n"
                "It stands in for the real product in the installer's tests. "
                "Start it with -uninstall to remove what the installer created.",
                -1, &r, DT_WORDBREAK);
      EndPaint(wnd, &ps);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(wnd, msg, wp, lp);
}

int RunProductWindow(HINSTANCE inst) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = ProductWndProc;
  wc.hInstance = inst;
  wc.hIcon = LoadIconA(inst, MAKEINTRESOURCEA(1));
  wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = "QuellmarkDemo";
  if (!RegisterClassA(&wc)) return 1;
  HWND wnd = CreateWindowExA(0, wc.lpszClassName, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 420,
                             200, nullptr, nullptr, inst, nullptr);
  if (!wnd) return 1;
  ShowWindow(wnd, SW_SHOWNORMAL);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}

// ---- Removal ---------------------------------------------------------------

std::string JoinPath(const std::string& dir, const char* name) {
  return dir.back() == '\\' ? dir + name : dir + '\\' + name;
}

uint32_t AttributesOf(const char* path) { return GetFileAttributesA(path); }
bool SetAttributes(const char* path, uint32_t attributes) { return SetFileAttributesA(path, attributes) != 0; }

// Deletes a listed file. The program that started us may have exited a
// moment ago, and Windows can hold its image file a little longer, so a
// refusal is retried for up to a second.
bool DeleteListedFile(const char* path) {
  for (int tries = 0;; ++tries) {
    if (DeleteFileA(path)) return true;
    const DWORD e = GetLastError();
    if (tries >= 10 || (e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION)) return false;
    Sleep(100);
  }
}

bool RemoveListedDirectory(const char* path) { return RemoveDirectoryA(path) != 0; }

bool KeyExists(const char* key) {
  HKEY h;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

bool DeleteKey(const char* key) { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, key) == ERROR_SUCCESS; }

const uninstlog::RemovalOps kWindowsRemoval = {AttributesOf, SetAttributes, DeleteListedFile,
                                               RemoveListedDirectory, KeyExists, DeleteKey};

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  const DWORD size = GetFileSize(f, nullptr);
  bool ok = size != INVALID_FILE_SIZE;
  if (ok) {
    bytes->resize(size);
    DWORD got = 0;
    ok = size == 0 || (ReadFile(f, &(*bytes)[0], size, &got, nullptr) && got == size);
  }
  CloseHandle(f);
  return ok;
}

// One uninstallation: the log of `installDir` read, its items removed, the
// report gathered. Returns the exit code.
int Uninstall(const std::string& installDir, std::vector<std::string>* report) {
  const std::string logPath = JoinPath(installDir, kLogName);
  std::string text;
  if (!ReadWholeFile(logPath, &text)) {
    report->push_back("cannot read: " + logPath);
    return kExitFailed;
  }
  return uninstlog::RemoveLogged(text, installDir, kWindowsRemoval, report) == uninstlog::kRemovedAll ? kExitDone
                                                                                                        : kExitLeft;
}

// ---- Reporting -------------------------------------------------------------

void WriteOut(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written;
  WriteFile(out, text.data(), DWORD(text.size()), &written, nullptr);
}

void Report(bool silent, int code, const std::vector<std::string>& report) {
  if (silent) {
    std::string text;
    for (const std::string& line : report) text += line + "\r\n";
    text += "result: " + std::to_string(code) + "\r\n";
    WriteOut(text);
    return;
  }
  if (code == kExitDone) {
    MessageBoxA(nullptr, "Quellmark was removed from your computer.", kTitle, MB_ICONINFORMATION);
    return;
  }
  constexpr size_t kShown = 15;
  std::string text = "Quellmark could not be removed completely:\n";
  for (size_t i = 0; i < report.size() && i < kShown; ++i) text += "\n" + report[i];
  if (report.size() > kShown) text += "\n... and " + std::to_string(report.size() - kShown) + " more.";
  MessageBoxA(nullptr, text.c_str(), kTitle, MB_ICONWARNING);
}

// ---- The two processes -----------------------------------------------------

// An inheritable duplicate of a standard handle, or null.
HANDLE InheritableStdHandle(DWORD which) {
  HANDLE h = GetStdHandle(which), dup = nullptr;
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &dup, 0, TRUE, DUPLICATE_SAME_ACCESS)) return nullptr;
  return dup;
}

// Copies this program to %TEMP% and starts the copy on `installDir`. The
// copy is held open with delete-on-close by a handle it inherits, so it
// disappears when the copy exits; should Windows refuse to start a file
// held that way, the copy is made again and started without it.
bool StartCopy(const std::string& installDir, bool silent) {
  char self[MAX_PATH], temp[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  const DWORD t = GetTempPathA(MAX_PATH, temp);
  if (n == 0 || n >= MAX_PATH || t == 0 || t >= MAX_PATH) return false;
  const std::string copy = JoinPath(temp, ("qmk-uninstall-" + std::to_string(GetCurrentProcessId()) + ".exe").c_str());

  HANDLE me = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &me, SYNCHRONIZE, TRUE, 0)) {
    return false;
  }
  std::string cmd = "\"" + copy + "\" -uninstall-copy " + std::to_string(reinterpret_cast<uintptr_t>(me)) +
                    (silent ? " S \"" : " I \"") + installDir + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = InheritableStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = InheritableStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = InheritableStdHandle(STD_ERROR_HANDLE);

  bool started = false;
  for (int attempt = 0; attempt < 2 && !started; ++attempt) {
    if (!CopyFileA(self, copy.c_str(), FALSE)) break;
    SetFileAttributesA(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE keep = INVALID_HANDLE_VALUE;
    if (attempt == 0) {
      SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
      keep = CreateFileA(copy.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, &sa, OPEN_EXISTING,
                         FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    }
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    PROCESS_INFORMATION pi;
    started = CreateProcessA(copy.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, temp, &si, &pi);
    if (started) {
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
    // Our own reference goes with this process; the copy holds its own.
    if (keep != INVALID_HANDLE_VALUE && !started) CloseHandle(keep);
  }
  if (!started) {
    DeleteFileA(copy.c_str());
    CloseHandle(me);
  }
  return started;
}

// The copy in %TEMP%: waits for the original to end, then does the work.
int RunCopy(const std::vector<std::string>& args) {
  if (args.size() != 4) return kExitFailed;
  const bool silent = Is(args[2], "S");
  const HANDLE original = reinterpret_cast<HANDLE>(uintptr_t(strtoul(args[1].c_str(), nullptr, 10)));
  WaitForSingleObject(original, INFINITE);
  CloseHandle(original);
  std::vector<std::string> report;
  const int code = Uninstall(args[3], &report);
  Report(silent, code, report);
  return code;
}

// The uninstaller as started by the user: asks, then hands over to a copy.
int RunUninstall(bool silent) {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return kExitFailed;
  // The long form: the Uninstall shortcut starts us by the short one, the
  // log names the directory by the long one.
  char longName[MAX_PATH];
  const DWORD l = GetLongPathNameA(self, longName, MAX_PATH);
  std::string program = l > 0 && l < MAX_PATH ? std::string(longName, l) : std::string(self, n);
  program.erase(program.find_last_of('\\') + 1);
  std::string installDir = uninstlog::NormalizeAbsolute(program);
  if (installDir.empty()) installDir = program;
  if (!silent && MessageBoxA(nullptr, "Remove Quellmark and all of its components?", kTitle,
                             MB_YESNO | MB_ICONQUESTION) != IDYES) {
    return kExitDone;
  }
  if (StartCopy(installDir, silent)) return kExitDone;
  std::vector<std::string> report;
  const int code = Uninstall(installDir, &report);
  Report(silent, code, report);
  return code;
}

int Usage(bool silent) {
  if (!silent) {
    MessageBoxA(nullptr, "Usage: qmk.exe [-uninstall [/S]]", kTitle, MB_ICONWARNING);
  } else {
    WriteOut("result: 2\r\n");
  }
  return kExitFailed;
}

}  // namespace

int WINAPI WinMain(HINSTANCE inst, HINSTANCE, LPSTR, int) {
  const std::vector<std::string> args = Arguments();
  if (args.empty()) return RunProductWindow(inst);
  if (Is(args[0], "-uninstall-copy")) return RunCopy(args);
  const bool silent = args.size() == 2 && Is(args[1], "/S");
  if (Is(args[0], "-uninstall") && (args.size() == 1 || silent)) return RunUninstall(silent);
  return Usage(silent || (args.size() >= 2 && Is(args.back(), "/S")));
}
