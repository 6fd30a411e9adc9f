// uninstlog_test.cpp - the uninstaller's reading of uninstall.list.
#include "demo/uninstlog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using uninstlog::ItemKind;
using uninstlog::ParseLine;
using Paths = std::vector<std::string>;

// What each line names, deepest first; any other form names nothing.
TEST(UninstallLog, EachLineNamesWhatTheInstallerMadeAndNothingElse) {
  const struct {
    const char* line;
    ItemKind kind;
    Paths paths;
  } cases[] = {
      // The install-root line has lost its last character.
      {"mkd: C:\\Program files\\ ::: QMK", ItemKind::kDirectories, {"C:\\Program files\\QMK"}},
      {"mkd: C:\\ ::: a\\b", ItemKind::kDirectories, {"C:\\a\\b", "C:\\a"}},
      {"mkd: C:\\Program files\\QMK\\ :::", ItemKind::kNothing, {}},
      {"mkd: C:\\Program files\\QMK\\ ::: ", ItemKind::kNothing, {}},
      {"mkd: C:\\Program files\\ ::: QMK\\", ItemKind::kDirectories, {"C:\\Program files\\QMK"}},
      {"mkd: C:\\\\ ::: \\b", ItemKind::kUnknown, {}},
      {"mkd: C:\\Program files\\QMK ::: docs", ItemKind::kDirectories, {"C:\\Program files\\QMK\\docs"}},
      {"mkd: C:\\I ::: sub\\deeper", ItemKind::kDirectories, {"C:\\I\\sub\\deeper", "C:\\I\\sub"}},
      {"mkd: \\\\srv\\apps\\QMK ::: docs", ItemKind::kDirectories, {"\\\\srv\\apps\\QMK\\docs"}},
      // At a drive root the backslash is doubled; ANSI names as they are.
      {"C:\\Program files\\QMK\\qmk.exe", ItemKind::kFile, {"C:\\Program files\\QMK\\qmk.exe"}},
      {"C:\\\\readme.txt", ItemKind::kFile, {"C:\\readme.txt"}},
      {"\\\\srv\\apps\\\\readme.txt", ItemKind::kFile, {"\\\\srv\\apps\\readme.txt"}},
      {"C:\\QMK\\\xF7\xE8\xF2\xE0\xE9.txt", ItemKind::kFile, {"C:\\QMK\\\xF7\xE8\xF2\xE0\xE9.txt"}},
      // One key, never its parent or below it.
      {"reg: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ ::: QMK", ItemKind::kRegistryKey,
       {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QMK"}},
      {"reg: SOFTWARE\\a ::: b\\ ::: QMK", ItemKind::kRegistryKey, {"SOFTWARE\\a ::: b\\QMK"}},
      {"reg: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ ::: ", ItemKind::kUnknown, {}},
      {"reg: SOFTWARE\\X\\ ::: QMK\\Sub", ItemKind::kUnknown, {}},
      {"reg: \\ ::: QMK", ItemKind::kUnknown, {}},
      {"reg: \\SOFTWARE\\ ::: QMK", ItemKind::kUnknown, {}},
      {"", ItemKind::kNothing, {}},
  };
  for (const auto& c : cases) {
    const uninstlog::Item item = ParseLine(c.line);
    EXPECT_EQ(item.kind, c.kind) << c.line;
    EXPECT_EQ(item.paths, c.paths) << c.line;
  }
  // Lines the installer never writes name nothing: relative, drive-relative, a root or a directory as a
  // file, "..", ".", empty components, a stream, a control character, no share, a prefix without its
  // blank, no separator, an unknown kind.
  for (const char* line : {"qmk.exe", "C:readme.txt", "C:\\", "C:\\Program files\\QMK\\",
                           "C:\\QMK\\..\\Windows\\win.ini", "C:\\QMK\\.\\qmk.exe", "C:\\QMK\\\\qmk.exe",
                           "C:\\QMK\\qmk.exe:stream", "C:\\QMK\\qmk\x01.exe", "\\\\server", "\\\\server\\",
                           "mkd:C:\\QMK ::: docs", "mkd: QMK ::: docs", "mkd: C:\\QMK ::: ..\\..\\Windows",
                           "mkd: C:\\QMK ::: docs\\\\a", "mkd: C:\\QMK ::: C:\\Windows", "mkd: C:\\QMK", "reg: QMK",
                           "del: C:\\QMK\\qmk.exe"}) {
    const uninstlog::Item item = ParseLine(line);
    EXPECT_EQ(item.kind, ItemKind::kUnknown) << line;
    EXPECT_EQ(item.paths, Paths{}) << line;
  }
}

TEST(UninstallLog, LinesSplitAtLineFeedsAndPathsCompareAsWindowsDoes) {
  EXPECT_EQ(uninstlog::SplitLines("a\r\nb\r\n"), Paths({"a", "b"}));
  EXPECT_EQ(uninstlog::SplitLines("a\r\nb"), Paths({"a", "b"}));
  EXPECT_EQ(uninstlog::SplitLines("a\nb\n"), Paths({"a", "b"}));
  EXPECT_EQ(uninstlog::SplitLines("a\r\n\r\nb\r\n"), Paths({"a", "", "b"}));
  EXPECT_EQ(uninstlog::SplitLines(""), Paths());
  EXPECT_EQ(uninstlog::SplitLines("a\rb\r\n"), Paths({"a\rb"}));
  EXPECT_TRUE(uninstlog::SamePath("C:\\Program Files\\QMK", "c:\\PROGRAM files\\qmk"));
  EXPECT_FALSE(uninstlog::SamePath("C:\\QMK", "C:\\QMK2"));
  EXPECT_FALSE(uninstlog::SamePath("C:\\QMK", "C:\\QML"));
  const std::pair<const char*, const char*> normal[] = {
      {"C:\\", "C:\\"}, {"C:\\\\", "C:\\"}, {"c:\\a\\b\\", "c:\\a\\b"}, {"\\\\srv\\share\\", "\\\\srv\\share"},
      {"C:\\a\\\\\\b", ""}, {"1:\\a", ""}, {"C:/a", ""},
  };
  for (const auto& [path, want] : normal) EXPECT_EQ(uninstlog::NormalizeAbsolute(path), want) << path;
}

}  // namespace
