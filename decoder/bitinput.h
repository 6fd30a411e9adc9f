// bitinput.h - bit input and Huffman code tables of the decoder.
//
// Bit input state. The packed stream is a sequence of 32-bit little-endian
// words, each read from its most significant bit down. The word buffer holds
// 1,024 words (4,096 bytes); `index` (0..1021 between operations) and `offset`
// (0..31) give the read position, and `window` always holds the 32 bits that
// start there, the next bit in bit 31. Peeking n bits is `window >> (32 - n)`.
//
// Invariants, kept by SkipBits:
//   * n <= 31 per skip, so the index moves by at most one word per call and
//     reaches 1022 exactly once per 4,088 consumed bytes; at that moment
//     RefillBits moves words 1022 and 1023 to 0 and 1 and reads the next
//     4,088 packed bytes behind them. So `index + 1` is always a valid word.
//   * Bytes a refill does not supply keep their previous contents (the buffer
//     is zero-filled when allocated, so stale bits are deterministic).
// `supplied` and `consumedBase` count stream bytes, so the decoder can tell
// when it has consumed bits that the packed data never supplied.
//
// Code tables. A table has 2^B 16-bit symbol entries (B = 11 for the main
// and the length code, 7 for a pre-code, which is built in the first 128
// entries of the table of the code it carries). Widths never exceed B, so a
// symbol is resolved by one lookup: symbol = table[window >> (32 - B)], then
// SkipBits(widths[symbol]). The width array is read after the lookup because
// MakeCode may raise a lone symbol's width to 1.
#pragma once

#include <cstdint>
#include <cstring>

#include "archive/aceformat.h"

constexpr int kWordBufferSize = 4096;
constexpr int kWordCount = kWordBufferSize / 4;
constexpr int kRefillIndex = kWordCount - 2;          // 1022
constexpr int kRefillBytes = kWordBufferSize - 8;     // 4088

constexpr int kMainSymbols = 283;    // 256 literals, 4 repeats, 23 distance classes
constexpr int kLengthSymbols = 256;
constexpr int kPreSymbols = 16;
constexpr int kCodeBits = 11;        // index width of the main and length tables
constexpr int kPreCodeBits = 7;
constexpr int kTableSize = 1 << kCodeBits;  // 2,048 entries

struct BitInput {
  uint8_t* bytes;          // the word buffer, kWordBufferSize bytes
  uint32_t index;          // word index of the read position
  uint32_t offset;         // bit offset within that word
  uint32_t window;         // the 32 bits from the read position on
  bool fromMemory;         // comment input: refills supply nothing
  uint32_t supplied;       // stream bytes placed in the buffer so far
  uint32_t consumedBase;   // stream bytes before word 0 of the buffer
};
extern BitInput bitInput;

// The decoding tables, width arrays and sort work area, one instance each.
struct CodeTables {
  uint16_t mainTable[kTableSize];
  uint16_t lengthTable[kTableSize];
  uint8_t mainWidths[kMainSymbols];
  uint8_t lengthWidths[kLengthSymbols];
  uint8_t preWidths[kPreSymbols];
  uint8_t sortKeys[kMainSymbols + 1];     // + the sentinel key
  uint16_t sortSymbols[kMainSymbols + 1];
};
extern CodeTables codes;

inline uint32_t WordAt(const uint8_t* bytes, uint32_t index) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint32_t w;
  memcpy(&w, bytes + 4 * index, 4);
  return w;
#else
  return ace::Load32(bytes + 4 * index);
#endif
}

// The word at the read position and the next one side by side; shifting the
// pair right by 32 - offset (1..32) leaves the window in the low 32 bits,
// with no special case for offset 0.
inline void FormWindow(BitInput& in) {
  const uint64_t pair = uint64_t(WordAt(in.bytes, in.index)) << 32 | WordAt(in.bytes, in.index + 1);
  in.window = uint32_t(pair >> (32 - in.offset));
}

// Moves words 1022 and 1023 to the front and reads the next packed bytes
// behind them; the index goes back by 1,022 words.
void RefillWordBuffer(BitInput& in);

inline void RefillBits(BitInput& in) {
  in.index -= kRefillIndex;
  RefillWordBuffer(in);
}

inline uint32_t PeekBits(const BitInput& in, int n) { return in.window >> (32 - n); }

inline void SkipBits(BitInput& in, uint32_t n) {
  in.offset += n;
  in.index += in.offset >> 5;
  in.offset &= 31;
  if (in.index == uint32_t(kRefillIndex)) RefillBits(in);
  FormWindow(in);
}

inline uint32_t ReadBits(BitInput& in, int n) {
  const uint32_t v = PeekBits(in, n);
  SkipBits(in, n);
  return v;
}

// Stream bytes consumed so far, counting a partly consumed byte as whole.
inline uint32_t ConsumedBytes(const BitInput& in) {
  return in.consumedBase + in.index * 4 + (in.offset + 7) / 8;
}

// The first 4,096 bytes of the current entry's packed data.
void LoadBits();
// The first min(size, 4,096) bytes of a packed comment held in memory.
void LoadBits(const uint8_t* bytes, int32_t size);

bool ReadWidths(int bits, uint16_t* table, uint8_t* widths, int lastMax);
bool MakeCode(int bits, int last, uint8_t* widths, uint16_t* table);
void SortByWidth(int left, int right);

inline uint32_t DecodeSymbol(BitInput& in, const uint16_t* table, const uint8_t* widths) {
  const uint32_t symbol = table[in.window >> (32 - kCodeBits)];
  SkipBits(in, widths[symbol]);
  return symbol;
}
