// fuzz_earlierlog.cpp - a reinstall over an earlier uninstall.list of any bytes:
// the new log is whole lines, none twice, each kept or the run's own, kept ones first.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "archive/status.h"
#include "platform/memfs.h"
#include "tests/support/installcheck.h"

using namespace qmktest;

namespace {

const char kDir[] = "C:\\P\\QMK\\";

void Fail(const std::string& what, const std::string& detail) {
  fprintf(stderr, "fuzz_earlierlog: %s\n  %s\n", what.c_str(), detail.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Bytes payload = PackedArchive({File("Docs\\a.txt", SampleText(300, 1)), File("qmk.exe", RandomBytes(200, 2)),
                                              File("old.txt", SampleText(100, 3))});
  const std::string earlier(reinterpret_cast<const char*>(data), size);
  memfs::Install();
  memfs::PutFile("C:\\P\\keep.txt", "beside the product");
  memfs::PutFile("C:\\P\\QMK\\old.txt", "an older file");
  memfs::PutFile("C:\\P\\QMK\\Docs\\user.txt", "the user's");
  memfs::PutFile("C:\\P\\QMK\\uninstall.list", earlier);
  if (!ExtractAsInstaller(payload, kDir) || errorStatus != kStatusOk) {
    Fail("the run failed", "status " + std::to_string(errorStatus));
  }
  std::string log;
  if (!memfs::ReadFile(std::string(kDir) + "uninstall.list", &log)) Fail("no log", "");
  if (!log.empty() && log.compare(log.size() - 2, 2, "\r\n") != 0) Fail("the log ends in a part line", log);
  const std::vector<std::string> lines = LogLines(log);
  std::set<std::string> seen, before;
  for (const std::string& line : LogLines(earlier)) before.insert(line);  // a part last line matches none
  size_t firstOwn = lines.size();
  for (size_t i = 0; i < lines.size(); i++) {
    const std::string& line = lines[i];
    if (!seen.insert(Upper(line)).second) Fail("a line twice", line);
    const bool own = line.rfind(kDir, 0) == 0 || line == "mkd: C:\\P\\QMK\\ :::" || line == "mkd: C:\\P\\QMK ::: Docs";
    if (!before.count(line) && !own) Fail("a line neither kept nor the run's own", line);
    if (!before.count(line) && firstOwn == lines.size()) firstOwn = i;
    if (before.count(line) && i > firstOwn && !own) Fail("an earlier line after the run's own", line);
  }
  std::string bytes;
  if (!memfs::ReadFile(std::string(kDir) + "qmk.exe", &bytes) || bytes.size() != 200) Fail("qmk.exe not installed", "");
  return 0;
}
