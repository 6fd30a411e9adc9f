// verify.cpp - decodes every entry of an image to nowhere and checks it.
#include "archive/verify.h"

#include "archive/aceformat.h"
#include "archive/entryname.h"
#include "archive/reader.h"
#include "archive/status.h"
#include "decoder/lz.h"

namespace {

// The longest entry name the extraction copies (its name buffer less the
// terminator).
constexpr uint32_t kMaxEntryName = 1999;

bool EntryVerified() {
  const AceFileView& f = headerRecord.file;
  if (CheckEntryName(reinterpret_cast<const char*>(f.variable), f.nameLength, kMaxEntryName) != NameFault::kNone) {
    return false;
  }
  StartEntry();
  if (errorStatus != kStatusOk) return false;
  // The largest chunk the decoder hands out at once: fewer calls than the
  // extraction's 2,048-byte chunks, the same bytes and the same CRC.
  static uint8_t sink[kMaxChunk];
  while (ReadChunk(sink, kMaxChunk) > 0) {
  }
  return errorStatus == kStatusOk && EntryIntact();
}

}  // namespace

bool VerifyArchiveImage(const uint8_t* data, uint32_t size) {
  errorStatus = kStatusOk;
  AllocateWorkBuffers();
  bool intact = errorStatus == kStatusOk && data && OpenArchiveImage(data, size);
  while (intact && ReadNextHeader()) {
    if (headerRecord.headerType == ace::kTypeFile) intact = EntryVerified();
  }
  intact = intact && reader.chainEnd == ChainEnd::kImageEnd;
  ReleaseWorkBuffers();
  errorStatus = kStatusOk;
  return intact;
}
