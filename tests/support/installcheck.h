// installcheck.h - the rules any installation run on the in-memory system
// must keep, however it ended (finished, a call failing, the disk full,
// stopped halfway), and helpers the install tests and fuzzers share:
//   1. outside the installation directory nothing changed, but for the
//      missing part of its path and the Start-menu folder and uninstall key;
//   2. everything created is named in uninstall.list, read as the uninstaller
//      reads it (unless the run reported the log as not made);
//   3. nothing that existed was removed, except a file being replaced whose
//      writing failed, which the run reports; a changed file is a whole copy;
//   4. a finished run that reports no failure extracted every entry whole.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/archivebuilder.h"

namespace qmktest {

std::string Upper(std::string s);
// "<missing>" when not a file.
std::string Read(const std::string& path);
// A last line without CR LF gets "<no CR LF>".
std::vector<std::string> LogLines(const std::string& bytes);
Bytes PackedArchive(std::vector<FileEntry> entries);

// Nodes by upper-case path without a final "\"; a directory's own path has one.
struct SystemState {
  struct Node {
    std::string path;
    bool directory;
    uint32_t attributes;
    std::string bytes;
  };
  std::map<std::string, Node> nodes;
  std::vector<std::string> registry;
};
SystemState CaptureSystem();
uint64_t Used(const SystemState& s);

// Call before extracting.
struct EntryFacts {
  std::string name;
  bool directory;
  uint32_t size, crc;
};
std::vector<EntryFacts> ListEntries(const std::vector<uint8_t>& image);

// Upper case, read as the uninstaller reads it.
struct LogNames {
  bool present = false;
  std::set<std::string> files, directories, keys;
};
LogNames ReadLog(const std::string& installDir);

struct RunFacts {
  std::string installDir;        // absolute, with its final "\"
  std::string startMenu;         // Programs folder + "\Quellmark", or ""
  bool finished = true;          // false: stopped halfway
  bool failureReported = false;  // the run reported a failed extraction
  bool logReported = false;      // the run reported the log as not written
};

// One line per broken rule.
std::vector<std::string> CheckInstallRun(const SystemState& before, const SystemState& after,
                                         const std::vector<EntryFacts>& entries, const RunFacts& run);

// As the installer runs it; true when the log was written whole.
bool ExtractAsInstaller(const std::vector<uint8_t>& image, const std::string& dir);

std::vector<std::string> RunUninstaller(const std::string& installDir);

// Runs the uninstaller; what differs from `before` but for a replaced file, a
// directory that took an entry's attributes and the empty installation directory.
std::vector<std::string> LeftAfterUninstall(const SystemState& before, const std::string& installDir,
                                            std::vector<std::string>* report = nullptr);

std::vector<std::string> Differences(const SystemState& a, const SystemState& b);

}  // namespace qmktest
