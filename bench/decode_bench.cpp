// decode_bench.cpp - decoder throughput against zlib's inflate on the same
// input, measured in the same run.
//
// Input: the file named by QMK_BENCH_INPUT (for instance a corpus set's
// .cat stream from shared/bench/make_corpus.sh), else 16 MiB of generated
// text and binary. It is packed once with the tests' greedy encoder (the
// archiver's own compressor comes with `qmkpack create`) and once with
// zlib level 6; each benchmark then decodes its stream completely, in the
// installer's 2,048-byte chunks for ours. Report the ratio of the two times,
// never the absolute numbers: these machines are shared.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "archive/reader.h"
#include "archive/status.h"
#include "decoder/lz.h"
#include "tests/support/archivebuilder.h"
#include "tests/support/bitwriter.h"

namespace {

using qmktest::Bytes;

const Bytes& Input() {
  static Bytes data = [] {
    Bytes d;
    if (const char* path = getenv("QMK_BENCH_INPUT")) {
      FILE* f = fopen(path, "rb");
      if (f) {
        uint8_t buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) d.insert(d.end(), buf, buf + n);
        fclose(f);
      }
    }
    if (d.empty()) {
      for (uint32_t k = 0; k < 8; k++) {
        const Bytes t = qmktest::SampleText(1u << 20, k);
        const Bytes r = qmktest::RandomBytes(1u << 20, k);
        d.insert(d.end(), t.begin(), t.end());
        d.insert(d.end(), r.begin(), r.end());
      }
    }
    return d;
  }();
  return data;
}

const Bytes& OurArchive() {
  static Bytes archive = [] {
    std::vector<qmktest::FileEntry> e(1);
    e[0].name = "input";
    e[0].data = Input();
    qmktest::Pack(e, true);
    return qmktest::BuildArchive({}, e);
  }();
  return archive;
}

const Bytes& ZlibStream() {
  static Bytes z = [] {
    uLongf size = compressBound(uLong(Input().size()));
    Bytes out(size);
    compress2(out.data(), &size, Input().data(), uLong(Input().size()), 6);
    out.resize(size);
    return out;
  }();
  return z;
}

void BM_DecodeOurs(benchmark::State& state) {
  const Bytes& a = OurArchive();
  for (auto _ : state) {
    errorStatus = kStatusOk;
    AllocateWorkBuffers();
    OpenArchiveImage(a.data(), uint32_t(a.size()));
    ReadNextHeader();
    StartEntry();
    while (ReadChunk(outputBuffer, kOutputBufferSize) > 0) {
    }
    if (!EntryIntact()) state.SkipWithError("decoded data do not match");
    ReleaseWorkBuffers();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Input().size()));
  state.counters["packed_ratio"] = double(a.size()) / double(Input().size());
}

void BM_InflateZlib(benchmark::State& state) {
  const Bytes& z = ZlibStream();
  Bytes out(2048);
  for (auto _ : state) {
    z_stream s{};
    inflateInit(&s);
    s.next_in = const_cast<Bytef*>(z.data());
    s.avail_in = uInt(z.size());
    int rc;
    do {
      s.next_out = out.data();
      s.avail_out = uInt(out.size());
      rc = inflate(&s, Z_NO_FLUSH);
    } while (rc == Z_OK);
    if (rc != Z_STREAM_END) state.SkipWithError("inflate failed");
    inflateEnd(&s);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Input().size()));
  state.counters["packed_ratio"] = double(z.size()) / double(Input().size());
}

BENCHMARK(BM_DecodeOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateZlib)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
