// fuzz_extract.cpp - extraction of any image over the user's files, held to the
// rules of installcheck.h, then the uninstaller. Bytes 0 and 1 (junk to the reader)
// choose a plain run, a disk full after byte 1 * 64 bytes, call 1 + byte 1 failing,
// or a stop after byte 1 calls.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/status.h"
#include "platform/memfs.h"
#include "tests/support/installcheck.h"

using namespace qmktest;

namespace {

const char kDir[] = "C:\\P\\QMK\\";
constexpr uint64_t kDiskBytes = 32u << 20;  // bounds what a run may write (and the fuzzer's memory)

void Fail(const std::string& what, const std::vector<std::string>& details) {
  fprintf(stderr, "fuzz_extract: %s\n", what.c_str());
  for (const std::string& d : details) fprintf(stderr, "  %s\n", d.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Its own allocation, so reading past it is caught.
  const std::vector<uint8_t> image(data, data + size);
  const int mode = size >= 2 ? data[0] & 3 : 0;
  const uint32_t amount = size >= 2 ? data[1] : 0;
  memfs::Install();
  memfs::PutFile("C:\\P\\keep.txt", "beside the product");
  memfs::PutFile("C:\\P\\QMK\\old.txt", "an older file");
  memfs::PutFile("C:\\P\\QMK\\Docs\\a.txt", "the user's");
  memfs::SetCapacity(kDiskBytes);
  const std::vector<EntryFacts> entries = ListEntries(image);
  const SystemState before = CaptureSystem();
  if (mode == 1) memfs::SetCapacity(Used(before) + amount * 64);
  if (mode == 2) memfs::FailCall(1 + amount);
  if (mode == 3) memfs::KillAfter(amount);
  const bool logWritten = ExtractAsInstaller(image, kDir);
  const bool killed = memfs::Killed();
  memfs::Revive();
  memfs::FailCall(0);
  memfs::SetCapacity(UINT64_MAX);
  const RunFacts run{kDir, "", !killed, errorStatus != kStatusOk, !logWritten};
  const std::vector<std::string> faults = CheckInstallRun(before, CaptureSystem(), entries, run);
  if (!faults.empty()) Fail("a rule is broken (status " + std::to_string(errorStatus) + ")", faults);
  if (!ReadLog(kDir).present) return 0;
  const std::vector<std::string> left = LeftAfterUninstall(before, kDir);
  if (!left.empty()) Fail("the uninstaller did not restore the machine", left);
  return 0;
}
