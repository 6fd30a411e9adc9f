// replay_main.cpp - runs a fuzz target over the files named, without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    std::ifstream f(argv[i], std::ios::binary);
    if (!f) return fprintf(stderr, "replay: cannot open %s\n", argv[i]), 2;
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  printf("replayed %d inputs\n", argc - 1);
  return argc > 1 ? 0 : 1;
}
