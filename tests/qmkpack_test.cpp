// qmkpack_test.cpp - what qmkpack's command line cannot see: codes, matches, comments, damage.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <queue>
#include <string>
#include <utility>

#include "encoder/archivewriter.h"
#include "encoder/blockwriter.h"
#include "encoder/lzencoder.h"
#include "platform/memfs.h"
#include "qmkpack/commands.h"
#include "tests/hostilecases.h"
#include "tests/support/bitwriter.h"
#include "tests/testenv.h"

using namespace qmktest;

namespace {

// The cost and depth of a textbook Huffman code.
std::pair<uint64_t, int> HuffmanCostAndDepth(const std::vector<uint32_t>& f) {
  using Node = std::pair<uint64_t, int>;  // weight, depth below it
  std::priority_queue<Node, std::vector<Node>, std::greater<Node>> q;
  for (uint32_t w : f) {
    if (w) q.push({w, 0});
  }
  uint64_t cost = 0;
  while (q.size() > 1) {
    const Node a = q.top();
    q.pop();
    const Node b = q.top();
    q.pop();
    cost += a.first + b.first;
    q.push({a.first + b.first, std::max(a.second, b.second) + 1});
  }
  return {cost, q.empty() ? 0 : q.top().second};
}

// Frequencies of every skew, some with unused symbols, some Fibonacci (the deepest tree).
std::vector<uint32_t> RandomFreqs(uint32_t seed, size_t n) {
  const Bytes r = RandomBytes(n * 4, seed);
  std::vector<uint32_t> f(n);
  uint32_t a = 1, b = 1;
  for (size_t s = 0; s < n; s++) {
    const uint32_t x = uint32_t(r[4 * s]) | uint32_t(r[4 * s + 1]) << 8;
    f[s] = (seed % 3 == 0 && x % 4 == 0) ? 0 : 1 + (x >> (r[4 * s + 2] % 15));
    if (seed % 10 == 0 && s < 40) {
      f[s] = a;
      b += std::exchange(a, b);
    }
  }
  return f;
}

struct Outcome {
  int code;
  std::string out, err;
};

Outcome Capture(const std::function<int(const CommandIo&)>& command) {
  const CommandIo io{tmpfile(), tmpfile(), "t.ace", false};
  const int code = command(io);
  const auto drain = [](FILE* f) {
    std::string s(size_t(ftell(f)), 0);
    rewind(f);
    s.resize(fread(&s[0], 1, s.size(), f));
    fclose(f);
    return s;
  };
  return {code, drain(io.out), drain(io.err)};
}

Outcome ExtractInMemory(const Bytes& image, const char* target) {
  errorStatus = kStatusOk;
  const Outcome r = Capture([&](const CommandIo& io) { return ExtractArchive(image, target, io); });
  platform = &kNativePlatform;
  return r;
}

std::vector<FileEntry> Sample() {
  std::vector<FileEntry> e = {File("Plugins", {}, 0x810), File("readme.txt", SampleText(30000, 2)),
                              File("stored.bin", RandomBytes(3000, 3)), File("deep\\er\\file.txt", SampleText(2000, 4))};
  e[2].compType = e[3].compType = 0;
  Pack(e, true);
  return e;
}

}  // namespace

// Limited codes are complete and as cheap as Huffman's where it fits; width tables read back as priced.
TEST(Codes, AreOptimalWithinTheLimitAndReadBackAsWritten) {
  std::vector<std::vector<uint32_t>> cases = {std::vector<uint32_t>(256), std::vector<uint32_t>(256)};
  cases[1][1] = 7;
  for (uint32_t seed = 1; seed <= 300; seed++)
    cases.push_back(RandomFreqs(seed, seed % 4 == 1 ? 283 : seed % 4 == 2 ? 256 : 2 + seed % 282));
  errorStatus = kStatusOk;
  AllocateWorkBuffers();
  for (size_t k = 0; k < cases.size(); k++) {
    const std::vector<uint32_t>& f = cases[k];
    const auto [refCost, refDepth] = HuffmanCostAndDepth(f);
    const size_t used = f.size() - size_t(std::count(f.begin(), f.end(), 0));
    for (int maxBits : {7, 11}) {
      if ((size_t(1) << maxBits) < f.size()) continue;
      SCOPED_TRACE(testing::Message() << "case " << k << ", at most " << maxBits << " bits");
      std::vector<uint8_t> len(f.size());
      qmk::LimitedCodeLengths(f.data(), int(f.size()), maxBits, len.data());
      uint64_t kraft = 0, cost = 0;
      for (size_t s = 0; s < f.size(); s++) {
        ASSERT_EQ(len[s] == 0, f[s] == 0);
        ASSERT_LE(len[s], maxBits);
        if (len[s]) kraft += uint64_t(1) << (maxBits - len[s]);
        cost += uint64_t(f[s]) * len[s];
      }
      EXPECT_EQ(kraft, used ? uint64_t(1) << (used == 1 ? maxBits - 1 : maxBits) : 0);
      EXPECT_GE(cost, refCost);
      if (used > 1 && refDepth <= maxBits) { EXPECT_EQ(cost, refCost); }
      std::vector<uint8_t> want = len;
      if (used == 0) want[0] = 1;
      uint32_t fullBits = 0;
      for (bool thorough : {true, false}) {
        SCOPED_TRACE(thorough ? "full search" : "fast search");
        qmk::BitSink sink;
        const uint32_t bits = qmk::BlockWriter::WidthTable(len.data(), int(len.size()), &sink, thorough);
        EXPECT_EQ(sink.Bits(), bits);
        if (thorough) fullBits = bits;
        EXPECT_GE(bits, fullBits);
        EXPECT_LE(bits, used ? ~0u : 30u) << "an empty code costs little";
        sink.Put(0xA5A5A5A5u, 32);
        sink.Flush();
        const Bytes stream = sink.Bytes();
        LoadBits(stream.data(), int32_t(stream.size()));
        const bool main = len.size() > qmk::kLengthCount;
        uint8_t* got = main ? codes.mainWidths : codes.lengthWidths;
        EXPECT_TRUE(ReadWidths(kCodeBits, main ? codes.mainTable : codes.lengthTable, got, int(len.size()) - 1));
        EXPECT_EQ(PeekBits(bitInput, 32), 0xA5A5A5A5u) << "the table took exactly its bits";
        EXPECT_EQ(std::vector<uint8_t>(got, got + len.size()), want);
      }
    }
  }
  ReleaseWorkBuffers();
}

// Runs of few byte values: levels 8 and 9 once matched past an earlier solid entry's end.
TEST(SolidMatchFinder, MatchesAcrossEntryEndsAreExact) {
  for (uint32_t seed = 1; seed <= 60; seed++) {
    std::vector<FileEntry> entries(4);
    uint32_t x = seed * 2654435761u;
    auto next = [&x] { return x = x * 1103515245u + 12345u, x >> 16; };
    const uint8_t values[3] = {0x07, 0xFF, uint8_t(seed)};
    for (size_t k = 0; k < entries.size(); k++) {
      Bytes& d = entries[k].data;
      entries[k].name = "e" + std::to_string(k);
      while (d.size() < 300) d.insert(d.end(), 1 + next() % 60, values[next() % 3]);
      d.resize(300 + k % 2);
    }
    for (int level : {8, 9}) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << ", level " << level);
      qmk::LzEncoder encoder(level, true);
      for (FileEntry& e : entries) e.packed = encoder.CompressEntry(e.data.data(), e.data.size());
      const Outcome r = Capture([&](const CommandIo& io) { return TestArchive(BuildArchive({}, entries), io); });
      EXPECT_EQ(r.code, kExitOk) << r.err;
    }
  }
}

// A comment packed to the main header's last whole word is listed whole.
TEST(CreateComment, FillsTheMainHeaderToItsLastWord) {
  const size_t room = size_t(ace::kHeaderBufferSize - (ace::kOffMainVariable - ace::kHeaderLead) - 2) / 4 * 4;
  std::string text;
  for (uint32_t n = 1900; n <= qmk::kMaxCommentText && qmk::PackComment(text).size() != room; n++) {
    text.clear();
    for (uint8_t c : RandomBytes(n, n)) text.push_back(char(c ? c : 1));
  }
  MainSpec m;
  m.comment = qmk::PackComment(text);
  ASSERT_EQ(m.comment->size(), room);
  const Outcome r = Capture([&](const CommandIo& io) { return ListArchive(BuildArchive(m, Sample()), io); });
  EXPECT_NE(r.out.find("Comment: " + text + "\n"), std::string::npos);
}

// `test` and `extract` over a spoilt sample: exit 1, one message, the later entries extracted.
TEST(QmkpackTest, DamageIsNamedAndFails) {
  using Entries = std::vector<FileEntry>;
  const char* const sameName = "\"README.TXT\": the same name on Windows as the earlier entry \"readme.txt\"";
  const struct {
    const char* what;
    void (*spoil)(Entries&);
    const char* says;
  } cases[] = {
      {"intact", nullptr, "OK  readme.txt\n"},
      {"CRC", [](Entries& e) { e[1].fileCrc = ReferenceCrc(e[1].data) ^ 0x10; }, "readme.txt: CRC mismatch"},
      {"locked", [](Entries& e) { e[2].flags = 0x4001; }, "stored.bin: entry is locked"},
      {"method", [](Entries& e) { e[2].compType = 5; }, "stored.bin: unsupported compression type 5"},
      {"dictionary", [](Entries& e) { e[1].compParam = 12; }, "readme.txt: needs a dictionary of 2^22 bytes"},
      {"flipped data", [](Entries& e) { e[1].packed[100] ^= 0x40; }, "readme.txt: "},
      {"size", [](Entries& e) { e[1].unpackedSize = uint32_t(e[1].data.size() + 5000); }, "readme.txt: "},
      {"name", [](Entries& e) { e[2].name = "README.TXT"; }, sameName},
      {"name over an unknown method", [](Entries& e) { e[2].name = "README.TXT", e[2].compType = 5; }, sameName},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Entries e = Sample();
    if (c.spoil) c.spoil(e);
    const Bytes image = BuildArchive({}, e);
    const Outcome r = Capture([&](const CommandIo& io) { return TestArchive(image, io); });
    EXPECT_EQ(r.code, c.spoil ? kExitDamaged : kExitOk);
    EXPECT_NE((r.code ? r.err : r.out).find(c.says), std::string::npos) << r.out << r.err;
    EXPECT_TRUE(r.code || r.err.empty()) << r.err;
    memfs::Install();
    const Outcome x = ExtractInMemory(image, "C:\\T");
    EXPECT_EQ(x.code, r.code);
    EXPECT_NE(x.err.find(c.spoil ? c.says : ""), std::string::npos) << x.err;
    std::string last;
    EXPECT_TRUE(memfs::ReadFile("C:\\T\\deep\\er\\file.txt", &last) && Bytes(last.begin(), last.end()) == e[3].data);
  }
}

// Hostile archives: the fault named, exit 1, nothing of the user's lost, no more written than the installer.
TEST(QmkpackExtract, HostileArchivesAreRefusedAndNothingOfTheUsersIsLost) {
  for (const HostileCase& c : HostileCases()) {
    SCOPED_TRACE(c.what);
    memfs::Install();
    std::map<std::string, std::string> want = {{"C:\\T\\outside.txt", "beside"},
                                               {"C:\\T\\QMK\\old.txt", "the user's old file"},
                                               {"C:\\T\\QMK\\Docs\\user.txt", "the user's"}};
    for (const auto& [path, text] : want) memfs::PutFile(path, text);
    const Outcome r = ExtractInMemory(HostileArchive(c), "C:\\T\\QMK");
    EXPECT_EQ(r.code, kExitDamaged);
    EXPECT_NE(r.err.find(c.qmkpackSays), std::string::npos) << r.err;
    want["C:\\T\\QMK\\first.txt"] = "first";
    want["C:\\T\\QMK\\after.txt"] = "after";
    for (const char* dir : {"C:\\T\\", "C:\\T\\QMK\\", "C:\\T\\QMK\\Docs\\"}) want[dir] = "";
    std::map<std::string, std::string> got;
    for (const std::string& p : memfs::Tree()) memfs::ReadFile(p, &got[p]);
    for (const std::string& also : c.alsoWritten) got.erase("C:\\T\\QMK\\" + also);
    EXPECT_EQ(got, want);
    EXPECT_EQ(memfs::Attributes("C:\\T\\QMK\\old.txt"), 0x20u);
    EXPECT_EQ(memfs::OpenHandles(), 0);
  }
  errorStatus = kStatusOk;
}

// Each platform call of an extraction failing in turn: an exit status and a message, or all extracted whole.
TEST(QmkpackExtract, EachFailingCallIsReportedOrHarmless) {
  const std::vector<FileEntry> e = Sample();
  const Bytes image = BuildArchive({}, e);
  for (uint32_t n = 1;; n++) {
    memfs::Install();
    memfs::FailCall(n);
    const Outcome x = ExtractInMemory(image, "C:\\T\\new\\dir");
    if (!*memfs::FailedCall()) break;
    SCOPED_TRACE(std::string(memfs::FailedCall()) + " failed, call " + std::to_string(n));
    bool whole = true;
    for (const FileEntry& f : e) {
      std::string got;
      whole = whole && (f.attributes & 0x10 || (memfs::ReadFile("C:\\T\\new\\dir\\" + f.name, &got) &&
                                                  Bytes(got.begin(), got.end()) == f.data));
    }
    EXPECT_TRUE(x.code ? x.err.rfind("qmkpack: ", 0) == 0 : whole && x.err.empty()) << x.code << x.err;
  }
}
