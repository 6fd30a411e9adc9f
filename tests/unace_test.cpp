// unace_test.cpp - extraction into the installation directory: the tree, the
// times and attributes, the install log line for line, and what each kind of
// failure leaves behind. The shared cases run on the in-memory file system
// and, in the Windows build, again on the real one under Wine.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "archive/unace.h"
#include "encoder/archivewriter.h"
#include "tests/hostilecases.h"
#include "tests/installenv.h"

using namespace qmktest;

namespace {

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Every "@" in `lines` made `top`.
std::vector<std::string> At(std::vector<std::string> lines, const std::string& top) {
  for (std::string& l : lines) {
    for (size_t at; (at = l.find('@')) != std::string::npos;) l.replace(at, 1, top);
  }
  return lines;
}

void ExpectLocalTime(const memfs::LocalTime& t, std::vector<int> want, const std::string& what) {
  EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second}), want) << what;
}

// The parameter: the real disk (Windows only) rather than the in-memory one.
class Extraction : public InstallTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    InstallTest::SetUp();
    disk_ = std::make_unique<Disk>(GetParam());
  }
  void TearDown() override {
    NewRun();
    disk_.reset();
    InstallTest::TearDown();
  }
  void Extract(const Bytes& image, const std::string& dir) {
    image_ = image;
    errorStatus = kStatusOk;
    TUnAce(image_.data(), uint32_t(image_.size())).ExtractAll(dir.c_str());
  }
  // The log stays open after the extraction, as in the installer; it is
  // closed here so the real file system shows all of it.
  std::vector<std::string> Log(const std::string& dir) {
    delete InstallLog;
    InstallLog = nullptr;
    const std::string bytes = disk_->Read(dir + "uninstall.list");
    return bytes == "<missing>" ? std::vector<std::string>{"<no log>"} : LogLines(bytes);
  }
  std::string Base() const { return disk_->base; }

  std::unique_ptr<Disk> disk_;
  Bytes image_;
};

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Disks, Extraction, ::testing::Bool(), [](const auto& i) { return i.param ? "Real" : "Memory"; });
#else
INSTANTIATE_TEST_SUITE_P(Disks, Extraction, ::testing::Values(false), [](const auto&) { return "Memory"; });
#endif

// Into @\P\QMK: every file with its bytes, its time (3 May 1999 16:48 as
// stored, in local time) and the attributes a file system keeps; the log
// names exactly what the run made, a directory before what is in it, and
// the current directory is put back.
TEST_P(Extraction, WritesTheTreeAndLogsWhatItMadeLineForLine) {
  using Before = std::function<void(Disk&, const std::string& dir)>;
  const std::vector<FileEntry> product = {File("qmk.exe", RandomBytes(5000, 1)), File("readme.txt", SampleText(3000, 2)),
                                          Dir("docs"), File("docs\\guide.txt", SampleText(7000, 3))};
  const struct {
    const char* what;
    Before before;
    std::vector<FileEntry> entries;
    std::vector<std::string> log;
    std::vector<std::string> below;  // empty: not looked at
  } cases[] = {
      {"fresh", [](Disk& disk, const std::string& d) { disk.MakeDirs(d.substr(0, d.size() - 4)); }, product,
       {"mkd: @\\P\\ ::: QMK", "@\\P\\QMK\\qmk.exe", "@\\P\\QMK\\readme.txt", "mkd: @\\P\\QMK ::: docs",
        "@\\P\\QMK\\docs\\guide.txt"},
       {"docs\\", "docs\\guide.txt", "qmk.exe", "readme.txt", "uninstall.list"}},
      {"two levels missing", [](Disk&, const std::string&) {}, {File("x.txt", {'x'})},
       {"mkd: @\\ ::: P\\QMK", "@\\P\\QMK\\x.txt"}, {}},
      {"directory there: it names nothing", [](Disk& disk, const std::string& d) { disk.MakeDirs(d); },
       {File("a.txt", {'a'})}, {"mkd: @\\P\\QMK\\ :::", "@\\P\\QMK\\a.txt"}, {"a.txt", "uninstall.list"}},
      {"directory entry there: not logged, attributes set", [](Disk& disk, const std::string& d) { disk.MakeDirs(d + "docs"); },
       {Dir("docs", 0x12), File("docs\\x.txt", {'x'})}, {"mkd: @\\P\\QMK\\ :::", "@\\P\\QMK\\docs\\x.txt"}, {}},
      {"file there: replaced and logged",
       [](Disk& disk, const std::string& d) { disk.PutFile(d + "a.txt", std::string(10000, 'o')); },
       {File("a.txt", {'n', 'e', 'w'})}, {"mkd: @\\P\\QMK\\ :::", "@\\P\\QMK\\a.txt"}, {}},
      {"an earlier log naming nothing there",
       [](Disk& disk, const std::string& d) { disk.PutFile(d + "uninstall.list", "old line one\r\nold line two\r\n"); },
       {File("a.txt", {'a'})}, {"mkd: @\\P\\QMK\\ :::", "@\\P\\QMK\\a.txt"}, {}},
      {"missing parents, shortest first", [](Disk& disk, const std::string& d) { disk.MakeDirs(d); },
       {File("a\\b\\c.txt", {'c'})},
       {"mkd: @\\P\\QMK\\ :::", "mkd: @\\P\\QMK ::: a", "mkd: @\\P\\QMK ::: a\\b", "@\\P\\QMK\\a\\b\\c.txt"}, {}},
      {"attributes", [](Disk&, const std::string&) {},
       {File("ro.txt", {'r'}, 0x21), File("hidden.txt", {'h'}, 0x22), Dir("sub", 0x12), File("plain.txt", {'p'}, 0x820)},
       {"mkd: @\\ ::: P\\QMK", "@\\P\\QMK\\ro.txt", "@\\P\\QMK\\hidden.txt", "mkd: @\\P\\QMK ::: sub",
        "@\\P\\QMK\\plain.txt"},
       {}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string top = Base() + "c" + std::to_string(n++), d = top + "\\P\\QMK\\";
    disk_->MakeDirs(top + "\\elsewhere");
    ASSERT_TRUE(platform->setCurrentDirectory((top + "\\elsewhere").c_str()));
    c.before(*disk_, d);
    Extract(PackedArchive(c.entries), d);
    EXPECT_EQ(errorStatus, kStatusOk);
    EXPECT_EQ(Log(d), At(c.log, top));
    if (!c.below.empty()) EXPECT_EQ(disk_->Below(d), c.below);
    for (const FileEntry& e : c.entries) {
      const uint32_t attributes = disk_->Attributes(d + e.name);
      if (e.attributes & 0x10) {
        // Hidden rather than read-only: Wine keeps no read-only bit on directories.
        EXPECT_EQ(attributes & 0x12, e.attributes & 0x12) << e.name;
        continue;
      }
      EXPECT_EQ(attributes & 0x3F, e.attributes & 0x27) << e.name;
      EXPECT_EQ(disk_->Read(d + e.name), Str(e.data)) << e.name;
      ExpectLocalTime(disk_->LastWrite(d + e.name), {1999, 5, 3, 16, 48, 0}, e.name);
    }
    char now[1000];
    ASSERT_NE(platform->getCurrentDirectory(sizeof now, now), 0u);
    EXPECT_EQ(std::string(now), top + "\\elsewhere");
  }
}

// What each damaged, unsupported or blocked entry leaves: the entries before
// it whole, a broken file deleted, nothing after it written over, the user's
// files kept; the status that names the failure, and the path it failed on.
// A file in the way that cannot be replaced - read-only, or held open by a
// running program - is not a full disk, with or without bytes: it keeps its
// bytes and attributes and the log does not claim it.
TEST_P(Extraction, EachFailureStopsWithItsStatusAndLeavesTheEntriesBeforeIt) {
  const auto withCrc = [](FileEntry e, uint32_t crc) {
    e.fileCrc = crc;
    return e;
  };
  const auto stored = [](FileEntry e) {
    e.compType = 0;
    return e;
  };
  const auto packedThen = [](std::vector<FileEntry> v, const std::function<void(std::vector<FileEntry>&)>& edit) {
    Pack(v, true);
    edit(v);
    return BuildArchive({}, v);
  };
  FileEntry locked = File("locked.txt", {'x'});
  locked.flags |= 0x4000;
  Bytes cut = PackedArchive({File("a.txt", {'a'}), File("b.txt", {'b'})});
  cut.resize(cut.size() - 3);  // the last header's data cut short
  Bytes badHeader = PackedArchive({File("a.txt", {'a'})});
  badHeader.insert(badHeader.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});  // a header with a wrong CRC
  enum Blocked { kNone, kReadOnly, kInUse };
  const Bytes replacing = PackedArchive({File("old.txt", SampleText(100, 1)), File("later.txt", SampleText(100, 2))});
  const Bytes replacingEmpty = PackedArchive({File("old.txt", {}), File("later.txt", SampleText(100, 2))});
  const struct {
    const char* what;
    Bytes image;
    int32_t status;
    std::vector<std::string> below;   // what the directory holds after, beside the standing files
    std::vector<std::string> logged;  // after the root line
    const char* failed;               // the path named
    Blocked blocked = kNone;          // old.txt
  } cases[] = {
      {"a file's CRC", PackedArchive({File("good.txt", {'g'}), withCrc(File("bad.txt", SampleText(3000, 5)), 0x12345678),
                                      File("later.txt", {'l'})}),
       kStatusBadCrc, {"good.txt"}, {"good.txt", "bad.txt"}, "bad.txt"},
      {"a stored file's CRC", PackedArchive({withCrc(stored(File("stored.txt", SampleText(100, 6))), 1)}), kStatusBadCrc,
       {}, {"stored.txt"}, "stored.txt"},
      {"an entry shorter than its size",
       packedThen({stored(File("short.txt", SampleText(500, 7)))}, [](auto& v) { v[0].unpackedSize = 600; }),
       kStatusBadCrc, {}, {"short.txt"}, "short.txt"},
      {"a locked entry", PackedArchive({File("first.txt", {'1'}), locked, File("later.txt", {'n'}), File("new.txt", {'z'})}),
       kStatusUnsupported, {"first.txt"}, {"first.txt"}, "locked.txt"},
      {"an unknown compression type", packedThen({File("a.txt", SampleText(50, 1))}, [](auto& v) { v[0].compType = 2; }),
       kStatusUnsupported, {}, {"a.txt"}, "a.txt"},
      {"a chain cut short", cut, kStatusDamagedArchive, {"a.txt"}, {"a.txt"}, "b.txt"},
      {"a header with a wrong CRC", badHeader, kStatusDamagedArchive, {"a.txt"}, {"a.txt"}, ""},
      {"no archive", SampleText(3000, 9), kStatusDamagedArchive, {}, {}, ""},
      {"nothing at all", {}, kStatusDamagedArchive, {}, {}, ""},
      {"read-only", replacing, kStatusCannotReplace, {}, {}, "old.txt", kReadOnly},
      {"read-only, empty entry", replacingEmpty, kStatusCannotReplace, {}, {}, "old.txt", kReadOnly},
      {"in use", replacing, kStatusCannotReplace, {}, {}, "old.txt", kInUse},
      {"in use, empty entry", replacingEmpty, kStatusCannotReplace, {}, {}, "old.txt", kInUse},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string d = Base() + "c" + std::to_string(n++) + "\\";
    const uint32_t oldAttributes = c.blocked == kReadOnly ? 0x21 : 0x20;
    disk_->PutFile(d + "old.txt", "old", oldAttributes);
    disk_->PutFile(d + "later.txt", "old later");
    disk_->PutFile(d + "locked.txt", "old locked");
    if (c.blocked == kInUse) disk_->HoldOpen(d + "old.txt");
    if (c.blocked == kReadOnly) {
      const int32_t probe = platform->openForWrite((d + "old.txt").c_str());
      if (probe != kNoHandle) {
        platform->close(probe);
        printf("passed over: this file system lets read-only files be written (Wine run as root)\n");
        continue;
      }
    }
    Extract(c.image, d);
    EXPECT_EQ(errorStatus, c.status) << DescribeStatus(errorStatus);
    EXPECT_EQ(std::string(failedPath), c.failed[0] ? d + c.failed : "");
    std::vector<std::string> below = c.below, log = {"mkd: " + d + " :::"};
    below.insert(below.end(), {"later.txt", "locked.txt", "old.txt", "uninstall.list"});
    std::sort(below.begin(), below.end());
    EXPECT_EQ(disk_->Below(d), below);
    for (const char* name : {"good.txt", "first.txt", "a.txt"}) {
      if (std::count(below.begin(), below.end(), name)) EXPECT_EQ(disk_->Read(d + name).size(), 1u) << name;
    }
    EXPECT_EQ(disk_->Read(d + "old.txt"), "old");
    EXPECT_EQ(disk_->Attributes(d + "old.txt") & 0x21, oldAttributes);
    EXPECT_EQ(disk_->Read(d + "later.txt"), "old later");  // passed over: not deleted
    EXPECT_EQ(disk_->Read(d + "locked.txt"), "old locked");
    for (const std::string& l : c.logged) log.push_back(d + l);
    EXPECT_EQ(Log(d), log);
  }
  // Below a file nothing can be made: nothing is.
  disk_->PutFile(Base() + "blocker", "a file where a directory should be");
  ASSERT_TRUE(platform->setCurrentDirectory(Base().c_str()));
  Extract(PackedArchive({File("a.txt", {'a'}), File("sub\\b.txt", {'b'})}), Base() + "blocker\\QMK\\");
  EXPECT_EQ(errorStatus, kStatusNoInstallDir);
  EXPECT_EQ(std::string(failedPath), Base() + "blocker\\QMK\\");
  EXPECT_EQ(disk_->Below(Base() + "blocker\\"), std::vector<std::string>{});
}

// Every archive of the hostile table: the installer refuses it with its
// status and passes over everything after it; nothing outside the
// installation directory changes and nothing of the user's inside it is
// lost; the log names exactly what was written.
TEST_P(Extraction, HostileArchivesAreRefusedAndNothingOfTheUsersIsLost) {
  int n = 0;
  for (const HostileCase& c : HostileCases()) {
    SCOPED_TRACE(c.what);
    const std::string top = Base() + "c" + std::to_string(n++) + "\\", d = top + "QMK\\";
    disk_->PutFile(top + "outside.txt", "beside");
    disk_->PutFile(d + "old.txt", "the user's old file");
    disk_->PutFile(d + "Docs\\user.txt", "the user's");
    const uint32_t oldAttributes = disk_->Attributes(d + "old.txt");
    Extract(HostileArchive(c), d);
    EXPECT_EQ(errorStatus, c.status) << DescribeStatus(errorStatus);
    std::vector<std::string> expected = {"QMK\\", "QMK\\Docs\\", "QMK\\Docs\\user.txt", "QMK\\first.txt",
                                         "QMK\\old.txt", "QMK\\uninstall.list", "outside.txt"};
    for (const std::string& w : c.alsoWritten) expected.push_back("QMK\\" + w);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(disk_->Below(top), expected);
    EXPECT_EQ(disk_->Read(top + "outside.txt"), "beside");
    EXPECT_EQ(disk_->Read(d + "old.txt"), "the user's old file");
    EXPECT_EQ(disk_->Attributes(d + "old.txt"), oldAttributes);
    EXPECT_EQ(disk_->Read(d + "Docs\\user.txt"), "the user's");
    EXPECT_EQ(disk_->Read(d + "first.txt"), "first");
    // The root line, first.txt, what else was written, and a refused file
    // whose writing had begun (logged before it was opened).
    EXPECT_EQ(Log(d).size(), 2 + c.alsoWritten.size() + (c.status == kStatusBadCrc));
  }
}

// An archive qmkpack create made, times clamped to SOURCE_DATE_EPOCH,
// extracts with its bytes, times and directories.
TEST_P(Extraction, ArchiveFromCreateExtractsWithItsTimesAndAttributes) {
  namespace fs = std::filesystem;
  const fs::path src = fs::temp_directory_path() / ("qmk_unace_src_" + std::to_string(long(getpid())) + "_" +
                                                    std::to_string(int(GetParam())));
  fs::remove_all(src);
  fs::create_directories(src / "docs" / "deep");
  const std::string big = Str(SampleText(300000, 11)), bin = Str(RandomBytes(70000, 12));
  std::ofstream(src / "qmk.exe", std::ios::binary) << bin;
  std::ofstream(src / "docs" / "deep" / "guide.txt", std::ios::binary) << big;
  std::vector<qmk::PlannedEntry> planned;
  ASSERT_TRUE(qmk::PlanTree(src.string(), planned, stderr));
  qmk::CreateOptions options;
  options.quiet = true;
  options.level = 9;
  options.hasEpoch = true;
  options.epoch = 925750080;  // 3 May 1999 16:48 UTC; times are clamped to it
  const fs::path out = src.string() + ".ace";
  ASSERT_EQ(qmk::WriteArchive(out.string(), planned, options, stderr), 0);
  Bytes image;
  {
    std::ifstream in(out, std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(in), {});
  }
  fs::remove_all(src);
  fs::remove(out);

  const std::string d = Base() + "QMK\\";
  Extract(image, d);
  EXPECT_EQ(errorStatus, kStatusOk);
  EXPECT_EQ(disk_->Read(d + "qmk.exe"), bin);
  EXPECT_EQ(disk_->Read(d + "docs\\deep\\guide.txt"), big);
  EXPECT_EQ(Log(d), At({"mkd: @\\ ::: QMK", "mkd: @\\QMK ::: docs", "mkd: @\\QMK ::: docs\\deep",
                        "@\\QMK\\docs\\deep\\guide.txt", "@\\QMK\\qmk.exe"},
                       Base().substr(0, Base().size() - 1)));
  // The stored time, read back as local time, is what the file carries.
  const uint32_t t = qmk::DosTimeOf(925750080);
  ExpectLocalTime(disk_->LastWrite(d + "qmk.exe"),
                  {int(t >> 25) + 1980, int((t >> 21) & 15), int((t >> 16) & 31), int((t >> 11) & 31),
                   int((t >> 5) & 63), int(t & 31) * 2},
                  "qmk.exe");
  EXPECT_EQ(disk_->Attributes(d + "docs\\deep") & 0x10, 0x10u);
}

// ---- cases only the in-memory file system can set up ---------------------------

class MemoryExtraction : public InstallTest {
 protected:
  static void Extract(const Bytes& image, const std::string& dir) {
    TUnAce(image.data(), uint32_t(image.size())).ExtractAll(dir.c_str());
  }
  static std::vector<std::string> Log(const std::string& dir) {
    std::string bytes;
    return memfs::ReadFile(dir + "uninstall.list", &bytes) ? LogLines(bytes) : std::vector<std::string>{"<no log>"};
  }
};

// Runs the payload (or an image into a directory) on a system laid out
// afresh; the status, the log and what is there after.
TEST_F(MemoryExtraction, EachRunLeavesItsStatusLogAndFiles) {
  const Bytes product = PackedArchive({File("qmk.exe", RandomBytes(5000, 1)), File("readme.txt", SampleText(3000, 2)),
                                       Dir("docs"), File("docs\\guide.txt", SampleText(7000, 3))});
  const Bytes two = PackedArchive({File("x.txt", {'x'}), File("sub\\y.txt", {'y'})});
  const Bytes full = PackedArchive({File("small.txt", SampleText(1000, 1)), File("big.bin", RandomBytes(9000, 2)),
                                    File("after.txt", {'a'})});
  const struct {
    const char* what;
    std::function<void()> prepare;
    const Bytes* image;  // null: the payload, into InstallDir as set
    const char* dir;
    int32_t status;
    std::vector<std::string> log, there, missing;
    int openHandles;  // -1: not looked at
  } cases[] = {
      // A drive root doubles the backslash in file lines.
      {"a drive root", [] { memfs::AddDrive('D'); }, &two, "D:\\", kStatusOk,
       {"mkd: D:\\ :::", "D:\\\\x.txt", "mkd: D:\\ ::: sub", "D:\\\\sub\\y.txt"}, {"D:\\sub\\y.txt"}, {}, -1},
      // The partial file goes; the log stays open.
      {"the disk full", [] { memfs::SetCapacity(5000); }, &full, "C:\\Q\\", kStatusShortWrite,
       {"mkd: C:\\ ::: Q", "C:\\Q\\small.txt", "C:\\Q\\big.bin"}, {"C:\\Q\\small.txt"},
       {"C:\\Q\\big.bin", "C:\\Q\\after.txt"}, 1},
      // The payload from the installer's resource; the directory gets its final "\".
      {"the payload", [&] { memfs::SetPayload(product.data(), uint32_t(product.size())); }, nullptr,
       "C:\\Program files\\QMK", kStatusOk,
       {"mkd: C:\\ ::: Program files\\QMK", "C:\\Program files\\QMK\\qmk.exe", "C:\\Program files\\QMK\\readme.txt",
        "mkd: C:\\Program files\\QMK ::: docs", "C:\\Program files\\QMK\\docs\\guide.txt"},
       {"C:\\Program files\\QMK\\docs\\guide.txt"}, {}, 1},
      // Without a payload only the directory is made.
      {"no payload", [] {}, nullptr, "C:\\Q\\", kStatusDamagedArchive, {"mkd: C:\\ ::: Q"}, {"C:\\Q"}, {}, 1},
      // On a drive that is not there nothing is made, not even the log.
      {"a missing drive", [] {}, &two, "Q:\\x\\", kStatusNoInstallDir, {"<no log>"}, {}, {"Q:\\x"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    memfs::Install();
    NewRun();
    c.prepare();
    strcpy(InstallDir, c.dir);
    c.image ? Extract(*c.image, c.dir) : InstallPayload();
    EXPECT_EQ(errorStatus, c.status);
    const std::string dir = c.image ? c.dir : std::string(c.dir) + (std::string(c.dir).back() == '\\' ? "" : "\\");
    if (!c.image) EXPECT_EQ(std::string(InstallDir), dir);
    EXPECT_EQ(Log(dir), c.log);
    for (const std::string& p : c.there) EXPECT_TRUE(memfs::Exists(p)) << p;
    for (const std::string& p : c.missing) EXPECT_FALSE(memfs::Exists(p)) << p;
    if (c.openHandles >= 0) EXPECT_EQ(memfs::OpenHandles(), c.openHandles);
    ASSERT_NE(InstallLog, nullptr);
    EXPECT_EQ(InstallLog->created, c.log[0] != "<no log>");
    if (!InstallLog->created) EXPECT_EQ(memfs::Tree(), std::vector<std::string>{});
  }
}

TEST_F(MemoryExtraction, TimeIsReadAsLocalTime) {
  memfs::SetUtcOffsetMinutes(-300);  // five hours behind UTC
  Extract(PackedArchive({File("t.txt", {'t'})}), "C:\\Q\\");
  memfs::LocalTime t{};
  ASSERT_TRUE(memfs::LastWrite("C:\\Q\\t.txt", &t));
  EXPECT_EQ(t.hour, 16);
  memfs::SetUtcOffsetMinutes(0);
  ASSERT_TRUE(memfs::LastWrite("C:\\Q\\t.txt", &t));
  EXPECT_EQ(t.hour, 21);  // the same instant in UTC
}

// The part of the installation directory that existed, for the log's first
// line, is where the creation began.
TEST_F(MemoryExtraction, CreateDirectoryPathTellsWhereItBeganCreating) {
  auto kept = [](const std::string& dir) { return dir.substr(0, CreateDirectoryPath(dir.c_str())); };
  memfs::MakeDirs("C:\\Program files");
  EXPECT_EQ(kept("C:\\Program files\\QMK\\"), "C:\\Program files");
  EXPECT_EQ(memfs::Attributes("C:\\Program files\\QMK"), 0x10u);
  EXPECT_EQ(kept("C:\\Program files\\QMK\\"), "C:\\Program files\\QMK");  // all there now
  EXPECT_EQ(kept("C:\\a\\b\\"), "C:");
  EXPECT_EQ(memfs::Attributes("C:\\a\\b"), 0x10u);
  EXPECT_EQ(kept("C:\\"), "C:");
  EXPECT_EQ(kept("Q:\\x\\"), "Q:\\x");  // a missing drive: nothing made, nothing claimed
  memfs::PutFile("C:\\f", "a file");
  EXPECT_EQ(kept("C:\\f\\g\\"), "C:\\f\\g");  // nothing can be made below a file
}

// Each platform call of a run is made to fail in turn, on a system laid out
// afresh each time; every run keeps the rules of installcheck.h, and one
// without a status extracted everything. Each case looks at the runs whose
// failing call was of its kind (any, when none is named).
TEST_F(MemoryExtraction, EachFailingCallKeepsTheRules) {
  const std::vector<FileEntry> several = {File("a.txt", SampleText(5000, 1)), Dir("d"),
                                          File("d\\b.bin", RandomBytes(3000, 2)),
                                          File("e\\f\\c.txt", SampleText(2500, 3), 0x21)};
  FileEntry bad = File("bad.exe", RandomBytes(3000, 7));
  bad.fileCrc = 0x12345678;
  int seen = 0, closes = 0;
  const struct {
    const char* what;
    const char* call;
    std::vector<FileEntry> entries;
    const char* dir;
    std::function<void()> setUp;
    std::function<bool()> check;  // false: the run is not one the case looks at
    int runs;  // how many runs the case looks at (at least, when negative)
  } cases[] = {
      {"any call", nullptr, several, "C:\\P\\QMK\\",
       [] {
         memfs::PutFile("C:\\P\\QMK\\a.txt", "older");
         memfs::PutFile("C:\\outside.txt", "untouched");
       },
       [] { return true; }, -20},
      // A close can report data the system had not written yet as lost.
      {"a close reported as failed", "CloseMem", {File("a.txt", SampleText(3000, 1)), File("b.txt", {'b'})},
       "C:\\Q\\", [] {},
       [&] {
         if (closes++) return false;  // the first file's close
         EXPECT_EQ(errorStatus, kStatusShortWrite);
         EXPECT_FALSE(memfs::Exists("C:\\Q\\a.txt"));
         EXPECT_FALSE(memfs::Exists("C:\\Q\\b.txt"));
         EXPECT_EQ(memfs::OpenHandles(), 1);  // the log only: the failed close released its handle
         return true;
       },
       1},
      // A broken file goes also when its first deletion fails.
      {"a deletion", "DeleteFileMem", {bad}, "C:\\Q\\", [] {},
       [] {
         EXPECT_EQ(errorStatus, kStatusBadCrc);
         EXPECT_FALSE(memfs::Exists("C:\\Q\\bad.exe"));
         return true;
       },
       1},
      // Docs is the user's: had a failed look counted as "missing", the log
      // would claim it, and the uninstaller would remove it once empty. The
      // first look is for an earlier log: one that may be there is not
      // replaced, and nothing is made. Then the entry's path, then its parent.
      {"a look", "GetFileAttributesMem", {File("Docs\\a.txt", {'a'})}, "C:\\Q\\",
       [] { memfs::PutFile("C:\\Q\\Docs\\mine.txt", "the user's"); },
       [&] {
         const bool logLook = seen++ == 0;
         EXPECT_EQ(errorStatus, logLook ? kStatusNotLogged : kStatusCannotLook);
         EXPECT_EQ(Log("C:\\Q\\"), std::vector<std::string>{logLook ? "<no log>" : "mkd: C:\\Q\\ :::"});
         EXPECT_FALSE(memfs::Exists("C:\\Q\\Docs\\a.txt"));
         return true;
       },
       3},
      // C:\a exists but cannot be entered this once: it is neither created
      // nor claimed (at the level C:\a, and the drive before it).
      {"entering a level", "SetCurrentDirectoryMem", {File("x.txt", {'x'})}, "C:\\a\\b\\",
       [] { memfs::PutFile("C:\\a\\mine.txt", "the user's"); },
       [] {
         const std::vector<std::string> log = Log("C:\\a\\b\\");
         if (log[0].rfind("mkd: ", 0) != 0) return false;  // the entry's own directory change failed
         EXPECT_EQ(log[0], "mkd: C:\\a\\ ::: b");
         return true;
       },
       -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes image = PackedArchive(c.entries);
    const std::vector<EntryFacts> facts = ListEntries(image);
    int looked = 0;
    for (uint32_t n = 1; n < 200; n++) {
      memfs::Install();
      c.setUp();
      const SystemState before = CaptureSystem();
      NewRun();
      memfs::FailCall(n);
      Extract(image, c.dir);
      if (!*memfs::FailedCall()) break;  // past the run's last call
      if (c.call && std::string(memfs::FailedCall()) != c.call) continue;
      SCOPED_TRACE("failing call " + std::to_string(n) + " " + memfs::FailedCall());
      looked += c.check();
      RunFacts run;
      run.installDir = c.dir;
      run.failureReported = errorStatus != kStatusOk;
      run.logReported = !(InstallLog && InstallLog->created && InstallLog->Close() && InstallLog->complete);
      for (const std::string& fault : CheckInstallRun(before, CaptureSystem(), facts, run)) ADD_FAILURE() << fault;
      for (const EntryFacts& e : facts) {
        EXPECT_TRUE(errorStatus != kStatusOk || memfs::Exists(c.dir + e.name)) << "missing without a status: " << e.name;
      }
    }
    if (c.runs >= 0) EXPECT_EQ(looked, c.runs);
    if (c.runs < 0) EXPECT_GE(looked, -c.runs);
  }
}

}  // namespace
