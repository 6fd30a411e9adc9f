// installlog_test.cpp - uninstall.list byte for byte, and what is made without a log.
#include "tests/installenv.h"

using namespace qmktest;

namespace {

class InstallLogTest : public InstallTest {
 protected:
  static std::string LogBytes() { return Read("C:\\log.txt"); }
};

// Written through at once; a directory whose line cannot be made is not made either.
TEST_F(InstallLogTest, LinesAreWrittenThroughAsTheyCome) {
  memfs::PutFile("C:\\log.txt", "a much longer earlier log\r\n");
  InstallLog = new TInstallLog("C:\\log.txt");
  LogInstallRoot("C:\\Program files", "C:\\Program files\\QMK\\");
  EXPECT_EQ(LogBytes(), "mkd: C:\\Program files\\ ::: QMK\r\n");  // the earlier file truncated
  LogInstallRoot("C:", "C:\\a\\b\\");
  LogInstallRoot("C:\\Program files\\QMK", "C:\\Program files\\QMK\\");
  LogInstallRoot("C:", "C:\\");
  LogInstallRoot("c:\\PROGRAM FILES\\qmk\\", "C:\\Program files\\QMK\\");  // equal ignoring case: no line
  memfs::MakeDirs("C:\\Start\\Programs");
  ASSERT_TRUE(platform->setCurrentDirectory("C:\\Start\\Programs"));
  MakeLoggedDirectory("Quellmark");
  MakeLoggedDirectory("Quellmark");
  ASSERT_TRUE(platform->setCurrentDirectory("C:\\"));
  memfs::FailCall(1);
  EXPECT_FALSE(MakeLoggedDirectory("nameless"));
  EXPECT_FALSE(memfs::Exists("C:\\nameless"));
  MakeLoggedDirectory("sub");
  MakeLoggedDirectory("sub\\deeper");
  EXPECT_EQ(LogBytes(), "mkd: C:\\Program files\\ ::: QMK\r\nmkd: C:\\ ::: a\\b\r\nmkd: C:\\Program files\\QMK\\ :::\r\n"
                        "mkd: C:\\ :::\r\nmkd: C:\\Start\\Programs ::: Quellmark\r\nmkd: C:\\Start\\Programs ::: Quellmark\r\n"
                        "mkd: C:\\ ::: sub\r\nmkd: C:\\ ::: sub\\deeper\r\n");
  EXPECT_EQ(memfs::Attributes("C:\\Start\\Programs\\Quellmark"), 0x10u);
  EXPECT_EQ(memfs::Attributes("C:\\sub\\deeper"), 0x10u);
  EXPECT_FALSE(InstallLog->complete);  // the nameless directory's line is missing
}

// A log that could not be made is incomplete and keeps what stands in its place.
TEST_F(InstallLogTest, WithoutALogItemsAreStillMade) {
  MakeLoggedDirectory("made");
  LogInstallRoot("C:", "C:\\x\\");
  EXPECT_EQ(memfs::Tree(), std::vector<std::string>{"C:\\made\\"});
  memfs::PutFile("C:\\log.txt", "read-only", 0x01);
  InstallLog = new TInstallLog("C:\\log.txt");
  EXPECT_FALSE(InstallLog->created || InstallLog->complete);
  EXPECT_TRUE(MakeLoggedDirectory("also"));
  EXPECT_TRUE(LogItem("C:\\also\\x"));
  EXPECT_EQ(memfs::Attributes("C:\\also"), 0x10u);
  EXPECT_EQ(LogBytes(), "read-only");
  EXPECT_FALSE(TInstallLog(("C:\\" + std::string(1200, 'x')).c_str()).created);
}

}  // namespace
