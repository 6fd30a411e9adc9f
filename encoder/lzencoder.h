// lzencoder.h - the archive compressor: one instance packs the entries of
// one archive, in order.
//
// The window mirrors the decoder's ring: in a solid archive an entry may
// refer to the bytes of the entries before it (stored ones included), up to
// 2^20 - 1 bytes back; otherwise only to its own bytes. Each entry starts
// with an empty distance history, as the decoder's does.
//
// Levels: 1 greedy and 2-3 lazy over hash rows; 4 to 7 lazy matching over
// hash chains; 8 and 9 a binary-tree match finder over the whole window and a
// cost-based parse that prices literals, new distances and the four repeat
// distances with code lengths refreshed every 8,192 symbols from the symbols
// just parsed.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace qmk {

constexpr uint32_t kWindowBits = 20;
constexpr uint32_t kMaxDistance = (1u << kWindowBits) - 1;

class LzEncoder {
 public:
  LzEncoder(int level, bool solid);
  ~LzEncoder();
  LzEncoder(const LzEncoder&) = delete;
  LzEncoder& operator=(const LzEncoder&) = delete;

  // Compresses one entry's bytes into its packed stream. The bytes become
  // part of the window whether the caller keeps the packed stream or stores
  // the entry instead.
  std::vector<uint8_t> CompressEntry(const uint8_t* data, size_t size);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qmk
