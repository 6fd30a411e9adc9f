// make_sample.cpp - writes the small sample archive the demo lists and
// tests: a solid archive with a comment, a directory entry, compressed text
// files that refer to each other, a stored file and an empty file.
#include <cstdio>

#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_sample OUT.ace\n");
    return 2;
  }
  using namespace qmktest;
  std::vector<FileEntry> entries(6);
  entries[0].name = "Plugins";
  entries[0].attributes = 0x810;
  entries[1].name = "Plugins\\notes.txt";
  entries[1].data = SampleText(20000, 1);
  entries[2].name = "readme.txt";
  entries[2].data = SampleText(50000, 2);
  entries[3].name = "data.bin";
  entries[3].data = RandomBytes(3000, 3);
  entries[3].compType = 0;
  entries[4].name = "empty.txt";
  entries[5].name = "Plugins\\copy.txt";
  entries[5].data = entries[1].data;  // refers back to an earlier entry
  Pack(entries, true);
  MainSpec main;
  main.comment = EncodeComment("Quellmark sample archive, written by the tests' archive helpers.");
  const Bytes archive = BuildArchive(main, entries);
  FILE* f = fopen(argv[1], "wb");
  if (!f || fwrite(archive.data(), 1, archive.size(), f) != archive.size() || fclose(f) != 0) {
    fprintf(stderr, "make_sample: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
