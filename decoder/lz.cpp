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
// buffer there, so each symbol costs one table lookup, one width lookup and
// a shift; a match clear of the ring's end is copied in 8- or 16-byte pieces
// that never store past the match's last byte.
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
  lz.p = 0;
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
// runs without wrapping, in pieces of 16 bytes (source and destination 16 or
// more apart), 8 bytes, or 4 and 2 for short matches. Every store lands
// inside the match: a length that is no multiple of the piece size ends with
// a piece that overlaps the one before it, rewriting bytes of the match with
// the values they already hold. Later matches read any ring byte, so nothing
// past the match's end may be touched. With the source at least a piece's
// size behind, each piece reads only bytes that are final; that far or more
// ahead, only bytes not yet written. A source 1..7 bytes behind is laid down
// byte by byte for 8 bytes and then copied from the smallest multiple of its
// gap that is at least 8 back, which holds the same bytes; one 1..7 bytes
// ahead is a plain move.
__attribute__((always_inline)) static inline uint32_t CopyMatch(uint8_t* ring, uint32_t mask, uint32_t wp, uint32_t distance,
                                  uint32_t length) {
  uint32_t src = (wp - distance) & mask;
  const uint32_t body = mask + 1 - kMaxMatch;
  if (src < body && wp < body) {
    uint8_t* const d = ring + wp;
    const uint8_t* const s = ring + src;
    if (src < wp && wp - src < 8) {
      const uint32_t head = length < 8 ? length : 8;
      uint32_t i = 0;
      for (; i < head; i++) d[i] = s[i];
      const uint32_t stride = kPatternStride[wp - src];
      for (; i + 8 <= length; i += 8) Copy8(d + i, d + i - stride);
      for (; i < length; i++) d[i] = *(d + i - stride);
    } else if (src > wp && src - wp < 8) {
      memmove(d, s, length);  // read before it is overwritten
    } else if (length > 16 && (src < wp ? wp - src : src - wp) >= 16) {
      uint32_t i = 0;
      for (; i + 16 <= length; i += 16) Copy16(d + i, s + i);
      if (i < length) Copy16(d + length - 16, s + length - 16);
    } else if (length > 16) {
      uint32_t i = 0;
      for (; i + 8 <= length; i += 8) Copy8(d + i, s + i);
      if (i < length) Copy8(d + length - 8, s + length - 8);
    } else if (length >= 8) {
      Copy8(d, s);
      Copy8(d + length - 8, s + length - 8);
    } else if (length >= 4) {
      // Source and destination are at least 8 bytes apart: no overlap.
      Copy4(d, s);
      Copy4(d + length - 4, s + length - 4);
    } else {
      Copy2(d, s);
      Copy2(d + length - 2, s + length - 2);
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

static inline uint32_t LengthBase(uint32_t v) { return v < 256 ? 2 : v < 8192 ? 3 : 4; }

void DecodeBlocks() {
  // The bit input lives in locals while symbols are decoded. `pos` is the
  // read position in bits from word 0 (index * 32 + offset), so the word
  // buffer is refilled at exactly the skip that takes the index to 1,022.
  // `bits` holds the `avail` (32..63 between skips) unread bits that start
  // there, the next one in bit 63, zeros below them; its top half is the
  // window. Words enter it whole, `next` being the first word not yet in it.
  // Fewer than 32 bits left means the position lies inside word next - 1, so
  // the word it takes is the one a window there would read as its second
  // word: never beyond 1,022 before a refill, and words 1,022 and 1,023 keep
  // their contents when the refill moves them to 0 and 1. The symbol chain
  // thus goes lookup, width, shift, with no word loads on it.
  const uint8_t* const words = bitInput.bytes;
  uint32_t pos;
  uint32_t next;
  uint32_t avail;
  uint64_t bits;
  auto loadBits = [&] {
    const uint32_t index = bitInput.index;
    const uint32_t offset = bitInput.offset;
    pos = index * 32 + offset;
    bits = (uint64_t(WordAt(words, index)) << 32 | WordAt(words, index + 1)) << offset;
    avail = 64 - offset;
    next = index + 2;
  };
  auto storeBits = [&] {
    bitInput.index = pos >> 5;
    bitInput.offset = pos & 31;
    FormWindow(bitInput);
  };
  auto skip = [&](uint32_t n) {
    pos += n;
    bits <<= n;
    avail -= n;
    if (pos >= uint32_t(kRefillIndex) * 32) {
      storeBits();
      RefillBits(bitInput);
      pos -= uint32_t(kRefillIndex) * 32;
      next -= kRefillIndex;
    }
    if (avail < 32) {
      bits |= uint64_t(WordAt(words, next)) << (32 - avail);
      next++;
      avail += 32;
    }
  };
  auto window = [&] { return uint32_t(bits >> 32); };
  auto decodeSymbol = [&](const uint16_t* table, const uint8_t* widths) {
    const uint32_t symbol = table[window() >> (32 - kCodeBits)];
    skip(widths[symbol]);
    return symbol;
  };

  uint8_t* const ring = dictionary.ring;
  const uint32_t mask = dictionary.mask;
  uint32_t wp = dictionary.writePos;
  int32_t produced = lz.produced;
  const int32_t limit = lz.chunkLimit;
  uint32_t blockCount = lz.blockCount;
  uint32_t hist[4] = {lz.history[0], lz.history[1], lz.history[2], lz.history[3]};
  uint32_t p = lz.p;
  const uint16_t* const mainTable = codes.mainTable;
  const uint16_t* const lengthTable = codes.lengthTable;
  const uint8_t* const mainWidths = codes.mainWidths;
  const uint8_t* const lengthWidths = codes.lengthWidths;

  loadBits();
  while (produced < limit) {
    if (blockCount == 0) {
      storeBits();
      lz.produced = produced;
      const bool ok = ReadBlockHeader();
      loadBits();
      if (!ok) {
        produced = lz.produced;  // the chunk limit
        break;
      }
      blockCount = lz.blockCount;
    }
    const uint32_t s = mainTable[window() >> (32 - kCodeBits)];
    const uint32_t width = mainWidths[s];
    if (s < 256) {
      // A literal. The bits of the next symbol are already in `bits` (at
      // least 32 are), so a second literal of the same block and chunk is
      // taken in the same step: two literals, one skip.
      if (blockCount >= 2 && produced + 1 < limit) {
        const uint32_t s2 = mainTable[uint32_t((bits << width) >> (64 - kCodeBits))];
        if (s2 < 256) {
          skip(width + mainWidths[s2]);
          ring[wp] = uint8_t(s);
          ring[(wp + 1) & mask] = uint8_t(s2);
          wp = (wp + 2) & mask;
          produced += 2;
          blockCount -= 2;
          continue;
        }
      }
      skip(width);
      blockCount = (blockCount - 1) & 0xFFFF;
      ring[wp] = uint8_t(s);
      wp = (wp + 1) & mask;
      produced++;
      continue;
    }
    skip(width);
    blockCount = (blockCount - 1) & 0xFFFF;
    uint32_t v;
    uint32_t base;
    if (s >= 260) {
      const uint32_t c = s - 260;
      if (c < 2) {
        v = c;
      } else {
        v = (uint32_t(1) << (c - 1)) + (window() >> (32 - (c - 1)));
        skip(c - 1);
      }
      p = (p + 1) & 3;
      hist[p] = v;
      base = LengthBase(v);
    } else {
      const uint32_t r = s - 256;
      v = hist[(p - r) & 3];
      for (uint32_t k = r; k >= 1; k--) hist[(p - k) & 3] = hist[(p - k + 1) & 3];
      hist[p] = v;
      base = r < 2 ? 2 : 3;
    }
    const uint32_t length = decodeSymbol(lengthTable, lengthWidths) + base;
    wp = CopyMatch(ring, mask, wp, v + 1, length);
    produced += int32_t(length);
  }

  storeBits();
  dictionary.writePos = wp;
  lz.produced = produced;
  lz.blockCount = uint16_t(blockCount);
  for (int k = 0; k < 4; k++) lz.history[k] = hist[k];
  lz.p = p;
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
    const uint32_t s = DecodeSymbol(in, codes.mainTable, codes.mainWidths);
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
