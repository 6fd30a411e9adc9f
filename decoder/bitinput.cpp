// bitinput.cpp - loading and refilling the word buffer, reading width
// tables and building decoding tables.
//
// The assignment of code words is fixed by the exact steps of SortByWidth:
// among symbols of equal width the one the sort leaves at the higher position
// gets the smaller code word. The encoder assigns its code words with these
// same functions, so both sides agree by construction; the tests pin the
// order against hand-worked examples.
#include "decoder/bitinput.h"

#include <algorithm>
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
inline uint32_t KeyOf(uint32_t e) { return e >> 16; }

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
      SortPacked(e, left, j);
    } else if (KeyOf(e[left]) < KeyOf(e[j])) {
      const uint32_t t = e[left];
      e[left] = e[j];
      e[j] = t;
    }
  }
  if (i < right) {
    if (right - 1 > i) {
      SortPacked(e, i, right);
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
  SortPacked(packed, left, right);
  for (int k = left; k <= right; k++) {
    codes.sortKeys[k] = uint8_t(KeyOf(packed[k]));
    codes.sortSymbols[k] = uint16_t(packed[k]);
  }
}

bool MakeCode(int bits, int last, uint8_t* widths, uint16_t* table) {
  uint8_t* key = codes.sortKeys;
  uint16_t* sym = codes.sortSymbols;
  if (last > 0) {
    uint32_t packed[kMainSymbols + 1];
    for (int i = 0; i <= last; i++) packed[i] = uint32_t(widths[i]) << 16 | uint32_t(i);
    SortPacked(packed, 0, last);
    for (int i = 0; i <= last; i++) {
      key[i] = uint8_t(KeyOf(packed[i]));
      sym[i] = uint16_t(packed[i]);
    }
  } else {
    key[0] = widths[0];
    sym[0] = 0;
  }
  key[last + 1] = 0;
  int c = 0;
  while (key[c] != 0) c++;
  // A lone symbol, or the symbol at sort position 0 when none has a width,
  // decodes with width 1 (the key keeps the old width for the fill).
  if (c < 2) {
    widths[sym[0]] = 1;
    if (c == 0) c = 1;
  }
  const int size = 1 << bits;
  int p = 0;
  for (int i = c - 1; i >= 0 && p < size; i--) {
    if (key[i] > bits) return MakeCodeFailed();
    const int k = size >> key[i];
    if (p + k > size) return MakeCodeFailed();
    std::fill(table + p, table + p + k, sym[i]);
    p += k;
  }
  return true;
}

bool ReadWidths(int bits, uint16_t* table, uint8_t* widths, int lastMax) {
  BitInput& in = bitInput;
  memset(widths, 0, size_t(lastMax) + 1);
  for (int e = 0; e < (1 << bits); e++) table[e] = 0;

  int last = int(ReadBits(in, 9));
  if (last > lastMax) last = lastMax;
  const uint8_t widthOffset = uint8_t(ReadBits(in, 4));
  const int range = int(ReadBits(in, 4));
  uint8_t* pre = codes.preWidths;
  for (int s = 0; s <= range; s++) pre[s] = uint8_t(ReadBits(in, 3));
  if (!MakeCode(kPreCodeBits, range, pre, table)) return false;

  // The values are gathered in the width array itself.
  int i = 0;
  while (i <= last) {
    const uint32_t s = table[PeekBits(in, kPreCodeBits)];
    SkipBits(in, pre[s]);
    if (int(s) < range) {
      widths[i++] = uint8_t(s);
    } else {
      int run = int(ReadBits(in, 4)) + 4;
      while (run-- > 0 && i <= last) widths[i++] = 0;
    }
  }
  if (range != 0) {
    for (int k = 1; k <= last; k++) widths[k] = uint8_t((widths[k] + widths[k - 1]) % range);
  }
  for (int k = 0; k <= last; k++) widths[k] = widths[k] ? uint8_t(widths[k] + widthOffset) : 0;
  return MakeCode(bits, last, widths, table);
}
