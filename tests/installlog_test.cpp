// installlog_test.cpp - uninstall.list byte for byte: the install-root line,
// directory lines, drive roots, a missing log, how the log knows it was
// lost, and that nothing is made once it has failed.
#include <cstring>

#include "platform/memfs.h"
#include "tests/installenv.h"

using namespace qmktest;

namespace {

class InstallLogTest : public InstallTest {
 protected:
  std::string LogBytes(const char* name = "C:\\log.txt") {
    std::string s;
    return memfs::ReadFile(name, &s) ? s : "<no log>";
  }
};

// ---- the install-root line ---------------------------------------------------------

TEST_F(InstallLogTest, RootLineForms) {
  InstallLog = new TInstallLog("C:\\log.txt");
  LogInstallRoot("C:\\Program files", "C:\\Program files\\QMK\\");
  LogInstallRoot("C:", "C:\\a\\b\\");
  LogInstallRoot("C:\\Program files\\QMK", "C:\\Program files\\QMK\\");
  LogInstallRoot("C:", "C:\\");
  LogInstallRoot("c:\\PROGRAM FILES\\qmk\\", "C:\\Program files\\QMK\\");  // equal ignoring case: no line
  EXPECT_EQ(LogBytes(),
            "mkd: C:\\Program files\\ ::: QMK\r\n"
            "mkd: C:\\ ::: a\\b\r\n"
            "mkd: C:\\Program files\\QMK\\ :::\r\n"
            "mkd: C:\\ :::\r\n");
}

// ---- directory lines ---------------------------------------------------------------

TEST_F(InstallLogTest, DirectoryLineUsesTheCurrentDirectoryAsReported) {
  InstallLog = new TInstallLog("C:\\log.txt");
  memfs::MakeDirs("C:\\Start\\Programs");
  ASSERT_TRUE(platform->setCurrentDirectory("C:\\Start\\Programs"));
  MakeLoggedDirectory("Quellmark");
  MakeLoggedDirectory("Quellmark");  // exists now: logged all the same
  ASSERT_TRUE(platform->setCurrentDirectory("C:\\"));
  MakeLoggedDirectory("sub");
  MakeLoggedDirectory("sub\\deeper");
  EXPECT_EQ(LogBytes(),
            "mkd: C:\\Start\\Programs ::: Quellmark\r\n"
            "mkd: C:\\Start\\Programs ::: Quellmark\r\n"
            "mkd: C:\\ ::: sub\r\n"
            "mkd: C:\\ ::: sub\\deeper\r\n");
  EXPECT_EQ(memfs::Attributes("C:\\Start\\Programs\\Quellmark"), 0x10u);
  EXPECT_EQ(memfs::Attributes("C:\\sub\\deeper"), 0x10u);
  EXPECT_TRUE(InstallLog->complete);
}

TEST_F(InstallLogTest, WithoutALogDirectoriesAreStillMade) {
  ASSERT_EQ(InstallLog, nullptr);
  MakeLoggedDirectory("made");
  LogInstallRoot("C:", "C:\\x\\");
  EXPECT_EQ(memfs::Attributes("C:\\made"), 0x10u);
  EXPECT_EQ(memfs::Tree(), std::vector<std::string>{"C:\\made\\"});
}

// ---- the file itself -----------------------------------------------------------------

TEST_F(InstallLogTest, LinesAreWrittenThroughAtOnce) {
  TInstallLog log("C:\\log.txt");
  log.WriteLine("one");
  EXPECT_EQ(LogBytes(), "one\r\n");  // before the log is closed
  log.WriteLine("");
  EXPECT_EQ(LogBytes(), "one\r\n\r\n");
}

TEST_F(InstallLogTest, CreatingTruncatesAnEarlierFile) {
  memfs::PutFile("C:\\log.txt", "a much longer earlier log\r\n");
  TInstallLog log("C:\\log.txt");
  log.WriteLine("new");
  EXPECT_EQ(LogBytes(), "new\r\n");
}

TEST_F(InstallLogTest, ClosingReleasesTheFile) {
  auto* log = new TInstallLog("C:\\log.txt");
  EXPECT_FALSE(platform->deleteFile("C:\\log.txt"));  // open without delete sharing
  delete log;
  EXPECT_TRUE(platform->deleteFile("C:\\log.txt"));
}

TEST_F(InstallLogTest, LogThatCannotBeCreatedIsKnownAsLost) {
  memfs::PutFile("C:\\log.txt", "read-only", 0x01);
  TInstallLog log("C:\\log.txt");
  EXPECT_FALSE(log.created);
  EXPECT_FALSE(log.complete);
  log.WriteLine("dropped");
  EXPECT_EQ(LogBytes(), "read-only");
}

TEST_F(InstallLogTest, TooLongFileNameCreatesNothing) {
  const std::string name = "C:\\" + std::string(1200, 'x');
  TInstallLog log(name.c_str());
  EXPECT_FALSE(log.created);
  EXPECT_EQ(memfs::Tree(), std::vector<std::string>{});
}

TEST_F(InstallLogTest, ShortWriteMarksTheLogIncomplete) {
  TInstallLog log("C:\\log.txt");
  memfs::SetCapacity(10);
  log.WriteLine("abc");
  EXPECT_TRUE(log.complete);
  log.WriteLine("defg");  // "defg" fits, CR LF does not
  EXPECT_FALSE(log.complete);
  EXPECT_EQ(LogBytes(), "abc\r\ndefg\r");
}

TEST_F(InstallLogTest, AfterAFailedWriteTheLogTakesNothingMoreAndNothingMoreIsMade) {
  InstallLog = new TInstallLog("C:\\log.txt");
  EXPECT_TRUE(MakeLoggedDirectory("first"));
  memfs::FailCall(2);  // the write of its text, after the current directory
  EXPECT_FALSE(MakeLoggedDirectory("lost"));
  EXPECT_FALSE(InstallLog->complete);
  EXPECT_FALSE(MakeLoggedDirectory("later"));
  EXPECT_FALSE(LogItem("C:\\later.txt"));
  EXPECT_EQ(LogBytes(), "mkd: C:\\ ::: first\r\n");
  EXPECT_EQ(memfs::Tree(), (std::vector<std::string>{"C:\\first\\", "C:\\log.txt"}));
}

TEST_F(InstallLogTest, DirectoryIsNotMadeWhenTheCurrentDirectoryCannotBeRead) {
  InstallLog = new TInstallLog("C:\\log.txt");
  memfs::FailCall(1);
  EXPECT_FALSE(MakeLoggedDirectory("nameless"));
  EXPECT_FALSE(InstallLog->complete);
  EXPECT_EQ(LogBytes(), "");
  EXPECT_FALSE(memfs::Exists("C:\\nameless"));
  EXPECT_TRUE(MakeLoggedDirectory("next"));  // the log itself is intact
}

TEST_F(InstallLogTest, LineCutShortByAFullDiskStopsTheLog) {
  InstallLog = new TInstallLog("C:\\log.txt");
  memfs::SetCapacity(20);
  EXPECT_TRUE(MakeLoggedDirectory("a"));  // 16 bytes with CR LF
  EXPECT_FALSE(MakeLoggedDirectory("b"));
  memfs::SetCapacity(1000);               // room again: the log stays closed
  EXPECT_FALSE(MakeLoggedDirectory("c"));
  EXPECT_EQ(LogBytes(), "mkd: C:\\ ::: a\r\nmkd:");
  EXPECT_EQ(memfs::Tree(), (std::vector<std::string>{"C:\\a\\", "C:\\log.txt"}));
}

TEST_F(InstallLogTest, WithoutALogFileItemsAreStillMadeAndTheLogCountsAsIncomplete) {
  memfs::PutFile("C:\\log.txt", "read-only", 0x01);
  InstallLog = new TInstallLog("C:\\log.txt");
  EXPECT_TRUE(MakeLoggedDirectory("made"));
  EXPECT_TRUE(LogItem("C:\\made\\x"));
  EXPECT_FALSE(InstallLog->complete);
  EXPECT_EQ(memfs::Attributes("C:\\made"), 0x10u);
}

}  // namespace
