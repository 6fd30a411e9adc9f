// reader.cpp - CRC-32, signature scan, header chain and packed bytes over an
// image.
//
// Positions are kept as 32-bit offsets into the image and every bound is
// checked in 64-bit arithmetic before a byte is touched, so sizes read from a
// damaged header can neither wrap around nor reach outside the image.
//
// The CRC runs over every byte the decoder delivers, so it is as hot as the
// decoder itself. Bytes are folded in eight at a time (eight table lookups
// that do not depend on one another); on processors with PCLMULQDQ, runs of
// 64 bytes and more are folded 64 bytes per step with carry-less multiplies
// instead, and only the last block and the tail go through the tables. On
// x86-64 processors with VPCLMULQDQ, runs of 256 bytes and more are folded
// 128 bytes per step, two blocks per multiply.
#include "archive/reader.h"

#include <cstring>

#include "archive/status.h"

#if defined(__i386__) || defined(__x86_64__)
#define QMK_CRC_CLMUL 1
#include <cpuid.h>
#include <emmintrin.h>
#include <wmmintrin.h>
#endif

ReaderState reader;
AceHeaderRecord headerRecord;

#if defined(__x86_64__)
static void BuildWideFold();
#endif

// x^n mod the polynomial, bit-reflected (x^0 is bit 31).
static uint32_t ReflectedPowerOfX(int n) {
  uint32_t r = 0x80000000u;
  for (int i = 0; i < n; i++) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
  return r;
}

void BuildCrcTable() {
  for (uint32_t n = 0; n < 256; n++) {
    uint32_t c = n;
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    reader.crcTable[0][n] = c;
  }
  for (int k = 1; k < 8; k++) {
    for (uint32_t n = 0; n < 256; n++) {
      const uint32_t c = reader.crcTable[k - 1][n];
      reader.crcTable[k][n] = (c >> 8) ^ reader.crcTable[0][c & 0xFF];
    }
  }
  // Moving a block d bits further on moves its first 64-bit half (the low
  // lane) by d + 64 bits and its second half by d bits. A carry-less product
  // of a reflected lane with a 33-bit reflected multiplier lands 32 degrees
  // higher than the plain product, hence x^(d+32) and x^(d-32).
  const int exponents[4] = {512 + 32, 512 - 32, 128 + 32, 128 - 32};
  for (int i = 0; i < 4; i++) reader.crcFold[i] = uint64_t(ReflectedPowerOfX(exponents[i])) << 1;
  reader.crcClmul = CpuHasClmul();
  reader.crcWide = reader.crcClmul && CpuHasWideClmul();
#if defined(__x86_64__)
  BuildWideFold();
#endif
}

static inline uint32_t LoadLe32(const uint8_t* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
#else
  return ace::Load32(p);
#endif
}

static uint32_t UpdateCrcTables(uint32_t crc, const uint8_t* bytes, int32_t length) {
  const uint32_t(*t)[256] = reader.crcTable;
  while (length >= 8) {
    const uint32_t a = LoadLe32(bytes) ^ crc;
    const uint32_t b = LoadLe32(bytes + 4);
    crc = t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^
          t[3][b & 0xFF] ^ t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
    bytes += 8;
    length -= 8;
  }
  for (int32_t i = 0; i < length; i++) crc = t[0][(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

#ifdef QMK_CRC_CLMUL

bool CpuHasClmul() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  return (d & (1u << 26)) && (c & (1u << 1));  // SSE2 and PCLMULQDQ
}

#define QMK_CLMUL __attribute__((target("sse2,pclmul")))
#if defined(__i386__)
// 32-bit Windows keeps the stack only 4-byte aligned; the vector spills need 16.
#define QMK_CLMUL_ENTRY QMK_CLMUL __attribute__((force_align_arg_pointer))
#else
#define QMK_CLMUL_ENTRY QMK_CLMUL
#endif

// x moved forward by the distance k was made for, plus the block found there.
QMK_CLMUL __attribute__((always_inline)) static inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)),
                       next);
}

// Folds the whole 16-byte blocks among the `left` bytes at p into x, one
// block on at a time, and stores x in `rest`. Returns the bytes left over.
QMK_CLMUL __attribute__((always_inline)) static inline int32_t FoldLastBlocks(__m128i x, __m128i k1, const __m128i* p,
                                                                              int32_t left, uint8_t* rest) {
  for (; left >= 16; left -= 16) x = Fold(x, k1, _mm_loadu_si128(p++));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), x);
  return left;
}

// Folds the whole 16-byte blocks of bytes[0, length), length >= 64, with the
// register added into the first four bytes, down to one block congruent to
// them, and stores it in `rest`. Its CRC from a zero register is the CRC of
// the folded bytes. Returns the number of bytes folded.
QMK_CLMUL_ENTRY static int32_t FoldBlocks(uint32_t crc, const uint8_t* bytes, int32_t length, uint8_t* rest) {
  const __m128i k4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(reader.crcFold));
  const __m128i k1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(reader.crcFold + 2));
  const __m128i* p = reinterpret_cast<const __m128i*>(bytes);
  __m128i x0 = _mm_xor_si128(_mm_loadu_si128(p), _mm_cvtsi32_si128(int(crc)));
  __m128i x1 = _mm_loadu_si128(p + 1);
  __m128i x2 = _mm_loadu_si128(p + 2);
  __m128i x3 = _mm_loadu_si128(p + 3);
  p += 4;
  int32_t left = length - 64;
  while (left >= 64) {
    x0 = Fold(x0, k4, _mm_loadu_si128(p));
    x1 = Fold(x1, k4, _mm_loadu_si128(p + 1));
    x2 = Fold(x2, k4, _mm_loadu_si128(p + 2));
    x3 = Fold(x3, k4, _mm_loadu_si128(p + 3));
    p += 4;
    left -= 64;
  }
  x0 = Fold(x0, k1, x1);
  x0 = Fold(x0, k1, x2);
  x0 = Fold(x0, k1, x3);
  return length - FoldLastBlocks(x0, k1, p, left, rest);
}

#if defined(__x86_64__)

#include <immintrin.h>

bool CpuHasWideClmul() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  if (!(c & (1u << 27)) || !(c & (1u << 28))) return false;  // OSXSAVE, AVX
  unsigned xcr0, xcr0High;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
  if ((xcr0 & 6) != 6) return false;  // XMM and YMM state saved
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return (b & (1u << 5)) && (c & (1u << 10));  // AVX2, VPCLMULQDQ
}

#define QMK_WIDE_CLMUL __attribute__((target("avx2,vpclmulqdq,pclmul")))

// The multipliers for moving a 16-byte block 128 and 32 bytes on (x^1056,
// x^992, x^288, x^224), made like those in reader.crcFold.
static uint64_t wideFold[4];

QMK_WIDE_CLMUL __attribute__((always_inline)) static inline __m256i FoldWide(__m256i x, __m256i k, __m256i next) {
  return _mm256_xor_si256(
      _mm256_xor_si256(_mm256_clmulepi64_epi128(x, k, 0x00), _mm256_clmulepi64_epi128(x, k, 0x11)), next);
}

// FoldBlocks for length >= 256, 128 bytes per step in four 32-byte lanes
// (each two 16-byte blocks, moved on alike); the lanes are then folded into
// one block, which goes on 16 bytes per step as in FoldBlocks.
QMK_WIDE_CLMUL static int32_t FoldBlocksWide(uint32_t crc, const uint8_t* bytes, int32_t length, uint8_t* rest) {
  const __m256i k8 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(wideFold)));
  const __m256i k2 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(wideFold + 2)));
  const __m256i k4 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(reader.crcFold)));
  const __m128i k1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(reader.crcFold + 2));
  const __m256i* p = reinterpret_cast<const __m256i*>(bytes);
  __m256i x0 = _mm256_xor_si256(_mm256_loadu_si256(p), _mm256_zextsi128_si256(_mm_cvtsi32_si128(int(crc))));
  __m256i x1 = _mm256_loadu_si256(p + 1);
  __m256i x2 = _mm256_loadu_si256(p + 2);
  __m256i x3 = _mm256_loadu_si256(p + 3);
  p += 4;
  int32_t left = length - 128;
  while (left >= 128) {
    x0 = FoldWide(x0, k8, _mm256_loadu_si256(p));
    x1 = FoldWide(x1, k8, _mm256_loadu_si256(p + 1));
    x2 = FoldWide(x2, k8, _mm256_loadu_si256(p + 2));
    x3 = FoldWide(x3, k8, _mm256_loadu_si256(p + 3));
    p += 4;
    left -= 128;
  }
  x2 = FoldWide(x0, k4, x2);  // 64 bytes on
  x3 = FoldWide(x1, k4, x3);
  x3 = FoldWide(x2, k2, x3);  // 32 bytes on
  const __m128i x = Fold(_mm256_castsi256_si128(x3), k1, _mm256_extracti128_si256(x3, 1));
  return length - FoldLastBlocks(x, k1, reinterpret_cast<const __m128i*>(p), left, rest);
}

static void BuildWideFold() {
  const int exponents[4] = {1024 + 32, 1024 - 32, 256 + 32, 256 - 32};
  for (int i = 0; i < 4; i++) wideFold[i] = uint64_t(ReflectedPowerOfX(exponents[i])) << 1;
}

#else

bool CpuHasWideClmul() { return false; }

#endif

uint32_t UpdateCrc(uint32_t crc, const uint8_t* bytes, int32_t length) {
#if defined(__x86_64__)
  if (reader.crcWide && length >= 256) {
    uint8_t rest[16];
    const int32_t folded = FoldBlocksWide(crc, bytes, length, rest);
    crc = UpdateCrcTables(0, rest, 16);
    return UpdateCrcTables(crc, bytes + folded, length - folded);
  }
#endif
  if (reader.crcClmul && length >= 64) {
    uint8_t rest[16];
    const int32_t folded = FoldBlocks(crc, bytes, length, rest);
    crc = UpdateCrcTables(0, rest, 16);
    bytes += folded;
    length -= folded;
  }
  return UpdateCrcTables(crc, bytes, length);
}

#else

bool CpuHasClmul() { return false; }
bool CpuHasWideClmul() { return false; }

uint32_t UpdateCrc(uint32_t crc, const uint8_t* bytes, int32_t length) {
  return UpdateCrcTables(crc, bytes, length);
}

#endif

bool OpenArchiveImage(const uint8_t* start, uint32_t size, ImageView view) {
  reader.imageStart = view ? nullptr : start;
  reader.view = view;
  reader.imageSize = start || view ? size : 0;
  reader.readPos = 0;
  reader.pendingBytes = 0;
  reader.chainEnd = ChainEnd::kNone;
  reader.headerStart = 0;
  reader.archiveStart = 0;
  return FindArchiveStart();
}

// `length` (at most kImageViewMax) bytes of the open image from `offset` on,
// both inside the image; nullptr, with status 6 set, when they cannot be read.
static const uint8_t* ImageBytes(uint32_t offset, uint32_t length) {
  if (!reader.view) return reader.imageStart + offset;
  const uint8_t* bytes = reader.view(offset, length);
  if (!bytes) errorStatus = kStatusReadFailed;
  return bytes;
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
    const uint8_t* bytes = ImageBytes(loaded, have);
    if (!bytes) return false;
    memcpy(window + keep, bytes, have);
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

  const uint8_t* lead = ImageBytes(uint32_t(pos), ace::kHeaderLead);
  if (!lead) return EndChain(ChainEnd::kUnreadable);
  const uint16_t storedCrc = ace::Load16(lead + ace::kOffHeaderCrc);
  const uint16_t headerSize = ace::Load16(lead + ace::kOffHeaderSize);
  pos += ace::kHeaderLead;
  if (pos + headerSize > size) return EndChain(ChainEnd::kTruncated);
  reader.headerStart = reader.readPos;

  // The first bytes are held; the rest of a long header only feeds the CRC.
  const uint8_t* body = ImageBytes(uint32_t(pos), headerSize);
  if (!body) return EndChain(ChainEnd::kUnreadable);
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
  for (uint32_t done = 0; done < k;) {
    const uint32_t n = k - done < kImageViewMax ? k - done : kImageViewMax;
    const uint8_t* bytes = ImageBytes(reader.readPos, n);
    if (!bytes) return int32_t(done);  // status 6; the next header is still found
    memcpy(destination + done, bytes, n);
    reader.readPos += n;
    reader.pendingBytes -= n;
    done += n;
  }
  return int32_t(k);
}
