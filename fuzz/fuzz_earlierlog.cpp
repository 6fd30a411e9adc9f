// fuzz_earlierlog.cpp - a reinstall over an earlier uninstall.list of any
// bytes. The earlier log lies in the installation directory, where anyone
// who could write there may have put anything; the installer reads it,
// keeps the lines that name items still there and writes its own after.
//
// The input is the earlier log, whole. Checked, besides what the sanitizers
// catch: the new log is whole lines; no line appears twice (letter case
// aside); every line either was a whole line of the earlier log or is one
// the run writes itself; the earlier lines come first, in their order; and
// the product was installed (the earlier log cannot stop a good run).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "archive/status.h"
#include "archive/unace.h"
#include "install/logcreaterunit.h"
#include "platform/memfs.h"
#include "tests/support/archivebuilder.h"
#include "tests/support/installcheck.h"

namespace {

const char kDir[] = "C:\\P\\QMK\\";

void Fail(const std::string& what, const std::string& detail) {
  fprintf(stderr, "fuzz_earlierlog: %s\n  %s\n", what.c_str(), detail.c_str());
  abort();
}

std::string Upper(std::string s) {
  for (char& c : s) c = char(toupper(static_cast<unsigned char>(c)));
  return s;
}

// Whole lines (each ended by CR LF) of a log.
std::vector<std::string> WholeLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0;;) {
    const size_t end = text.find("\r\n", at);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

const std::vector<uint8_t>& Payload() {
  static const std::vector<uint8_t> image = [] {
    std::vector<qmktest::FileEntry> e = {qmktest::File("Docs\\a.txt", qmktest::SampleText(300, 1)),
                                         qmktest::File("qmk.exe", qmktest::RandomBytes(200, 2)),
                                         qmktest::File("old.txt", qmktest::SampleText(100, 3))};
    qmktest::Pack(e, true);
    return qmktest::BuildArchive({}, e);
  }();
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string earlier(reinterpret_cast<const char*>(data), size);
  memfs::Install();
  memfs::PutFile("C:\\P\\keep.txt", "beside the product");
  memfs::PutFile("C:\\P\\QMK\\old.txt", "an older file");
  memfs::PutFile("C:\\P\\QMK\\Docs\\user.txt", "the user's");
  memfs::PutFile("C:\\P\\QMK\\uninstall.list", earlier);

  errorStatus = kStatusOk;
  outputHandle = kNoHandle;
  delete InstallLog;
  InstallLog = nullptr;
  {
    TUnAce unace(Payload().data(), uint32_t(Payload().size()));
    unace.ExtractAll(kDir);
  }
  const bool closed = InstallLog && InstallLog->Close();
  delete InstallLog;
  InstallLog = nullptr;
  if (errorStatus != kStatusOk || !closed) Fail("the run failed", "status " + std::to_string(errorStatus));

  std::string log;
  if (!memfs::ReadFile(std::string(kDir) + "uninstall.list", &log)) Fail("no log", "");
  if (!log.empty() && log.compare(log.size() - 2, 2, "\r\n") != 0) Fail("the log ends in a part line", log);
  const std::vector<std::string> lines = WholeLines(log);
  std::set<std::string> seen;
  std::set<std::string> before;
  for (const std::string& line : WholeLines(earlier)) before.insert(line);
  size_t firstOwn = lines.size();
  for (size_t i = 0; i < lines.size(); i++) {
    const std::string& line = lines[i];
    if (!seen.insert(Upper(line)).second) Fail("a line twice", line);
    // The run's own lines name the installation directory's items.
    const bool own = line.rfind(kDir, 0) == 0 || line == "mkd: C:\\P\\QMK\\ :::" || line == "mkd: C:\\P\\QMK ::: Docs";
    if (!before.count(line) && !own) Fail("a line neither kept nor the run's own", line);
    if (!before.count(line) && firstOwn == lines.size()) firstOwn = i;
    if (before.count(line) && i > firstOwn && !own) Fail("an earlier line after the run's own", line);
  }
  std::string bytes;
  if (!memfs::ReadFile(std::string(kDir) + "qmk.exe", &bytes) || bytes.size() != 200) Fail("qmk.exe not installed", "");
  return 0;
}
