// uninstall_test.cpp - `qmk.exe -uninstall /S` for real, under Wine, over a fake installation.
#ifdef _WIN32

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <filesystem>
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

// In demo\ beside this program's tests\.
std::string DemoProgram() {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string dir(self, n);
  dir.erase(dir.find_last_of('\\'));
  dir.erase(dir.find_last_of('\\'));
  return dir + "\\demo\\qmk.exe";
}

struct Outcome {
  std::string output;
  DWORD exitCode = 0;
};

// The pipe ends when its last holder, the uninstaller's copy in %TEMP%, has finished.
Outcome RunToTheEnd(const std::string& program, const std::string& arguments) {
  Outcome run;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return run;
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
  std::error_code ec;
  for (auto& p : std::filesystem::recursive_directory_iterator(path, ec)) {
    SetFileAttributesA(p.path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  std::filesystem::remove_all(path, ec);
}

// "{D}" the installation directory, "{B}" the case's own, "{K}" its key's name.
std::string Fill(std::string s, const std::string& dir, const std::string& base, const std::string& key) {
  const std::pair<const char*, std::string> vars[] = {{"{D}", dir}, {"{B}", base}, {"{K}", key}};
  for (const auto& v : vars) {
    for (size_t at; (at = s.find(v.first)) != std::string::npos;) s.replace(at, 3, v.second);
  }
  return s;
}

// "*" ending a file's name makes it read-only; no uninstall.list when `log` is empty.
struct UninstallCase {
  const char* name;
  const char* dir;  // the installation directory
  bool key;
  std::vector<std::string> dirs, files, log;
  std::string report;
  std::vector<std::string> stay, gone;
};

const UninstallCase kUninstallCases[] = {
    // A listed directory holding the user's file stays, with its parents; a line reaching outside touches nothing.
    {"ListedGoesAndWhatHadToStayIsReported", "{B}\\inst dir\\QMK", true,
     {"{B}\\inst dir", "{D}", "{D}\\sub", "{D}\\sub\\deep", "{D}\\keep", "{B}\\menu", "{B}\\menu\\Quellmark",
      "{B}\\victim"},
     {"{D}\\readme.txt*", "{D}\\sub\\deep\\a.txt", "{D}\\sub\\b.txt*", "{D}\\keep\\listed.txt", "{D}\\keep\\mine.txt",
      "{B}\\menu\\Quellmark\\Uninstall.lnk", "{B}\\outside.txt"},
     {"mkd: {B}\\ ::: inst dir\\QMK", "{D}\\qmk.exe", "{D}\\readme.txt", "mkd: {D} ::: sub", "mkd: {D} ::: sub\\deep",
      "{D}\\sub\\deep\\a.txt", "{D}\\sub\\b.txt", "mkd: {D} ::: keep", "{D}\\keep\\listed.txt",
      "mkd: {B}\\menu ::: Quellmark", "{B}\\menu\\Quellmark\\Uninstall.lnk", "reg: SOFTWARE\\QuellmarkTest\\ ::: {K}",
      "mkd: {D} ::: ..\\victim"},
     "not understood: mkd: {D} ::: ..\\victim\nnot removed: {D}\\keep\nnot removed: {D}\nnot removed: {B}\\inst dir\n"
     "result: 1\n",
     {"{D}\\keep\\mine.txt", "{B}\\menu", "{B}\\outside.txt", "{B}\\victim"},
     {"{D}\\keep\\listed.txt", "{D}\\sub", "{D}\\readme.txt", "{D}\\qmk.exe", "{B}\\menu\\Quellmark"}},
    {"WithoutALogNothingIsDone", "{B}\\QMK", false, {"{D}"}, {}, {}, "cannot read: {D}\\uninstall.list\nresult: 2\n",
     {"{D}\\qmk.exe"}, {}},
};

class Uninstall : public ::testing::TestWithParam<UninstallCase> {};

TEST_P(Uninstall, RemovesWhatTheLogNames) {
  const UninstallCase& c = GetParam();
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string tag = std::to_string(GetCurrentProcessId()) + "_" + c.name;
  const std::string base = Join(temp, "qmk_uninstall_" + tag);
  const std::string key = "QMK" + tag, keyPath = "SOFTWARE\\QuellmarkTest\\" + key;
  const std::string dir = Fill(c.dir, "", base, key);
  auto fill = [&](const std::string& text) { return Fill(text, dir, base, key); };
  RemoveTree(base);
  ASSERT_TRUE(CreateDirectoryA(base.c_str(), nullptr));
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
  ASSERT_TRUE(c.log.empty() || put(Join(dir, "uninstall.list"), log));
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
  EXPECT_EQ(run.exitCode, 0u);  // it only hands over
  for (const std::string& p : c.stay) EXPECT_TRUE(Exists(fill(p))) << "gone: " << p;
  for (const std::string& p : c.gone) EXPECT_FALSE(Exists(fill(p))) << "left: " << p;
  if (c.key) {
    EXPECT_FALSE(KeyExists(keyPath));
    EXPECT_TRUE(KeyExists("SOFTWARE\\QuellmarkTest"));
  }
  RemoveTree(base);
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

// The red pixels in the 32x32 picture, or -1.
int RedPixels(HICON icon) {
  ICONINFO info;
  if (!icon || !GetIconInfo(icon, &info)) return -1;
  BITMAPINFO bi{};
  bi.bmiHeader = {sizeof bi.bmiHeader, 32, 32, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  std::vector<uint32_t> pixels(32 * 32);
  HDC dc = GetDC(nullptr);
  const bool read = GetDIBits(dc, info.hbmColor, 0, 32, pixels.data(), &bi, DIB_RGB_COLORS) != 0;
  ReleaseDC(nullptr, dc);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  if (!read) return -1;
  int red = 0;
  for (const uint32_t p : pixels) {
    const uint32_t r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
    if (r > 0xb0 && g < 0x50 && b < 0x50) ++red;
  }
  return red;
}

// Icon number 2, which the Uninstall shortcut asks for, is the bin: the only one with a red cross.
TEST(DemoProgramResources, IconNumberTwoIsTheBin) {
  const std::string program = DemoProgram();
  EXPECT_EQ(ExtractIconExA(program.c_str(), -1, nullptr, nullptr, 0), 3u);
  for (int index = 0; index < 3; ++index) {
    HICON large = nullptr;
    ASSERT_EQ(ExtractIconExA(program.c_str(), index, &large, nullptr, 1), 1u);
    const int red = RedPixels(large);
    DestroyIcon(large);
    EXPECT_TRUE(index == 2 ? red > 20 : red == 0) << "icon number " << index << ": " << red;
  }
}

}  // namespace

#endif  // _WIN32
