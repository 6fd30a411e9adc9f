// setup_test.cpp - the installer's windowless rules: directories, command line, payload check.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "archive/status.h"
#include "archive/verify.h"
#include "front/setupoptions.h"
#include "platform/memfs.h"
#include "tests/support/installcheck.h"

namespace {

using namespace qmktest;

// "!" before the path when the leaf did not fit and the path was left.
TEST(ProductLeaf, AddsOneBackslashAndTheLeafWhereItFits) {
  const std::string deep(254, 'a');  // + "\QMK\" = 259 characters: fits 260
  const size_t all = kInstallDirChars;
  const struct {
    std::string path;
    size_t capacity;
    std::string want;
  } cases[] = {
      {"C:\\Program files\\", all, "C:\\Program files\\QMK\\"}, {"D:\\Apps", all, "D:\\Apps\\QMK\\"},
      {"D:\\", all, "D:\\QMK\\"}, {"", all, ""}, {deep, all, deep + "\\QMK\\"}, {deep + "a", all, "!" + deep + "a"},
      {"C:\\x\\", 9, "!C:\\x\\"},  // 9 characters and the terminator need 10
      {"C:\\x\\", 10, "C:\\x\\QMK\\"}, {"C:\\x", 10, "C:\\x\\QMK\\"},
      {"C:\\xy", 10, "!C:\\xy"},  // the "\" it adds counts too
  };
  for (const auto& c : cases) {
    char buffer[600] = {};
    strcpy(buffer, c.path.c_str());
    const bool fitted = AppendProductLeaf(buffer, c.capacity);
    EXPECT_EQ((fitted ? "" : "!") + std::string(buffer), c.want) << c.path << " in " << c.capacity;
  }
}

TEST(InstallDirectory, AcceptsFullDrivePathsAndSharesThatFit) {
  const std::string fits = "C:\\" + std::string(255, 'a');
  const std::vector<std::string> good = {"C:\\", "C:\\Program files\\QMK\\", "e:\\Tools", "\\\\server\\share\\QMK\\",
                                         "\\\\server\\share", "Z:\\a b\\c", fits, fits + "\\"};
  const std::vector<std::string> bad = {"", "\\", "\\QMK\\", "QMK", "C:", "C:QMK", "1:\\x", "C:/x", "\\\\server",
                                        "\\\\server\\", "\\\\\\share\\x", "\\\\server\\\\x", fits + "b"};
  for (const std::string& p : good) EXPECT_TRUE(InstallDirUsable(p.c_str())) << p;
  for (const std::string& p : bad) EXPECT_FALSE(InstallDirUsable(p.c_str())) << p;
}

TEST(CommandLine, SwitchesAnywhereAndTheDirectoryQuotedOrToTheEndOfTheLine) {
  EXPECT_STREQ(SkipProgramName("\"C:\\My Files\\QuellmarkSetup.exe\"  /S"), "/S");
  EXPECT_STREQ(SkipProgramName("setup.exe /S /D=C:\\x"), "/S /D=C:\\x");
  EXPECT_STREQ(SkipProgramName("setup.exe"), "");
  EXPECT_STREQ(SkipProgramName("\"unterminated"), "");
  const struct {
    const char* line;
    bool valid, silent, haveDir;
    const char* dir;
  } cases[] = {
      {"   ", true, false, false, ""},
      {"/S /D=C:\\Program files\\My QMK  ", true, true, true, "C:\\Program files\\My QMK"},
      {"/D=C:\\a /S", true, true, true, "C:\\a"},  // no name holds "/": a final /S is the switch
      {"/D=C:\\a /s /S ", true, true, true, "C:\\a"},
      {"/D=C:\\a/S", true, false, true, "C:\\a/S"},  // no blank: part of the (refused) directory
      {"\"/D=C:\\Q Dir\\QMK\" /S", true, true, true, "C:\\Q Dir\\QMK"},
      {"/S /D=\"C:\\Quoted Dir\\QMK\"", true, true, true, "C:\\Quoted Dir\\QMK"},
      {"/D=\"C:\\Quoted Dir\\QMK\" /S", true, true, true, "C:\\Quoted Dir\\QMK"},
      {"/S \"/D=C:\\Test Dir\\Q\"", true, true, true, "C:\\Test Dir\\Q"},
      {"/d=relative\\dir", true, false, true, "relative\\dir"},  // refused by the directory rules, not here
      {"/X", false, false, false, ""}, {"/SS", false, false, false, ""}, {"S", false, false, false, ""},
      {"/Q /S", false, true, false, ""},  // /S still counts, so the refusal stays silent
      {"/s", true, true, false, ""},
  };
  for (const auto& c : cases) {
    const SetupOptions o = ParseSetupArguments(c.line);
    EXPECT_EQ(std::make_tuple(o.valid, o.silent, o.haveDir, std::string(o.dir)),
              std::make_tuple(c.valid, c.silent, c.haveDir, std::string(c.dir))) << c.line;
  }
  // A longer directory is cut to what the buffer holds; no payload fits it.
  EXPECT_EQ(strlen(ParseSetupArguments(("/D=C:\\" + std::string(300, 'x')).c_str()).dir), kInstallDirChars - 1);
}

// Directories the installation would fail in are refused with the reason, before anything is written.
TEST(InstallDirectory, RefusedBeforeAnythingIsWrittenWithTheReason) {
  memfs::Install();
  memfs::MakeDirs("C:\\Program files");
  memfs::PutFile("C:\\file.txt", "the user's");
  const std::string fit238 = "C:\\" + std::string(235, 'a');  // 238 characters: with "\" and 20 more, 259
  const char *kDrive = "its drive or network share does not exist", *kEnd = "a name in it ends with a dot or a space",
             *kFile = "a file stands where one of its directories must be";
  struct Case {
    std::string dir;
    size_t longestEntry;
    const char* reason;  // null: accepted
  };
  std::vector<Case> cases = {
      {"C:\\Program files\\QMK", 20, nullptr}, {"C:\\New\\Deeper\\QMK\\", 20, nullptr}, {fit238, 20, nullptr},
      {fit238 + "b", 20, "it is too long: at most 238 characters fit"},
      {fit238 + "bcdef", 5, nullptr},  // "uninstall.list" is the longest: 244 fit
      {fit238 + "bcdefgh", 5, "it is too long: at most 244 characters fit"},
      {"Q:\\QMK", 20, kDrive}, {"\\\\server\\share\\QMK", 20, kDrive}, {"C:\\trail dots...", 20, kEnd},
      {"C:\\space \\QMK", 20, kEnd}, {"C:\\file.txt\\QMK", 20, kFile}, {"C:\\file.txt", 20, kFile}};
  const std::string forbidden = "<>|\"*?:/\t";
  for (size_t i = 0; i < forbidden.size(); i++) {  // in the last name, or one before
    cases.push_back({"C:\\a" + forbidden.substr(i, 1) + (i % 2 ? "b" : "b\\QMK"), 20,
                     "a name in it holds a character that Windows does not allow"});
  }
  for (const auto& c : cases) {
    char message[512] = "untouched";
    EXPECT_EQ(DirectoryRefused(c.dir.c_str(), c.longestEntry, message, sizeof message), c.reason != nullptr) << c.dir;
    EXPECT_EQ(std::string(message), c.reason ? std::string("Quellmark cannot be installed into this directory: ") + c.reason +
                                                   ".\r\nPlease choose another directory."
                                             : "untouched") << c.dir;
  }
  EXPECT_EQ(memfs::Tree(), (std::vector<std::string>{"C:\\file.txt", "C:\\Program files\\"}));  // nothing written
  platform = &kNativePlatform;
}

Bytes SealOf(const Bytes& image) {
  Bytes seal(kSealSize);
  MakeSeal(image.data(), uint32_t(image.size()), seal.data());
  return seal;
}

bool Intact(const Bytes& image, const Bytes* seal = nullptr) {
  errorStatus = kStatusOk;
  const bool intact = seal ? SealedImageIntact(image.data(), uint32_t(image.size()), seal->data(), uint32_t(seal->size()))
                           : VerifyArchiveImage(image.data(), uint32_t(image.size()));
  EXPECT_EQ(errorStatus, kStatusOk);
  EXPECT_FALSE(WorkBuffersPresent());  // released, whatever the outcome
  return intact;
}

struct PayloadCheck : ::testing::Test {
  std::vector<FileEntry> entries_ = {File("readme.txt", SampleText(3000, 1)), File("bin\\tool.dll", RandomBytes(700, 2)),
                                     File("docs\\guide.txt", SampleText(20000, 3))};
  Bytes image_;
  void SetUp() override {
    entries_[1].compType = 0;
    Pack(entries_, true);
    image_ = BuildArchive({}, entries_);
  }
};

TEST_F(PayloadCheck, OnlyAWholeArchiveWithAcceptableNamesPasses) {
  EXPECT_TRUE(Intact(image_));
  Bytes prefixed = image_;
  prefixed.insert(prefixed.begin(), 4096, 'M');  // as if behind a program's other bytes
  EXPECT_TRUE(Intact(prefixed));
  EXPECT_FALSE(VerifyArchiveImage(nullptr, 0));
  EXPECT_FALSE(Intact(Bytes(1000, 0)));
  for (size_t cut : {image_.size() - 1, image_.size() - 100, image_.size() / 2, size_t(60)}) {
    EXPECT_FALSE(Intact(Bytes(image_.begin(), image_.begin() + long(cut)))) << "cut at " << cut;
  }
  const size_t last = image_.size() - entries_[2].packed.size();
  for (size_t at : {size_t(10), size_t(40), image_.size() / 3, last + entries_[2].packed.size() / 2, last - 5}) {
    Bytes damaged = image_;
    damaged[at] ^= 0x24;
    EXPECT_FALSE(Intact(damaged)) << "byte " << at;
  }
  auto crc = entries_, size = entries_;
  crc[2].fileCrc = 0x12345678;
  EXPECT_FALSE(Intact(BuildArchive({}, crc)));
  size[0].unpackedSize = uint32_t(size[0].data.size() + 1);
  EXPECT_FALSE(Intact(BuildArchive({}, size)));
  EXPECT_FALSE(Intact(PackedArchive({File("..\\evil.txt", SampleText(100, 4))})));
  Bytes trailing = image_;
  trailing.insert(trailing.end(), {0, 0});
  EXPECT_FALSE(Intact(trailing));
}

TEST_F(PayloadCheck, SealCatchesEveryChangedByteOfImageOrSeal) {
  const Bytes seal = SealOf(image_);
  EXPECT_EQ(Bytes(seal.begin(), seal.begin() + 4), Bytes({'Q', 'M', 'K', 'S'}));
  EXPECT_TRUE(Intact(image_, &seal));
  for (size_t at = 0; at < image_.size(); at += 7) {
    Bytes damaged = image_;
    damaged[at] ^= 0x01;
    ASSERT_FALSE(Intact(damaged, &seal)) << "byte " << at;
  }
  EXPECT_FALSE(Intact(Bytes(image_.begin(), image_.end() - 1), &seal));
  for (size_t at = 0; at <= seal.size(); at++) {
    Bytes damaged = seal;
    at < seal.size() ? void(damaged[at] ^= 0x10) : damaged.pop_back();  // each byte, and one short
    EXPECT_FALSE(Intact(image_, &damaged)) << "seal byte " << at;
  }
  Bytes broken = image_;
  broken.push_back(0);
  const Bytes refused = PackedArchive({File("a\\..\\..\\x", SampleText(50, 5))}), brokenSeal = SealOf(broken),
              refusedSeal = SealOf(refused);
  EXPECT_FALSE(Intact(broken, &brokenSeal));
  EXPECT_FALSE(Intact(refused, &refusedSeal));
}

}  // namespace
