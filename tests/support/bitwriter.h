// bitwriter.h - builders for hand-made archives in tests: a bit writer in the
// decoder's bit order, a token encoder for LZ streams and comments, a greedy
// matcher, and a reference CRC.
//
// The bit writer packs bits into 32-bit little-endian words from the most
// significant bit down, the order the decoder reads. Code words are taken
// from the decoder's own table builder (MakeCode), inverted: a symbol's code
// word is the first table index that names it, shifted down to its width.
// That keeps the encoder honest about tie order without a second copy of the
// sort; the sort itself is pinned by hand-worked tables in codes_test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmktest {

class BitWriter {
 public:
  // Appends the low `bits` bits of value, most significant first (1..32).
  void Put(uint32_t value, int bits);
  // Pads the last word with zero bits and returns the stream.
  std::vector<uint8_t> Finish();
  uint64_t BitCount() const { return total_; }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t acc_ = 0;
  int count_ = 0;
  uint64_t total_ = 0;
};

// Reference CRC-32 register, bit by bit: start 0xFFFFFFFF, no final inversion.
uint32_t ReferenceCrc(const uint8_t* data, size_t size, uint32_t crc = 0xFFFFFFFFu);
inline uint32_t ReferenceCrc(const std::vector<uint8_t>& v) { return ReferenceCrc(v.data(), v.size()); }

struct Token {
  enum Kind { kLiteral, kMatch, kRepeat } kind;
  uint32_t value;   // literal byte, copy distance (>= 1), or repeat index 0..3
  uint32_t length;  // match length (kMatch, kRepeat)
  static Token Literal(uint8_t b) { return {kLiteral, b, 0}; }
  static Token Match(uint32_t distance, uint32_t length) { return {kMatch, distance, length}; }
  static Token Repeat(uint32_t index, uint32_t length) { return {kRepeat, index, length}; }
};

// Main-code symbol and extra bits for a new copy distance.
struct DistanceCode {
  uint32_t symbol;
  uint32_t extra;
  int extraBits;
  uint32_t lengthBase;
};
DistanceCode CodeDistance(uint32_t distance);

// Code words for a width array, as the decoder will assign them.
struct CodeWords {
  std::vector<uint8_t> widths;  // after MakeCode (a lone symbol gets width 1)
  std::vector<uint32_t> words;
  bool ok = false;
};
CodeWords AssignCodeWords(const std::vector<uint8_t>& widths, int bits);

// How a width table is sent: width offset L, value range U (-1: the largest
// width + 1 - L) and the pre-code widths for values 0..U (empty: 4 bits each).
struct WidthTableStyle {
  int offset = 0;
  int range = -1;
  std::vector<uint8_t> pre;
};

// Writes a width table (last index, offset, range, pre-code, values) that
// decodes to `widths`. Every nonzero width w needs 1 <= w - L < U.
void PutWidthTable(BitWriter& w, const std::vector<uint8_t>& widths, const WidthTableStyle& style = {});

// Widths for the symbols that occur: none, one (width 1) or a flat code.
std::vector<uint8_t> FlatWidths(const std::vector<uint32_t>& counts);

struct Block {
  std::vector<Token> tokens;
  std::vector<uint8_t> mainWidths;    // empty: computed from the tokens
  std::vector<uint8_t> lengthWidths;  // empty: computed from the tokens
  int blockCount = -1;                // -1: the number of tokens
  WidthTableStyle mainStyle;
  WidthTableStyle lengthStyle;
};

// Splits tokens into blocks of random sizes with random (valid, often
// incomplete) code lengths and random width-table styles: the shapes a
// different encoder could choose. Deterministic for a seed.
std::vector<Block> RandomBlocks(const std::vector<Token>& tokens, uint32_t seed);

// Encodes blocks into one entry's packed stream; the distance history is
// tracked as the decoder tracks it.
std::vector<uint8_t> EncodeBlocks(const std::vector<Block>& blocks);
// Splits tokens into blocks of at most 30,000 symbols and encodes them.
std::vector<uint8_t> EncodeTokens(const std::vector<Token>& tokens);

// Greedy LZ77 over data[start, end), allowed to refer back to data[0, start)
// within `window` bytes. Uses repeat symbols when a distance is in history.
std::vector<Token> GreedyTokens(const std::vector<uint8_t>& data, size_t start, size_t end,
                                uint32_t window = 1u << 20);

// Packs an archive comment for the comment decoder.
std::vector<uint8_t> EncodeComment(const std::string& text);

}  // namespace qmktest
