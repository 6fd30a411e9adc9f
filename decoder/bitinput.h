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
// Code tables. A table has 2^B 16-bit entries (B = 11 for the main and the
// length code, 7 for a pre-code, which is built in the first 128 entries of
// the table of the code it carries). Widths never exceed B, so a symbol is
// resolved by one lookup: entry = table[window >> (32 - B)]. An entry holds
// the symbol in its upper bits and, in its low six bits, the width the
// symbol decodes with: the width array's value once the table is built,
// which sees MakeCode raise a lone symbol's width to 1. The width thus comes
// with the lookup instead of from a second, dependent one. Entries a build
// leaves unfilled keep their symbol; ReadWidths gives them that symbol's
// width in the code it has just built.
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
constexpr int kEntryShift = 6;               // symbol above, width below

constexpr uint16_t MakeEntry(uint32_t symbol, uint32_t width) { return uint16_t(symbol << kEntryShift | width); }
constexpr uint32_t EntrySymbol(uint32_t entry) { return entry >> kEntryShift; }
constexpr uint32_t EntryWidth(uint32_t entry) { return entry & ((1u << kEntryShift) - 1); }

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

inline uint32_t DecodeSymbol(BitInput& in, const uint16_t* table) {
  const uint32_t entry = table[in.window >> (32 - kCodeBits)];
  SkipBits(in, EntryWidth(entry));
  return EntrySymbol(entry);
}

// The bit input held in locals for a decoding loop. `bits` holds the
// `avail` (at most 63) unread bits that start at the read position, the
// next one in bit 63; below them it holds zeros or the stream's own next
// bits, so a top-up can OR the stream in again. `end` is the stream
// position (in bits from word 0) just past the counted bits, so the read
// position is end - avail. Stores into byte arrays may alias anything, so
// state in memory would be written back after every byte; in a local copy
// it stays in registers.
//
// Fill() adds the two words from `end` on: whatever the alignment, that is
// at least 33 bits, so a reader holding 11 bits holds 44 after it (or 63).
// It must be called with the read position below word 1,022, which Top()
// sees to by refilling the word buffer first when the position has reached
// word 1,022, the point where SkipBits would have. Then `end` lies below
// word 1,024: two words from word 1,023 would pass the buffer's end, so
// there the second word is word 1,023 again; its bits land beyond the 64
// that are kept, since the position is then more than 64 bits back.
// Store() hands the position back to `bitInput`, refilling the word buffer
// first if it was due, so the buffer is refilled at exactly the stream
// positions where SkipBits refills it.
struct BitReader {
  const uint8_t* words;
  uint64_t bits;
  uint32_t avail;
  uint32_t end;

  uint32_t Position() const { return end - avail; }
  void Load() {
    words = bitInput.bytes;
    const uint32_t pos = bitInput.index * 32 + bitInput.offset;
    end = pos;
    avail = 0;
    bits = 0;
    Fill();
  }
  void Store() {
    RefillIfDue();
    const uint32_t pos = Position();
    bitInput.index = pos >> 5;
    bitInput.offset = pos & 31;
    FormWindow(bitInput);
  }
  void RefillIfDue() {
    if (Position() >= uint32_t(kRefillIndex) * 32) {
      RefillWordBuffer(bitInput);
      end -= uint32_t(kRefillIndex) * 32;
    }
  }
  void Fill() {
    const uint32_t index = end >> 5;
    const uint32_t second = index < uint32_t(kWordCount) - 1 ? index + 1 : index;
    const uint64_t pair = (uint64_t(WordAt(words, index)) << 32 | WordAt(words, second)) << (end & 31);
    bits |= pair >> avail;
    uint32_t held = avail + 64 - (end & 31);
    held = held > 63 ? 63 : held;
    end += held - avail;
    avail = held;
  }
  void Top() {
    RefillIfDue();
    Fill();
  }
  uint32_t Peek(int n) const { return uint32_t(bits >> (64 - n)); }
  // Up to 21 bits; 0 bits read as 0.
  uint32_t PeekUpTo21(uint32_t n) const { return uint32_t(bits >> 1 >> (63 - n)); }
  void Skip(uint32_t n) {
    bits <<= n & 63;
    avail -= n;
  }
  uint32_t Read(int n) {
    const uint32_t v = Peek(n);
    Skip(uint32_t(n));
    return v;
  }
  // Decodes one symbol of an 11-bit table.
  uint32_t Decode(const uint16_t* table) {
    const uint32_t entry = table[Peek(kCodeBits)];
    Skip(EntryWidth(entry));
    return EntrySymbol(entry);
  }
};
