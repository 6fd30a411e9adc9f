// bitwriter.h - hand-made streams for tests: bits in the decoder's order, LZ
// token streams, width tables, comments, and a reference CRC. Bits, code words
// and width tables come from the encoder's own pieces; what is written (which
// tokens, in which blocks, with which counts) is the test's choice. Code words
// follow the decoder's table builder, whose tie order codes_test pins by hand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encoder/huffman.h"

namespace qmktest {

// Put(value, bits): most significant bit first, into 32-bit little-endian
// words filled from their top bit. Finish pads the last word with zeros.
struct BitWriter : qmk::BitSink {
  std::vector<uint8_t> Finish() { return Flush(), Bytes(); }
};

// CRC-32 bit by bit: register started at 0xFFFFFFFF, no final inversion.
uint32_t ReferenceCrc(const uint8_t* data, size_t size, uint32_t crc = 0xFFFFFFFFu);
inline uint32_t ReferenceCrc(const std::vector<uint8_t>& v) { return ReferenceCrc(v.data(), v.size()); }

struct Token {
  enum Kind { kLiteral, kMatch, kRepeat } kind;
  uint32_t value;   // literal byte, copy distance (>= 1), or repeat index 0..3
  uint32_t length;  // of a match or repeat
  static Token Literal(uint8_t b) { return {kLiteral, b, 0}; }
  static Token Match(uint32_t distance, uint32_t length) { return {kMatch, distance, length}; }
  static Token Repeat(uint32_t index, uint32_t length) { return {kRepeat, index, length}; }
};

// Code words for a width array as the decoder assigns them (a lone symbol
// gets width 1).
struct CodeWords {
  std::vector<uint8_t> widths;
  std::vector<uint32_t> words;
};
CodeWords AssignCodeWords(const std::vector<uint8_t>& widths, int bits);
// A width table that decodes to `widths` (each at most 14).
void PutWidthTable(BitWriter& w, const std::vector<uint8_t>& widths);

// A block of tokens with flat codes (every symbol used has the same width);
// blockCount is the count sent, -1 for the number of tokens.
struct Block {
  std::vector<Token> tokens;
  int blockCount = -1;
};
std::vector<uint8_t> EncodeBlocks(const std::vector<Block>& blocks);
// Tokens in blocks of at most 30,000 symbols.
std::vector<uint8_t> EncodeTokens(const std::vector<Token>& tokens);
// An archive comment packed as qmkpack packs it.
std::vector<uint8_t> EncodeComment(const std::string& text);

}  // namespace qmktest
