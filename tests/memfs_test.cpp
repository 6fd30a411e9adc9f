// memfs_test.cpp - the in-memory file system keeps the Win32 rules the
// extraction tests rely on; a stand-in that drifted from them would let those
// tests pass for the wrong reasons.
#include <cstring>

#include "platform/memfs.h"
#include "tests/installenv.h"

using namespace qmktest;

namespace {

class MemFsTest : public InstallTest {
 protected:
  std::string Current() {
    char buf[1000];
    return platform->getCurrentDirectory(sizeof buf, buf) ? buf : "<failed>";
  }
  int32_t WriteNew(const char* path, const std::string& bytes) {
    const int32_t h = platform->openForWrite(path);
    if (h == kNoHandle) return -2;
    const int32_t n = platform->write(h, bytes.data(), uint32_t(bytes.size()));
    platform->close(h);
    return n;
  }
};

// ---- paths and the current directory ----------------------------------------------

TEST_F(MemFsTest, DriveRootIsReportedWithItsBackslashOtherDirectoriesWithout) {
  EXPECT_EQ(Current(), "C:\\");
  ASSERT_TRUE(platform->createDirectory("C:\\Dir"));
  ASSERT_TRUE(platform->setCurrentDirectory("C:\\Dir\\"));
  EXPECT_EQ(Current(), "C:\\Dir");
  ASSERT_TRUE(platform->setCurrentDirectory("C:"));  // the drive's current directory
  EXPECT_EQ(Current(), "C:\\Dir");
  ASSERT_TRUE(platform->setCurrentDirectory("\\"));
  EXPECT_EQ(Current(), "C:\\");
}

TEST_F(MemFsTest, RelativeNamesResolveAgainstTheCurrentDirectory) {
  memfs::MakeDirs("C:\\a\\b");
  ASSERT_TRUE(platform->setCurrentDirectory("C:\\a"));
  EXPECT_EQ(platform->getFileAttributes("b"), 0x10u);
  ASSERT_TRUE(platform->createDirectory("b\\c"));
  EXPECT_TRUE(memfs::Exists("C:\\a\\b\\c"));
  ASSERT_TRUE(platform->setCurrentDirectory("b\\..\\b\\.\\c"));
  EXPECT_EQ(Current(), "C:\\a\\b\\c");
}

TEST_F(MemFsTest, NamesIgnoreCaseButKeepTheirSpelling) {
  memfs::PutFile("C:\\Mixed\\File.TXT", "x");
  EXPECT_EQ(platform->getFileAttributes("c:\\MIXED\\file.txt"), 0x20u);
  EXPECT_FALSE(platform->createDirectory("C:\\MIXED"));
  EXPECT_EQ(memfs::Tree(), (std::vector<std::string>{"C:\\Mixed\\", "C:\\Mixed\\File.TXT"}));
  ASSERT_TRUE(platform->setCurrentDirectory("c:\\mixed"));
  EXPECT_EQ(Current(), "c:\\mixed");  // as it was set, like Windows
}

TEST_F(MemFsTest, MissingDrivesParentsAndOverlongPathsFail) {
  EXPECT_FALSE(platform->setCurrentDirectory("Q:\\"));
  EXPECT_FALSE(platform->createDirectory("C:\\no\\parent"));
  EXPECT_EQ(platform->openForWrite("C:\\no\\file.txt"), kNoHandle);
  EXPECT_FALSE(platform->createDirectory(("C:\\" + std::string(257, 'x')).c_str()));
  EXPECT_TRUE(platform->createDirectory(("C:\\" + std::string(256, 'x')).c_str()));
  EXPECT_EQ(platform->openForWrite("C:\\a.txt:stream"), kNoHandle);
  EXPECT_FALSE(platform->createDirectory("\\\\server\\share"));
}

// ---- attributes, deletion, removal ------------------------------------------------------

TEST_F(MemFsTest, ReadOnlyFileCanBeNeitherDeletedNorOpenedForWriting) {
  memfs::PutFile("C:\\ro.txt", "keep", 0x01);
  EXPECT_EQ(platform->openForWrite("C:\\ro.txt"), kNoHandle);
  EXPECT_EQ(platform->createFile("C:\\ro.txt"), kNoFile);
  EXPECT_FALSE(platform->deleteFile("C:\\ro.txt"));
  ASSERT_TRUE(platform->setFileAttributes("C:\\ro.txt", 0x20));
  EXPECT_TRUE(platform->deleteFile("C:\\ro.txt"));
}

TEST_F(MemFsTest, AttributesKeepOnlyWhatWindowsCanSet) {
  memfs::PutFile("C:\\f", "");
  memfs::MakeDirs("C:\\d");
  ASSERT_TRUE(platform->setFileAttributes("C:\\f", 0x831));
  EXPECT_EQ(platform->getFileAttributes("C:\\f"), 0x21u);
  ASSERT_TRUE(platform->setFileAttributes("C:\\f", 0));
  EXPECT_EQ(platform->getFileAttributes("C:\\f"), 0x80u);
  ASSERT_TRUE(platform->setFileAttributes("C:\\d", 0x802));
  EXPECT_EQ(platform->getFileAttributes("C:\\d"), 0x12u);
  EXPECT_EQ(platform->getFileAttributes("C:\\none"), kNoAttributes);
}

TEST_F(MemFsTest, DeleteAndRemoveFollowWindowsRules) {
  memfs::PutFile("C:\\d\\f.txt", "x");
  EXPECT_FALSE(platform->deleteFile("C:\\d"));       // a directory
  EXPECT_FALSE(platform->removeDirectory("C:\\d"));  // not empty
  EXPECT_FALSE(platform->removeDirectory("C:\\d\\f.txt"));
  const int32_t h = platform->openForWrite("C:\\d\\f.txt");
  EXPECT_FALSE(platform->deleteFile("C:\\d\\f.txt"));  // open
  platform->close(h);
  EXPECT_TRUE(platform->deleteFile("C:\\d\\f.txt"));
  ASSERT_TRUE(platform->setCurrentDirectory("C:\\d"));
  EXPECT_FALSE(platform->removeDirectory("C:\\d"));  // current
  ASSERT_TRUE(platform->setCurrentDirectory("C:\\"));
  EXPECT_TRUE(platform->removeDirectory("C:\\d"));
  EXPECT_FALSE(platform->removeDirectory("C:\\"));
}

// ---- writing ------------------------------------------------------------------------------

TEST_F(MemFsTest, OpenTruncatesAndWritesAppend) {
  memfs::PutFile("C:\\f", "0123456789");
  const int32_t h = platform->openForWrite("C:\\f");
  ASSERT_NE(h, kNoHandle);
  EXPECT_EQ(platform->write(h, "ab", 2), 2);
  EXPECT_EQ(platform->write(h, "cd", 2), 2);
  platform->close(h);
  std::string s;
  ASSERT_TRUE(memfs::ReadFile("C:\\f", &s));
  EXPECT_EQ(s, "abcd");
  EXPECT_EQ(platform->write(h, "x", 1), -1);  // closed
  EXPECT_EQ(platform->write(kNoHandle, "x", 1), -1);
}

TEST_F(MemFsTest, CapacityMakesWritesComeUpShort) {
  memfs::SetCapacity(10);
  memfs::PutFile("C:\\old", "1234");
  EXPECT_EQ(WriteNew("C:\\a", "abcdefgh"), 6);
  EXPECT_EQ(WriteNew("C:\\b", "x"), -1);  // nothing at all fits
  ASSERT_TRUE(platform->deleteFile("C:\\old"));
  EXPECT_EQ(WriteNew("C:\\b", "xyz"), 3);  // deletion gave the room back
  const intptr_t f = platform->createFile("C:\\log");
  uint32_t written = 99;
  EXPECT_FALSE(platform->writeFile(f, "12345", 5, &written));
  EXPECT_EQ(written, 1u);
  platform->closeFile(f);
}

TEST_F(MemFsTest, DosTimeIsLocalTimeUnderTheOffset) {
  memfs::SetUtcOffsetMinutes(120);
  const int32_t h = platform->openForWrite("C:\\t");
  ASSERT_TRUE(platform->setLastWriteTime(h, 0x26A38600));
  EXPECT_FALSE(platform->setLastWriteTime(h, 0x26A08600));  // month 0
  EXPECT_FALSE(platform->setLastWriteTime(kNoHandle, 0x26A38600));
  platform->close(h);
  memfs::LocalTime t{};
  ASSERT_TRUE(memfs::LastWrite("C:\\t", &t));
  EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second}),
            (std::vector<int>{1999, 5, 3, 16, 48, 0}));
  memfs::SetUtcOffsetMinutes(0);
  ASSERT_TRUE(memfs::LastWrite("C:\\t", &t));
  EXPECT_EQ(t.hour, 14);
}

// ---- failure injection -----------------------------------------------------------------------

TEST_F(MemFsTest, TheChosenCallFailsWithoutEffectAndOnlyThatOne) {
  memfs::FailCall(2);
  EXPECT_TRUE(platform->createDirectory("C:\\one"));
  EXPECT_FALSE(platform->createDirectory("C:\\two"));
  EXPECT_TRUE(platform->createDirectory("C:\\three"));
  EXPECT_FALSE(memfs::Exists("C:\\two"));
  memfs::FailCall(1);
  EXPECT_EQ(platform->getCurrentDirectory(1000, std::string(1000, 0).data()), 0u);
  EXPECT_EQ(Current(), "C:\\");
  const uint32_t before = memfs::CallCount();
  platform->getFileAttributes("C:\\one");
  EXPECT_EQ(memfs::CallCount(), before + 1);
}

TEST_F(MemFsTest, PayloadIsHandedOutAsSet) {
  const uint8_t*data = nullptr;
  uint32_t size = 7;
  EXPECT_FALSE(platform->findPayload(&data, &size));
  EXPECT_EQ(size, 0u);
  static const uint8_t bytes[3] = {1, 2, 3};
  memfs::SetPayload(bytes, 3);
  ASSERT_TRUE(platform->findPayload(&data, &size));
  EXPECT_EQ(data, bytes);
  EXPECT_EQ(size, 3u);
}

}  // namespace
