// decoder_test.cpp - the LZ77 block decoder and the comment decoder.
#include <algorithm>
#include <cstring>
#include <string>

#include "encoder/archivewriter.h"
#include "encoder/blockwriter.h"
#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"
#include "tests/testenv.h"

using namespace qmktest;

namespace {

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The shortest length a new distance takes.
uint32_t LengthBase(uint32_t distance) { return distance <= 256 ? 2 : distance <= 8192 ? 3 : 4; }

// A code as the decoder will build it from the width table it writes.
struct Code {
  std::vector<uint8_t> widths;
  std::vector<uint32_t> words = std::vector<uint32_t>(widths.size());
  Code(const std::vector<uint8_t>& w, BitWriter& out) : widths(w) {
    qmk::BlockWriter::WidthTable(w.data(), int(w.size()), &out);
    qmk::AssignCodeWords(kCodeBits, qmk::LastUsed(w.data(), int(w.size())), widths.data(), words.data());
  }
  void Put(BitWriter& out, size_t symbol) const { out.Put(words[symbol], widths[symbol]); }
};

Bytes EncodeBlocks(const std::vector<std::vector<qmk::Symbol>>& blocks, BitWriter w = {}) {
  qmk::BlockWriter writer(kPackLevel);
  qmk::CostModel costs;
  costs.SetDefaults();
  for (const auto& symbols : blocks) writer.Write(symbols, w, costs);
  return w.Finish();
}

Bytes OneEntry(const Bytes& packed, uint32_t size, uint32_t crc, uint8_t type = 1, uint16_t param = 10,
               uint16_t flags = 0x8001) {
  return BuildArchive({}, {FileEntry{"x", {}, packed, type, param, flags, 0x20, 0x26A38600, size, crc, {}}});
}

// Symbols and the bytes a byte-at-a-time decoder over a zeroed 1 MiB ring makes of them.
struct Script {
  Bytes ring = Bytes(size_t(1) << kMaxDictionaryBits), data;
  uint32_t history[4] = {};
  std::vector<qmk::Symbol> symbols;
  void Put(uint8_t b) {
    ring[data.size() & (ring.size() - 1)] = b;
    data.push_back(b);
  }
  Script& Literals(const Bytes& bytes) {
    for (uint8_t b : bytes) {
      symbols.push_back({b, 0, 0, 0});
      Put(b);
    }
    return *this;
  }
  // A repeat of history entry `slot` 0..3, or with slot 4 a new distance.
  Script& Copy(uint32_t slot, uint32_t distance, uint32_t length) {
    qmk::Symbol s = {uint16_t(256 + slot), 0, 0, 0};
    if (slot == 4) {
      qmk::DistanceSymbol(distance - 1, s);
    } else {
      distance = history[slot] + 1;
    }
    s.lengthSym = uint8_t(length - (slot < 2 ? 2 : slot < 4 ? 3 : LengthBase(distance)));
    symbols.push_back(s);
    const uint32_t moved = slot < 4 ? slot : 3;
    std::rotate(history, history + moved, history + moved + 1);
    history[0] = distance - 1;
    for (uint32_t k = 0; k < length; k++) Put(ring[(data.size() - distance) & (ring.size() - 1)]);
    return *this;
  }
  Script& Match(uint32_t distance, uint32_t length) { return Copy(4, distance, length); }
  Script& Repeat(uint32_t index, uint32_t length) { return Copy(index, 0, length); }
  Bytes Encode() const { return EncodeBlocks({symbols}); }
};

Bytes CommentStream(uint32_t total, const std::vector<uint8_t>& widths, const std::vector<uint32_t>& symbols) {
  BitWriter w;
  w.Put(total, 15);
  const Code code(widths, w);
  for (uint32_t s : symbols) code.Put(w, s);
  return w.Finish();
}

}  // namespace

class Decoder : public PhaseTest {
 protected:
  Bytes Decode(const Bytes& archive, std::vector<int32_t>* chunks = nullptr) {
    EXPECT_TRUE(Open(archive) && ReadNextHeader());
    StartEntry();
    return DecodeEntry(chunks);
  }
  void ExpectDecodes(const Bytes& packed, const Bytes& data) {
    AllocateWorkBuffers();
    EXPECT_TRUE(Decode(OneEntry(packed, uint32_t(data.size()), ReferenceCrc(data))) == data);
    EXPECT_TRUE(EntryIntact());
  }
};

// Worked by hand: "abc", then a match of 6 from 3 back.
TEST_F(Decoder, WorkedStreamDecodesToAbcThreeTimes) {
  const Bytes packed = {0xBF, 0x14, 0x09, 0x83, 0x22, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                        0x02, 0xD6, 0xFF, 0xFF, 0x80, 0xB0, 0x14, 0x01, 0x00, 0x00, 0x72, 0x02};
  std::vector<int32_t> chunks;
  EXPECT_EQ(Decode(OneEntry(packed, 9, 0xB9D2B7E7), &chunks), Str("abcabcabc"));
  EXPECT_EQ(chunks, (std::vector<int32_t>{9}));
  EXPECT_TRUE(EntryIntact());
  EXPECT_EQ(codes.mainWidths[97], 2);
  EXPECT_EQ(codes.mainTable[0], MakeEntry(262, 2));    // code word 00
  EXPECT_EQ(codes.mainTable[1536], MakeEntry(97, 2));  // code word 11
}

// Scripts decode as the reference; so does a block count of 0 (65,536 symbols).
TEST_F(Decoder, TokensDecodeAsTheByteByByteReference) {
  auto check = [&](const std::string& what, const Script& s) {
    SCOPED_TRACE(what);
    ExpectDecodes(s.Encode(), s.data);
  };
  check("entry start", Script().Literals(Str("q")).Repeat(3, 4).Match(100, 4).Repeat(1, 3));
  Script s;
  s.Literals(SampleText(3000, 6));
  for (uint32_t distance = 1; distance <= 40; distance++) {
    for (uint32_t length : {2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,  13,  14,  15,  16,  17,  23,
                            24, 25, 31, 32, 33, 47, 48, 49, 63, 64, 65, 127, 128, 129, 255, 256, 257}) {
      s.Match(distance, length).Literals({uint8_t(distance * 31 + length)});
    }
  }
  check("short distances", s);
  // Copies across the ring's end, each followed by one reading just past it; every distance class's ends.
  const uint32_t ring = 1u << kMaxDictionaryBits;
  s = Script().Literals(SampleText(ring - 2500, 12));
  for (uint32_t k = 0; s.data.size() < ring + 6000; k++) {
    const uint32_t distance = k % 3 == 0 ? 1 + k % 13 : k % 3 == 1 ? 8 + k % 29 : 9000 + k;
    s.Match(distance, LengthBase(distance) + (k * 37) % 256).Match(ring - 1 - k % 20, 4 + k % 9);
    s.Repeat(k % 4, 3 + k % 7).Literals({uint8_t(k)});
  }
  for (uint32_t c = 1; c <= 22; c++) {
    for (uint32_t distance : {(1u << (c - 1)) + 1, (1u << c)}) {
      s.Match(distance, LengthBase(distance)).Match(distance, LengthBase(distance) + 255);
    }
  }
  check("ring", s);
  BitWriter w;
  std::vector<uint8_t> ab(kMainSymbols, 0);
  ab['a'] = ab['b'] = 1;
  const Code main(ab, w);
  Code(std::vector<uint8_t>(kLengthSymbols, 0), w);
  w.Put(0, 15);
  for (int k = 0; k < 65535; k++) main.Put(w, 'a');
  main.Put(w, 'b');
  ExpectDecodes(EncodeBlocks({{{'c', 0, 0, 0}}}, w), Str(std::string(65535, 'a') + "bc"));
}

// Refused entries deliver nothing and set a status; damaged ones deliver at most the case's bytes.
TEST_F(Decoder, RefusedAndDamagedEntries) {
  ASSERT_EQ(dictionary.bits, kMaxDictionaryBits);
  std::vector<FileEntry> e = {File("x", SampleText(10000, 2))};
  Pack(e, true);
  const Bytes &packed = e[0].packed, abc = Str("abc"), lzAbc = Script().Literals(abc).Encode();
  const uint32_t crc = ReferenceCrc(e[0].data), crcAbc = ReferenceCrc(abc);
  std::vector<uint8_t> widths(kMainSymbols, 0);
  widths[0] = 1;
  widths[1] = 12;
  BitWriter broken;
  for (int k = 0; k < 4000; k++) qmk::BlockWriter::WidthTable(widths.data(), kMainSymbols, &broken);
  const struct {
    const char* what;
    Bytes archive;
    int32_t status;
    uint32_t least, most;  // bytes delivered
    int overrun, codeFailed;  // -1: either
    std::vector<int32_t> chunks;  // empty: any
  } cases[] = {
      {"dictionary larger than the ring", OneEntry(lzAbc, 3, crcAbc, 1, 11), kStatusNoMemory, 0, 0, -1, -1, {}},
      {"packed data cut short", OneEntry(Bytes(packed.begin(), packed.begin() + long(packed.size() / 2)), 10000, crc),
       kStatusOk, 0, 9999, 1, -1, {}},
      {"huge claim", OneEntry(Bytes(8, 0xFF), 0xFFFFFFFFu, 0), kStatusOk, 0, (1u << 20) - 1, -1, -1, {}},
      {"broken code", OneEntry(broken.Finish(), 5000, 0), kStatusOk, 0, 5000, -1, 1, {1789, 1789, 1422}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    errorStatus = kStatusOk;
    std::vector<int32_t> chunks;
    const Bytes out = Decode(c.archive, &chunks);
    EXPECT_EQ(errorStatus, c.status);
    EXPECT_EQ(out.size(), lz.delivered);
    EXPECT_TRUE(lz.delivered >= c.least && lz.delivered <= c.most) << lz.delivered;
    EXPECT_TRUE(c.overrun < 0 || lz.inputOverrun == bool(c.overrun));
    EXPECT_TRUE(c.codeFailed < 0 || lz.codeFailed == bool(c.codeFailed));
    EXPECT_TRUE(c.chunks.empty() || chunks == c.chunks);
    EXPECT_FALSE(EntryIntact());
  }
  EXPECT_EQ(Decode(OneEntry(lzAbc, 3, crcAbc, 1, 0x10 | 10)), abc);  // the parameter's low 4 bits count
  EXPECT_TRUE(EntryIntact());
}

// Packed archives decode in chunks of 260..33,026 bytes; a solid one carries the ring over entries.
TEST_F(Decoder, PackedArchivesRoundTrip) {
  auto check = [&](std::vector<FileEntry> entries, bool solid, int32_t chunk) {
    Pack(entries, solid);
    MainSpec m;
    m.flags = solid ? 0x8000 : 0;
    AllocateWorkBuffers();
    ASSERT_TRUE(Open(BuildArchive(m, entries)));
    uint32_t start = 0;
    for (const FileEntry& e : entries) {
      SCOPED_TRACE(e.name);
      ASSERT_TRUE(ReadNextHeader());
      StartEntry();
      EXPECT_EQ(dictionary.writePos, start);
      std::vector<uint8_t> buf(33027);
      EXPECT_EQ(ReadChunk(buf.data(), 259) + ReadChunk(buf.data(), 33027), 0);
      std::vector<int32_t> chunks;
      ASSERT_TRUE(DecodeEntry(&chunks, chunk) == e.data);
      EXPECT_TRUE(EntryIntact());
      for (size_t k = 0; k + 1 < chunks.size(); k++) {
        EXPECT_GE(chunks[k], e.compType == 1 ? chunk - 259 : chunk);
        EXPECT_LE(chunks[k], chunk - e.compType);
      }
      start = solid ? dictionary.writePos : 0;
    }
    EXPECT_FALSE(ReadNextHeader());
    EXPECT_EQ(reader.chainEnd, ChainEnd::kImageEnd);
  };
  const int32_t chunkSizes[] = {260, 261, 1000, 2048, 4096, 33026};
  for (uint32_t seed = 0; seed < 6; seed++) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::vector<FileEntry> e = {Dir("dir"), File("dir\\text.txt", SampleText(30000 + seed * 1000, seed)),
                                File("stored.bin", RandomBytes(4000 + seed, seed)), File("again.bin", {})};
    e[2].compType = 0;
    e[3].data.assign(e[2].data.begin() + 100, e[2].data.end());
    check(e, seed % 2 == 0, chunkSizes[seed]);
  }
  std::vector<FileEntry> e = {File("zeros", Bytes((3u << 20) - 1000, 0)), File("stored", RandomBytes(1789, 99))};
  e[1].compType = 0;
  for (size_t n : {0u, 1u, 2u, 259u, 1789u, 1790u, 2047u, 2048u, 4095u, 4096u, 4097u, 8184u, 12272u, 100000u}) {
    e.push_back(File("random" + std::to_string(n), RandomBytes(n, uint32_t(n))));
    e.push_back(File("text" + std::to_string(n), SampleText(n, uint32_t(n))));
  }
  e.push_back(File("again", e[1].data));
  check(e, true, 2048);
}

// What DecodeComment leaves in a 2,024-byte field, "-" when it fails; a match at position 0 gives zeros.
using Comment = PhaseTest;

TEST_F(Comment, DecodesOrFails) {
  auto decoded = [&](const MainSpec& m) {
    EXPECT_TRUE(Open(MainHeader(m)));
    char text[kCommentFieldSize];
    memset(text, 'X', sizeof text);
    const bool ok = DecodeComment(text, sizeof text);
    EXPECT_TRUE(ok || text[0] == 0);
    return ok ? std::string(text) : "-";
  };
  const std::string text = "Quellmark: the the the installer installer, abcabcabcabc, 1234 1234 1234.";
  std::vector<uint8_t> lone(kMainSymbols, 0), broken(kMainSymbols, 0), ab(kMainSymbols, 0);
  lone['q'] = broken['q'] = 1;
  broken[1] = 12;
  ab['a'] = ab['b'] = ab[256] = ab[257] = 2;
  const std::vector<uint32_t> qs(2100, 'q');
  const struct {
    const char* what;
    std::string textField;
    std::optional<Bytes> comment;
    std::optional<uint16_t> commentSize;
    std::string expect;
  } cases[] = {
      {"context matches", "", qmk::PackComment(text), {}, text},
      {"behind a text field", "0123456789", qmk::PackComment(text), {}, text},
      {"size field beyond the header", "0123456789", qmk::PackComment(text), 60000, text},
      {"longer than the room", "0123456789", CommentStream(5000, lone, qs), {}, std::string(2014, 'q')},
      {"as long as the room", "0123456789", CommentStream(2015, lone, qs), {}, std::string(2014, 'q')},
      {"longer than the field", "", CommentStream(5000, lone, qs), {}, std::string(2023, 'q')},
      {"absent", "", {}, {}, "-"},
      {"empty", "", Bytes(), {}, "-"},
      {"broken code", "", CommentStream(10, broken, {}), {}, "-"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decoded({0x8000, c.textField, c.comment, c.commentSize}), c.expect) << c.what;
  }
  const char* out = reinterpret_cast<const char*>(headerRecord.main.variable) + 2;
  decoded({0x8000, "", CommentStream(6, ab, {'a', 256, 'b', 256}), {}});
  EXPECT_EQ(std::string(out, 7), std::string("aaabaa\0", 7));
  decoded({0x8000, "", CommentStream(4, ab, {257, 'b'}), {}});
  EXPECT_EQ(std::string(out, 5), std::string("\0\0\0b\0", 5));
  errorStatus = kStatusReadFailed;
  EXPECT_EQ(decoded({0x8000, "", qmk::PackComment(text), {}}), "-");
}
