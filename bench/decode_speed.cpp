// decode_speed.cpp - decode throughput of an archive made by `qmkpack create`
// against zlib's inflate and libdeflate on the same bytes, in one run.
//
//   decode_speed [--runs N] ARCHIVE.ace SET.cat
//
// SET.cat is the set's files concatenated in path order, which is what the
// archive's solid stream holds. Everything happens in memory; nothing is
// written to disk.
//
//   ours        the archive image decoded as the installer does it: one
//               work-buffer phase, every file entry started and read in
//               2,048-byte chunks until it is drained; every entry must be
//               intact (size and CRC).
//   zlib        SET.cat compressed with compress2() at level 9, inflated
//               (a) in 2,048-byte chunks, the installer's pattern, and
//               (b) in one call into a buffer of the full size.
//   libdeflate  SET.cat compressed at libdeflate level 12, decompressed in
//               one call into a buffer of the full size.
//
// Each peer's output is compared with SET.cat once, before timing; ours is
// compared too, which also shows that the archive's stream is the .cat.
// The timed runs go round-robin over the methods so that load from other
// processes on a shared machine falls on all of them alike. Output is one
// `key=value` per line (sizes in bytes, speeds in MB/s = 10^6 bytes of
// uncompressed output per second, medians), for bench/run_bench.sh to read.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "archive/aceformat.h"
#include "archive/reader.h"
#include "archive/status.h"
#include "decoder/lz.h"

namespace {

using Bytes = std::vector<uint8_t>;

[[noreturn]] void Fail(const std::string& what) {
  fprintf(stderr, "decode_speed: %s\n", what.c_str());
  exit(1);
}

Bytes Load(const char* path) {
  FILE* f = fopen(path, "rb");
  if (!f) Fail(std::string("cannot open ") + path);
  Bytes bytes;
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  const bool failed = ferror(f) != 0;
  fclose(f);
  if (failed) Fail(std::string("cannot read ") + path);
  return bytes;
}

// Decodes every file entry of the archive image. Returns the number of bytes
// delivered, or -1 when an entry is refused or not intact. With `copy` set,
// the delivered bytes are appended to it.
int64_t DecodeOurs(const Bytes& image, Bytes* copy) {
  errorStatus = kStatusOk;
  AllocateWorkBuffers();
  int64_t total = -1;
  if (WorkBuffersPresent() && OpenArchiveImage(image.data(), uint32_t(image.size()))) {
    total = 0;
    while (ReadNextHeader()) {
      if (headerRecord.headerType != ace::kTypeFile) continue;
      StartEntry();
      if (errorStatus != kStatusOk) {
        total = -1;
        break;
      }
      int32_t n;
      while ((n = ReadChunk(outputBuffer, kOutputBufferSize)) > 0) {
        if (copy) copy->insert(copy->end(), outputBuffer, outputBuffer + n);
        total += n;
      }
      if (errorStatus != kStatusOk || !EntryIntact()) {
        total = -1;
        break;
      }
    }
    if (total >= 0 && reader.chainEnd != ChainEnd::kImageEnd && reader.chainEnd != ChainEnd::kNone) {
      total = -1;
    }
  }
  ReleaseWorkBuffers();
  return total;
}

// Inflates a zlib stream in 2,048-byte chunks; with `copy` set, keeps the output.
int64_t InflateChunked(const Bytes& z, Bytes* copy) {
  uint8_t out[kOutputBufferSize];
  z_stream s{};
  if (inflateInit(&s) != Z_OK) return -1;
  s.next_in = const_cast<Bytef*>(z.data());
  s.avail_in = uInt(z.size());
  int64_t total = 0;
  int rc;
  do {
    s.next_out = out;
    s.avail_out = sizeof out;
    rc = inflate(&s, Z_NO_FLUSH);
    const size_t got = sizeof out - s.avail_out;
    if (copy) copy->insert(copy->end(), out, out + got);
    total += int64_t(got);
  } while (rc == Z_OK);
  inflateEnd(&s);
  return rc == Z_STREAM_END ? total : -1;
}

// Inflates a zlib stream in one call into `out` (sized to the expected output).
int64_t InflateWhole(const Bytes& z, Bytes& out) {
  z_stream s{};
  if (inflateInit(&s) != Z_OK) return -1;
  s.next_in = const_cast<Bytef*>(z.data());
  s.avail_in = uInt(z.size());
  s.next_out = out.data();
  s.avail_out = uInt(out.size());
  const int rc = inflate(&s, Z_FINISH);
  const int64_t total = int64_t(s.total_out);
  inflateEnd(&s);
  return rc == Z_STREAM_END ? total : -1;
}

int64_t LibdeflateWhole(libdeflate_decompressor* d, const Bytes& z, Bytes& out) {
  size_t got = 0;
  const libdeflate_result r = libdeflate_deflate_decompress(d, z.data(), z.size(), out.data(), out.size(), &got);
  return r == LIBDEFLATE_SUCCESS ? int64_t(got) : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Method {
  const char* key;
  std::function<int64_t()> run;
  std::vector<double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  int arg = 1;
  if (arg + 1 < argc && strcmp(argv[arg], "--runs") == 0) {
    runs = atoi(argv[arg + 1]);
    arg += 2;
  }
  if (argc - arg != 2 || runs < 1) {
    fprintf(stderr, "usage: decode_speed [--runs N] ARCHIVE.ace SET.cat\n");
    return 2;
  }
  const Bytes image = Load(argv[arg]);
  const Bytes input = Load(argv[arg + 1]);
  if (image.size() > UINT32_MAX) Fail("archive over 4 GiB");
  if (input.size() > UINT32_MAX) Fail("input over 4 GiB");
  const int64_t size = int64_t(input.size());

  // Peer streams, made once.
  Bytes zstream(compressBound(uLong(input.size())));
  uLongf zsize = uLongf(zstream.size());
  if (compress2(zstream.data(), &zsize, input.data(), uLong(input.size()), 9) != Z_OK) Fail("compress2 failed");
  zstream.resize(zsize);

  libdeflate_compressor* lc = libdeflate_alloc_compressor(12);
  if (!lc) Fail("libdeflate_alloc_compressor failed");
  Bytes dstream(libdeflate_deflate_compress_bound(lc, input.size()));
  const size_t dsize = libdeflate_deflate_compress(lc, input.data(), input.size(), dstream.data(), dstream.size());
  libdeflate_free_compressor(lc);
  if (dsize == 0) Fail("libdeflate compression failed");
  dstream.resize(dsize);
  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
  if (!ld) Fail("libdeflate_alloc_decompressor failed");

  // Check every method's output against the input once.
  bool sameStream = false;
  {
    Bytes copy;
    copy.reserve(input.size());
    if (DecodeOurs(image, &copy) < 0) Fail("the archive does not decode intact");
    sameStream = copy == input;
    copy.clear();
    if (InflateChunked(zstream, &copy) != size || copy != input) Fail("zlib chunked inflate output differs from the input");
    Bytes whole(input.size());
    if (InflateWhole(zstream, whole) != size || whole != input) Fail("zlib inflate output differs from the input");
    std::fill(whole.begin(), whole.end(), 0);
    if (LibdeflateWhole(ld, dstream, whole) != size || whole != input) Fail("libdeflate output differs from the input");
  }

  Bytes out(input.size());
  int64_t oursSize = -1;
  std::vector<Method> methods;
  methods.push_back({"ours", [&] { return oursSize = DecodeOurs(image, nullptr); }, {}});
  methods.push_back({"zlib_chunked", [&] { return InflateChunked(zstream, nullptr); }, {}});
  methods.push_back({"zlib_whole", [&] { return InflateWhole(zstream, out); }, {}});
  methods.push_back({"libdeflate", [&] { return LibdeflateWhole(ld, dstream, out); }, {}});

  for (int r = 0; r < runs; r++) {
    for (Method& m : methods) {
      const auto t0 = std::chrono::steady_clock::now();
      const int64_t got = m.run();
      const auto t1 = std::chrono::steady_clock::now();
      if (got < 0) Fail(std::string(m.key) + ": decoding failed during timing");
      m.seconds.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
  }
  libdeflate_free_decompressor(ld);

  printf("runs=%d\n", runs);
  printf("zlib_version=%s\n", zlibVersion());
  printf("libdeflate_version=%s\n", LIBDEFLATE_VERSION_STRING);
  printf("input_bytes=%lld\n", static_cast<long long>(size));
  printf("ours_output_bytes=%lld\n", static_cast<long long>(oursSize));
  printf("ours_same_stream=%s\n", sameStream ? "yes" : "no");
  printf("archive_bytes=%zu\n", image.size());
  printf("zlib9_bytes=%zu\n", zstream.size());
  printf("libdeflate12_bytes=%zu\n", dstream.size());
  for (const Method& m : methods) {
    const double bytes = m.key == std::string("ours") ? double(oursSize) : double(size);
    printf("%s_mbps=%.1f\n", m.key, bytes / Median(m.seconds) / 1e6);
  }
  return 0;
}
