// hostilecases.h - crafted archives that both the installer's extraction and
// qmkpack extract face; the target already holds the user's old.txt and Docs\user.txt.
#pragma once

#include <string>
#include <vector>

#include "archive/status.h"
#include "tests/support/archivebuilder.h"

namespace qmktest {

struct HostileCase {
  std::string what;
  std::vector<FileEntry> hostile;        // the entries under test, between "first.txt" and "after.txt"
  int32_t status;                        // the installer's status
  std::string qmkpackSays;               // part of qmkpack's message
  std::vector<std::string> alsoWritten;  // by the installer besides first.txt (and its log)
};

inline FileEntry HostileFile(const std::string& name, const std::string& text = "hostile") {
  return File(name, Bytes(text.begin(), text.end()));
}

inline std::vector<HostileCase> HostileCases() {
  std::vector<HostileCase> cases;
  auto refused = [&](const std::string& what, const std::string& name) {
    cases.push_back({what, {HostileFile(name)}, kStatusUnsafeName, "refusing entry", {}});
  };
  for (const char* name : {"\\evil.txt", "/evil.txt", "\\\\server\\share\\evil.txt", "C:evil.txt", "C:\\evil.txt",
                           "..\\evil.txt", "a\\..\\..\\evil.txt", "a\\..", "a/../../evil.txt", "Docs/user.txt",
                           "old.txt:stream", "Docs:$DATA", "Docs.\\x.txt", "old.txt.", "Docs \\x.txt", "old.txt ",
                           "CON", "PRN", "AUX", "NUL", "con.txt", "Aux.tar.gz", "Docs\\nul.log", "ctl\x01.txt",
                           "new\nline.txt", "", "Docs\\\\x.txt"}) {
    refused(std::string("[") + name + "]", name);  // absolute, UNC, drive, "..", "/", streams, final dot or blank, devices, controls, empty part
  }
  for (int n = 1; n <= 9; n++) {
    refused("device COM" + std::to_string(n), "COM" + std::to_string(n));
    refused("device LPT" + std::to_string(n), "lpt" + std::to_string(n));
  }
  refused("zero byte", std::string("old.txt\0..\\..\\evil.txt", 23));
  refused("longer than the name buffer", std::string(2000, 'n'));
  const std::string sameName = "the same name on Windows as the earlier entry", fileThere = "a file stands where a directory is needed";
  cases.push_back({"longer than the path buffer", {HostileFile(std::string(120, 'n') + "\\" + std::string(900, 'f'))},
                   kStatusUnsafeName, "name too long", {}});
  cases.push_back({"file entry named as an existing directory", {HostileFile("Docs")}, kStatusCannotReplace,
                   "a directory of that name exists", {}});
  cases.push_back({"directory entry named as an existing file", {Dir("old.txt")}, kStatusUnsafeName, fileThere, {}});
  cases.push_back({"entry below an existing file", {HostileFile("old.txt\\x.txt")}, kStatusUnsafeName, fileThere, {}});
  cases.push_back({"repeated name", {HostileFile("twice.txt", "one"), HostileFile("twice.txt", "two")},
                   kStatusUnsafeName, sameName, {"twice.txt"}});
  cases.push_back({"repeated name in another case", {HostileFile("Twice.txt", "one"), HostileFile("TWICE.TXT", "two")},
                   kStatusUnsafeName, sameName, {"Twice.txt"}});
  cases.push_back({"directory, then a file of the same name", {Dir("d"), HostileFile("d", "file")}, kStatusUnsafeName,
                   sameName, {"d\\"}});
  // Gigabytes claimed from a few packed bytes: the short file goes.
  FileEntry stored = HostileFile("bomb.bin", "0123456789"), packed = HostileFile("bomb.bin", std::string(300, 'a'));
  stored.compType = 0;
  stored.unpackedSize = 3000000000u;
  packed.unpackedSize = 4000000000u;
  cases.push_back({"stored entry claiming 3 GB", {stored}, kStatusBadCrc, "bomb.bin", {}});
  cases.push_back({"compressed entry claiming 4 GB", {packed}, kStatusBadCrc, "bomb.bin", {}});
  return cases;
}

// first.txt, the hostile entries, after.txt.
inline Bytes HostileArchive(const HostileCase& c) {
  std::vector<FileEntry> entries = {HostileFile("first.txt", "first")};
  entries.insert(entries.end(), c.hostile.begin(), c.hostile.end());
  entries.push_back(HostileFile("after.txt", "after"));
  Pack(entries, true);  // the sizes claimed stay as they are
  return BuildArchive({}, entries);
}

}  // namespace qmktest
