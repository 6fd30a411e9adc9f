// bitwriter.h - builders for hand-made streams in tests: a bit writer in the
// decoder's bit order, a token encoder for LZ streams, and a reference CRC.
//
// Bits, code words and width tables are written with the encoder's own
// pieces (qmk::BitSink, AssignCodeWords, BlockWriter::WidthTable); what is
// written is the tests' choice: which tokens, in which blocks, with which
// symbol counts. Code words come from the decoder's table builder, so the
// tie order of its sort is pinned by hand-worked tables in codes_test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encoder/huffman.h"

namespace qmktest {

// Put(value, bits) appends value (below 2^bits), most significant bit first,
// to 32-bit little-endian words filled from their most significant bit.
class BitWriter : public qmk::BitSink {
 public:
  // Pads the last word with zero bits and returns the stream.
  std::vector<uint8_t> Finish() {
    Flush();
    return Bytes();
  }
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

// Code words for a width array, as the decoder will assign them.
struct CodeWords {
  std::vector<uint8_t> widths;  // after MakeCode (a lone symbol gets width 1)
  std::vector<uint32_t> words;
};
CodeWords AssignCodeWords(const std::vector<uint8_t>& widths, int bits);

// Writes a width table (last index, offset, range, pre-code, values) that
// decodes to `widths`, each at most 14.
void PutWidthTable(BitWriter& w, const std::vector<uint8_t>& widths);

// A block of tokens, sent with flat codes: every symbol used gets the same
// width.
struct Block {
  std::vector<Token> tokens;
  int blockCount = -1;  // the count sent; -1: the number of tokens
};

// Encodes blocks into one entry's packed stream.
std::vector<uint8_t> EncodeBlocks(const std::vector<Block>& blocks);
// Splits tokens into blocks of at most 30,000 symbols and encodes them.
std::vector<uint8_t> EncodeTokens(const std::vector<Token>& tokens);

// Packs an archive comment for the comment decoder, as qmkpack does.
std::vector<uint8_t> EncodeComment(const std::string& text);

}  // namespace qmktest
