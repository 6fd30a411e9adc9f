// huffman.h - the writer's side of the prefix codes: a bit writer in the
// decoder's bit order, length-limited code lengths, and code words assigned
// exactly as the decoder's table builder will assign them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qmk {

// Packs bits into 32-bit little-endian words from the most significant bit
// down, the order the decoder reads.
class BitSink {
 public:
  // The sink's state in locals, for a run of many Puts whose output has
  // been reserved: the compiler cannot keep members in registers across
  // the byte stores, which may alias them.
  struct Run {
    uint64_t acc;
    int count;
    uint8_t* to;
    void Put(uint32_t value, int bits) {  // bits 0..32, value < 2^bits
      acc = (acc << bits) | value;
      count += bits;
      if (count >= 32) {
        count -= 32;
        const uint32_t word = uint32_t(acc >> count);
        to[0] = uint8_t(word);
        to[1] = uint8_t(word >> 8);
        to[2] = uint8_t(word >> 16);
        to[3] = uint8_t(word >> 24);
        to += 4;
      }
    }
  };
  // Starts a run that puts at most `bits` bits.
  Run Begin(uint64_t bits) {
    Reserve(size_t(bits / 8) + 8);
    return Run{acc_, count_, out_.data() + used_};
  }
  void End(const Run& run) {
    acc_ = run.acc;
    count_ = run.count;
    used_ = size_t(run.to - out_.data());
  }

  void Put(uint32_t value, int bits) {  // bits 0..32, value < 2^bits
    Reserve(4);
    Run run{acc_, count_, out_.data() + used_};
    run.Put(value, bits);
    End(run);
  }
  // Pads the last word with zeros; the stream is whole words.
  void Flush() {
    if (count_ > 0) Put(0, 32 - count_);
  }
  uint64_t Bits() const { return uint64_t(used_) * 8 + uint64_t(count_); }
  // The whole words written so far.
  std::vector<uint8_t>& Bytes() {
    out_.resize(used_);
    return out_;
  }
  void Clear() {
    out_.clear();
    used_ = 0;
    acc_ = 0;
    count_ = 0;
  }

 private:
  void Reserve(size_t bytes) {
    if (used_ + bytes > out_.size()) out_.resize(std::max<size_t>({4096, 2 * out_.size(), used_ + bytes}));
  }
  std::vector<uint8_t> out_;  // grown ahead; the first used_ bytes are written
  size_t used_ = 0;
  uint64_t acc_ = 0;  // holds at most 31 + 32 pending bits
  int count_ = 0;
};

// Optimal code lengths of at most maxBits for the given frequencies
// (package-merge). Symbols with frequency 0 get length 0. A single used
// symbol gets length 1.
void LimitedCodeLengths(const uint32_t* freqs, int count, int maxBits, uint8_t* lengths);

// Code words for a width array as the decoder assigns them when it builds
// a table of 2^bits entries over symbols 0..last. The tie order depends on
// `last`: for a main or length code it is the last index the width table
// sends (LastUsed), for a pre-code the value range. `widths` is updated the
// way the decoder updates it (a lone symbol decodes with width 1).
void AssignCodeWords(int bits, int last, uint8_t* widths, uint32_t* words);

// The last symbol with a nonzero width, 0 when there is none.
int LastUsed(const uint8_t* widths, int count);

}  // namespace qmk
