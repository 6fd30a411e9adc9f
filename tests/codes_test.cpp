// codes_test.cpp - the width sort, code building, and block headers against a step-by-step reference.
#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"
#include "tests/testenv.h"

using namespace qmktest;

namespace {

std::vector<uint16_t> SortOrder(const std::vector<uint8_t>& widths) {
  for (size_t i = 0; i < widths.size(); i++) codes.sortKeys[i] = widths[i], codes.sortSymbols[i] = uint16_t(i);
  SortByWidth(0, int(widths.size()) - 1);
  return std::vector<uint16_t>(codes.sortSymbols, codes.sortSymbols + widths.size());
}

// A width table read a bit at a time into a table of bare symbols cleared to 0.
struct Reference {
  std::vector<uint32_t> bits;  // the stream's bits in reading order (words from bit 31 down)
  uint32_t pos = 0;
  std::vector<uint16_t> table;
  int filled = 0;  // table entries the last code took
  explicit Reference(const Bytes& s) {
    for (size_t k = 0; k < s.size() * 8; k++) bits.push_back(s[k / 32 * 4 + 3 - k % 32 / 8] >> (7 - k % 8) & 1);
  }
  uint32_t Peek(int n) const {
    uint32_t v = 0;
    for (uint32_t k = pos; k < pos + uint32_t(n); k++) v = v << 1 | bits.at(k);
    return v;
  }
  uint32_t Read(int n) {
    const uint32_t v = Peek(n);
    pos += uint32_t(n);
    return v;
  }
  bool MakeCode(int bits, int last, uint8_t* widths) {
    SortOrder(std::vector<uint8_t>(widths, widths + last + 1));
    codes.sortKeys[last + 1] = 0;
    int c = 0;
    while (codes.sortKeys[c] != 0) c++;
    if (c < 2) widths[codes.sortSymbols[0]] = 1;
    filled = 0;
    for (int i = std::max(c, 1) - 1, k; i >= 0 && filled < (1 << bits); i--, filled += k) {
      if (codes.sortKeys[i] > bits) return false;
      k = (1 << bits) >> codes.sortKeys[i];
      std::fill(table.begin() + filled, table.begin() + filled + k, codes.sortSymbols[i]);
    }
    return true;
  }
  bool ReadWidths(int lastMax, std::vector<uint8_t>& widths) {
    table.assign(kTableSize, 0);
    const int last = std::min(int(Read(9)), lastMax), offset = int(Read(4)), range = int(Read(4));
    uint8_t pre[16] = {};
    for (int s = 0; s <= range; s++) pre[s] = uint8_t(Read(3));
    if (!MakeCode(kPreCodeBits, range, pre)) return false;
    std::vector<int> v;
    while (int(v.size()) <= last) {
      const uint16_t s = table[Peek(kPreCodeBits)];
      pos += pre[s];
      for (int run = s < range ? 1 : int(Read(4)) + 4; run > 0 && int(v.size()) <= last; run--) v.push_back(s < range ? s : 0);
    }
    for (int i = 1; i <= last && range != 0; i++) v[size_t(i)] = (v[size_t(i)] + v[size_t(i) - 1]) % range;
    for (int i = 0; i <= last; i++) widths[size_t(i)] = uint8_t(v[size_t(i)] ? v[size_t(i)] + offset : 0);
    return MakeCode(kCodeBits, last, widths.data());
  }
};

}  // namespace

using Codes = PhaseTest;

// Hand-worked tables: the sort's tie order, overfull codes, a failure ending the chunk, lone symbols.
TEST_F(Codes, WorkedTablesSortAndBuild) {
  auto lone = [](size_t n, int symbol) {
    std::vector<uint8_t> w(n, 0);
    if (symbol >= 0) w[size_t(symbol)] = 3;
    return w;
  };
  constexpr uint16_t kUntouched = 0xEEEE;
  const struct {
    std::vector<uint8_t> widths;
    std::vector<uint16_t> order;  // empty: not worked out
    bool builds;
    std::vector<std::pair<int, uint16_t>> table;  // runs of entries, from 0 on; empty: not worked out
  } cases[] = {
      {{1, 1, 0}, {0, 1, 2}, true, {{1024, MakeEntry(1, 1)}, {1024, MakeEntry(0, 1)}}},
      {{2, 1, 3, 3, 0}, {3, 2, 0, 1, 4}, true,
       {{1024, MakeEntry(1, 1)}, {512, MakeEntry(0, 2)}, {256, MakeEntry(2, 3)}, {256, MakeEntry(3, 3)}}},
      {{2, 2, 2, 2}, {3, 2, 1, 0}, true,
       {{512, MakeEntry(0, 2)}, {512, MakeEntry(1, 2)}, {512, MakeEntry(2, 2)}, {512, MakeEntry(3, 2)}}},
      {{1, 1, 1}, {}, true, {{1024, MakeEntry(0, 1)}, {1024, MakeEntry(1, 1)}}},
      {{1, 1, 2, 2}, {}, true, {}},
      {{12, 1, 1}, {}, true, {}},
      {{1, 12}, {}, false, {}},
      {lone(283, 100), {}, true, {{256, MakeEntry(100, 1)}, {1792, kUntouched}}},
      {lone(283, -1), {}, true, {{kTableSize, MakeEntry(187, 1)}}},
      {lone(256, -1), {}, true, {{kTableSize, MakeEntry(171, 1)}}},
      {lone(1, -1), {}, true, {{kTableSize, MakeEntry(0, 1)}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.widths));
    if (!c.order.empty()) {
      EXPECT_EQ(SortOrder(c.widths), c.order);
    }
    std::vector<uint8_t> widths = c.widths;
    std::vector<uint16_t> table(kTableSize, kUntouched), want;
    lz.chunkLimit = 1789;
    lz.produced = 3;
    EXPECT_EQ(MakeCode(kCodeBits, int(widths.size()) - 1, widths.data(), table.data()), c.builds);
    EXPECT_EQ(lz.produced, c.builds ? 3 : 1789);
    for (const auto& [n, entry] : c.table) {
      want.insert(want.end(), size_t(n), entry);
      EXPECT_TRUE(entry == kUntouched || widths[EntrySymbol(entry)] == EntryWidth(entry));  // the width array agrees
    }
    if (!want.empty()) {
      EXPECT_EQ(table, want);
    }
  }
}

// Random block headers (complete, incomplete, overfull, empty codes) read as the reference reads them.
TEST_F(Codes, BlockHeadersReadAsTheStepByStepReference) {
  int built = 0, leftPreCodeEntries = 0;
  for (uint32_t seed = 1; seed <= 3000; seed++) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    const Bytes noise = RandomBytes(600, seed);
    const bool lengthDrawn = seed % 2 == 0;
    BitWriter w;
    if (lengthDrawn) w.Put(0, 17), w.Put(1, 3), w.Put(0, 5);  // last index, offset, range 0; a zero run of width 1
    w.Put(seed % 5 == 0 ? noise[0] % 20 : 200 + noise[0], 9);
    w.Put(noise[1] % 5, 4);
    const int range = noise[2] % 16;
    w.Put(uint32_t(range), 4);
    for (int s = 0; s <= range; s++) w.Put(noise[3 + size_t(s)] % 6, 3);
    for (size_t i = 20; i < noise.size(); i++) w.Put(noise[i], 8);
    const Bytes stream = w.Finish();
    LoadBits(stream.data(), int32_t(stream.size()));
    Reference want(stream);
    std::vector<uint8_t> widths[2] = {std::vector<uint8_t>(kMainSymbols), std::vector<uint8_t>(kLengthSymbols)};
    std::vector<uint16_t> tables[2];
    int n = 0, filled[2] = {};  // codes built, the table entries each took
    for (; n < 2 && want.ReadWidths(n ? 255 : 282, widths[n]); n++) tables[n] = want.table, filled[n] = want.filled;
    const uint32_t count = n == 2 ? want.Read(15) : 0;
    const int drawn = lengthDrawn ? 1 : 0;
    built += n > drawn;
    leftPreCodeEntries += n > drawn && filled[drawn] < 128 && tables[drawn][127] != 0;
    ASSERT_EQ(ReadBlockHeader(), n == 2);
    ASSERT_EQ(bitInput.index * 32 + bitInput.offset, want.pos);
    if (n == 2) {
      ASSERT_EQ(lz.blockCount, count);
    }
    const uint8_t* gotWidths[] = {codes.mainWidths, codes.lengthWidths};
    const uint16_t* gotTables[] = {codes.mainTable, codes.lengthTable};
    for (int k = 0; k < n; k++) {
      ASSERT_EQ(std::vector<uint8_t>(gotWidths[k], gotWidths[k] + widths[k].size()), widths[k]);
      for (int e = 0; e < kTableSize; e++) {
        ASSERT_EQ(gotTables[k][e], MakeEntry(tables[k][size_t(e)], widths[k][tables[k][size_t(e)]])) << "entry " << e;
      }
    }
  }
  EXPECT_GT(built, 300);  // the draw reaches the cases it is meant for
  EXPECT_GT(leftPreCodeEntries, 5);
}
