// huffman.cpp - package-merge code lengths and decoder-exact code words.
#include "qmkpack/huffman.h"

#include <algorithm>
#include <cstring>

#include "decoder/bitinput.h"

namespace qmk {

namespace {

struct Item {
  uint64_t weight;
  int leaf;         // symbol, or -1 for a package
  int left, right;  // a package's two items in the previous level's list
};

}  // namespace

// Package-merge (the coin collector's problem): the lists of level k hold
// the leaves merged with the pairs ("packages") of level k - 1's list; the
// 2n - 2 lightest items of the last level give each leaf its depth as the
// number of times it occurs in them.
void LimitedCodeLengths(const uint32_t* freqs, int count, int maxBits, uint8_t* lengths) {
  memset(lengths, 0, size_t(count));
  std::vector<Item> leaves;
  for (int s = 0; s < count; s++) {
    if (freqs[s]) leaves.push_back({freqs[s], s, -1, -1});
  }
  const int n = int(leaves.size());
  if (n == 0) return;
  if (n == 1) {
    lengths[leaves[0].leaf] = 1;
    return;
  }
  std::stable_sort(leaves.begin(), leaves.end(), [](const Item& a, const Item& b) { return a.weight < b.weight; });

  std::vector<std::vector<Item>> levels;
  levels.resize(size_t(maxBits));
  levels[0] = leaves;
  for (int k = 1; k < maxBits; k++) {
    const std::vector<Item>& prev = levels[size_t(k - 1)];
    std::vector<Item>& list = levels[size_t(k)];
    list.reserve(leaves.size() + prev.size() / 2);
    size_t li = 0;
    size_t pi = 0;
    while (li < leaves.size() || pi + 1 < prev.size()) {
      const bool havePackage = pi + 1 < prev.size();
      const uint64_t pw = havePackage ? prev[pi].weight + prev[pi + 1].weight : 0;
      if (li < leaves.size() && (!havePackage || leaves[li].weight <= pw)) {
        list.push_back(leaves[li++]);
      } else {
        list.push_back({pw, -1, int(pi), int(pi + 1)});
        pi += 2;
      }
    }
  }
  // Count leaf occurrences among the 2n - 2 lightest items of the last list.
  struct Visit {
    int level, index;
  };
  std::vector<Visit> stack;
  const std::vector<Item>& last = levels[size_t(maxBits - 1)];
  for (int i = 0; i < 2 * n - 2 && i < int(last.size()); i++) stack.push_back({maxBits - 1, i});
  while (!stack.empty()) {
    const Visit v = stack.back();
    stack.pop_back();
    const Item& it = levels[size_t(v.level)][size_t(v.index)];
    if (it.leaf >= 0) {
      lengths[it.leaf]++;
    } else {
      stack.push_back({v.level - 1, it.left});
      stack.push_back({v.level - 1, it.right});
    }
  }
}

int LastUsed(const uint8_t* widths, int count) {
  int last = 0;
  for (int s = 0; s < count; s++) {
    if (widths[s]) last = s;
  }
  return last;
}

void AssignCodeWords(int bits, int last, uint8_t* widths, uint32_t* words) {
  const int count = last + 1;
  uint16_t table[kTableSize];
  const int size = 1 << bits;
  for (int p = 0; p < size; p++) table[p] = 0xFFFF;
  MakeCode(bits, last, widths, table);
  for (int s = 0; s < count; s++) words[s] = 0;
  // The first table entry that names a symbol is its code word, shifted up.
  bool seen[kMainSymbols + 1] = {};
  for (int p = 0; p < size; p++) {
    const uint16_t s = table[p];
    if (s == 0xFFFF || s >= count || seen[s]) continue;
    seen[s] = true;
    words[s] = uint32_t(p) >> (bits - widths[s]);
  }
}

}  // namespace qmk
