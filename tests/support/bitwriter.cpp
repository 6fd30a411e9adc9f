// bitwriter.cpp - test-side encoder for LZ streams, width tables and comments.
#include "tests/support/bitwriter.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "decoder/bitinput.h"

namespace qmktest {

void BitWriter::Put(uint32_t value, int bits) {
  if (bits < 32) value &= (uint32_t(1) << bits) - 1;
  acc_ = (acc_ << bits) | value;
  count_ += bits;
  total_ += uint64_t(bits);
  while (count_ >= 32) {
    const uint32_t word = uint32_t(acc_ >> (count_ - 32));
    for (int k = 0; k < 4; k++) bytes_.push_back(uint8_t(word >> (8 * k)));
    count_ -= 32;
  }
  acc_ &= (uint64_t(1) << count_) - 1;
}

std::vector<uint8_t> BitWriter::Finish() {
  if (count_ > 0) Put(0, 32 - count_);
  return bytes_;
}

uint32_t ReferenceCrc(const uint8_t* data, size_t size, uint32_t crc) {
  for (size_t i = 0; i < size; i++) {
    crc ^= data[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  return crc;
}

DistanceCode CodeDistance(uint32_t distance) {
  const uint32_t v = distance - 1;
  DistanceCode d{};
  if (v < 2) {
    d.symbol = 260 + v;
  } else {
    int c = 1;
    while ((v >> c) != 0) c++;  // v in [2^(c-1), 2^c)
    d.symbol = 260 + uint32_t(c);
    d.extraBits = c - 1;
    d.extra = v - (uint32_t(1) << (c - 1));
  }
  d.lengthBase = v < 256 ? 2 : v < 8192 ? 3 : 4;
  return d;
}

CodeWords AssignCodeWords(const std::vector<uint8_t>& widths, int bits) {
  CodeWords cw;
  cw.widths = widths;
  // The decoder sorts symbols 0..N, N being the last index the width table
  // sends: the last symbol with a width. The tie order depends on N.
  int last = 0;
  for (size_t s = 0; s < widths.size(); s++) {
    if (widths[s]) last = int(s);
  }
  std::vector<uint16_t> table(size_t(1) << bits, 0xFFFF);
  cw.ok = MakeCode(bits, last, cw.widths.data(), table.data());
  cw.words.assign(widths.size(), 0);
  for (size_t s = 0; s <= size_t(last); s++) {
    if (cw.widths[s] == 0) continue;
    for (size_t p = 0; p < table.size(); p++) {
      if (table[p] != 0xFFFF && EntrySymbol(table[p]) == s) {
        cw.words[s] = uint32_t(p >> (bits - cw.widths[s]));
        break;
      }
    }
  }
  return cw;
}

void PutWidthTable(BitWriter& w, const std::vector<uint8_t>& widths, const WidthTableStyle& style) {
  int last = 0;
  uint8_t maxWidth = 0;
  for (size_t i = 0; i < widths.size(); i++) {
    if (widths[i]) last = int(i);
    maxWidth = std::max(maxWidth, widths[i]);
  }
  const int offset = style.offset;
  // Values are the widths less the offset, sent as differences modulo the
  // range, so a run of equal widths is a run of zeros.
  const int range = style.range >= 0 ? style.range : std::max(2, maxWidth + 1 - offset);
  if (range > 15) throw std::invalid_argument("width table: range above 15");
  for (uint8_t width : widths) {
    if (width && (width - offset < 1 || width - offset >= range)) {
      throw std::invalid_argument("width table: width outside offset and range");
    }
  }
  w.Put(uint32_t(last), 9);
  w.Put(uint32_t(offset), 4);
  w.Put(uint32_t(range), 4);
  std::vector<uint8_t> pre = style.pre.empty() ? std::vector<uint8_t>(size_t(range) + 1, 4) : style.pre;
  if (pre.size() != size_t(range) + 1) throw std::invalid_argument("width table: pre-code size");
  for (int s = 0; s <= range; s++) w.Put(pre[size_t(s)], 3);
  const CodeWords pc = AssignCodeWords(pre, 7);

  std::vector<int> diffs;
  int previous = 0;
  for (int i = 0; i <= last; i++) {
    const int value = widths[size_t(i)] ? widths[size_t(i)] - offset : 0;
    diffs.push_back(((value - previous) % range + range) % range);
    previous = value;
  }
  for (size_t i = 0; i < diffs.size();) {
    size_t run = 0;
    while (i + run < diffs.size() && diffs[i + run] == 0 && run < 19) run++;
    if (run >= 4) {
      w.Put(pc.words[size_t(range)], pc.widths[size_t(range)]);
      w.Put(uint32_t(run - 4), 4);
      i += run;
    } else {
      w.Put(pc.words[size_t(diffs[i])], pc.widths[size_t(diffs[i])]);
      i++;
    }
  }
}

std::vector<uint8_t> FlatWidths(const std::vector<uint32_t>& counts) {
  std::vector<uint8_t> widths(counts.size(), 0);
  size_t used = 0;
  for (uint32_t c : counts) used += c ? 1 : 0;
  uint8_t width = 1;
  while ((size_t(1) << width) < used) width++;
  for (size_t s = 0; s < counts.size(); s++) {
    if (counts[s]) widths[s] = width;
  }
  return widths;
}

namespace {

struct Coded {
  uint32_t symbol;
  uint32_t extra;
  int extraBits;
  uint32_t lengthSymbol;  // 0xFFFFFFFF for literals
};

// Maps tokens to symbols, keeping the distance history as the decoder does.
struct HistoryCoder {
  uint32_t hist[4] = {0, 0, 0, 0};
  uint32_t p = 0;

  Coded Code(const Token& t) {
    if (t.kind == Token::kLiteral) return {t.value, 0, 0, 0xFFFFFFFFu};
    if (t.kind == Token::kMatch) {
      const DistanceCode d = CodeDistance(t.value);
      p = (p + 1) & 3;
      hist[p] = t.value - 1;
      return {d.symbol, d.extra, d.extraBits, t.length - d.lengthBase};
    }
    const uint32_t r = t.value;
    const uint32_t v = hist[(p - r) & 3];
    for (uint32_t k = r; k >= 1; k--) hist[(p - k) & 3] = hist[(p - k + 1) & 3];
    hist[p] = v;
    return {256 + r, 0, 0, t.length - (r < 2 ? 2 : 3)};
  }
};

}  // namespace

std::vector<uint8_t> EncodeBlocks(const std::vector<Block>& blocks) {
  BitWriter w;
  HistoryCoder history;
  for (const Block& b : blocks) {
    std::vector<Coded> coded;
    std::vector<uint32_t> mainCounts(kMainSymbols, 0), lengthCounts(kLengthSymbols, 0);
    for (const Token& t : b.tokens) {
      coded.push_back(history.Code(t));
      mainCounts[coded.back().symbol]++;
      if (coded.back().lengthSymbol != 0xFFFFFFFFu) {
        if (coded.back().lengthSymbol > 255) throw std::invalid_argument("match length out of range");
        lengthCounts[coded.back().lengthSymbol]++;
      }
    }
    const std::vector<uint8_t> mw = b.mainWidths.empty() ? FlatWidths(mainCounts) : b.mainWidths;
    const std::vector<uint8_t> lw = b.lengthWidths.empty() ? FlatWidths(lengthCounts) : b.lengthWidths;
    PutWidthTable(w, mw, b.mainStyle);
    PutWidthTable(w, lw, b.lengthStyle);
    const CodeWords mc = AssignCodeWords(mw, kCodeBits);
    const CodeWords lc = AssignCodeWords(lw, kCodeBits);
    w.Put(uint32_t(b.blockCount >= 0 ? b.blockCount : int(b.tokens.size())), 15);
    for (const Coded& c : coded) {
      w.Put(mc.words[c.symbol], mc.widths[c.symbol]);
      if (c.extraBits) w.Put(c.extra, c.extraBits);
      if (c.lengthSymbol != 0xFFFFFFFFu) w.Put(lc.words[c.lengthSymbol], lc.widths[c.lengthSymbol]);
    }
  }
  return w.Finish();
}

namespace {

struct Rng {
  uint32_t x;
  uint32_t Next() {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
};

// Random code lengths for the used symbols: all start at `maxBits`, then
// random ones are shortened while the code stays within Kraft's limit.
std::vector<uint8_t> RandomLengths(const std::vector<uint32_t>& counts, int maxBits, Rng& rng) {
  std::vector<uint8_t> lengths(counts.size(), 0);
  std::vector<size_t> used;
  for (size_t s = 0; s < counts.size(); s++) {
    if (counts[s]) {
      lengths[s] = uint8_t(maxBits);
      used.push_back(s);
    }
  }
  if (used.empty()) return lengths;
  uint64_t kraft = used.size();  // in units of 2^-maxBits
  const uint64_t full = uint64_t(1) << maxBits;
  const int tries = int(used.size()) * 12;
  for (int k = 0; k < tries; k++) {
    const size_t s = used[rng.Below(uint32_t(used.size()))];
    if (lengths[s] <= 1) continue;
    const uint64_t grow = uint64_t(1) << (maxBits - lengths[s]);
    if (kraft + grow > full) continue;
    kraft += grow;
    lengths[s]--;
  }
  return lengths;
}

WidthTableStyle RandomStyle(const std::vector<uint8_t>& widths, Rng& rng) {
  int lo = 99;
  int hi = 0;
  for (uint8_t w : widths) {
    if (w) {
      lo = std::min(lo, int(w));
      hi = std::max(hi, int(w));
    }
  }
  WidthTableStyle style;
  if (hi == 0) return style;
  style.offset = int(rng.Below(uint32_t(lo)));          // keeps every value >= 1
  const int minRange = hi - style.offset + 1;
  style.range = minRange + int(rng.Below(uint32_t(16 - minRange)));
  std::vector<uint32_t> all(size_t(style.range) + 1, 1);
  style.pre = RandomLengths(all, 7, rng);
  return style;
}

}  // namespace

std::vector<Block> RandomBlocks(const std::vector<Token>& tokens, uint32_t seed) {
  Rng rng{seed * 2654435761u + 12345};
  std::vector<Block> blocks;
  size_t i = 0;
  do {
    const size_t n = std::min(tokens.size() - i, size_t(1 + rng.Below(rng.Below(4) == 0 ? 20 : 6000)));
    Block b;
    b.tokens.assign(tokens.begin() + long(i), tokens.begin() + long(i + n));
    i += n;
    std::vector<uint32_t> mainCounts(kMainSymbols, 0), lengthCounts(kLengthSymbols, 0);
    for (const Token& t : b.tokens) {
      if (t.kind == Token::kLiteral) {
        mainCounts[t.value]++;
      } else if (t.kind == Token::kMatch) {
        const DistanceCode d = CodeDistance(t.value);
        mainCounts[d.symbol]++;
        lengthCounts[t.length - d.lengthBase]++;
      } else {
        mainCounts[256 + t.value]++;
        lengthCounts[t.length - (t.value < 2 ? 2 : 3)]++;
      }
    }
    b.mainWidths = RandomLengths(mainCounts, 11, rng);
    b.lengthWidths = RandomLengths(lengthCounts, 11, rng);
    b.mainStyle = RandomStyle(b.mainWidths, rng);
    b.lengthStyle = RandomStyle(b.lengthWidths, rng);
    blocks.push_back(b);
  } while (i < tokens.size());
  return blocks;
}

std::vector<uint8_t> EncodeTokens(const std::vector<Token>& tokens) {
  std::vector<Block> blocks;
  for (size_t i = 0; i < tokens.size(); i += 30000) {
    Block b;
    b.tokens.assign(tokens.begin() + long(i), tokens.begin() + long(std::min(tokens.size(), i + 30000)));
    blocks.push_back(b);
  }
  if (blocks.empty()) blocks.push_back(Block{});
  return EncodeBlocks(blocks);
}

std::vector<Token> GreedyTokens(const std::vector<uint8_t>& data, size_t start, size_t end, uint32_t window) {
  std::vector<Token> out;
  constexpr int kHashBits = 15;
  std::vector<int64_t> head(size_t(1) << kHashBits, -1);
  std::vector<int64_t> prev(data.size(), -1);
  auto hash = [&](size_t i) {
    return ((uint32_t(data[i]) << 16 | uint32_t(data[i + 1]) << 8 | data[i + 2]) * 2654435761u) >> (32 - kHashBits);
  };
  auto insert = [&](size_t i) {
    if (i + 2 < data.size()) {
      const uint32_t h = hash(i);
      prev[i] = head[h];
      head[h] = int64_t(i);
    }
  };
  const size_t from = start > window ? start - window : 0;
  for (size_t i = from; i < start; i++) insert(i);
  uint32_t hist[4] = {0, 0, 0, 0};
  uint32_t p = 0;
  for (size_t i = start; i < end;) {
    size_t bestLen = 0;
    size_t bestDist = 0;
    // Repeat distances first: they cost no extra bits.
    int bestRepeat = -1;
    for (int r = 0; r < 4; r++) {
      const size_t d = size_t(hist[(p - uint32_t(r)) & 3]) + 1;
      if (d > i || d >= window) continue;
      const size_t most = r < 2 ? 257 : 258;
      size_t n = 0;
      while (i + n < end && n < most && data[i + n - d] == data[i + n]) n++;
      if (n >= 3 && n > bestLen) {
        bestLen = n;
        bestDist = d;
        bestRepeat = r;
      }
    }
    if (i + 2 < end) {
      int chain = 64;
      for (int64_t c = head[hash(i)]; c >= 0 && chain-- > 0; c = prev[size_t(c)]) {
        const size_t d = i - size_t(c);
        if (d >= window) break;
        const size_t base = (d - 1) < 256 ? 2 : (d - 1) < 8192 ? 3 : 4;
        size_t n = 0;
        while (i + n < end && n < base + 255 && data[size_t(c) + n] == data[i + n]) n++;
        if (n >= base + 1 && n > bestLen + 1) {
          bestLen = n;
          bestDist = d;
          bestRepeat = -1;
        }
      }
    }
    size_t step = 1;
    if (bestLen > 0 && bestRepeat >= 0) {
      out.push_back(Token::Repeat(uint32_t(bestRepeat), uint32_t(bestLen)));
      const uint32_t v = hist[(p - uint32_t(bestRepeat)) & 3];
      for (uint32_t k = uint32_t(bestRepeat); k >= 1; k--) hist[(p - k) & 3] = hist[(p - k + 1) & 3];
      hist[p] = v;
      step = bestLen;
    } else if (bestLen > 0) {
      out.push_back(Token::Match(uint32_t(bestDist), uint32_t(bestLen)));
      p = (p + 1) & 3;
      hist[p] = uint32_t(bestDist - 1);
      step = bestLen;
    } else {
      out.push_back(Token::Literal(data[i]));
    }
    for (size_t k = 0; k < step; k++) insert(i + k);
    i += step;
  }
  return out;
}

std::vector<uint8_t> EncodeComment(const std::string& text) {
  const size_t total = text.size();
  std::vector<uint16_t> context(511, 0);
  std::vector<uint32_t> symbols;
  size_t i = 0;
  while (i < total) {
    size_t j = 0;
    if (i >= 2) {
      const int h = uint8_t(text[i - 1]) + uint8_t(text[i - 2]);
      j = context[size_t(h)];
      context[size_t(h)] = uint16_t(i);
    }
    size_t n = 0;
    if (i >= 2) {
      while (n < 28 && i + n < total && text[j + n] == text[i + n]) n++;
    }
    if (n >= 2) {
      symbols.push_back(uint32_t(254 + n));
      i += n;
    } else {
      symbols.push_back(uint8_t(text[i]));
      i++;
    }
  }
  std::vector<uint32_t> counts(kMainSymbols, 0);
  for (uint32_t s : symbols) counts[s]++;
  const std::vector<uint8_t> widths = FlatWidths(counts);
  BitWriter w;
  w.Put(uint32_t(total), 15);
  PutWidthTable(w, widths);
  const CodeWords cw = AssignCodeWords(widths, kCodeBits);
  for (uint32_t s : symbols) w.Put(cw.words[s], cw.widths[s]);
  return w.Finish();
}

}  // namespace qmktest
