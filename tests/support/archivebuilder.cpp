// archivebuilder.cpp - header and archive writers for tests.
#include "tests/support/archivebuilder.h"

#include "encoder/lzencoder.h"
#include "tests/support/bitwriter.h"

namespace qmktest {

namespace {
void Put16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  for (int k = 0; k < 4; k++) b.push_back(uint8_t(v >> (8 * k)));
}
uint32_t Next(uint32_t& x) {  // xorshift32
  x ^= x << 13;
  x ^= x >> 17;
  return x ^= x << 5;
}
}  // namespace

Bytes Header(uint8_t type, uint16_t flags, const Bytes& rest) {
  Bytes body;
  body.push_back(type);
  Put16(body, flags);
  body.insert(body.end(), rest.begin(), rest.end());
  Bytes h = {0, 0};
  Put16(h, uint16_t(body.size()));
  h.insert(h.end(), body.begin(), body.end());
  FixHeaderCrc(h, 0);
  return h;
}

void FixHeaderCrc(Bytes& image, size_t offset) {
  const size_t size = size_t(image[offset + 2] | image[offset + 3] << 8);
  const uint32_t crc = ReferenceCrc(image.data() + offset + 4, size);
  image[offset] = uint8_t(crc);
  image[offset + 1] = uint8_t(crc >> 8);
}

Bytes MainHeader(const MainSpec& fields) {
  Bytes rest;
  const char sig[] = "**ACE**";
  rest.insert(rest.end(), sig, sig + 7);
  rest.insert(rest.end(), {10, 12, 2, 0});  // offsets 14..17, held but not interpreted
  rest.insert(rest.end(), 12, 0);  // offsets 18..29
  rest.push_back(uint8_t(fields.textField.size()));
  rest.insert(rest.end(), fields.textField.begin(), fields.textField.end());
  uint16_t flags = fields.flags;
  if (fields.comment) {
    flags |= 0x0002 | 0x1000;
    Put16(rest, fields.commentSizeField ? *fields.commentSizeField : uint16_t(fields.comment->size()));
    rest.insert(rest.end(), fields.comment->begin(), fields.comment->end());
  }
  return Header(0, flags, rest);
}

static Bytes FileHeader(const FileEntry& e) {
  Bytes rest;
  Put32(rest, uint32_t(e.packed.size()));
  Put32(rest, e.unpackedSize ? *e.unpackedSize : uint32_t(e.data.size()));
  Put32(rest, e.fileTime);
  Put32(rest, e.attributes);
  Put32(rest, e.fileCrc ? *e.fileCrc : ReferenceCrc(e.data));
  rest.push_back(e.compType);
  rest.push_back(5);   // offset 28, held but not interpreted
  Put16(rest, e.compParam);
  Put16(rest, 0);      // offset 31
  Put16(rest, uint16_t(e.name.size()));
  rest.insert(rest.end(), e.name.begin(), e.name.end());
  rest.insert(rest.end(), e.trailer.begin(), e.trailer.end());
  return Header(1, e.flags, rest);
}

void Pack(std::vector<FileEntry>& entries, bool solid) {
  qmk::LzEncoder encoder(kPackLevel, solid);
  for (FileEntry& e : entries) {
    // Stored entries pass through the encoder too: in a solid archive later
    // entries may refer to their bytes.
    Bytes packed = e.data.empty() ? Bytes() : encoder.CompressEntry(e.data.data(), e.data.size());
    e.packed = e.compType == 0 ? e.data : packed;
  }
}

Bytes BuildArchive(const MainSpec& main, const std::vector<FileEntry>& entries) {
  Bytes out = MainHeader(main);
  for (const FileEntry& e : entries) {
    const Bytes h = FileHeader(e);
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
  e.name = name;
  e.data = data;
  e.attributes = attributes;
  return e;
}

FileEntry Dir(const std::string& name, uint32_t attributes) {
  FileEntry e = File(name, {}, attributes);
  e.compType = 0;
  return e;
}

}  // namespace qmktest
