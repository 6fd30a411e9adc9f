// qmkpack_test.cpp - the list, test and extract commands over archives made
// by the test builders: what they print, their exit codes, and that extract
// writes exactly the entries, below its target, with their times.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/memfs.h"
#include "qmkpack/commands.h"
#include "tests/hostilecases.h"
#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"

using namespace qmktest;
namespace fs = std::filesystem;

namespace {

struct Outcome {
  int code;
  std::string out, err;
};

std::string ReadAll(FILE* f) {
  std::string s;
  rewind(f);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

enum class Cmd { kList, kTest, kExtract };

Outcome Do(Cmd cmd, const Bytes& image, const std::string& dir = "", bool quiet = false) {
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  CommandIo io{out, err, "t.ace", quiet};
  Outcome r;
  switch (cmd) {
    case Cmd::kList: r.code = ListArchive(image, io); break;
    case Cmd::kTest: r.code = TestArchive(image, io); break;
    case Cmd::kExtract: r.code = ExtractArchive(image, dir.c_str(), io); break;
  }
  r.out = ReadAll(out);
  r.err = ReadAll(err);
  return r;
}

std::vector<FileEntry> Sample() {
  std::vector<FileEntry> e(5);
  e[0].name = "Plugins";
  e[0].attributes = 0x810;
  e[1].name = "Plugins\\one.dll";
  e[1].data = RandomBytes(5000, 1);
  e[2].name = "readme.txt";
  e[2].data = SampleText(30000, 2);
  e[3].name = "stored.bin";
  e[3].data = RandomBytes(3000, 3);
  e[3].compType = 0;
  e[4].name = "deep\\er\\file.txt";
  e[4].data = SampleText(2000, 4);
  Pack(e, true);
  return e;
}

Bytes SampleArchive() {
  MainSpec m;
  m.comment = EncodeComment("Sample comment for the listing.");
  return BuildArchive(m, Sample());
}

Bytes FileBytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

class TempDir {
 public:
  TempDir() {
    static int counter = 0;
    path_ = fs::temp_directory_path() /
            ("qmkpack_test_" + std::to_string(long(getpid())) + "_" + std::to_string(long(time(nullptr))) + "_" + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_ / "target");
  }
  ~TempDir() {
    std::error_code ec;
    for (auto& p : fs::recursive_directory_iterator(path_, ec)) fs::permissions(p, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  fs::path Target() const { return path_ / "target"; }
  fs::path Root() const { return path_; }

 private:
  fs::path path_;
};

// Every regular file below `root`, as paths relative to it.
std::vector<std::string> Files(const fs::path& root) {
  std::vector<std::string> v;
  for (auto& p : fs::recursive_directory_iterator(root)) {
    v.push_back(fs::relative(p.path(), root).generic_string() + (p.is_directory() ? "/" : ""));
  }
  std::sort(v.begin(), v.end());
  return v;
}

}  // namespace

TEST(QmkpackList, ShowsEveryEntryAndTheComment) {
  const Outcome r = Do(Cmd::kList, SampleArchive());
  EXPECT_EQ(r.code, kExitOk) << r.err;
  EXPECT_NE(r.out.find("Comment: Sample comment for the listing."), std::string::npos);
  EXPECT_NE(r.out.find("(solid)"), std::string::npos);
  for (const FileEntry& e : Sample()) EXPECT_NE(r.out.find(e.name), std::string::npos) << e.name;
  EXPECT_NE(r.out.find("1999-05-03 16:48:00"), std::string::npos);
  EXPECT_NE(r.out.find("stored"), std::string::npos);
  EXPECT_NE(r.out.find("lz77/1M"), std::string::npos);
  char crc[16];
  snprintf(crc, sizeof crc, "%08X", ReferenceCrc(Sample()[2].data));
  EXPECT_NE(r.out.find(crc), std::string::npos);
  EXPECT_NE(r.out.find("5 entries"), std::string::npos);
}

TEST(QmkpackTest, IntactArchivePasses) {
  const Outcome r = Do(Cmd::kTest, SampleArchive());
  EXPECT_EQ(r.code, kExitOk) << r.err;
  EXPECT_NE(r.out.find("OK  readme.txt"), std::string::npos);
  EXPECT_NE(r.out.find("5 entries tested, 0 damaged, archive is intact"), std::string::npos);
  EXPECT_EQ(r.err, "");
}

TEST(QmkpackTest, DamageIsNamedAndFails) {
  struct Case {
    const char* what;
    std::function<Bytes()> make;
    const char* message;
  };
  const Case cases[] = {
      {"crc", [] {
         auto e = Sample();
         e[2].fileCrc = ReferenceCrc(e[2].data) ^ 0x10;
         return BuildArchive({}, e);
       }, "readme.txt: CRC mismatch"},
      {"truncated", [] {
         Bytes a = BuildArchive({}, Sample());
         a.resize(a.size() - 100);
         return a;
       }, "cut short"},
      {"header crc", [] {
         Bytes a = BuildArchive({}, Sample());
         a[31 + 10] ^= 1;  // inside the first file header
         return a;
       }, "bad CRC"},
      {"locked", [] {
         auto e = Sample();
         e[3].flags = 0x4001;
         return BuildArchive({}, e);
       }, "locked"},
      {"method", [] {
         auto e = Sample();
         e[3].compType = 5;
         return BuildArchive({}, e);
       }, "unsupported compression type 5"},
      {"dictionary", [] {
         auto e = Sample();
         e[2].compParam = 12;
         return BuildArchive({}, e);
       }, "needs a dictionary of 2^22 bytes"},
      {"flipped data", [] {
         auto e = Sample();
         e[2].packed[100] ^= 0x40;
         return BuildArchive({}, e);
       }, "readme.txt: "},
      {"size", [] {
         auto e = Sample();
         e[2].unpackedSize = uint32_t(e[2].data.size() + 5000);
         return BuildArchive({}, e);
       }, "readme.txt: "},
      {"name the installer refuses", [] {
         auto e = Sample();
         e[3].name = "README.TXT";  // intact data under a name that is readme.txt's on Windows
         return BuildArchive({}, e);
       }, "\"README.TXT\": the same name on Windows as the earlier entry \"readme.txt\""},
  };
  for (const Case& c : cases) {
    const Outcome r = Do(Cmd::kTest, c.make());
    EXPECT_EQ(r.code, kExitDamaged) << c.what;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
  }
}

TEST(QmkpackTest, NoArchiveIsAUsageError) {
  const Outcome r = Do(Cmd::kTest, RandomBytes(5000, 1));
  EXPECT_EQ(r.code, kExitUsage);
  EXPECT_NE(r.err.find("no archive found"), std::string::npos);
  EXPECT_EQ(Do(Cmd::kList, Bytes{}).code, kExitUsage);
}

TEST(QmkpackExtract, WritesEveryEntryWithItsTime) {
  TempDir t;
  const Outcome r = Do(Cmd::kExtract, SampleArchive(), t.Target().string());
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_EQ(Files(t.Target()), (std::vector<std::string>{"Plugins/", "Plugins/one.dll", "deep/", "deep/er/",
                                                         "deep/er/file.txt", "readme.txt", "stored.bin"}));
  for (const FileEntry& e : Sample()) {
    if (e.attributes & 0x10) continue;
    std::string rel = e.name;
    for (char& c : rel) {
      if (c == '\\') c = '/';
    }
    EXPECT_EQ(FileBytes(t.Target() / rel), e.data) << e.name;
  }
  // 0x26A38600 is 3 May 1999, 16:48:00, local time.
  struct stat st;
  ASSERT_EQ(stat((t.Target() / "readme.txt").string().c_str(), &st), 0);
  const time_t when = st.st_mtime;
  const struct tm* lt = localtime(&when);
  EXPECT_EQ(lt->tm_year + 1900, 1999);
  EXPECT_EQ(lt->tm_mon + 1, 5);
  EXPECT_EQ(lt->tm_mday, 3);
  EXPECT_EQ(lt->tm_hour, 16);
  EXPECT_EQ(lt->tm_min, 48);
  EXPECT_EQ(lt->tm_sec, 0);
}

TEST(QmkpackExtract, CreatesTheTargetAndReplacesExistingFiles) {
  TempDir t;
  const fs::path target = t.Root() / "new" / "dir";
  ASSERT_EQ(Do(Cmd::kExtract, SampleArchive(), target.string()).code, kExitOk);
  { std::ofstream(target / "readme.txt") << "old"; }
  ASSERT_EQ(Do(Cmd::kExtract, SampleArchive(), target.string()).code, kExitOk);
  EXPECT_EQ(FileBytes(target / "readme.txt"), Sample()[2].data);
}

// Every archive of the hostile table, extracted into the in-memory file
// system: a message naming the fault, exit code 1, the entries around it
// still extracted, nothing outside the target changed and nothing of the
// user's inside it lost.
TEST(QmkpackExtract, HostileArchivesAreRefusedAndNothingOfTheUsersIsLost) {
  for (const HostileCase& c : HostileCases()) {
    SCOPED_TRACE(c.what);
    memfs::Install();
    errorStatus = kStatusOk;
    memfs::PutFile("C:\\T\\outside.txt", "beside");
    memfs::PutFile("C:\\T\\QMK\\old.txt", "the user's old file");
    memfs::PutFile("C:\\T\\QMK\\Docs\\user.txt", "the user's");
    const Outcome r = Do(Cmd::kExtract, HostileArchive(c), "C:\\T\\QMK");
    platform = &kNativePlatform;
    EXPECT_EQ(r.code, kExitDamaged);
    EXPECT_NE(r.err.find(c.qmkpackSays), std::string::npos) << r.err;
    std::string s;
    EXPECT_TRUE(memfs::ReadFile("C:\\T\\outside.txt", &s) && s == "beside");
    EXPECT_TRUE(memfs::ReadFile("C:\\T\\QMK\\old.txt", &s) && s == "the user's old file");
    EXPECT_EQ(memfs::Attributes("C:\\T\\QMK\\old.txt"), 0x20u);
    EXPECT_TRUE(memfs::ReadFile("C:\\T\\QMK\\Docs\\user.txt", &s) && s == "the user's");
    EXPECT_TRUE(memfs::ReadFile("C:\\T\\QMK\\first.txt", &s) && s == "first");
    EXPECT_TRUE(memfs::ReadFile("C:\\T\\QMK\\after.txt", &s) && s == "after");
    for (const std::string& p : memfs::Tree()) {
      EXPECT_TRUE(p == "C:\\T\\" || p == "C:\\T\\outside.txt" || p.rfind("C:\\T\\QMK\\", 0) == 0) << p;
    }
    EXPECT_EQ(memfs::OpenHandles(), 0);
  }
  errorStatus = kStatusOk;
}

TEST(QmkpackExtract, DamagedEntryIsRemovedAndReported) {
  TempDir t;
  auto e = Sample();
  e[2].fileCrc = ReferenceCrc(e[2].data) ^ 1;
  const Outcome r = Do(Cmd::kExtract, BuildArchive({}, e), t.Target().string());
  EXPECT_EQ(r.code, kExitDamaged);
  EXPECT_NE(r.err.find("readme.txt: CRC mismatch"), std::string::npos);
  EXPECT_FALSE(fs::exists(t.Target() / "readme.txt"));
  EXPECT_TRUE(fs::exists(t.Target() / "stored.bin"));  // later entries still come out
}

TEST(QmkpackExtract, FileAndDirectoryCollisions) {
  TempDir t;
  fs::create_directories(t.Target() / "readme.txt");   // a directory where a file goes
  { std::ofstream(t.Target() / "deep") << "file"; }     // a file where a directory goes
  const Outcome r = Do(Cmd::kExtract, SampleArchive(), t.Target().string());
  EXPECT_EQ(r.code, kExitDamaged);
  EXPECT_NE(r.err.find("readme.txt: a directory of that name exists"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("deep: a file stands where a directory is needed"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::is_directory(t.Target() / "readme.txt"));
  EXPECT_EQ(FileBytes(t.Target() / "deep"), Bytes({'f', 'i', 'l', 'e'}));
  EXPECT_TRUE(fs::exists(t.Target() / "stored.bin"));
}

TEST(QmkpackExtract, ReadOnlyAttributeIsApplied) {
  TempDir t;
  auto e = Sample();
  e[3].attributes = 0x21;
  ASSERT_EQ(Do(Cmd::kExtract, BuildArchive({}, e), t.Target().string()).code, kExitOk);
  const auto perms = fs::status(t.Target() / "stored.bin").permissions();
  EXPECT_EQ(perms & fs::perms::owner_write, fs::perms::none);
  EXPECT_NE(fs::status(t.Target() / "readme.txt").permissions() & fs::perms::owner_write, fs::perms::none);
}
