// codes_test.cpp - the tie order of the width sort, code-word assignment,
// the degenerate codes, and width tables read and built as a step-by-step
// reference does.
#include <cstring>

#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"
#include "tests/testenv.h"

using namespace qmktest;

namespace {

// Sorts a width array as MakeCode does and returns the symbol order.
std::vector<uint16_t> SortOrder(const std::vector<uint8_t>& widths) {
  for (size_t i = 0; i < widths.size(); i++) {
    codes.sortKeys[i] = widths[i];
    codes.sortSymbols[i] = uint16_t(i);
  }
  SortByWidth(0, int(widths.size()) - 1);
  return std::vector<uint16_t>(codes.sortSymbols, codes.sortSymbols + widths.size());
}

}  // namespace

using Codes = PhaseTest;

// Hand-worked tables: the order the sort leaves equal widths in decides
// which symbol gets the smaller code word. Three one-bit widths lose the
// last; a width above the index fails only while the table has room left.
TEST_F(Codes, WorkedTablesSortAndBuild) {
  struct Case {
    std::vector<uint8_t> widths;
    std::vector<uint16_t> order;  // empty: not worked out
    bool builds;
    std::vector<std::pair<std::string, uint16_t>> decodes;  // code word, symbol
  } cases[] = {
      {{1, 1, 0}, {0, 1, 2}, true, {{"0", 1}, {"1", 0}}},
      {{2, 1, 3, 3, 0}, {3, 2, 0, 1, 4}, true, {{"0", 1}, {"10", 0}, {"110", 2}, {"111", 3}}},
      {{2, 2, 2, 2}, {3, 2, 1, 0}, true, {{"00", 0}, {"01", 1}, {"10", 2}, {"11", 3}}},
      {{1, 1, 1}, {}, true, {{"0", 0}, {"1", 1}}},
      {{1, 1, 2, 2}, {}, true, {}},
      {{12, 1, 1}, {}, true, {}},
      {{1, 12}, {}, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.widths));
    if (!c.order.empty()) {
      EXPECT_EQ(SortOrder(c.widths), c.order);
    }
    std::vector<uint8_t> widths = c.widths;
    std::vector<uint16_t> table(kTableSize);
    lz.chunkLimit = 1789;
    lz.produced = 3;
    EXPECT_EQ(MakeCode(kCodeBits, int(widths.size()) - 1, widths.data(), table.data()), c.builds);
    EXPECT_EQ(lz.produced, c.builds ? 3 : 1789);  // a failure ends the running chunk
    for (const auto& [bits, symbol] : c.decodes) {
      const uint32_t index = uint32_t(std::stoul(bits, nullptr, 2)) << (kCodeBits - bits.size());
      EXPECT_EQ(table[index], MakeEntry(symbol, uint32_t(bits.size()))) << bits;
    }
  }
}

// The sort leaves any widths in descending order.
TEST_F(Codes, SortsDescendingWhateverTheInput) {
  for (uint32_t seed = 1; seed < 200; seed++) {
    const Bytes r = RandomBytes(1 + seed % 283, seed);
    const std::vector<uint8_t> widths(r.begin(), r.end());
    const std::vector<uint16_t> order = SortOrder(widths);
    std::vector<bool> seen(widths.size(), false);
    for (size_t i = 0; i < order.size(); i++) {
      ASSERT_FALSE(seen[order[i]]) << "seed " << seed;
      seen[order[i]] = true;
      ASSERT_TRUE(i == 0 || widths[order[i - 1]] >= widths[order[i]]) << "seed " << seed;
    }
  }
}

// A code with one symbol or none decodes with width 1: the lone symbol, or
// the one at sort position 0, fills the entries its width gives it (all for
// none), and the others stay as they were.
TEST_F(Codes, DegenerateCodesDecodeWithWidthOne) {
  struct Case {
    size_t symbols;
    int lone;           // the symbol with a width of 3, or -1
    uint16_t expected;  // the symbol every filled entry names
    int filled;
  } cases[] = {{283, 100, 100, 256}, {283, -1, 187, kTableSize}, {256, -1, 171, kTableSize}, {1, -1, 0, kTableSize}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.symbols);
    std::vector<uint8_t> widths(c.symbols, 0);
    if (c.lone >= 0) widths[size_t(c.lone)] = 3;
    std::vector<uint16_t> table(kTableSize, 0xEEEE);
    ASSERT_TRUE(MakeCode(kCodeBits, int(c.symbols) - 1, widths.data(), table.data()));
    for (int p = 0; p < kTableSize; p++) ASSERT_EQ(table[size_t(p)], p < c.filled ? MakeEntry(c.expected, 1) : 0xEEEE);
    EXPECT_EQ(widths[c.expected], 1);
  }
}

namespace {

// The width table read and built step by step as written down: one bit at a
// time, a table of bare symbols cleared to symbol 0 beforehand, the modulo
// sum, and the full sort.
struct Reference {
  const Bytes& stream;
  uint32_t pos = 0;
  std::vector<uint16_t> table = std::vector<uint16_t>(kTableSize, 0);
  int filled = 0;  // table entries the last code took

  uint32_t Peek(int n) const {
    uint32_t v = 0;
    for (uint32_t k = pos; k < pos + uint32_t(n); k++) {
      v = v << 1 | ((ReadLe32(k / 32) >> (31 - k % 32)) & 1);
    }
    return v;
  }
  uint32_t ReadLe32(uint32_t word) const {
    uint32_t v = 0;
    for (int b = 3; b >= 0; b--) v = v << 8 | stream[4 * word + uint32_t(b)];
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
    for (int i = std::max(c, 1) - 1; i >= 0 && filled < (1 << bits); i--) {
      if (codes.sortKeys[i] > bits) return false;
      const int k = (1 << bits) >> codes.sortKeys[i];
      std::fill(table.begin() + filled, table.begin() + filled + k, codes.sortSymbols[i]);
      filled += k;
    }
    return true;
  }
  bool ReadWidths(int lastMax, std::vector<uint8_t>& widths) {
    const int last = std::min(int(Read(9)), lastMax);
    const int offset = int(Read(4));
    const int range = int(Read(4));
    uint8_t pre[16] = {};
    for (int s = 0; s <= range; s++) pre[s] = uint8_t(Read(3));
    if (!MakeCode(kPreCodeBits, range, pre)) return false;
    std::vector<int> values;
    while (int(values.size()) <= last) {
      const uint16_t s = table[Peek(kPreCodeBits)];
      pos += pre[s];
      for (int run = s < range ? 1 : int(Read(4)) + 4; run > 0 && int(values.size()) <= last; run--) {
        values.push_back(s < range ? s : 0);
      }
    }
    for (int i = 1; i <= last && range != 0; i++) values[size_t(i)] = (values[size_t(i)] + values[size_t(i) - 1]) % range;
    for (int i = 0; i <= last; i++) widths[size_t(i)] = uint8_t(values[size_t(i)] ? values[size_t(i)] + offset : 0);
    return MakeCode(kCodeBits, last, widths.data());
  }
};

}  // namespace

// ReadWidths must leave what the reference leaves: the same result, widths
// and read position, and in every table entry the same symbol with the
// width the width array gives it. Random tables are drawn so that codes
// come out complete, incomplete (with pre-code entries left among the first
// 128), overfull, broken, all zero, and capped at the last index.
TEST_F(Codes, WidthTablesReadAsTheStepByStepReference) {
  int built = 0;
  int leftPreCodeEntries = 0;
  for (uint32_t seed = 1; seed <= 3000; seed++) {
    const Bytes noise = RandomBytes(600, seed);
    const int lastMax = seed % 2 ? 282 : 255;
    BitWriter w;
    w.Put(seed % 5 == 0 ? noise[0] % 20 : 200 + noise[0], 9);
    w.Put(noise[1] % 5, 4);
    const int range = noise[2] % 16;
    w.Put(uint32_t(range), 4);
    for (int s = 0; s <= range; s++) w.Put(noise[3 + size_t(s)] % 6, 3);
    for (size_t i = 20; i < noise.size(); i++) w.Put(noise[i], 8);
    const Bytes stream = w.Finish();
    LoadBits(stream.data(), int32_t(stream.size()));
    Reference want{stream};
    std::vector<uint8_t> wantWidths(size_t(lastMax) + 1, 0);
    const bool wantOk = want.ReadWidths(lastMax, wantWidths);
    uint16_t* table = lastMax == 282 ? codes.mainTable : codes.lengthTable;
    uint8_t* widths = lastMax == 282 ? codes.mainWidths : codes.lengthWidths;
    const bool ok = ReadWidths(kCodeBits, table, widths, lastMax);
    ASSERT_EQ(ok, wantOk) << "seed " << seed;
    ASSERT_EQ(bitInput.index * 32 + bitInput.offset, want.pos) << "seed " << seed;
    if (!ok) continue;
    built++;
    ASSERT_EQ(std::vector<uint8_t>(widths, widths + lastMax + 1), wantWidths) << "seed " << seed;
    for (int e = 0; e < kTableSize; e++) {
      ASSERT_EQ(table[e], MakeEntry(want.table[size_t(e)], wantWidths[want.table[size_t(e)]])) << seed << ", " << e;
    }
    leftPreCodeEntries += want.filled < 128 && want.table[127] != 0;
  }
  // The draw reaches the cases it is meant for.
  EXPECT_GT(built, 300);
  EXPECT_GT(leftPreCodeEntries, 5);
}
