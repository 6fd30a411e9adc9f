// verify.cpp - the full check decodes every entry to nowhere; the sealed
// check compares the image's CRC with the one recorded when it was checked.
#include "archive/verify.h"

#include <cstring>

#include "archive/aceformat.h"
#include "archive/entryname.h"
#include "archive/reader.h"
#include "archive/status.h"
#include "decoder/lz.h"

uint32_t longestEntryName;

namespace {

const uint8_t kSealMagic[4] = {'Q', 'M', 'K', 'S'};

bool NameAcceptable(EntryNameSet* names) {
  const AceFileView& f = headerRecord.file;
  if (f.nameLength > longestEntryName) longestEntryName = f.nameLength;
  const char* name = reinterpret_cast<const char*>(f.variable);
  return AdmitEntryName(names, name, f.nameLength) == NameFault::kNone;
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
bool ChainIntact(const uint8_t* data, uint32_t size, ImageView view, bool decode) {
  EntryNameSet names;
  longestEntryName = 0;
  bool intact = OpenEntryNameSet(&names) && OpenArchiveImage(data, size, view);
  while (intact && ReadNextHeader()) {
    if (headerRecord.headerType != ace::kTypeFile) continue;
    intact = NameAcceptable(&names) && (!decode || EntryDecodes());
  }
  CloseEntryNameSet(&names);
  return intact && reader.chainEnd == ChainEnd::kImageEnd;
}

// The CRC of the whole image, in view-sized pieces when it is viewed;
// `readable` goes false when a view cannot be had.
uint32_t ImageCrc(const uint8_t* data, uint32_t size, ImageView view, bool* readable) {
  uint32_t crc = 0xFFFFFFFFu;
  *readable = true;
  const uint32_t piece = view ? kImageViewMax : (1u << 30);
  for (uint32_t done = 0; done < size;) {
    const uint32_t n = size - done < piece ? size - done : piece;
    const uint8_t* bytes = view ? view(done, n) : data + done;
    if (!bytes) {
      *readable = false;
      break;
    }
    crc = UpdateCrc(crc, bytes, int32_t(n));
    done += n;
  }
  return crc;
}

void Store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace

bool VerifyArchiveImage(const uint8_t* data, uint32_t size, ImageView view) {
  errorStatus = kStatusOk;
  AllocateWorkBuffers();
  const bool intact = errorStatus == kStatusOk && (data || view) && ChainIntact(data, size, view, true);
  ReleaseWorkBuffers();
  errorStatus = kStatusOk;
  return intact;
}

void MakeSeal(const uint8_t* data, uint32_t size, uint8_t* seal) {
  BuildCrcTable();
  memcpy(seal, kSealMagic, 4);
  Store32(seal + 4, size);
  bool readable;
  Store32(seal + 8, ImageCrc(data, size, nullptr, &readable));
}

bool SealedImageIntact(const uint8_t* data, uint32_t size, const uint8_t* seal, uint32_t sealSize,
                       ImageView view) {
  if (!(data || view) || !seal || sealSize != kSealSize || memcmp(seal, kSealMagic, 4) != 0) return false;
  if (ace::Load32(seal + 4) != size) return false;
  errorStatus = kStatusOk;
  AllocateWorkBuffers();
  bool readable = false;
  const bool intact = errorStatus == kStatusOk && ImageCrc(data, size, view, &readable) == ace::Load32(seal + 8) &&
                      readable && ChainIntact(data, size, view, false);
  ReleaseWorkBuffers();
  errorStatus = kStatusOk;
  return intact;
}
