// huffman.cpp - package-merge code lengths and decoder-exact code words.
#include "encoder/huffman.h"

#include <algorithm>
#include <cstring>

#include "decoder/bitinput.h"

namespace qmk {

namespace {

// Unlimited optimal lengths by the two-queue method over leaves sorted by
// weight; returns the longest. `order` holds the used symbols, lightest
// first.
int HuffmanLengths(const uint32_t* freqs, const uint16_t* order, int n, uint8_t* lengths) {
  // Nodes 0..n-1 are the leaves in order, n.. the internal nodes as made.
  uint64_t weight[2 * kMainSymbols];
  int parent[2 * kMainSymbols];
  for (int k = 0; k < n; k++) weight[k] = freqs[order[k]];
  int leaf = 0;
  int inner = n;
  int made = n;
  auto take = [&]() {
    if (leaf < n && (inner >= made || weight[leaf] <= weight[inner])) return leaf++;
    return inner++;
  };
  while (made < 2 * n - 1) {
    const int a = take();
    const int b = take();
    weight[made] = weight[a] + weight[b];
    parent[a] = made;
    parent[b] = made;
    made++;
  }
  int depth[2 * kMainSymbols];
  depth[2 * n - 2] = 0;
  int longest = 0;
  for (int k = 2 * n - 3; k >= 0; k--) {
    depth[k] = depth[parent[k]] + 1;
    if (k < n) {
      lengths[order[k]] = uint8_t(std::min(depth[k], 255));
      longest = std::max(longest, depth[k]);
    }
  }
  return longest;
}

struct Item {
  uint64_t weight;
  int16_t leaf;          // symbol, or -1 for a package
  int16_t left, right;   // a package's two items in the previous level's list
};

}  // namespace

// Huffman's lengths where they fit the limit (the usual case); otherwise
// package-merge (the coin collector's problem): the list of level k holds
// the leaves merged with the pairs ("packages") of level k - 1's list; the
// 2n - 2 lightest items of the last level give each leaf its depth as the
// number of times it occurs in them.
void LimitedCodeLengths(const uint32_t* freqs, int count, int maxBits, uint8_t* lengths) {
  memset(lengths, 0, size_t(count));
  // Used symbols, lightest first, equal weights in symbol order: sorted as
  // weight and symbol in one key.
  uint64_t keys[kMainSymbols];
  int n = 0;
  for (int s = 0; s < count; s++) {
    if (freqs[s]) keys[n++] = uint64_t(freqs[s]) << 16 | uint64_t(s);
  }
  if (n == 0) return;
  if (n == 1) {
    lengths[uint16_t(keys[0])] = 1;
    return;
  }
  std::sort(keys, keys + n);
  uint16_t order[kMainSymbols];
  for (int k = 0; k < n; k++) order[k] = uint16_t(keys[k]);
  if (HuffmanLengths(freqs, order, n, lengths) <= maxBits) return;
  memset(lengths, 0, size_t(count));

  // At most 16 levels of at most 2n items each.
  static Item levels[16][2 * kMainSymbols];
  int sizes[16];
  for (int k = 0; k < n; k++) levels[0][k] = {freqs[order[k]], int16_t(order[k]), -1, -1};
  sizes[0] = n;
  for (int k = 1; k < maxBits; k++) {
    const Item* prev = levels[k - 1];
    Item* list = levels[k];
    int size = 0;
    int li = 0;
    int pi = 0;
    while (li < n || pi + 1 < sizes[k - 1]) {
      const bool havePackage = pi + 1 < sizes[k - 1];
      const uint64_t pw = havePackage ? prev[pi].weight + prev[pi + 1].weight : 0;
      if (li < n && (!havePackage || levels[0][li].weight <= pw)) {
        list[size++] = levels[0][li++];
      } else {
        list[size++] = {pw, -1, int16_t(pi), int16_t(pi + 1)};
        pi += 2;
      }
    }
    sizes[k] = size;
  }
  // Count leaf occurrences among the 2n - 2 lightest items of the last list.
  struct Visit {
    int level, index;
  };
  Visit stack[16 * 2 * kMainSymbols];
  int top = 0;
  for (int i = 0; i < 2 * n - 2 && i < sizes[maxBits - 1]; i++) stack[top++] = {maxBits - 1, i};
  while (top > 0) {
    const Visit v = stack[--top];
    const Item& it = levels[v.level][v.index];
    if (it.leaf >= 0) {
      lengths[it.leaf]++;
    } else {
      stack[top++] = {v.level - 1, it.left};
      stack[top++] = {v.level - 1, it.right};
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
  // The table is filled from entry 0 on, a run of 2^(bits - width) entries
  // per symbol; a run's first entry is the symbol's code word, shifted up.
  // (A lone symbol decodes with width 1 but fills as many entries as its
  // old width gave it: the step then lands inside its run or past the end.)
  bool seen[kMainSymbols + 1] = {};
  for (int p = 0; p < size && table[p] != 0xFFFF;) {
    const uint32_t s = EntrySymbol(table[p]);
    const int width = int(EntryWidth(table[p]));
    if (s < uint32_t(count) && !seen[s]) {
      seen[s] = true;
      words[s] = uint32_t(p) >> (bits - widths[s]);
    }
    p += width > 0 && width <= bits ? 1 << (bits - width) : 1;
  }
}

}  // namespace qmk
