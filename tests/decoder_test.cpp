// decoder_test.cpp - the LZ77 block decoder and the comment decoder: a
// hand-worked stream, token streams against a byte-by-byte reference,
// block counts, chunking, refused entries, damage, whole archives, comments.
#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"
#include "tests/testenv.h"

using namespace qmktest;

namespace {

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A one-entry archive over hand-made packed bytes.
Bytes OneEntry(const Bytes& packed, uint32_t unpackedSize, uint32_t crc, uint8_t compType = 1,
               uint16_t compParam = 10, uint16_t flags = 0x8001) {
  std::vector<FileEntry> e(1);
  e[0].name = "x";
  e[0].packed = packed;
  e[0].unpackedSize = unpackedSize;
  e[0].fileCrc = crc;
  e[0].compType = compType;
  e[0].compParam = compParam;
  e[0].flags = flags;
  return BuildArchive({}, e);
}

// Tokens and the bytes an obviously correct decoder makes of them: a 1 MiB
// ring, zero-filled, copied into one byte at a time, forward; each distance
// used moves to the front of the history (distances - 1, all 0 at first).
struct Script {
  std::vector<uint8_t> ring = std::vector<uint8_t>(size_t(1) << kMaxDictionaryBits);
  uint32_t history[4] = {0, 0, 0, 0};
  Bytes data;
  std::vector<Token> tokens;

  void Literals(const Bytes& bytes) {
    for (uint8_t b : bytes) {
      tokens.push_back(Token::Literal(b));
      ring[data.size() & (ring.size() - 1)] = b;
      data.push_back(b);
    }
  }
  void Copy(uint32_t slot, uint32_t distance, uint32_t length) {
    std::rotate(history, history + slot, history + slot + 1);
    history[0] = distance - 1;
    for (uint32_t k = 0; k < length; k++) {
      data.push_back(ring[(data.size() - distance) & (ring.size() - 1)]);
      ring[(data.size() - 1) & (ring.size() - 1)] = data.back();
    }
  }
  void Match(uint32_t distance, uint32_t length) {
    tokens.push_back(Token::Match(distance, length));
    Copy(3, distance, length);
  }
  void Repeat(uint32_t index, uint32_t length) {
    tokens.push_back(Token::Repeat(index, length));
    Copy(index, history[index] + 1, length);
  }
};

// A packed comment of `total` characters: a width table, then the symbols'
// code words.
Bytes CommentStream(uint32_t total, const std::vector<uint8_t>& widths, const std::vector<uint32_t>& symbols) {
  const CodeWords cw = AssignCodeWords(widths, kCodeBits);
  BitWriter w;
  w.Put(total, 15);
  PutWidthTable(w, widths);
  for (uint32_t s : symbols) w.Put(cw.words[s], cw.widths[s]);
  return w.Finish();
}

// The shortest length a new distance takes.
uint32_t LengthBase(uint32_t distance) { return distance <= 256 ? 2 : distance <= 8192 ? 3 : 4; }

}  // namespace

class Decoder : public PhaseTest {
 protected:
  // Opens a one-entry archive and decodes its entry.
  Bytes Decode(const Bytes& archive, std::vector<int32_t>* chunks = nullptr, int32_t n = 2048) {
    EXPECT_TRUE(Open(archive));
    EXPECT_TRUE(ReadNextHeader());
    StartEntry();
    return DecodeEntry(chunks, n);
  }
  // Decodes with a fresh ring, as the reference's, and expects `data`, intact.
  void ExpectDecodes(const Bytes& packed, const Bytes& data) {
    AllocateWorkBuffers();
    EXPECT_TRUE(Decode(OneEntry(packed, uint32_t(data.size()), ReferenceCrc(data))) == data);
    EXPECT_TRUE(EntryIntact());
  }
};

TEST_F(Decoder, WorkedStreamDecodesToAbcThreeTimes) {
  const Bytes packed = {0xBF, 0x14, 0x09, 0x83, 0x22, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                        0x02, 0xD6, 0xFF, 0xFF, 0x80, 0xB0, 0x14, 0x01, 0x00, 0x00, 0x72, 0x02};
  std::vector<int32_t> chunks;
  EXPECT_EQ(Decode(OneEntry(packed, 9, 0xB9D2B7E7), &chunks), Str("abcabcabc"));
  EXPECT_EQ(chunks, (std::vector<int32_t>{9}));
  EXPECT_TRUE(EntryIntact());
  // The block's codes: symbols 97, 98, 99, 262 of width 2.
  EXPECT_EQ(codes.mainWidths[97], 2);
  EXPECT_EQ(codes.mainTable[0], MakeEntry(262, 2));    // code word 00
  EXPECT_EQ(codes.mainTable[1536], MakeEntry(97, 2));  // code word 11
}

// Each script must decode to the reference's bytes.
TEST_F(Decoder, TokensDecodeAsTheByteByByteReference) {
  std::vector<std::pair<std::string, std::function<void(Script&)>>> scripts = {
      // The history is all zeros at the entry's start (a repeat copies from
      // 1 back), and a distance before the first byte reads zeros.
      {"entry start", [](Script& s) {
         s.Literals(Str("q"));
         s.Repeat(3, 4);
         s.Match(100, 4);
         s.Repeat(1, 3);
       }},
      // Distances below 8 and 16 repeat the bytes being written; every length
      // up to 17 places its short pieces differently, and longer ones on both
      // sides of multiples of 8 and 16 end with a partial piece.
      {"short distances", [](Script& s) {
         s.Literals(SampleText(3000, 6));
         for (uint32_t distance = 1; distance <= 40; distance++) {
           for (uint32_t length : {2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,  13,  14,  15,  16,  17,  23,
                                   24, 25, 31, 32, 33, 47, 48, 49, 63, 64, 65, 127, 128, 129, 255, 256, 257}) {
             s.Match(distance, length);
             s.Literals({uint8_t(distance * 31 + length)});
           }
         }
       }},
      // A ring's worth of text, then matches that cross the ring's end at
      // shifting positions, each followed by one from almost a whole ring back
      // that reads the bytes just past it: a copy that stored anything beyond
      // its own end shows there. Then every distance class at both of its
      // ends (values 2^(c-1) and 2^c - 1), with the shortest and the longest
      // length: the class's extra bits and the length base at 256 and 8,192.
      {"ring", [](Script& s) {
         const uint32_t ring = 1u << kMaxDictionaryBits;
         s.Literals(SampleText(ring - 2500, 12));
         for (uint32_t k = 0; s.data.size() < ring + 6000; k++) {
           const uint32_t distance = k % 3 == 0 ? 1 + k % 13 : k % 3 == 1 ? 8 + k % 29 : 9000 + k;
           s.Match(distance, LengthBase(distance) + (k * 37) % 256);
           s.Match(ring - 1 - k % 20, 4 + k % 9);
           s.Literals({uint8_t(k)});
         }
         for (uint32_t c = 1; c <= 22; c++) {
           for (uint32_t distance : {(1u << (c - 1)) + 1, (1u << c)}) {
             s.Match(distance, LengthBase(distance));
             s.Match(distance, LengthBase(distance) + 255);
           }
         }
       }},
  };
  // Random literals, new distances near and far, and repeats of each entry
  // of the history, with random lengths.
  for (uint32_t seed = 1; seed <= 30; seed++) {
    scripts.push_back({"seed " + std::to_string(seed), [seed](Script& s) {
                         std::mt19937 rng(seed);
                         s.Literals(SampleText(1000, seed));
                         while (s.data.size() < 40000) {
                           const uint32_t kind = rng() % 4;
                           const uint32_t bits = rng() % 16;
                           const uint32_t distance = 1 + rng() % (2u << bits);
                           const uint32_t index = rng() % 4;
                           if (kind == 0) s.Literals({uint8_t(distance)});
                           if (kind == 1) s.Match(distance, LengthBase(distance) + rng() % 256);
                           if (kind >= 2) s.Repeat(index, (index < 2 ? 2 : 3) + rng() % 256);
                         }
                       }});
  }
  for (const auto& [what, build] : scripts) {
    SCOPED_TRACE(what);
    Script s;
    build(s);
    ExpectDecodes(EncodeTokens(s.tokens), s.data);
  }
}

// The 15-bit symbol count of a block: 1 reads a new block header after each
// symbol, 0 stands for 65,536 symbols.
TEST_F(Decoder, BlockCountsOneAndZero) {
  std::vector<Block> blocks;
  for (char ch : std::string("hello")) blocks.push_back({{Token::Literal(uint8_t(ch))}, -1});
  ExpectDecodes(EncodeBlocks(blocks), Str("hello"));
  Bytes expect(65535, 'a');
  expect.push_back('b');
  blocks = {{std::vector<Token>(65535, Token::Literal('a')), 0}, {{Token::Literal('c')}, -1}};
  blocks[0].tokens.push_back(Token::Literal('b'));
  expect.push_back('c');
  ExpectDecodes(EncodeBlocks(blocks), expect);
}

// Entries StartEntry refuses deliver nothing and set a status.
TEST_F(Decoder, RefusedEntries) {
  struct Case {
    const char* what;
    uint16_t flags;
    uint8_t compType;
    uint16_t compParam;
    int32_t status;
  } cases[] = {
      {"locked", 0x4001, 0, 10, kStatusUnsupported},
      {"unknown method", 0x8001, 2, 10, kStatusUnsupported},
      {"dictionary larger than the ring", 0x8001, 1, 11, kStatusNoMemory},
      {"only the low 4 bits of the parameter count", 0x8001, 1, 0x10 | 10, kStatusOk},
  };
  ASSERT_EQ(dictionary.bits, kMaxDictionaryBits);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    errorStatus = kStatusOk;
    Script s;
    s.Literals(Str("abc"));
    const Bytes packed = c.compType == 1 ? EncodeTokens(s.tokens) : s.data;
    const Bytes out = Decode(OneEntry(packed, 3, ReferenceCrc(s.data), c.compType, c.compParam, c.flags));
    EXPECT_EQ(errorStatus, c.status);
    EXPECT_EQ(out, c.status == kStatusOk ? s.data : Bytes());
    EXPECT_EQ(EntryIntact(), c.status == kStatusOk);
  }
}

// A damaged entry is never intact, and the decoder tells why: a wrong CRC,
// packed data used up (which also ends a huge claim at once), a code that
// cannot be built (which fills each chunk to its limit).
TEST_F(Decoder, DamageIsReported) {
  std::vector<FileEntry> e = {File("x", SampleText(10000, 2))};
  Pack(e, true);
  const Bytes& packed = e[0].packed;
  const uint32_t crc = ReferenceCrc(e[0].data);
  Decode(OneEntry(packed, 10000, crc ^ 1));
  EXPECT_FALSE(EntryIntact());
  EXPECT_EQ(lz.delivered, 10000u);

  Decode(OneEntry(Bytes(packed.begin(), packed.begin() + long(packed.size() / 2)), 10000, crc));
  EXPECT_TRUE(lz.inputOverrun);
  EXPECT_LT(lz.delivered, 10000u);
  EXPECT_FALSE(EntryIntact());

  Decode(OneEntry(Bytes(8, 0xFF), 0xFFFFFFFFu, 0));
  EXPECT_LT(lz.delivered, 1u << 20);
  EXPECT_FALSE(EntryIntact());

  std::vector<uint8_t> widths(kMainSymbols, 0);
  widths[0] = 1;
  widths[1] = 12;
  BitWriter w;
  for (int k = 0; k < 4000; k++) PutWidthTable(w, widths);
  std::vector<int32_t> chunks;
  Decode(OneEntry(w.Finish(), 5000, 0), &chunks);
  EXPECT_TRUE(lz.codeFailed);
  EXPECT_EQ(chunks, (std::vector<int32_t>{1789, 1789, 1422}));
  EXPECT_FALSE(EntryIntact());
}

// Archives packed by qmkpack's encoder decode back to their data in chunks
// of every size the decoder takes (260..33,026; others deliver nothing), each
// at least 259 bytes short of the size (the limit is tested between symbols)
// but for the entry's last. In a solid archive the ring and its write
// position carry over from one entry to the next, stored entries included
// (a later entry repeats one); otherwise every entry starts at position 0.
// Stored entries come in pieces of the chunk size. Entry sizes lie around
// the chunk and the 4,096-byte word buffer and its refills, and a run is
// longer than the ring.
TEST_F(Decoder, PackedArchivesRoundTrip) {
  auto check = [&](std::vector<FileEntry> entries, bool solid, int32_t chunk) {
    Pack(entries, solid);
    MainSpec m;
    m.flags = solid ? 0x8000 : 0;
    AllocateWorkBuffers();  // a fresh phase per archive, as each run of the installer has
    ASSERT_TRUE(Open(BuildArchive(m, entries)));
    uint32_t start = 0;
    for (const FileEntry& e : entries) {
      ASSERT_TRUE(ReadNextHeader());
      StartEntry();
      EXPECT_EQ(dictionary.writePos, start) << e.name;
      std::vector<uint8_t> buf(33027);
      EXPECT_EQ(ReadChunk(buf.data(), 259), 0);
      EXPECT_EQ(ReadChunk(buf.data(), 33027), 0);
      std::vector<int32_t> chunks;
      ASSERT_TRUE(DecodeEntry(&chunks, chunk) == e.data) << e.name;
      EXPECT_TRUE(EntryIntact()) << e.name;
      for (size_t k = 0; k + 1 < chunks.size(); k++) {
        EXPECT_GE(chunks[k], e.compType == 1 ? chunk - 259 : chunk);
        EXPECT_LT(chunks[k], chunk + (e.compType == 0 ? 1 : 0));
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
  // A stored entry crosses the ring's end; the last entry repeats it.
  std::vector<FileEntry> e = {File("zeros", Bytes((3u << 20) - 1000, 0)), File("stored", RandomBytes(1789, 99))};
  e[1].compType = 0;
  for (size_t n : {0u, 1u, 2u, 259u, 1789u, 1790u, 2047u, 2048u, 4095u, 4096u, 4097u, 8184u, 12272u, 100000u}) {
    e.push_back(File("random" + std::to_string(n), RandomBytes(n, uint32_t(n))));
    e.push_back(File("text" + std::to_string(n), SampleText(n, uint32_t(n))));
  }
  e.push_back(File("again", e[1].data));
  check(e, true, 2048);
}

// What DecodeComment leaves in a field of 2,024 bytes, or "-" when it fails
// (the field then holds an empty text).
class Comment : public PhaseTest {
 protected:
  std::string Decoded(const MainSpec& m) {
    EXPECT_TRUE(Open(MainHeader(m)));
    char text[kCommentFieldSize];
    memset(text, 'X', sizeof text);
    const bool ok = DecodeComment(text, sizeof text);
    EXPECT_TRUE(ok || text[0] == 0);
    return ok ? std::string(text) : "-";
  }
};

TEST_F(Comment, DecodesOrFails) {
  const std::string text = "Quellmark: the the the installer installer, abcabcabcabc, 1234 1234 1234.";
  // T characters of a lone symbol: cut to the room less one (2,025 less the
  // text field, less 1), and to what the field holds (2,023).
  std::vector<uint8_t> widths(kMainSymbols, 0);
  widths['q'] = 1;
  const Bytes longComment = CommentStream(5000, widths, std::vector<uint32_t>(2100, 'q'));
  const Bytes roomLong = CommentStream(2015, widths, std::vector<uint32_t>(2100, 'q'));
  widths[1] = 12;  // a code that cannot be built
  struct Case {
    const char* what;
    std::string textField;
    std::optional<Bytes> comment;
    std::optional<uint16_t> commentSize;
    std::string expect;
  } cases[] = {
      {"context matches", "", EncodeComment(text), {}, text},
      {"behind a text field", "0123456789", EncodeComment(text), {}, text},
      {"size field beyond the header", "0123456789", EncodeComment(text), 60000, text},
      {"longer than the room", "0123456789", longComment, {}, std::string(2014, 'q')},
      {"as long as the room", "0123456789", roomLong, {}, std::string(2014, 'q')},
      {"longer than the field", "", longComment, {}, std::string(2023, 'q')},
      {"absent", "", {}, {}, "-"},
      {"empty", "", Bytes(), {}, "-"},
      {"broken code", "", CommentStream(10, widths, {}), {}, "-"},
  };
  for (const Case& c : cases) {
    MainSpec m;
    m.textField = c.textField;
    m.comment = c.comment;
    m.commentSizeField = c.commentSize;
    EXPECT_EQ(Decoded(m), c.expect) << c.what;
  }
  errorStatus = kStatusReadFailed;  // nothing is decoded once a status is set
  MainSpec m;
  m.comment = EncodeComment(text);
  EXPECT_EQ(Decoded(m), "-");
}

// A match copies from the position after the last one with the same
// two-byte context sum; before any context from position 0, and at position
// 0 itself it has no source and gives zeros. It stops at the length.
TEST_F(Comment, MatchesBeforeAnyContext) {
  std::vector<uint8_t> widths(kMainSymbols, 0);
  widths['a'] = widths['b'] = widths[256] = widths[257] = 2;
  auto decode = [&](uint32_t total, const std::vector<uint32_t>& symbols) {
    MainSpec m;
    m.comment = CommentStream(total, widths, symbols);
    Decoded(m);
    const uint8_t* out = headerRecord.main.variable + 2;
    return std::string(out, out + total + 1);
  };
  EXPECT_EQ(decode(6, {'a', 256, 'b', 256}), std::string("aaabaa") + '\0');
  EXPECT_EQ(decode(4, {257, 'b'}), std::string("\0\0\0b\0", 5));
}
