// codes_test.cpp - the tie order of the width sort, code-word assignment,
// the degenerate codes, and width tables read from hand-written streams.
#include <cstring>

#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"
#include "tests/testenv.h"

using namespace qmktest;

namespace {

// Sorts a width array as MakeCode does and returns the symbol order.
std::vector<uint16_t> SortOrder(const std::vector<uint8_t>& widths) {
  const int last = int(widths.size()) - 1;
  for (int i = 0; i <= last; i++) {
    codes.sortKeys[i] = widths[size_t(i)];
    codes.sortSymbols[i] = uint16_t(i);
  }
  SortByWidth(0, last);
  return std::vector<uint16_t>(codes.sortSymbols, codes.sortSymbols + last + 1);
}

// Builds an 11-bit table; returns it with the (possibly changed) widths.
struct Built {
  bool ok;
  std::vector<uint16_t> table;
  std::vector<uint8_t> widths;
};
Built Build(std::vector<uint8_t> widths, uint16_t fill = 0) {
  Built b;
  b.table.assign(kTableSize, fill);
  b.ok = MakeCode(kCodeBits, int(widths.size()) - 1, widths.data(), b.table.data());
  b.widths = widths;
  return b;
}

// The symbol a code word (given as a bit string) decodes to.
uint16_t Lookup(const Built& b, const char* bits) {
  uint32_t index = 0;
  int n = 0;
  for (const char* c = bits; *c; c++, n++) index = (index << 1) | uint32_t(*c - '0');
  return uint16_t(EntrySymbol(b.table[index << (kCodeBits - n)]));
}

}  // namespace

using SortOrderTest = PhaseTest;

TEST_F(SortOrderTest, TieOrderOfTheWorkedTables) {
  EXPECT_EQ(SortOrder({1, 1, 0}), (std::vector<uint16_t>{0, 1, 2}));
  EXPECT_EQ(SortOrder({2, 1, 3, 3, 0}), (std::vector<uint16_t>{3, 2, 0, 1, 4}));
  EXPECT_EQ(SortOrder({2, 2, 2, 2}), (std::vector<uint16_t>{3, 2, 1, 0}));
}

TEST_F(SortOrderTest, SortsDescendingWhateverTheInput) {
  for (uint32_t seed = 1; seed < 200; seed++) {
    const Bytes r = RandomBytes(283, seed);
    std::vector<uint8_t> widths(r.begin(), r.begin() + 1 + seed % 283);
    for (uint8_t& w : widths) w %= 12;
    const std::vector<uint16_t> order = SortOrder(widths);
    std::vector<bool> seen(widths.size(), false);
    for (size_t i = 0; i < order.size(); i++) {
      ASSERT_FALSE(seen[order[i]]);
      seen[order[i]] = true;
      if (i > 0) {
        ASSERT_GE(widths[order[i - 1]], widths[order[i]]) << "seed " << seed;
      }
    }
  }
}

using MakeCodeTest = PhaseTest;

TEST_F(MakeCodeTest, CodeWordsOfTheWorkedTables) {
  Built a = Build({1, 1, 0});
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(Lookup(a, "0"), 1);
  EXPECT_EQ(Lookup(a, "1"), 0);

  Built b = Build({2, 1, 3, 3, 0});
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(Lookup(b, "0"), 1);
  EXPECT_EQ(Lookup(b, "10"), 0);
  EXPECT_EQ(Lookup(b, "110"), 2);
  EXPECT_EQ(Lookup(b, "111"), 3);

  Built c = Build({2, 2, 2, 2});
  ASSERT_TRUE(c.ok);
  EXPECT_EQ(Lookup(c, "00"), 0);
  EXPECT_EQ(Lookup(c, "01"), 1);
  EXPECT_EQ(Lookup(c, "10"), 2);
  EXPECT_EQ(Lookup(c, "11"), 3);
}

TEST_F(MakeCodeTest, AllZeroWidthsNameTheSymbolAtSortPositionZero) {
  struct Case {
    int symbols;
    uint16_t expected;
  } cases[] = {{283, 187}, {256, 171}, {1, 0}};
  for (const Case& k : cases) {
    Built b = Build(std::vector<uint8_t>(size_t(k.symbols), 0), 0xEEEE);
    ASSERT_TRUE(b.ok);
    for (uint16_t e : b.table) ASSERT_EQ(e, MakeEntry(k.expected, 1)) << k.symbols;
    EXPECT_EQ(b.widths[k.expected], 1) << k.symbols;
  }
}

TEST_F(MakeCodeTest, LoneSymbolDecodesWithWidthOne) {
  std::vector<uint8_t> w(283, 0);
  w[100] = 3;
  Built b = Build(w, 0xEEEE);
  ASSERT_TRUE(b.ok);
  for (int p = 0; p < 256; p++) ASSERT_EQ(b.table[size_t(p)], MakeEntry(100, 1));
  for (int p = 256; p < kTableSize; p++) ASSERT_EQ(b.table[size_t(p)], 0xEEEE);  // untouched
  EXPECT_EQ(b.widths[100], 1);
}

TEST_F(MakeCodeTest, ThreeOneBitWidthsLoseTheLast) {
  Built b = Build({1, 1, 1});
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(Lookup(b, "0"), 0);
  EXPECT_EQ(Lookup(b, "1"), 1);
}

TEST_F(MakeCodeTest, IncompleteCodeKeepsTheRestOfTheTable) {
  // Widths 1..11 fill 1024 + 512 + ... + 1 = 2047 entries.
  std::vector<uint8_t> w(12, 0);
  for (int s = 1; s <= 11; s++) w[size_t(s)] = uint8_t(s);
  Built b = Build(w, 0);
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(b.table[0], MakeEntry(1, 1));
  EXPECT_EQ(b.table[2046], MakeEntry(11, 11));
  EXPECT_EQ(b.table[2047], 0);
}

TEST_F(MakeCodeTest, WidthAboveTheIndexFailsOnlyWhileTheTableHasRoom) {
  EXPECT_FALSE(Build({1, 12}).ok);
  EXPECT_TRUE(Build({12, 1, 1}).ok);
  // Overfull: the longest codes are dropped without failure.
  EXPECT_TRUE(Build({1, 1, 2, 2}).ok);
}

TEST_F(MakeCodeTest, FailureEndsTheRunningChunk) {
  lz.chunkLimit = 1789;
  lz.produced = 3;
  EXPECT_FALSE(Build({1, 12}).ok);
  EXPECT_EQ(lz.produced, 1789);
}

using WidthTableTest = PhaseTest;

namespace {
// Loads a hand-written stream into the bit input as a comment would be.
void LoadStream(BitWriter& w) {
  static Bytes stream;
  stream = w.Finish();
  stream.resize(stream.size() + 64, 0);
  LoadBits(stream.data(), int32_t(stream.size()));
}
}  // namespace

TEST_F(WidthTableTest, RunningSumModuloTheRangeAndTheWidthOffset) {
  // Last index 4, offset 1, range 4; values 1, 2, 0, 0, 3 give running
  // results 1, 3, 3, 3, 2 and widths 2, 4, 4, 4, 3.
  BitWriter w;
  w.Put(4, 9);
  w.Put(1, 4);
  w.Put(4, 4);
  std::vector<uint8_t> pre = {3, 3, 3, 3, 3};
  for (uint8_t p : pre) w.Put(p, 3);
  const CodeWords pc = AssignCodeWords(pre, kPreCodeBits);
  for (int v : {1, 2, 0, 0, 3}) w.Put(pc.words[size_t(v)], 3);
  w.Put(0, 32);
  LoadStream(w);
  ASSERT_TRUE(ReadWidths(kCodeBits, codes.lengthTable, codes.lengthWidths, 255));
  EXPECT_EQ(std::vector<uint8_t>(codes.lengthWidths, codes.lengthWidths + 6),
            (std::vector<uint8_t>{2, 4, 4, 4, 3, 0}));
}

TEST_F(WidthTableTest, ZeroValueRepeatsThePreviousResult) {
  // Range 4, offset 1: values 2, 2 give results 2, 0 and widths 3, 0.
  BitWriter w;
  w.Put(1, 9);
  w.Put(1, 4);
  w.Put(4, 4);
  std::vector<uint8_t> pre = {3, 3, 3, 3, 3};
  for (uint8_t p : pre) w.Put(p, 3);
  const CodeWords pc = AssignCodeWords(pre, kPreCodeBits);
  w.Put(pc.words[2], 3);
  w.Put(pc.words[2], 3);
  w.Put(0, 32);
  LoadStream(w);
  ASSERT_TRUE(ReadWidths(kCodeBits, codes.lengthTable, codes.lengthWidths, 255));
  // Symbol 0 alone has a width (3): it fills 2^(11-3) entries and, being
  // alone, is decoded with width 1; symbol 1 has none.
  for (int e = 0; e < 256; e++) ASSERT_EQ(codes.lengthTable[e], MakeEntry(0, 1));
  // The entries behind name symbol 0 too, and decode with its width.
  for (int e = 256; e < kTableSize; e++) ASSERT_EQ(codes.lengthTable[e], MakeEntry(0, 1));
  EXPECT_EQ(codes.lengthWidths[0], 1);
  EXPECT_EQ(codes.lengthWidths[1], 0);
}

TEST_F(WidthTableTest, RangeZeroMeansEveryValueIsZero) {
  BitWriter w;
  w.Put(282, 9);
  w.Put(3, 4);
  w.Put(0, 4);   // range 0: the only pre-code symbol is the zero run
  w.Put(2, 3);   // its width
  for (int run = 0; run < 15; run++) {
    w.Put(0, 1);   // its code word, the lone symbol's "0"
    w.Put(15, 4);  // 19 zeros
  }
  w.Put(0, 32);
  LoadStream(w);
  ASSERT_TRUE(ReadWidths(kCodeBits, codes.mainTable, codes.mainWidths, 282));
  for (int e = 0; e < kTableSize; e++) ASSERT_EQ(codes.mainTable[e], MakeEntry(187, 1));
  EXPECT_EQ(codes.mainWidths[187], 1);
  // 15 runs of 19 cover 285 values; the excess was cut, so nothing more
  // was consumed: 9 + 4 + 4 + 3 + 15 * 5 bits.
  EXPECT_EQ(bitInput.index * 32 + bitInput.offset, 95u);
}

TEST_F(WidthTableTest, LastIndexIsCappedPerCode) {
  for (int lastMax : {282, 255}) {
    BitWriter w;
    w.Put(300, 9);
    w.Put(0, 4);
    w.Put(0, 4);
    w.Put(1, 3);
    for (int run = 0; run < 16; run++) {
      w.Put(0, 1);
      w.Put(15, 4);
    }
    w.Put(0x5A5A5A5A, 32);
    LoadStream(w);
    uint16_t* table = lastMax == 282 ? codes.mainTable : codes.lengthTable;
    uint8_t* widths = lastMax == 282 ? codes.mainWidths : codes.lengthWidths;
    ASSERT_TRUE(ReadWidths(kCodeBits, table, widths, lastMax));
    // Values for symbols 0..lastMax: ceil((lastMax + 1) / 19) runs.
    const uint32_t runs = uint32_t((lastMax + 1 + 18) / 19);
    EXPECT_EQ(bitInput.index * 32 + bitInput.offset, 20u + runs * 5) << lastMax;
    EXPECT_EQ(EntrySymbol(table[0]), lastMax == 282 ? 187u : 171u);
  }
}

TEST_F(WidthTableTest, FailingPreCodeStopsReading) {
  BitWriter w;
  w.Put(10, 9);
  w.Put(0, 4);
  w.Put(1, 4);
  w.Put(1, 3);
  w.Put(1, 3);  // pre-code widths 1, 1: complete
  w.Put(0, 32);
  LoadStream(w);
  EXPECT_TRUE(ReadWidths(kCodeBits, codes.mainTable, codes.mainWidths, 282));
}

TEST_F(WidthTableTest, WidthsAboveElevenFailTheBuild) {
  std::vector<uint8_t> widths(283, 0);
  widths[0] = 1;
  widths[1] = 12;
  BitWriter w;
  PutWidthTable(w, widths);
  w.Put(0, 32);
  LoadStream(w);
  lz.chunkLimit = 100;
  EXPECT_FALSE(ReadWidths(kCodeBits, codes.mainTable, codes.mainWidths, 282));
}

namespace {

// The width table read and built step by step as written down: one bit at a
// time, a table of bare symbols cleared to symbol 0 beforehand, the modulo
// sum, and the full sort. ReadWidths must leave what this leaves: the same
// result, widths and read position, and in every table entry the same
// symbol with the width the width array gives it.
struct ReferenceBits {
  const Bytes& stream;
  uint32_t pos = 0;
  uint32_t Bit(uint32_t k) const {
    const uint32_t word = uint32_t(stream[4 * (k / 32)]) | uint32_t(stream[4 * (k / 32) + 1]) << 8 |
                          uint32_t(stream[4 * (k / 32) + 2]) << 16 | uint32_t(stream[4 * (k / 32) + 3]) << 24;
    return (word >> (31 - k % 32)) & 1;
  }
  uint32_t Peek(int n) const {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) v = v << 1 | Bit(pos + uint32_t(i));
    return v;
  }
  uint32_t Read(int n) {
    const uint32_t v = Peek(n);
    pos += uint32_t(n);
    return v;
  }
};

bool ReferenceMakeCode(int bits, int last, uint8_t* widths, std::vector<uint16_t>& table, int* filled = nullptr) {
  for (int i = 0; i <= last; i++) {
    codes.sortKeys[i] = widths[i];
    codes.sortSymbols[i] = uint16_t(i);
  }
  if (last > 0) SortByWidth(0, last);
  codes.sortKeys[last + 1] = 0;
  int c = 0;
  while (codes.sortKeys[c] != 0) c++;
  if (c < 2) {
    widths[codes.sortSymbols[0]] = 1;
    if (c == 0) c = 1;
  }
  const int size = 1 << bits;
  int p = 0;
  for (int i = c - 1; i >= 0 && p < size; i--) {
    if (codes.sortKeys[i] > bits) return false;
    const int k = size >> codes.sortKeys[i];
    if (p + k > size) return false;
    for (int e = p; e < p + k; e++) table[size_t(e)] = codes.sortSymbols[i];
    p += k;
  }
  if (filled) *filled = p;
  return true;
}

struct ReferenceResult {
  bool ok;
  std::vector<uint16_t> table;
  std::vector<uint8_t> widths;
  uint32_t pos;
  int filled;  // table entries the code took
};

ReferenceResult ReferenceReadWidths(const Bytes& stream, int lastMax) {
  ReferenceResult r{false, std::vector<uint16_t>(kTableSize, 0), std::vector<uint8_t>(size_t(lastMax) + 1, 0), 0, 0};
  ReferenceBits in{stream};
  int last = int(in.Read(9));
  if (last > lastMax) last = lastMax;
  const int offset = int(in.Read(4));
  const int range = int(in.Read(4));
  uint8_t pre[16] = {};
  for (int s = 0; s <= range; s++) pre[s] = uint8_t(in.Read(3));
  if (!ReferenceMakeCode(kPreCodeBits, range, pre, r.table)) {
    r.pos = in.pos;
    return r;
  }
  std::vector<int> values;
  while (int(values.size()) <= last) {
    const uint16_t s = r.table[in.Peek(kPreCodeBits)];
    in.pos += pre[s];
    if (s < range) {
      values.push_back(s);
    } else {
      for (int run = int(in.Read(4)) + 4; run > 0 && int(values.size()) <= last; run--) values.push_back(0);
    }
  }
  if (range != 0) {
    for (int i = 1; i <= last; i++) values[size_t(i)] = (values[size_t(i)] + values[size_t(i) - 1]) % range;
  }
  for (int i = 0; i <= last; i++) r.widths[size_t(i)] = uint8_t(values[size_t(i)] ? values[size_t(i)] + offset : 0);
  r.pos = in.pos;
  r.ok = ReferenceMakeCode(kCodeBits, last, r.widths.data(), r.table, &r.filled);
  return r;
}

}  // namespace

TEST_F(WidthTableTest, ReadsAndBuildsAsTheStepByStepReference) {
  // Random width tables, drawn so that codes come out complete, incomplete
  // (with pre-code entries left among the first 128), overfull and broken.
  int built = 0;
  int leftPreCodeEntries = 0;
  for (uint32_t seed = 1; seed <= 3000; seed++) {
    const Bytes noise = RandomBytes(600, seed);
    const int lastMax = seed % 2 ? 282 : 255;
    BitWriter w;
    w.Put(seed % 5 == 0 ? noise[0] % 20 : 200 + noise[0], 9);
    w.Put(noise[1] % 5, 4);
    const int range = 1 + noise[2] % 15;
    w.Put(uint32_t(range), 4);
    for (int s = 0; s <= range; s++) w.Put(noise[3 + size_t(s)] % 6, 3);
    for (size_t i = 20; i + 4 <= noise.size(); i += 4) {
      w.Put(uint32_t(noise[i]) << 24 | uint32_t(noise[i + 1]) << 16 | uint32_t(noise[i + 2]) << 8 | noise[i + 3], 32);
    }
    LoadStream(w);
    const Bytes stream = w.Finish();
    const ReferenceResult want = ReferenceReadWidths(stream, lastMax);
    uint16_t* table = lastMax == 282 ? codes.mainTable : codes.lengthTable;
    uint8_t* widths = lastMax == 282 ? codes.mainWidths : codes.lengthWidths;
    lz.chunkLimit = 100;
    const bool ok = ReadWidths(kCodeBits, table, widths, lastMax);
    ASSERT_EQ(ok, want.ok) << "seed " << seed;
    ASSERT_EQ(bitInput.index * 32 + bitInput.offset, want.pos) << "seed " << seed;
    if (!ok) continue;
    built++;
    ASSERT_EQ(std::vector<uint8_t>(widths, widths + lastMax + 1), want.widths) << "seed " << seed;
    for (int e = 0; e < kTableSize; e++) {
      ASSERT_EQ(EntrySymbol(table[e]), want.table[size_t(e)]) << "seed " << seed << " entry " << e;
      ASSERT_EQ(EntryWidth(table[e]), want.widths[want.table[size_t(e)]]) << "seed " << seed << " entry " << e;
    }
    if (want.filled < 128 && want.table[127] != 0) leftPreCodeEntries++;
  }
  // The draw reaches the cases it is meant for.
  EXPECT_GT(built, 300);
  EXPECT_GT(leftPreCodeEntries, 5);
}
