// uninstlog_test.cpp - the uninstaller's reading of uninstall.list: each
// line kind turned into what to remove, the odd forms the installer really
// writes, and lines it never writes, which must name nothing.
#include "demo/uninstlog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using uninstlog::ItemKind;
using uninstlog::ParseLine;
using Paths = std::vector<std::string>;

void ExpectItem(const std::string& line, ItemKind kind, const Paths& paths) {
  const uninstlog::Item item = ParseLine(line);
  EXPECT_EQ(item.kind, kind) << line;
  EXPECT_EQ(item.paths, paths) << line;
}

TEST(InstallRootLineLosesItsLastCharacter, OneNewLevelIsTheDirectoryBelowTheAncestor) {
  ExpectItem("mkd: C:\\Program files\\ ::: QMK", ItemKind::kDirectories, {"C:\\Program files\\QMK"});
}

TEST(InstallRootLineLosesItsLastCharacter, SeveralNewLevelsComeDeepestFirst) {
  ExpectItem("mkd: C:\\ ::: a\\b", ItemKind::kDirectories, {"C:\\a\\b", "C:\\a"});
  ExpectItem("mkd: D:\\Apps\\ ::: Quell mark\\QMK", ItemKind::kDirectories,
             {"D:\\Apps\\Quell mark\\QMK", "D:\\Apps\\Quell mark"});
}

TEST(InstallRootLineLosesItsLastCharacter, ExistingDirectoryNamesNothing) {
  // The blank after the colons is the character cut off.
  ExpectItem("mkd: C:\\Program files\\QMK\\ :::", ItemKind::kNothing, {});
  ExpectItem("mkd: C:\\Program files\\QMK\\ ::: ", ItemKind::kNothing, {});
}

TEST(InstallRootLineLosesItsLastCharacter, BackslashLeftInPlaceIsTolerated) {
  ExpectItem("mkd: C:\\Program files\\ ::: QMK\\", ItemKind::kDirectories, {"C:\\Program files\\QMK"});
}

TEST(InstallRootLineLosesItsLastCharacter, AncestorThatCouldNotBeEnteredNamesNothing) {
  // A drive that cannot be entered leaves the ancestor with its backslash
  // and the rest with a leading one: nothing was created there.
  ExpectItem("mkd: C:\\\\ ::: \\b", ItemKind::kUnknown, {});
}

TEST(DirectoryLineHasNoBackslashBeforeTheSeparator, PathIsJoinedBelowTheCurrentDirectory) {
  ExpectItem("mkd: C:\\Program files\\QMK ::: docs", ItemKind::kDirectories, {"C:\\Program files\\QMK\\docs"});
  ExpectItem("mkd: C:\\WINDOWS\\Start Menu\\Programs ::: Quellmark", ItemKind::kDirectories,
             {"C:\\WINDOWS\\Start Menu\\Programs\\Quellmark"});
}

TEST(DirectoryLineHasNoBackslashBeforeTheSeparator, NestedPathComesDeepestFirst) {
  ExpectItem("mkd: C:\\I ::: sub\\deeper", ItemKind::kDirectories, {"C:\\I\\sub\\deeper", "C:\\I\\sub"});
}

TEST(DirectoryLineHasNoBackslashBeforeTheSeparator, DriveRootKeepsItsOwnBackslash) {
  ExpectItem("mkd: C:\\ ::: sub", ItemKind::kDirectories, {"C:\\sub"});
}

TEST(DirectoryLineHasNoBackslashBeforeTheSeparator, NetworkShareAsCurrentDirectory) {
  ExpectItem("mkd: \\\\srv\\apps\\QMK ::: docs", ItemKind::kDirectories, {"\\\\srv\\apps\\QMK\\docs"});
  ExpectItem("mkd: \\\\srv\\apps\\ ::: QMK", ItemKind::kDirectories, {"\\\\srv\\apps\\QMK"});
}

TEST(FileLineIsCurrentDirectoryPlusEntry, PlainFileAndShortcut) {
  ExpectItem("C:\\Program files\\QMK\\qmk.exe", ItemKind::kFile, {"C:\\Program files\\QMK\\qmk.exe"});
  ExpectItem("C:\\WINDOWS\\Start Menu\\Programs\\Quellmark\\ReadMe(eng).lnk", ItemKind::kFile,
             {"C:\\WINDOWS\\Start Menu\\Programs\\Quellmark\\ReadMe(eng).lnk"});
}

TEST(FileLineIsCurrentDirectoryPlusEntry, DriveRootDoublesTheBackslash) {
  ExpectItem("C:\\\\readme.txt", ItemKind::kFile, {"C:\\readme.txt"});
  ExpectItem("C:\\\\Plugins\\qmkpdf.dll", ItemKind::kFile, {"C:\\Plugins\\qmkpdf.dll"});
  ExpectItem("\\\\srv\\apps\\\\readme.txt", ItemKind::kFile, {"\\\\srv\\apps\\readme.txt"});
}

TEST(FileLineIsCurrentDirectoryPlusEntry, CodePageBytesPassUnchanged) {
  // Names are ANSI bytes (here code page 1251), taken as they are.
  const std::string name = "C:\\QMK\\\xF7\xE8\xF2\xE0\xE9.txt";
  ExpectItem(name, ItemKind::kFile, {name});
}

TEST(RegistryLineNamesOneKey, UninstallRegistration) {
  ExpectItem("reg: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ ::: QMK", ItemKind::kRegistryKey,
             {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QMK"});
}

TEST(RegistryLineNamesOneKey, NeverTheParentOrSomethingBelowTheProductKey) {
  // An empty subkey would delete the parent key itself.
  ExpectItem("reg: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ ::: ", ItemKind::kUnknown, {});
  ExpectItem("reg: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ :::", ItemKind::kUnknown, {});
  ExpectItem("reg: SOFTWARE\\X\\ ::: QMK\\Sub", ItemKind::kUnknown, {});
  ExpectItem("reg: SOFTWARE\\X ::: QMK", ItemKind::kUnknown, {});
  ExpectItem("reg: \\ ::: QMK", ItemKind::kUnknown, {});
  ExpectItem("reg: \\SOFTWARE\\ ::: QMK", ItemKind::kUnknown, {});
}

TEST(RegistryLineNamesOneKey, SeparatorTextInTheParentKeepsTheLastSeparator) {
  ExpectItem("reg: SOFTWARE\\a ::: b\\ ::: QMK", ItemKind::kRegistryKey, {"SOFTWARE\\a ::: b\\QMK"});
}

// Lines the installer never writes: each must name nothing at all, so a
// damaged or tampered log cannot make the uninstaller touch anything else.
TEST(LineOfUnknownFormNamesNothing, Table) {
  const char* const lines[] = {
      "qmk.exe",                              // relative file
      "Program files\\QMK\\qmk.exe",          // relative file
      "C:readme.txt",                         // drive-relative
      "C:",                                   // bare drive
      "C:\\",                                 // a root is no file
      "C:\\Program files\\QMK\\",             // a directory as a file line
      "C:\\QMK\\..\\Windows\\win.ini",        // walks elsewhere
      "C:\\QMK\\.\\qmk.exe",                  // dot component
      "C:\\QMK\\\\qmk.exe",                   // empty component inside
      "C:\\QMK\\qmk.exe:stream",              // a stream, not a file
      "C:\\QMK\\q?k.exe",                     // wildcard
      "C:\\QMK\\qmk\x01.exe",                 // control character
      "C:\\QMK ::: docs\\guide.txt",          // separator text in a file line
      "\\\\server",                           // no share
      "\\\\server\\",                         // empty share
      "mkd:C:\\QMK ::: docs",                 // prefix without its blank
      "MKD: C:\\QMK ::: docs",                // prefix in the wrong case
      "mkd: QMK ::: docs",                    // relative current directory
      "mkd: C:\\QMK ::: ..\\..\\Windows",     // walks out of the directory
      "mkd: C:\\QMK ::: docs\\\\a",           // empty component
      "mkd: C:\\QMK ::: \\docs",              // rooted path
      "mkd: C:\\QMK ::: docs ::: more",       // separator text in the path
      "mkd: C:\\QMK:::docs",                  // separator without blanks
      "mkd: C:\\QMK :: docs",                 // two colons
      "mkd: C:\\QMK ::: C:\\Windows",         // absolute path after the separator
      "mkd: C:\\QMK",                         // no separator at all
      "reg: QMK",                             // no separator at all
      "del: C:\\QMK\\qmk.exe",                // a kind that does not exist
  };
  for (const char* line : lines) ExpectItem(line, ItemKind::kUnknown, {});
}

TEST(LineOfUnknownFormNamesNothing, EmptyLineIsSkippedQuietly) { ExpectItem("", ItemKind::kNothing, {}); }

TEST(WholeLogReadsInOrder, FreshInstallation) {
  const std::string log =
      "mkd: C:\\Program files\\ ::: QMK\r\n"
      "C:\\Program files\\QMK\\qmk.exe\r\n"
      "C:\\Program files\\QMK\\readme.txt\r\n"
      "mkd: C:\\Program files\\QMK ::: docs\r\n"
      "C:\\Program files\\QMK\\docs\\guide.txt\r\n"
      "mkd: C:\\WINDOWS\\Start Menu\\Programs ::: Quellmark\r\n"
      "C:\\WINDOWS\\Start Menu\\Programs\\Quellmark\\Quellmark.lnk\r\n"
      "C:\\WINDOWS\\Start Menu\\Programs\\Quellmark\\ReadMe(eng).lnk\r\n"
      "C:\\WINDOWS\\Start Menu\\Programs\\Quellmark\\ReadMe(rus).lnk\r\n"
      "C:\\WINDOWS\\Start Menu\\Programs\\Quellmark\\Uninstall.lnk\r\n"
      "reg: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ ::: QMK\r\n";
  const std::vector<std::string> lines = uninstlog::SplitLines(log);
  ASSERT_EQ(lines.size(), 11u);
  const ItemKind kinds[] = {ItemKind::kDirectories, ItemKind::kFile,        ItemKind::kFile, ItemKind::kDirectories,
                            ItemKind::kFile,        ItemKind::kDirectories, ItemKind::kFile, ItemKind::kFile,
                            ItemKind::kFile,        ItemKind::kFile,        ItemKind::kRegistryKey};
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(ParseLine(lines[i]).kind, kinds[i]) << lines[i];
  EXPECT_EQ(ParseLine(lines[3]).paths, Paths{"C:\\Program files\\QMK\\docs"});
  EXPECT_EQ(ParseLine(lines[10]).paths, Paths{"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QMK"});
}

TEST(LinesSplitAtCrLf, EveryLineEndAndTheLastLineWithout) {
  EXPECT_EQ(uninstlog::SplitLines("a\r\nb\r\n"), Paths({"a", "b"}));
  EXPECT_EQ(uninstlog::SplitLines("a\r\nb"), Paths({"a", "b"}));
  EXPECT_EQ(uninstlog::SplitLines("a\nb\n"), Paths({"a", "b"}));
  EXPECT_EQ(uninstlog::SplitLines("a\r\n\r\nb\r\n"), Paths({"a", "", "b"}));
  EXPECT_EQ(uninstlog::SplitLines(""), Paths());
  // A CR inside a line is part of it; only the one before LF ends it.
  EXPECT_EQ(uninstlog::SplitLines("a\rb\r\n"), Paths({"a\rb"}));
}

TEST(PathsCompareAsWindowsDoes, LetterCaseIgnoredLengthNot) {
  EXPECT_TRUE(uninstlog::SamePath("C:\\Program Files\\QMK", "c:\\PROGRAM files\\qmk"));
  EXPECT_FALSE(uninstlog::SamePath("C:\\QMK", "C:\\QMK2"));
  EXPECT_FALSE(uninstlog::SamePath("C:\\QMK", "C:\\QML"));
}

TEST(PathsCompareAsWindowsDoes, NormalFormOfAbsolutePaths) {
  EXPECT_EQ(uninstlog::NormalizeAbsolute("C:\\"), "C:\\");
  EXPECT_EQ(uninstlog::NormalizeAbsolute("C:\\\\"), "C:\\");
  EXPECT_EQ(uninstlog::NormalizeAbsolute("c:\\a\\b\\"), "c:\\a\\b");
  EXPECT_EQ(uninstlog::NormalizeAbsolute("\\\\srv\\share\\"), "\\\\srv\\share");
  EXPECT_EQ(uninstlog::NormalizeAbsolute("C:\\a\\\\\\b"), "");
  EXPECT_EQ(uninstlog::NormalizeAbsolute("1:\\a"), "");
  EXPECT_EQ(uninstlog::NormalizeAbsolute("C:/a"), "");
}

}  // namespace
