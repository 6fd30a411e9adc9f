// bitwriter.h - bits in the decoder's order, a reference CRC, and comments
// packed as qmkpack packs them, for hand-made streams in tests.
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

std::vector<uint8_t> EncodeComment(const std::string& text);

}  // namespace qmktest
