// fuzz_archive.cpp - the reader and the decoder over arbitrary images.
//
// The input is an image as the installer would hold it. The target opens it,
// decodes the comment as the extractor's constructor does, then walks every
// header and decodes every entry in 2,048-byte chunks, as the extraction
// does, with the status kept across entries. The first input byte also
// picks one other chunk size, so the chunk limits are exercised. It checks
// the decoder's own promises: no chunk larger than asked or than n - 1 for
// compressed entries, nothing delivered beyond what was counted.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "archive/reader.h"
#include "archive/status.h"
#include "decoder/lz.h"

namespace {
void Check(bool ok) {
  if (!ok) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The image lives in its own allocation, so reading past it is caught.
  std::vector<uint8_t> image(data, data + size);
  errorStatus = kStatusOk;
  AllocateWorkBuffers();
  static const int32_t kChunks[] = {2048, 260, 1000, 4096, 33026};
  const int32_t n = size ? kChunks[data[0] % 5] : 2048;
  if (OpenArchiveImage(image.data(), uint32_t(image.size()))) {
    if (headerRecord.flags & ace::kFlagCommentDecode) {
      static char comment[kCommentFieldSize];
      DecodeComment(comment, sizeof comment);
    }
    std::vector<uint8_t> out(size_t(n > 2048 ? n : 2048));  // exactly the largest chunk asked for
    uint64_t total = 0;
    int headers = 0;
    while (ReadNextHeader() && headers++ < 100000) {
      if (headerRecord.headerType != ace::kTypeFile) continue;
      StartEntry();
      const int32_t chunk = (headers & 1) ? 2048 : n;
      int32_t got;
      while ((got = ReadChunk(out.data(), chunk)) > 0) {
        Check(got <= chunk);
        if (lz.compType == ace::kCompLz77) Check(got <= chunk - 1);
        total += uint64_t(got);
        if (total > (256u << 20)) break;  // keep each run short
      }
      Check(lz.delivered <= headerRecord.file.unpackedSize + uint32_t(kMaxMatch) || lz.delivered > (200u << 20));
    }
  }
  ReleaseWorkBuffers();
  return 0;
}
