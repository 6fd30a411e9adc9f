// decoder_test.cpp - the LZ77 block decoder: the worked stream, chunking,
// stored entries, distance classes and length bases, the repeat history,
// block counts, dictionary limits, solid and non-solid rings, comments, and
// the damage the decoder reports.
#include <cstring>
#include <string>

#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"
#include "tests/testenv.h"

using namespace qmktest;

namespace {

// A one-entry archive over hand-made packed bytes.
Bytes OneEntry(const Bytes& packed, uint32_t unpackedSize, uint32_t crc, uint8_t compType = 1,
               uint16_t compParam = 10) {
  std::vector<FileEntry> e(1);
  e[0].name = "x";
  e[0].packed = packed;
  e[0].unpackedSize = unpackedSize;
  e[0].fileCrc = crc;
  e[0].compType = compType;
  e[0].compParam = compParam;
  return BuildArchive({}, e);
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Literals for every byte of `prefix`, then the given tokens.
std::vector<Token> After(const Bytes& prefix, std::vector<Token> tail) {
  std::vector<Token> t;
  for (uint8_t b : prefix) t.push_back(Token::Literal(b));
  t.insert(t.end(), tail.begin(), tail.end());
  return t;
}

// Appends a match to `data` the way the decoder must produce it: byte by
// byte, forward, reading zeros before the first byte.
void ApplyMatch(Bytes& data, std::vector<Token>& t, uint32_t distance, uint32_t length) {
  t.push_back(Token::Match(distance, length));
  for (uint32_t k = 0; k < length; k++) {
    const size_t at = data.size();
    data.push_back(at >= distance ? data[at - distance] : 0);
  }
}

void ApplyLiteral(Bytes& data, std::vector<Token>& t, uint8_t b) {
  t.push_back(Token::Literal(b));
  data.push_back(b);
}

}  // namespace

class DecoderTest : public PhaseTest {
 protected:
  // Opens a one-entry archive and decodes its entry.
  Bytes Decode(const Bytes& archive, std::vector<int32_t>* chunks = nullptr) {
    EXPECT_TRUE(Open(archive));
    EXPECT_TRUE(ReadNextHeader());
    StartEntry();
    return DecodeEntry(chunks);
  }
  Bytes DecodeTokens(const std::vector<Token>& tokens, uint32_t size) {
    return Decode(OneEntry(EncodeTokens(tokens), size, 0));
  }
};

TEST_F(DecoderTest, WorkedStreamDecodesToAbcThreeTimes) {
  const Bytes packed = {0xBF, 0x14, 0x09, 0x83, 0x22, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                        0x02, 0xD6, 0xFF, 0xFF, 0x80, 0xB0, 0x14, 0x01, 0x00, 0x00, 0x72, 0x02};
  std::vector<int32_t> chunks;
  const Bytes out = Decode(OneEntry(packed, 9, 0xB9D2B7E7), &chunks);
  EXPECT_EQ(std::string(out.begin(), out.end()), "abcabcabc");
  EXPECT_EQ(chunks, (std::vector<int32_t>{9}));
  EXPECT_EQ(lz.crc, 0xB9D2B7E7u);
  EXPECT_TRUE(EntryIntact());
  // The block's codes: symbols 97, 98, 99, 262 of width 2.
  EXPECT_EQ(codes.mainWidths[97], 2);
  EXPECT_EQ(codes.mainWidths[262], 2);
  EXPECT_EQ(codes.mainTable[0], MakeEntry(262, 2));   // code word 00
  EXPECT_EQ(codes.mainTable[1536], MakeEntry(97, 2)); // code word 11
}

TEST_F(DecoderTest, StoredEntryComesInPiecesAndFeedsTheRing) {
  const Bytes stored = RandomBytes(3000, 11);
  std::vector<FileEntry> e(2);
  e[0].name = "stored.bin";
  e[0].data = stored;
  e[0].compType = 0;
  e[1].name = "copy.bin";
  e[1].data = Bytes(stored.begin(), stored.begin() + 200);
  Pack(e, true);
  // The second entry must be one match into the first.
  e[1].packed = EncodeTokens({Token::Match(3000, 200)});
  ASSERT_TRUE(Open(BuildArchive({}, e)));
  ASSERT_TRUE(ReadNextHeader());
  StartEntry();
  std::vector<int32_t> chunks;
  EXPECT_EQ(DecodeEntry(&chunks), stored);
  EXPECT_EQ(chunks, (std::vector<int32_t>{2048, 952}));
  EXPECT_TRUE(EntryIntact());
  ASSERT_TRUE(ReadNextHeader());
  StartEntry();
  EXPECT_EQ(DecodeEntry(), e[1].data);
  EXPECT_TRUE(EntryIntact());
}

TEST_F(DecoderTest, ChunkSizes) {
  const Bytes data = RandomBytes(5000, 3);
  std::vector<int32_t> chunks;
  // 1,591 bytes: one chunk, limited by the remaining size.
  Bytes small(data.begin(), data.begin() + 1591);
  EXPECT_EQ(Decode(OneEntry(EncodeTokens(After(small, {})), 1591, ReferenceCrc(small)), &chunks), small);
  EXPECT_EQ(chunks, (std::vector<int32_t>{1591}));
  // 2,876 bytes with long matches: a chunk of at least 1,789, then the rest.
  Bytes big(data.begin(), data.begin() + 1000);
  std::vector<Token> t = After(big, {});
  while (big.size() < 2876) {
    const uint32_t n = uint32_t(std::min<size_t>(250, 2876 - big.size()));
    t.push_back(Token::Match(1000, n));
    for (uint32_t k = 0; k < n; k++) big.push_back(big[big.size() - 1000]);
  }
  chunks.clear();
  EXPECT_EQ(Decode(OneEntry(EncodeTokens(t), 2876, ReferenceCrc(big)), &chunks), big);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_GE(chunks[0], 1789);
  EXPECT_LE(chunks[0], 2047);
  EXPECT_EQ(chunks[0] + chunks[1], 2876);
  EXPECT_TRUE(EntryIntact());
}

TEST_F(DecoderTest, ShortDistanceClasses) {
  // Symbol 261 with length symbol 0: 2 bytes from 2 back.
  EXPECT_EQ(DecodeTokens(After(Str("xy"), {Token::Match(2, 2)}), 4), Str("xyxy"));
  // Symbol 260 with length symbol 5: the last byte 7 more times.
  EXPECT_EQ(DecodeTokens(After(Str("z"), {Token::Match(1, 7)}), 8), Str("zzzzzzzz"));
}

TEST_F(DecoderTest, DistanceClassTenReadsNineExtraBits) {
  const Bytes prefix = RandomBytes(1100, 5);
  for (uint32_t v : {512u, 700u, 1023u}) {
    EXPECT_EQ(CodeDistance(v + 1).symbol, 270u);
    EXPECT_EQ(CodeDistance(v + 1).extraBits, 9);
    Bytes expect = prefix;
    for (int k = 0; k < 258; k++) expect.push_back(expect[expect.size() - v - 1]);
    EXPECT_EQ(DecodeTokens(After(prefix, {Token::Match(v + 1, 258)}), uint32_t(expect.size())), expect) << v;
  }
}

TEST_F(DecoderTest, LengthBaseFollowsTheDistanceValue) {
  // Length symbol 0 copies exactly the base: 2 up to v = 255, 3 up to 8,191,
  // else 4. A hand-written stream, so a wrong base shows in the byte count.
  const Bytes prefix = RandomBytes(9000, 6);
  struct Case {
    uint32_t v, base;
  } cases[] = {{255, 2}, {256, 3}, {8191, 3}, {8192, 4}};
  for (const Case& c : cases) {
    const DistanceCode d = CodeDistance(c.v + 1);
    EXPECT_EQ(d.lengthBase, c.base);
    std::vector<uint32_t> mainCounts(kMainSymbols, 0);
    std::vector<uint8_t> mw(kMainSymbols, 0);
    for (int s = 0; s < 256; s++) mw[size_t(s)] = 9;
    mw[d.symbol] = 9;
    std::vector<uint8_t> lw(kLengthSymbols, 0);
    lw[0] = 1;
    lw[1] = 1;
    const CodeWords mc = AssignCodeWords(mw, kCodeBits);
    const CodeWords lc = AssignCodeWords(lw, kCodeBits);
    BitWriter w;
    PutWidthTable(w, mw);
    PutWidthTable(w, lw);
    w.Put(uint32_t(prefix.size() + 1), 15);
    for (uint8_t b : prefix) w.Put(mc.words[b], 9);
    w.Put(mc.words[d.symbol], 9);
    w.Put(d.extra, d.extraBits);
    w.Put(lc.words[0], 1);
    Bytes expect = prefix;
    for (uint32_t k = 0; k < c.base; k++) expect.push_back(expect[expect.size() - c.v - 1]);
    EXPECT_EQ(Decode(OneEntry(w.Finish(), uint32_t(expect.size()), ReferenceCrc(expect))), expect) << c.v;
    EXPECT_TRUE(EntryIntact()) << c.v;
  }
}

TEST_F(DecoderTest, RepeatSymbolsMoveTheirDistanceToTheFront) {
  // 64 distinct bytes, then new distances Z=40, Y=30, X=20, W=10 (W the most
  // recent); then two repeats. Each case must copy exactly what the same
  // matches with explicit distances copy.
  Bytes p(64);
  for (int k = 0; k < 64; k++) p[size_t(k)] = uint8_t('0' + k);
  const std::vector<Token> setup = {Token::Match(40, 2), Token::Match(30, 2), Token::Match(20, 2),
                                    Token::Match(10, 2)};
  auto tail = [&](std::vector<Token> last) {
    std::vector<Token> t = After(p, setup);
    t.insert(t.end(), last.begin(), last.end());
    const Bytes out = DecodeTokens(t, 64 + 8 + 6);
    return std::string(out.begin() + 72, out.end());
  };
  auto plain = [&](uint32_t d1, uint32_t d2) { return tail({Token::Match(d1, 3), Token::Match(d2, 3)}); };
  // 258 takes Y and leaves Y, W, X, Z: repeat 1 then takes W.
  EXPECT_EQ(tail({Token::Repeat(2, 3), Token::Repeat(1, 3)}), plain(30, 10));
  // 259 takes Z and leaves Z, W, X, Y: repeat 3 then takes Y.
  EXPECT_EQ(tail({Token::Repeat(3, 3), Token::Repeat(3, 3)}), plain(40, 30));
  // 257 takes X and leaves X, W, Y, Z: repeat 1 then takes W.
  EXPECT_EQ(tail({Token::Repeat(1, 3), Token::Repeat(1, 3)}), plain(20, 10));
  // 256 changes nothing: repeat 0 twice takes W twice.
  EXPECT_EQ(tail({Token::Repeat(0, 3), Token::Repeat(0, 3)}), plain(10, 10));
  // The distances give different bytes, so the cases can fail.
  EXPECT_NE(plain(30, 10), plain(30, 20));
  EXPECT_NE(plain(40, 30), plain(40, 20));
}

TEST_F(DecoderTest, HistoryStartsAtZeroForEveryEntry) {
  // A repeat symbol right at the start of an entry copies from 1 back.
  EXPECT_EQ(DecodeTokens(After(Str("q"), {Token::Repeat(3, 4)}), 5), Str("qqqqq"));
}

TEST_F(DecoderTest, BlockCountOneReadsANewHeaderAfterEachSymbol) {
  std::vector<Block> blocks;
  for (char ch : std::string("hello")) {
    Block b;
    b.tokens = {Token::Literal(uint8_t(ch))};
    blocks.push_back(b);
  }
  EXPECT_EQ(Decode(OneEntry(EncodeBlocks(blocks), 5, 0)), Str("hello"));
}

TEST_F(DecoderTest, BlockCountZeroRunsFor65536Symbols) {
  Block b;
  b.tokens.assign(65536, Token::Literal('a'));
  b.tokens[65535] = Token::Literal('b');
  b.blockCount = 0;
  Block next;
  next.tokens = {Token::Literal('c')};
  Bytes expect(65535, 'a');
  expect.push_back('b');
  expect.push_back('c');
  EXPECT_EQ(Decode(OneEntry(EncodeBlocks({b, next}), 65537, ReferenceCrc(expect))), expect);
  EXPECT_TRUE(EntryIntact());
}

TEST_F(DecoderTest, DictionarySizeIsCheckedAtEntryStart) {
  const Bytes packed = EncodeTokens(After(Str("abc"), {}));
  ASSERT_EQ(dictionary.bits, 20);
  Decode(OneEntry(packed, 3, 0, 1, 11));
  EXPECT_EQ(errorStatus, kStatusNoMemory);
  EXPECT_TRUE(DecodeEntry().empty());
  errorStatus = kStatusOk;
  EXPECT_EQ(Decode(OneEntry(packed, 3, 0, 1, 0x10 | 10)), Str("abc"));  // only the low 4 bits count
  EXPECT_EQ(errorStatus, kStatusOk);
}

TEST_F(DecoderTest, LockedAndUnknownEntriesAreRefused) {
  std::vector<FileEntry> e(1);
  e[0].name = "locked";
  e[0].data = Str("abc");
  e[0].compType = 0;
  Pack(e, true);
  e[0].flags = 0x4001;
  EXPECT_TRUE(Decode(BuildArchive({}, e)).empty());
  EXPECT_EQ(errorStatus, kStatusUnsupported);
  errorStatus = kStatusOk;
  EXPECT_TRUE(Decode(OneEntry(Str("abc"), 3, 0, 2)).empty());
  EXPECT_EQ(errorStatus, kStatusUnsupported);
}

TEST_F(DecoderTest, SolidRingCarriesOverAndNonSolidStartsAtZero) {
  for (bool solid : {true, false}) {
    std::vector<FileEntry> e(3);
    e[0].name = "a";
    e[0].data = RandomBytes(5000, 1);
    e[1].name = "b";
    e[1].data = RandomBytes(3000, 2);
    e[2].name = "c";
    e[2].data = RandomBytes(100, 3);
    Pack(e, solid);
    MainSpec m;
    m.flags = solid ? 0x8000 : 0;
    ASSERT_TRUE(Open(BuildArchive(m, e)));
    uint32_t expectedStart = 0;
    for (const FileEntry& f : e) {
      ASSERT_TRUE(ReadNextHeader());
      StartEntry();
      EXPECT_EQ(dictionary.writePos, expectedStart) << solid;
      EXPECT_EQ(DecodeEntry(), f.data);
      EXPECT_TRUE(EntryIntact());
      expectedStart = solid ? dictionary.writePos : 0;
    }
  }
}

TEST_F(DecoderTest, SolidEntryCanReferToThePreviousEntry) {
  std::vector<FileEntry> e(2);
  e[0].name = "a";
  e[0].data = SampleText(40000, 9);
  e[1].name = "b";
  e[1].data = e[0].data;
  Pack(e, true);
  EXPECT_LT(e[1].packed.size(), 2000u);  // all matches into entry a
  ASSERT_TRUE(Open(BuildArchive({}, e)));
  for (const FileEntry& f : e) {
    ASSERT_TRUE(ReadNextHeader());
    StartEntry();
    EXPECT_EQ(DecodeEntry(), f.data);
    EXPECT_TRUE(EntryIntact());
  }
}

TEST_F(DecoderTest, RingWrapsInsideMatchesAndChunks) {
  // More than the ring's 1 MiB, with long matches across the wrap point.
  Bytes data = RandomBytes(70000, 4);
  std::vector<Token> t = After(data, {});
  while (data.size() < (1u << 20) + 300000) {
    t.push_back(Token::Match(65536 + 17, 259));
    for (int k = 0; k < 259; k++) data.push_back(data[data.size() - 65536 - 17]);
    t.push_back(Token::Literal(uint8_t(data.size())));
    data.push_back(uint8_t(data.size()));
  }
  EXPECT_EQ(Decode(OneEntry(EncodeTokens(t), uint32_t(data.size()), ReferenceCrc(data))), data);
  EXPECT_TRUE(EntryIntact());
}

TEST_F(DecoderTest, EveryShortDistanceAndLengthCopiesLikeAByteLoop) {
  // Distances below 8 and 16 repeat bytes being written; every length up to
  // 17 places its short pieces differently, and longer ones on both sides of
  // multiples of 8 and 16 end with a partial piece.
  Bytes data = SampleText(3000, 6);
  std::vector<Token> t = After(data, {});
  const uint32_t lengths[] = {2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,  13,  14,  15,  16,  17, 23,
                              24, 25, 31, 32, 33, 47, 48, 49, 63, 64, 65, 127, 128, 129, 255, 256, 257};  // 257: the longest at these distances
  for (uint32_t distance = 1; distance <= 40; distance++) {
    for (const uint32_t length : lengths) {
      ApplyMatch(data, t, distance, length);
      ApplyLiteral(data, t, uint8_t(distance * 31 + length));
    }
  }
  EXPECT_EQ(Decode(OneEntry(EncodeTokens(t), uint32_t(data.size()), ReferenceCrc(data))), data);
  EXPECT_TRUE(EntryIntact());
}

TEST_F(DecoderTest, MatchesAtTheRingsEndWriteOnlyTheirOwnBytes) {
  ASSERT_EQ(dictionary.bits, kMaxDictionaryBits);
  const uint32_t ring = 1u << kMaxDictionaryBits;
  // Text up to shortly before the ring's end, then matches of every length
  // class and short and long distances that cross the end at shifting
  // positions. After each one, a match from almost a whole ring back reads
  // the bytes just past it (zeros before the first lap, a lap-old text
  // after): a copy that stored anything beyond its own end shows there. The
  // same distances, as copies, have their source just ahead of the
  // destination.
  Bytes data = SampleText(ring - 2500, 12);
  std::vector<Token> t = GreedyTokens(data, 0, data.size());
  for (uint32_t k = 0; data.size() < ring + 6000; k++) {
    const uint32_t distance = k % 3 == 0 ? 1 + k % 13 : k % 3 == 1 ? 8 + k % 29 : 9000 + k;
    const uint32_t base = distance <= 256 ? 2 : 3;  // the shortest length at that distance
    ApplyMatch(data, t, distance, base + (k * 37) % 256);
    ApplyMatch(data, t, ring - 1 - k % 20, 4 + k % 9);
    ApplyLiteral(data, t, uint8_t(k));
  }
  EXPECT_EQ(Decode(OneEntry(EncodeTokens(t), uint32_t(data.size()), ReferenceCrc(data))), data);
  EXPECT_TRUE(EntryIntact());
}

TEST_F(DecoderTest, DistanceBeforeTheFirstByteReadsZeros) {
  EXPECT_EQ(DecodeTokens(After(Str("ab"), {Token::Match(100, 4)}), 6), Bytes({'a', 'b', 0, 0, 0, 0}));
}

TEST_F(DecoderTest, DamageIsReported) {
  const Bytes text = SampleText(10000, 2);
  const Bytes packed = EncodeTokens(GreedyTokens(text, 0, text.size()));
  // Wrong stored CRC.
  Decode(OneEntry(packed, uint32_t(text.size()), ReferenceCrc(text) ^ 1));
  EXPECT_FALSE(EntryIntact());
  EXPECT_EQ(lz.delivered, text.size());
  // Packed data cut short: the stream needs bits it never had.
  Bytes cut(packed.begin(), packed.begin() + long(packed.size() / 2));
  Decode(OneEntry(cut, uint32_t(text.size()), ReferenceCrc(text)));
  EXPECT_TRUE(lz.inputOverrun);
  EXPECT_LT(lz.delivered, text.size());
  EXPECT_FALSE(EntryIntact());
}

TEST_F(DecoderTest, HugeClaimFromAFewBytesEndsQuickly) {
  // A few packed bytes claiming 4 GiB end as soon as the input is used up.
  Decode(OneEntry(Bytes(8, 0xFF), 0xFFFFFFFFu, 0));
  EXPECT_LT(lz.delivered, 1u << 20);
  EXPECT_FALSE(EntryIntact());
}

TEST_F(DecoderTest, BrokenCodeTableFillsTheChunkAndRunsToTheStatedSize) {
  // Main widths 1 and 12: the build fails on every block header.
  std::vector<uint8_t> mw(kMainSymbols, 0);
  mw[0] = 1;
  mw[1] = 12;
  BitWriter w;
  for (int k = 0; k < 4000; k++) PutWidthTable(w, mw);
  std::vector<int32_t> chunks;
  Decode(OneEntry(w.Finish(), 5000, 0), &chunks);
  EXPECT_TRUE(lz.codeFailed);
  EXPECT_EQ(chunks, (std::vector<int32_t>{1789, 1789, 1422}));
  EXPECT_FALSE(EntryIntact());
}

using CommentTest = PhaseTest;

namespace {
std::string DecodeCommentOf(const MainSpec& m, bool* ok = nullptr) {
  static std::vector<uint8_t> image;
  image = MainHeader(m);
  EXPECT_TRUE(OpenArchiveImage(image.data(), uint32_t(image.size())));
  char text[kCommentFieldSize];
  memset(text, 'X', sizeof text);
  const bool decoded = DecodeComment(text, sizeof text);
  if (ok) *ok = decoded;
  return std::string(text);
}
}  // namespace

TEST_F(CommentTest, RoundTripsThroughContextMatches) {
  const std::string text = "Quellmark: the the the installer installer, abcabcabcabc, 1234 1234 1234.";
  MainSpec m;
  m.comment = EncodeComment(text);
  bool ok = false;
  EXPECT_EQ(DecodeCommentOf(m, &ok), text);
  EXPECT_TRUE(ok);
  m.textField = "0123456789";
  EXPECT_EQ(DecodeCommentOf(m), text);
}

TEST_F(CommentTest, LengthIsCutToTheRoomLessOne) {
  // T = 5000 with a 10-byte text field: cut to R - 1 = 2025 - 10 - 1.
  std::vector<uint8_t> widths(kMainSymbols, 0);
  widths['q'] = 1;
  BitWriter w;
  w.Put(5000, 15);
  PutWidthTable(w, widths);
  for (int i = 0; i < 2100; i++) w.Put(0, 1);
  MainSpec m;
  m.textField = "0123456789";
  m.comment = w.Finish();
  EXPECT_EQ(DecodeCommentOf(m), std::string(2014, 'q'));
  // With an empty text field the text (2,024) is one longer than the field
  // holds with its terminator: it is cut to 2,023.
  m.textField.clear();
  EXPECT_EQ(DecodeCommentOf(m), std::string(2023, 'q'));
}

TEST_F(CommentTest, MatchesBeforeAnyContext) {
  std::vector<uint8_t> widths(kMainSymbols, 0);
  widths['a'] = 2;
  widths['b'] = 2;
  widths[256] = 2;
  widths[257] = 2;
  const CodeWords cw = AssignCodeWords(widths, kCodeBits);
  auto decode = [&](uint32_t total, std::vector<uint32_t> symbols) {
    BitWriter w;
    w.Put(total, 15);
    PutWidthTable(w, widths);
    for (uint32_t s : symbols) w.Put(cw.words[s], 2);
    MainSpec m;
    m.comment = w.Finish();
    DecodeCommentOf(m);
    const uint8_t* out = headerRecord.main.variable + 2;
    return std::string(out, out + total + 1);
  };
  // 'a'; a match at position 1 copies from position 0 on; 'b'; at position
  // 4 the context 'b' + 'a' is new, so the match copies from position 0.
  EXPECT_EQ(decode(6, {'a', 256, 'b', 256}), std::string("aaabaa") + '\0');
  // A match at position 0 has no source and gives zeros; it stops at T.
  EXPECT_EQ(decode(4, {257, 'b'}), std::string("\0\0\0b\0", 5));
}

TEST_F(CommentTest, AbsentOrDamagedCommentsGiveAnEmptyText) {
  MainSpec none;
  bool ok = true;
  EXPECT_EQ(DecodeCommentOf(none, &ok), "");
  EXPECT_FALSE(ok);
  MainSpec empty;
  empty.comment = Bytes{};
  EXPECT_EQ(DecodeCommentOf(empty, &ok), "");
  EXPECT_FALSE(ok);
  std::vector<uint8_t> widths(kMainSymbols, 0);
  widths[0] = 1;
  widths[1] = 12;
  BitWriter w;
  w.Put(10, 15);
  PutWidthTable(w, widths);
  MainSpec broken;
  broken.comment = w.Finish();
  EXPECT_EQ(DecodeCommentOf(broken, &ok), "");
  EXPECT_FALSE(ok);
}

TEST_F(CommentTest, CommentSizeFieldBeyondTheHeaderIsBounded) {
  MainSpec m;
  m.comment = EncodeComment("short");
  m.commentSizeField = 60000;
  DecodeCommentOf(m);  // must stay inside the record; ASan checks
  SUCCEED();
}
