// archivebuilder.h - writes archive headers and whole archives for tests,
// field by field, with CRCs from the reference CRC.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qmktest {

using Bytes = std::vector<uint8_t>;

// A header: CRC and size fields, then type, flags and `rest` (the bytes
// from offset 7 on). The CRC covers offsets 4 to the end.
Bytes Header(uint8_t type, uint16_t flags, const Bytes& rest);
// Recomputes the CRC of a header at `offset` in `image` (after editing it).
void FixHeaderCrc(Bytes& image, size_t offset);

struct MainSpec {
  uint16_t flags = 0x8000;
  std::string textField;
  std::optional<Bytes> comment;  // packed comment; sets flags 0x0002 | 0x1000
  std::optional<uint16_t> commentSizeField;
};
Bytes MainHeader(const MainSpec& fields = {});

struct FileEntry {
  std::string name;
  Bytes data;                  // the unpacked bytes
  Bytes packed;                // the packed bytes (see Pack below)
  uint8_t compType = 1;
  uint16_t compParam = 10;
  uint16_t flags = 0x8001;     // as the payload's file headers carry
  uint32_t attributes = 0x20;
  uint32_t fileTime = 0x26A38600;
  std::optional<uint32_t> unpackedSize;  // default data.size()
  std::optional<uint32_t> fileCrc;       // default the reference CRC of data
  Bytes trailer;               // bytes after the name, inside the header
};
// A file entry with these bytes, and a directory entry.
FileEntry File(const std::string& name, const Bytes& data, uint32_t attributes = 0x20);
FileEntry Dir(const std::string& name, uint32_t attributes = 0x10);

// Packs every entry (compType 1 with qmkpack's encoder at kPackLevel, 0
// stored), letting each entry refer to the ones before it when `solid`.
constexpr int kPackLevel = 5;
void Pack(std::vector<FileEntry>& entries, bool solid);

// Main header followed by each entry's header and packed data.
Bytes BuildArchive(const MainSpec& main, const std::vector<FileEntry>& entries);

// Deterministic pseudo-random bytes and text for test data.
Bytes RandomBytes(size_t n, uint32_t seed);
Bytes SampleText(size_t n, uint32_t seed);

}  // namespace qmktest
