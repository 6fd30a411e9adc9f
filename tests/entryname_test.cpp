// entryname_test.cpp - names that could escape the target directory or name
// a device are refused; ordinary names, including odd but harmless ones,
// pass; a name repeated in any letter case is refused.
#include <gtest/gtest.h>

#include <string>
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
      // Its log line would name a path the uninstaller cannot read.
      {NameFault::kSlash, {"a/b/c.txt"}},
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
  EXPECT_EQ(admit("Plugins"), NameFault::kNone);
  EXPECT_EQ(admit("Plugins\\a.dll"), NameFault::kNone);
  EXPECT_EQ(admit("a.dll"), NameFault::kNone);  // the same leaf elsewhere is another name
  EXPECT_EQ(admit("Plugins"), NameFault::kRepeated);
  EXPECT_EQ(earlier, 0u);
  EXPECT_EQ(admit("PLUGINS\\A.DLL"), NameFault::kRepeated);
  EXPECT_EQ(earlier, 1u);
  EXPECT_EQ(admit("..\\x"), NameFault::kParent);  // unsafe before repeated
  EXPECT_EQ(admit("Plugins\\a.dl"), NameFault::kNone);
  EXPECT_EQ(admit("A.DL"), NameFault::kNone);
  EXPECT_EQ(admit("a.Dl"), NameFault::kRepeated);
  EXPECT_EQ(earlier, 4u);  // refused names take no number
  CloseEntryNameSet(&names);
  EXPECT_EQ(admit("x"), NameFault::kTooMany);  // closed: nothing is taken
}

TEST(EntryNames, TheSetRefusesNamesBeyondItsLimit) {
  EntryNameSet names;
  ASSERT_TRUE(OpenEntryNameSet(&names));
  for (unsigned i = 0; i < kMaxEntryNames; i++) {
    const std::string n = "f" + std::to_string(i);
    ASSERT_EQ(AdmitEntryName(&names, n.data(), n.size()), NameFault::kNone) << n;
  }
  EXPECT_EQ(AdmitEntryName(&names, "one more", 8), NameFault::kTooMany);
  EXPECT_EQ(AdmitEntryName(&names, "f12287", 6), NameFault::kTooMany);
  CloseEntryNameSet(&names);
}
