// reader.cpp - signature scan, header chain and packed bytes over an image.
//
// Positions are kept as 32-bit offsets into the image and every bound is
// checked in 64-bit arithmetic before a byte is touched, so sizes read from a
// damaged header can neither wrap around nor reach outside the image.
#include "archive/reader.h"

#include <cstring>

#include "archive/status.h"

ReaderState reader;
AceHeaderRecord headerRecord;

void BuildCrcTable() {
  for (uint32_t n = 0; n < 256; n++) {
    uint32_t c = n;
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    reader.crcTable[n] = c;
  }
}

uint32_t UpdateCrc(uint32_t crc, const uint8_t* bytes, int32_t length) {
  const uint32_t* table = reader.crcTable;
  for (int32_t i = 0; i < length; i++) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

bool OpenArchiveImage(const uint8_t* start, uint32_t size) {
  reader.imageStart = start;
  reader.imageSize = start ? size : 0;
  reader.readPos = 0;
  reader.pendingBytes = 0;
  reader.chainEnd = ChainEnd::kNone;
  reader.headerStart = 0;
  reader.archiveStart = 0;
  return FindArchiveStart();
}

// The scan moves a 1,024-byte window over the image's first 64 KiB in steps
// of 512 bytes and tries every occurrence of the signature that starts at
// image offset 7 or later as the signature field of a main header.
bool FindArchiveStart() {
  // A phase whose buffers are not all present reads nothing.
  if (!WorkBuffersPresent()) return false;
  uint8_t* window = reader.windowBuffer;
  memset(window, 0, ace::kWindowBufferSize);
  const uint32_t size = reader.imageSize;
  uint32_t loaded = 0;
  uint32_t keep = 0;
  while (loaded < size && loaded < ace::kScanLimit) {
    uint32_t want = ace::kWindowBufferSize - keep;
    uint32_t have = size - loaded < want ? size - loaded : want;
    memcpy(window + keep, reader.imageStart + loaded, have);
    loaded += want;
    // Window position p holds image offset loaded - 1024 + p. Positions past
    // the image's end keep stale bytes and are never looked at.
    const int64_t base = int64_t(loaded) - ace::kWindowBufferSize;
    for (int p = 0; p + ace::kSignatureSize <= ace::kWindowBufferSize; p++) {
      int64_t offset = base + p;
      if (offset + ace::kSignatureSize > int64_t(size)) break;
      if (memcmp(window + p, ace::kSignature, ace::kSignatureSize) != 0) continue;
      int64_t h = offset - ace::kOffSignature;
      if (h < 0) continue;
      reader.readPos = uint32_t(h);
      reader.pendingBytes = 0;
      if (ReadNextHeader()) {
        reader.solidArchive = (headerRecord.flags & ace::kFlagSolid) != 0;
        reader.archiveStart = uint32_t(h);
        return true;
      }
    }
    memmove(window, window + ace::kScanStep, ace::kWindowBufferSize - ace::kScanStep);
    keep = ace::kScanStep;
    reader.readPos = loaded;
  }
  return false;
}

static bool EndChain(ChainEnd why) {
  reader.chainEnd = why;
  return false;
}

bool ReadNextHeader() {
  const uint64_t size = reader.imageSize;
  uint64_t pos = uint64_t(reader.readPos) + reader.pendingBytes;
  reader.pendingBytes = 0;
  if (pos > size) return EndChain(ChainEnd::kTruncated);
  reader.readPos = uint32_t(pos);
  if (pos == size) return EndChain(ChainEnd::kImageEnd);
  if (size - pos < ace::kHeaderLead) return EndChain(ChainEnd::kTruncated);

  const uint8_t* lead = reader.imageStart + pos;
  const uint16_t storedCrc = ace::Load16(lead + ace::kOffHeaderCrc);
  const uint16_t headerSize = ace::Load16(lead + ace::kOffHeaderSize);
  pos += ace::kHeaderLead;
  if (pos + headerSize > size) return EndChain(ChainEnd::kTruncated);
  reader.headerStart = reader.readPos;

  // The first bytes are held; the rest of a long header only feeds the CRC.
  const uint8_t* body = reader.imageStart + pos;
  const int held = headerSize < ace::kHeaderBufferSize ? headerSize : ace::kHeaderBufferSize;
  uint8_t* buf = reader.headerBuffer;
  memcpy(buf, body, held);
  const uint32_t crc = UpdateCrc(kCrcStart, body, headerSize);
  reader.readPos = uint32_t(pos + headerSize);

  // Type and flags need 3 bytes, the additional-data size 7.
  if (headerSize < 3) return EndChain(ChainEnd::kMalformed);
  headerRecord.headerCrc = storedCrc;
  headerRecord.headerSize = headerSize;
  headerRecord.headerType = buf[0];
  headerRecord.flags = ace::Load16(buf + 1);
  if (headerRecord.flags & ace::kFlagAddSize) {
    if (headerSize < 7) return EndChain(ChainEnd::kMalformed);
    reader.pendingBytes = ace::Load32(buf + 3);
  }
  if ((crc & 0xFFFF) != storedCrc) {
    reader.pendingBytes = 0;
    return EndChain(ChainEnd::kBadHeaderCrc);
  }

  const int lead4 = ace::kHeaderLead;  // buffer index = header offset - 4
  if (headerRecord.headerType == ace::kTypeMain) {
    if (headerSize < ace::kMainFixedSize) return EndChain(ChainEnd::kMalformed);
    AceMainView& m = headerRecord.main;
    memcpy(m.signature, buf + ace::kOffSignature - lead4, ace::kSignatureSize);
    m.byte14 = buf[ace::kOffMainByte14 - lead4];
    m.byte15 = buf[ace::kOffMainByte14 + 1 - lead4];
    m.byte16 = buf[ace::kOffMainByte14 + 2 - lead4];
    m.byte17 = buf[ace::kOffMainByte14 + 3 - lead4];
    m.value18 = ace::Load32(buf + ace::kOffMainValue18 - lead4);
    m.value22 = ace::Load16(buf + 22 - lead4);
    m.value24 = ace::Load16(buf + 24 - lead4);
    m.value26 = ace::Load32(buf + 26 - lead4);
    m.textLength = buf[ace::kOffTextLength - lead4];
    memcpy(m.variable, buf + ace::kOffMainVariable - lead4, held - (ace::kOffMainVariable - lead4));
  } else if (headerRecord.headerType == ace::kTypeFile) {
    if (headerSize < ace::kFileFixedSize) return EndChain(ChainEnd::kMalformed);
    AceFileView& f = headerRecord.file;
    f.packedSize = ace::Load32(buf + ace::kOffPackedSize - lead4);
    f.unpackedSize = ace::Load32(buf + ace::kOffUnpackedSize - lead4);
    f.fileTime = ace::Load32(buf + ace::kOffFileTime - lead4);
    f.attributes = ace::Load32(buf + ace::kOffAttributes - lead4);
    f.fileCrc = ace::Load32(buf + ace::kOffFileCrc - lead4);
    f.compType = buf[ace::kOffCompType - lead4];
    f.byte28 = buf[ace::kOffFileByte28 - lead4];
    f.compParam = ace::Load16(buf + ace::kOffCompParam - lead4);
    f.value31 = ace::Load16(buf + ace::kOffFileValue31 - lead4);
    f.nameLength = ace::Load16(buf + ace::kOffNameLength - lead4);
    // A name running past its own header would be taken from stale bytes.
    if (f.nameLength > headerSize - ace::kFileFixedSize) return EndChain(ChainEnd::kMalformed);
    memcpy(f.variable, buf + ace::kOffName - lead4, held - (ace::kOffName - lead4));
  }
  return true;
}

int32_t ReadPackedBytes(uint8_t* destination, int32_t count) {
  if (errorStatus != kStatusOk || count <= 0 || reader.pendingBytes == 0) return 0;
  uint32_t k = uint32_t(count) < reader.pendingBytes ? uint32_t(count) : reader.pendingBytes;
  const uint32_t available = reader.imageSize - reader.readPos;
  if (k > available) {
    // Packed data cut short by the image's end: hand out what is there and
    // fail every later read; the next header read ends the chain.
    k = available;
    errorStatus = kStatusReadFailed;
  }
  reader.pendingBytes -= k;
  memcpy(destination, reader.imageStart + reader.readPos, k);
  reader.readPos += k;
  return int32_t(k);
}
