// setup_test.cpp - the installer's rules that need no window: the product
// leaf, which directories are accepted, the command line, and the check of
// the payload before anything is written.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive/status.h"
#include "archive/verify.h"
#include "front/setupoptions.h"
#include "support/archivebuilder.h"

namespace {

using qmktest::Bytes;
using qmktest::FileEntry;

std::string WithLeaf(std::string path, size_t capacity = kInstallDirChars) {
  char buffer[600] = {};
  strcpy(buffer, path.c_str());
  const bool fitted = AppendProductLeaf(buffer, capacity);
  return (fitted ? "" : "!") + std::string(buffer);
}

TEST(ProductLeaf, AddsOneBackslashAndTheLeaf) {
  EXPECT_EQ(WithLeaf("C:\\Program files\\"), "C:\\Program files\\QMK\\");
  EXPECT_EQ(WithLeaf("D:\\Apps"), "D:\\Apps\\QMK\\");
  EXPECT_EQ(WithLeaf("D:\\"), "D:\\QMK\\");  // a drive root: no doubled backslash
  EXPECT_EQ(WithLeaf(""), "");
}

TEST(ProductLeaf, RefusesWhatDoesNotFitAndLeavesThePath) {
  const std::string deep(254, 'a');  // + "\QMK\" = 259 characters: fits 260
  EXPECT_EQ(WithLeaf(deep), deep + "\\QMK\\");
  const std::string deeper(255, 'a');
  EXPECT_EQ(WithLeaf(deeper), "!" + deeper);
  EXPECT_EQ(WithLeaf("C:\\x\\", 9), "!C:\\x\\");  // 9 characters and the terminator need 10
  EXPECT_EQ(WithLeaf("C:\\x\\", 10), "C:\\x\\QMK\\");
  EXPECT_EQ(WithLeaf("C:\\x", 10), "C:\\x\\QMK\\");
  EXPECT_EQ(WithLeaf("C:\\xy", 10), "!C:\\xy");  // the "\" it adds counts too
}

TEST(InstallDirectory, AcceptsDrivePathsAndShares) {
  for (const char* good : {"C:\\", "C:\\Program files\\QMK\\", "e:\\Tools", "\\\\server\\share\\QMK\\",
                           "\\\\server\\share", "Z:\\a b\\c"}) {
    EXPECT_TRUE(InstallDirUsable(good)) << good;
  }
}

TEST(InstallDirectory, RefusesEmptyRelativeAndOverlongPaths) {
  for (const char* bad : {"", "\\", "\\QMK\\", "QMK", "C:", "C:QMK", "1:\\x", "C:/x", "\\\\server",
                          "\\\\server\\", "\\\\\\share\\x", "\\\\server\\\\x"}) {
    EXPECT_FALSE(InstallDirUsable(bad)) << bad;
  }
  // InstallDir holds 259 characters; a path without its final "\" needs one
  // more for it.
  std::string path = "C:\\" + std::string(255, 'a');
  EXPECT_TRUE(InstallDirUsable(path.c_str())) << path.size();  // 258 + "\"
  path += 'b';
  EXPECT_FALSE(InstallDirUsable(path.c_str()));                // 259 + "\" does not fit
  path.back() = '\\';
  EXPECT_TRUE(InstallDirUsable(path.c_str()));                 // 259 with its "\"
}

TEST(CommandLine, ProgramNameIsSkippedQuotedOrNot) {
  EXPECT_STREQ(SkipProgramName("\"C:\\My Files\\QuellmarkSetup.exe\"  /S"), "/S");
  EXPECT_STREQ(SkipProgramName("setup.exe /S /D=C:\\x"), "/S /D=C:\\x");
  EXPECT_STREQ(SkipProgramName("setup.exe"), "");
  EXPECT_STREQ(SkipProgramName("\"unterminated"), "");
}

TEST(CommandLine, NoArgumentsMeansTheSetupWindow) {
  const SetupOptions o = ParseSetupArguments("   ");
  EXPECT_TRUE(o.valid);
  EXPECT_FALSE(o.silent);
  EXPECT_FALSE(o.haveDir);
}

TEST(CommandLine, DirectoryRunsToTheEndOfTheLineWithSpaces) {
  const SetupOptions o = ParseSetupArguments("/S /D=C:\\Program files\\My QMK  ");
  EXPECT_TRUE(o.valid);
  EXPECT_TRUE(o.silent);
  ASSERT_TRUE(o.haveDir);
  EXPECT_STREQ(o.dir, "C:\\Program files\\My QMK");
  // Everything after /D= is the directory, even what looks like a switch.
  const SetupOptions p = ParseSetupArguments("/D=C:\\a /S");
  EXPECT_FALSE(p.silent);
  EXPECT_STREQ(p.dir, "C:\\a /S");
}

TEST(CommandLine, QuotedDirectoryArgumentIsTakenWithoutItsQuotes) {
  const SetupOptions o = ParseSetupArguments("/S \"/D=C:\\Test Dir\\Q\"");
  EXPECT_TRUE(o.valid);
  EXPECT_STREQ(o.dir, "C:\\Test Dir\\Q");
}

TEST(CommandLine, UnknownSwitchOrUnusableDirectoryIsInvalid) {
  EXPECT_FALSE(ParseSetupArguments("/X").valid);
  EXPECT_FALSE(ParseSetupArguments("/SS").valid);
  EXPECT_FALSE(ParseSetupArguments("S").valid);
  EXPECT_FALSE(ParseSetupArguments("/D=relative\\dir").valid);
  EXPECT_FALSE(ParseSetupArguments("/D=").valid);
  EXPECT_FALSE(ParseSetupArguments(("/D=C:\\" + std::string(300, 'x')).c_str()).valid);
  // /S still counts next to a wrong switch, so the refusal stays silent.
  const SetupOptions o = ParseSetupArguments("/Q /S");
  EXPECT_FALSE(o.valid);
  EXPECT_TRUE(o.silent);
  EXPECT_TRUE(ParseSetupArguments("/s").silent);
}

// The payload check.
Bytes SampleArchive(std::vector<FileEntry>& entries) {
  entries = {qmktest::File("readme.txt", qmktest::SampleText(3000, 1)), qmktest::File("bin\\tool.dll", qmktest::RandomBytes(700, 2)),
             qmktest::File("docs\\guide.txt", qmktest::SampleText(20000, 3))};
  entries[1].compType = 0;
  qmktest::Pack(entries, true);
  return qmktest::BuildArchive({}, entries);
}

bool Verify(const Bytes& image) {
  errorStatus = kStatusOk;
  const bool intact = VerifyArchiveImage(image.data(), uint32_t(image.size()));
  EXPECT_EQ(errorStatus, kStatusOk) << "the check leaves no status behind";
  return intact;
}

TEST(PayloadCheck, IntactArchiveBehindAnyPrefixPasses) {
  std::vector<FileEntry> entries;
  Bytes image = SampleArchive(entries);
  EXPECT_TRUE(Verify(image));
  Bytes prefixed = image;
  prefixed.insert(prefixed.begin(), 4096, 'M');  // as if behind a program's other bytes
  EXPECT_TRUE(Verify(prefixed));
}

TEST(PayloadCheck, MissingOrCutArchiveFails) {
  std::vector<FileEntry> entries;
  const Bytes image = SampleArchive(entries);
  EXPECT_FALSE(VerifyArchiveImage(nullptr, 0));
  EXPECT_FALSE(Verify(Bytes(1000, 0)));
  for (size_t cut : {image.size() - 1, image.size() - 100, image.size() / 2, size_t(60)}) {
    EXPECT_FALSE(Verify(Bytes(image.begin(), image.begin() + long(cut)))) << cut;
  }
}

TEST(PayloadCheck, DamagedBytesAnywhereFail) {
  std::vector<FileEntry> entries;
  const Bytes image = SampleArchive(entries);
  // A byte of the main header, of each file header, of stored data and
  // inside each compressed stream.
  const size_t last = image.size() - entries[2].packed.size();
  for (size_t at : {size_t(10), size_t(40), image.size() / 3, last + entries[2].packed.size() / 2, last - 5}) {
    Bytes damaged = image;
    damaged[at] ^= 0x24;
    EXPECT_FALSE(Verify(damaged)) << "byte " << at;
  }
}

TEST(PayloadCheck, WrongFileCrcOrSizeFails) {
  std::vector<FileEntry> entries;
  SampleArchive(entries);
  auto crc = entries;
  crc[2].fileCrc = 0x12345678;
  EXPECT_FALSE(Verify(qmktest::BuildArchive({}, crc)));
  auto size = entries;
  size[0].unpackedSize = uint32_t(size[0].data.size() + 1);
  EXPECT_FALSE(Verify(qmktest::BuildArchive({}, size)));
}

TEST(PayloadCheck, EntryTheExtractionWouldRefuseFails) {
  std::vector<FileEntry> entries = {qmktest::File("..\\evil.txt", qmktest::SampleText(100, 4))};
  qmktest::Pack(entries, true);
  EXPECT_FALSE(Verify(qmktest::BuildArchive({}, entries)));
}

TEST(PayloadCheck, TrailingBytesAfterTheLastHeaderFail) {
  std::vector<FileEntry> entries;
  Bytes image = SampleArchive(entries);
  image.push_back(0);
  image.push_back(0);
  EXPECT_FALSE(Verify(image));
}

}  // namespace

namespace {

Bytes SealOf(const Bytes& image) {
  Bytes seal(kSealSize);
  MakeSeal(image.data(), uint32_t(image.size()), seal.data());
  return seal;
}

bool SealedIntact(const Bytes& image, const Bytes& seal) {
  errorStatus = kStatusOk;
  const bool intact = SealedImageIntact(image.data(), uint32_t(image.size()), seal.data(), uint32_t(seal.size()));
  EXPECT_EQ(errorStatus, kStatusOk);
  return intact;
}

TEST(PayloadSeal, SealOfTheImageItselfPasses) {
  std::vector<FileEntry> entries;
  const Bytes image = SampleArchive(entries);
  const Bytes seal = SealOf(image);
  EXPECT_EQ(Bytes(seal.begin(), seal.begin() + 4), Bytes({'Q', 'M', 'K', 'S'}));
  EXPECT_TRUE(SealedIntact(image, seal));
}

TEST(PayloadSeal, EveryChangedByteIsCaught) {
  std::vector<FileEntry> entries;
  const Bytes image = SampleArchive(entries);
  const Bytes seal = SealOf(image);
  // Unlike the decoding check, the seal also catches changes that decode
  // the same (padding bits at the end of a stream).
  for (size_t at = 0; at < image.size(); at += 7) {
    Bytes damaged = image;
    damaged[at] ^= 0x01;
    ASSERT_FALSE(SealedIntact(damaged, seal)) << "byte " << at;
  }
}

TEST(PayloadSeal, WrongSizeOrDamagedSealFails) {
  std::vector<FileEntry> entries;
  const Bytes image = SampleArchive(entries);
  const Bytes seal = SealOf(image);
  EXPECT_FALSE(SealedIntact(Bytes(image.begin(), image.end() - 1), seal));
  for (size_t at = 0; at < seal.size(); at++) {
    Bytes damaged = seal;
    damaged[at] ^= 0x10;
    EXPECT_FALSE(SealedIntact(image, damaged)) << "seal byte " << at;
  }
  EXPECT_FALSE(SealedIntact(image, Bytes(seal.begin(), seal.end() - 1)));
}

TEST(PayloadSeal, SealMadeOverABrokenChainStillFails) {
  std::vector<FileEntry> entries;
  Bytes image = SampleArchive(entries);
  image.push_back(0);  // the chain no longer ends at the image's end
  EXPECT_FALSE(SealedIntact(image, SealOf(image)));
  std::vector<FileEntry> evil = {qmktest::File("a\\..\\..\\x", qmktest::SampleText(50, 5))};
  qmktest::Pack(evil, true);
  const Bytes refused = qmktest::BuildArchive({}, evil);
  EXPECT_FALSE(SealedIntact(refused, SealOf(refused)));
}

}  // namespace
