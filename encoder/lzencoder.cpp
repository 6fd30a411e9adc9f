// lzencoder.cpp - window, match finders and parsers of the compressor.
//
// Window. `buf_` holds at least the last 2^20 bytes before the parse
// position and the unparsed rest of the current entry, at most kCapacity
// bytes. Positions are offsets into `buf_`; when the buffer fills, the
// whole windows before the parse position's last 2^20 bytes are dropped and
// every stored position moves down by as much (positions that fall off
// become kNil).
// The current entry's bytes are appended in pieces, so an entry of any size
// is parsed with a fixed buffer.
//
// Match finders. Hash rows (levels 1-3): each hash of the next 5 bytes has
// a row of the latest positions with 8 more bits of their hash, so a search
// reads one row and only the candidates whose bits agree. Hash chains
// (levels 4-7): `head_` maps a hash of the next 5 bytes to the latest
// position, `link_` each position to the previous one with the same hash;
// longer searches, at a cache miss a step. Binary trees (levels 8-9): `head_` maps a
// 3-byte hash to the root of a tree of earlier positions ordered by the
// bytes that follow them; `link_` holds each position's two children. Both
// index `link_` by position modulo 2^20, which is safe because a candidate
// is used (and its slot read) only while it lies within 2^20 - 1 bytes.
// Every match is verified byte by byte (the prefix a tree search would skip
// as known included), so hash collisions and trees cut short at an entry's
// end can only lose matches, never make wrong ones.
//
// Parses. Level 1 is greedy, levels 2-7 lazy; levels 8 and 9 choose by
// price (bits under the current codes) over segments of up to 4,096
// positions. Level 9 parses each stretch of 32 KiB twice: the first parse,
// priced by what came before, keeps every search's matches and yields the
// symbol counts the stretch's own codes would come from; the second reads
// the matches back and prices with those codes, so the choice between
// literals, repeats and matches is weighed as the block writer will code it.
//
// Symbols. A match of length L at distance value v (distance - 1) is coded
// as its class symbol (260 + bit length of v), v's low bits, and the length
// symbol L - base(v), base 2/3/4 by v; a repeat of history entry r as symbol
// 256 + r and length symbol L - (2 or 3). The history is kept most recent
// first, as the decoder keeps it.
#include "encoder/lzencoder.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "encoder/blockwriter.h"
#include "encoder/huffman.h"

namespace qmk {

namespace {

constexpr int32_t kNil = -1;
constexpr uint32_t kWindow = 1u << kWindowBits;
constexpr uint32_t kLinkMask = kWindow - 1;
constexpr uint32_t kLookahead = 1u << 16;            // unparsed bytes kept ahead of the parse
// Four windows: a slide drops two at once, so the match finders' positions
// are moved down once every 2 MiB of input.
constexpr uint32_t kCapacity = 4 * kWindow;
constexpr uint32_t kMaxLen = 259;
constexpr size_t kSymbolsPerWrite = 1u << 17;        // symbols handed to the block writer at once
constexpr int kOptWindow = 4096;                     // positions one optimal-parse segment may span
constexpr uint32_t kPassStretch = 1u << 15;          // positions level 9 parses twice, as one

struct LevelParams {
  enum Kind { kGreedy, kLazy, kOptimal } kind;
  int depth;     // chain links or tree nodes visited per position
  uint32_t nice; // a match this long is taken at once
  int hashBits;
  uint32_t good; // lazy: with a match this long, look ahead with a quarter of the depth
  uint32_t lazy; // lazy: look one position ahead only below this length
  int rowWays;   // 0: hash chains; else rows of this many recent positions per hash (at most 8)
  int passes;    // optimal: parses of each stretch (the first finds the prices)
};

LevelParams ParamsFor(int level) {
  switch (level) {
    case 1: return {LevelParams::kGreedy, 8, 32, 15, 0, 0, 8, 1};
    case 2: return {LevelParams::kLazy, 4, 32, 14, 4, 8, 8, 1};
    case 3: return {LevelParams::kLazy, 8, 48, 15, 6, 16, 8, 1};
    case 4: return {LevelParams::kLazy, 10, 32, 18, 4, 24, 0, 1};
    case 5: return {LevelParams::kLazy, 16, 48, 18, 4, 32, 0, 1};
    case 6: return {LevelParams::kLazy, 48, 128, 18, 16, 64, 0, 1};
    case 7: return {LevelParams::kLazy, 128, 259, 18, 32, 259, 0, 1};
    case 8: return {LevelParams::kOptimal, 24, 96, 18, 0, 0, 0, 1};
    default: return {LevelParams::kOptimal, 96, 192, 19, 0, 0, 0, 2};
  }
}

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

// Bytes that agree at a and b, up to limit.
inline uint32_t MatchLength(const uint8_t* a, const uint8_t* b, uint32_t limit) {
  uint32_t n = 0;
  while (n + 8 <= limit) {
    uint64_t x;
    uint64_t y;
    memcpy(&x, a + n, 8);
    memcpy(&y, b + n, 8);
    const uint64_t d = x ^ y;
    if (d) return n + uint32_t(__builtin_ctzll(d) >> 3);
    n += 8;
  }
  while (n < limit && a[n] == b[n]) n++;
  return n;
}

inline uint32_t DistanceBits(uint32_t v) { return v < 2 ? 0 : 31 - uint32_t(__builtin_clz(v)); }

struct Match {
  uint32_t len;
  uint32_t v;  // distance - 1
};

}  // namespace

struct LzEncoder::Impl {
  LevelParams params;
  bool solid;
  bool binaryTree;
  std::vector<uint8_t> buf_;
  std::vector<int32_t> head_;
  // Rows and chains hold tagged positions: a position in the low kPosBits
  // bits and, above them, more bits of that position's hash (8 in a row, 9
  // in a chain), so most collisions are passed over without loading the
  // candidate's bytes; kNil, negative, agrees with no tag.
  static constexpr uint32_t kPosBits = 22;
  static constexpr uint32_t kPosMask = (1u << kPosBits) - 1;
  static_assert(kCapacity <= kPosMask + 1, "positions fit below the tag");
  // Rows (levels 1-3): per hash, the latest positions, newest first, in half
  // a cache line. A walk touches the row and the candidates whose tag
  // agrees, instead of one chain link and one candidate per step; an
  // insertion moves the row's slots down by one.
  static constexpr int kRowWays = 8;
  struct alignas(32) Row {
    int32_t slot[kRowWays];
  };
  std::vector<Row> rows_;
  std::vector<int32_t> link_;     // hash chains: 2^20; trees: 2 * 2^20
  uint32_t hashShift;
  uint32_t end_ = 0;              // bytes held in buf_
  uint32_t pos_ = 0;              // next position to parse
  int64_t entryStart_ = 0;        // first position of the current entry (may be dropped)
  uint32_t entryEnd_ = 0;         // end of the current entry's bytes held so far
  uint32_t reps_[4];
  CostModel costs_;
  BlockWriter writer_;
  std::vector<Symbol> symbols_;
  BitSink sink_;

  explicit Impl(int level, bool isSolid)
      : params(ParamsFor(level)), solid(isSolid), writer_(level) {
    binaryTree = params.kind == LevelParams::kOptimal;
    buf_.resize(kCapacity);
    if (params.rowWays) {
      Row empty{};
      for (int32_t& v : empty.slot) v = kNil;
      rows_.assign(size_t(1) << params.hashBits, empty);
    } else {
      head_.assign(size_t(1) << params.hashBits, kNil);
    }
    if (!params.rowWays) link_.assign(binaryTree ? 2 * size_t(kWindow) : size_t(kWindow), kNil);
    hashShift = 32 - uint32_t(params.hashBits);
    costs_.SetDefaults();
  }

  // Trees hash 3 bytes, so short matches stay reachable for the parse.
  uint32_t TreeHash(uint32_t p) const { return ((Load32(&buf_[p]) & 0xFFFFFF) * 2654435761u) >> hashShift; }

  // Rows and chains hash 5 bytes. A shorter hash fills them with candidates
  // that give only 3- or 4-byte matches, which seldom beat literals at a
  // distance, and the searches' few steps go to those; with 5, a search
  // reaches further back among the candidates that pay.
  static constexpr uint32_t kSearchHashBytes = 5;
  uint32_t SearchHash(uint32_t p) const {
    const uint64_t x = uint64_t(Load32(&buf_[p])) | uint64_t(buf_[p + 4]) << 32;
    return uint32_t(((x << 24) * 0xCF1BBCDCB7A56463ull) >> 32);
  }

  // Earliest position a match may copy from.
  int64_t MinSource(uint32_t p) const {
    const int64_t windowStart = int64_t(p) - int64_t(kMaxDistance);
    const int64_t entry = solid ? 0 : entryStart_;
    return std::max<int64_t>({windowStart, entry, 0});
  }

  // Drops the buffer's front so that `room` more bytes fit.
  void MakeRoom(uint32_t room) {
    if (end_ + room <= kCapacity) return;
    // Whole windows only: `link_` is indexed by position modulo the window,
    // so a shift by a multiple of it keeps every slot where it belongs.
    const uint32_t shift = pos_ >= 2 * kWindow ? (pos_ - kWindow) / kWindow * kWindow : 0;
    if (shift == 0) return;
    memmove(buf_.data(), buf_.data() + shift, end_ - shift);
    end_ -= shift;
    pos_ -= shift;
    entryEnd_ -= shift;
    entryStart_ -= shift;
    searchedEnd_ = searchedEnd_ > shift ? searchedEnd_ - shift : 0;
    recordBase_ = recordBase_ > shift ? recordBase_ - shift : 0;
    auto move = [shift](int32_t& v) { v = v >= int32_t(shift) ? v - int32_t(shift) : kNil; };
    auto moveTagged = [shift](int32_t& v) {
      v = v >= 0 && (uint32_t(v) & kPosMask) >= shift ? int32_t(uint32_t(v) - shift) : kNil;
    };
    const bool chains = !binaryTree && !params.rowWays;
    for (int32_t& v : head_) chains ? moveTagged(v) : move(v);
    for (int32_t& v : link_) chains ? moveTagged(v) : move(v);
    for (Row& r : rows_) {
      for (int32_t& v : r.slot) moveTagged(v);
    }
  }

  // ---- hash chains -------------------------------------------------------

  void Insert(uint32_t p) {
    if (entryEnd_ - p < kSearchHashBytes) return;
    if (params.rowWays) {
      const uint32_t h = RowHash(p);
      Row& r = rows_[h >> 8];
      const int32_t slot = int32_t(p | (h & 0xFF) << kPosBits);
#if defined(__SSE2__)
      __m128i* v = reinterpret_cast<__m128i*>(r.slot);
      const __m128i lo = _mm_load_si128(v);
      const __m128i hi = _mm_load_si128(v + 1);
      _mm_store_si128(v + 1, _mm_or_si128(_mm_slli_si128(hi, 4), _mm_srli_si128(lo, 12)));
      _mm_store_si128(v, _mm_or_si128(_mm_slli_si128(lo, 4), _mm_cvtsi32_si128(slot)));
#else
      memmove(r.slot + 1, r.slot, sizeof r.slot - sizeof r.slot[0]);
      r.slot[0] = slot;
#endif
      return;
    }
    const uint32_t h = ChainHash(p);
    link_[p & kLinkMask] = head_[h >> kChainTagBits];
    head_[h >> kChainTagBits] = int32_t(p | (h & kChainTagMask) << kPosBits);
  }

  static constexpr uint32_t kChainTagBits = 9;
  static constexpr uint32_t kChainTagMask = (1u << kChainTagBits) - 1;
  // Head index in the high bits, the tag below it.
  uint32_t ChainHash(uint32_t p) const { return SearchHash(p) >> (hashShift - kChainTagBits); }

  void PrefetchSlot(uint32_t p) const {
    if (entryEnd_ - p < kSearchHashBytes) return;
    if (params.rowWays) {
      __builtin_prefetch(&rows_[RowHash(p) >> 8]);
    } else {
      __builtin_prefetch(&head_[ChainHash(p) >> kChainTagBits]);
    }
  }

  // Row index in the high bits, an 8-bit tag below it.
  uint32_t RowHash(uint32_t p) const { return SearchHash(p) >> (hashShift - 8); }

  // The row's slots whose tag is `tag`, as bits by age: bit k for the slot
  // k places after the newest.
  static uint32_t TaggedSlots(const Row& r, uint32_t tag) {
#if defined(__SSE2__)
    const __m128i want = _mm_set1_epi32(int(tag));
    const __m128i* v = reinterpret_cast<const __m128i*>(r.slot);
    const __m128i lo = _mm_cmpeq_epi32(_mm_srli_epi32(_mm_load_si128(v), kPosBits), want);
    const __m128i hi = _mm_cmpeq_epi32(_mm_srli_epi32(_mm_load_si128(v + 1), kPosBits), want);
    return uint32_t(_mm_movemask_epi8(_mm_packs_epi16(_mm_packs_epi32(lo, hi), _mm_setzero_si128())));
#else
    uint32_t bySlot = 0;
    for (int k = 0; k < kRowWays; k++) bySlot |= uint32_t(uint32_t(r.slot[k]) >> kPosBits == tag) << k;
    return bySlot;
#endif
  }

  // Longest new match at p (not inserting p), looking at `depth` candidates.
  Match FindChainMatch(uint32_t p, uint32_t limit, int depth) const {
    Match best{0, 0};
    if (entryEnd_ - p < kSearchHashBytes || limit < 3) return best;
    const uint8_t* cur = &buf_[p];
    const uint32_t head = Load32(cur);
    const int64_t minSource = MinSource(p);
    const Row* row = nullptr;
    uint32_t tagged = 0;  // rows: bit k, the k-th newest slot's tag agrees
    int32_t c;
    uint32_t chainTag = 0;
    int32_t next = kNil;  // chains: the entry to look at next
    if (params.rowWays) {
      const uint32_t h = RowHash(p);
      row = &rows_[h >> 8];
      depth = std::min(depth, params.rowWays);
      tagged = TaggedSlots(*row, h & 0xFF) & ((1u << depth) - 1);
    } else {
      const uint32_t h = ChainHash(p);
      chainTag = h & kChainTagMask;
      next = head_[h >> kChainTagBits];
    }
    for (int k = 0; depth-- > 0; k++) {
      if (row) {
        // Only slots whose tag agrees are looked at (never an empty one).
        // Slots are newest first, so once one is too far, so are the rest.
        if (!tagged) break;
        k = __builtin_ctz(tagged);
        tagged &= tagged - 1;
        c = int32_t(uint32_t(row->slot[k]) & kPosMask);
        if (c < minSource) break;
      } else {
        if (next < 0) break;
        c = int32_t(uint32_t(next) & kPosMask);
        if (c < minSource) break;
        const uint32_t tag = uint32_t(next) >> kPosBits;
        next = link_[uint32_t(c) & kLinkMask];
        if (tag != chainTag) continue;  // a hash collision
      }
      const uint8_t* cand = &buf_[uint32_t(c)];
      if (Load32(cand) != head) continue;  // a hash collision
      if (best.len >= 3 && (best.len >= limit || cand[best.len] != cur[best.len])) continue;
      const uint32_t v = p - uint32_t(c) - 1;
      const uint32_t len = MatchLength(cand, cur, std::min(limit, LengthBase(v) + 255));
      // Longer wins unless it is only a byte longer and much farther away:
      // each doubling of the distance costs a bit.
      if (len >= LengthBase(v) && len > best.len && (len >= 3 || v < 256)) {
        if (best.len == 0 || int(len - best.len) * 8 > int(DistanceBits(v)) - int(DistanceBits(best.v))) {
          best = {len, v};
          if (len >= params.nice || len == limit) break;
        }
      }
    }
    return best;
  }

  // ---- binary trees --------------------------------------------------------

  // The parse's view of the trees. Each position goes into its tree once;
  // while `recording_`, what the search found there is kept, so a second
  // parse of the same stretch reads the matches back instead of searching
  // (and inserting) again. Positions below `searchedEnd_` are in the trees
  // already: a search there is answered from the record (nothing when it
  // holds none), an insertion skipped.
  size_t Matches(uint32_t p, uint32_t limit, Match* out) {
    if (p < searchedEnd_) {
      if (!out || p < recordBase_ || p - recordBase_ + 1 >= recordIndex_.size()) return 0;
      const uint32_t from = recordIndex_[p - recordBase_];
      const uint32_t to = recordIndex_[p - recordBase_ + 1];
      std::copy(recorded_.begin() + from, recorded_.begin() + to, out);
      return to - from;
    }
    // A recorded insertion collects its matches too, for the second parse.
    Match* into = out || !recording_ ? out : recordScratch_.data();
    const size_t found = TreeMatches(p, limit, into);
    if (recording_) {
      // Positions skipped since the last one keep empty records.
      while (recordIndex_.size() <= p - recordBase_) recordIndex_.push_back(uint32_t(recorded_.size()));
      recorded_.insert(recorded_.end(), into, into + found);
      recordIndex_.push_back(uint32_t(recorded_.size()));
    }
    searchedEnd_ = p + 1;
    return found;
  }
  bool recording_ = false;
  uint32_t searchedEnd_ = 0;
  uint32_t recordBase_ = 0;                // position of recordIndex_[0]
  std::vector<uint32_t> recordIndex_;      // per position: its first match in recorded_
  std::vector<Match> recorded_;
  std::vector<Match> recordScratch_;

  // Inserts p into its tree; when `out` is given, collects the matches found
  // on the way, each longer than the one before.
  size_t TreeMatches(uint32_t p, uint32_t limit, Match* out) {
    if (entryEnd_ - p < 4 || limit < 3) return 0;
    const uint32_t h = TreeHash(p);
    int32_t c = head_[h];
    head_[h] = int32_t(p);
    int32_t* left = &link_[2 * size_t(p & kLinkMask)];
    int32_t* right = left + 1;
    uint32_t bestLen = 1;
    size_t found = 0;
    const int64_t minSource = MinSource(p);
    const uint8_t* cur = &buf_[p];
    int depth = params.depth;
    for (;;) {
      if (c < 0 || c < minSource || depth-- <= 0) {
        *left = *right = kNil;
        return found;
      }
      int32_t* pair = &link_[2 * size_t(uint32_t(c) & kLinkMask)];
      const uint8_t* cand = &buf_[uint32_t(c)];
      // The path so far says how many leading bytes a subtree shares with
      // `cur` only if every position went into the tree compared as far as
      // this search compares. In a solid archive a position near an entry's
      // end went in compared only up to that end, and a later entry's search
      // may reach further; so each match is measured from its first byte.
      const uint32_t len = MatchLength(cand, cur, limit);
      if (len > bestLen) {
        bestLen = len;
        if (out) out[found++] = {len, p - uint32_t(c) - 1};
        if (len == limit) {
          *left = pair[0];
          *right = pair[1];
          return found;
        }
      }
      if (cand[len] < cur[len]) {
        *left = c;
        left = pair + 1;
        c = *left;
      } else {
        *right = c;
        right = pair;
        c = *right;
      }
    }
  }

  // ---- costs ---------------------------------------------------------------

  uint32_t NewMatchCost(uint32_t v, uint32_t len) const {
    Symbol s;
    DistanceSymbol(v, s);
    return uint32_t(costs_.main[s.main]) + s.extraBits + costs_.length[len - LengthBase(v)];
  }
  uint32_t RepCost(uint32_t r, uint32_t len) const {
    return uint32_t(costs_.main[256 + r]) + costs_.length[len - (r < 2 ? 2 : 3)];
  }

  // ---- symbols ---------------------------------------------------------------

  void EmitLiteral(uint8_t b) { symbols_.push_back({b, 0, 0, 0}); }

  void EmitMatch(uint32_t v, uint32_t len) {
    Symbol s;
    DistanceSymbol(v, s);
    s.lengthSym = uint8_t(len - LengthBase(v));
    symbols_.push_back(s);
    reps_[3] = reps_[2];
    reps_[2] = reps_[1];
    reps_[1] = reps_[0];
    reps_[0] = v;
  }

  void EmitRep(uint32_t r, uint32_t len) {
    symbols_.push_back({uint16_t(256 + r), uint8_t(len - (r < 2 ? 2 : 3)), 0, 0});
    const uint32_t v = reps_[r];
    for (uint32_t k = r; k > 0; k--) reps_[k] = reps_[k - 1];
    reps_[0] = v;
  }

  void FlushSymbols(bool all) {
    if (symbols_.empty() || (!all && symbols_.size() < kSymbolsPerWrite)) return;
    writer_.Write(symbols_, sink_, costs_);
    symbols_.clear();
  }

  // Longest repeat match at p and its index, preferring the cheaper code.
  Match BestRep(uint32_t p, uint32_t limit, uint32_t* index) const {
    Match best{0, 0};
    const int64_t minSource = MinSource(p);
    for (uint32_t r = 0; r < 4; r++) {
      const uint32_t v = reps_[r];
      if (int64_t(p) - int64_t(v) - 1 < minSource) continue;
      if (limit >= 2 && buf_[p - v - 1] != buf_[p]) continue;
      const uint32_t len = MatchLength(&buf_[p - v - 1], &buf_[p], std::min(limit, r < 2 ? 257u : 258u));
      if (len >= (r < 2 ? 2u : 3u) && len > best.len) {
        best = {len, v};
        *index = r;
      }
    }
    return best;
  }

  // Bits saved by a candidate against coding its bytes as literals.
  int Gain(uint32_t len, uint32_t cost) const { return int(len) * 8 - int(cost); }

  // ---- greedy and lazy parsing ----------------------------------------------

  // Positions searched one by one before skipping: the greedy level, which
  // has no second look, waits longer before it gives a stretch up.
  uint32_t DenseSearch() const { return params.kind == LevelParams::kGreedy ? 256 : 64; }
  uint32_t misses_ = 0;  // positions searched in a row without a match
  struct Choice {
    uint32_t len = 0;
    uint32_t v = 0;
    int rep = -1;
    int gain = 0;
  };

  Choice Choose(uint32_t p, int depth) const {
    Choice c;
    const uint32_t limit = std::min(kMaxLen, entryEnd_ - p);
    if (limit < 2) return c;
    uint32_t r = 0;
    const Match rep = BestRep(p, limit, &r);
    if (rep.len) c = {rep.len, rep.v, int(r), Gain(rep.len, RepCost(r, rep.len))};
    if (rep.len < params.nice) {
      const Match m = FindChainMatch(p, limit, depth);
      if (m.len) {
        const int g = Gain(m.len, NewMatchCost(m.v, m.len));
        if (g > c.gain) c = {m.len, m.v, -1, g};
      }
    }
    if (c.gain <= 0) c = Choice{};
    return c;
  }

  void Take(uint32_t p, const Choice& c) {
    if (c.rep >= 0) {
      EmitRep(uint32_t(c.rep), c.len);
    } else {
      EmitMatch(c.v, c.len);
    }
    // Level 1 inserts only the start of long matches, for speed.
    const uint32_t stop = params.kind == LevelParams::kGreedy ? std::min(c.len, 8u) : c.len;
    for (uint32_t k = 1; k < stop; k++) Insert(p + k);
  }

  // Parses up to `until`; returns the new position.
  void ParseGreedy(uint32_t until) {
    uint32_t p = pos_;
    bool havePending = false;
    Choice pending;
    while (p < until) {
      // The slots the next searches read first are loaded while this one
      // runs: the next position's, and once a match is chosen, the one
      // after it.
      PrefetchSlot(p + 1);
      Choice c = havePending ? pending : Choose(p, params.depth);
      if (c.len) PrefetchSlot(p + c.len);
      havePending = false;
      Insert(p);
      if (c.len == 0) {
        EmitLiteral(buf_[p]);
        p++;
        // Long stretches without a match (already compressed data) are
        // searched more and more sparsely; a match starts dense search again.
        if (++misses_ > DenseSearch()) {
          const uint32_t skip = std::min<uint32_t>((misses_ - DenseSearch()) >> 4, until - p);
          for (uint32_t k = 0; k < skip; k++) EmitLiteral(buf_[p + k]);
          p += skip;
        }
        continue;
      }
      misses_ = 0;
      if (params.kind == LevelParams::kLazy && c.len < params.lazy && p + 1 < until) {
        const Choice next = Choose(p + 1, c.len >= params.good ? params.depth / 4 + 1 : params.depth);
        if (next.gain > c.gain + 8) {
          EmitLiteral(buf_[p]);
          p++;
          pending = next;
          havePending = true;
          continue;
        }
      }
      Take(p, c);
      p += c.len;
      if (symbols_.size() >= kSymbolsPerWrite) FlushSymbols(false);
    }
    pos_ = p;
  }

  // ---- optimal parsing ---------------------------------------------------------

  struct Node {
    uint32_t price;
    uint32_t from;   // position the step starts at
    uint32_t len;    // 1 for a literal
    uint32_t v;      // distance value (new match)
    int8_t rep;      // repeat index, -1 new match, -2 literal
    uint32_t reps[4];
  };
  std::vector<Node> opt_;
  std::vector<Match> matches_;

  uint32_t initEnd_ = 0;  // opt_[0..initEnd_] hold this segment's prices

  // Marks the positions up to `at` unreached, where this segment has not
  // priced them yet.
  void Reach(uint32_t at) {
    while (initEnd_ < at) opt_[++initEnd_].price = UINT32_MAX;
  }

  // The step to `at` from `from`, if it is cheaper than the best so far;
  // `at` must have been reached.
  void Relax(uint32_t at, uint32_t price, uint32_t from, uint32_t len, uint32_t v, int rep) {
    Node& n = opt_[at];
    if (price < n.price) {
      n.price = price;
      n.from = from;
      n.len = len;
      n.v = v;
      n.rep = int8_t(rep);
    }
  }

  // Distance history after the step that reaches `at`.
  void ArriveReps(uint32_t at) {
    Node& n = opt_[at];
    const uint32_t* prev = opt_[n.from].reps;
    if (n.rep == -2) {
      memcpy(n.reps, prev, sizeof n.reps);
    } else if (n.rep == -1) {
      n.reps[0] = n.v;
      n.reps[1] = prev[0];
      n.reps[2] = prev[1];
      n.reps[3] = prev[2];
    } else {
      const uint32_t r = uint32_t(n.rep);
      const uint32_t v = prev[r];
      memcpy(n.reps, prev, sizeof n.reps);
      for (uint32_t k = r; k > 0; k--) n.reps[k] = n.reps[k - 1];
      n.reps[0] = v;
    }
  }

  // One segment of the cost-based parse, starting at pos_.
  void ParseOptimalSegment(uint32_t until) {
    const uint32_t base = pos_;
    const uint32_t span = std::min<uint32_t>(kOptWindow, until - base);
    initEnd_ = 0;
    opt_[0].price = 0;
    memcpy(opt_[0].reps, reps_, sizeof reps_);

    uint32_t cur = 0;
    uint32_t lenEnd = 0;
    uint32_t forcedLen = 0;  // a long match taken at once from `cur`
    Node forced{};
    while (cur < span) {
      const uint32_t p = base + cur;
      if (cur > 0) ArriveReps(cur);
      const Node& here = opt_[cur];
      const uint32_t limit = std::min(kMaxLen, entryEnd_ - p);
      // The next position's tree root is loaded while this one is searched.
      if (p + 1 >= searchedEnd_ && entryEnd_ - (p + 1) >= 4) __builtin_prefetch(&head_[TreeHash(p + 1)]);
      const size_t found = Matches(p, limit, matches_.data());

      // Repeats first; a long repeat or match is taken without weighing.
      uint32_t repLen[4] = {0, 0, 0, 0};
      const int64_t minSource = MinSource(p);
      for (uint32_t r = 0; r < 4; r++) {
        const uint32_t v = here.reps[r];
        if (int64_t(p) - int64_t(v) - 1 < minSource) continue;
        const uint32_t most = std::min(limit, r < 2 ? 257u : 258u);
        const uint32_t len = MatchLength(&buf_[p - v - 1], &buf_[p], most);
        if (len >= (r < 2 ? 2u : 3u)) repLen[r] = len;
      }
      uint32_t longest = 0;
      for (uint32_t r = 0; r < 4; r++) {
        if (repLen[r] >= params.nice && repLen[r] > longest) {
          longest = repLen[r];
          forced = Node{0, cur, repLen[r], here.reps[r], int8_t(r), {}};
        }
      }
      if (found && matches_[found - 1].len >= params.nice && matches_[found - 1].len > longest + 1) {
        const Match& m = matches_[found - 1];
        longest = std::min(m.len, LengthBase(m.v) + 255);
        forced = Node{0, cur, longest, m.v, -1, {}};
      }
      if (longest) {
        forcedLen = longest;
        break;
      }

      const uint32_t price = here.price;
      uint32_t farthest = 1;
      for (uint32_t r = 0; r < 4; r++) farthest = std::max(farthest, repLen[r]);
      if (found) farthest = std::max(farthest, matches_[found - 1].len);
      Reach(cur + farthest);
      Relax(cur + 1, price + costs_.main[buf_[p]], cur, 1, 0, -2);
      for (uint32_t r = 0; r < 4; r++) {
        const uint32_t minLen = r < 2 ? 2u : 3u;
        for (uint32_t len = minLen; len <= repLen[r]; len++) {
          Relax(cur + len, price + RepCost(r, len), cur, len, here.reps[r], int(r));
        }
        lenEnd = std::max(lenEnd, cur + repLen[r]);
      }
      uint32_t from = 2;
      for (size_t m = 0; m < found; m++) {
        const Match& mt = matches_[m];
        const uint32_t lb = LengthBase(mt.v);
        Symbol s;
        DistanceSymbol(mt.v, s);
        const uint32_t head = price + costs_.main[s.main] + s.extraBits;
        for (uint32_t len = std::max(from, lb); len <= mt.len && len <= lb + 255; len++) {
          Relax(cur + len, head + costs_.length[len - lb], cur, len, mt.v, -1);
        }
        from = mt.len + 1;
        lenEnd = std::max(lenEnd, cur + mt.len);
      }
      cur++;
      lenEnd = std::max(lenEnd, cur);
      if (cur == lenEnd) break;  // every path meets here
    }

    // The end of the segment: where all paths met, the end of the span, or
    // the start of a forced long match.
    uint32_t stop = cur;
    if (!forcedLen && cur == span && lenEnd > span) {
      // Paths still run past the span: end at the cheapest reachable point
      // at or after it, inserting what the parse did not visit.
      stop = span;
    }

    // Walk back from `stop` and emit the steps in order.
    std::vector<uint32_t>& path = path_;
    path.clear();
    for (uint32_t at = stop; at > 0; at = opt_[at].from) path.push_back(at);
    for (size_t k = path.size(); k-- > 0;) {
      const Node& n = opt_[path[k]];
      const uint32_t p = base + n.from;
      if (n.rep == -2) {
        EmitLiteral(buf_[p]);
      } else if (n.rep == -1) {
        EmitMatch(n.v, n.len);
      } else {
        EmitRep(uint32_t(n.rep), n.len);
      }
    }
    uint32_t next = base + stop;
    if (forcedLen) {
      const uint32_t p = base + stop;
      if (forced.rep >= 0) {
        EmitRep(uint32_t(forced.rep), forced.len);
      } else {
        EmitMatch(forced.v, forced.len);
      }
      for (uint32_t k = 1; k < forced.len; k++) Matches(p + k, std::min(kMaxLen, entryEnd_ - p - k), nullptr);
      next = p + forced.len;
    } else {
      // Positions the loop reached only as match ends still go into the trees.
      for (uint32_t q = base + cur; q < next; q++) Matches(q, std::min(kMaxLen, entryEnd_ - q), nullptr);
    }
    pos_ = next;
  }
  std::vector<uint32_t> path_;

  void ParseOptimal(uint32_t until) {
    if (opt_.empty()) {
      opt_.resize(size_t(kOptWindow) + kMaxLen + 2);
      matches_.resize(kMaxLen + 2);
      recordScratch_.resize(kMaxLen + 2);
    }
    while (pos_ < until) {
      const uint32_t stretchEnd = params.passes > 1 ? std::min(until, pos_ + kPassStretch) : until;
      if (params.passes > 1) {
        // First pass: parse with the prices so far, keeping every search's
        // matches; the prices of the codes its symbols would get replace
        // them, and the stretch is parsed again with those.
        const uint32_t start = pos_;
        uint32_t reps[4];
        memcpy(reps, reps_, sizeof reps);
        const size_t mark = symbols_.size();
        recording_ = true;
        recordBase_ = start;
        recordIndex_.clear();
        recorded_.clear();
        for (int pass = 1; pass < params.passes; pass++) {
          ParseStretch(stretchEnd, false);
          recording_ = false;
          // Every count one more than it was, so a symbol the first parse
          // did not use keeps a price the second can weigh, rather than the
          // prohibitive one of a symbol without a code.
          CostsFromSymbols(mark, symbols_.size(), 1);
          symbols_.resize(mark);
          pos_ = start;
          memcpy(reps_, reps, sizeof reps);
        }
        ParseStretch(stretchEnd, false);
      } else {
        ParseStretch(stretchEnd, true);
      }
      if (symbols_.size() >= kSymbolsPerWrite) FlushSymbols(false);
    }
  }

  void ParseStretch(uint32_t until, bool updateCosts) {
    size_t sinceCosts = 0;
    while (pos_ < until) {
      const size_t before = symbols_.size();
      ParseOptimalSegment(until);
      sinceCosts += symbols_.size() - before;
      // Keep the prices close to the codes the block writer will build.
      if (updateCosts && sinceCosts >= 8192) {
        UpdateCostsFromSymbols();
        sinceCosts = 0;
      }
    }
  }

  // Prices from the codes the symbols [from, to) would get, every count
  // raised by `floor`.
  void CostsFromSymbols(size_t from, size_t to, uint32_t floor) {
    uint32_t mainFreq[kMainCount];
    uint32_t lengthFreq[kLengthCount];
    for (uint32_t& f : mainFreq) f = floor;
    for (uint32_t& f : lengthFreq) f = floor;
    for (size_t k = from; k < to; k++) {
      mainFreq[symbols_[k].main]++;
      if (symbols_[k].main >= 256) lengthFreq[symbols_[k].lengthSym]++;
    }
    uint8_t mw[kMainCount];
    uint8_t lw[kLengthCount];
    LimitedCodeLengths(mainFreq, kMainCount, kMaxCodeBits, mw);
    LimitedCodeLengths(lengthFreq, kLengthCount, kMaxCodeBits, lw);
    costs_.FromWidths(mw, lw);
  }

  // The single parse follows the codes of its latest symbols.
  void UpdateCostsFromSymbols() {
    CostsFromSymbols(symbols_.size() > 32768 ? symbols_.size() - 32768 : 0, symbols_.size(), 0);
  }

  std::vector<uint8_t> CompressEntry(const uint8_t* data, size_t size) {
    sink_.Clear();
    symbols_.clear();
    for (uint32_t& r : reps_) r = 0;
    // A file may hold another kind of data than the one before it, or the
    // same bytes as an earlier one: its start is searched densely again.
    misses_ = 0;
    entryStart_ = end_;
    entryEnd_ = end_;
    size_t taken = 0;
    while (taken < size || pos_ < entryEnd_) {
      if (taken < size) {
        MakeRoom(uint32_t(std::min<size_t>(size - taken, kLookahead)));
        const size_t n = std::min<size_t>(size - taken, kCapacity - end_);
        if (n) memcpy(&buf_[end_], data + taken, n);
        end_ += uint32_t(n);
        entryEnd_ = end_;
        taken += n;
      }
      // Leave room ahead of the parse while more of the entry is to come.
      const uint32_t until = taken < size ? (entryEnd_ > kMaxLen ? entryEnd_ - kMaxLen : pos_) : entryEnd_;
      if (until <= pos_) continue;
      if (params.kind == LevelParams::kOptimal) {
        ParseOptimal(until);
      } else {
        ParseGreedy(until);
      }
    }
    FlushSymbols(true);
    sink_.Flush();
    return std::move(sink_.Bytes());
  }
};

LzEncoder::LzEncoder(int level, bool solid) : impl_(new Impl(level, solid)) {}
LzEncoder::~LzEncoder() = default;

std::vector<uint8_t> LzEncoder::CompressEntry(const uint8_t* data, size_t size) {
  return impl_->CompressEntry(data, size);
}

}  // namespace qmk
