// blockwriter.cpp - block boundaries, codes and width tables.
#include "encoder/blockwriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qmk {

void CostModel::SetDefaults() {
  for (int s = 0; s < 256; s++) main[s] = 9;
  for (int s = 256; s < 260; s++) main[s] = 6;
  for (int s = 260; s < kMainCount; s++) main[s] = 8;
  for (int s = 0; s < kLengthCount; s++) length[s] = uint8_t(s < 16 ? 4 : s < 64 ? 7 : 10);
}

void CostModel::FromWidths(const uint8_t* mainWidths, const uint8_t* lengthWidths) {
  for (int s = 0; s < kMainCount; s++) main[s] = mainWidths[s] ? mainWidths[s] : 12;
  for (int s = 0; s < kLengthCount; s++) length[s] = lengthWidths[s] ? lengthWidths[s] : 12;
}

namespace {

// Frequencies of one stretch of symbols.
struct Stats {
  uint32_t main[kMainCount];
  uint32_t length[kLengthCount];
  uint64_t extraBits;
  void Clear() { memset(this, 0, sizeof *this); }
  // Without a branch: a literal's length symbol and extra bits are 0.
  void Add(const Symbol& s) {
    main[s.main]++;
    length[s.lengthSym] += s.main >= 256;
    extraBits += s.extraBits;
  }
  void Add(const Stats& o) {
    for (int k = 0; k < kMainCount; k++) main[k] += o.main[k];
    for (int k = 0; k < kLengthCount; k++) length[k] += o.length[k];
    extraBits += o.extraBits;
  }
};

// Bits a stretch costs coded with its own optimal codes, header estimated
// by the widths' count (about 4 bits per sent width).
uint64_t EstimateBits(const Stats& st) {
  uint8_t mw[kMainCount];
  uint8_t lw[kLengthCount];
  LimitedCodeLengths(st.main, kMainCount, kMaxCodeBits, mw);
  LimitedCodeLengths(st.length, kLengthCount, kMaxCodeBits, lw);
  uint64_t bits = st.extraBits + 15;
  int lastMain = 0;
  int lastLength = 0;
  for (int k = 0; k < kMainCount; k++) {
    bits += uint64_t(st.main[k]) * mw[k];
    if (mw[k]) lastMain = k;
  }
  for (int k = 0; k < kLengthCount; k++) {
    bits += uint64_t(st.length[k]) * lw[k];
    if (lw[k]) lastLength = k;
  }
  return bits + 70 + uint64_t(lastMain + lastLength) * 3;
}

// d modulo range for d in (-range, range): values lie in [0, range).
inline uint8_t Wrap(int d, int range) { return uint8_t(d < 0 ? d + range : d); }

// Walks a width table's differences in the order they are sent. Which are
// zero depends on neither the offset nor the range: exactly those of a width
// equal to the one before it (0 before symbol 0), since used widths stay
// above the offset. Four to nineteen zeros in a row go as one run: run(n);
// other zeros one by one: zero(); a nonzero difference: change(s).
template <typename Run, typename Zero, typename Change>
void WalkDifferences(const uint8_t* widths, int last, Run run, Zero zero, Change change) {
  int zeros = 0;
  auto endZeros = [&]() {
    if (zeros >= 4) {
      run(zeros);
    } else {
      for (int k = 0; k < zeros; k++) zero();
    }
    zeros = 0;
  };
  int previous = 0;
  for (int s = 0; s <= last; s++) {
    if (widths[s] == previous) {
      if (++zeros == 19) endZeros();
    } else {
      endZeros();
      change(s);
    }
    previous = widths[s];
  }
  endZeros();
}

}  // namespace

uint32_t BlockWriter::WidthTable(const uint8_t* widths, int count, BitSink* out, bool thorough) {
  int last = 0;
  int lo = 99;
  int hi = 0;
  for (int s = 0; s < count; s++) {
    if (!widths[s]) continue;
    last = s;
    lo = std::min(lo, int(widths[s]));
    hi = std::max(hi, int(widths[s]));
  }
  const bool none = hi == 0;
  uint32_t bestBits = UINT32_MAX;
  int bestOffset = 0;
  int bestRange = 0;
  uint8_t bestPre[16] = {};

  // Values are widths less the offset; they go as differences modulo the
  // range, so equal neighbours (and runs of unused symbols) are zeros, and
  // four to nineteen zeros in a row take one run symbol and 4 bits. The
  // zeros are the same for every offset and range, so they are counted
  // once, and each offset and range only sorts the other differences.
  uint32_t runs = 0;       // run symbols
  uint32_t loneZeros = 0;  // zeros sent one by one
  int changes[kMainCount];
  int changeCount = 0;
  WalkDifferences(
      widths, last, [&](int) { runs++; }, [&]() { loneZeros++; },
      [&](int s) { changes[changeCount++] = s; });
  int offset = 0;  // of the values below
  auto value = [&](int s) { return s >= 0 && widths[s] ? widths[s] - offset : 0; };
  const int maxOffset = none ? 0 : std::min(15, lo - 1);
  const int minOffset = thorough ? 0 : std::max(0, maxOffset - 1);
  for (offset = minOffset; offset <= maxOffset; offset++) {
    const int minRange = std::max(none ? 0 : hi - offset + 1, 1);
    const int maxRange = thorough ? 15 : std::min(15, minRange + 1);
    for (int range = minRange; range <= maxRange; range++) {
      uint32_t freq[16] = {};
      freq[0] = loneZeros;
      freq[range] += runs;
      for (int k = 0; k < changeCount; k++) freq[Wrap(value(changes[k]) - value(changes[k] - 1), range)]++;
      const uint32_t runBits = 4 * runs;
      uint8_t pre[16];
      LimitedCodeLengths(freq, range + 1, kMaxPreBits, pre);
      uint32_t bits = 17 + 3 * uint32_t(range + 1) + runBits;
      for (int k = 0; k <= range; k++) bits += freq[k] * pre[k];
      if (bits < bestBits) {
        bestBits = bits;
        bestOffset = offset;
        bestRange = range;
        memcpy(bestPre, pre, sizeof pre);
      }
    }
  }
  if (!out) return bestBits;

  offset = bestOffset;
  const int range = bestRange;
  out->Put(uint32_t(last), 9);
  out->Put(uint32_t(offset), 4);
  out->Put(uint32_t(range), 4);
  for (int k = 0; k <= range; k++) out->Put(bestPre[k], 3);
  uint32_t words[16];
  AssignCodeWords(kMaxPreBits, range, bestPre, words);
  WalkDifferences(
      widths, last,
      [&](int n) {
        out->Put(words[range], bestPre[range]);
        out->Put(uint32_t(n - 4), 4);
      },
      [&]() { out->Put(words[0], bestPre[0]); },
      [&](int s) {
        const uint8_t d = Wrap(value(s) - value(s - 1), range);
        out->Put(words[d], bestPre[d]);
      });
  return bestBits;
}

void BlockWriter::WriteBlock(const Symbol* sym, size_t n, BitSink& out, CostModel& costs) {
  Stats st;
  st.Clear();
  for (size_t k = 0; k < n; k++) st.Add(sym[k]);
  uint8_t mw[kMainCount];
  uint8_t lw[kLengthCount];
  LimitedCodeLengths(st.main, kMainCount, kMaxCodeBits, mw);
  LimitedCodeLengths(st.length, kLengthCount, kMaxCodeBits, lw);
  WidthTable(mw, kMainCount, &out, level_ >= 8);
  WidthTable(lw, kLengthCount, &out, level_ >= 8);
  out.Put(uint32_t(n), 15);
  costs.FromWidths(mw, lw);
  uint32_t mainWords[kMainCount];
  uint32_t lengthWords[kLengthCount];
  AssignCodeWords(kMaxCodeBits, LastUsed(mw, kMainCount), mw, mainWords);
  AssignCodeWords(kMaxCodeBits, LastUsed(lw, kLengthCount), lw, lengthWords);
  // At most 11 + 19 + 11 bits a symbol.
  BitSink::Run run = out.Begin(uint64_t(n) * 41);
  for (size_t k = 0; k < n; k++) {
    const Symbol& s = sym[k];
    if (s.main < 256) {
      run.Put(mainWords[s.main], mw[s.main]);
    } else {
      // A match's symbol and distance bits go as one value.
      run.Put(mainWords[s.main] << s.extraBits | s.extra, mw[s.main] + s.extraBits);
      run.Put(lengthWords[s.lengthSym], lw[s.lengthSym]);
    }
  }
  out.End(run);
}

void BlockWriter::Write(const std::vector<Symbol>& symbols, BitSink& out, CostModel& costs) {
  const size_t n = symbols.size();
  if (n == 0) return;
  if (level_ < 6) {
    // Fixed stretches: cheap and good enough for the fast levels.
    const size_t step = level_ < 3 ? kMaxBlockSymbols : 16384;
    for (size_t at = 0; at < n; at += step) WriteBlock(symbols.data() + at, std::min(step, n - at), out, costs);
    return;
  }
  if (level_ >= 9) {
    WriteSplitByCost(symbols, out, costs);
    return;
  }
  // Greedy merging of small units: a unit joins the running block while
  // coding them together costs fewer bits than coding them apart.
  const size_t unit = 4096;
  size_t blockStart = 0;
  Stats block;
  block.Clear();
  uint64_t blockBits = 0;
  for (size_t at = 0; at < n; at += unit) {
    const size_t len = std::min(unit, n - at);
    Stats u;
    u.Clear();
    for (size_t k = at; k < at + len; k++) u.Add(symbols[k]);
    if (at == blockStart) {
      block = u;
      blockBits = EstimateBits(block);
      continue;
    }
    Stats merged = block;
    merged.Add(u);
    const uint64_t mergedBits = EstimateBits(merged);
    const bool fits = at + len - blockStart <= size_t(kMaxBlockSymbols);
    if (fits && mergedBits <= blockBits + EstimateBits(u)) {
      block = merged;
      blockBits = mergedBits;
    } else {
      WriteBlock(symbols.data() + blockStart, at - blockStart, out, costs);
      blockStart = at;
      block = u;
      blockBits = EstimateBits(block);
    }
  }
  WriteBlock(symbols.data() + blockStart, n - blockStart, out, costs);
}

namespace {

// f * log2(f), for the entropy estimates of the split search.
double FLog2F(uint32_t f) { return f ? double(f) * std::log2(double(f)) : 0.0; }

}  // namespace

// Block boundaries by cost: the symbols fall into units of 512, and a
// shortest-path search over unit boundaries picks the blocks (each at most
// kMaxBlockSymbols) whose estimated size, entropy of their counts plus the
// width tables, is least in all. Unlike merging unit by unit, it splits
// where the statistics change even when no single unit pays for a table
// of its own.
void BlockWriter::WriteSplitByCost(const std::vector<Symbol>& symbols, BitSink& out, CostModel& costs) {
  constexpr size_t kUnit = 512;
  const size_t n = symbols.size();
  const size_t units = (n + kUnit - 1) / kUnit;
  constexpr int kCounts = kMainCount + kLengthCount;
  // splitCounts_[u * kCounts + k]: the count of symbol k (main, then
  // length) in the units before u; extra[u]: the extra bits of those units.
  splitCounts_.assign((units + 1) * kCounts, 0);
  std::vector<uint64_t>& extra = splitExtra_;
  extra.assign(units + 1, 0);
  for (size_t u = 0; u < units; u++) {
    uint32_t* next = &splitCounts_[(u + 1) * kCounts];
    memcpy(next, &splitCounts_[u * kCounts], kCounts * sizeof(uint32_t));
    extra[u + 1] = extra[u];
    for (size_t k = u * kUnit; k < std::min(n, (u + 1) * kUnit); k++) {
      const Symbol& sy = symbols[k];
      next[sy.main]++;
      if (sy.main >= 256) {
        next[kMainCount + sy.lengthSym]++;
        extra[u + 1] += sy.extraBits;
      }
    }
  }
  // Bits of units [a, b) as one block: extra bits, the counts' entropy, and
  // the width tables at about 3 bits per width sent plus their parameters.
  auto cost = [&](size_t a, size_t b) {
    const uint32_t* lo = &splitCounts_[a * kCounts];
    const uint32_t* hi = &splitCounts_[b * kCounts];
    double bits = double(extra[b] - extra[a]) + 100;
    uint32_t mainTotal = 0, lengthTotal = 0;
    int lastMain = 0, lastLength = 0;
    double sum = 0;
    for (int k = 0; k < kMainCount; k++) {
      const uint32_t f = hi[k] - lo[k];
      if (!f) continue;
      mainTotal += f;
      lastMain = k;
      sum += FLog2F(f);
    }
    for (int k = 0; k < kLengthCount; k++) {
      const uint32_t f = hi[kMainCount + k] - lo[kMainCount + k];
      if (!f) continue;
      lengthTotal += f;
      lastLength = k;
      sum += FLog2F(f);
    }
    bits += FLog2F(mainTotal) + FLog2F(lengthTotal) - sum;
    return bits + 3.0 * (lastMain + lastLength);
  };
  const size_t maxUnits = size_t(kMaxBlockSymbols) / kUnit;
  std::vector<double>& best = splitBest_;
  std::vector<size_t>& from = splitFrom_;
  best.assign(units + 1, 0);
  from.assign(units + 1, 0);
  for (size_t b = 1; b <= units; b++) {
    best[b] = -1;
    for (size_t a = b > maxUnits ? b - maxUnits : 0; a < b; a++) {
      const double c = best[a] + cost(a, b);
      if (best[b] < 0 || c < best[b]) {
        best[b] = c;
        from[b] = a;
      }
    }
  }
  std::vector<size_t>& cuts = splitCuts_;
  cuts.clear();
  for (size_t b = units; b > 0; b = from[b]) cuts.push_back(b);
  size_t start = 0;
  for (size_t k = cuts.size(); k-- > 0;) {
    const size_t end = std::min(n, cuts[k] * kUnit);
    WriteBlock(symbols.data() + start, end - start, out, costs);
    start = end;
  }
}

}  // namespace qmk
