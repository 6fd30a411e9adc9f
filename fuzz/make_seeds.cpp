// make_seeds.cpp - writes seed corpora for the fuzz targets with the tests'
// own archive builders: small solid and non-solid archives, stored and
// compressed entries, comments, junk ahead of the archive.
// Usage: make_seeds ARCHIVE_DIR COMMENT_DIR
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
  if (argc != 3) {
    fprintf(stderr, "usage: make_seeds ARCHIVE_DIR COMMENT_DIR\n");
    return 2;
  }
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
  printf("wrote %d seeds\n", written);
  return 0;
}
