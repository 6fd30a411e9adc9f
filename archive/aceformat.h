// aceformat.h - the on-disk layout of the payload archive.
//
// One description of the format, shared by everything that reads it (the
// installer's reader, qmkpack list/test/extract) and everything that writes
// it (qmkpack create, the tests' archive builders). Offsets count from the
// first byte of a header, which is the first byte of its 16-bit CRC field.
// Every multi-byte field is little-endian; code that touches the format reads
// and writes fields with the explicit loads and stores below, never by
// copying structs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ace {

// ---- framing, common to every header type --------------------------------
constexpr int kOffHeaderCrc = 0;    // u16: low 16 bits of the CRC register over offsets 4..end
constexpr int kOffHeaderSize = 2;   // u16: bytes from offset 4 to the header's last byte
constexpr int kOffHeaderType = 4;   // u8
constexpr int kOffHeaderFlags = 5;  // u16
constexpr int kOffAddSize = 7;      // u32: additional data after the header, when flag 0x0001
constexpr int kHeaderLead = 4;      // CRC and size fields, not counted by the size field

constexpr uint8_t kTypeMain = 0;
constexpr uint8_t kTypeFile = 1;

// Header flags this system tests; every other bit is carried but ignored.
constexpr uint16_t kFlagAddSize = 0x0001;      // any header: additional data follow
constexpr uint16_t kFlagComment = 0x0002;      // main: a comment is present
constexpr uint16_t kFlagCommentDecode = 0x1000;// main: decode the comment on open
constexpr uint16_t kFlagLocked = 0x4000;       // file: entry cannot be extracted
constexpr uint16_t kFlagSolid = 0x8000;        // main: dictionary runs across entries

// ---- main header (type 0) -------------------------------------------------
constexpr int kOffSignature = 7;  // 7 bytes "**ACE**"
constexpr int kSignatureSize = 7;
constexpr uint8_t kSignature[kSignatureSize] = {'*', '*', 'A', 'C', 'E', '*', '*'};
constexpr int kOffMainByte14 = 14;  // four single bytes, held but not interpreted
constexpr int kOffMainValue18 = 18; // u32, u16, u16, u32 at 18, 22, 24, 26: held, not interpreted
constexpr int kOffTextLength = 30;  // u8 L, length of the text field that follows
constexpr int kOffMainVariable = 31;// text field (L bytes), comment size (u16), packed comment
constexpr int kMainFixedSize = 27;  // smallest size field of a main header (offsets 4..30)

// ---- file header (type 1) -------------------------------------------------
constexpr int kOffPackedSize = 7;     // u32 (the additional-data size)
constexpr int kOffUnpackedSize = 11;  // u32
constexpr int kOffFileTime = 15;      // u32: MS-DOS date << 16 | MS-DOS time, local time
constexpr int kOffAttributes = 19;    // u32: Win32 attribute bits
constexpr int kOffFileCrc = 23;       // u32: CRC register after the unpacked bytes
constexpr int kOffCompType = 27;      // u8: 0 stored, 1 LZ77 + Huffman
constexpr int kOffFileByte28 = 28;    // u8, held but not interpreted
constexpr int kOffCompParam = 29;     // u16: low 4 bits + 10 = dictionary bits
constexpr int kOffFileValue31 = 31;   // u16, held but not interpreted
constexpr int kOffNameLength = 33;    // u16
constexpr int kOffName = 35;          // name bytes, "\" separated, no terminator
constexpr int kFileFixedSize = 31;    // smallest size field of a file header (offsets 4..34)

constexpr uint8_t kCompStored = 0;
constexpr uint8_t kCompLz77 = 1;
constexpr uint32_t kAttrReadOnly = 0x01;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;

// Dictionary bits asked for by a compression parameter.
constexpr int DictionaryBitsOf(uint16_t compParam) { return (compParam & 15) + 10; }

// ---- the reader's fixed buffers --------------------------------------------
constexpr int kHeaderBufferSize = 2040;  // first bytes of a header after its size field
constexpr int kWindowBufferSize = 1024;  // signature scan window / header scratch
constexpr int kScanStep = 512;
constexpr uint32_t kScanLimit = 65536;   // the scan looks only at the image's first 64 KiB
// Room of the header record's variable parts. A header supplies at most
// 2,040 - 27 = 2,013 (main) or 2,040 - 31 = 2,009 (file) of these bytes; the
// main view's extra room is where the comment decoder writes its text.
constexpr int kMainVariableRoom = 2027;
constexpr int kFileVariableRoom = 2024;

// ---- explicit little-endian loads and stores -------------------------------
inline uint16_t Load16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t Load32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void Store16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void Store32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

static_assert(kHeaderBufferSize - (kOffMainVariable - kHeaderLead) <= kMainVariableRoom,
              "a main header's held bytes fit its variable part");
static_assert(kHeaderBufferSize - (kOffName - kHeaderLead) <= kFileVariableRoom,
              "a file header's held bytes fit its variable part");

}  // namespace ace
