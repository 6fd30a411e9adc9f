// entryname_test.cpp - names that could escape the target directory or name
// a device are refused; ordinary names, including odd but harmless ones,
// pass.
#include <gtest/gtest.h>

#include <string>

#include "archive/entryname.h"

namespace {
NameFault Check(const std::string& name, size_t maxLength = 1999) {
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
  EXPECT_EQ(Check(std::string(1999, 'a')), NameFault::kNone);
  EXPECT_EQ(Check(std::string(2000, 'a')), NameFault::kTooLong);
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

TEST(RepeatedEntryNames, AreRefusedWhateverTheirCaseOrSeparator) {
  EntryNameSet names;
  ASSERT_TRUE(OpenEntryNameSet(&names));
  auto add = [&](const std::string& n) { return AddEntryName(&names, n.data(), n.size()); };
  EXPECT_TRUE(add("Plugins"));
  EXPECT_TRUE(add("Plugins\\a.dll"));
  EXPECT_TRUE(add("a.dll"));  // the same leaf elsewhere is another name
  EXPECT_FALSE(add("Plugins"));
  EXPECT_FALSE(add("PLUGINS\\A.DLL"));
  EXPECT_FALSE(add("plugins/a.dll"));
  EXPECT_TRUE(add("Plugins\\a.dl"));
  EXPECT_EQ(names.count, 4u);
  CloseEntryNameSet(&names);
  EXPECT_FALSE(add("x"));  // closed: nothing is taken
}

TEST(RepeatedEntryNames, TheTableRefusesNamesBeyondItsLimit) {
  EntryNameSet names;
  ASSERT_TRUE(OpenEntryNameSet(&names));
  for (unsigned i = 0; i < kMaxEntryNames; i++) {
    const std::string n = "f" + std::to_string(i);
    ASSERT_TRUE(AddEntryName(&names, n.data(), n.size())) << n;
  }
  EXPECT_FALSE(AddEntryName(&names, "one more", 8));
  CloseEntryNameSet(&names);
}
