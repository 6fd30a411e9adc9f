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

void RemoveTree(const std::string& path) {
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

// Replaces every "{D}" (the installation directory), "{B}" (the case's own
// directory) and "{K}" (its key's name).
std::string Fill(std::string s, const std::string& dir, const std::string& base, const std::string& key) {
  const std::pair<const char*, std::string> vars[] = {{"{D}", dir}, {"{B}", base}, {"{K}", key}};
  for (const auto& v : vars) {
    for (size_t at; (at = s.find(v.first)) != std::string::npos;) s.replace(at, 3, v.second);
  }
  return s;
}

// A fake installation: directories and files ("*" ending a file's name
// makes it read-only), qmk.exe in the installation directory with `log` as its uninstall.list
// (none when `log` is empty), optionally the uninstall key; then
// `qmk.exe -uninstall /S` from there, its report ("\n" stands for CR LF),
// and what must stay and what must be gone afterwards.
struct UninstallCase {
  const char* name;
  const char* dir;  // the installation directory
  bool atDriveRoot, key;
  std::vector<std::string> dirs, files, log;
  std::string report;
  std::vector<std::string> stay, gone;
};

const UninstallCase kUninstallCases[] = {
    // Everything listed goes, except a listed directory that holds a file of
    // the user's: it stays, with its parents, and the report names exactly
    // those. The root line as the installer writes it: the directory's
    // closing backslash cut off.
    {"ListedGoesAndWhatHadToStayIsReported", "{B}\\inst dir\\QMK", false, true,
     {"{B}\\inst dir", "{D}", "{D}\\sub", "{D}\\sub\\deep", "{D}\\keep", "{B}\\menu", "{B}\\menu\\Quellmark"},
     {"{D}\\readme.txt*", "{D}\\sub\\deep\\a.txt", "{D}\\sub\\b.txt*", "{D}\\keep\\listed.txt", "{D}\\keep\\mine.txt",
      "{B}\\menu\\Quellmark\\Uninstall.lnk", "{B}\\outside.txt"},
     {"mkd: {B}\\ ::: inst dir\\QMK", "{D}\\qmk.exe", "{D}\\readme.txt", "mkd: {D} ::: sub", "mkd: {D} ::: sub\\deep",
      "{D}\\sub\\deep\\a.txt", "{D}\\sub\\b.txt", "mkd: {D} ::: keep", "{D}\\keep\\listed.txt",
      "mkd: {B}\\menu ::: Quellmark", "{B}\\menu\\Quellmark\\Uninstall.lnk", "reg: SOFTWARE\\QuellmarkTest\\ ::: {K}"},
     "not removed: {D}\\keep\nnot removed: {D}\nnot removed: {B}\\inst dir\nresult: 1\n",
     {"{D}\\keep\\mine.txt", "{B}\\menu", "{B}\\outside.txt"},
     {"{D}\\keep\\listed.txt", "{D}\\sub", "{D}\\readme.txt", "{D}\\qmk.exe", "{B}\\menu\\Quellmark"}},
    // The forms of a drive root: the directory right below Q:\ and a file
    // line with the doubled backslash.
    {"EverythingGoesAtADriveRoot", "{B}\\QMK", true, false, {"{D}", "{D}\\Plugins"},
     {"{D}\\Plugins\\qmkpdf.dll", "{B}\\top.txt"},
     {"mkd: {B}\\ ::: QMK", "{D}\\qmk.exe", "mkd: {D} ::: Plugins", "{D}\\Plugins\\qmkpdf.dll",
      "{B}\\\\top.txt"},
     "result: 0\n", {}, {"{D}", "{B}\\top.txt"}},
    // Installed into a directory that existed: the root line names nothing,
    // so the directory stays, empty, and that is no failure.
    {"ADirectoryThatExistedBeforeStays", "{B}\\QMK", false, false, {"{D}"}, {"{D}\\readme.txt"},
     {"mkd: {D}\\ :::", "{D}\\qmk.exe", "{D}\\readme.txt"}, "result: 0\n", {"{D}"},
     {"{D}\\readme.txt", "{D}\\qmk.exe"}},
    // A line the installer never writes is reported and touches nothing,
    // even one that looks like a directory line reaching outside.
    {"ALineNotUnderstoodIsReportedAndTouchesNothing", "{B}\\QMK", false, false, {"{D}", "{B}\\victim"}, {},
     {"mkd: {B}\\ ::: QMK", "{D}\\qmk.exe", "mkd: {D} ::: ..\\victim"},
     "not understood: mkd: {D} ::: ..\\victim\nresult: 1\n", {"{B}\\victim"}, {"{D}"}},
    {"WithoutALogNothingIsDone", "{B}\\QMK", false, false, {"{D}"}, {}, {},
     "cannot read: {D}\\uninstall.list\nresult: 2\n", {"{D}\\qmk.exe"}, {}},
};

class Uninstall : public ::testing::TestWithParam<UninstallCase> {};

TEST_P(Uninstall, RemovesWhatTheLogNames) {
  const UninstallCase& c = GetParam();
  if (c.atDriveRoot && !Exists("Q:\\")) GTEST_SKIP() << "drive Q: is not mapped (run through scripts/wine-run.sh)";
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string tag = std::to_string(GetCurrentProcessId()) + "_" + c.name;
  const std::string base = c.atDriveRoot ? "Q:" : Join(temp, "qmk_uninstall_" + tag);
  const std::string key = "QMK" + tag, keyPath = "SOFTWARE\\QuellmarkTest\\" + key;
  const std::string dir = Fill(c.dir, "", base, key);
  auto fill = [&](const std::string& text) { return Fill(text, dir, base, key); };
  RemoveTree(c.atDriveRoot ? dir : base);
  if (!c.atDriveRoot) {
    ASSERT_TRUE(CreateDirectoryA(base.c_str(), nullptr));
  }
  for (const std::string& d : c.dirs) ASSERT_TRUE(CreateDirectoryA(fill(d).c_str(), nullptr)) << d;
  auto put = [](const std::string& path, const std::string& bytes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    if (h != INVALID_HANDLE_VALUE) WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr), CloseHandle(h);
    return written == bytes.size();
  };
  for (std::string f : c.files) {
    const bool readOnly = f.back() == '*';
    if (readOnly) f.pop_back();
    ASSERT_TRUE(put(fill(f), f)) << f;
    if (readOnly) SetFileAttributesA(fill(f).c_str(), FILE_ATTRIBUTE_READONLY);
  }
  ASSERT_TRUE(CopyFileA(DemoProgram().c_str(), Join(dir, "qmk.exe").c_str(), FALSE)) << DemoProgram();
  std::string log;
  for (const std::string& line : c.log) log += fill(line) + "\r\n";
  if (!c.log.empty()) {
    ASSERT_TRUE(put(Join(dir, "uninstall.list"), log));
  }
  if (c.key) {
    HKEY h;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(h);
  }

  const Outcome run = RunToTheEnd(Join(dir, "qmk.exe"), "-uninstall /S");
  std::string report = fill(c.report);
  for (size_t at = 0; (at = report.find('\n', at)) != std::string::npos; at += 2) report.insert(at, "\r");
  EXPECT_EQ(run.output, report);
  EXPECT_EQ(run.exitCode, 0u);  // the program started only hands over
  for (const std::string& p : c.stay) EXPECT_TRUE(Exists(fill(p))) << "gone: " << p;
  for (const std::string& p : c.gone) EXPECT_FALSE(Exists(fill(p))) << "left: " << p;
  if (c.key) {
    EXPECT_FALSE(KeyExists(keyPath));
    EXPECT_TRUE(KeyExists("SOFTWARE\\QuellmarkTest"));
  }
  if (!c.atDriveRoot) RemoveTree(base);
  RemoveTree(dir);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str());
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\QuellmarkTest");
}

INSTANTIATE_TEST_SUITE_P(Cases, Uninstall, ::testing::ValuesIn(kUninstallCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UninstallCommandLine, AWrongOneEndsAtOnceWithTwo) {
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
