// compressor_test.cpp - the writer side: code lengths, width tables read
// back by the decoder, and archives made by `create` read back by `test`
// and `extract`, across levels, solidity and the awkward inputs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <queue>
#include <string>

#include "archive/entryname.h"
#include "archive/reader.h"
#include "archive/status.h"
#include "decoder/lz.h"
#include "encoder/archivewriter.h"
#include "encoder/blockwriter.h"
#include "qmkpack/commands.h"
#include "encoder/huffman.h"
#include "encoder/lzencoder.h"
#include "tests/support/archivebuilder.h"

namespace fs = std::filesystem;
using qmktest::Bytes;

namespace {

// Unlimited Huffman code lengths, the textbook way, as a reference.
std::vector<int> HuffmanLengths(const std::vector<uint32_t>& f) {
  struct Node {
    uint64_t w;
    int id;
  };
  auto cmp = [](const Node& a, const Node& b) { return a.w > b.w; };
  std::priority_queue<Node, std::vector<Node>, decltype(cmp)> q(cmp);
  std::vector<int> parent;
  for (size_t s = 0; s < f.size(); s++) {
    parent.push_back(-1);
    if (f[s]) q.push({f[s], int(s)});
  }
  std::vector<int> len(f.size(), 0);
  if (q.size() == 1) {
    len[size_t(q.top().id)] = 1;
    return len;
  }
  while (q.size() > 1) {
    Node a = q.top();
    q.pop();
    Node b = q.top();
    q.pop();
    parent.push_back(-1);
    const int id = int(parent.size()) - 1;
    parent[size_t(a.id)] = id;
    parent[size_t(b.id)] = id;
    q.push({a.w + b.w, id});
  }
  for (size_t s = 0; s < f.size(); s++) {
    if (!f[s]) continue;
    for (int p = parent[s]; p >= 0; p = parent[size_t(p)]) len[s]++;
  }
  return len;
}

std::vector<uint32_t> RandomFreqs(uint32_t seed, size_t n) {
  const Bytes r = qmktest::RandomBytes(n * 4, seed);
  std::vector<uint32_t> f(n);
  for (size_t s = 0; s < n; s++) {
    const uint32_t x = uint32_t(r[4 * s]) | uint32_t(r[4 * s + 1]) << 8;
    f[s] = (seed % 3 == 0 && x % 4 == 0) ? 0 : 1 + (x >> (r[4 * s + 2] % 15));
  }
  return f;
}

}  // namespace

TEST(CodeLengths, AreValidLimitedAndOptimal) {
  for (uint32_t seed = 1; seed <= 300; seed++) {
    const size_t n = 2 + seed % 282;
    std::vector<uint32_t> f = RandomFreqs(seed, n);
    if (seed % 10 == 0) {
      // Fibonacci weights force the deepest unlimited trees.
      uint32_t a = 1, b = 1;
      for (size_t s = 0; s < std::min<size_t>(n, 40); s++) {
        f[s] = a;
        const uint32_t c = a + b;
        a = b;
        b = c;
      }
    }
    for (int maxBits : {7, 11}) {
      if ((size_t(1) << maxBits) < n) continue;
      std::vector<uint8_t> len(n);
      qmk::LimitedCodeLengths(f.data(), int(n), maxBits, len.data());
      uint64_t kraft = 0;  // in units of 2^-maxBits
      size_t used = 0;
      uint64_t cost = 0;
      for (size_t s = 0; s < n; s++) {
        ASSERT_EQ(len[s] == 0, f[s] == 0) << "seed " << seed;
        ASSERT_LE(len[s], maxBits);
        if (len[s]) {
          kraft += uint64_t(1) << (maxBits - len[s]);
          used++;
          cost += uint64_t(f[s]) * len[s];
        }
      }
      if (used >= 2) {
        ASSERT_EQ(kraft, uint64_t(1) << maxBits) << "complete code, seed " << seed;
      }
      // Where the unlimited optimum fits the limit, it must be reached.
      const std::vector<int> ref = HuffmanLengths(f);
      uint64_t refCost = 0;
      int refMax = 0;
      for (size_t s = 0; s < n; s++) {
        refCost += uint64_t(f[s]) * uint64_t(ref[s]);
        refMax = std::max(refMax, ref[s]);
      }
      if (refMax <= maxBits) {
        EXPECT_EQ(cost, refCost) << "seed " << seed;
      } else {
        EXPECT_GE(cost, refCost);
      }
    }
  }
}

TEST(CodeLengths, SingleAndNoSymbols) {
  uint32_t f[5] = {0, 0, 7, 0, 0};
  uint8_t len[5];
  qmk::LimitedCodeLengths(f, 5, 11, len);
  EXPECT_EQ(std::vector<uint8_t>(len, len + 5), (std::vector<uint8_t>{0, 0, 1, 0, 0}));
  uint32_t none[3] = {0, 0, 0};
  qmk::LimitedCodeLengths(none, 3, 11, len);
  EXPECT_EQ(std::vector<uint8_t>(len, len + 3), (std::vector<uint8_t>{0, 0, 0}));
}

class WidthTableRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    errorStatus = kStatusOk;
    AllocateWorkBuffers();
  }
  void TearDown() override { ReleaseWorkBuffers(); }

  // Writes the widths as the block writer does and reads them back with the
  // decoder; returns what the decoder's width array holds.
  std::vector<uint8_t> RoundTrip(std::vector<uint8_t> widths, uint32_t* bitsOut = nullptr) {
    qmk::BitSink sink;
    const uint32_t bits = qmk::BlockWriter::WidthTable(widths.data(), int(widths.size()), &sink);
    if (bitsOut) *bitsOut = bits;
    EXPECT_EQ(sink.Bits(), bits);
    // The fast levels' search over fewer offsets and ranges prices its
    // choice as exactly, and never beats the full search.
    qmk::BitSink quick;
    const uint32_t quickBits = qmk::BlockWriter::WidthTable(widths.data(), int(widths.size()), &quick, false);
    EXPECT_EQ(quick.Bits(), quickBits);
    EXPECT_GE(quickBits, bits);
    sink.Put(0xA5A5A5A5u, 32);
    sink.Flush();
    stream_ = sink.Bytes();
    LoadBits(stream_.data(), int32_t(stream_.size()));
    const bool main = widths.size() == qmk::kMainCount;
    EXPECT_TRUE(ReadWidths(kCodeBits, main ? codes.mainTable : codes.lengthTable,
                           main ? codes.mainWidths : codes.lengthWidths, int(widths.size()) - 1));
    EXPECT_EQ(PeekBits(bitInput, 32), 0xA5A5A5A5u) << "the table consumed exactly its bits";
    const uint8_t* got = main ? codes.mainWidths : codes.lengthWidths;
    return std::vector<uint8_t>(got, got + widths.size());
  }
  Bytes stream_;
};

TEST_F(WidthTableRoundTrip, DecoderReadsBackWhatTheWriterChose) {
  std::vector<std::vector<uint8_t>> cases;
  // A lone symbol past index 0: its pre-code has fewer used values than its
  // range, which once broke the pre-code's tie order.
  std::vector<uint8_t> lone(256, 0);
  lone[1] = 1;
  cases.push_back(lone);
  std::vector<uint8_t> ladder(283, 0);
  for (int s = 1; s <= 11; s++) ladder[size_t(s * 20)] = uint8_t(s);
  ladder[0] = 11;
  cases.push_back(ladder);
  for (uint32_t seed = 1; seed <= 60; seed++) {
    std::vector<uint32_t> f = RandomFreqs(seed, seed % 2 ? 283 : 256);
    std::vector<uint8_t> w(f.size());
    qmk::LimitedCodeLengths(f.data(), int(f.size()), 11, w.data());
    cases.push_back(w);
  }
  for (const auto& w : cases) {
    std::vector<uint8_t> expect = w;
    int used = 0;
    for (uint8_t x : w) used += x ? 1 : 0;
    const std::vector<uint8_t> got = RoundTrip(w);
    if (used == 1) {
      for (uint8_t& x : expect) x = x ? 1 : 0;  // a lone symbol decodes with width 1
    }
    EXPECT_EQ(got, expect);
  }
}

TEST_F(WidthTableRoundTrip, EmptyCodeCostsLittle) {
  uint32_t bits = 0;
  const std::vector<uint8_t> got = RoundTrip(std::vector<uint8_t>(256, 0), &bits);
  EXPECT_LE(bits, 30u);
  EXPECT_EQ(got[0], 1);  // the decoder's all-zero rule: symbol 0 takes width 1
}

// ---- archives made by create ----------------------------------------------

namespace {

class Tree {
 public:
  Tree() {
    static int counter = 0;
    root_ = fs::temp_directory_path() /
            ("qmk_create_" + std::to_string(long(getpid())) + "_" + std::to_string(long(time(nullptr))) + "_" + std::to_string(counter++));
    fs::remove_all(root_);
    fs::create_directories(root_ / "in");
  }
  ~Tree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  void File(const std::string& rel, const Bytes& data) {
    fs::create_directories((root_ / "in" / rel).parent_path());
    std::ofstream f(root_ / "in" / rel, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  }
  void Dir(const std::string& rel) { fs::create_directories(root_ / "in" / rel); }
  fs::path In() const { return root_ / "in"; }
  fs::path Root() const { return root_; }

 private:
  fs::path root_;
};

// A relative path one byte longer than the installer takes, built of
// components a file system accepts.
std::string TooLongName() {
  std::string name;
  while (name.size() + 101 <= kMaxEntryNameLength) name += std::string(100, 'd') + "/";
  name += std::string(kMaxEntryNameLength + 1 - name.size(), 'f');
  return name;
}

Bytes ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

struct Made {
  int code;
  std::string err;
  Bytes archive;
};

Made Create(const Tree& t, const std::string& name, qmk::CreateOptions opt = {}) {
  FILE* err = tmpfile();
  std::vector<qmk::PlannedEntry> entries;
  Made m{2, "", {}};
  const fs::path out = t.Root() / name;
  opt.force = true;  // the tests pack one tree many times over
  bool planned = opt.orderFile.empty() ? qmk::PlanTree(t.In().string(), entries, err)
                                       : qmk::PlanFromList(t.In().string(), opt.orderFile, entries, err);
  if (planned) m.code = qmk::WriteArchive(out.string(), entries, opt, err);
  rewind(err);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, err)) > 0) m.err.append(buf, n);
  fclose(err);
  if (fs::exists(out)) m.archive = ReadFile(out);
  return m;
}

int Check(const Bytes& archive, const char* what, const fs::path& extractTo = {}) {
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  CommandIo io{out, err, what, true};
  int code = TestArchive(archive, io);
  if (code == 0 && !extractTo.empty()) code = ExtractArchive(archive, extractTo.string().c_str(), io);
  rewind(err);
  char buf[2048];
  const size_t n = fread(buf, 1, sizeof buf - 1, err);
  buf[n] = 0;
  if (code) ADD_FAILURE() << what << ": " << buf;
  fclose(out);
  fclose(err);
  return code;
}

// Every file and directory below `root`, with file contents.
std::vector<std::pair<std::string, Bytes>> Snapshot(const fs::path& root) {
  std::vector<std::pair<std::string, Bytes>> v;
  for (auto& e : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(e.path(), root).generic_string();
    v.emplace_back(rel, e.is_directory() ? Bytes{'/'} : ReadFile(e.path()));
  }
  std::sort(v.begin(), v.end());
  return v;
}

}  // namespace

TEST(CreateRoundTrip, EveryLevelSolidAndNot) {
  Tree t;
  t.Dir("empty dir");
  t.File("empty.txt", {});
  t.File("one.bin", {42});
  t.File("Plugins/a.dll", qmktest::RandomBytes(70000, 1));
  t.File("Plugins/b.dll", qmktest::SampleText(90000, 2));
  t.File("readme.txt", qmktest::SampleText(120000, 3));
  t.File("copy.txt", qmktest::SampleText(120000, 3));  // all of it a match into readme.txt
  t.File("runs.bin", Bytes(300000, 'x'));
  t.File("deep/er/and/deeper/file", qmktest::SampleText(3000, 4));
  const auto want = Snapshot(t.In());
  for (int level = 1; level <= 9; level++) {
    for (bool solid : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "level " << level << (solid ? " solid" : " not solid"));
      qmk::CreateOptions opt;
      opt.level = level;
      opt.solid = solid;
      const Made m = Create(t, "a.ace", opt);
      ASSERT_EQ(m.code, 0) << m.err;
      const fs::path out = t.Root() / ("x" + std::to_string(level) + (solid ? "s" : "n"));
      ASSERT_EQ(Check(m.archive, "a.ace", out), 0);
      EXPECT_EQ(Snapshot(out), want);
    }
  }
}

TEST(CreateRoundTrip, LargeInputsSlideTheBuffer) {
  // Past the compressor's 4 MiB buffer, so it drops its front and moves
  // every position its match finders hold. d.bin repeats c.bin, which lies
  // before the slide point but within the 1 MiB window: every level finds
  // it, even among noise, where searches thin out. f.bin repeats the start
  // of b.bin, beyond the window: those positions fell off and are not used.
  const Bytes b = qmktest::RandomBytes(2000000, 2);
  const Bytes c = qmktest::RandomBytes(600000, 3);
  const Bytes e = qmktest::RandomBytes(300000, 5);
  const Bytes f(b.begin(), b.begin() + 300000);
  auto fill = [&](Tree& t, bool copy) {
    t.File("a.txt", qmktest::SampleText(1600000, 1));
    t.File("b.bin", b);
    t.File("c.bin", c);
    if (copy) t.File("d.bin", c);
    t.File("e.bin", e);
    t.File("f.bin", f);
    t.File("g.txt", qmktest::SampleText(200000, 1));
  };
  Tree t;
  fill(t, true);
  Tree base;
  fill(base, false);
  for (int level : {1, 5, 9}) {
    SCOPED_TRACE(::testing::Message() << "level " << level);
    qmk::CreateOptions opt;
    opt.level = level;
    const Made m = Create(t, "big.ace", opt);
    ASSERT_EQ(m.code, 0) << m.err;
    const fs::path out = t.Root() / ("x" + std::to_string(level));
    EXPECT_EQ(Check(m.archive, "big.ace", out), 0);
    EXPECT_EQ(Snapshot(out), Snapshot(t.In()));
    // The 600 KB copy costs next to nothing (some 650 bytes): it is found
    // from its first bytes on.
    const Made without = Create(base, "base.ace", opt);
    ASSERT_EQ(without.code, 0) << without.err;
    EXPECT_LT(m.archive.size(), without.archive.size() + 2000);
  }
}

TEST(CreateRoundTrip, IncompressibleFilesAreStored) {
  Tree t;
  t.File("noise.bin", qmktest::RandomBytes(50000, 5));
  const Made m = Create(t, "n.ace");
  ASSERT_EQ(m.code, 0) << m.err;
  EXPECT_EQ(m.archive[31 + 27], 0) << "compression type of the entry";  // 31 main + offset 27
  EXPECT_LE(m.archive.size(), 50000u + 31 + 44);
  EXPECT_EQ(Check(m.archive, "n.ace"), 0);
}

TEST(CreateRoundTrip, ThousandsOfFiles) {
  Tree t;
  for (int k = 0; k < 2000; k++) {
    t.File("d" + std::to_string(k % 37) + "/f" + std::to_string(k) + ".txt",
           qmktest::SampleText(size_t(k % 300), uint32_t(k)));
  }
  const Made m = Create(t, "many.ace");
  ASSERT_EQ(m.code, 0) << m.err;
  EXPECT_EQ(Check(m.archive, "many.ace", t.Root() / "out"), 0);
  EXPECT_EQ(Snapshot(t.Root() / "out"), Snapshot(t.In()));
}

TEST(CreateLayout, OrderHeadersAndFields) {
  Tree t;
  t.File("b.txt", qmktest::SampleText(100, 1));
  t.File("Plugins/x.dll", qmktest::SampleText(100, 2));
  t.File("a.txt", qmktest::SampleText(100, 3));
  t.Dir("Plugins/Sub");
  const Made m = Create(t, "o.ace");
  ASSERT_EQ(m.code, 0) << m.err;
  // Walk the headers with the reader and collect names and fields.
  errorStatus = kStatusOk;
  AllocateWorkBuffers();
  ASSERT_TRUE(OpenArchiveImage(m.archive.data(), uint32_t(m.archive.size())));
  EXPECT_EQ(headerRecord.flags, 0x8000);
  EXPECT_EQ(headerRecord.main.byte14, 10);
  EXPECT_EQ(headerRecord.main.byte15, 12);
  EXPECT_EQ(headerRecord.main.byte16, 2);
  EXPECT_EQ(headerRecord.main.byte17, 0);
  std::vector<std::string> names;
  while (ReadNextHeader()) {
    const AceFileView& f = headerRecord.file;
    names.emplace_back(reinterpret_cast<const char*>(f.variable), f.nameLength);
    EXPECT_EQ(headerRecord.flags, 0x0001);
    EXPECT_EQ(f.byte28, 5);
    EXPECT_EQ(f.compParam, 10);
    EXPECT_EQ(f.value31, 0);
    EXPECT_EQ(f.attributes & 0x30, (names.back() == "Plugins" || names.back() == "Plugins\\Sub") ? 0x10u : 0x20u);
  }
  EXPECT_EQ(reader.chainEnd, ChainEnd::kImageEnd);
  ReleaseWorkBuffers();
  EXPECT_EQ(names, (std::vector<std::string>{"Plugins", "Plugins\\Sub", "Plugins\\x.dll", "a.txt", "b.txt"}));
}

TEST(CreateLayout, OrderFileGivesTheOrder) {
  Tree t;
  t.File("a.txt", {1});
  t.File("dir/b.txt", {2});
  const std::string list = (t.Root() / "order.txt").string();
  {
    std::ofstream f(list);
    f << "# installer order\r\ndir\\b.txt\r\na.txt\r\ndir\r\n";
  }
  qmk::CreateOptions opt;
  opt.orderFile = list;
  const Made m = Create(t, "l.ace", opt);
  ASSERT_EQ(m.code, 0) << m.err;
  const std::string s(m.archive.begin(), m.archive.end());
  EXPECT_LT(s.find("dir\\b.txt"), s.find("a.txt"));
  EXPECT_EQ(Check(m.archive, "l.ace"), 0);
  {
    std::ofstream f(list);
    f << "a.txt\nmissing.txt\n";
  }
  const Made bad = Create(t, "m.ace", opt);
  EXPECT_EQ(bad.code, 2);
  EXPECT_NE(bad.err.find("missing.txt: no such file"), std::string::npos) << bad.err;
}

TEST(CreateLayout, SameTreeSameBytesAndTimesClampedToTheEpoch) {
  Tree t;
  t.File("a.txt", qmktest::SampleText(20000, 1));
  t.File("b/c.bin", qmktest::RandomBytes(3000, 2));
  const Made first = Create(t, "1.ace");
  const Made second = Create(t, "2.ace");
  ASSERT_EQ(first.code, 0);
  EXPECT_EQ(first.archive, second.archive);

  qmk::CreateOptions opt;
  opt.hasEpoch = true;
  opt.epoch = 946684800;  // 2000-01-01 00:00:00 UTC, before the files' times
  const Made clamped = Create(t, "3.ace", opt);
  ASSERT_EQ(clamped.code, 0);
  errorStatus = kStatusOk;
  AllocateWorkBuffers();
  ASSERT_TRUE(OpenArchiveImage(clamped.archive.data(), uint32_t(clamped.archive.size())));
  while (ReadNextHeader()) EXPECT_EQ(headerRecord.file.fileTime, qmk::DosTimeOf(946684800));
  ReleaseWorkBuffers();
}

TEST(CreateLayout, DosTimes) {
  // Local time; build the instant from local fields so the test holds in
  // any time zone.
  struct tm lt = {};
  lt.tm_year = 99;
  lt.tm_mon = 4;
  lt.tm_mday = 3;
  lt.tm_hour = 16;
  lt.tm_min = 48;
  lt.tm_sec = 1;  // odd seconds round down to the 2-second unit
  lt.tm_isdst = -1;
  EXPECT_EQ(qmk::DosTimeOf(int64_t(mktime(&lt))), 0x26A38600u);
  EXPECT_EQ(qmk::DosTimeOf(0) >> 16, (0u << 9 | 1u << 5 | 1u));  // before 1980: clamped
}

TEST(CreateLayout, CommentIsStoredAndListed) {
  Tree t;
  t.File("a.txt", {1, 2, 3});
  qmk::CreateOptions opt;
  opt.hasComment = true;
  opt.comment = "Quellmark 1.0 - thank you for installing Quellmark. Quellmark!";
  const Made m = Create(t, "c.ace", opt);
  ASSERT_EQ(m.code, 0) << m.err;
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  CommandIo io{out, err, "c.ace", true};
  EXPECT_EQ(ListArchive(m.archive, io), 0);
  rewind(out);
  char buf[4096];
  const size_t n = fread(buf, 1, sizeof buf - 1, out);
  buf[n] = 0;
  EXPECT_NE(std::string(buf).find("Comment: " + opt.comment), std::string::npos) << buf;
  fclose(out);
  fclose(err);

  opt.comment = std::string(qmk::kMaxCommentText, 'q');
  EXPECT_EQ(Create(t, "long.ace", opt).code, 0) << "a long but repetitive comment packs small";
  opt.comment = std::string(qmk::kMaxCommentText + 1, 'q');
  EXPECT_EQ(Create(t, "toolong.ace", opt).code, 2);
}

// Windows itself cannot hold these names (paths over 260 characters, a
// trailing dot), so there the checks have nothing to check.
#ifdef _WIN32
#define SKIP_ON_WINDOWS() GTEST_SKIP() << "the host file system cannot hold such names"
#else
#define SKIP_ON_WINDOWS() (void)0
#endif

TEST(CreateLayout, NameAtTheLimitIsKept) {
  SKIP_ON_WINDOWS();
  Tree t;
  std::string name = TooLongName();
  name.pop_back();  // exactly the longest the installer takes
  t.File(name, qmktest::SampleText(500, 1));
  const Made m = Create(t, "limit.ace");
  ASSERT_EQ(m.code, 0) << m.err;
  EXPECT_EQ(Check(m.archive, "limit.ace", t.Root() / "out"), 0);
  EXPECT_EQ(ReadFile(t.Root() / "out" / name), qmktest::SampleText(500, 1));
}

TEST(CreateErrors, RefusedBeforeAnythingIsWritten) {
  SKIP_ON_WINDOWS();
  Tree t;
  t.File("ok.txt", {1});
  t.File(TooLongName(), {2});
  const Made longName = Create(t, "x.ace");
  EXPECT_EQ(longName.code, 2);
  EXPECT_NE(longName.err.find("name too long"), std::string::npos) << longName.err;
  EXPECT_EQ(std::distance(fs::directory_iterator(t.Root()), fs::directory_iterator()), 1);  // the tree alone

  Tree u;
  u.File("trailing.", {1});
  const Made unsafe = Create(u, "y.ace");
  EXPECT_EQ(unsafe.code, 2);
  EXPECT_NE(unsafe.err.find("cannot be extracted safely"), std::string::npos) << unsafe.err;

  Tree v;
  v.File("a.txt", {1});
  FILE* err = tmpfile();
  std::vector<qmk::PlannedEntry> entries;
  ASSERT_TRUE(qmk::PlanTree(v.In().string(), entries, err));
  EXPECT_EQ(qmk::WriteArchive((v.Root() / "no" / "such" / "dir" / "z.ace").string(), entries, {}, err), 2);
  EXPECT_FALSE(qmk::PlanTree((v.Root() / "missing").string(), entries, err));
  fclose(err);
}

TEST(CreateErrors, ExistingArchiveSurvivesAFailedCreate) {
  SKIP_ON_WINDOWS();
  Tree t;
  t.File("a.txt", {1});
  const Made good = Create(t, "keep.ace");
  ASSERT_EQ(good.code, 0);
  t.File(TooLongName(), {2});
  EXPECT_EQ(Create(t, "keep.ace").code, 2);
  EXPECT_EQ(ReadFile(t.Root() / "keep.ace"), good.archive);
}

// ---- the encoder's match finder across the entries of a solid archive ----------

// Entries of few distinct byte values, in runs, so that positions close to
// one entry's end match long stretches of the next: levels 8 and 9 once took
// a prefix their binary trees had compared only up to the earlier entry's end
// as shared, and wrote matches longer than the bytes agreed.
TEST(SolidMatchFinder, MatchesAcrossEntryEndsAreExact) {
  for (uint32_t seed = 1; seed <= 60; seed++) {
    std::vector<qmktest::FileEntry> entries(4);
    uint32_t x = seed * 2654435761u;
    auto next = [&x] { return x = x * 1103515245u + 12345u, x >> 16; };
    const uint8_t values[3] = {0x07, 0xFF, uint8_t(seed)};
    for (size_t k = 0; k < entries.size(); k++) {
      qmktest::FileEntry& e = entries[k];
      e.name = "e" + std::to_string(k);
      while (e.data.size() < 300) e.data.insert(e.data.end(), 1 + next() % 60, values[next() % 3]);
      e.data.resize(300 + k % 2);
    }
    for (int level : {8, 9}) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", level " + std::to_string(level));
      qmk::LzEncoder encoder(level, true);
      for (qmktest::FileEntry& e : entries) e.packed = encoder.CompressEntry(e.data.data(), e.data.size());
      const Bytes image = qmktest::BuildArchive({}, entries);
      errorStatus = kStatusOk;
      AllocateWorkBuffers();
      ASSERT_TRUE(OpenArchiveImage(image.data(), uint32_t(image.size())));
      for (const qmktest::FileEntry& e : entries) {
        ASSERT_TRUE(ReadNextHeader());
        StartEntry();
        Bytes got(kMaxChunk);
        Bytes all;
        int32_t n;
        while ((n = ReadChunk(got.data(), 2048)) > 0) all.insert(all.end(), got.begin(), got.begin() + n);
        EXPECT_EQ(all, e.data) << e.name;
      }
      ReleaseWorkBuffers();
    }
  }
}
