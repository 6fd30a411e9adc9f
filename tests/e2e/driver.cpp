// driver.cpp - starts the installer, works its windows as a user would and prints
// what it sees. Its arguments are steps (listed in main), each printing lines
// "KIND key=value ... text=...", control characters as <0D>. Keys go through
// SendInput and the installer's own message loop; buttons get a posted BM_CLICK
// (a sent one opening a modal box would block). A wait gives up after 30 s times
// QMK_E2E_TIMEOUT_SCALE; a failing step prints "error ...", ends the process
// under test and exits 3.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

PROCESS_INFORMATION child{};
bool childStarted = false;
HWND current = nullptr;
DWORD scale = 1, timeoutMs = 30000;

[[noreturn]] void Fail(const std::string& what) {
  printf("error %s\n", what.c_str());
  DWORD code = 0;
  if (childStarted && GetExitCodeProcess(child.hProcess, &code) && code == STILL_ACTIVE) {
    TerminateProcess(child.hProcess, 99);
    printf("note process under test ended by the driver\n");
  }
  fflush(stdout);
  ExitProcess(3);
}

std::string Escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    char b[8];
    snprintf(b, sizeof b, c < 0x20 || c == 0x7F ? "<%02X>" : "%c", c);
    out += b;
  }
  return out;
}

// WM_GETTEXT crosses processes, as GetWindowTextA does not for controls. Not
// SMTO_ABORTIFHUNG: a thread just out of a long extraction counts as hung.
std::string TextOf(HWND w) {
  std::vector<char> buf(4096);
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutA(w, WM_GETTEXT, buf.size(), LPARAM(buf.data()), SMTO_NORMAL, timeoutMs, &got)) {
    return "<no answer>";
  }
  buf.back() = 0;
  return Escape(buf.data());
}

std::string ClassOf(HWND w) {
  char buf[256] = {};
  GetClassNameA(w, buf, sizeof buf);
  return buf;
}

std::string Describe(HWND w) { return "class=" + ClassOf(w) + " text=" + TextOf(w); }

bool ChildExited(DWORD* code) {
  return childStarted && WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0 &&
         GetExitCodeProcess(child.hProcess, code);
}

// Polls `done`; fails on the timeout, or when the process ends first unless `exitEnds`.
template <class F>
void WaitFor(const std::string& what, F done, bool exitEnds = false) {
  const DWORD start = GetTickCount();
  while (!done()) {
    DWORD code = 0;
    if (!exitEnds && ChildExited(&code)) Fail("process exited with code " + std::to_string(code) + " waiting for " + what);
    if (GetTickCount() - start > timeoutMs) Fail("timed out waiting for " + what);
    Sleep(20);
  }
}

struct Match {
  std::string cls, title;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectTop(HWND w, LPARAM lp) {
  Match* m = reinterpret_cast<Match*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (childStarted && pid == child.dwProcessId && IsWindowVisible(w) && (m->cls == "*" || ClassOf(w) == m->cls) &&
      (m->title == "*" || TextOf(w) == m->title)) {
    m->found.push_back(w);
  }
  return TRUE;
}

// The visible top-level windows of the process under test ("*" matches any).
std::vector<HWND> TopWindows(const std::string& cls = "*", const std::string& title = "*") {
  Match m{cls, title, {}};
  EnumWindows(CollectTop, LPARAM(&m));
  return m.found;
}

BOOL CALLBACK CollectChild(HWND w, LPARAM lp) {
  reinterpret_cast<std::vector<HWND>*>(lp)->push_back(w);
  return TRUE;
}

// Depth first, in the system's order (creation order here).
std::vector<HWND> Descendants(HWND top) {
  std::vector<HWND> all;
  EnumChildWindows(top, CollectChild, LPARAM(&all));
  return all;
}

HWND FocusOf(HWND top) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &info) ? info.hwndFocus : nullptr;
}

HWND Current() {
  if (!current || !IsWindow(current)) Fail("no current window");
  return current;
}

// The window (its frame on the screen) and its descendants (in their parent's client area).
void Dump(HWND top) {
  std::vector<HWND> order = Descendants(top);
  order.insert(order.begin(), top);
  auto index = [&](HWND w) { return std::to_string(std::find(order.begin(), order.end(), w) - order.begin()); };
  for (HWND w : order) {
    RECT r{};
    GetWindowRect(w, &r);
    POINT p{r.left, r.top};
    const LONG style = GetWindowLongA(w, GWL_STYLE);
    if (style & WS_CHILD) ScreenToClient(GetParent(w), &p);
    printf("win %s parent=%s class=%s id=%ld style=0x%08lX exstyle=0x%08lX x=%ld y=%ld w=%ld h=%ld focus=%d text=%s\n",
           index(w).c_str(), style & WS_CHILD ? index(GetParent(w)).c_str() : "none", ClassOf(w).c_str(),
           GetWindowLongA(w, GWL_ID), style, GetWindowLongA(w, GWL_EXSTYLE), p.x, p.y, r.right - r.left,
           r.bottom - r.top, w == FocusOf(top), TextOf(w).c_str());
  }
  printf("end-dump\n");
}

HWND FindChild(HWND top, const std::string& cls, const std::string& text) {
  for (HWND c : Descendants(top)) {
    if ((cls == "*" || !lstrcmpiA(ClassOf(c).c_str(), cls.c_str())) && (text == "*" || TextOf(c) == text)) return c;
  }
  Fail("no " + cls + " " + text + " in the current window");
}

// Input goes to the foreground window, through the X server: idle may come before
// the keys arrive, so the pause after it is scaled too.
void Send(std::vector<INPUT> in) {
  for (int i = 0; GetForegroundWindow() != Current(); i++) {
    if (i == 100) Fail("cannot bring the current window to the foreground");
    SetForegroundWindow(current);
    Sleep(20);
  }
  if (SendInput(UINT(in.size()), in.data(), sizeof(INPUT)) != in.size()) Fail("SendInput failed");
}

void Settle() {
  WaitForInputIdle(child.hProcess, timeoutMs);
  Sleep(100 * scale);
}

INPUT Key(WORD vk, WORD scan, DWORD flags) {
  INPUT in{};
  in.type = INPUT_KEYBOARD;
  in.ki = {vk, scan, flags, 0, 0};
  return in;
}

void PressKey(const std::string& name) {
  const char* names[] = {"enter", "escape", "tab", "space"};
  const WORD keys[] = {VK_RETURN, VK_ESCAPE, VK_TAB, VK_SPACE};
  const auto i = std::find(names, names + 4, name) - names;
  if (i == 4) Fail("unknown key " + name);
  const WORD scan = WORD(MapVirtualKeyA(keys[i], MAPVK_VK_TO_VSC));
  Send({Key(keys[i], scan, 0), Key(keys[i], scan, KEYEVENTF_KEYUP)});
  Settle();
}

void TypeText(const std::string& text) {
  std::vector<INPUT> in;
  for (unsigned char c : text) {
    in.push_back(Key(0, c, KEYEVENTF_UNICODE));
    in.push_back(Key(0, c, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP));
  }
  Send(in);
  WaitFor("the typed " + text, [&] {
    const HWND f = FocusOf(current);
    return !f || TextOf(f).find(text) != std::string::npos;
  });
  Settle();
}

// The dominant strong colour of the icon: information blue, warning yellow, error red.
void PrintMessageBox(HWND box) {
  printf("msgbox caption=%s\n", TextOf(box).c_str());
  printf("msgbox-text text=%s\n", TextOf(GetDlgItem(box, 0xFFFF)).c_str());
  for (HWND c : Descendants(box)) {
    if (ClassOf(c) != "Static" || (GetWindowLongA(c, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) continue;
    RECT r{};
    GetWindowRect(c, &r);
    HDC screen = GetDC(nullptr);
    long blue = 0, yellow = 0, red = 0;
    for (LONG y = r.top; y < r.bottom; y++) {
      for (LONG x = r.left; x < r.right; x++) {
        const COLORREF p = GetPixel(screen, x, y);
        const int R = GetRValue(p), G = GetGValue(p), B = GetBValue(p);
        yellow += R > 160 && G > 140 && B < 90;
        red += R > 150 && G < 90 && B < 90;
        blue += B > 150 && R < 110;
      }
    }
    ReleaseDC(nullptr, screen);
    const long most = std::max({20L, blue, yellow, red});
    const char* kind = most == 20 ? "unknown" : most == blue ? "information" : most == yellow ? "warning" : "error";
    printf("msgbox-icon kind=%s blue=%ld yellow=%ld red=%ld\n", kind, blue, yellow, red);
  }
}

// The colour at a point of the client area, and the menu and window colours.
void PrintClientPixel(HWND w, long x, long y) {
  POINT p{x, y};
  ClientToScreen(w, &p);
  HDC screen = GetDC(nullptr);
  const COLORREF c = GetPixel(screen, p.x, p.y);
  ReleaseDC(nullptr, screen);
  printf("pixel x=%ld y=%ld rgb=%06lX menu=%06lX window=%06lX\n", x, y, c, GetSysColor(COLOR_MENU),
         GetSysColor(COLOR_WINDOW));
}

HKEY RootOf(std::string& key) {
  const std::string root = key.substr(0, key.find('\\'));
  key.erase(0, std::min(key.size(), root.size() + 1));
  if (root != "HKLM" && root != "HKCU") Fail("unknown registry root " + root);
  return root == "HKLM" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// Every value of a key, with its type and size as stored.
void PrintRegistryKey(std::string key) {
  const std::string shown = key;
  HKEY root = RootOf(key), k;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) {
    printf("regkey missing key=%s\n", shown.c_str());
    return;
  }
  printf("regkey present key=%s\n", shown.c_str());
  const char* types[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD"};
  for (DWORD i = 0;; i++) {
    char name[512];
    BYTE data[4096];
    DWORD nameLen = sizeof name, type = 0, size = sizeof data;
    if (RegEnumValueA(k, i, name, &nameLen, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    const bool text = type == REG_SZ || type == REG_EXPAND_SZ;
    printf("regvalue name=%s type=%s size=%lu data=%s\n", name, type < 5 ? types[type] : "REG_OTHER", size,
           Escape(text ? std::string(reinterpret_cast<char*>(data), size) : "").c_str());
  }
  RegCloseKey(k);
}

// "deny": everyone may read the key, no one change it, as for a user who is no administrator.
void SetRegistryRules(std::string key, bool deny) {
  const std::string shown = key;
  HKEY root = RootOf(key), k;
  if (RegOpenKeyExA(root, key.c_str(), 0, WRITE_DAC, &k) != ERROR_SUCCESS) Fail("cannot open " + shown);
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
  if (RegSetKeySecurity(k, DACL_SECURITY_INFORMATION, &desc) != ERROR_SUCCESS) Fail("cannot change the rules of " + shown);
  FreeSid(everyone);
  RegCloseKey(k);
  const LONG r = RegOpenKeyExA(root, key.c_str(), 0, KEY_ALL_ACCESS, &k);
  if (r == ERROR_SUCCESS) RegCloseKey(k);
  printf("reg-rules key=%s all-access-open=%ld\n", shown.c_str(), r);
}

void Start(const std::string& exe, const std::string& args) {
  std::string line = "\"" + exe + "\"" + (args.empty() ? "" : " " + args);
  const size_t slash = exe.find_last_of('\\');
  const std::string dir = slash == std::string::npos ? "" : exe.substr(0, slash);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, dir.empty() ? nullptr : dir.c_str(), &si,
                      &child)) {
    Fail("cannot start " + line);
  }
  childStarted = true;
  printf("started pid=%lu cmd=%s\n", child.dwProcessId, line.c_str());
}

DWORD ExitCode() {
  DWORD code = 0;
  if (!childStarted) Fail("nothing was started");
  GetExitCodeProcess(child.hProcess, &code);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* factor = getenv("QMK_E2E_TIMEOUT_SCALE")) scale = std::max(1ul, strtoul(factor, nullptr, 10));
  timeoutMs *= scale;
  for (int i = 1; i < argc; i++) {
    const std::string step = argv[i];
    auto arg = [&]() -> std::string {
      if (i + 1 >= argc) Fail("step " + step + " needs an argument");
      return argv[++i];
    };
    if (step == "start") {  // start EXE ARGS
      const std::string exe = arg();
      Start(exe, arg());
    } else if (step == "wait-window") {  // wait-window CLASS TITLE: it becomes the current window
      const std::string cls = arg(), title = arg();
      WaitFor("a window class=" + cls + " text=" + title, [&] { return !TopWindows(cls, title).empty(); });
      current = TopWindows(cls, title)[0];
      printf("window %s\n", Describe(current).c_str());
    } else if (step == "windows") {
      for (HWND w : TopWindows()) printf("top %s\n", Describe(w).c_str());
    } else if (step == "dump") {
      Dump(Current());
    } else if (step == "focus") {
      const HWND f = FocusOf(Current());
      printf("focus %s\n", f ? Describe(f).c_str() : "class=none text=");
    } else if (step == "key") {  // key enter|escape|tab|space
      PressKey(arg());
    } else if (step == "type") {  // type TEXT, into the focused control
      TypeText(arg());
    } else if (step == "set-text") {
      const std::string text = arg();
      SendMessageTimeoutA(FindChild(Current(), "Edit", "*"), WM_SETTEXT, 0, LPARAM(text.c_str()), SMTO_NORMAL,
                          timeoutMs, nullptr);
    } else if (step == "field") {
      printf("field text=%s\n", TextOf(FindChild(Current(), "Edit", "*")).c_str());
    } else if (step == "click" || step == "click-id") {  // click TEXT, click-id ID: a button
      const std::string which = arg();
      const HWND b = step == "click" ? FindChild(Current(), "Button", which)
                                     : GetDlgItem(Current(), strtol(which.c_str(), nullptr, 0));
      if (!b) Fail("no button " + which);
      PostMessageA(b, BM_CLICK, 0, 0);
      Settle();
    } else if (step == "close") {
      PostMessageA(Current(), WM_SYSCOMMAND, SC_CLOSE, 0);
      Settle();
    } else if (step == "text-of") {  // text-of ID
      const HWND c = GetDlgItem(Current(), strtol(arg().c_str(), nullptr, 0));
      printf("text %s\n", c ? TextOf(c).c_str() : "<no such control>");
    } else if (step == "client-pixel") {  // client-pixel X Y
      const long x = strtol(arg().c_str(), nullptr, 10);
      PrintClientPixel(Current(), x, strtol(arg().c_str(), nullptr, 10));
    } else if (step == "wait-file") {  // wait-file PATH: the script made it once done with the windows as they stand
      const std::string path = arg();
      WaitFor(path, [&] { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; });
    } else if (step == "msgbox") {
      PrintMessageBox(Current());
    } else if (step == "wait-gone") {
      WaitFor("the current window to go", [] { return !IsWindow(current) || !IsWindowVisible(current); });
      printf("gone\n");
    } else if (step == "wait-exit" || step == "watch-exit") {  // noting every window shown meanwhile
      std::vector<HWND> seen;
      ExitCode();
      auto ended = [&] {
        for (HWND w : TopWindows()) {
          if (std::find(seen.begin(), seen.end(), w) != seen.end()) continue;
          seen.push_back(w);
          printf("seen-window %s\n", Describe(w).c_str());
          fflush(stdout);
        }
        return WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0;
      };
      WaitFor("the process to end", ended, true);
      printf("exit code=%lu\n", ExitCode());
    } else if (step == "reg-delete") {  // reg-delete KEY, with its subkeys
      std::string key = arg();
      const LONG r = RegDeleteTreeA(RootOf(key), key.c_str());
      if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) Fail("cannot delete " + key);
    } else if (step == "reg-deny" || step == "reg-allow") {
      SetRegistryRules(arg(), step == "reg-deny");
    } else if (step == "reg-dump") {
      PrintRegistryKey(arg());
    } else if (step == "shortpath") {
      char s[MAX_PATH] = {};
      const DWORD n = GetShortPathNameA(arg().c_str(), s, sizeof s);
      printf("shortpath %s\n", n && n < sizeof s ? s : "<none>");
    } else if (step == "attrs") {
      const std::string p = arg();
      printf("attrs 0x%08lX %s\n", GetFileAttributesA(p.c_str()), p.c_str());
    } else if (step == "programs-folder") {
      char p[MAX_PATH] = {};
      SHGetFolderPathA(nullptr, CSIDL_PROGRAMS, nullptr, SHGFP_TYPE_CURRENT, p);
      printf("programs-folder %s\n", p);
    } else {
      fprintf(stderr, "driver: unknown step %s\n", step.c_str());
      return 2;
    }
    fflush(stdout);
  }
  return 0;
}
