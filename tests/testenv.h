// testenv.h - each test gets fresh work buffers and a clear status, as each installer run has.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "archive/reader.h"
#include "archive/status.h"
#include "decoder/lz.h"

class PhaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    errorStatus = kStatusOk;
    AllocateWorkBuffers();
    ASSERT_TRUE(WorkBuffersPresent());
  }
  void TearDown() override {
    ReleaseWorkBuffers();
    errorStatus = kStatusOk;
  }
  bool Open(const std::vector<uint8_t>& image) {
    image_ = image;
    return OpenArchiveImage(image_.data(), uint32_t(image_.size()));
  }
  std::vector<uint8_t> DecodeEntry(std::vector<int32_t>* chunks = nullptr, int32_t n = 2048) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(size_t(n) + 16);
    int32_t got;
    while ((got = ReadChunk(buf.data(), n)) > 0) {
      out.insert(out.end(), buf.begin(), buf.begin() + got);
      if (chunks) chunks->push_back(got);
    }
    return out;
  }
  std::vector<uint8_t> image_;
};
