// uninstall_test.cpp - the demo product's uninstaller for real, under Wine:
// a fake installation with its uninstall.list, then `qmk.exe -uninstall /S`
// started from inside it, waited for to its real end (the end of its report
// on a pipe, which the copy it hands over to holds), and the disk and the
// registry looked at afterwards.
#ifdef _WIN32

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::string Join(const std::string& dir, const std::string& name) {
  return dir.back() == '\\' ? dir + name : dir + "\\" + name;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool KeyExists(const std::string& key) {
  HKEY h;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

// The names in `dir`, without "." and "..".
std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA(Join(dir, "*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = fd.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  return names;
}

// The built qmk.exe: the test programs and the demo product are built side
// by side, in tests\ and demo\ of the same build directory.
std::string DemoProgram() {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string dir(self, n);
  dir.erase(dir.find_last_of('\\'));
  dir.erase(dir.find_last_of('\\'));
  return dir + "\\demo\\qmk.exe";
}

struct Outcome {
  std::string output;  // everything the uninstaller wrote, up to its end
  DWORD exitCode = 0;  // of the process started
};

// Runs `commandLine` with its standard output on a pipe and reads it to the
// end: that is when the last process holding it, the uninstaller's copy in
// %TEMP%, has finished.
Outcome RunToTheEnd(const std::string& program, const std::string& arguments) {
  Outcome run;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) {
    ADD_FAILURE() << "CreatePipe failed";
    return run;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  std::string line = "\"" + program + "\" " + arguments;
  std::vector<char> buffer(line.begin(), line.end());
  buffer.push_back('\0');
  PROCESS_INFORMATION pi;
  const BOOL started = CreateProcessA(program.c_str(), buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                      &si, &pi);
  CloseHandle(writeEnd);
  if (!started) {
    ADD_FAILURE() << "cannot start " << program;
    CloseHandle(readEnd);
    return run;
  }
  char chunk[4096];
  DWORD got;
  while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) run.output.append(chunk, got);
  CloseHandle(readEnd);
  WaitForSingleObject(pi.hProcess, INFINITE);
  GetExitCodeProcess(pi.hProcess, &run.exitCode);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return run;
}

// Each test gets a fresh directory `base_` in %TEMP% (and a registry key name
// of its own), removed afterwards whatever is left in it.
class UninstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    tag_ = std::to_string(GetCurrentProcessId()) + "_" + std::to_string(counter++);
    base_ = Join(temp, "qmk_uninstall_" + tag_);
    RemoveTree(base_);
    ASSERT_TRUE(CreateDirectoryA(base_.c_str(), nullptr));
    key_ = "SOFTWARE\\QuellmarkTest\\QMK" + tag_;
  }
  void TearDown() override {
    RemoveTree(base_);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key_.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\QuellmarkTest");
  }

  static void RemoveTree(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesA(path.c_str(), a & ~FILE_ATTRIBUTE_READONLY);
    if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
      DeleteFileA(path.c_str());
      return;
    }
    for (const std::string& name : Names(path)) RemoveTree(Join(path, name));
    RemoveDirectoryA(path.c_str());
  }
  static void MakeDir(const std::string& path) { ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << path; }
  static void PutFile(const std::string& path, const std::string& bytes, bool readOnly = false) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << path;
    DWORD written;
    WriteFile(f, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    CloseHandle(f);
    if (readOnly) SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
  }
  void MakeKey() {
    HKEY h;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(h, "DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>("Quellmark"), 10);
    RegCloseKey(h);
  }
  // qmk.exe into `dir` and `lines` as its uninstall.list, each with CR LF.
  static void Install(const std::string& dir, const std::vector<std::string>& lines) {
    ASSERT_TRUE(CopyFileA(DemoProgram().c_str(), Join(dir, "qmk.exe").c_str(), FALSE)) << DemoProgram();
    std::string log;
    for (const std::string& line : lines) log += line + "\r\n";
    PutFile(Join(dir, "uninstall.list"), log);
  }
  static Outcome Uninstall(const std::string& dir) { return RunToTheEnd(Join(dir, "qmk.exe"), "-uninstall /S"); }

  std::string tag_, base_, key_;
};

// Everything listed goes, except a listed directory that holds a file of the
// user's: it stays, with its parents, and the report names exactly those.
TEST_F(UninstallTest, RemovesWhatIsListedAndReportsWhatHadToStay) {
  const std::string top = Join(base_, "inst dir"), dir = Join(top, "QMK");
  const std::string menu = Join(base_, "menu"), folder = Join(menu, "Quellmark");
  MakeDir(top);
  MakeDir(dir);
  MakeDir(Join(dir, "sub"));
  MakeDir(Join(dir, "sub\\deep"));
  MakeDir(Join(dir, "keep"));
  MakeDir(menu);
  MakeDir(folder);
  PutFile(Join(dir, "readme.txt"), "read me", true);
  PutFile(Join(dir, "sub\\deep\\a.txt"), "a");
  PutFile(Join(dir, "sub\\b.txt"), "b", true);
  PutFile(Join(dir, "keep\\listed.txt"), "listed");
  PutFile(Join(dir, "keep\\mine.txt"), "the user's own");
  PutFile(Join(folder, "Uninstall.lnk"), "link");
  PutFile(Join(base_, "outside.txt"), "not listed");
  MakeKey();
  // The install-root line as the installer writes it: its last character,
  // the backslash ending the installation directory, cut off.
  std::string root = "mkd: " + base_ + "\\ ::: inst dir\\QMK\\";
  root.pop_back();
  Install(dir, {root,
                Join(dir, "qmk.exe"),
                Join(dir, "readme.txt"),
                "mkd: " + dir + " ::: sub",
                "mkd: " + dir + " ::: sub\\deep",
                Join(dir, "sub\\deep\\a.txt"),
                Join(dir, "sub\\b.txt"),
                "mkd: " + dir + " ::: keep",
                Join(dir, "keep\\listed.txt"),
                "mkd: " + menu + " ::: Quellmark",
                Join(folder, "Uninstall.lnk"),
                "reg: SOFTWARE\\QuellmarkTest\\ ::: QMK" + tag_});
  ASSERT_TRUE(KeyExists(key_));

  const Outcome run = Uninstall(dir);
  EXPECT_EQ(run.exitCode, 0u);  // the program started only hands over
  EXPECT_EQ(run.output,
            "not removed: " + Join(dir, "keep") + "\r\n" +
            "not removed: " + dir + "\r\n" +
            "not removed: " + top + "\r\n" +
            "result: 1\r\n");

  EXPECT_EQ(Names(dir), std::vector<std::string>{"keep"});
  EXPECT_EQ(Names(Join(dir, "keep")), std::vector<std::string>{"mine.txt"});
  EXPECT_FALSE(Exists(folder));
  EXPECT_TRUE(Exists(menu));
  EXPECT_TRUE(Exists(Join(base_, "outside.txt")));
  EXPECT_FALSE(KeyExists(key_));
  EXPECT_TRUE(KeyExists("SOFTWARE\\QuellmarkTest"));
}

// A complete removal, with the forms of a drive root: the installation
// directory right below Q:\ and a file line with the doubled backslash.
TEST_F(UninstallTest, RemovesEverythingAtADriveRoot) {
  if (!Exists("Q:\\")) GTEST_SKIP() << "drive Q: is not mapped (run through scripts/wine-run.sh)";
  const std::string name = "qmk_uninstall_" + tag_;
  const std::string dir = "Q:\\" + name;
  RemoveTree(dir);
  MakeDir(dir);
  MakeDir(Join(dir, "Plugins"));
  PutFile(Join(dir, "Plugins\\qmkpdf.dll"), "dll");
  PutFile("Q:\\" + name + ".txt", "at the root");
  Install(dir, {"mkd: Q:\\ ::: " + name,
                Join(dir, "qmk.exe"),
                "mkd: " + dir + " ::: Plugins",
                Join(dir, "Plugins\\qmkpdf.dll"),
                "Q:\\\\" + name + ".txt"});

  const Outcome run = Uninstall(dir);
  EXPECT_EQ(run.output, "result: 0\r\n");
  EXPECT_FALSE(Exists(dir));
  EXPECT_FALSE(Exists("Q:\\" + name + ".txt"));
  RemoveTree(dir);
}

// Installed into a directory that already existed: the log's first line names
// nothing, so the directory stays (empty) and that is no failure.
TEST_F(UninstallTest, KeepsAnInstallationDirectoryThatExistedBefore) {
  const std::string dir = Join(base_, "QMK");
  MakeDir(dir);
  PutFile(Join(dir, "readme.txt"), "read me");
  Install(dir, {"mkd: " + dir + "\\ :::", Join(dir, "qmk.exe"), Join(dir, "readme.txt")});

  const Outcome run = Uninstall(dir);
  EXPECT_EQ(run.output, "result: 0\r\n");
  EXPECT_TRUE(Exists(dir));
  EXPECT_EQ(Names(dir), std::vector<std::string>());
}

// A line the installer never writes is reported and touches nothing, even
// when it looks like a directory line reaching outside.
TEST_F(UninstallTest, ReportsLinesItDoesNotUnderstandAndTouchesNothingForThem) {
  const std::string dir = Join(base_, "QMK");
  MakeDir(dir);
  MakeDir(Join(base_, "victim"));
  const std::string escape = "mkd: " + dir + " ::: ..\\victim";
  Install(dir, {"mkd: " + base_ + "\\ ::: QMK", Join(dir, "qmk.exe"), escape});

  const Outcome run = Uninstall(dir);
  EXPECT_EQ(run.output, "not understood: " + escape + "\r\nresult: 1\r\n");
  EXPECT_TRUE(Exists(Join(base_, "victim")));
  EXPECT_FALSE(Exists(dir));
}

TEST_F(UninstallTest, WithoutALogNothingIsDone) {
  const std::string dir = Join(base_, "QMK");
  MakeDir(dir);
  Install(dir, {});
  ASSERT_TRUE(DeleteFileA(Join(dir, "uninstall.list").c_str()));

  const Outcome run = Uninstall(dir);
  EXPECT_EQ(run.output, "cannot read: " + Join(dir, "uninstall.list") + "\r\nresult: 2\r\n");
  EXPECT_TRUE(Exists(Join(dir, "qmk.exe")));
}

TEST_F(UninstallTest, WrongCommandLineEndsAtOnceWithTwo) {
  const Outcome run = RunToTheEnd(DemoProgram(), "-uninstall /X /S");
  EXPECT_EQ(run.output, "result: 2\r\n");
  EXPECT_EQ(run.exitCode, 2u);
}

// The icons as the shell numbers them: the Uninstall shortcut asks for
// number 2 of qmk.exe, which must be the third icon group (the bin), and
// there are exactly three.
std::vector<uint32_t> IconPixels(HICON icon) {
  std::vector<uint32_t> pixels;
  ICONINFO info;
  if (!icon || !GetIconInfo(icon, &info)) return pixels;
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = 32;
  bi.bmiHeader.biHeight = 32;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  pixels.resize(32 * 32);
  HDC dc = GetDC(nullptr);
  if (!GetDIBits(dc, info.hbmColor, 0, 32, pixels.data(), &bi, DIB_RGB_COLORS)) pixels.clear();
  ReleaseDC(nullptr, dc);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  return pixels;
}

// Pixels of the bin's red cross; only the uninstall icon has any.
int RedPixels(const std::vector<uint32_t>& pixels) {
  int red = 0;
  for (const uint32_t p : pixels) {
    const uint32_t r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
    if (r > 0xb0 && g < 0x50 && b < 0x50) ++red;
  }
  return red;
}

TEST(DemoProgramResources, IconNumberTwoIsTheBinOfTheThirdIconGroup) {
  const std::string program = DemoProgram();
  EXPECT_EQ(ExtractIconExA(program.c_str(), -1, nullptr, nullptr, 0), 3u);
  HMODULE module = LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  std::vector<std::vector<uint32_t>> groups;
  for (int id = 1; id <= 3; ++id) {
    HICON icon = static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(id), IMAGE_ICON, 32, 32, 0));
    groups.push_back(IconPixels(icon));
    ASSERT_EQ(groups.back().size(), 32u * 32u) << "icon group " << id;
    DestroyIcon(icon);
  }
  FreeLibrary(module);
  EXPECT_NE(groups[0], groups[1]);
  EXPECT_NE(groups[1], groups[2]);
  EXPECT_NE(groups[0], groups[2]);
  EXPECT_EQ(RedPixels(groups[0]), 0);
  EXPECT_EQ(RedPixels(groups[1]), 0);
  EXPECT_GT(RedPixels(groups[2]), 20);
  for (UINT index = 0; index < 3; ++index) {
    HICON large = nullptr;
    ASSERT_EQ(ExtractIconExA(program.c_str(), int(index), &large, nullptr, 1), 1u);
    EXPECT_EQ(IconPixels(large), groups[index]) << "icon number " << index;
    DestroyIcon(large);
  }
}

TEST(DemoProgramResources, VersionNamesTheProduct) {
  const std::string program = DemoProgram();
  DWORD ignored;
  std::vector<char> data(GetFileVersionInfoSizeA(program.c_str(), &ignored));
  ASSERT_FALSE(data.empty());
  ASSERT_TRUE(GetFileVersionInfoA(program.c_str(), 0, DWORD(data.size()), data.data()));
  char* value = nullptr;
  UINT size = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\StringFileInfo\\040904B0\\ProductName",
                             reinterpret_cast<void**>(&value), &size));
  EXPECT_STREQ(value, "Quellmark");
}

// The payload directory, demo-payload in the build directory.
std::string PayloadDir() {
  std::string dir = DemoProgram();
  dir.erase(dir.find_last_of('\\'));
  dir.erase(dir.find_last_of('\\'));
  return dir + "\\demo-payload";
}

TEST(DemoPayload, LaidOutAsInstalled) {
  std::vector<std::string> names = Names(PayloadDir());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Plugins", "history.txt", "license.txt", "qmk.exe", "readme.rus.txt",
                                             "readme.txt"}));
}

TEST(DemoPayload, RussianReadmeIsInCodePage1251) {
  HANDLE f = CreateFileA(Join(PayloadDir(), "readme.rus.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  char buffer[4096];
  DWORD got = 0;
  ReadFile(f, buffer, sizeof buffer, &got, nullptr);
  CloseHandle(f);
  const std::string text(buffer, got);
  // "Спасибо" in code page 1251; in UTF-8 it would take two bytes a letter.
  EXPECT_NE(text.find("\xD1\xEF\xE0\xF1\xE8\xE1\xEE"), std::string::npos);
  wchar_t wide[4096];
  const int n = MultiByteToWideChar(1251, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), wide, 4096);
  EXPECT_EQ(n, int(text.size()));  // one character a byte, every byte valid
}

// The payload's plug-ins are real DLLs that load and answer by name.
TEST(DemoPayload, PluginsLoadAndExportTheirNames) {
  const std::string dir = PayloadDir() + "\\Plugins";
  const std::vector<std::string> dlls = Names(dir);
  EXPECT_EQ(dlls.size(), 6u);
  std::vector<std::string> names;
  for (const std::string& dll : dlls) {
    HMODULE module = LoadLibraryA(Join(dir, dll).c_str());
    ASSERT_NE(module, nullptr) << dll;
    using NameFunction = const char*(__stdcall*)();
    auto name = reinterpret_cast<NameFunction>(reinterpret_cast<void*>(GetProcAddress(module, "QmkPluginName")));
    ASSERT_NE(name, nullptr) << dll;
    EXPECT_EQ("qmk" + std::string(name()) + ".dll", dll);
    EXPECT_NE(GetProcAddress(module, "QmkPluginTitle"), nullptr) << dll;
    FreeLibrary(module);
  }
}

}  // namespace

#endif  // _WIN32
