// reader.h - the archive reader: signature scan, header chain, packed bytes.
//
// The reader works over a read-only image, held in memory or handed out in
// views by its owner (see ImageView). It finds the archive by
// its signature, reads one header after another with its CRC checked, keeps
// the most recent header in one process-wide record and hands out the packed
// bytes of the current entry on request. There is one reader per process,
// shared with the decoder and the extractor, so one archive is read at a time.
//
// No byte outside the image is ever read. A header, or additional data, that
// would reach past the image's end ends the chain; packed data cut short by
// the image's end set status 6. Why the chain ended is kept in `chainEnd`, so
// a chain that stops early (damage) can be told apart from one that reaches
// the image's end exactly.
#pragma once

#include <cstdint>

#include "archive/aceformat.h"

// The most recently read header, laid out by its type. Not cleared between
// headers: variable-part bytes beyond what the current header supplied keep
// what earlier, longer headers left there, so users of the name take exactly
// nameLength bytes.
struct AceMainView {
  uint8_t signature[ace::kSignatureSize];
  uint8_t byte14, byte15, byte16, byte17;
  uint32_t value18;
  uint16_t value22;
  uint16_t value24;
  uint32_t value26;
  uint8_t textLength;
  uint8_t variable[ace::kMainVariableRoom];  // text field, comment size, packed comment
};

struct AceFileView {
  uint32_t packedSize;
  uint32_t unpackedSize;
  uint32_t fileTime;
  uint32_t attributes;
  uint32_t fileCrc;
  uint8_t compType;
  uint8_t byte28;
  uint16_t compParam;
  uint16_t value31;
  uint16_t nameLength;
  uint8_t variable[ace::kFileVariableRoom];  // name, then whatever follows it
};

struct AceHeaderRecord {
  uint16_t headerCrc;
  uint16_t headerSize;
  uint8_t headerType;
  uint16_t flags;
  union {
    AceMainView main;
    AceFileView file;
  };
};

// Why the last ReadNextHeader returned false.
enum class ChainEnd : uint8_t {
  kNone,          // the chain has not ended
  kImageEnd,      // the previous header's data ended exactly at the image's end
  kBadHeaderCrc,  // a header's CRC did not match
  kTruncated,     // a header or its additional data would reach past the image's end
  kMalformed,     // a header too short for its own fixed fields or name
  kUnreadable,    // the image's owner could not supply a header's bytes (status 6 is set)
};

// An image that is not held in memory whole: `length` bytes (at most
// kImageViewMax) from image offset `offset` on, which the caller has checked
// lie inside the image, valid until the next call; nullptr when they cannot
// be read. The installer reads its payload from its own file this way, so
// the bytes already used leave memory again.
using ImageView = const uint8_t* (*)(uint32_t offset, uint32_t length);
constexpr uint32_t kImageViewMax = 0x10000;

struct ReaderState {
  const uint8_t* imageStart;  // the image in memory, or nullptr with `view`
  ImageView view;             // the image's views, or nullptr
  uint32_t imageSize;
  uint32_t readPos;       // offset of the next image byte to be read
  uint32_t pendingBytes;  // additional data of the current header not yet handed out
  bool solidArchive;      // main header flag 0x8000
  ChainEnd chainEnd;
  uint32_t headerStart;   // image offset of the current header (for messages)
  uint32_t archiveStart;  // image offset of the main header found by the scan
  uint8_t* headerBuffer;  // kHeaderBufferSize bytes, owned by the work-buffer phase
  uint8_t* windowBuffer;  // kWindowBufferSize bytes, owned by the work-buffer phase
  // crcTable[k][b]: the register after byte b and k zero bytes, started at
  // zero, so eight bytes are taken in with eight independent lookups.
  uint32_t crcTable[8][256];
  // Folding multipliers for the carry-less path: x^544, x^480 (four blocks
  // ahead) and x^160, x^96 (one block ahead), each mod the polynomial,
  // bit-reflected and shifted left by one as PCLMULQDQ wants them.
  uint64_t crcFold[4];
  bool crcClmul;          // use the carry-less path (set by BuildCrcTable)
  bool crcWide;           // x86-64 with VPCLMULQDQ: fold 128 bytes per step
};

extern ReaderState reader;
extern AceHeaderRecord headerRecord;

// CRC-32, reflected polynomial 0xEDB88320, register started at 0xFFFFFFFF and
// stored without the final complement. BuildCrcTable fills the tables and
// the folding multipliers and turns the carry-less path on when the processor
// has PCLMULQDQ; both paths give the same register values.
void BuildCrcTable();
uint32_t UpdateCrc(uint32_t crc, const uint8_t* bytes, int32_t length);
bool CpuHasClmul();
// AVX2 with VPCLMULQDQ and the operating system saving the YMM registers;
// always false outside x86-64.
bool CpuHasWideClmul();
constexpr uint32_t kCrcStart = 0xFFFFFFFFu;

// Opens the image at `start`, or with a `view` the image it hands out
// (`start` is then not read), and finds the archive in it.
bool OpenArchiveImage(const uint8_t* start, uint32_t size, ImageView view = nullptr);
bool FindArchiveStart();
bool ReadNextHeader();
int32_t ReadPackedBytes(uint8_t* destination, int32_t count);

// Work buffers shared by the reader and the decoder: the decoder's word
// buffer (4,096), the scan window (1,024), the output buffer (2,048) and the
// header buffer (2,040), zero-filled, then the CRC table and the dictionary.
// A failed allocation sets status 1. Release frees whatever exists.
void AllocateWorkBuffers();
void ReleaseWorkBuffers();
bool WorkBuffersPresent();
extern uint8_t* outputBuffer;
constexpr int kOutputBufferSize = 2048;
