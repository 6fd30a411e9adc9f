// entryname_test.cpp - unsafe or repeated entry names are refused with their reason.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "archive/entryname.h"

TEST(EntryNames, AreRefusedWithTheirReasonOrPass) {
  const std::string longest(kMaxEntryNameLength, 'a');
  const std::vector<std::pair<NameFault, std::vector<std::string>>> table = {
      {NameFault::kEmpty, {"", "a\\\\b", "a\\", "dir/"}},
      {NameFault::kAbsolute, {"\\x", "/x", "\\\\server\\share\\x"}},
      {NameFault::kDriveQualified, {"C:x", "C:\\x"}},
      {NameFault::kParent, {"..", "..\\x", "a\\..\\..\\x", "a\\..", "a/../x", "../x"}},
      {NameFault::kColon, {"file.txt:stream", "a\\b:$DATA"}},
      {NameFault::kTrailingDotOrSpace, {"a.\\x", "x.", ".", "a\\.\\x", "name ", "dir \\x", "..."}},
      {NameFault::kDeviceName,
       {"CON", "con", "a\\prn.txt", "AUX.tar.gz", "nul", "COM1", "com9.log", "LPT1", "x\\lpt9.dat", "CON .txt"}},
      {NameFault::kControlChar, {std::string("a\0b", 3), "a\tb", "new\nline", "\x1f"}},
      {NameFault::kSlash, {"a/b/c.txt"}},  // its log line would name a path the uninstaller cannot read
      {NameFault::kTooLong, {longest + "a"}},
      {NameFault::kNone,
       {longest, "qmk.exe", "Plugins", "Plugins\\a.dll", "readme.rus.txt", ".hidden", "..name", "name..txt",
        "CONSOLE", "COM10", "LPT", "COM0", "con2", "aux_file", "\xc0\xe1\xe2.txt", "a b\\c d.txt", "x\\y\\z\\w.bin"}},
  };
  for (const auto& [fault, names] : table) {
    for (const std::string& name : names) EXPECT_EQ(CheckEntryName(name.data(), name.size()), fault) << name;
  }
  EXPECT_EQ(CheckEntryName("abcdef", 6, 5), NameFault::kTooLong);
}

TEST(EntryNames, RepeatedAreRefusedWhateverTheirCaseAndNameTheEarlierEntry) {
  EntryNameSet names;
  ASSERT_TRUE(OpenEntryNameSet(&names));
  unsigned earlier = 99;
  auto admit = [&](const std::string& n) { return AdmitEntryName(&names, n.data(), n.size(), &earlier); };
  const std::vector<std::tuple<std::string, NameFault, unsigned>> steps = {  // name, fault, earlier entry after
      {"Plugins", NameFault::kNone, 99},
      {"Plugins\\a.dll", NameFault::kNone, 99},
      {"a.dll", NameFault::kNone, 99},  // the same leaf elsewhere is another name
      {"Plugins", NameFault::kRepeated, 0},
      {"PLUGINS\\A.DLL", NameFault::kRepeated, 1},
      {"..\\x", NameFault::kParent, 1},  // unsafe before repeated
      {"Plugins\\a.dl", NameFault::kNone, 1},
      {"A.DL", NameFault::kNone, 1},
      {"a.Dl", NameFault::kRepeated, 4}};  // refused names take no number
  for (const auto& [name, fault, number] : steps) {
    EXPECT_EQ(admit(name), fault) << name;
    EXPECT_EQ(earlier, number) << name;
  }
  for (unsigned i = 5; i < kMaxEntryNames; i++) ASSERT_EQ(admit("f" + std::to_string(i)), NameFault::kNone) << i;
  EXPECT_EQ(admit("one more"), NameFault::kTooMany);
  EXPECT_EQ(admit("f12287"), NameFault::kTooMany);
  CloseEntryNameSet(&names);
  EXPECT_EQ(admit("x"), NameFault::kTooMany);  // closed: nothing is taken
}
