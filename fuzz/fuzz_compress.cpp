// fuzz_compress.cpp - encoder to decoder round trip; the first two bytes pick level, solidity, entries.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "archive/reader.h"
#include "archive/status.h"
#include "decoder/lz.h"
#include "encoder/lzencoder.h"
#include "tests/support/archivebuilder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int level = 1 + data[0] % 9;
  const bool solid = (data[0] & 0x80) == 0;
  const size_t parts = 1 + data[1] % 4;
  data += 2;
  size -= 2;
  std::vector<qmktest::FileEntry> entries(parts);
  qmk::LzEncoder encoder(level, solid);
  for (size_t k = 0, at = 0; k < parts; k++) {
    const size_t n = k + 1 == parts ? size - at : std::min(size - at, size / parts);
    qmktest::FileEntry& e = entries[k];
    e.name = "e" + std::to_string(k);
    e.data.assign(data + at, data + at + n);
    at += n;
    e.packed = encoder.CompressEntry(e.data.data(), e.data.size());
    if (e.packed.size() >= e.data.size() && !e.data.empty()) {
      e.packed = e.data;
      e.compType = 0;
    }
  }
  qmktest::MainSpec main;
  main.flags = solid ? 0x8000 : 0;
  const std::vector<uint8_t> archive = qmktest::BuildArchive(main, entries);
  errorStatus = kStatusOk;
  AllocateWorkBuffers();
  if (!OpenArchiveImage(archive.data(), uint32_t(archive.size()))) abort();
  std::vector<uint8_t> out(2048);
  for (const qmktest::FileEntry& e : entries) {
    if (!ReadNextHeader()) abort();
    StartEntry();
    std::vector<uint8_t> got;
    int32_t n;
    while ((n = ReadChunk(out.data(), 2048)) > 0) got.insert(got.end(), out.begin(), out.begin() + n);
    if (got != e.data || !EntryIntact()) abort();
  }
  ReleaseWorkBuffers();
  return 0;
}
