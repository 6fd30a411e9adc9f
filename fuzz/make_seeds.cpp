// make_seeds.cpp - writes seed corpora for the fuzz targets with the tests'
// own archive builders: small solid and non-solid archives, stored and
// compressed entries, comments, junk ahead of the archive.
// For the whole-extraction target also archives whose names meet the files
// its machine holds, repeat, or try to leave the directory, each behind the
// two bytes that choose how the machine behaves.
// Usage: make_seeds ARCHIVE_DIR COMMENT_DIR [EXTRACT_DIR]
#include <cstdio>
#include <string>

#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"

using namespace qmktest;

namespace {
bool Write(const std::string& path, const Bytes& b) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(b.data(), 1, b.size(), f) == b.size();
  return fclose(f) == 0 && ok;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: make_seeds ARCHIVE_DIR COMMENT_DIR [EXTRACT_DIR]\n");
    return 2;
  }
  std::vector<Bytes> archives;
  const std::string dir = argv[1];
  int written = 0;
  for (uint32_t seed = 0; seed < 12; seed++) {
    std::vector<FileEntry> e(3);
    e[0].name = "d";
    e[0].attributes = 0x10;
    e[1].name = "d\\t.txt";
    e[1].data = SampleText(200 + seed * 150, seed);
    e[2].name = "r.bin";
    e[2].data = RandomBytes(50 + seed * 20, seed);
    e[2].compType = seed % 3 == 0 ? 0 : 1;
    const bool solid = seed % 2 == 0;
    Pack(e, solid);
    MainSpec m;
    m.flags = solid ? 0x8000 : 0;
    if (seed % 4 == 1) m.comment = EncodeComment("seed comment " + std::to_string(seed) + " seed comment");
    Bytes a = BuildArchive(m, e);
    if (seed % 5 == 2) a.insert(a.begin(), 300, uint8_t(seed));
    written += Write(dir + "/seed" + std::to_string(seed) + ".ace", a);
    archives.push_back(a);
  }
  const std::string cdir = argv[2];
  const char* const texts[] = {"a", "hello hello hello", "Quellmark Setup installs Quellmark. Quellmark!",
                               "abababababababababababababababab"};
  int k = 0;
  for (const char* t : texts) {
    Bytes c = EncodeComment(t);
    Bytes input = {uint8_t(k * 3)};
    input.resize(1 + size_t(k) * 3, 'x');
    input.push_back(uint8_t(c.size()));
    input.push_back(uint8_t(c.size() >> 8));
    input.insert(input.end(), c.begin(), c.end());
    written += Write(cdir + "/comment" + std::to_string(k++) + ".bin", input);
  }
  if (argc == 4) {
    const std::string edir = argv[3];
    // Names against a machine with P\QMK\old.txt and P\QMK\Docs\a.txt.
    const std::vector<std::vector<std::pair<std::string, uint32_t>>> sets = {
        {{"old.txt", 0x20}, {"new.txt", 0x20}},
        {{"Docs", 0x10}, {"Docs\\a.txt", 0x21}, {"Docs\\b.txt", 0x20}},
        {{"a.txt", 0x20}, {"A.TXT", 0x20}},
        {{"old.txt", 0x10}, {"Docs", 0x20}},
        {{"x", 0x20}, {"x\\y.txt", 0x20}},
        {{"..\\keep.txt", 0x20}, {"ok.txt", 0x20}},
        {{"sub\\deep\\f.bin", 0x20}, {"sub", 0x10}},
    };
    int k = 0;
    for (const auto& names : sets) {
      std::vector<FileEntry> e;
      for (const auto& [name, attributes] : names) {
        FileEntry f;
        f.name = name;
        f.attributes = attributes;
        if (!(attributes & 0x10)) f.data = SampleText(100 + 40 * e.size(), uint32_t(k));
        e.push_back(f);
      }
      Pack(e, true);
      archives.push_back(BuildArchive({}, e));
      k++;
    }
    k = 0;
    for (const Bytes& a : archives) {
      // Plain, disk full, one call failing, stopped: two bytes, then the archive.
      Bytes input = {uint8_t(k % 4), uint8_t(k * 37)};
      input.insert(input.end(), a.begin(), a.end());
      written += Write(edir + "/extract" + std::to_string(k++) + ".bin", input);
    }
  }
  printf("wrote %d seeds\n", written);
  return 0;
}
