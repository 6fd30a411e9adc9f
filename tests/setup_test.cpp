// setup_test.cpp - the installer's rules that need no window: the product
// leaf, which directories are accepted, the command line, and the check of
// the payload before anything is written.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive/status.h"
#include "archive/verify.h"
#include "front/setupoptions.h"
#include "platform/memfs.h"
#include "support/archivebuilder.h"

namespace {

using qmktest::Bytes;
using qmktest::FileEntry;

// "!" before the path when the leaf did not fit and the path was left.
TEST(ProductLeaf, AddsOneBackslashAndTheLeafWhereItFits) {
  const std::string deep(254, 'a');  // + "\QMK\" = 259 characters: fits 260
  const struct {
    std::string path;
    size_t capacity;
    std::string want;
  } cases[] = {
      {"C:\\Program files\\", kInstallDirChars, "C:\\Program files\\QMK\\"},
      {"D:\\Apps", kInstallDirChars, "D:\\Apps\\QMK\\"},
      {"D:\\", kInstallDirChars, "D:\\QMK\\"},
      {"", kInstallDirChars, ""},
      {deep, kInstallDirChars, deep + "\\QMK\\"},
      {deep + "a", kInstallDirChars, "!" + deep + "a"},
      {"C:\\x\\", 9, "!C:\\x\\"},  // 9 characters and the terminator need 10
      {"C:\\x\\", 10, "C:\\x\\QMK\\"},
      {"C:\\x", 10, "C:\\x\\QMK\\"},
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
  // InstallDir holds 259 characters; a path without its final "\" needs one
  // more for it.
  const std::string fits = "C:\\" + std::string(255, 'a');
  for (const std::string& good : {std::string("C:\\"), std::string("C:\\Program files\\QMK\\"), std::string("e:\\Tools"),
                                  std::string("\\\\server\\share\\QMK\\"), std::string("\\\\server\\share"),
                                  std::string("Z:\\a b\\c"), fits, fits + "\\"}) {
    EXPECT_TRUE(InstallDirUsable(good.c_str())) << good;
  }
  for (const std::string& bad : {"", "\\", "\\QMK\\", "QMK", "C:", "C:QMK", "1:\\x", "C:/x", "\\\\server",
                                 "\\\\server\\", "\\\\\\share\\x", "\\\\server\\\\x"}) {
    EXPECT_FALSE(InstallDirUsable(bad.c_str())) << bad;
  }
  EXPECT_FALSE(InstallDirUsable((fits + "b").c_str()));
}

TEST(CommandLine, ProgramNameIsSkippedQuotedOrNot) {
  EXPECT_STREQ(SkipProgramName("\"C:\\My Files\\QuellmarkSetup.exe\"  /S"), "/S");
  EXPECT_STREQ(SkipProgramName("setup.exe /S /D=C:\\x"), "/S /D=C:\\x");
  EXPECT_STREQ(SkipProgramName("setup.exe"), "");
  EXPECT_STREQ(SkipProgramName("\"unterminated"), "");
}

TEST(CommandLine, SwitchesAnywhereAndTheDirectoryQuotedOrToTheEndOfTheLine) {
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
      {"/X", false, false, false, ""},
      {"/SS", false, false, false, ""},
      {"S", false, false, false, ""},
      {"/Q /S", false, true, false, ""},  // /S still counts, so the refusal stays silent
      {"/s", true, true, false, ""},
  };
  for (const auto& c : cases) {
    const SetupOptions o = ParseSetupArguments(c.line);
    EXPECT_EQ(o.valid, c.valid) << c.line;
    EXPECT_EQ(o.silent, c.silent) << c.line;
    EXPECT_EQ(o.haveDir, c.haveDir) << c.line;
    EXPECT_STREQ(o.dir, c.dir) << c.line;
  }
  // A longer directory is cut to what the buffer holds; no payload fits it.
  EXPECT_EQ(strlen(ParseSetupArguments(("/D=C:\\" + std::string(300, 'x')).c_str()).dir), kInstallDirChars - 1);
}

// Every directory the installation would fail in is refused before
// anything is written, with the reason.
TEST(InstallDirectory, RefusedBeforeAnythingIsWrittenWithTheReason) {
  memfs::Install();
  memfs::MakeDirs("C:\\Program files");
  memfs::PutFile("C:\\file.txt", "the user's");
  const std::string fit238 = "C:\\" + std::string(235, 'a');  // 238 characters: with "\" and 20 more, 259
  const char* const kCharacter = "a name in it holds a character that Windows does not allow";
  const struct {
    std::string dir;
    size_t longestEntry;
    const char* reason;  // null: accepted
  } cases[] = {
      {"C:\\Program files\\QMK", 20, nullptr},
      {"C:\\New\\Deeper\\QMK\\", 20, nullptr},
      {fit238, 20, nullptr},
      {fit238 + "b", 20, "it is too long: at most 238 characters fit"},
      {fit238 + "bcdef", 5, nullptr},  // "uninstall.list" is the longest: 244 fit
      {fit238 + "bcdefgh", 5, "it is too long: at most 244 characters fit"},
      {"Q:\\QMK", 20, "its drive or network share does not exist"},
      {"\\\\server\\share\\QMK", 20, "its drive or network share does not exist"},
      {"C:\\a<b\\QMK", 20, kCharacter},
      {"C:\\a>b", 20, kCharacter},
      {"C:\\a|b", 20, kCharacter},
      {"C:\\a\"b", 20, kCharacter},
      {"C:\\a*b", 20, kCharacter},
      {"C:\\a?b\\QMK", 20, kCharacter},
      {"C:\\a:b", 20, kCharacter},
      {"C:\\a/b", 20, kCharacter},
      {"C:\\a\tb", 20, kCharacter},
      {"C:\\trail dots...", 20, "a name in it ends with a dot or a space"},
      {"C:\\space \\QMK", 20, "a name in it ends with a dot or a space"},
      {"C:\\file.txt\\QMK", 20, "a file stands where one of its directories must be"},
      {"C:\\file.txt", 20, "a file stands where one of its directories must be"},
  };
  for (const auto& c : cases) {
    char message[512] = "untouched";
    EXPECT_EQ(DirectoryRefused(c.dir.c_str(), c.longestEntry, message, sizeof message), c.reason != nullptr) << c.dir;
    if (c.reason) {
      EXPECT_EQ(std::string(message), std::string("Quellmark cannot be installed into this directory: ") + c.reason +
                                          ".\r\nPlease choose another directory.")
          << c.dir;
    }
  }
  EXPECT_EQ(memfs::Tree(), (std::vector<std::string>{"C:\\file.txt", "C:\\Program files\\"}));  // nothing written
  platform = &kNativePlatform;
}

// ---- the payload check at start: decoding, and the seal --------------------------

Bytes SampleArchive(std::vector<FileEntry>* entries = nullptr) {
  std::vector<FileEntry> e = {qmktest::File("readme.txt", qmktest::SampleText(3000, 1)),
                              qmktest::File("bin\\tool.dll", qmktest::RandomBytes(700, 2)),
                              qmktest::File("docs\\guide.txt", qmktest::SampleText(20000, 3))};
  e[1].compType = 0;
  qmktest::Pack(e, true);
  if (entries) *entries = e;
  return qmktest::BuildArchive({}, e);
}

Bytes Packed(std::vector<FileEntry> entries) {
  qmktest::Pack(entries, true);
  return qmktest::BuildArchive({}, entries);
}

Bytes SealOf(const Bytes& image) {
  Bytes seal(kSealSize);
  MakeSeal(image.data(), uint32_t(image.size()), seal.data());
  return seal;
}

// Both checks leave no status behind.
bool Verify(const Bytes& image) {
  errorStatus = kStatusOk;
  const bool intact = VerifyArchiveImage(image.data(), uint32_t(image.size()));
  EXPECT_EQ(errorStatus, kStatusOk);
  return intact;
}

bool SealedIntact(const Bytes& image, const Bytes& seal) {
  errorStatus = kStatusOk;
  const bool intact = SealedImageIntact(image.data(), uint32_t(image.size()), seal.data(), uint32_t(seal.size()));
  EXPECT_EQ(errorStatus, kStatusOk);
  return intact;
}

TEST(PayloadCheck, OnlyAWholeArchiveWithAcceptableNamesPasses) {
  std::vector<FileEntry> entries;
  const Bytes image = SampleArchive(&entries);
  EXPECT_TRUE(Verify(image));
  Bytes prefixed = image;
  prefixed.insert(prefixed.begin(), 4096, 'M');  // as if behind a program's other bytes
  EXPECT_TRUE(Verify(prefixed));
  EXPECT_FALSE(VerifyArchiveImage(nullptr, 0));
  EXPECT_FALSE(Verify(Bytes(1000, 0)));
  for (size_t cut : {image.size() - 1, image.size() - 100, image.size() / 2, size_t(60)}) {
    EXPECT_FALSE(Verify(Bytes(image.begin(), image.begin() + long(cut)))) << "cut at " << cut;
  }
  // A byte of the main header, of each file header, of stored data and
  // inside each compressed stream.
  const size_t last = image.size() - entries[2].packed.size();
  for (size_t at : {size_t(10), size_t(40), image.size() / 3, last + entries[2].packed.size() / 2, last - 5}) {
    Bytes damaged = image;
    damaged[at] ^= 0x24;
    EXPECT_FALSE(Verify(damaged)) << "byte " << at;
  }
  auto crc = entries;
  crc[2].fileCrc = 0x12345678;
  EXPECT_FALSE(Verify(qmktest::BuildArchive({}, crc)));
  auto size = entries;
  size[0].unpackedSize = uint32_t(size[0].data.size() + 1);
  EXPECT_FALSE(Verify(qmktest::BuildArchive({}, size)));
  EXPECT_FALSE(Verify(Packed({qmktest::File("..\\evil.txt", qmktest::SampleText(100, 4))})));
  Bytes trailing = image;
  trailing.insert(trailing.end(), {0, 0});
  EXPECT_FALSE(Verify(trailing));
}

TEST(PayloadSeal, CatchesEveryChangedByteOfImageOrSeal) {
  const Bytes image = SampleArchive();
  const Bytes seal = SealOf(image);
  EXPECT_EQ(Bytes(seal.begin(), seal.begin() + 4), Bytes({'Q', 'M', 'K', 'S'}));
  EXPECT_TRUE(SealedIntact(image, seal));
  // Unlike the decoding check, the seal also catches changes that decode
  // the same (padding bits at the end of a stream).
  for (size_t at = 0; at < image.size(); at += 7) {
    Bytes damaged = image;
    damaged[at] ^= 0x01;
    ASSERT_FALSE(SealedIntact(damaged, seal)) << "byte " << at;
  }
  EXPECT_FALSE(SealedIntact(Bytes(image.begin(), image.end() - 1), seal));
  for (size_t at = 0; at < seal.size(); at++) {
    Bytes damaged = seal;
    damaged[at] ^= 0x10;
    EXPECT_FALSE(SealedIntact(image, damaged)) << "seal byte " << at;
  }
  EXPECT_FALSE(SealedIntact(image, Bytes(seal.begin(), seal.end() - 1)));
  // A seal made over a broken chain or a refused name does not vouch for it.
  Bytes broken = image;
  broken.push_back(0);
  EXPECT_FALSE(SealedIntact(broken, SealOf(broken)));
  const Bytes refused = Packed({qmktest::File("a\\..\\..\\x", qmktest::SampleText(50, 5))});
  EXPECT_FALSE(SealedIntact(refused, SealOf(refused)));
}

}  // namespace
