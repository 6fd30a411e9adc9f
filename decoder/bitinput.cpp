// bitinput.cpp - loading and refilling the word buffer, reading width
// tables and building decoding tables.
//
// The assignment of code words is fixed by the exact steps of SortByWidth:
// among symbols of equal width the one the sort leaves at the higher position
// gets the smaller code word. The encoder assigns its code words with these
// same functions, so both sides agree by construction; the tests pin the
// order against hand-worked examples.
#include "decoder/bitinput.h"

#include <cstring>

#include "archive/reader.h"
#include "decoder/lz.h"

BitInput bitInput;
CodeTables codes;

static void StartWords(uint32_t supplied) {
  bitInput.index = 0;
  bitInput.offset = 0;
  bitInput.supplied = supplied;
  bitInput.consumedBase = 0;
  FormWindow(bitInput);
}

void LoadBits() {
  bitInput.fromMemory = false;
  StartWords(uint32_t(ReadPackedBytes(bitInput.bytes, kWordBufferSize)));
}

void LoadBits(const uint8_t* bytes, int32_t size) {
  bitInput.fromMemory = true;
  const int32_t n = size < kWordBufferSize ? size : kWordBufferSize;
  memcpy(bitInput.bytes, bytes, n);
  StartWords(uint32_t(n));
}

void RefillWordBuffer(BitInput& in) {
  memcpy(in.bytes, in.bytes + 4 * kRefillIndex, 8);
  in.consumedBase += kRefillBytes;
  if (!in.fromMemory) in.supplied += uint32_t(ReadPackedBytes(in.bytes + 8, kRefillBytes));
}

namespace {

// The sort works on packed elements, key in the high half and symbol in the
// low half, so an exchange moves one word; comparisons look at the key only,
// so the steps, and the order they leave equal keys in, are exactly those
// of the key-and-symbol form.
//
// A table build needs only the order of the symbols that have a width, and
// the symbol at position 0. A partition around a pivot key of 0 leaves
// nothing but 0 keys in its right part (its first element aside, when it is
// shared with the left part; a key above 0 there stays where it is), so
// with kCodeOrder that part is not sorted: the nonzero keys and position 0
// end exactly as the whole sort leaves them, and most keys of a code are 0.
inline uint32_t KeyOf(uint32_t e) { return e >> 16; }

template <bool kCodeOrder>
void SortPacked(uint32_t* e, int left, int right) {
  int i = left;
  int j = right;
  const uint32_t pivot = KeyOf(e[right]);
  do {
    while (KeyOf(e[i]) > pivot) i++;
    while (KeyOf(e[j]) < pivot) j--;
    if (i <= j) {
      const uint32_t t = e[i];
      e[i] = e[j];
      e[j] = t;
      i++;
      j--;
    }
  } while (i < j);
  if (left < j) {
    if (j - 1 > left) {
      SortPacked<kCodeOrder>(e, left, j);
    } else if (KeyOf(e[left]) < KeyOf(e[j])) {
      const uint32_t t = e[left];
      e[left] = e[j];
      e[j] = t;
    }
  }
  if (kCodeOrder && pivot == 0) return;
  if (i < right) {
    if (right - 1 > i) {
      SortPacked<kCodeOrder>(e, i, right);
    } else if (KeyOf(e[i]) < KeyOf(e[right])) {
      const uint32_t t = e[i];
      e[i] = e[right];
      e[right] = t;
    }
  }
}

}  // namespace

// Quicksort into descending key order, moving keys and symbols together.
// The order it leaves equal keys in decides the code words: keep every step.
void SortByWidth(int left, int right) {
  uint32_t packed[kMainSymbols + 1];
  for (int k = left; k <= right; k++) packed[k] = uint32_t(codes.sortKeys[k]) << 16 | codes.sortSymbols[k];
  SortPacked<false>(packed, left, right);
  for (int k = left; k <= right; k++) {
    codes.sortKeys[k] = uint8_t(KeyOf(packed[k]));
    codes.sortSymbols[k] = uint16_t(packed[k]);
  }
}

// Sets entries [from, to) to `entry`, four at a time once the count left is
// a multiple of four (a code's run of 2^(B - w) entries is one when w < B - 1).
static void FillEntries(uint16_t* from, uint16_t* to, uint16_t entry) {
  while (from < to && ((to - from) & 3) != 0) *from++ = entry;
  const uint64_t four = 0x0001000100010001ull * entry;
  for (; from < to; from += 4) memcpy(from, &four, 8);
}

// Builds the table for symbols 0..last from their widths. Returns the number
// of entries filled, from entry 0 on, or -1 when the build fails. The keys
// and symbols are sorted in packed form, as SortByWidth sorts them.
static int FillTable(int bits, int last, uint8_t* widths, uint16_t* table) {
  uint32_t sorted[kMainSymbols + 1];
  for (int i = 0; i <= last; i++) sorted[i] = uint32_t(widths[i]) << 16 | uint32_t(i);
  if (last > 0) SortPacked<true>(sorted, 0, last);
  sorted[last + 1] = 0;  // the sentinel key
  int c = 0;
  while (KeyOf(sorted[c]) != 0) c++;
  // A lone symbol, or the symbol at sort position 0 when none has a width,
  // decodes with width 1 (the key keeps the old width for the fill).
  if (c < 2) {
    widths[uint16_t(sorted[0])] = 1;
    if (c == 0) c = 1;
  }
  const int size = 1 << bits;
  int p = 0;
  for (int i = c - 1; i >= 0 && p < size; i--) {
    const uint32_t key = KeyOf(sorted[i]);
    if (key > uint32_t(bits) || p + (size >> key) > size) {
      MakeCodeFailed();
      return -1;
    }
    const int k = size >> key;
    const uint32_t s = uint16_t(sorted[i]);
    FillEntries(table + p, table + p + k, MakeEntry(s, widths[s]));
    p += k;
  }
  return p;
}

bool MakeCode(int bits, int last, uint8_t* widths, uint16_t* table) {
  return FillTable(bits, last, widths, table) >= 0;
}

bool ReadWidths(int bits, uint16_t* table, uint8_t* widths, int lastMax) {
  memset(widths, 0, size_t(lastMax) + 1);
  BitReader in;
  in.Load();
  in.Top();
  int last = int(in.Read(9));
  if (last > lastMax) last = lastMax;
  const uint32_t widthOffset = in.Read(4);
  const uint32_t range = in.Read(4);
  uint8_t* pre = codes.preWidths;
  for (uint32_t s = 0; s <= range; s++) {
    in.Top();
    pre[s] = uint8_t(in.Read(3));
  }
  // Every entry is to name symbol 0 before the pre-code is built in the
  // first 128: those it leaves unfilled decode as pre-code symbol 0, and the
  // entries behind the first 128 are set once the code itself is built (a
  // table whose build fails is not used).
  const int preFilled = FillTable(kPreCodeBits, int(range), pre, table);
  if (preFilled < 0) {
    in.Store();
    return false;
  }
  FillEntries(table + preFilled, table + (1 << kPreCodeBits), MakeEntry(0, pre[0]));

  // The values, summed modulo the range as they come (each is below the
  // range, so one subtraction does), and turned into widths: a value of 0
  // repeats the previous result, a zero run repeats it run times.
  uint32_t result = 0;
  int i = 0;
  while (i <= last) {
    in.Top();
    const uint32_t entry = table[in.Peek(kPreCodeBits)];
    in.Skip(EntryWidth(entry));
    const uint32_t s = EntrySymbol(entry);
    if (s < range) {
      result += s;
      if (result >= range) result -= range;
      widths[i++] = uint8_t(result ? result + widthOffset : 0);
    } else {
      int run = int(in.Read(4)) + 4;
      const uint8_t w = uint8_t(result ? result + widthOffset : 0);
      while (run-- > 0 && i <= last) widths[i++] = w;
    }
  }
  in.Store();

  const int filled = FillTable(bits, last, widths, table);
  if (filled < 0) return false;
  // Entries the code leaves unfilled keep their symbol: a pre-code symbol
  // within the first 128, symbol 0 behind them. They decode with that
  // symbol's width in this code.
  const int size = 1 << bits;
  const int preEnd = size < (1 << kPreCodeBits) ? size : (1 << kPreCodeBits);
  for (int e = filled; e < preEnd; e++) {
    const uint32_t s = EntrySymbol(table[e]);
    table[e] = MakeEntry(s, widths[s]);
  }
  FillEntries(table + (filled > preEnd ? filled : preEnd), table + size, MakeEntry(0, widths[0]));
  return true;
}
