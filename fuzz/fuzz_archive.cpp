// fuzz_archive.cpp - the reader and the decoder over arbitrary images, in chunks the first byte picks.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "archive/reader.h"
#include "archive/status.h"
#include "decoder/lz.h"

static void Check(bool ok) {
  if (!ok) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> image(data, data + size);  // reading past it is caught
  errorStatus = kStatusOk;
  AllocateWorkBuffers();
  static const int32_t kChunks[] = {2048, 260, 1000, 4096, 33026};
  const int32_t n = size ? kChunks[data[0] % 5] : 2048;
  if (OpenArchiveImage(image.data(), uint32_t(image.size()))) {
    static char comment[kCommentFieldSize];
    if (headerRecord.flags & ace::kFlagCommentDecode) DecodeComment(comment, sizeof comment);
    std::vector<uint8_t> out(size_t(n > 2048 ? n : 2048));
    uint64_t total = 0;
    for (int headers = 1; ReadNextHeader() && headers < 100000; headers++) {
      if (headerRecord.headerType != ace::kTypeFile) continue;
      StartEntry();
      const int32_t chunk = (headers & 1) ? 2048 : n;
      for (int32_t got; total <= (256u << 20) && (got = ReadChunk(out.data(), chunk)) > 0;) {  // runs kept short
        Check(got <= chunk - (lz.compType == ace::kCompLz77 ? 1 : 0));
        total += uint64_t(got);
      }
      Check(lz.delivered <= headerRecord.file.unpackedSize + uint32_t(kMaxMatch) || lz.delivered > (200u << 20));
    }
  }
  ReleaseWorkBuffers();
  return 0;
}
