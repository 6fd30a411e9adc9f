// lz.cpp - dictionary ring, entry start, chunked decoding, comment decoding.
//
// Chunks. ReadChunk(n) decodes into the ring until the chunk has produced at
// least n - 259 bytes (or the entry's remaining size), testing the limit only
// between symbols; a match is at most 259 bytes, so a chunk never exceeds
// n - 1 bytes and fits the ring because n is at most the ring's size. The
// chunk is then copied out of the ring once.
//
// The hot loop (DecodeBlocks) keeps the bit input, the write position, the
// counters and the distance history in locals: stores into the ring are byte
// stores, which may alias anything, and would otherwise force every piece of
// state back to memory after each byte. The bit input runs from a 64-bit bit
// buffer there (BitReader) that holds a whole match, symbol, extra bits and
// length, after one top-up; each symbol costs one table lookup, whose entry
// carries the width, and a shift. A match clear of the ring's end is copied
// in pieces that never store past the match's last byte.
#include "decoder/lz.h"

#include <cstdlib>
#include <cstring>

#include "archive/reader.h"
#include "archive/status.h"

Dictionary dictionary;
DecoderState lz;

// True once StartEntry has set up the current entry completely; a refused
// entry (status 1 or 10) delivers nothing rather than decoding stale input.
static bool entryReady;

void AllocDictionary() {
  FreeDictionary();
  dictionary.fresh = true;
  for (int bits = kMaxDictionaryBits; bits >= kMinDictionaryBits; bits--) {
    dictionary.ring = static_cast<uint8_t*>(calloc(1, size_t(1) << bits));
    if (dictionary.ring) {
      dictionary.bits = bits;
      dictionary.mask = (uint32_t(1) << bits) - 1;
      return;
    }
  }
}

void FreeDictionary() {
  free(dictionary.ring);
  dictionary.ring = nullptr;
  dictionary.bits = 0;
  dictionary.mask = 0;
  dictionary.writePos = 0;
}

void StartEntry() {
  const AceFileView& f = headerRecord.file;
  entryReady = false;
  lz.remaining = 0;
  lz.delivered = 0;
  lz.codeFailed = false;
  lz.inputOverrun = false;
  lz.compType = f.compType;
  if (headerRecord.flags & ace::kFlagLocked) {
    errorStatus = kStatusUnsupported;
    return;
  }
  lz.crc = kCrcStart;
  lz.remaining = int64_t(f.unpackedSize);
  if (f.compType == ace::kCompLz77) {
    if (!dictionary.ring || ace::DictionaryBitsOf(f.compParam) > dictionary.bits) {
      errorStatus = kStatusNoMemory;
      return;
    }
    LoadBits();
    lz.blockCount = 0;
  }
  if (!reader.solidArchive || dictionary.fresh) dictionary.writePos = 0;
  for (uint32_t& h : lz.history) h = 0;
  dictionary.fresh = false;
  entryReady = true;
}

int32_t ReadChunk(uint8_t* destination, int32_t n) {
  if (!entryReady || n < kMinChunk || n > kMaxChunk) return 0;
  if (dictionary.ring && uint32_t(n) > dictionary.mask + 1) return 0;
  int32_t count;
  switch (lz.compType) {
    case ace::kCompStored: count = ReadStoredChunk(destination, n); break;
    case ace::kCompLz77: count = ReadLzChunk(destination, n); break;
    default: errorStatus = kStatusUnsupported; return 0;
  }
  lz.crc = UpdateCrc(lz.crc, destination, count);
  lz.delivered += uint32_t(count);
  return count;
}

// Copies ring bytes [from, from + count) to out, continuing at ring position
// 0 when the range passes the ring's end.
static void CopyOutOfRing(uint8_t* out, uint32_t from, uint32_t count) {
  const uint32_t size = dictionary.mask + 1;
  const uint32_t first = size - from < count ? size - from : count;
  memcpy(out, dictionary.ring + from, first);
  memcpy(out + first, dictionary.ring, count - first);
}

int32_t ReadStoredChunk(uint8_t* destination, int32_t n) {
  int32_t total = 0;
  for (;;) {
    int64_t k = n;
    if (lz.remaining < k) k = lz.remaining;
    if (k > 1024) k = 1024;
    if (k <= 0) break;
    const int32_t got = ReadPackedBytes(bitInput.bytes, int32_t(k));
    if (got == 0) break;
    memcpy(destination + total, bitInput.bytes, size_t(got));
    total += got;
    n -= got;
    lz.remaining -= got;
  }
  // Stored bytes pass through the ring so that later entries of a solid
  // archive can refer to them.
  if (dictionary.ring && total > 0) {
    const uint32_t size = dictionary.mask + 1;
    const uint32_t wp = dictionary.writePos;
    const uint32_t first = size - wp < uint32_t(total) ? size - wp : uint32_t(total);
    memcpy(dictionary.ring + wp, destination, first);
    memcpy(dictionary.ring, destination + first, uint32_t(total) - first);
    dictionary.writePos = (wp + uint32_t(total)) & dictionary.mask;
  }
  return total;
}

int32_t ReadLzChunk(uint8_t* destination, int32_t n) {
  const uint32_t start = dictionary.writePos;
  lz.produced = 0;
  lz.chunkLimit = n - kMaxMatch;
  if (lz.chunkLimit > lz.remaining) lz.chunkLimit = int32_t(lz.remaining);
  if (lz.remaining > 0 && lz.chunkLimit != 0) {
    DecodeBlocks();
    if (lz.produced <= n) {
      CopyOutOfRing(destination, start, uint32_t(lz.produced));
    } else {
      lz.produced = 0;  // cannot happen: a chunk stays below n
    }
  }
  lz.remaining -= lz.produced;
  // A stream that has consumed bits its packed data never held is damaged;
  // end the entry here instead of decoding stale buffer contents up to a
  // size that may claim gigabytes.
  if (ConsumedBytes(bitInput) > bitInput.supplied) {
    lz.inputOverrun = true;
    lz.remaining = 0;
  }
  return lz.produced;
}

static inline void Copy16(uint8_t* d, const uint8_t* s) {
  uint8_t v[16];
  memcpy(v, s, 16);
  memcpy(d, v, 16);
}

static inline void Copy8(uint8_t* d, const uint8_t* s) {
  uint64_t v;
  memcpy(&v, s, 8);
  memcpy(d, &v, 8);
}

static inline void Copy4(uint8_t* d, const uint8_t* s) {
  uint32_t v;
  memcpy(&v, s, 4);
  memcpy(d, &v, 4);
}

static inline void Copy2(uint8_t* d, const uint8_t* s) {
  uint16_t v;
  memcpy(&v, s, 2);
  memcpy(d, &v, 2);
}

// For a source 1..7 bytes behind the destination: the smallest multiple of
// that gap that is at least 8.
static const uint8_t kPatternStride[8] = {0, 8, 8, 9, 8, 10, 12, 14};

// Copies `length` (2..259) bytes from `distance` back to the write position
// and returns the new write position. The copy has the meaning of a byte-by-
// byte forward copy: a source that overlaps the destination from behind
// repeats the bytes being written (distance 1 repeats the last byte).
//
// Within the ring's body neither range can pass the ring's end, so the copy
// runs without wrapping, in pieces. Every store lands inside the match:
// pieces may overlap one another, rewriting bytes of the match with the
// values they already hold, but none passes the match's end, since later
// matches read any ring byte. With the source 8 or more bytes behind, a
// piece reads only bytes that are final; that far or more ahead, only bytes
// not yet written. There a match of up to 16 bytes is four 4-byte pieces,
// at 0, q, 2q and length - 4 with q = ceil((length - 4) / 3), so that no
// gap is left whatever the length (two 2-byte pieces below 4 bytes): one
// branch on the length instead of three. Longer ones go in pieces of 16
// (source 16 or more away) or 8, the last piece ending at the match's end. A
// source 1..7 bytes behind is laid down byte by byte for 8 bytes and then
// copied from the smallest multiple of its gap that is at least 8 back,
// which holds the same bytes; one 1..7 bytes ahead is a plain move.
__attribute__((always_inline)) static inline uint32_t CopyMatch(uint8_t* ring, uint32_t mask, uint32_t wp, uint32_t distance,
                                  uint32_t length) {
  uint32_t src = (wp - distance) & mask;
  const uint32_t body = mask + 1 - kMaxMatch;
  if (src < body && wp < body) {
    uint8_t* const d = ring + wp;
    const uint8_t* const s = ring + src;
    const uint32_t gap = wp - src;  // the source behind by gap, or ahead by -gap
    if (gap + 7 >= 15) {            // 8 or more apart, either way
      if (length <= 16) {
        if (length >= 4) {
          const uint32_t q = ((length - 2) * 11) >> 5;  // (length - 2) / 3 for length <= 16
          Copy4(d, s);
          Copy4(d + q, s + q);
          Copy4(d + 2 * q, s + 2 * q);
          Copy4(d + length - 4, s + length - 4);
        } else {
          Copy2(d, s);
          Copy2(d + length - 2, s + length - 2);
        }
      } else if (gap + 15 >= 31) {
        uint32_t i = 0;
        for (; i + 16 <= length; i += 16) Copy16(d + i, s + i);
        if (i < length) Copy16(d + length - 16, s + length - 16);
      } else {
        uint32_t i = 0;
        for (; i + 8 <= length; i += 8) Copy8(d + i, s + i);
        if (i < length) Copy8(d + length - 8, s + length - 8);
      }
    } else if (src < wp) {
      const uint32_t head = length < 8 ? length : 8;
      uint32_t i = 0;
      for (; i < head; i++) d[i] = s[i];
      const uint32_t stride = kPatternStride[wp - src];
      for (; i + 8 <= length; i += 8) Copy8(d + i, d + i - stride);
      for (; i < length; i++) d[i] = *(d + i - stride);
    } else {
      memmove(d, s, length);  // read before it is overwritten
    }
    return (wp + length) & mask;
  }
  for (uint32_t i = 0; i < length; i++) {
    ring[wp] = ring[src];
    wp = (wp + 1) & mask;
    src = (src + 1) & mask;
  }
  return wp;
}

bool MakeCodeFailed() {
  lz.produced = lz.chunkLimit;
  lz.codeFailed = true;
  return false;
}

bool ReadBlockHeader() {
  if (!ReadWidths(kCodeBits, codes.mainTable, codes.mainWidths, kMainSymbols - 1)) return false;
  if (!ReadWidths(kCodeBits, codes.lengthTable, codes.lengthWidths, kLengthSymbols - 1)) return false;
  lz.blockCount = uint16_t(ReadBits(bitInput, 15));
  return true;
}

// Main symbols 256..282, the matches. `slot` 0..3 repeats that history
// entry (0 the most recent); 4 brings a new distance value, `valueBase`
// plus `extraBits` bits.
struct MatchCode {
  uint8_t slot;
  uint8_t extraBits;
  uint32_t valueBase;
};
static constexpr MatchCode MatchCodeOf(uint32_t s) {
  if (s < 260) return {uint8_t(s - 256), 0, 0};
  const uint32_t c = s - 260;
  if (c < 2) return {4, 0, c};
  return {4, uint8_t(c - 1), uint32_t(1) << (c - 1)};
}
struct MatchCodes {
  MatchCode of[kMainSymbols - 256];
  constexpr MatchCodes() : of() {
    for (uint32_t s = 256; s < uint32_t(kMainSymbols); s++) of[s - 256] = MatchCodeOf(s);
  }
};
static constexpr MatchCodes kMatchCodes;

void DecodeBlocks() {
  uint8_t* const ring = dictionary.ring;
  const uint32_t mask = dictionary.mask;
  uint32_t wp = dictionary.writePos;
  int32_t produced = lz.produced;
  const int32_t limit = lz.chunkLimit;
  uint32_t blockCount = lz.blockCount;
  // The history, h0 the most recent. Repeats and new distances update it
  // without branches: a repeat of entry r moves it to the front past
  // entries 0..r-1, a new distance moves past all four.
  uint32_t h0 = lz.history[0];
  uint32_t h1 = lz.history[1];
  uint32_t h2 = lz.history[2];
  uint32_t h3 = lz.history[3];
  const uint16_t* const mainTable = codes.mainTable;
  const uint16_t* const lengthTable = codes.lengthTable;
  constexpr uint32_t kLiteralEnd = uint32_t(MakeEntry(256, 0));

  BitReader in;
  in.Load();
  while (produced < limit) {
    if (blockCount == 0) {
      in.Store();
      lz.produced = produced;
      const bool ok = ReadBlockHeader();
      in.Load();
      if (!ok) {
        produced = lz.produced;  // the chunk limit
        break;
      }
      blockCount = lz.blockCount;
    }
    // The lookup needs 11 bits, which a literal step always leaves; only a
    // match may leave fewer. Then the top-up follows, so that the lookup
    // need not wait for it: at least 44 bits are held after it.
    if (in.avail < uint32_t(kCodeBits)) in.Top();
    const uint32_t entry = mainTable[in.Peek(kCodeBits)];
    in.Top();
    const uint32_t width = EntryWidth(entry);
    if (entry < kLiteralEnd) {
      // A literal. A width is at most 11, so the next symbol is held too: a
      // second literal of the same block and chunk is taken in the same step.
      if (blockCount >= 2 && produced + 1 < limit) {
        const uint32_t entry2 = mainTable[uint32_t((in.bits << width) >> (64 - kCodeBits))];
        if (entry2 < kLiteralEnd) {
          in.Skip(width + EntryWidth(entry2));
          ring[wp] = uint8_t(EntrySymbol(entry));
          ring[(wp + 1) & mask] = uint8_t(EntrySymbol(entry2));
          wp = (wp + 2) & mask;
          produced += 2;
          blockCount -= 2;
          continue;
        }
      }
      in.Skip(width);
      blockCount = (blockCount - 1) & 0xFFFF;
      ring[wp] = uint8_t(EntrySymbol(entry));
      wp = (wp + 1) & mask;
      produced++;
      continue;
    }
    // A match: at most 11 + 21 + 11 bits, all held.
    in.Skip(width);
    blockCount = (blockCount - 1) & 0xFFFF;
    const MatchCode mc = kMatchCodes.of[EntrySymbol(entry) - 256];
    const uint32_t fresh = mc.valueBase + in.PeekUpTo21(mc.extraBits);
    in.Skip(mc.extraBits);
    const uint32_t slot = mc.slot;
    uint32_t v = slot == 0 ? h0 : fresh;
    v = slot == 1 ? h1 : v;
    v = slot == 2 ? h2 : v;
    v = slot == 3 ? h3 : v;
    h3 = slot >= 3 ? h2 : h3;
    h2 = slot >= 2 ? h1 : h2;
    h1 = slot >= 1 ? h0 : h1;
    h0 = v;
    // Length base: 2 for repeats of entries 0 and 1, 3 for 2 and 3; for a
    // new distance 2 up to 255, 3 up to 8,191, else 4.
    const uint32_t base = slot < 4 ? 2 + (slot >> 1) : 2 + (v >= 256) + (v >= 8192);
    const uint32_t length = in.Decode(lengthTable) + base;
    wp = CopyMatch(ring, mask, wp, v + 1, length);
    produced += int32_t(length);
  }

  in.Store();
  dictionary.writePos = wp;
  lz.produced = produced;
  lz.blockCount = uint16_t(blockCount);
  lz.history[0] = h0;
  lz.history[1] = h1;
  lz.history[2] = h2;
  lz.history[3] = h3;
}

bool EntryIntact() {
  return entryReady && !lz.inputOverrun && lz.remaining == 0 &&
         lz.delivered == headerRecord.file.unpackedSize && lz.crc == headerRecord.file.fileCrc;
}

// The comment is decoded in place, into the header record's variable part
// behind the text field and the comment-size field. A match copies from the
// position that followed the previous occurrence of the same two-byte
// context sum; before the third character there is no context and a match
// copies from position 0 (zeros at position 0 itself). Positions stay below
// T <= R - 1, inside the record.
bool DecodeComment(char* text, int capacity) {
  if (capacity <= 0) return false;
  text[0] = 0;
  if (!(headerRecord.flags & ace::kFlagComment)) return false;
  uint8_t* const var = headerRecord.main.variable;
  const int textLength = headerRecord.main.textLength;
  const int room = ace::kMainVariableRoom - 2 - textLength;  // R = 2025 - L
  int stored = ace::Load16(var + textLength);
  if (stored > room) stored = room;
  static uint16_t context[511];
  memset(context, 0, sizeof context);
  if (stored == 0 || errorStatus != kStatusOk || !bitInput.bytes) return false;

  uint8_t* const out = var + textLength + 2;
  LoadBits(out, stored);
  BitInput& in = bitInput;
  int total = int(ReadBits(in, 15));
  if (total >= room) total = room - 1;
  if (!ReadWidths(kCodeBits, codes.mainTable, codes.mainWidths, kMainSymbols - 1)) return false;

  int i = 0;
  int j = 0;
  while (i < total) {
    if (i >= 2) {
      const int h = out[i - 1] + out[i - 2];
      j = context[h];
      context[h] = uint16_t(i);
    }
    const uint32_t s = DecodeSymbol(in, codes.mainTable);
    if (s < 256) {
      out[i++] = uint8_t(s);
    } else {
      // Before any context a match at position 0 has no source: like a
      // distance before the first byte of an entry, it reads zeros.
      for (uint32_t n = s - 254; n > 0 && i < total; n--, i++, j++) out[i] = j < i ? out[j] : 0;
    }
  }
  out[total] = 0;
  const int keep = total < capacity - 1 ? total : capacity - 1;
  memcpy(text, out, size_t(keep));
  text[keep] = 0;
  return true;
}
