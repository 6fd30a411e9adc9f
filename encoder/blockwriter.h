// blockwriter.h - turns a parsed symbol sequence into coded blocks.
//
// A block is: the main-code width table, the length-code width table, a
// 15-bit symbol count, then the symbols, each main symbol followed by its
// distance extra bits and its length symbol where it has them. The writer
// picks block boundaries, builds length-limited codes for each block, and
// sends each width table with the offset, value range, pre-code and zero
// runs that cost the fewest bits.
#pragma once

#include <cstdint>
#include <vector>

#include "encoder/huffman.h"

namespace qmk {

constexpr int kMainCount = 283;
constexpr int kLengthCount = 256;
constexpr int kMaxCodeBits = 11;
constexpr int kMaxPreBits = 7;
constexpr int kMaxBlockSymbols = 32767;

// One coded step of the stream.
struct Symbol {
  uint16_t main;        // 0..255 literal, 256..259 repeat, 260..282 new distance class
  uint8_t lengthSym;    // length less its base (main >= 256); 0 for a literal
  uint8_t extraBits;    // distance extra bits (main >= 262); else 0
  uint32_t extra;
};

// Per-symbol costs in bits, for the parser.
struct CostModel {
  uint8_t main[kMainCount];
  uint8_t length[kLengthCount];
  void SetDefaults();
  // From the widths of the block just written; unused symbols get a
  // pessimistic estimate.
  void FromWidths(const uint8_t* mainWidths, const uint8_t* lengthWidths);
};

class BlockWriter {
 public:
  explicit BlockWriter(int level) : level_(level) {}
  // Codes `symbols` as one or more blocks into `out`, updating `costs` from
  // the last block written.
  void Write(const std::vector<Symbol>& symbols, BitSink& out, CostModel& costs);

  // Bits a width table for `widths` costs with its best parameters; when
  // `out` is given, writes it. `thorough` tries every offset and range;
  // otherwise only those near the smallest values, where the best nearly
  // always lies.
  static uint32_t WidthTable(const uint8_t* widths, int count, BitSink* out, bool thorough = true);

 private:
  void WriteBlock(const Symbol* s, size_t n, BitSink& out, CostModel& costs);
  void WriteSplitByCost(const std::vector<Symbol>& symbols, BitSink& out, CostModel& costs);
  int level_;
  // Work areas of the split search, kept between calls.
  std::vector<uint32_t> splitCounts_;
  std::vector<uint64_t> splitExtra_;
  std::vector<double> splitBest_;
  std::vector<size_t> splitFrom_, splitCuts_;
};

// Main symbol and extra bits for a distance value v (distance - 1).
inline void DistanceSymbol(uint32_t v, Symbol& s) {
  if (v < 2) {
    s.main = uint16_t(260 + v);
    s.extraBits = 0;
    s.extra = 0;
    return;
  }
  const int c = 32 - __builtin_clz(v);  // v in [2^(c-1), 2^c)
  s.main = uint16_t(260 + c);
  s.extraBits = uint8_t(c - 1);
  s.extra = v - (uint32_t(1) << (c - 1));
}

inline uint32_t LengthBase(uint32_t v) { return v < 256 ? 2 : v < 8192 ? 3 : 4; }

}  // namespace qmk
