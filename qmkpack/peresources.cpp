// peresources.cpp - the resource section of the installer, rebuilt with its
// payload. Every offset read from the input is checked against the file
// before it is followed; the output is laid out anew, never patched in
// place, so an odd input cannot leave a half-changed file.
#include "qmkpack/peresources.h"

#include <algorithm>
#include <cstring>

namespace qmk {

namespace {

constexpr uint32_t kPage = 4096;
constexpr uint32_t kRcData = 10;
constexpr uint32_t kPayloadId = 10;
constexpr uint32_t kSealId = 11;
constexpr uint32_t kVersionType = 16;
// Data directory entries.
constexpr unsigned kDirResources = 2;
constexpr unsigned kDirSecurity = 4;
constexpr unsigned kDirRelocations = 5;

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) { return uint32_t(p[0] | p[1] << 8 | p[2] << 16) | uint32_t(p[3]) << 24; }
void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
uint32_t AlignUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

// A level's key: a number, or a name (UTF-16 code units).
struct Key {
  bool named = false;
  uint32_t id = 0;
  std::vector<uint16_t> name;
};

bool operator<(const Key& a, const Key& b) {
  if (a.named != b.named) return a.named;  // names first, then numbers
  if (!a.named) return a.id < b.id;
  return a.name < b.name;
}
bool operator==(const Key& a, const Key& b) { return a.named == b.named && a.id == b.id && a.name == b.name; }

struct Leaf {
  Key type, name;
  uint32_t language = 0;
  uint32_t codepage = 0;
  std::vector<uint8_t> data;
};

struct Section {
  uint32_t header;  // file offset of its header
  uint32_t virtualSize, rva, rawSize, raw;
};

// Reads the resource tree of the section that holds it.
class TreeReader {
 public:
  TreeReader(const std::vector<uint8_t>& file, const Section& s) : file_(file), s_(s) {}

  bool Read(std::vector<Leaf>* leaves) { return Directory(0, 0, Leaf(), leaves); }

 private:
  bool InSection(uint32_t offset, uint32_t length) const {
    return offset <= s_.rawSize && length <= s_.rawSize - offset && s_.raw + uint64_t(s_.rawSize) <= file_.size();
  }
  const uint8_t* At(uint32_t offset) const { return file_.data() + s_.raw + offset; }

  bool KeyAt(uint32_t value, Key* key) const {
    key->named = (value & 0x80000000u) != 0;
    if (!key->named) {
      key->id = value;
      return true;
    }
    const uint32_t at = value & 0x7FFFFFFFu;
    if (!InSection(at, 2)) return false;
    const uint16_t length = Get16(At(at));
    if (!InSection(at + 2, 2u * length)) return false;
    for (uint16_t i = 0; i < length; i++) key->name.push_back(Get16(At(at + 2 + 2 * i)));
    return true;
  }

  bool Directory(uint32_t offset, int level, Leaf path, std::vector<Leaf>* leaves) {
    if (++visited_ > 100000 || !InSection(offset, 16)) return false;
    const uint32_t count = uint32_t(Get16(At(offset + 12))) + Get16(At(offset + 14));
    if (!InSection(offset + 16, 8 * count)) return false;
    for (uint32_t i = 0; i < count; i++) {
      const uint8_t* entry = At(offset + 16 + 8 * i);
      const uint32_t target = Get32(entry + 4);
      Leaf here = path;
      if (level == 0 && !KeyAt(Get32(entry), &here.type)) return false;
      if (level == 1 && !KeyAt(Get32(entry), &here.name)) return false;
      if (level == 2) here.language = Get32(entry) & 0xFFFF;
      const bool subdirectory = (target & 0x80000000u) != 0;
      if (subdirectory != (level < 2)) return false;  // three levels: type, name, language
      if (subdirectory) {
        if (!Directory(target & 0x7FFFFFFFu, level + 1, here, leaves)) return false;
        continue;
      }
      if (!InSection(target, 16)) return false;
      const uint32_t rva = Get32(At(target));
      const uint32_t size = Get32(At(target + 4));
      if (rva < s_.rva || !InSection(rva - s_.rva, size)) return false;
      here.codepage = Get32(At(target + 8));
      here.data.assign(At(rva - s_.rva), At(rva - s_.rva) + size);
      leaves->push_back(std::move(here));
    }
    return true;
  }

  const std::vector<uint8_t>& file_;
  const Section& s_;
  unsigned visited_ = 0;
};

// The section bytes of a resource tree placed at `rva`: the directory
// tables, the data entries, the names, then the data.
std::vector<uint8_t> WriteTree(std::vector<Leaf> leaves, uint32_t rva) {
  std::stable_sort(leaves.begin(), leaves.end(), [](const Leaf& a, const Leaf& b) {
    if (!(a.type == b.type)) return a.type < b.type;
    if (!(a.name == b.name)) return a.name < b.name;
    return a.language < b.language;
  });
  // Directory tables first, level by level sizes: one root, one table per
  // type, one per (type, name).
  struct Table {
    size_t first, count;  // the leaves it covers
    uint32_t offset;
  };
  std::vector<Table> types, names;
  for (size_t i = 0; i < leaves.size(); i++) {
    if (i == 0 || !(leaves[i].type == leaves[i - 1].type)) types.push_back({i, 0, 0});
    types.back().count++;
    if (i == 0 || !(leaves[i].type == leaves[i - 1].type) || !(leaves[i].name == leaves[i - 1].name)) {
      names.push_back({i, 0, 0});
    }
    names.back().count++;
  }
  uint32_t at = 16 + 8 * uint32_t(types.size());
  for (Table& t : types) {
    t.offset = at;
    uint32_t n = 0;
    for (const Table& m : names) n += m.first >= t.first && m.first < t.first + t.count;
    at += 16 + 8 * n;
  }
  for (Table& m : names) {
    m.offset = at;
    at += 16 + 8 * uint32_t(m.count);
  }
  const uint32_t dataEntries = at;
  at += 16 * uint32_t(leaves.size());
  // Names of named keys.
  std::vector<uint32_t> typeName(types.size()), nameName(names.size());
  for (size_t k = 0; k < types.size(); k++) {
    if (!leaves[types[k].first].type.named) continue;
    typeName[k] = at;
    at += 2 + 2 * uint32_t(leaves[types[k].first].type.name.size());
  }
  for (size_t k = 0; k < names.size(); k++) {
    if (!leaves[names[k].first].name.named) continue;
    nameName[k] = at;
    at += 2 + 2 * uint32_t(leaves[names[k].first].name.name.size());
  }
  // The data in the order of the leaves, as resource compilers lay them
  // out (and readers expect); the payload's on a page of the section.
  std::vector<uint32_t> dataAt(leaves.size());
  for (size_t i = 0; i < leaves.size(); i++) {
    const Leaf& l = leaves[i];
    const bool payload = !l.type.named && l.type.id == kRcData && !l.name.named && l.name.id == kPayloadId;
    at = AlignUp(at, payload ? kPage : 8);
    dataAt[i] = at;
    at += uint32_t(l.data.size());
  }
  std::vector<uint8_t> out(at, 0);
  auto table = [&](uint32_t offset, uint16_t named, uint16_t ids) {
    Put16(&out[offset + 12], named);
    Put16(&out[offset + 14], ids);
  };
  auto keyValue = [&](const Key& key, uint32_t nameOffset) {
    return key.named ? 0x80000000u | nameOffset : key.id;
  };
  // Root.
  uint16_t namedTypes = 0;
  for (const Table& t : types) namedTypes += leaves[t.first].type.named;
  table(0, namedTypes, uint16_t(types.size() - namedTypes));
  for (size_t k = 0; k < types.size(); k++) {
    Put32(&out[16 + 8 * k], keyValue(leaves[types[k].first].type, typeName[k]));
    Put32(&out[16 + 8 * k + 4], 0x80000000u | types[k].offset);
    // The type's table of names.
    uint16_t named = 0, ids = 0;
    uint32_t slot = types[k].offset + 16;
    for (size_t m = 0; m < names.size(); m++) {
      if (names[m].first < types[k].first || names[m].first >= types[k].first + types[k].count) continue;
      const Key& key = leaves[names[m].first].name;
      (key.named ? named : ids)++;
      Put32(&out[slot], keyValue(key, nameName[m]));
      Put32(&out[slot + 4], 0x80000000u | names[m].offset);
      slot += 8;
      // The name's table of languages, each pointing at a data entry.
      table(names[m].offset, 0, uint16_t(names[m].count));
      for (size_t j = 0; j < names[m].count; j++) {
        const size_t i = names[m].first + j;
        Put32(&out[names[m].offset + 16 + 8 * j], leaves[i].language);
        Put32(&out[names[m].offset + 16 + 8 * j + 4], dataEntries + 16 * uint32_t(i));
      }
    }
    table(types[k].offset, named, ids);
  }
  for (size_t i = 0; i < leaves.size(); i++) {
    Put32(&out[dataEntries + 16 * i], rva + dataAt[i]);
    Put32(&out[dataEntries + 16 * i + 4], uint32_t(leaves[i].data.size()));
    Put32(&out[dataEntries + 16 * i + 8], leaves[i].codepage);
    std::copy(leaves[i].data.begin(), leaves[i].data.end(), out.begin() + dataAt[i]);
  }
  auto writeName = [&](const Key& key, uint32_t offset) {
    Put16(&out[offset], uint16_t(key.name.size()));
    for (size_t c = 0; c < key.name.size(); c++) Put16(&out[offset + 2 + 2 * c], key.name[c]);
  };
  for (size_t k = 0; k < types.size(); k++) {
    if (leaves[types[k].first].type.named) writeName(leaves[types[k].first].type, typeName[k]);
  }
  for (size_t m = 0; m < names.size(); m++) {
    if (leaves[names[m].first].name.named) writeName(leaves[names[m].first].name, nameName[m]);
  }
  return out;
}

bool Refuse(std::string* error, const char* why) {
  *error = why;
  return false;
}

// Whether the version resource names this project's installer.
bool IsOurStub(const std::vector<Leaf>& leaves) {
  static const char kName[] = "QuellmarkSetup";
  std::vector<uint8_t> wide;
  for (const char* c = kName; *c; c++) {
    wide.push_back(uint8_t(*c));
    wide.push_back(0);
  }
  for (const Leaf& l : leaves) {
    if (l.type.named || l.type.id != kVersionType) continue;
    if (std::search(l.data.begin(), l.data.end(), wide.begin(), wide.end()) != l.data.end()) return true;
  }
  return false;
}

}  // namespace

uint32_t PeChecksum(const std::vector<uint8_t>& file, uint32_t checksumOffset) {
  uint64_t sum = 0;
  for (size_t i = 0; i < file.size(); i += 2) {
    if (i == checksumOffset || i == checksumOffset + 2) continue;
    sum += file[i] | (i + 1 < file.size() ? file[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return uint32_t(sum) + uint32_t(file.size());
}

bool SetPayloadResources(std::vector<uint8_t>* image, const std::vector<uint8_t>& archive,
                         const std::vector<uint8_t>& seal, std::string* error) {
  const std::vector<uint8_t>& in = *image;
  if (in.size() < 0x40 || in[0] != 'M' || in[1] != 'Z') return Refuse(error, "not a Windows program");
  const uint32_t pe = Get32(&in[0x3C]);
  if (pe > in.size() - 24 || memcmp(&in[pe], "PE\0\0", 4) != 0) return Refuse(error, "not a Windows program");
  const uint32_t coff = pe + 4;
  const uint32_t optional = coff + 20;
  const uint16_t sectionCount = Get16(&in[coff + 2]);
  const uint16_t optionalSize = Get16(&in[coff + 16]);
  if (Get16(&in[coff]) != 0x14C || optional + 2 > in.size() || Get16(&in[optional]) != 0x10B) {
    return Refuse(error, "not a 32-bit Windows program (the installer is one)");
  }
  if (Get16(&in[coff + 18]) & 0x2000) return Refuse(error, "a DLL, not the installer stub");
  const uint32_t table = optional + optionalSize;
  if (optionalSize < 96 + 8 * 16 || uint64_t(table) + 40u * sectionCount > in.size() ||
      Get32(&in[optional + 92]) < 16) {
    return Refuse(error, "its headers are cut short");
  }
  const uint32_t sectionAlign = Get32(&in[optional + 32]);
  const uint32_t fileAlign = Get32(&in[optional + 36]);
  if (sectionAlign < kPage || sectionAlign % kPage || fileAlign < 512 || kPage % fileAlign) {
    return Refuse(error, "its alignments are not those of an ordinary program");
  }
  auto dir = [&](unsigned k) { return optional + 96 + 8 * k; };
  std::vector<Section> sections(sectionCount);
  for (unsigned i = 0; i < sectionCount; i++) {
    const uint8_t* h = &in[table + 40 * i];
    sections[i] = {table + 40 * i, Get32(h + 8), Get32(h + 12), Get32(h + 16), Get32(h + 20)};
  }
  const uint32_t resourceRva = Get32(&in[dir(kDirResources)]);
  int rsrc = -1;
  for (unsigned i = 0; i < sectionCount; i++) {
    if (resourceRva && resourceRva == sections[i].rva) rsrc = int(i);
  }
  if (rsrc < 0) return Refuse(error, "no resource section (not the installer stub)");
  // Only the base relocations may follow: they move with it.
  for (unsigned i = unsigned(rsrc) + 1; i < sectionCount; i++) {
    if (sections[i].rva != Get32(&in[dir(kDirRelocations)]) || i != unsigned(rsrc) + 1) {
      return Refuse(error, "sections other than the relocations follow its resources");
    }
  }
  for (unsigned k = 0; k < 16; k++) {
    if (k == kDirResources || k == kDirRelocations || k == kDirSecurity) continue;
    if (Get32(&in[dir(k)]) >= sections[rsrc].rva) return Refuse(error, "data after its resources cannot be moved");
  }
  for (unsigned i = 0; i < sectionCount; i++) {
    const Section& s = sections[i];
    if (s.rawSize && uint64_t(s.raw) + s.rawSize > in.size()) return Refuse(error, "a section reaches past its end");
    if (i < unsigned(rsrc) && s.rawSize && s.raw + s.rawSize > sections[rsrc].raw) {
      return Refuse(error, "its sections are not in file order");
    }
  }
  std::vector<Leaf> leaves;
  if (!TreeReader(in, sections[rsrc]).Read(&leaves)) return Refuse(error, "its resources are damaged");
  if (!IsOurStub(leaves)) return Refuse(error, "not the Quellmark installer stub (no version resource naming it)");

  // The tree: everything but an earlier payload, then the new one.
  uint32_t language = 0;
  for (const Leaf& l : leaves) {
    if (!l.type.named && l.type.id == kVersionType) language = l.language;
  }
  leaves.erase(std::remove_if(leaves.begin(), leaves.end(),
                              [](const Leaf& l) {
                                return !l.type.named && l.type.id == kRcData && !l.name.named &&
                                       (l.name.id == kPayloadId || l.name.id == kSealId);
                              }),
               leaves.end());
  for (uint32_t id : {kPayloadId, kSealId}) {
    Leaf l;
    l.type.id = kRcData;
    l.name.id = id;
    l.language = language;
    l.data = id == kPayloadId ? archive : seal;
    leaves.push_back(std::move(l));
  }
  const Section& old = sections[rsrc];
  const std::vector<uint8_t> tree = WriteTree(leaves, old.rva);

  // The new file: everything before the resources as it was, the resources
  // on a page of the file, the relocations after them.
  std::vector<uint8_t> out(in.begin(), in.begin() + old.raw);
  out.resize(AlignUp(uint32_t(out.size()), kPage), 0);
  const uint32_t rsrcRaw = uint32_t(out.size());
  out.insert(out.end(), tree.begin(), tree.end());
  out.resize(AlignUp(uint32_t(out.size()), fileAlign), 0);
  auto header = [&](const Section& s, uint32_t virtualSize, uint32_t rva, uint32_t rawSize, uint32_t raw) {
    Put32(&out[s.header + 8], virtualSize);
    Put32(&out[s.header + 12], rva);
    Put32(&out[s.header + 16], rawSize);
    Put32(&out[s.header + 20], raw);
  };
  header(old, uint32_t(tree.size()), old.rva, uint32_t(out.size()) - rsrcRaw, rsrcRaw);
  Put32(&out[dir(kDirResources) + 4], uint32_t(tree.size()));
  uint32_t imageEnd = AlignUp(old.rva + uint32_t(tree.size()), sectionAlign);
  if (unsigned(rsrc) + 1 < sectionCount) {
    const Section& reloc = sections[rsrc + 1];
    const uint32_t raw = uint32_t(out.size());
    out.insert(out.end(), in.begin() + reloc.raw, in.begin() + reloc.raw + reloc.rawSize);
    header(reloc, reloc.virtualSize, imageEnd, reloc.rawSize, raw);
    Put32(&out[dir(kDirRelocations)], Get32(&in[dir(kDirRelocations)]) - reloc.rva + imageEnd);
    imageEnd = AlignUp(imageEnd + reloc.virtualSize, sectionAlign);
  }
  // Whatever followed the sections (a signature) is not carried over.
  Put32(&out[dir(kDirSecurity)], 0);
  Put32(&out[dir(kDirSecurity) + 4], 0);
  Put32(&out[optional + 56], imageEnd);
  uint32_t initialized = 0;
  for (unsigned i = 0; i < sectionCount; i++) {
    if (Get32(&out[sections[i].header + 36]) & 0x40) initialized += Get32(&out[sections[i].header + 16]);
  }
  Put32(&out[optional + 8], initialized);
  Put32(&out[optional + 64], PeChecksum(out, optional + 64));
  image->swap(out);
  return true;
}

}  // namespace qmk
