// lz.h - the LZ77 block decoder, its dictionary ring and the comment decoder.
//
// The decoder turns one entry's packed data into its bytes, chunk by chunk,
// and folds every delivered byte into the entry's running CRC. Stored entries
// (type 0) pass through; type 1 is an LZ77 stream over a ring of up to 2^20
// bytes whose symbols are Huffman coded. In a solid archive the ring's
// contents and write position carry over from one entry to the next; the
// codes, the block count and the distance history never do.
//
// Main-code symbols: 0..255 literal; 256..259 repeat distance-history entry
// 0..3 (length base 2, 2, 3, 3); 260..282 new distance of class c = s - 260
// with c - 1 extra bits (classes 0 and 1 have none), value v = 2^(c-1) +
// extra, length base 2 up to v = 255, 3 up to 8,191, else 4. The match
// length is a length-code symbol plus the base; the copy distance is v + 1.
#pragma once

#include <cstdint>

#include "decoder/bitinput.h"

constexpr int kMaxDictionaryBits = 20;
constexpr int kMinDictionaryBits = 11;  // a ring must hold a whole 2,048-byte chunk
constexpr int kMaxMatch = 259;
constexpr int kMinChunk = kMaxMatch + 1;
constexpr int kMaxChunk = 33026;        // the produced count stays a signed 16-bit value
constexpr int kCommentFieldSize = 2024; // the extractor's comment buffer, terminator included

struct Dictionary {
  uint8_t* ring;      // 2^bits bytes, zero-filled when allocated
  int bits;
  uint32_t mask;
  uint32_t writePos;
  bool fresh;         // set by AllocDictionary, cleared by the first StartEntry
};
extern Dictionary dictionary;

struct DecoderState {
  int64_t remaining;     // unpacked bytes not yet delivered (may fall below 0)
  uint32_t crc;          // running CRC over the delivered bytes
  uint16_t blockCount;   // main symbols left in the current block
  uint32_t history[4];   // distances - 1, most recent first
  int32_t produced;      // bytes decoded into the ring by the running chunk
  int32_t chunkLimit;
  uint8_t compType;      // of the current entry
  // Damage seen while decoding the current entry, for tools and the extractor.
  uint32_t delivered;    // bytes handed out so far
  bool codeFailed;       // a code table could not be built
  bool inputOverrun;     // the stream needed bits its packed data never held
};
extern DecoderState lz;

void AllocDictionary();
void FreeDictionary();
void StartEntry();
int32_t ReadChunk(uint8_t* destination, int32_t n);
int32_t ReadLzChunk(uint8_t* destination, int32_t n);
int32_t ReadStoredChunk(uint8_t* destination, int32_t n);
void DecodeBlocks();
bool ReadBlockHeader();

// Decodes the comment of the main header held in the header record into
// `text` (capacity bytes, terminator included; longer texts are cut). Returns
// false when the main header has no decodable comment or it is damaged; the
// text is then empty.
bool DecodeComment(char* text, int capacity);

// Called by MakeCode on failure: ends the running chunk at its limit.
bool MakeCodeFailed();

// True when the current entry has delivered exactly its unpacked size and
// its running CRC equals the stored file CRC.
bool EntryIntact();
