// archivebuilder.h - archive headers and whole archives for tests, field by field.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qmktest {

using Bytes = std::vector<uint8_t>;

// CRC and size fields, then type, flags and `rest` (offset 7 on). FixHeaderCrc redoes the CRC after an edit.
Bytes Header(uint8_t type, uint16_t flags, const Bytes& rest);
void FixHeaderCrc(Bytes& image, size_t offset);

struct MainSpec {
  uint16_t flags = 0x8000;
  std::string textField;
  std::optional<Bytes> comment;  // packed; sets flags 0x0002 | 0x1000
  std::optional<uint16_t> commentSizeField;
};
Bytes MainHeader(const MainSpec& fields = {});

struct FileEntry {
  std::string name;
  Bytes data;    // unpacked
  Bytes packed;  // see Pack
  uint8_t compType = 1;
  uint16_t compParam = 10;
  uint16_t flags = 0x8001;  // as the payload's file headers carry
  uint32_t attributes = 0x20;
  uint32_t fileTime = 0x26A38600;
  std::optional<uint32_t> unpackedSize;  // default data.size()
  std::optional<uint32_t> fileCrc;       // default the reference CRC of data
  Bytes trailer;                         // after the name, inside the header
};
FileEntry File(const std::string& name, const Bytes& data, uint32_t attributes = 0x20);
FileEntry Dir(const std::string& name, uint32_t attributes = 0x10);

// Packs every entry with qmkpack's encoder (compType 0: stored).
constexpr int kPackLevel = 5;
void Pack(std::vector<FileEntry>& entries, bool solid);
Bytes BuildArchive(const MainSpec& main, const std::vector<FileEntry>& entries);

Bytes RandomBytes(size_t n, uint32_t seed);
Bytes SampleText(size_t n, uint32_t seed);

}  // namespace qmktest
