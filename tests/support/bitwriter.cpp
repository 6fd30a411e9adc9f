// bitwriter.cpp - test-side encoder for LZ streams, width tables and comments.
#include "tests/support/bitwriter.h"

#include <algorithm>

#include "decoder/bitinput.h"
#include "encoder/archivewriter.h"
#include "encoder/blockwriter.h"

namespace qmktest {

uint32_t ReferenceCrc(const uint8_t* data, size_t size, uint32_t crc) {
  for (size_t i = 0; i < size; i++) {
    crc ^= data[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  return crc;
}

namespace {
// A token as coded: main symbol, distance extra bits, length symbol (-1 for
// a literal).
struct Coded {
  uint32_t symbol, extra;
  int extraBits, lengthSymbol;
};
Coded CodeToken(const Token& t) {
  if (t.kind == Token::kLiteral) return {t.value, 0, 0, -1};
  if (t.kind == Token::kRepeat) return {256 + t.value, 0, 0, int(t.length) - (t.value < 2 ? 2 : 3)};
  const uint32_t v = t.value - 1;
  const int base = v < 256 ? 2 : v < 8192 ? 3 : 4;
  if (v < 2) return {260 + v, 0, 0, int(t.length) - base};
  int c = 1;
  while ((v >> c) != 0) c++;  // v in [2^(c-1), 2^c)
  return {260 + uint32_t(c), v - (uint32_t(1) << (c - 1)), c - 1, int(t.length) - base};
}
}  // namespace

CodeWords AssignCodeWords(const std::vector<uint8_t>& widths, int bits) {
  CodeWords cw{widths, std::vector<uint32_t>(widths.size())};
  qmk::AssignCodeWords(bits, qmk::LastUsed(widths.data(), int(widths.size())), cw.widths.data(), cw.words.data());
  return cw;
}

void PutWidthTable(BitWriter& w, const std::vector<uint8_t>& widths) {
  qmk::BlockWriter::WidthTable(widths.data(), int(widths.size()), &w);
}

std::vector<uint8_t> EncodeBlocks(const std::vector<Block>& blocks) {
  BitWriter w;
  for (const Block& b : blocks) {
    std::vector<uint32_t> counts[2] = {std::vector<uint32_t>(kMainSymbols), std::vector<uint32_t>(kLengthSymbols)};
    for (const Token& t : b.tokens) {
      const Coded c = CodeToken(t);
      counts[0][c.symbol]++;
      if (c.lengthSymbol >= 0) counts[1].at(size_t(c.lengthSymbol))++;
    }
    CodeWords cw[2];
    for (int k = 0; k < 2; k++) {
      const size_t used = size_t(std::count_if(counts[k].begin(), counts[k].end(), [](uint32_t n) { return n; }));
      uint8_t width = 1;
      while ((size_t(1) << width) < used) width++;
      std::vector<uint8_t> widths;
      for (uint32_t n : counts[k]) widths.push_back(n ? width : 0);
      PutWidthTable(w, widths);
      cw[k] = AssignCodeWords(widths, kCodeBits);
    }
    w.Put(uint32_t(b.blockCount >= 0 ? b.blockCount : int(b.tokens.size())), 15);
    for (const Token& t : b.tokens) {
      const Coded c = CodeToken(t);
      w.Put(cw[0].words[c.symbol], cw[0].widths[c.symbol]);
      if (c.extraBits) w.Put(c.extra, c.extraBits);
      if (c.lengthSymbol >= 0) w.Put(cw[1].words[size_t(c.lengthSymbol)], cw[1].widths[size_t(c.lengthSymbol)]);
    }
  }
  return w.Finish();
}

std::vector<uint8_t> EncodeTokens(const std::vector<Token>& tokens) {
  std::vector<Block> blocks((tokens.size() + 29999) / 30000 + (tokens.empty() ? 1 : 0));
  for (size_t i = 0; i < tokens.size(); i++) blocks[i / 30000].tokens.push_back(tokens[i]);
  return EncodeBlocks(blocks);
}

std::vector<uint8_t> EncodeComment(const std::string& text) { return qmk::PackComment(text); }

}  // namespace qmktest
