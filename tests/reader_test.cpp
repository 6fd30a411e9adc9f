// reader_test.cpp - the CRC paths, the signature scan, the header chain and its ends.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>

#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"
#include "tests/testenv.h"

using namespace qmktest;

namespace {
Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes Junk(size_t n, uint32_t seed) {
  Bytes b = RandomBytes(n, seed);
  std::replace(b.begin(), b.end(), uint8_t('*'), uint8_t(0));  // no accidental signatures
  return b;
}
// Two stored entries of 1,000 and 500 bytes; the second header starts at kSecond.
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
}  // namespace

using Crc = PhaseTest;
using Scan = PhaseTest;
using Chain = PhaseTest;

// Each CRC path (chosen as /proc/cpuinfo says) matches the bitwise reference at every offset and length.
TEST_F(Crc, EveryPathMatchesTheBitwiseReference) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(UpdateCrc(kCrcStart, abc, 3), 0xCADBBE3Du);  // the standard CRC-32, not complemented
  EXPECT_EQ(reader.crcClmul, CpuHasClmul());
  EXPECT_EQ(reader.crcWide, CpuHasClmul() && CpuHasWideClmul());
#if defined(__linux__) && defined(__x86_64__)
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string flags;
  while (flags.rfind("flags", 0) != 0 && std::getline(cpuinfo, flags)) {
  }
  auto has = [&](const char* flag) { return (flags + " ").find(std::string(" ") + flag + " ") != std::string::npos; };
  EXPECT_EQ(CpuHasClmul(), has("sse2") && has("pclmulqdq")) << flags;
  EXPECT_EQ(CpuHasWideClmul(), has("avx2") && has("vpclmulqdq")) << flags;
#endif
  const Bytes data = RandomBytes(1u << 20, 42);
  const bool available[] = {true, reader.crcClmul, reader.crcWide};
  for (int path = 0; path < 3 && available[path]; path++) {
    SCOPED_TRACE(::testing::Message() << "path " << path);
    reader.crcClmul = path >= 1;
    reader.crcWide = path == 2;
    int mismatches = 0;
    for (int at = 0; at < 16 * 561 * 2; at++) {  // start, length, register
      const uint8_t* p = data.data() + at / 1122;
      const int length = at / 2 % 561;
      const uint32_t reg = at % 2 ? kCrcStart : 0x5A0F3C96u;
      mismatches += UpdateCrc(reg, p, length) != ReferenceCrc(p, size_t(length), reg);
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(UpdateCrc(kCrcStart, data.data(), int32_t(data.size())), ReferenceCrc(data));
  }
}

// The scan finds the archive behind junk within 64 KiB, around its 512-byte steps, past false headers.
TEST_F(Scan, FindsTheArchiveBehindJunkOrNone) {
  Bytes fake = MainHeader(), cut = MainHeader();
  fake[20] ^= 0x55;
  cut.pop_back();
  const Bytes tooShort = Header(0, 0x0001, {'*', '*', 'A', 'C', 'E', '*', '*', 10, 12, 2, 0});
  std::vector<std::pair<Bytes, long>> cases = {  // image, archive start or -1
      {Join(Join(Join(Join(Junk(100, 9), fake), Junk(200, 9)), tooShort), TwoEntries()),
       long(300 + fake.size() + tooShort.size())},
      {{}, -1},
      {Junk(100000, 3), -1},
      {cut, -1},
      {Join(Junk(65523, 8), TwoEntries()), -1}};
  for (long junk : {0, 1, 505, 506, 511, 512, 1010, 1013, 1017, 1018, 1024, 1526, 1530, 2048, 40000, 65522}) {
    cases.push_back({Join(Junk(size_t(junk), uint32_t(junk)), TwoEntries()), junk});
  }
  for (size_t at = 0; at < 7; at++) {
    cases.push_back({Bytes(200, 0), -1});
    memcpy(cases.back().first.data() + at, "**ACE**", 7);
  }
  for (const auto& [image, start] : cases) {
    SCOPED_TRACE(::testing::Message() << "archive at " << start << " in " << image.size());
    ASSERT_EQ(Open(image), start >= 0);
    if (start < 0) continue;
    EXPECT_EQ(reader.archiveStart, uint32_t(start));
    EXPECT_EQ(reader.readPos, uint32_t(start) + 31);  // 4 + the main header's size field of 27
    EXPECT_TRUE(ReadNextHeader());
  }
  EXPECT_FALSE(OpenArchiveImage(nullptr, 0));
  ReleaseWorkBuffers();
  EXPECT_FALSE(Open(TwoEntries()));
}

// The fields of the main header and of a file header longer than the 2,040 bytes held.
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
  const AceMainView& m = headerRecord.main;
  EXPECT_EQ(std::make_tuple(int(headerRecord.headerType), std::string(m.signature, m.signature + 7), int(m.byte14),
                            int(m.byte15), int(m.byte16), int(m.byte17)),
            std::make_tuple(0, std::string("**ACE**"), 10, 12, 2, 0));
  ASSERT_TRUE(ReadNextHeader());
  const AceFileView& f = headerRecord.file;
  EXPECT_EQ(std::make_tuple(int(headerRecord.headerType), int(headerRecord.flags), int(headerRecord.headerSize),
                            reader.readPos, reader.pendingBytes),
            std::make_tuple(1, 0x8001, 3000, 31u + 4 + 3000, 700u));
  EXPECT_EQ(std::make_tuple(f.packedSize, f.unpackedSize, f.fileTime, f.attributes, f.fileCrc, int(f.compType),
                            int(f.byte28), int(f.compParam)),
            std::make_tuple(700u, 700u, 0x26A38600u, 0x821u, ReferenceCrc(e[0].data), 0, 5, 10));
  const Bytes held = Join(Bytes(e[0].name.begin(), e[0].name.end()), e[0].trailer);
  EXPECT_EQ(f.nameLength, 13);
  EXPECT_TRUE(std::equal(held.begin(), held.begin() + 2009, f.variable));
  ASSERT_TRUE(ReadNextHeader());
  EXPECT_EQ(memcmp(f.variable, "next.txt", 8), 0);
}

// Packed bytes up to the header's count, none while a status is set; the rest skipped.
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
  ASSERT_TRUE(ReadNextHeader() && ReadNextHeader());
  EXPECT_EQ(ReadPackedBytes(buf.data(), 1000), 300);
  EXPECT_EQ(errorStatus, kStatusReadFailed);
  EXPECT_EQ(ReadPackedBytes(buf.data(), 1000), 0);
}

// Every way the chain ends: the headers read before it, and why.
TEST_F(Chain, EndsAndWhy) {
  const Bytes good = TwoEntries();
  auto cutAt = [&](size_t n) { return Bytes(good.begin(), good.begin() + long(n)); };
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
  const Bytes other = Join(Join(Join(MainHeader(), Header(7, 0x0001, {100, 0, 0, 0})), RandomBytes(100, 1)),
                           Bytes(good.begin() + 31, good.begin() + long(kSecond)));
  const struct {
    const char* what;
    Bytes image;
    int headers;
    ChainEnd end;
  } cases[] = {
      {"intact", good, 2, ChainEnd::kImageEnd},
      {"bad CRC, intact headers behind", badCrc, 1, ChainEnd::kBadHeaderCrc},
      {"bad CRC past the held bytes", longBad, 0, ChainEnd::kBadHeaderCrc},
      {"data cut short", cutAt(good.size() - 1), 2, ChainEnd::kTruncated},
      {"header cut in its size", cutAt(kSecond + 3), 1, ChainEnd::kTruncated},
      {"header cut in its fields", cutAt(kSecond + 20), 1, ChainEnd::kTruncated},
      {"file header too short", Join(MainHeader(), Header(1, 0, Bytes(17, 0))), 0, ChainEnd::kMalformed},
      {"name past the header", nameTooLong, 0, ChainEnd::kMalformed},
      {"header without type", tiny, 0, ChainEnd::kMalformed},
      {"other types passed over with their data", other, 2, ChainEnd::kImageEnd},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Open(c.image));
    int headers = 0;
    while (ReadNextHeader()) headers++;
    uint8_t buf[16];
    EXPECT_EQ(std::make_tuple(headers, c.end, ReadPackedBytes(buf, 16), errorStatus),
              std::make_tuple(c.headers, reader.chainEnd, 0, int32_t(kStatusOk)));
  }
  EXPECT_EQ(headerRecord.headerType, 1);  // the last intact header of "other"
  ASSERT_TRUE(Open(badCrc));
  EXPECT_FALSE(ReadNextHeader() && ReadNextHeader());
  EXPECT_EQ(reader.headerStart, kSecond);
}
