// archivebuilder.cpp - header and archive writers for tests.
#include "tests/support/archivebuilder.h"

#include "encoder/lzencoder.h"
#include "tests/support/bitwriter.h"

namespace qmktest {

namespace {
void Put(Bytes& b, uint32_t v, int bytes) {
  for (int k = 0; k < bytes; k++) b.push_back(uint8_t(v >> (8 * k)));
}
uint32_t Next(uint32_t& x) {  // xorshift32
  x ^= x << 13;
  x ^= x >> 17;
  return x ^= x << 5;
}
}  // namespace

Bytes Header(uint8_t type, uint16_t flags, const Bytes& rest) {
  Bytes h = {0, 0};
  Put(h, uint32_t(rest.size() + 3), 2);
  h.push_back(type);
  Put(h, flags, 2);
  h.insert(h.end(), rest.begin(), rest.end());
  FixHeaderCrc(h, 0);
  return h;
}

void FixHeaderCrc(Bytes& image, size_t offset) {
  const uint32_t crc = ReferenceCrc(image.data() + offset + 4, size_t(image[offset + 2] | image[offset + 3] << 8));
  image[offset] = uint8_t(crc);
  image[offset + 1] = uint8_t(crc >> 8);
}

Bytes MainHeader(const MainSpec& fields) {
  Bytes rest = {'*', '*', 'A', 'C', 'E', '*', '*', 10, 12, 2, 0};  // offsets 14..17 held, not interpreted
  rest.resize(rest.size() + 12);                                 // offsets 18..29
  rest.push_back(uint8_t(fields.textField.size()));
  rest.insert(rest.end(), fields.textField.begin(), fields.textField.end());
  if (fields.comment) {
    Put(rest, fields.commentSizeField.value_or(uint16_t(fields.comment->size())), 2);
    rest.insert(rest.end(), fields.comment->begin(), fields.comment->end());
  }
  return Header(0, uint16_t(fields.flags | (fields.comment ? 0x1002 : 0)), rest);
}

void Pack(std::vector<FileEntry>& entries, bool solid) {
  qmk::LzEncoder encoder(kPackLevel, solid);
  for (FileEntry& e : entries) {
    // Stored entries pass through the encoder too: later solid entries may refer to them.
    Bytes packed = e.data.empty() ? Bytes() : encoder.CompressEntry(e.data.data(), e.data.size());
    e.packed = e.compType == 0 ? e.data : packed;
  }
}

Bytes BuildArchive(const MainSpec& main, const std::vector<FileEntry>& entries) {
  Bytes out = MainHeader(main);
  for (const FileEntry& e : entries) {
    Bytes rest;
    for (uint32_t v : {uint32_t(e.packed.size()), e.unpackedSize.value_or(uint32_t(e.data.size())), e.fileTime,
                       e.attributes, e.fileCrc.value_or(ReferenceCrc(e.data))}) {
      Put(rest, v, 4);
    }
    rest.insert(rest.end(), {e.compType, 5});  // offset 28 held, not interpreted
    Put(rest, e.compParam, 2);
    Put(rest, 0, 2);  // offset 31
    Put(rest, uint32_t(e.name.size()), 2);
    rest.insert(rest.end(), e.name.begin(), e.name.end());
    rest.insert(rest.end(), e.trailer.begin(), e.trailer.end());
    const Bytes h = Header(1, e.flags, rest);
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), e.packed.begin(), e.packed.end());
  }
  return out;
}

Bytes RandomBytes(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& byte : b) byte = uint8_t(Next(x) >> 24);
  return b;
}

Bytes SampleText(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"the ",    "archive ", "installer ", "Quellmark ", "decodes ",
                                       "every ",  "entry ",   "into ",      "its ",       "directory, ",
                                       "and ",    "writes ",  "a ",         "log ",       "line.\r\n",
                                       "window ", "of ",      "bytes ",     "shortcut ",  "registry "};
  Bytes b;
  uint32_t x = seed * 2654435761u + 7;
  while (b.size() < n) {
    for (const char* w = kWords[Next(x) % 20]; *w && b.size() < n; w++) b.push_back(uint8_t(*w));
  }
  return b;
}

FileEntry File(const std::string& name, const Bytes& data, uint32_t attributes) {
  FileEntry e;
  e.name = name, e.data = data, e.attributes = attributes;
  return e;
}
FileEntry Dir(const std::string& name, uint32_t attributes) {
  FileEntry e = File(name, {}, attributes);
  e.compType = 0;
  return e;
}

}  // namespace qmktest
