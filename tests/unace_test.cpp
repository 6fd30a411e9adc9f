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
#include "decoder/lz.h"
#include "encoder/archivewriter.h"
#include "tests/hostilecases.h"
#include "tests/installenv.h"
#include "tests/support/archivebuilder.h"

using namespace qmktest;

namespace {

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes Archive(std::vector<FileEntry> entries) {
  Pack(entries, true);
  return BuildArchive({}, entries);
}

// The product's files as the installer's example has them.
std::vector<FileEntry> Product() {
  return {File("qmk.exe", RandomBytes(5000, 1)), File("readme.txt", SampleText(3000, 2)), Dir("docs"),
          File("docs\\guide.txt", SampleText(7000, 3))};
}

enum class DiskKind { kMemory, kReal };

class Extraction : public InstallTest, public ::testing::WithParamInterface<DiskKind> {
 protected:
  void SetUp() override {
    InstallTest::SetUp();
#ifdef _WIN32
    disk_ = GetParam() == DiskKind::kReal ? MakeRealDisk() : MakeMemDisk();
#else
    disk_ = MakeMemDisk();
#endif
  }
  void TearDown() override {
    delete InstallLog;
    InstallLog = nullptr;
    disk_.reset();
    InstallTest::TearDown();
  }
  void Extract(const Bytes& image, const std::string& dir) {
    image_ = image;
    errorStatus = kStatusOk;
    TUnAce unace(image_.data(), uint32_t(image_.size()));
    unace.ExtractAll(dir.c_str());
  }
  std::vector<std::string> Log(const std::string& dir) {
    // The log stays open after the extraction, as in the installer; it is
    // closed here so the real file system shows all of it.
    delete InstallLog;
    InstallLog = nullptr;
    std::string bytes;
    if (!disk_->ReadFile(dir + "uninstall.list", &bytes)) return {"<no log>"};
    return LogLines(bytes);
  }
  std::string Content(const std::string& path) {
    std::string s;
    return disk_->ReadFile(path, &s) ? s : "<missing>";
  }
  // `lines` with every "@" made the test's base directory, without its final "\".
  std::vector<std::string> AtBase(std::vector<std::string> lines) const {
    const std::string base = Base().substr(0, Base().size() - 1);
    for (std::string& l : lines) {
      for (size_t at; (at = l.find('@')) != std::string::npos;) l.replace(at, 1, base);
    }
    return lines;
  }
  std::string Base() const { return disk_->Base(); }

  std::unique_ptr<Disk> disk_;
  Bytes image_;
};

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Disks, Extraction, ::testing::Values(DiskKind::kMemory, DiskKind::kReal),
                         [](const auto& info) { return info.param == DiskKind::kReal ? "Real" : "Memory"; });
#else
INSTANTIATE_TEST_SUITE_P(Disks, Extraction, ::testing::Values(DiskKind::kMemory),
                         [](const auto&) { return "Memory"; });
#endif

// ---- the tree and its log -------------------------------------------------------

// Into @\P\QMK: every file with its bytes, its time (3 May 1999 16:48 as
// stored, in local time) and the attributes a file system keeps; the log
// names exactly what the run made, a directory before what is in it, and
// the current directory is put back.
TEST_P(Extraction, WritesTheTreeAndLogsWhatItMadeLineForLine) {
  const struct {
    const char* what;
    std::function<void(Disk&, const std::string& dir)> before;
    std::vector<FileEntry> entries;
    std::vector<std::string> log;
    std::vector<std::string> below;  // empty: not looked at
  } cases[] = {
      {"fresh", [](Disk& disk, const std::string& d) { disk.MakeDirs(d.substr(0, d.size() - 4)); }, Product(),
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
    const std::string top = Base() + "c" + std::to_string(n++);
    disk_->MakeDirs(top + "\\elsewhere");
    ASSERT_TRUE(platform->setCurrentDirectory((top + "\\elsewhere").c_str()));
    const std::string d = top + "\\P\\QMK\\";
    c.before(*disk_, d);
    Extract(Archive(c.entries), d);
    EXPECT_EQ(errorStatus, kStatusOk);
    std::vector<std::string> log = c.log;
    for (std::string& l : log) l.replace(l.find('@'), 1, "@\\c" + std::to_string(n - 1));
    EXPECT_EQ(Log(d), AtBase(log));
    if (!c.below.empty()) EXPECT_EQ(disk_->Below(d), c.below);
    for (const FileEntry& e : c.entries) {
      const uint32_t attributes = disk_->Attributes(d + e.name);
      if (e.attributes & 0x10) {
        // Hidden rather than read-only: Wine keeps no read-only bit on directories.
        EXPECT_EQ(attributes & 0x12, e.attributes & 0x12) << e.name;
        continue;
      }
      EXPECT_EQ(attributes & 0x3F, e.attributes & 0x27) << e.name;
      EXPECT_EQ(Content(d + e.name), Str(e.data)) << e.name;
      const memfs::LocalTime t = disk_->LastWrite(d + e.name);
      EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second}),
                (std::vector<int>{1999, 5, 3, 16, 48, 0}))
          << e.name;
    }
    char now[1000];
    ASSERT_NE(platform->getCurrentDirectory(sizeof now, now), 0u);
    EXPECT_EQ(std::string(now), top + "\\elsewhere");
  }
}

// ---- failures --------------------------------------------------------------------

// What each damaged or unsupported entry leaves: the entries before it
// whole, a broken file deleted, nothing after it written over, the user's
// files kept; and the status that names the failure.
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
  Bytes cut = Archive({File("a.txt", {'a'}), File("b.txt", {'b'})});
  cut.resize(cut.size() - 3);  // the last header's data cut short
  Bytes badHeader = Archive({File("a.txt", {'a'})});
  badHeader.insert(badHeader.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});  // a header with a wrong CRC
  const struct {
    const char* what;
    Bytes image;
    int32_t status;
    std::vector<std::string> below;  // what the directory holds after, beside old.txt and later.txt
  } cases[] = {
      {"a file's CRC", Archive({File("good.txt", {'g'}), withCrc(File("bad.txt", SampleText(3000, 5)), 0x12345678),
                                File("later.txt", {'l'})}),
       kStatusBadCrc, {"good.txt"}},
      {"a stored file's CRC", Archive({withCrc(stored(File("stored.txt", SampleText(100, 6))), 1)}), kStatusBadCrc, {}},
      {"an entry shorter than its size",
       packedThen({stored(File("short.txt", SampleText(500, 7)))}, [](auto& v) { v[0].unpackedSize = 600; }),
       kStatusBadCrc, {}},
      {"a locked entry", Archive({File("first.txt", {'1'}), locked, File("later.txt", {'n'}), File("new.txt", {'z'})}),
       kStatusUnsupported, {"first.txt"}},
      {"an unknown compression type", packedThen({File("a.txt", SampleText(50, 1))}, [](auto& v) { v[0].compType = 2; }),
       kStatusUnsupported, {}},
      {"a chain cut short", cut, kStatusDamagedArchive, {"a.txt"}},
      {"a header with a wrong CRC", badHeader, kStatusDamagedArchive, {"a.txt"}},
      {"no archive", SampleText(3000, 9), kStatusDamagedArchive, {}},
      {"nothing at all", {}, kStatusDamagedArchive, {}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string d = Base() + "c" + std::to_string(n++) + "\\";
    disk_->PutFile(d + "old.txt", "old");
    disk_->PutFile(d + "later.txt", "old later");
    disk_->PutFile(d + "locked.txt", "old locked");
    Extract(c.image, d);
    EXPECT_EQ(errorStatus, c.status) << DescribeStatus(errorStatus);
    std::vector<std::string> below = c.below;
    below.insert(below.end(), {"later.txt", "locked.txt", "old.txt", "uninstall.list"});
    std::sort(below.begin(), below.end());
    EXPECT_EQ(disk_->Below(d), below);
    for (const char* name : {"good.txt", "first.txt", "a.txt"}) {
      if (std::count(below.begin(), below.end(), name)) EXPECT_EQ(Content(d + name).size(), 1u) << name;
    }
    EXPECT_EQ(Content(d + "later.txt"), "old later");
    EXPECT_EQ(Content(d + "locked.txt"), "old locked");
    EXPECT_EQ(Log(d)[0], "mkd: " + d + " :::");
  }
  // Below a file nothing can be made: nothing is.
  disk_->PutFile(Base() + "blocker", "a file where a directory should be");
  ASSERT_TRUE(platform->setCurrentDirectory(Base().c_str()));
  Extract(Archive({File("a.txt", {'a'}), File("sub\\b.txt", {'b'})}), Base() + "blocker\\QMK\\");
  EXPECT_EQ(errorStatus, kStatusNoInstallDir);
  EXPECT_EQ(disk_->Below(Base() + "blocker\\"), std::vector<std::string>{});
}

// A file in the way that cannot be replaced - read-only, or held open by a
// running program - is not a full disk: status 18, whether or not the entry
// has bytes. The file keeps its bytes and attributes, the log does not
// claim it, the failure names it, and the extraction stops there.
TEST_P(Extraction, FileThatCannotBeReplacedFailsWithStatus18AndStops) {
  const struct {
    const char* what;
    bool readOnly;
    Bytes data;
  } cases[] = {
      {"read-only", true, SampleText(100, 1)},
      {"read-only, empty entry", true, {}},
      {"in use", false, SampleText(100, 1)},
      {"in use, empty entry", false, {}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string top = Base() + "Q" + std::to_string(n++);
    const std::string d = top + "\\";
    disk_->PutFile(d + "a.txt", "keep", c.readOnly ? 0x21 : 0x20);
    disk_->PutFile(d + "b.txt", "other");
    if (c.readOnly) {
      const int32_t probe = platform->openForWrite((d + "a.txt").c_str());
      if (probe != kNoHandle) {
        platform->close(probe);
        GTEST_SKIP() << "this file system lets read-only files be written (Wine run as root)";
      }
    } else {
      disk_->HoldOpen(d + "a.txt");
    }
    Extract(Archive({File("a.txt", c.data), File("b.txt", SampleText(100, 2))}), d);
    EXPECT_EQ(errorStatus, kStatusCannotReplace);
    EXPECT_EQ(std::string(failedPath), d + "a.txt");
    EXPECT_EQ(Content(d + "a.txt"), "keep");
    EXPECT_EQ(disk_->Attributes(d + "a.txt") & 0x21, c.readOnly ? 0x21u : 0x20u);
    EXPECT_EQ(Content(d + "b.txt"), "other");  // passed over: not deleted
    EXPECT_EQ(Log(d), (std::vector<std::string>{"mkd: " + top + "\\ :::"}));
  }
}

// Every archive of the hostile table: the installer refuses it with its
// status and passes over everything after it; nothing outside the
// installation directory changes and nothing of the user's inside it is
// lost; the log names exactly what was written.
TEST_P(Extraction, HostileArchivesAreRefusedAndNothingOfTheUsersIsLost) {
  int n = 0;
  for (const HostileCase& c : HostileCases()) {
    SCOPED_TRACE(c.what);
    const std::string top = Base() + "c" + std::to_string(n++) + "\\";
    const std::string d = top + "QMK\\";
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
    EXPECT_EQ(Content(top + "outside.txt"), "beside");
    EXPECT_EQ(Content(d + "old.txt"), "the user's old file");
    EXPECT_EQ(disk_->Attributes(d + "old.txt"), oldAttributes);
    EXPECT_EQ(Content(d + "Docs\\user.txt"), "the user's");
    EXPECT_EQ(Content(d + "first.txt"), "first");
    // The root line, first.txt, what else was written, and a refused file
    // whose writing had begun (logged before it was opened).
    const size_t begun = c.status == kStatusBadCrc ? 1 : 0;
    EXPECT_EQ(Log(d).size(), 2 + c.alsoWritten.size() + begun);
  }
}

// An archive qmkpack create made, times clamped to SOURCE_DATE_EPOCH,
// extracts with its bytes, times and directories.
TEST_P(Extraction, ArchiveFromCreateExtractsWithItsTimesAndAttributes) {
  namespace fs = std::filesystem;
  const fs::path src = fs::temp_directory_path() / ("qmk_unace_src_" + std::to_string(long(getpid())) + "_" +
                                                    std::to_string(long(GetParam())));
  fs::remove_all(src);
  fs::create_directories(src / "docs" / "deep");
  const std::string big = Str(SampleText(300000, 11));
  const std::string bin = Str(RandomBytes(70000, 12));
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
  std::ifstream in(out, std::ios::binary);
  const Bytes image((std::istreambuf_iterator<char>(in)), {});
  in.close();
  fs::remove_all(src);
  fs::remove(out);

  const std::string d = Base() + "QMK\\";
  Extract(image, d);
  EXPECT_EQ(errorStatus, kStatusOk);
  EXPECT_EQ(Content(d + "qmk.exe"), bin);
  EXPECT_EQ(Content(d + "docs\\deep\\guide.txt"), big);
  EXPECT_EQ(Log(d), AtBase({"mkd: @\\ ::: QMK", "mkd: @\\QMK ::: docs", "mkd: @\\QMK ::: docs\\deep",
                            "@\\QMK\\docs\\deep\\guide.txt", "@\\QMK\\qmk.exe"}));
  // The stored time, read back as local time, is what the file carries.
  const uint32_t stored = qmk::DosTimeOf(925750080);
  const memfs::LocalTime t = disk_->LastWrite(d + "qmk.exe");
  EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.minute}),
            (std::vector<int>{int(stored >> 25) + 1980, int((stored >> 21) & 15), int((stored >> 16) & 31),
                              int((stored >> 11) & 31), int((stored >> 5) & 63)}));
  EXPECT_EQ(disk_->Attributes(d + "docs\\deep") & 0x10, 0x10u);
}

// ---- cases only the in-memory file system can set up ---------------------------

class MemoryExtraction : public InstallTest {
 protected:
  void Extract(const Bytes& image, const std::string& dir) {
    image_ = image;
    TUnAce unace(image_.data(), uint32_t(image_.size()));
    unace.ExtractAll(dir.c_str());
  }
  std::vector<std::string> Log(const std::string& dir) {
    std::string bytes;
    if (!memfs::ReadFile(dir + "uninstall.list", &bytes)) return {"<no log>"};
    return LogLines(bytes);
  }
  Bytes image_;
};

TEST_F(MemoryExtraction, DriveRootDoublesTheBackslashInFileLines) {
  memfs::AddDrive('D');
  Extract(Archive({File("x.txt", {'x'}), File("sub\\y.txt", {'y'})}), "D:\\");
  EXPECT_EQ(errorStatus, kStatusOk);
  EXPECT_EQ(Log("D:\\"), (std::vector<std::string>{"mkd: D:\\ :::", "D:\\\\x.txt", "mkd: D:\\ ::: sub",
                                                    "D:\\\\sub\\y.txt"}));
  EXPECT_TRUE(memfs::Exists("D:\\sub\\y.txt"));
}

TEST_F(MemoryExtraction, TimeIsReadAsLocalTime) {
  memfs::SetUtcOffsetMinutes(-300);  // five hours behind UTC
  Extract(Archive({File("t.txt", {'t'})}), "C:\\Q\\");
  memfs::LocalTime t{};
  ASSERT_TRUE(memfs::LastWrite("C:\\Q\\t.txt", &t));
  EXPECT_EQ(t.hour, 16);
  memfs::SetUtcOffsetMinutes(0);
  ASSERT_TRUE(memfs::LastWrite("C:\\Q\\t.txt", &t));
  EXPECT_EQ(t.hour, 21);  // the same instant in UTC
}

TEST_F(MemoryExtraction, DiskFullRemovesThePartialFileWithStatus7) {
  memfs::SetCapacity(5000);
  Extract(Archive({File("small.txt", SampleText(1000, 1)), File("big.bin", RandomBytes(9000, 2)),
                   File("after.txt", {'a'})}),
          "C:\\Q\\");
  EXPECT_EQ(errorStatus, kStatusShortWrite);
  EXPECT_TRUE(memfs::Exists("C:\\Q\\small.txt"));
  EXPECT_FALSE(memfs::Exists("C:\\Q\\big.bin"));
  EXPECT_FALSE(memfs::Exists("C:\\Q\\after.txt"));
  EXPECT_EQ(memfs::OpenHandles(), 1);  // only the log, which stays open
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

// The payload comes from the installer's resource; the directory gets its
// final "\". Without a payload, or on a drive that is not there, the
// status says so and only what could be made is.
TEST_F(MemoryExtraction, InstallPayloadFindsTheResourceAndAddsTheFinalBackslash) {
  const Bytes image = Archive(Product());
  memfs::SetPayload(image.data(), uint32_t(image.size()));
  memfs::MakeDirs("C:\\Program files");
  strcpy(InstallDir, "C:\\Program files\\QMK");
  InstallPayload();
  EXPECT_EQ(errorStatus, kStatusOk);
  EXPECT_STREQ(InstallDir, "C:\\Program files\\QMK\\");
  EXPECT_EQ(Log(InstallDir).size(), 5u);
  EXPECT_TRUE(memfs::Exists("C:\\Program files\\QMK\\docs\\guide.txt"));

  memfs::Install();
  delete InstallLog;
  InstallLog = nullptr;
  strcpy(InstallDir, "C:\\Q\\");
  InstallPayload();
  EXPECT_EQ(errorStatus, kStatusDamagedArchive);
  EXPECT_EQ(Log("C:\\Q\\"), std::vector<std::string>{"mkd: C:\\ ::: Q"});

  memfs::Install();
  delete InstallLog;
  InstallLog = nullptr;
  errorStatus = kStatusOk;
  Extract(Archive({File("a.txt", {'a'})}), "Q:\\x\\");
  EXPECT_EQ(errorStatus, kStatusNoInstallDir);
  EXPECT_EQ(memfs::Tree(), std::vector<std::string>{});
  ASSERT_NE(InstallLog, nullptr);
  EXPECT_FALSE(InstallLog->created);
}

// Runs `image` into `dir` once for each call such a run makes, that call
// failing, on a file system `setUp` lays out afresh each time; `check` looks
// at every run whose failing call was of the kind `call` (null: any; with
// `firstOnly`, at the first such run alone). Returns how many runs it
// looked at.
int ForEachFailingCallOf(const char* call, const Bytes& image, const std::string& dir,
                         const std::function<void()>& setUp, const std::function<void()>& check,
                         bool firstOnly = false) {
  int looked = 0;
  for (uint32_t n = 1; n < 200; n++) {
    memfs::Install();
    setUp();
    delete InstallLog;
    InstallLog = nullptr;
    errorStatus = kStatusOk;
    memfs::FailCall(n);
    {
      TUnAce unace(image.data(), uint32_t(image.size()));
      unace.ExtractAll(dir.c_str());
    }
    if (!*memfs::FailedCall()) break;  // past the run's last call
    if (call && std::string(memfs::FailedCall()) != call) continue;
    SCOPED_TRACE("failing call " + std::to_string(n));
    check();
    looked++;
    if (firstOnly) break;
  }
  return looked;
}

TEST_F(MemoryExtraction, CloseReportedAsFailedIsStatus7AndTheFileGoes) {
  // A close can report data the system had not written yet as lost.
  const Bytes image = Archive({File("a.txt", SampleText(3000, 1)), File("b.txt", {'b'})});
  const auto check = [] {
    EXPECT_EQ(errorStatus, kStatusShortWrite);
    EXPECT_FALSE(memfs::Exists("C:\\Q\\a.txt"));
    EXPECT_FALSE(memfs::Exists("C:\\Q\\b.txt"));
    EXPECT_EQ(memfs::OpenHandles(), 1);  // the log only: the failed close released its handle
  };
  EXPECT_EQ(ForEachFailingCallOf("CloseMem", image, "C:\\Q\\", [] {}, check, true), 1);
}

TEST_F(MemoryExtraction, BrokenFileGoesAlsoWhenItsFirstDeletionFails) {
  FileEntry bad = File("bad.exe", RandomBytes(3000, 7));
  bad.fileCrc = 0x12345678;
  const auto check = [] {
    EXPECT_EQ(errorStatus, kStatusBadCrc);
    EXPECT_FALSE(memfs::Exists("C:\\Q\\bad.exe"));
  };
  EXPECT_EQ(ForEachFailingCallOf("DeleteFileMem", Archive({bad}), "C:\\Q\\", [] {}, check), 1);
}

TEST_F(MemoryExtraction, PathTheSystemCannotLookAtIsNeitherMadeNorClaimed) {
  // Docs is the user's. Had a failed look counted as "missing", the log
  // would claim Docs as made by this run, and the uninstaller would remove
  // it once empty.
  const Bytes image = Archive({File("Docs\\a.txt", {'a'})});
  const auto setUp = [] { memfs::PutFile("C:\\Q\\Docs\\mine.txt", "the user's"); };
  int firstLook = 0;
  const auto check = [&] {
    // The first look is for an earlier install log: one that may be there
    // is not replaced, and nothing is made.
    const bool logLook = firstLook++ == 0;
    EXPECT_EQ(errorStatus, logLook ? kStatusNotLogged : kStatusCannotLook);
    EXPECT_EQ(Log("C:\\Q\\"), logLook ? std::vector<std::string>{"<no log>"}
                                    : std::vector<std::string>{"mkd: C:\\Q\\ :::"});
    EXPECT_FALSE(memfs::Exists("C:\\Q\\Docs\\a.txt"));
  };
  const int checked = ForEachFailingCallOf("GetFileAttributesMem", image, "C:\\Q\\", setUp, check);
  EXPECT_EQ(checked, 3);  // the earlier log, the entry's own path, then its parent
}

TEST_F(MemoryExtraction, RootLineNamesOnlyWhatThisRunCreatedWhenALevelCannotBeEntered) {
  // C:\a exists but cannot be entered this once: it is neither created nor
  // claimed, so the uninstaller will never remove it.
  const Bytes image = Archive({File("x.txt", {'x'})});
  int checked = 0;
  const auto setUp = [] { memfs::PutFile("C:\\a\\mine.txt", "the user's"); };
  const auto check = [&] {
    const std::vector<std::string> log = Log("C:\\a\\b\\");
    if (log.empty() || log[0].rfind("mkd: ", 0) != 0) return;  // the entry's own directory change failed
    EXPECT_EQ(log[0], "mkd: C:\\a\\ ::: b");
    checked++;
  };
  ForEachFailingCallOf("SetCurrentDirectoryMem", image, "C:\\a\\b\\", setUp, check);
  EXPECT_GE(checked, 2);  // the level C:\a, and the drive before it
}

// Each platform call of a run is made to fail in turn. Whatever fails,
// nothing lands outside the installation directory, every file left there
// holds exactly its entry's bytes, and a run without a status extracted
// everything.
TEST_F(MemoryExtraction, AnySingleFailingCallLeavesOnlyIntactFilesInside) {
  std::vector<FileEntry> entries = {File("a.txt", SampleText(5000, 1)), Dir("d"),
                                    File("d\\b.bin", RandomBytes(3000, 2)), File("e\\f\\c.txt", SampleText(2500, 3), 0x21)};
  const Bytes image = Archive(entries);
  const auto setUp = [] {
    memfs::MakeDirs("C:\\P\\QMK");
    memfs::PutFile("C:\\P\\QMK\\a.txt", "older");
    memfs::PutFile("C:\\outside.txt", "untouched");
  };
  const auto check = [&] {
    std::string s;
    EXPECT_TRUE(memfs::ReadFile("C:\\outside.txt", &s));
    EXPECT_EQ(s, "untouched");
    for (const std::string& p : memfs::Tree()) {
      if (p == "C:\\outside.txt" || p == "C:\\P\\" || p.rfind("C:\\P\\QMK\\", 0) == 0) continue;
      ADD_FAILURE() << "outside the installation directory: " << p;
    }
    for (const FileEntry& e : entries) {
      if (e.attributes & 0x10) continue;
      const std::string path = "C:\\P\\QMK\\" + e.name;
      if (memfs::ReadFile(path, &s)) {
        if (e.name == "a.txt" && s == "older") continue;  // never reached
        EXPECT_EQ(s, Str(e.data)) << path;
      } else if (errorStatus == kStatusOk) {
        ADD_FAILURE() << "missing without a status: " << path;
      }
    }
  };
  const int runs = ForEachFailingCallOf(nullptr, image, "C:\\P\\QMK\\", setUp, check);
  EXPECT_GT(runs, 20);
}

}  // namespace
