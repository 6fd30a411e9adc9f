// bitwriter.h - bits in the decoder's order, and the bitwise reference CRC.
#pragma once

#include <cstdint>
#include <vector>

#include "encoder/huffman.h"

namespace qmktest {

// Most significant bit first, into 32-bit words filled from their top bit; Finish pads with zeros.
struct BitWriter : qmk::BitSink {
  std::vector<uint8_t> Finish() { return Flush(), Bytes(); }
};

// CRC-32 bit by bit: register started at 0xFFFFFFFF, no final inversion.
inline uint32_t ReferenceCrc(const uint8_t* data, size_t size, uint32_t crc = 0xFFFFFFFFu) {
  for (size_t i = 0; i < size; i++) {
    crc ^= data[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  return crc;
}
inline uint32_t ReferenceCrc(const std::vector<uint8_t>& v) { return ReferenceCrc(v.data(), v.size()); }

}  // namespace qmktest
