// verify.cpp - the full check decodes every entry to nowhere; the sealed
// check compares the image's CRC with the one recorded when it was checked.
#include "archive/verify.h"

#include <cstring>

#include "archive/aceformat.h"
#include "archive/entryname.h"
#include "archive/reader.h"
#include "archive/status.h"
#include "decoder/lz.h"

namespace {

// The longest entry name the extraction copies (its name buffer less the
// terminator).
constexpr uint32_t kMaxEntryName = 1999;

const uint8_t kSealMagic[4] = {'Q', 'M', 'K', 'S'};

bool NameAcceptable(EntryNameSet* names) {
  const AceFileView& f = headerRecord.file;
  const char* name = reinterpret_cast<const char*>(f.variable);
  return CheckEntryName(name, f.nameLength, kMaxEntryName) == NameFault::kNone &&
         AddEntryName(names, name, f.nameLength);
}

bool EntryDecodes() {
  StartEntry();
  if (errorStatus != kStatusOk) return false;
  // The largest chunk the decoder hands out at once: fewer calls than the
  // extraction's 2,048-byte chunks, the same bytes and the same CRC.
  static uint8_t sink[kMaxChunk];
  while (ReadChunk(sink, kMaxChunk) > 0) {
  }
  return errorStatus == kStatusOk && EntryIntact();
}

// Walks the whole chain; with `decode`, every file entry is decoded too.
bool ChainIntact(const uint8_t* data, uint32_t size, bool decode) {
  EntryNameSet names;
  bool intact = OpenEntryNameSet(&names) && OpenArchiveImage(data, size);
  while (intact && ReadNextHeader()) {
    if (headerRecord.headerType != ace::kTypeFile) continue;
    intact = NameAcceptable(&names) && (!decode || EntryDecodes());
  }
  CloseEntryNameSet(&names);
  return intact && reader.chainEnd == ChainEnd::kImageEnd;
}

uint32_t ImageCrc(const uint8_t* data, uint32_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t done = 0; done < size;) {
    const uint32_t n = size - done < (1u << 30) ? size - done : (1u << 30);
    crc = UpdateCrc(crc, data + done, int32_t(n));
    done += n;
  }
  return crc;
}

void Store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace

bool VerifyArchiveImage(const uint8_t* data, uint32_t size) {
  errorStatus = kStatusOk;
  AllocateWorkBuffers();
  const bool intact = errorStatus == kStatusOk && data && ChainIntact(data, size, true);
  ReleaseWorkBuffers();
  errorStatus = kStatusOk;
  return intact;
}

void MakeSeal(const uint8_t* data, uint32_t size, uint8_t* seal) {
  BuildCrcTable();
  memcpy(seal, kSealMagic, 4);
  Store32(seal + 4, size);
  Store32(seal + 8, ImageCrc(data, size));
}

bool SealedImageIntact(const uint8_t* data, uint32_t size, const uint8_t* seal, uint32_t sealSize) {
  if (!data || !seal || sealSize != kSealSize || memcmp(seal, kSealMagic, 4) != 0) return false;
  if (ace::Load32(seal + 4) != size) return false;
  errorStatus = kStatusOk;
  AllocateWorkBuffers();
  const bool intact =
      errorStatus == kStatusOk && ImageCrc(data, size) == ace::Load32(seal + 8) && ChainIntact(data, size, false);
  ReleaseWorkBuffers();
  errorStatus = kStatusOk;
  return intact;
}
