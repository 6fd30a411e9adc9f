// make_seeds.cpp - seed corpora for the fuzz targets, from the tests' archive builders.
// Usage: make_seeds ARCHIVE_DIR COMMENT_DIR [EXTRACT_DIR]
#include <cstdio>
#include <string>

#include "encoder/archivewriter.h"
#include "tests/support/archivebuilder.h"

using namespace qmktest;

static bool Write(const std::string& path, const Bytes& b) {
  FILE* f = fopen(path.c_str(), "wb");
  const bool ok = f && fwrite(b.data(), 1, b.size(), f) == b.size();
  return f && fclose(f) == 0 && ok;
}

int main(int argc, char** argv) {
  std::vector<Bytes> archives;
  bool ok = true;
  for (uint32_t seed = 0; seed < 12; seed++) {
    std::vector<FileEntry> e = {File("d", {}, 0x10), File("d\\t.txt", SampleText(200 + seed * 150, seed)),
                                File("r.bin", RandomBytes(50 + seed * 20, seed))};
    e[2].compType = seed % 3 == 0 ? 0 : 1;
    MainSpec m;
    m.flags = seed % 2 == 0 ? 0x8000 : 0;
    Pack(e, m.flags != 0);
    if (seed % 4 == 1) m.comment = qmk::PackComment("seed comment " + std::to_string(seed) + " seed comment");
    archives.push_back(BuildArchive(m, e));
    if (seed % 5 == 2) archives.back().insert(archives.back().begin(), 300, uint8_t(seed));
    ok &= Write(std::string(argv[1]) + "/seed" + std::to_string(seed) + ".ace", archives.back());
  }
  const char* const texts[] = {"a", "hello hello hello", "Quellmark Setup installs Quellmark. Quellmark!",
                               "abababababababababababababababab"};
  for (int k = 0; k < 4; k++) {  // the text field's length and text, the comment's size, the comment
    const Bytes c = qmk::PackComment(texts[k]);
    Bytes input(1 + size_t(k) * 3, 'x');
    input[0] = uint8_t(k * 3);
    input.insert(input.end(), {uint8_t(c.size()), uint8_t(c.size() >> 8)});
    input.insert(input.end(), c.begin(), c.end());
    ok &= Write(std::string(argv[2]) + "/comment" + std::to_string(k) + ".bin", input);
  }
  if (argc == 4) {
    // Names meeting P\QMK\old.txt and P\QMK\Docs\a.txt, repeating, or leaving the directory.
    const std::vector<std::vector<FileEntry>> sets = {
        {File("old.txt", {}), File("new.txt", {})},
        {Dir("Docs"), File("Docs\\a.txt", {}, 0x21), File("Docs\\b.txt", {})},
        {File("a.txt", {}), File("A.TXT", {})},
        {Dir("old.txt"), File("Docs", {})},
        {File("x", {}), File("x\\y.txt", {})},
        {File("..\\keep.txt", {}), File("ok.txt", {})},
        {File("sub\\deep\\f.bin", {}), Dir("sub")}};
    for (size_t k = 0; k < sets.size(); k++) {
      std::vector<FileEntry> e = sets[k];
      for (size_t i = 0; i < e.size(); i++) {
        if (!(e[i].attributes & 0x10)) e[i].data = SampleText(100 + 40 * i, uint32_t(k));
      }
      Pack(e, true);
      archives.push_back(BuildArchive({}, e));
    }
    for (size_t k = 0; k < archives.size(); k++) {
      // Two bytes choosing plain, disk full, one call failing or stopped, then the archive.
      Bytes input = {uint8_t(k % 4), uint8_t(k * 37)};
      input.insert(input.end(), archives[k].begin(), archives[k].end());
      ok &= Write(std::string(argv[3]) + "/extract" + std::to_string(k) + ".bin", input);
    }
  }
  return ok ? 0 : 1;
}
