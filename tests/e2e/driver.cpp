// driver.cpp - the end-to-end test driver: starts the installer, finds its
// windows and works them the way a user would, and prints what it sees.
//
// The driver is a Win32 console program run under Wine next to the program
// under test. Its arguments are a script of steps, run in order; each step
// prints zero or more lines "KIND key=value ... text=..." on stdout, text
// last so that it may hold blanks. The test scripts compare these lines with
// what the installer must show. Control characters in texts are written as
// <0D>, <0A> and so on, so every line stays one line.
//
// Keys go in through SendInput with the window in the foreground, as typed
// keys do, so they pass through the installer's own message loop and its
// IsDialogMessageA. Buttons are pressed with a posted BM_CLICK, never a
// sent one: a press that opens a modal box would otherwise block the driver.
//
// A step that waits does so for at most 30 s (times QMK_E2E_TIMEOUT_SCALE
// from the environment, for Wine under software emulation) and fails then; a failing step prints "error ..." and ends
// the driver with exit code 3 after ending the process it started. The
// waits guard against hangs only: no step measures how long anything takes.
//
// Steps: start EXE ARGS; wait-window CLASS TITLE (* for any; it
// becomes the current window); windows (the visible top-level ones); dump
// (the current window and its descendants); focus; key enter|escape|tab|
// space|backspace; type TEXT; set-text TEXT and field (the edit field's
// text); click TEXT and click-id ID (a button); close (the close box);
// text-of ID; client-pixel X Y; wait-file PATH; msgbox; wait-gone;
// wait-exit; watch-exit (also every window shown meanwhile); reg-delete,
// reg-dump KEY; reg-deny KEY (no one may change it); reg-allow KEY
// (everyone may); shortpath PATH; attrs PATH; programs-folder.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>
#include <vector>

namespace {

PROCESS_INFORMATION child{};
bool childStarted = false;
HWND current = nullptr;
DWORD timeoutMs = 30000;

[[noreturn]] void Fail(const char* format, const std::string& what) {
  printf("error ");
  printf(format, what.c_str());
  printf("\n");
  fflush(stdout);
  if (childStarted) {
    DWORD code = 0;
    if (GetExitCodeProcess(child.hProcess, &code) && code == STILL_ACTIVE) {
      TerminateProcess(child.hProcess, 99);
      printf("note process under test ended by the driver\n");
    }
  }
  fflush(stdout);
  ExitProcess(3);
}

// Printable form of a text: control characters and bytes above 0x7E as <XX>.
std::string Escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F) {
      char b[8];
      snprintf(b, sizeof b, "<%02X>", c);
      out += b;
    } else {
      out += char(c);
    }
  }
  return out;
}

std::string Hex(const void* p) {
  char b[24];
  snprintf(b, sizeof b, "0x%08lX", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
  return b;
}

// The text of a window of any process: WM_GETTEXT is marshalled across
// processes by the system, which GetWindowTextA does not do for controls.
// No SMTO_ABORTIFHUNG: a thread that has just ended a long step without
// reading messages (the extraction, under emulation) counts as hung
// until its message box reads its first message.
std::string TextOf(HWND w) {
  std::vector<char> buf(4096);
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutA(w, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), SMTO_NORMAL, timeoutMs,
                           &got)) {
    return "<no answer>";
  }
  buf[buf.size() - 1] = 0;
  return std::string(buf.data());
}

std::string ClassOf(HWND w) {
  char buf[256] = {};
  GetClassNameA(w, buf, sizeof buf);
  return buf;
}

bool ChildExited(DWORD* code) {
  if (!childStarted) return false;
  if (WaitForSingleObject(child.hProcess, 0) != WAIT_OBJECT_0) return false;
  GetExitCodeProcess(child.hProcess, code);
  return true;
}

struct Match {
  std::string cls, title;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectTop(HWND w, LPARAM lp) {
  Match* m = reinterpret_cast<Match*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (!childStarted || pid != child.dwProcessId || !IsWindowVisible(w)) return TRUE;
  if (m->cls != "*" && ClassOf(w) != m->cls) return TRUE;
  if (m->title != "*" && TextOf(w) != m->title) return TRUE;
  m->found.push_back(w);
  return TRUE;
}

std::vector<HWND> VisibleTopWindows(const std::string& cls, const std::string& title) {
  Match m{cls, title, {}};
  EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&m));
  return m.found;
}

// Waits for a visible top-level window of the process under test.
HWND WaitWindow(const std::string& cls, const std::string& title) {
  const DWORD start = GetTickCount();
  for (;;) {
    std::vector<HWND> w = VisibleTopWindows(cls, title);
    if (!w.empty()) return w[0];
    DWORD code = 0;
    if (ChildExited(&code)) {
      Fail("%s", "process exited with code " + std::to_string(code) + " while waiting for a window class=" + cls +
                     " text=" + title);
    }
    if (GetTickCount() - start > timeoutMs) Fail("no window class=%s", cls + " text=" + title + " appeared");
    Sleep(50);
  }
}

struct Tree {
  std::vector<HWND> windows;
};

BOOL CALLBACK CollectChild(HWND w, LPARAM lp) {
  reinterpret_cast<Tree*>(lp)->windows.push_back(w);
  return TRUE;
}

// All descendants of a window, in the system's order (creation order for
// windows created without explicit Z-order changes), depth first.
std::vector<HWND> Descendants(HWND top) {
  Tree t;
  EnumChildWindows(top, CollectChild, reinterpret_cast<LPARAM>(&t));
  return t.windows;
}

HWND FocusOf(HWND top) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &info)) return nullptr;
  return info.hwndFocus;
}

HWND Require(HWND w, const char* what) {
  if (!w || !IsWindow(w)) Fail("%s", std::string("no current window for ") + what);
  return w;
}

// One window line: top level in screen coordinates of its whole frame,
// children in their parent's client coordinates.
void PrintWindowLine(HWND w, const std::vector<HWND>& order, HWND focus) {
  RECT r{};
  GetWindowRect(w, &r);
  HWND parent = (GetWindowLongA(w, GWL_STYLE) & WS_CHILD) ? GetParent(w) : nullptr;
  POINT p{r.left, r.top};
  std::string parentName = "none";
  if (parent) {
    ScreenToClient(parent, &p);
    parentName = "?";
    for (size_t i = 0; i < order.size(); i++) {
      if (order[i] == parent) parentName = std::to_string(i);
    }
  }
  size_t index = 0;
  for (size_t i = 0; i < order.size(); i++) {
    if (order[i] == w) index = i;
  }
  printf("win %zu parent=%s class=%s id=%ld style=0x%08lX exstyle=0x%08lX x=%ld y=%ld w=%ld h=%ld focus=%d text=%s\n",
         index, parentName.c_str(), ClassOf(w).c_str(), static_cast<long>(GetWindowLongA(w, GWL_ID)),
         static_cast<unsigned long>(GetWindowLongA(w, GWL_STYLE)),
         static_cast<unsigned long>(GetWindowLongA(w, GWL_EXSTYLE)), p.x, p.y, r.right - r.left, r.bottom - r.top,
         w == focus ? 1 : 0, Escape(TextOf(w)).c_str());
}

void Dump(HWND top) {
  std::vector<HWND> order{top};
  for (HWND c : Descendants(top)) order.push_back(c);
  HWND focus = FocusOf(top);
  for (HWND w : order) PrintWindowLine(w, order, focus);
  printf("end-dump\n");
}

HWND FindChild(HWND top, const std::string& cls, const std::string& text) {
  for (HWND c : Descendants(top)) {
    if ((cls == "*" || ClassOf(c) == cls) && (text == "*" || TextOf(c) == text)) return c;
  }
  return nullptr;
}

void Foreground(HWND top) {
  // A console program may not take the foreground on Windows without the
  // user's input; Wine allows it, and the check below makes sure it held.
  for (int i = 0; i < 100; i++) {
    SetForegroundWindow(top);
    if (GetForegroundWindow() == top) return;
    Sleep(20);
  }
  Fail("%s", "cannot bring the window " + Hex(top) + " to the foreground");
}

void SendKey(WORD vk, bool up) {
  INPUT in{};
  in.type = INPUT_KEYBOARD;
  in.ki.wVk = vk;
  in.ki.wScan = static_cast<WORD>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC));
  in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  if (SendInput(1, &in, sizeof in) != 1) Fail("%s", "SendInput failed");
}

void SendChar(wchar_t c) {
  INPUT in[2]{};
  for (int i = 0; i < 2; i++) {
    in[i].type = INPUT_KEYBOARD;
    in[i].ki.wScan = c;
    in[i].ki.dwFlags = KEYEVENTF_UNICODE | (i ? KEYEVENTF_KEYUP : 0);
  }
  if (SendInput(2, in, sizeof in[0]) != 2) Fail("%s", "SendInput failed");
}

// Lets the process under test take what was sent: it is idle again once it
// waits for input. Input goes through the X server first, so idle may come
// before the keys arrive; the pause after it is scaled as the timeouts are.
DWORD scale = 1;
void Settle() {
  WaitForInputIdle(child.hProcess, timeoutMs);
  Sleep(100 * scale);
}

void PressKey(const std::string& name) {
  Foreground(Require(current, "key"));
  const char* names[] = {"enter", "escape", "tab", "space", "backspace"};
  const WORD keys[] = {VK_RETURN, VK_ESCAPE, VK_TAB, VK_SPACE, VK_BACK};
  WORD vk = 0;
  for (int i = 0; i < 5; i++) {
    if (name == names[i]) vk = keys[i];
  }
  if (!vk) Fail("unknown key %s", name);
  SendKey(vk, false);
  SendKey(vk, true);
  Settle();
}

// Types into the focused control and waits until it shows the text.
void TypeText(const std::string& text) {
  HWND top = Require(current, "type");
  Foreground(top);
  for (unsigned char c : text) SendChar(static_cast<wchar_t>(c));
  const DWORD start = GetTickCount();
  for (HWND f; (f = FocusOf(top)) && TextOf(f).find(text) == std::string::npos;) {
    if (GetTickCount() - start > timeoutMs) Fail("%s", "the focused control does not show the typed " + text);
    Sleep(50);
  }
  Settle();
}

HWND EditOf(HWND top) {
  HWND e = FindChild(top, "Edit", "*");
  if (!e) e = FindChild(top, "EDIT", "*");
  if (!e) Fail("%s", "no edit control in window " + Hex(top));
  return e;
}

void PrintMessageBox(HWND box) {
  HWND text = GetDlgItem(box, 0xFFFF);
  printf("msgbox caption=%s\n", Escape(TextOf(box)).c_str());
  printf("msgbox-text text=%s\n", text ? Escape(TextOf(text)).c_str() : "<no static 0xFFFF>");
  for (HWND c : Descendants(box)) {
    if (ClassOf(c) == "Button") printf("msgbox-button id=%ld text=%s\n", GetWindowLongA(c, GWL_ID), TextOf(c).c_str());
  }
  // The icon: the system draws its standard pictures in their own colours,
  // blue for information, yellow for a warning and red for an error, so the
  // dominant strong colour of the icon control tells them apart.
  for (HWND c : Descendants(box)) {
    if (ClassOf(c) != "Static" || (GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) continue;
    RECT r{};
    GetWindowRect(c, &r);
    HDC screen = GetDC(nullptr);
    long red = 0, yellow = 0, blue = 0;
    for (LONG y = r.top; y < r.bottom; y++) {
      for (LONG x = r.left; x < r.right; x++) {
        COLORREF p = GetPixel(screen, x, y);
        int R = GetRValue(p), G = GetGValue(p), B = GetBValue(p);
        if (R > 160 && G > 140 && B < 90) yellow++;
        else if (R > 150 && G < 90 && B < 90) red++;
        else if (B > 150 && R < 110) blue++;
      }
    }
    ReleaseDC(nullptr, screen);
    const char* kind = "unknown";
    long best = 20;
    if (blue > best) { kind = "information"; best = blue; }
    if (yellow > best) { kind = "warning"; best = yellow; }
    if (red > best) { kind = "error"; best = red; }
    printf("msgbox-icon kind=%s blue=%ld yellow=%ld red=%ld\n", kind, blue, yellow, red);
  }
}

// The colour shown at a point of a window's client area, beside the system
// colours its background could have been painted with.
void PrintClientPixel(HWND w, long x, long y) {
  POINT p{x, y};
  ClientToScreen(w, &p);
  HDC screen = GetDC(nullptr);
  const COLORREF c = GetPixel(screen, p.x, p.y);
  ReleaseDC(nullptr, screen);
  printf("pixel x=%ld y=%ld rgb=%06lX menu=%06lX window=%06lX\n", x, y, static_cast<unsigned long>(c),
         static_cast<unsigned long>(GetSysColor(COLOR_MENU)), static_cast<unsigned long>(GetSysColor(COLOR_WINDOW)));
}

// Waits until a file exists: the test script creates it once it has done
// what it needed while the windows stood still (a screenshot, say).
void WaitFile(const std::string& path) {
  const DWORD start = GetTickCount();
  while (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    DWORD code = 0;
    if (ChildExited(&code)) Fail("%s", "process exited with code " + std::to_string(code) + " while waiting for " + path);
    if (GetTickCount() - start > timeoutMs) Fail("no file %s appeared", path);
    Sleep(50);
  }
}

HKEY RootOf(std::string& key) {
  const size_t slash = key.find('\\');
  const std::string root = key.substr(0, slash);
  key = slash == std::string::npos ? "" : key.substr(slash + 1);
  if (root == "HKLM") return HKEY_LOCAL_MACHINE;
  if (root == "HKCU") return HKEY_CURRENT_USER;
  Fail("unknown registry root %s", root);
}

const char* TypeName(DWORD t) {
  switch (t) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    default: return "REG_OTHER";
  }
}

// Every value of a key, with its type and data size as stored.
void PrintRegistryKey(std::string key) {
  const std::string shown = key;
  HKEY root = RootOf(key);
  HKEY k;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) {
    printf("regkey missing key=%s\n", shown.c_str());
    return;
  }
  printf("regkey present key=%s\n", shown.c_str());
  for (DWORD i = 0;; i++) {
    char name[512];
    DWORD nameLen = sizeof name, type = 0, size = 0;
    std::vector<BYTE> data(4096);
    size = static_cast<DWORD>(data.size());
    if (RegEnumValueA(k, i, name, &nameLen, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
    std::string shownData;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      shownData.assign(reinterpret_cast<char*>(data.data()), size);
    }
    printf("regvalue name=%s type=%s size=%lu data=%s\n", name, TypeName(type), static_cast<unsigned long>(size),
           Escape(shownData).c_str());
  }
  RegCloseKey(k);
}

void DeleteRegistryTree(std::string key) {
  HKEY root = RootOf(key);
  LONG r = RegDeleteTreeA(root, key.c_str());
  if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) Fail("%s", "cannot delete " + key);
}

// Lets everyone read a key but no one change it or create keys under it,
// as for a user without administrator rights ("deny"), or lets everyone do
// anything with it again.
void SetRegistryRules(std::string key, bool deny) {
  const std::string shown = key;
  HKEY root = RootOf(key);
  HKEY k;
  if (RegOpenKeyExA(root, key.c_str(), 0, WRITE_DAC, &k) != ERROR_SUCCESS) Fail("cannot open %s", shown);
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
  BYTE aclBytes[1024];
  PACL acl = reinterpret_cast<PACL>(aclBytes);
  InitializeAcl(acl, sizeof aclBytes, ACL_REVISION);
  if (deny) AddAccessDeniedAce(acl, ACL_REVISION, KEY_SET_VALUE | KEY_CREATE_SUB_KEY | DELETE | WRITE_OWNER, everyone);
  AddAccessAllowedAce(acl, ACL_REVISION, deny ? KEY_READ | WRITE_DAC | READ_CONTROL : KEY_ALL_ACCESS, everyone);
  SECURITY_DESCRIPTOR desc;
  InitializeSecurityDescriptor(&desc, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&desc, TRUE, acl, FALSE);
  if (RegSetKeySecurity(k, DACL_SECURITY_INFORMATION, &desc) != ERROR_SUCCESS) Fail("cannot change the rules of %s", shown);
  FreeSid(everyone);
  RegCloseKey(k);
  HKEY probe;
  const LONG r = RegOpenKeyExA(root, key.c_str(), 0, KEY_ALL_ACCESS, &probe);
  if (r == ERROR_SUCCESS) RegCloseKey(probe);
  printf("reg-rules key=%s all-access-open=%ld\n", shown.c_str(), static_cast<long>(r));
}

void Start(const std::string& exe, const std::string& args) {
  std::string line = "\"" + exe + "\"";
  if (!args.empty()) line += " " + args;
  std::string dir = exe.substr(0, exe.find_last_of('\\') == std::string::npos ? 0 : exe.find_last_of('\\'));
  STARTUPINFOA si{};
  si.cb = sizeof si;
  std::vector<char> cmd(line.begin(), line.end());
  cmd.push_back(0);
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.empty() ? nullptr : dir.c_str(),
                      &si, &child)) {
    Fail("cannot start %s", line);
  }
  childStarted = true;
  printf("started pid=%lu cmd=%s\n", static_cast<unsigned long>(child.dwProcessId), line.c_str());
}

// Waits for the process to end while noting every visible top-level window
// it shows on the way (none for an unattended run).
void WatchExit() {
  std::vector<HWND> seen;
  const DWORD start = GetTickCount();
  for (;;) {
    for (HWND w : VisibleTopWindows("*", "*")) {
      bool known = false;
      for (HWND s : seen) known = known || s == w;
      if (!known) {
        seen.push_back(w);
        printf("seen-window class=%s text=%s\n", ClassOf(w).c_str(), Escape(TextOf(w)).c_str());
        fflush(stdout);
      }
    }
    DWORD code = 0;
    if (ChildExited(&code)) {
      printf("exit code=%lu\n", static_cast<unsigned long>(code));
      return;
    }
    if (GetTickCount() - start > timeoutMs) Fail("%s", "the process did not end");
    Sleep(20);
  }
}

void WaitGone() {
  const DWORD start = GetTickCount();
  while (IsWindow(current) && IsWindowVisible(current)) {
    if (GetTickCount() - start > timeoutMs) Fail("window %s is still shown", Hex(current));
    Sleep(50);
  }
  printf("gone\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* factor = getenv("QMK_E2E_TIMEOUT_SCALE")) scale = std::max(1ul, strtoul(factor, nullptr, 10));
  timeoutMs *= scale;
  for (int i = 1; i < argc; i++) {
    const std::string step = argv[i];
    auto arg = [&]() -> std::string {
      if (i + 1 >= argc) Fail("step %s needs an argument", step);
      return argv[++i];
    };
    if (step == "start") {
      const std::string exe = arg();
      Start(exe, arg());
    } else if (step == "wait-window") {
      const std::string cls = arg();
      const std::string title = arg();
      current = WaitWindow(cls, title);
      printf("window class=%s text=%s\n", ClassOf(current).c_str(), Escape(TextOf(current)).c_str());
    } else if (step == "windows") {
      for (HWND w : VisibleTopWindows("*", "*")) {
        printf("top class=%s text=%s\n", ClassOf(w).c_str(), Escape(TextOf(w)).c_str());
      }
    } else if (step == "dump") {
      Dump(Require(current, "dump"));
    } else if (step == "focus") {
      HWND f = FocusOf(Require(current, "focus"));
      printf("focus class=%s text=%s\n", f ? ClassOf(f).c_str() : "none", f ? Escape(TextOf(f)).c_str() : "");
    } else if (step == "key") {
      PressKey(arg());
    } else if (step == "type") {
      TypeText(arg());
    } else if (step == "set-text") {
      const std::string text = arg();
      SendMessageTimeoutA(EditOf(Require(current, "set-text")), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                          SMTO_NORMAL, timeoutMs, nullptr);
    } else if (step == "field") {
      printf("field text=%s\n", Escape(TextOf(EditOf(Require(current, "field")))).c_str());
    } else if (step == "click" || step == "click-id") {
      const std::string which = arg();
      HWND b = nullptr;
      if (step == "click") {
        b = FindChild(Require(current, "click"), "Button", which);
      } else {
        b = GetDlgItem(Require(current, "click-id"), strtol(which.c_str(), nullptr, 0));
      }
      if (!b) Fail("no button %s", which);
      PostMessageA(b, BM_CLICK, 0, 0);
      Settle();
    } else if (step == "close") {
      PostMessageA(Require(current, "close"), WM_SYSCOMMAND, SC_CLOSE, 0);
      Settle();
    } else if (step == "text-of") {
      HWND c = GetDlgItem(Require(current, "text-of"), strtol(arg().c_str(), nullptr, 0));
      printf("text %s\n", c ? Escape(TextOf(c)).c_str() : "<no such control>");
    } else if (step == "client-pixel") {
      const long x = strtol(arg().c_str(), nullptr, 10);
      PrintClientPixel(Require(current, "client-pixel"), x, strtol(arg().c_str(), nullptr, 10));
    } else if (step == "wait-file") {
      WaitFile(arg());
    } else if (step == "msgbox") {
      PrintMessageBox(Require(current, "msgbox"));
    } else if (step == "wait-gone") {
      WaitGone();
    } else if (step == "wait-exit") {
      if (!childStarted) Fail("%s", "nothing was started");
      if (WaitForSingleObject(child.hProcess, timeoutMs) != WAIT_OBJECT_0) Fail("%s", "the process did not end");
      DWORD code = 0;
      GetExitCodeProcess(child.hProcess, &code);
      printf("exit code=%lu\n", static_cast<unsigned long>(code));
    } else if (step == "watch-exit") {
      if (!childStarted) Fail("%s", "nothing was started");
      WatchExit();
    } else if (step == "reg-delete") {
      DeleteRegistryTree(arg());
    } else if (step == "reg-deny" || step == "reg-allow") {
      SetRegistryRules(arg(), step == "reg-deny");
    } else if (step == "reg-dump") {
      PrintRegistryKey(arg());
    } else if (step == "shortpath") {
      const std::string p = arg();
      char s[MAX_PATH] = {};
      const DWORD n = GetShortPathNameA(p.c_str(), s, sizeof s);
      printf("shortpath %s\n", n && n < sizeof s ? s : "<none>");
    } else if (step == "attrs") {
      const std::string p = arg();
      printf("attrs 0x%08lX %s\n", static_cast<unsigned long>(GetFileAttributesA(p.c_str())), p.c_str());
    } else if (step == "programs-folder") {
      char p[MAX_PATH] = {};
      SHGetFolderPathA(nullptr, CSIDL_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, p);
      printf("programs-folder %s\n", p);
    } else {
      fprintf(stderr, "driver: unknown step %s (the steps are listed in driver.cpp)\n", step.c_str());
      return 2;
    }
    fflush(stdout);
  }
  return 0;
}
