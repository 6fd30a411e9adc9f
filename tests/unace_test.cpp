// unace_test.cpp - extraction: the tree, times, attributes, the log line for line and
// what each failure leaves; on the in-memory file system and, under Wine, the real one.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>

#include "archive/unace.h"
#include "tests/hostilecases.h"
#include "tests/installenv.h"

#ifdef _WIN32
#include <windows.h>
#endif

using namespace qmktest;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> At(std::vector<std::string> lines, const std::string& top) {
  for (std::string& l : lines) {
    for (size_t at; (at = l.find('@')) != std::string::npos;) l.replace(at, 1, top);
  }
  return lines;
}

// The parameter: a fresh directory on the real disk (Windows only) rather than memfs.
class Extraction : public InstallTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    InstallTest::SetUp();
    memfs::SetUtcOffsetMinutes(-300);  // five hours behind UTC: stored times are local ones
    if (!real_) return;
    base_ = (fs::temp_directory_path() / ("qmk_install_" + std::to_string(long(getpid())) + "_" +
                                          std::to_string(long(time(nullptr))))).string() + "\\";
    std::replace(base_.begin(), base_.end(), '/', '\\');
    fs::remove_all(base_);
    platform = &kNativePlatform;
  }
  void TearDown() override {
    NewRun();
#ifdef _WIN32
    for (HANDLE h : held_) CloseHandle(h);
#endif
    std::error_code ec;
    for (auto& p : fs::recursive_directory_iterator(real_ ? base_ : "", ec)) {
      kNativePlatform.setFileAttributes(p.path().string().c_str(), 0x80);
    }
    if (real_) fs::remove_all(base_, ec);
    InstallTest::TearDown();
  }
  // A directory (with its final "\"), or a file with these bytes.
  void Lay(const std::string& top, const std::vector<std::pair<std::string, std::string>>& paths, uint32_t attributes = 0x20) {
    for (const auto& [rel, bytes] : paths) {
      const std::string path = top + rel;
      for (size_t i = 3; i < path.size(); i++) {
        if (path[i] == '\\') platform->createDirectory(path.substr(0, i).c_str());
      }
      if (path.back() == '\\') continue;
      const int32_t h = platform->openForWrite(path.c_str());
      platform->write(h, bytes.data(), uint32_t(bytes.size()));
      platform->close(h);
      platform->setFileAttributes(path.c_str(), attributes);
    }
  }
  std::string Top(const std::vector<std::pair<std::string, std::string>>& paths = {}) {
    const std::string top = base_ + "c" + std::to_string(cases_++) + "\\";
    Lay(top, {{"", ""}});
    Lay(top, paths);
    return top;
  }
  static uint32_t Attributes(const std::string& path) { return platform->getFileAttributes(path.c_str()); }
  std::vector<int> LastWrite(const std::string& path) {
    memfs::LocalTime t{};
    struct stat st;
    if (!real_) memfs::LastWrite(path, &t);
    if (real_ && stat(path.c_str(), &st) == 0) {
      const time_t when = st.st_mtime;
      const struct tm* l = localtime(&when);
      t = {l->tm_year + 1900, l->tm_mon + 1, l->tm_mday, l->tm_hour, l->tm_min, l->tm_sec};
    }
    return {t.year, t.month, t.day, t.hour, t.minute, t.second};
  }
  void HoldOpen(const std::string& path) {
    if (!real_) memfs::SetInUse(path, true);
#ifdef _WIN32
    if (real_) held_.push_back(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
#endif
  }
  std::vector<std::string> Below(const std::string& dir) {
    std::vector<std::string> out;
    for (const std::string& p : real_ ? std::vector<std::string>{} : memfs::Tree()) {
      if (p.size() > dir.size() && Upper(p.substr(0, dir.size())) == Upper(dir)) out.push_back(p.substr(dir.size()));
    }
    std::error_code ec;
    for (auto& p : fs::recursive_directory_iterator(real_ ? dir : "", ec)) {
      std::string rel = p.path().lexically_relative(dir).string() + (p.is_directory() ? "\\" : "");
      std::replace(rel.begin(), rel.end(), '/', '\\');
      out.push_back(rel);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  static std::vector<std::string> Log(const std::string& dir) { return LogLines(Read(dir + "uninstall.list")); }
  const bool real_ = GetParam();
  std::string base_ = "C:\\T\\";
  std::vector<void*> held_;
  int cases_ = 0;
};

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Disks, Extraction, ::testing::Bool(), [](const auto& i) { return i.param ? "Real" : "Memory"; });
#else
INSTANTIATE_TEST_SUITE_P(Disks, Extraction, ::testing::Values(false), [](const auto&) { return "Memory"; });
#endif

// Bytes, local time, attributes; the log names what was made, parents first; the current directory is put back.
TEST_P(Extraction, WritesTheTreeAndLogsWhatItMadeLineForLine) {
  const std::string there = "mkd: @P\\QMK\\ :::";
  const struct {
    const char* what;
    std::vector<std::pair<std::string, std::string>> before;
    std::vector<FileEntry> entries;
    std::vector<std::string> log;
    std::vector<std::string> below;
  } cases[] = {
      {"fresh", {{"P\\", ""}},
       {File("qmk.exe", RandomBytes(5000, 1)), File("readme.txt", SampleText(3000, 2)), Dir("docs"),
        File("docs\\guide.txt", SampleText(7000, 3))},
       {"mkd: @P\\ ::: QMK", "@P\\QMK\\qmk.exe", "@P\\QMK\\readme.txt", "mkd: @P\\QMK ::: docs", "@P\\QMK\\docs\\guide.txt"},
       {"docs\\", "docs\\guide.txt", "qmk.exe", "readme.txt", "uninstall.list"}},
      {"two levels missing", {}, {File("x.txt", {'x'})}, {"mkd: @ ::: P\\QMK", "@P\\QMK\\x.txt"}, {}},
      {"directory there", {{"P\\QMK\\", ""}}, {File("a.txt", {'a'})}, {there, "@P\\QMK\\a.txt"}, {"a.txt", "uninstall.list"}},
      {"directory entry there: not logged, attributes set", {{"P\\QMK\\docs\\", ""}},
       {Dir("docs", 0x12), File("docs\\x.txt", {'x'})}, {there, "@P\\QMK\\docs\\x.txt"}, {}},
      {"file there: replaced and logged", {{"P\\QMK\\a.txt", std::string(10000, 'o')}}, {File("a.txt", {'n', 'e', 'w'})},
       {there, "@P\\QMK\\a.txt"}, {}},
      {"an earlier log naming nothing there", {{"P\\QMK\\uninstall.list", "old line one\r\nold line two\r\n"}},
       {File("a.txt", {'a'})}, {there, "@P\\QMK\\a.txt"}, {}},
      {"missing parents, shortest first", {{"P\\QMK\\", ""}}, {File("a\\b\\c.txt", {'c'})},
       {there, "mkd: @P\\QMK ::: a", "mkd: @P\\QMK ::: a\\b", "@P\\QMK\\a\\b\\c.txt"}, {}},
      {"attributes", {},
       {File("ro.txt", {'r'}, 0x21), File("hidden.txt", {'h'}, 0x22), Dir("sub", 0x12), File("plain.txt", {'p'}, 0x820)},
       {"mkd: @ ::: P\\QMK", "@P\\QMK\\ro.txt", "@P\\QMK\\hidden.txt", "mkd: @P\\QMK ::: sub", "@P\\QMK\\plain.txt"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string top = Top({{"elsewhere\\", ""}}), d = top + "P\\QMK\\";
    ASSERT_TRUE(platform->setCurrentDirectory((top + "elsewhere").c_str()));
    Lay(top, c.before);
    ExtractAsInstaller(PackedArchive(c.entries), d);
    EXPECT_EQ(errorStatus, kStatusOk);
    EXPECT_EQ(Log(d), At(c.log, top));
    EXPECT_TRUE(c.below.empty() || Below(d) == c.below);
    for (const FileEntry& e : c.entries) {
      // Hidden rather than read-only for directories: Wine keeps no read-only bit on them.
      const uint32_t dir = e.attributes & 0x10, mask = dir ? 0x12 : 0x3F;
      EXPECT_EQ(Attributes(d + e.name) & mask, e.attributes & (dir ? 0x12 : 0x27)) << e.name;
      if (dir) continue;
      EXPECT_EQ(Read(d + e.name), std::string(e.data.begin(), e.data.end())) << e.name;
      EXPECT_EQ(LastWrite(d + e.name), (std::vector<int>{1999, 5, 3, 16, 48, 0})) << e.name;
    }
    char now[1000];
    ASSERT_NE(platform->getCurrentDirectory(sizeof now, now), 0u);
    EXPECT_EQ(std::string(now), top + "elsewhere");
  }
}

// Each damaged, unsupported, blocked or hostile entry: its status and path, earlier
// entries whole, a broken file gone, nothing of the user's lost; a blocked file is kept, unlogged.
TEST_P(Extraction, EachFailureStopsWithItsStatusAndNothingOfTheUsersIsLost) {
  const FileEntry first = HostileFile("first.txt", "first");
  const auto edited = [&](std::vector<FileEntry> v, size_t i, const std::function<void(FileEntry&)>& edit) {
    v.insert(v.begin(), first);
    Pack(v, true);
    edit(v[i + 1]);
    return BuildArchive({}, v);
  };
  const auto stored = [](const char* name, const Bytes& data) {
    FileEntry e = File(name, data);
    e.compType = 0;
    return e;
  };
  FileEntry locked = File("locked.txt", {'x'});
  locked.flags |= 0x4000;
  Bytes cut = PackedArchive({first, File("b.txt", {'b'})}), badHeader = PackedArchive({first});
  cut.resize(cut.size() - 3);                                          // the last header's data cut short
  badHeader.insert(badHeader.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});  // a header with a wrong CRC
  const Bytes replacing = PackedArchive({File("old.txt", SampleText(100, 1)), File("later.txt", SampleText(100, 2))});
  const Bytes replacingEmpty = PackedArchive({File("old.txt", {}), File("later.txt", SampleText(100, 2))});
  enum Blocked { kNone, kReadOnly, kInUse };
  struct Case {
    std::string what;
    Bytes image;
    int32_t status;
    std::vector<std::string> logged;  // after the root line
    const char* failed;               // null: not looked at
    Blocked blocked = kNone;          // old.txt
  };
  std::vector<Case> cases = {
      {"a file's CRC",
       edited({File("bad.txt", SampleText(3000, 5)), File("later.txt", {'l'})}, 0, [](auto& e) { e.fileCrc = 0x12345678; }),
       kStatusBadCrc, {"first.txt", "bad.txt"}, "bad.txt"},
      {"a stored file's CRC", edited({stored("stored.txt", SampleText(100, 6))}, 0, [](auto& e) { e.fileCrc = 1; }),
       kStatusBadCrc, {"first.txt", "stored.txt"}, "stored.txt"},
      {"an entry shorter than its size",
       edited({stored("short.txt", SampleText(500, 7))}, 0, [](auto& e) { e.unpackedSize = 600; }), kStatusBadCrc,
       {"first.txt", "short.txt"}, "short.txt"},
      {"a locked entry", PackedArchive({first, locked, File("later.txt", {'n'}), File("new.txt", {'z'})}),
       kStatusUnsupported, {"first.txt"}, "locked.txt"},
      {"an unknown compression type", edited({File("a.txt", SampleText(50, 1))}, 0, [](auto& e) { e.compType = 2; }),
       kStatusUnsupported, {"first.txt", "a.txt"}, "a.txt"},
      {"a chain cut short", cut, kStatusDamagedArchive, {"first.txt"}, "b.txt"},
      {"a header with a wrong CRC", badHeader, kStatusDamagedArchive, {"first.txt"}, ""},
      {"no archive", SampleText(3000, 9), kStatusDamagedArchive, {}, ""},
      {"nothing at all", {}, kStatusDamagedArchive, {}, ""},
      {"read-only", replacing, kStatusCannotReplace, {}, "old.txt", kReadOnly},
      {"read-only, empty entry", replacingEmpty, kStatusCannotReplace, {}, "old.txt", kReadOnly},
      {"in use", replacing, kStatusCannotReplace, {}, "old.txt", kInUse},
      {"in use, empty entry", replacingEmpty, kStatusCannotReplace, {}, "old.txt", kInUse},
  };
  const std::vector<HostileCase> hostile = HostileCases();
  for (const HostileCase& c : hostile) {
    const bool begun = c.status == kStatusBadCrc;
    std::vector<std::string> logged = {"first.txt"};
    logged.insert(logged.end(), c.alsoWritten.begin(), c.alsoWritten.end());
    if (begun) logged.push_back(c.hostile[0].name);
    cases.push_back({c.what, HostileArchive(c), c.status, logged, begun ? c.hostile[0].name.c_str() : nullptr});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string top = Top({{"outside.txt", "beside"}, {"QMK\\Docs\\user.txt", "the user's"},
                                 {"QMK\\later.txt", "old later"}, {"QMK\\locked.txt", "old locked"}}),
                      d = top + "QMK\\";
    Lay(d, {{"old.txt", "old"}}, c.blocked == kReadOnly ? 0x21 : 0x20);
    const uint32_t oldAttributes = Attributes(d + "old.txt");
    if (c.blocked == kInUse) HoldOpen(d + "old.txt");
    const int32_t probe = c.blocked == kReadOnly ? platform->openForWrite((d + "old.txt").c_str()) : kNoHandle;
    if (probe != kNoHandle) {
      platform->close(probe);
      printf("passed over: this file system lets read-only files be written (Wine run as root)\n");
      continue;
    }
    ExtractAsInstaller(c.image, d);
    EXPECT_EQ(errorStatus, c.status) << DescribeStatus(errorStatus);
    EXPECT_TRUE(!c.failed || std::string(failedPath) == (c.failed[0] ? d + c.failed : "")) << failedPath;
    std::vector<std::string> below = {"QMK\\", "QMK\\Docs\\", "QMK\\Docs\\user.txt", "QMK\\later.txt",
                                      "QMK\\locked.txt", "QMK\\old.txt", "QMK\\uninstall.list", "outside.txt"},
                             log = {"mkd: " + d + " :::"};
    for (const std::string& l : c.logged) {
      const bool dir = l.back() == '\\';
      log.push_back(dir ? "mkd: " + top + "QMK ::: " + l.substr(0, l.size() - 1) : d + l);
      if (!c.failed || l != c.failed) below.push_back("QMK\\" + l);
    }
    std::sort(below.begin(), below.end());
    EXPECT_EQ(Below(top), below);
    EXPECT_TRUE(c.logged.empty() || c.logged[0] == (c.failed ? c.failed : "") || Read(d + "first.txt") == "first");
    EXPECT_EQ(Read(top + "outside.txt") + Read(d + "old.txt") + Read(d + "Docs\\user.txt") + Read(d + "later.txt") +
                  Read(d + "locked.txt"),
              "besideoldthe user'sold laterold locked");  // later ones passed over: not deleted
    EXPECT_EQ(Attributes(d + "old.txt"), oldAttributes);
    EXPECT_EQ(Log(d), log);
  }
  const std::string top = Top({{"blocker", "a file where a directory should be"}});
  ASSERT_TRUE(platform->setCurrentDirectory(top.c_str()));
  ExtractAsInstaller(PackedArchive({File("a.txt", {'a'}), File("sub\\b.txt", {'b'})}), top + "blocker\\QMK\\");
  EXPECT_EQ(errorStatus, kStatusNoInstallDir);
  EXPECT_EQ(std::string(failedPath), top + "blocker\\QMK\\");
  EXPECT_EQ(Below(top), std::vector<std::string>{"blocker"});
}

// At a drive's root the file lines double the backslash.
TEST_P(Extraction, DriveRootDoublesTheBackslashInFileLines) {
  if (real_) GTEST_SKIP() << "the in-memory file system only";
  memfs::AddDrive('D');
  ExtractAsInstaller(PackedArchive({File("x.txt", {'x'}), File("sub\\y.txt", {'y'})}), "D:\\");
  EXPECT_EQ(errorStatus, kStatusOk);
  EXPECT_EQ(Log("D:\\"), (std::vector<std::string>{"mkd: D:\\ :::", "D:\\\\x.txt", "mkd: D:\\ ::: sub", "D:\\\\sub\\y.txt"}));
  EXPECT_EQ(Read("D:\\sub\\y.txt"), "y");
}

// Each call of a kind fails in turn: the rules hold, and each case's own check.
TEST_P(Extraction, EachFailingCallKeepsTheRules) {
  if (real_) GTEST_SKIP() << "the in-memory file system only";
  int looks = 0, closes = 0;
  const struct {
    const char* call;
    std::vector<FileEntry> entries;
    const char* dir;
    const char* userFile;
    std::function<bool()> check;  // false: not a run the case looks at
    int runs;                     // at least -runs, when negative
  } cases[] = {
      // The file goes, and the failed close released its handle.
      {"CloseMem", {File("a.txt", SampleText(3000, 1)), File("b.txt", {'b'})}, "C:\\Q\\", "C:\\x",
       [&] {
         EXPECT_EQ(errorStatus, kStatusShortWrite);
         EXPECT_TRUE(closes++ || (!memfs::Exists("C:\\Q\\a.txt") && !memfs::Exists("C:\\Q\\b.txt") &&
                                  memfs::OpenHandles() == 0));
         return true;
       }, -1},
      // Docs is the user's: a failed look must not count as missing. The first look is for an earlier log.
      {"GetFileAttributesMem", {File("Docs\\a.txt", {'a'})}, "C:\\Q\\", "C:\\Q\\Docs\\mine.txt",
       [&] {
         const bool logLook = looks++ == 0;
         EXPECT_EQ(errorStatus, logLook ? kStatusNotLogged : kStatusCannotLook);
         EXPECT_EQ(Log("C:\\Q\\"), std::vector<std::string>{logLook ? "<missing><no CR LF>" : "mkd: C:\\Q\\ :::"});
         return true;
       }, 3},
      // C:\a exists but cannot be entered once: neither created nor claimed.
      {"SetCurrentDirectoryMem", {File("x.txt", {'x'})}, "C:\\a\\b\\", "C:\\a\\mine.txt",
       [&] {
         const std::string first = Log("C:\\a\\b\\")[0];
         if (first.rfind("mkd: ", 0) != 0) return false;  // the entry's own directory change failed
         EXPECT_EQ(first, "mkd: C:\\a\\ ::: b");
         return true;
       }, -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    const Bytes image = PackedArchive(c.entries);
    const std::vector<EntryFacts> facts = ListEntries(image);
    int looked = 0;
    for (uint32_t n = 1; n < 200; n++) {
      memfs::Install();
      memfs::PutFile(c.userFile, "the user's");
      const SystemState before = CaptureSystem();
      memfs::FailCall(n);
      const bool logged = ExtractAsInstaller(image, c.dir);
      if (!*memfs::FailedCall()) break;
      if (std::string(memfs::FailedCall()) != c.call) continue;
      SCOPED_TRACE("failing call " + std::to_string(n));
      looked += c.check();
      const RunFacts run{c.dir, "", true, errorStatus != kStatusOk, !logged};
      for (const std::string& fault : CheckInstallRun(before, CaptureSystem(), facts, run)) ADD_FAILURE() << fault;
    }
    EXPECT_TRUE(c.runs < 0 ? looked >= -c.runs : looked == c.runs) << looked << " runs";
  }
}

}  // namespace
