// reader_test.cpp - CRC, signature scan, header chain and packed-byte
// hand-out, including every way a damaged chain can end.
#include <algorithm>
#include <cstring>

#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"
#include "tests/testenv.h"

using namespace qmktest;

namespace {

std::vector<FileEntry> StoredEntries() {
  std::vector<FileEntry> e(2);
  e[0].name = "a.txt";
  e[0].data = SampleText(1000, 1);
  e[0].compType = 0;
  e[1].name = "b.txt";
  e[1].data = SampleText(500, 2);
  e[1].compType = 0;
  Pack(e, true);
  return e;
}

Bytes Junk(size_t n, uint32_t seed) {
  Bytes b = RandomBytes(n, seed);
  for (size_t i = 0; i + 1 < n; i++) {
    if (b[i] == '*' && b[i + 1] == '*') b[i] = 0;  // no accidental signatures
  }
  return b;
}

}  // namespace

using CrcTest = PhaseTest;

TEST_F(CrcTest, KnownRegisterValues) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(UpdateCrc(kCrcStart, abc, 3), 0xCADBBE3Du);
  EXPECT_EQ(UpdateCrc(kCrcStart, abc, 3) & 0xFFFF, 0xBE3Du);
  EXPECT_EQ(~UpdateCrc(kCrcStart, abc, 3), 0x352441C2u);  // the standard CRC-32
  EXPECT_EQ(UpdateCrc(kCrcStart, abc, 0), 0xFFFFFFFFu);
}

// Compares UpdateCrc, on whichever path reader.crcClmul selects, with the
// bitwise reference: every length 0..300 at every start offset 0..15 (the
// path boundary at 64 bytes, partial 16-byte blocks and 8-byte steps, every
// tail length), from the start value and from an arbitrary register, then a
// large buffer in one go and in uneven pieces.
static void ExpectCrcMatchesReference(int maxLength = 300) {
  const Bytes data = RandomBytes(1u << 20, 42);
  int mismatches = 0;
  for (int start = 0; start < 16; start++) {
    for (int length = 0; length <= maxLength; length++) {
      const uint8_t* p = data.data() + start;
      for (const uint32_t reg : {kCrcStart, 0x5A0F3C96u}) {
        const uint32_t want = ReferenceCrc(p, size_t(length), reg);
        const uint32_t got = UpdateCrc(reg, p, length);
        if (got != want && mismatches++ < 5) {
          ADD_FAILURE() << "start " << start << " length " << length << " register " << std::hex << reg
                        << ": got " << got << ", want " << want;
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0);

  const uint32_t whole = ReferenceCrc(data);
  EXPECT_EQ(UpdateCrc(kCrcStart, data.data(), int32_t(data.size())), whole);
  // Running the register in pieces gives the same value as in one go.
  const int32_t pieces[] = {1, 63, 64, 65, 777, 2048, 15, 4095, 127, 128, 129};
  uint32_t c = kCrcStart;
  size_t at = 0;
  for (int k = 0; at < data.size(); k++) {
    const size_t n = std::min(data.size() - at, size_t(pieces[k % 11]));
    c = UpdateCrc(c, data.data() + at, int32_t(n));
    at += n;
  }
  EXPECT_EQ(c, whole);
}

TEST_F(CrcTest, TablePathMatchesBitwiseReference) {
  reader.crcClmul = false;
  reader.crcWide = false;
  ExpectCrcMatchesReference();
}

TEST_F(CrcTest, CarryLessPathMatchesBitwiseReference) {
  // The table build turns the path on exactly when the processor has it.
  EXPECT_EQ(reader.crcClmul, CpuHasClmul());
  if (!CpuHasClmul()) GTEST_SKIP() << "no PCLMULQDQ on this processor";
  reader.crcWide = false;
  ExpectCrcMatchesReference();
}

TEST_F(CrcTest, WideCarryLessPathMatchesBitwiseReference) {
  EXPECT_EQ(reader.crcWide, CpuHasClmul() && CpuHasWideClmul());
  if (!reader.crcWide) GTEST_SKIP() << "no VPCLMULQDQ on this processor";
  // Past two steps of 128 bytes, the 16-byte steps and every tail.
  ExpectCrcMatchesReference(560);
}

using SignatureScanTest = PhaseTest;

TEST_F(SignatureScanTest, ArchiveAtStartIsFoundOnFirstCandidate) {
  const Bytes a = BuildArchive({}, StoredEntries());
  ASSERT_TRUE(Open(a));
  EXPECT_EQ(reader.archiveStart, 0u);
  EXPECT_EQ(reader.readPos, 31u);  // 4 + the main header's size field of 27
  EXPECT_EQ(headerRecord.headerType, 0);
  EXPECT_TRUE(reader.solidArchive);
  EXPECT_EQ(memcmp(headerRecord.main.signature, "**ACE**", 7), 0);
  EXPECT_EQ(headerRecord.main.byte14, 10);
  EXPECT_EQ(headerRecord.main.byte15, 12);
}

TEST_F(SignatureScanTest, SolidFlagComesFromTheMainHeader) {
  MainSpec m;
  m.flags = 0;
  ASSERT_TRUE(Open(BuildArchive(m, StoredEntries())));
  EXPECT_FALSE(reader.solidArchive);
}

TEST_F(SignatureScanTest, FindsArchiveBehindFortyThousandBytesOfJunk) {
  Bytes img = Junk(40000, 7);
  const Bytes a = BuildArchive({}, StoredEntries());
  img.insert(img.end(), a.begin(), a.end());
  ASSERT_TRUE(Open(img));
  EXPECT_EQ(reader.archiveStart, 40000u);
  EXPECT_EQ(reader.readPos, 40031u);
  ASSERT_TRUE(ReadNextHeader());
  EXPECT_EQ(headerRecord.headerType, 1);
}

TEST_F(SignatureScanTest, SignatureMustLieWithinTheFirst64KiB) {
  const Bytes a = BuildArchive({}, StoredEntries());
  // Signature at 65,529: its last byte is image byte 65,535. Found.
  Bytes img = Junk(65529 - 7, 8);
  img.insert(img.end(), a.begin(), a.end());
  EXPECT_TRUE(Open(img));
  // One byte later it is not.
  img = Junk(65530 - 7, 8);
  img.insert(img.end(), a.begin(), a.end());
  EXPECT_FALSE(Open(img));
}

TEST_F(SignatureScanTest, EveryWindowOffsetIsScanned) {
  // Archives starting at each offset around the 512-byte window steps.
  const Bytes a = BuildArchive({}, StoredEntries());
  for (size_t junk : {1u, 505u, 506u, 511u, 512u, 1010u, 1017u, 1018u, 1024u, 1530u, 2048u}) {
    Bytes img = Junk(junk, uint32_t(junk));
    img.insert(img.end(), a.begin(), a.end());
    ASSERT_TRUE(Open(img)) << "junk " << junk;
    EXPECT_EQ(reader.archiveStart, junk);
  }
}

TEST_F(SignatureScanTest, SignatureBeforeOffsetSevenIsNoCandidate) {
  for (size_t at = 0; at < 7; at++) {
    Bytes img(200, 0);
    memcpy(img.data() + at, "**ACE**", 7);
    EXPECT_FALSE(Open(img)) << at;
  }
}

TEST_F(SignatureScanTest, FalseSignatureWithBadCrcIsPassedOver) {
  Bytes img = Junk(300, 9);
  // A copy of a main header with one byte changed: signature, wrong CRC.
  Bytes fake = MainHeader();
  fake[20] ^= 0x55;
  img.insert(img.begin() + 100, fake.begin(), fake.end());
  const Bytes a = BuildArchive({}, StoredEntries());
  img.insert(img.end(), a.begin(), a.end());
  ASSERT_TRUE(Open(img));
  EXPECT_EQ(reader.archiveStart, 300u + fake.size());
}

TEST_F(SignatureScanTest, ImagesWithoutArchive) {
  EXPECT_FALSE(Open({}));
  EXPECT_FALSE(Open(Junk(100000, 3)));
  EXPECT_FALSE(OpenArchiveImage(nullptr, 0));
  // A signature whose header would reach past the end of the image.
  Bytes cut = MainHeader();
  cut.resize(cut.size() - 1);
  EXPECT_FALSE(Open(cut));
}

TEST_F(SignatureScanTest, NothingIsReadWithoutWorkBuffers) {
  const Bytes a = BuildArchive({}, StoredEntries());
  ReleaseWorkBuffers();
  EXPECT_FALSE(Open(a));
}

using HeaderChainTest = PhaseTest;

TEST_F(HeaderChainTest, ReadsFileHeaderFields) {
  std::vector<FileEntry> e(1);
  e[0].name = "Plugins\\x.dll";
  e[0].data = SampleText(700, 4);
  e[0].compType = 0;
  e[0].attributes = 0x821;
  e[0].fileTime = 0x26A38600;
  e[0].compParam = 10;
  Pack(e, true);
  ASSERT_TRUE(Open(BuildArchive({}, e)));
  ASSERT_TRUE(ReadNextHeader());
  const AceFileView& f = headerRecord.file;
  EXPECT_EQ(headerRecord.headerType, 1);
  EXPECT_EQ(headerRecord.flags, 0x8001);
  EXPECT_EQ(f.packedSize, 700u);
  EXPECT_EQ(f.unpackedSize, 700u);
  EXPECT_EQ(f.fileTime, 0x26A38600u);
  EXPECT_EQ(f.attributes, 0x821u);
  EXPECT_EQ(f.fileCrc, ReferenceCrc(e[0].data));
  EXPECT_EQ(f.compType, 0);
  EXPECT_EQ(f.byte28, 5);
  EXPECT_EQ(f.compParam, 10);
  EXPECT_EQ(f.nameLength, 13);
  EXPECT_EQ(memcmp(f.variable, "Plugins\\x.dll", 13), 0);
  EXPECT_EQ(reader.pendingBytes, 700u);
}

TEST_F(HeaderChainTest, UnconsumedDataIsSkipped) {
  const auto e = StoredEntries();
  ASSERT_TRUE(Open(BuildArchive({}, e)));
  ASSERT_TRUE(ReadNextHeader());
  uint8_t buf[100];
  EXPECT_EQ(ReadPackedBytes(buf, 100), 100);  // partly consumed
  ASSERT_TRUE(ReadNextHeader());
  EXPECT_EQ(memcmp(headerRecord.file.variable, "b.txt", 5), 0);
  // Not consumed at all.
  EXPECT_FALSE(ReadNextHeader());
  EXPECT_EQ(reader.chainEnd, ChainEnd::kImageEnd);
}

TEST_F(HeaderChainTest, PackedBytesAreHandedOutUpToThePendingCount) {
  std::vector<FileEntry> e(1);
  e[0].name = "x";
  e[0].data = RandomBytes(1000, 5);
  e[0].compType = 0;
  Pack(e, true);
  ASSERT_TRUE(Open(BuildArchive({}, e)));
  ASSERT_TRUE(ReadNextHeader());
  std::vector<uint8_t> buf(4096);
  EXPECT_EQ(ReadPackedBytes(buf.data(), 4096), 1000);
  EXPECT_EQ(memcmp(buf.data(), e[0].data.data(), 1000), 0);
  EXPECT_EQ(ReadPackedBytes(buf.data(), 4096), 0);
  EXPECT_EQ(ReadPackedBytes(buf.data(), 0), 0);
}

TEST_F(HeaderChainTest, NoPackedBytesWhileStatusIsSet) {
  ASSERT_TRUE(Open(BuildArchive({}, StoredEntries())));
  ASSERT_TRUE(ReadNextHeader());
  errorStatus = kStatusShortWrite;
  uint8_t buf[16];
  EXPECT_EQ(ReadPackedBytes(buf, 16), 0);
  // The chain itself can still be walked.
  EXPECT_TRUE(ReadNextHeader());
}

TEST_F(HeaderChainTest, LongHeaderIsCheckedWholeAndHeldInPart) {
  std::vector<FileEntry> e(2);
  e[0].name = "long.txt";
  e[0].data = SampleText(100, 1);
  e[0].compType = 0;
  e[0].trailer = RandomBytes(3000 - 31 - 8, 6);  // size field 3000
  e[1].name = "next.txt";
  e[1].data = SampleText(10, 2);
  e[1].compType = 0;
  Pack(e, true);
  const Bytes a = BuildArchive({}, e);
  ASSERT_TRUE(Open(a));
  ASSERT_TRUE(ReadNextHeader());
  EXPECT_EQ(headerRecord.headerSize, 3000);
  EXPECT_EQ(reader.readPos, 31u + 4 + 3000);
  EXPECT_EQ(memcmp(headerRecord.file.variable, "long.txt", 8), 0);
  EXPECT_EQ(memcmp(headerRecord.file.variable + 8, e[0].trailer.data(), 2009 - 8), 0);
  EXPECT_EQ(reader.pendingBytes, 100u);
  ASSERT_TRUE(ReadNextHeader());
  EXPECT_EQ(memcmp(headerRecord.file.variable, "next.txt", 8), 0);

  // A change past the held 2,040 bytes still breaks the CRC.
  Bytes bad = a;
  bad[31 + 4 + 2900] ^= 1;
  ASSERT_TRUE(Open(bad));
  EXPECT_FALSE(ReadNextHeader());
  EXPECT_EQ(reader.chainEnd, ChainEnd::kBadHeaderCrc);
}

TEST_F(HeaderChainTest, BadCrcEndsTheChainEvenWithIntactHeadersBehind) {
  Bytes a = BuildArchive({}, StoredEntries());
  const size_t second = 31 + 4 + 31 + 5 + 1000;
  a[second + 10] ^= 0xFF;
  ASSERT_TRUE(Open(a));
  EXPECT_TRUE(ReadNextHeader());
  EXPECT_FALSE(ReadNextHeader());
  EXPECT_EQ(reader.chainEnd, ChainEnd::kBadHeaderCrc);
  EXPECT_EQ(reader.headerStart, second);
}

TEST_F(HeaderChainTest, PackedDataCutShortByTheImageEnd) {
  Bytes a = BuildArchive({}, StoredEntries());
  a.resize(a.size() - 200);  // the second entry's 500 bytes lose 200
  ASSERT_TRUE(Open(a));
  ASSERT_TRUE(ReadNextHeader());
  ASSERT_TRUE(ReadNextHeader());
  std::vector<uint8_t> buf(1000);
  EXPECT_EQ(ReadPackedBytes(buf.data(), 1000), 300);
  EXPECT_EQ(errorStatus, kStatusReadFailed);
  EXPECT_EQ(ReadPackedBytes(buf.data(), 1000), 0);
  EXPECT_FALSE(ReadNextHeader());
  EXPECT_EQ(reader.chainEnd, ChainEnd::kTruncated);
}

TEST_F(HeaderChainTest, UnreadDataPastTheImageEndEndsTheChain) {
  Bytes a = BuildArchive({}, StoredEntries());
  a.resize(a.size() - 1);
  ASSERT_TRUE(Open(a));
  ASSERT_TRUE(ReadNextHeader());
  ASSERT_TRUE(ReadNextHeader());
  EXPECT_FALSE(ReadNextHeader());
  EXPECT_EQ(reader.chainEnd, ChainEnd::kTruncated);
  EXPECT_EQ(errorStatus, kStatusOk);
}

TEST_F(HeaderChainTest, HeaderCutShort) {
  const Bytes whole = BuildArchive({}, StoredEntries());
  const size_t second = 31 + 4 + 31 + 5 + 1000;
  for (size_t keep : {second + 1, second + 3, second + 4, second + 20}) {
    Bytes a(whole.begin(), whole.begin() + long(keep));
    ASSERT_TRUE(Open(a));
    ASSERT_TRUE(ReadNextHeader());
    EXPECT_FALSE(ReadNextHeader()) << keep;
    EXPECT_EQ(reader.chainEnd, ChainEnd::kTruncated) << keep;
  }
}

TEST_F(HeaderChainTest, HeadersTooShortForTheirFieldsAreRefused) {
  Bytes a = MainHeader();
  // A file header of 20 bytes (fields need 31) with a correct CRC.
  const Bytes shortFile = Header(1, 0, Bytes(17, 0));
  a.insert(a.end(), shortFile.begin(), shortFile.end());
  ASSERT_TRUE(Open(a));
  EXPECT_FALSE(ReadNextHeader());
  EXPECT_EQ(reader.chainEnd, ChainEnd::kMalformed);

  // A name length that runs past the header's end.
  std::vector<FileEntry> e(1);
  e[0].name = "abc";
  e[0].compType = 0;
  Bytes b = MainHeader();
  const size_t at = b.size();
  Bytes h = FileHeader(e[0]);
  h[33] = 200;  // name length field (offset 33), low byte
  b.insert(b.end(), h.begin(), h.end());
  FixHeaderCrc(b, at);
  ASSERT_TRUE(Open(b));
  EXPECT_FALSE(ReadNextHeader());
  EXPECT_EQ(reader.chainEnd, ChainEnd::kMalformed);

  // A header of two bytes cannot even hold its type and flags.
  Bytes c = MainHeader();
  const Bytes tiny = {0, 0, 2, 0, 1, 0};
  c.insert(c.end(), tiny.begin(), tiny.end());
  FixHeaderCrc(c, c.size() - 6);
  ASSERT_TRUE(Open(c));
  EXPECT_FALSE(ReadNextHeader());
  EXPECT_EQ(reader.chainEnd, ChainEnd::kMalformed);
}

TEST_F(HeaderChainTest, OtherHeaderTypesArePassedOverWithTheirData) {
  const auto e = StoredEntries();
  Bytes a = MainHeader();
  Bytes rest = {100, 0, 0, 0};  // 100 bytes of additional data
  const Bytes other = Header(7, 0x0001, rest);
  a.insert(a.end(), other.begin(), other.end());
  const Bytes junk = RandomBytes(100, 1);
  a.insert(a.end(), junk.begin(), junk.end());
  const Bytes fh = FileHeader(e[0]);
  a.insert(a.end(), fh.begin(), fh.end());
  a.insert(a.end(), e[0].packed.begin(), e[0].packed.end());
  ASSERT_TRUE(Open(a));
  ASSERT_TRUE(ReadNextHeader());
  EXPECT_EQ(headerRecord.headerType, 7);
  ASSERT_TRUE(ReadNextHeader());
  EXPECT_EQ(headerRecord.headerType, 1);
  EXPECT_EQ(memcmp(headerRecord.file.variable, "a.txt", 5), 0);
  EXPECT_FALSE(ReadNextHeader());
  EXPECT_EQ(reader.chainEnd, ChainEnd::kImageEnd);
}
