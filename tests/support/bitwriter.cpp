// bitwriter.cpp - the reference CRC; comments packed by qmkpack's encoder.
#include "tests/support/bitwriter.h"

#include "encoder/archivewriter.h"

namespace qmktest {

uint32_t ReferenceCrc(const uint8_t* data, size_t size, uint32_t crc) {
  for (size_t i = 0; i < size; i++) {
    crc ^= data[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
  }
  return crc;
}

std::vector<uint8_t> EncodeComment(const std::string& text) { return qmk::PackComment(text); }

}  // namespace qmktest
