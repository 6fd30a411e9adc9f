// reader_test.cpp - CRC, signature scan, header chain and packed-byte
// hand-out, including every way a damaged chain can end.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"
#include "tests/testenv.h"

using namespace qmktest;

namespace {

// Two stored entries, a.txt (1,000 bytes) and b.txt (500); the second
// header starts at kSecond.
const Bytes& TwoEntries() {
  static const Bytes archive = [] {
    std::vector<FileEntry> e = {File("a.txt", SampleText(1000, 1)), File("b.txt", SampleText(500, 2))};
    e[0].compType = e[1].compType = 0;
    Pack(e, true);
    return BuildArchive({}, e);
  }();
  return archive;
}
constexpr size_t kSecond = 31 + 4 + 31 + 5 + 1000;

Bytes Junk(size_t n, uint32_t seed) {
  Bytes b = RandomBytes(n, seed);
  std::replace(b.begin(), b.end(), uint8_t('*'), uint8_t(0));  // no accidental signatures
  return b;
}

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

using Crc = PhaseTest;

// UpdateCrc on each path BuildCrcTable can choose (tables; carry-less
// multiplies 64 bytes a step; 128 bytes a step) against the bitwise
// reference: every length past the paths' thresholds at every start offset
// 0..15, from the start value and another register, then a large buffer in
// one go and in uneven pieces.
TEST_F(Crc, EveryPathMatchesTheBitwiseReference) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(UpdateCrc(kCrcStart, abc, 3), 0xCADBBE3Du);  // the standard CRC-32, not complemented
  EXPECT_EQ(reader.crcClmul, CpuHasClmul());
  EXPECT_EQ(reader.crcWide, CpuHasClmul() && CpuHasWideClmul());
#if defined(__linux__) && defined(__x86_64__)
  // The processor's features as the kernel lists them choose the paths.
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string flags;
  while (flags.empty() && std::getline(cpuinfo, flags)) {
    if (flags.rfind("flags", 0) != 0) flags.clear();
  }
  auto has = [&](const char* flag) { return (flags + " ").find(std::string(" ") + flag + " ") != std::string::npos; };
  EXPECT_EQ(CpuHasClmul(), has("sse2") && has("pclmulqdq")) << flags;
  EXPECT_EQ(CpuHasWideClmul(), has("avx2") && has("vpclmulqdq")) << flags;
#endif
  const Bytes data = RandomBytes(1u << 20, 42);
  const uint32_t whole = ReferenceCrc(data);
  const bool available[] = {true, reader.crcClmul, reader.crcWide};
  for (int path = 0; path < 3; path++) {
    SCOPED_TRACE(::testing::Message() << "path " << path);
    if (!available[path]) continue;
    reader.crcClmul = path >= 1;
    reader.crcWide = path == 2;
    int mismatches = 0;
    for (int start = 0; start < 16; start++) {
      for (int length = 0; length <= 560; length++) {
        for (const uint32_t reg : {kCrcStart, 0x5A0F3C96u}) {
          const uint32_t want = ReferenceCrc(data.data() + start, size_t(length), reg);
          if (UpdateCrc(reg, data.data() + start, length) != want && mismatches++ < 5) {
            ADD_FAILURE() << "start " << start << " length " << length << " register " << std::hex << reg;
          }
        }
      }
    }
    EXPECT_EQ(UpdateCrc(kCrcStart, data.data(), int32_t(data.size())), whole);
    const int32_t pieces[] = {1, 63, 64, 65, 777, 2048, 15, 4095, 127, 128, 129};
    uint32_t c = kCrcStart;
    for (size_t at = 0, k = 0; at < data.size(); at += size_t(pieces[k++ % 11])) {
      c = UpdateCrc(c, data.data() + at, int32_t(std::min(data.size() - at, size_t(pieces[k % 11]))));
    }
    EXPECT_EQ(c, whole);
  }
}

using Scan = PhaseTest;

// The scan finds the archive behind junk at every offset around its
// 512-byte window steps (signatures across a step's end among them), as long
// as the signature ends within the image's first 64 KiB. It passes over a
// copy of a main header whose CRC is wrong, and one too short for its fields
// whose additional-data size (read from the signature) would reach past the
// image's end.
TEST_F(Scan, FindsTheArchiveBehindJunk) {
  Bytes fake = MainHeader();
  fake[20] ^= 0x55;
  const Bytes tooShort = Header(0, 0x0001, {'*', '*', 'A', 'C', 'E', '*', '*', 10, 12, 2, 0});
  for (size_t junk : {0u, 1u, 505u, 506u, 511u, 512u, 1010u, 1013u, 1017u, 1018u, 1024u, 1526u, 1530u, 2048u, 40000u,
                      65522u}) {
    SCOPED_TRACE(junk);
    ASSERT_TRUE(Open(Join(Junk(junk, uint32_t(junk)), TwoEntries())));
    EXPECT_EQ(reader.archiveStart, junk);
    EXPECT_EQ(reader.readPos, junk + 31);  // 4 + the main header's size field of 27
    EXPECT_TRUE(ReadNextHeader());
  }
  ASSERT_TRUE(Open(Join(Join(Join(Join(Junk(100, 9), fake), Junk(200, 9)), tooShort), TwoEntries())));
  EXPECT_EQ(reader.archiveStart, 300u + fake.size() + tooShort.size());
}

// Images in which no archive is found.
TEST_F(Scan, ImagesWithoutArchive) {
  Bytes cut = MainHeader();
  cut.pop_back();  // its header would reach past the image's end
  std::vector<Bytes> images = {{}, Junk(100000, 3), cut, Join(Junk(65523, 8), TwoEntries())};
  for (size_t at = 0; at < 7; at++) {
    images.push_back(Bytes(200, 0));  // a signature before offset 7 is no candidate
    memcpy(images.back().data() + at, "**ACE**", 7);
  }
  for (size_t i = 0; i < images.size(); i++) EXPECT_FALSE(Open(images[i])) << i;
  EXPECT_FALSE(OpenArchiveImage(nullptr, 0));
  ReleaseWorkBuffers();  // nothing is read without the work buffers
  EXPECT_FALSE(Open(TwoEntries()));
}

using Chain = PhaseTest;

// The fields the reader takes from the main header and from a file header
// longer than the 2,040 bytes it holds (checked whole by its CRC: see
// EndsAndWhy).
TEST_F(Chain, HeaderFields) {
  std::vector<FileEntry> e = {File("Plugins\\x.dll", SampleText(700, 4), 0x821), File("next.txt", {})};
  e[0].compType = 0;
  e[0].trailer = RandomBytes(3000 - 31 - 13, 6);  // size field 3000
  Pack(e, true);
  for (uint16_t flags : {0, 0x8000}) {
    MainSpec m;
    m.flags = flags;
    ASSERT_TRUE(Open(BuildArchive(m, e)));
    EXPECT_EQ(reader.solidArchive, flags != 0);
  }
  EXPECT_EQ(headerRecord.headerType, 0);
  EXPECT_EQ(memcmp(headerRecord.main.signature, "**ACE**", 7), 0);
  EXPECT_EQ(headerRecord.main.byte14, 10);
  EXPECT_EQ(headerRecord.main.byte15, 12);
  ASSERT_TRUE(ReadNextHeader());
  const AceFileView& f = headerRecord.file;
  EXPECT_EQ(headerRecord.headerType, 1);
  EXPECT_EQ(headerRecord.flags, 0x8001);
  EXPECT_EQ(headerRecord.headerSize, 3000);
  EXPECT_EQ(reader.readPos, 31u + 4 + 3000);
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
  EXPECT_EQ(memcmp(f.variable + 13, e[0].trailer.data(), 2009 - 13), 0);
  EXPECT_EQ(reader.pendingBytes, 700u);
  ASSERT_TRUE(ReadNextHeader());
  EXPECT_EQ(memcmp(f.variable, "next.txt", 8), 0);
}

// Packed bytes are handed out up to the header's count; what is not taken
// is skipped by the next header read. None while a status is set, though
// the chain can still be walked; the image's end sets status 6.
TEST_F(Chain, PackedBytesAreHandedOut) {
  const Bytes a = TwoEntries();
  std::vector<uint8_t> buf(4096);
  ASSERT_TRUE(Open(a));
  ASSERT_TRUE(ReadNextHeader());
  EXPECT_EQ(ReadPackedBytes(buf.data(), 0), 0);
  EXPECT_EQ(ReadPackedBytes(buf.data(), 100), 100);
  EXPECT_EQ(ReadPackedBytes(buf.data(), 4096), 900);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 900, a.begin() + 35 + 36 + 100));
  EXPECT_EQ(ReadPackedBytes(buf.data(), 4096), 0);
  ASSERT_TRUE(ReadNextHeader());
  EXPECT_EQ(memcmp(headerRecord.file.variable, "b.txt", 5), 0);
  errorStatus = kStatusShortWrite;
  EXPECT_EQ(ReadPackedBytes(buf.data(), 16), 0);
  EXPECT_FALSE(ReadNextHeader());
  EXPECT_EQ(reader.chainEnd, ChainEnd::kImageEnd);

  errorStatus = kStatusOk;
  ASSERT_TRUE(Open(Bytes(a.begin(), a.end() - 200)));
  ASSERT_TRUE(ReadNextHeader());
  ASSERT_TRUE(ReadNextHeader());
  EXPECT_EQ(ReadPackedBytes(buf.data(), 1000), 300);
  EXPECT_EQ(errorStatus, kStatusReadFailed);
  EXPECT_EQ(ReadPackedBytes(buf.data(), 1000), 0);
}

// Every way the chain ends: the headers read before it, and why.
TEST_F(Chain, EndsAndWhy) {
  const Bytes good = TwoEntries();
  Bytes badCrc = good;
  badCrc[kSecond + 10] ^= 0xFF;
  std::vector<FileEntry> longOne = {File("long.txt", {})};
  longOne[0].trailer = RandomBytes(3000, 6);
  Bytes longBad = BuildArchive({}, longOne);
  longBad[31 + 4 + 2900] ^= 1;  // past the bytes held
  Bytes nameTooLong = BuildArchive({}, {File("abc", {})});
  nameTooLong[31 + 33] = 200;  // the name length field
  FixHeaderCrc(nameTooLong, 31);
  Bytes tiny = Join(MainHeader(), {0, 0, 2, 0, 1, 0});  // too short for type and flags
  FixHeaderCrc(tiny, 31);
  Bytes other = Join(Join(MainHeader(), Header(7, 0x0001, {100, 0, 0, 0})), RandomBytes(100, 1));
  other = Join(other, Bytes(good.begin() + 31, good.begin() + long(kSecond)));
  struct Case {
    const char* what;
    Bytes image;
    int headers;
    ChainEnd end;
  } cases[] = {
      {"intact", good, 2, ChainEnd::kImageEnd},
      {"bad CRC, intact headers behind", badCrc, 1, ChainEnd::kBadHeaderCrc},
      {"bad CRC past the held bytes", longBad, 0, ChainEnd::kBadHeaderCrc},
      {"data cut short", Bytes(good.begin(), good.end() - 1), 2, ChainEnd::kTruncated},
      {"header cut in its CRC", Bytes(good.begin(), good.begin() + long(kSecond) + 1), 1, ChainEnd::kTruncated},
      {"header cut in its size", Bytes(good.begin(), good.begin() + long(kSecond) + 3), 1, ChainEnd::kTruncated},
      {"header cut after its size", Bytes(good.begin(), good.begin() + long(kSecond) + 4), 1, ChainEnd::kTruncated},
      {"header cut in its fields", Bytes(good.begin(), good.begin() + long(kSecond) + 20), 1, ChainEnd::kTruncated},
      {"file header too short", Join(MainHeader(), Header(1, 0, Bytes(17, 0))), 0, ChainEnd::kMalformed},
      {"name past the header", nameTooLong, 0, ChainEnd::kMalformed},
      {"header without type", tiny, 0, ChainEnd::kMalformed},
      {"other types passed over with their data", other, 2, ChainEnd::kImageEnd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Open(c.image));
    int headers = 0;
    while (ReadNextHeader()) headers++;
    EXPECT_EQ(headers, c.headers);
    EXPECT_EQ(reader.chainEnd, c.end);
    uint8_t buf[16];
    EXPECT_EQ(ReadPackedBytes(buf, 16), 0);  // nothing of a header that ended the chain
    EXPECT_EQ(errorStatus, kStatusOk);
  }
  EXPECT_EQ(headerRecord.headerType, 1);  // the last intact header of "other"
  ASSERT_TRUE(Open(badCrc));
  ReadNextHeader();
  ReadNextHeader();
  EXPECT_EQ(reader.headerStart, kSecond);
}
