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

// Quicksort into descending key order, moving keys and symbols together.
// The order it leaves equal keys in decides the code words: keep every step.
void SortByWidth(int left, int right) {
  uint8_t* key = codes.sortKeys;
  uint16_t* sym = codes.sortSymbols;
  auto exchange = [&](int a, int b) {
    uint8_t k = key[a];
    key[a] = key[b];
    key[b] = k;
    uint16_t s = sym[a];
    sym[a] = sym[b];
    sym[b] = s;
  };
  int i = left;
  int j = right;
  const uint8_t pivot = key[right];
  do {
    while (key[i] > pivot) i++;
    while (key[j] < pivot) j--;
    if (i <= j) {
      exchange(i, j);
      i++;
      j--;
    }
  } while (i < j);
  if (left < j) {
    if (j - 1 > left) {
      SortByWidth(left, j);
    } else if (key[left] < key[j]) {
      exchange(left, j);
    }
  }
  if (i < right) {
    if (right - 1 > i) {
      SortByWidth(i, right);
    } else if (key[i] < key[right]) {
      exchange(i, right);
    }
  }
}

bool MakeCode(int bits, int last, uint8_t* widths, uint16_t* table) {
  uint8_t* key = codes.sortKeys;
  uint16_t* sym = codes.sortSymbols;
  memcpy(key, widths, size_t(last) + 1);
  if (last > 0) {
    for (int i = 0; i <= last; i++) sym[i] = uint16_t(i);
    SortByWidth(0, last);
  } else {
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
    for (int e = 0; e < k; e++) table[p + e] = sym[i];
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
