// entryname_test.cpp - names that could escape the target directory or name
// a device are refused; ordinary names, including odd but harmless ones,
// pass.
#include <gtest/gtest.h>

#include <string>

#include "archive/entryname.h"

namespace {
NameFault Check(const std::string& name, size_t maxLength = kMaxEntryNameLength) {
  return CheckEntryName(name.data(), name.size(), maxLength);
}
}  // namespace

TEST(UnsafeEntryNames, AreRefusedWithTheirReason) {
  struct Case {
    std::string name;
    NameFault fault;
  } cases[] = {
      {"", NameFault::kEmpty},
      {"a\\\\b", NameFault::kEmpty},
      {"a\\", NameFault::kEmpty},
      {"\\x", NameFault::kAbsolute},
      {"/x", NameFault::kAbsolute},
      {"\\\\server\\share\\x", NameFault::kAbsolute},
      {"C:x", NameFault::kDriveQualified},
      {"C:\\x", NameFault::kDriveQualified},
      {"..", NameFault::kParent},
      {"..\\x", NameFault::kParent},
      {"a\\..\\..\\x", NameFault::kParent},
      {"a\\..", NameFault::kParent},
      {"a/../x", NameFault::kParent},
      {"../x", NameFault::kParent},
      {"file.txt:stream", NameFault::kColon},
      {"a\\b:$DATA", NameFault::kColon},
      {"a.\\x", NameFault::kTrailingDotOrSpace},
      {"x.", NameFault::kTrailingDotOrSpace},
      {".", NameFault::kTrailingDotOrSpace},
      {"a\\.\\x", NameFault::kTrailingDotOrSpace},
      {"name ", NameFault::kTrailingDotOrSpace},
      {"dir \\x", NameFault::kTrailingDotOrSpace},
      {"...", NameFault::kTrailingDotOrSpace},
      {"CON", NameFault::kDeviceName},
      {"con", NameFault::kDeviceName},
      {"a\\prn.txt", NameFault::kDeviceName},
      {"AUX.tar.gz", NameFault::kDeviceName},
      {"nul", NameFault::kDeviceName},
      {"COM1", NameFault::kDeviceName},
      {"com9.log", NameFault::kDeviceName},
      {"LPT1", NameFault::kDeviceName},
      {"x\\lpt9.dat", NameFault::kDeviceName},
      {"CON .txt", NameFault::kDeviceName},
      {std::string("a\0b", 3), NameFault::kControlChar},
      {"a\tb", NameFault::kControlChar},
      {"new\nline", NameFault::kControlChar},
      {"\x1f", NameFault::kControlChar},
      {"a/b/c.txt", NameFault::kSlash},  // its log line would name a path the uninstaller cannot read
      {"dir/", NameFault::kEmpty},
  };
  for (const Case& c : cases) EXPECT_EQ(Check(c.name), c.fault) << c.name;
}

TEST(UnsafeEntryNames, LengthLimitIsInclusive) {
  EXPECT_EQ(Check(std::string(kMaxEntryNameLength, 'a')), NameFault::kNone);
  EXPECT_EQ(Check(std::string(kMaxEntryNameLength + 1, 'a')), NameFault::kTooLong);
  EXPECT_EQ(Check("abcdef", 5), NameFault::kTooLong);
}

TEST(SafeEntryNames, Pass) {
  for (const char* name : {"qmk.exe", "Plugins", "Plugins\\a.dll", "readme.rus.txt", ".hidden",
                           "..name", "name..txt", "CONSOLE", "COM10", "LPT", "COM0", "con2", "aux_file",
                           "\xc0\xe1\xe2.txt", "a b\\c d.txt", "x\\y\\z\\w.bin"}) {
    EXPECT_EQ(Check(name), NameFault::kNone) << name;
  }
}

// ---- repeated names ----------------------------------------------------------------

TEST(RepeatedEntryNames, AreRefusedWhateverTheirCaseAndNameTheEarlierEntry) {
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

TEST(RepeatedEntryNames, TheTableRefusesNamesBeyondItsLimit) {
  EntryNameSet names;
  ASSERT_TRUE(OpenEntryNameSet(&names));
  for (unsigned i = 0; i < kMaxEntryNames; i++) {
    const std::string n = "f" + std::to_string(i);
    ASSERT_EQ(AdmitEntryName(&names, n.data(), n.size()), NameFault::kNone) << n;
  }
  EXPECT_EQ(AdmitEntryName(&names, "one more", 8), NameFault::kTooMany);
  unsigned earlier = 0;
  EXPECT_EQ(AdmitEntryName(&names, "f12287", 6, &earlier), NameFault::kTooMany);
  CloseEntryNameSet(&names);
}
