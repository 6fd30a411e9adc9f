// roundtrip_test.cpp - archives written by the test encoder decode back to
// their data, whatever the content, entry sizes, chunk sizes and solidity.
// Fixed seeds, printed on failure.
#include <cstring>

#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"
#include "tests/testenv.h"

using namespace qmktest;

class RoundTripTest : public PhaseTest {
 protected:
  void CheckArchive(std::vector<FileEntry> entries, bool solid, int32_t chunk = 2048) {
    Pack(entries, solid);
    MainSpec m;
    m.flags = solid ? 0x8000 : 0;
    ASSERT_TRUE(Open(BuildArchive(m, entries)));
    for (const FileEntry& e : entries) {
      ASSERT_TRUE(ReadNextHeader());
      StartEntry();
      std::vector<int32_t> chunks;
      const Bytes out = DecodeEntry(&chunks, chunk);
      ASSERT_EQ(out.size(), e.data.size()) << e.name;
      ASSERT_TRUE(out == e.data) << e.name;
      EXPECT_TRUE(EntryIntact()) << e.name;
      for (size_t k = 0; k + 1 < chunks.size(); k++) {
        if (e.compType == 1) {
          EXPECT_GE(chunks[k], chunk - 259);
        }
        EXPECT_LT(chunks[k], chunk + (e.compType == 0 ? 1 : 0));
      }
    }
    EXPECT_FALSE(ReadNextHeader());
    EXPECT_EQ(reader.chainEnd, ChainEnd::kImageEnd);
  }
};

TEST_F(RoundTripTest, MixedContentSolidAndNot) {
  for (uint32_t seed = 1; seed <= 6; seed++) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::vector<FileEntry> e(5);
    e[0].name = "dir";
    e[0].attributes = 0x10;
    e[1].name = "dir\\text.txt";
    e[1].data = SampleText(30000 + seed * 1000, seed);
    e[2].name = "random.bin";
    e[2].data = RandomBytes(9000 + seed, seed);
    e[3].name = "stored.bin";
    e[3].data = SampleText(4000, seed + 100);
    e[3].compType = 0;
    e[4].name = "again.txt";
    e[4].data = e[1].data;
    e[4].data.resize(e[4].data.size() / 2);
    CheckArchive(e, seed % 2 == 0);
  }
}

TEST_F(RoundTripTest, EveryChunkSizeTheDecoderAccepts) {
  std::vector<FileEntry> e(2);
  e[0].name = "a";
  e[0].data = SampleText(20000, 3);
  e[1].name = "b";
  e[1].data = RandomBytes(5000, 4);
  e[1].compType = 0;
  for (int32_t n : {260, 261, 1000, 2048, 4096, 33026}) {
    SCOPED_TRACE(n);
    CheckArchive(e, true, n);
  }
}

TEST_F(RoundTripTest, ChunkSizesOutsideTheLimitsDeliverNothing) {
  std::vector<FileEntry> e(1);
  e[0].name = "a";
  e[0].data = SampleText(1000, 3);
  Pack(e, true);
  ASSERT_TRUE(Open(BuildArchive({}, e)));
  ASSERT_TRUE(ReadNextHeader());
  StartEntry();
  std::vector<uint8_t> buf(40000);
  EXPECT_EQ(ReadChunk(buf.data(), 259), 0);
  EXPECT_EQ(ReadChunk(buf.data(), 33027), 0);
  EXPECT_EQ(ReadChunk(buf.data(), 2048), 1000);
}

TEST_F(RoundTripTest, SizesAroundTheBufferAndRefillBoundaries) {
  // Packed sizes around 4,096 and 4,096 + k * 4,088 bytes exercise the
  // refill at word 1,022 and streams that end right at a refill.
  for (size_t n : {0u, 1u, 2u, 259u, 1789u, 1790u, 2047u, 2048u, 4095u, 4096u, 4097u, 8184u, 12272u, 100000u}) {
    SCOPED_TRACE(n);
    std::vector<FileEntry> e(2);
    e[0].name = "random";
    e[0].data = RandomBytes(n, uint32_t(n));
    e[1].name = "text";
    e[1].data = SampleText(n, uint32_t(n));
    CheckArchive(e, true);
  }
}

TEST_F(RoundTripTest, LongRunsAndManyBlocks) {
  std::vector<FileEntry> e(2);
  e[0].name = "zeros";
  e[0].data.assign(3u << 20, 0);  // longer than the ring, all distance-1 matches
  e[1].name = "pattern";
  for (int k = 0; k < 200000; k++) e[1].data.push_back(uint8_t((k * 7) % 251));
  CheckArchive(e, true);
}

TEST_F(RoundTripTest, AnyBlockSplitCodeShapeAndWidthTableStyle) {
  // Streams another encoder could have written: blocks of random sizes,
  // random incomplete codes, random width offsets, ranges and pre-codes.
  for (uint32_t seed = 1; seed <= 40; seed++) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    Bytes data = SampleText(5000 + seed * 701, seed);
    const Bytes noise = RandomBytes(seed * 97, seed);
    data.insert(data.begin() + long(data.size() / 2), noise.begin(), noise.end());
    const std::vector<Token> tokens = GreedyTokens(data, 0, data.size());
    std::vector<FileEntry> e(1);
    e[0].name = "x";
    e[0].data = data;
    e[0].packed = EncodeBlocks(RandomBlocks(tokens, seed));
    ASSERT_TRUE(Open(BuildArchive({}, e)));
    ASSERT_TRUE(ReadNextHeader());
    StartEntry();
    ASSERT_TRUE(DecodeEntry() == data);
    EXPECT_TRUE(EntryIntact());
  }
}
