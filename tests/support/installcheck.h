// installcheck.h - what must hold after any installation run on the
// in-memory system, however it ended (finished, a call failing, the disk
// full, stopped halfway as if killed), and helpers the install tests and
// fuzzers share.
//
//   1. Outside the installation directory nothing changed, but for the
//      missing part of its own path and the Start-menu folder and uninstall
//      key QMK the run may make.
//   2. Everything the run created is named in uninstall.list, read as the
//      product's uninstaller reads it; except when the log could not be made
//      at all (the run must say so), and the directory's own path, made
//      before its log, when the log named nothing (a finished run says so).
//   3. Nothing that existed was removed, except a file the run began to
//      replace (logged, if there is a log) and failed to write, which it
//      must report; a changed file holds a complete copy of its entry.
//   4. A finished run leaves no partial file, and one that reports no failure
//      extracted every entry whole.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/archivebuilder.h"

namespace qmktest {

std::string Upper(std::string s);
// A file's bytes through the platform in use; "<missing>" when it is not a file.
std::string Read(const std::string& path);
// The log's lines; each must end in CR LF, a last one without it gets "<no CR LF>".
std::vector<std::string> LogLines(const std::string& bytes);
// Main header and the entries, packed solid.
Bytes PackedArchive(std::vector<FileEntry> entries);

// A copy of everything in the in-memory system: nodes by upper-case path
// without a final "\" (stored paths of directories have one), the registry.
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
// The bytes its files hold.
uint64_t Used(const SystemState& s);

// The file entries of an image as the reader sees them; call before extracting.
struct EntryFacts {
  std::string name;
  bool directory;
  uint32_t size, crc;
};
std::vector<EntryFacts> ListEntries(const std::vector<uint8_t>& image);

// What `installDir`'s log names (upper case), read as the uninstaller reads it.
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

// The violations found, one line each; empty when every rule holds.
std::vector<std::string> CheckInstallRun(const SystemState& before, const SystemState& after,
                                         const std::vector<EntryFacts>& entries, const RunFacts& run);

// One extraction into `dir` as the installer runs it: a clear status, no
// log before, the log closed after. True when the log was written whole.
bool ExtractAsInstaller(const std::vector<uint8_t>& image, const std::string& dir);

// The product's uninstaller over the log in `installDir`, on the in-memory
// system: its report ("cannot read" without a log).
std::vector<std::string> RunUninstaller(const std::string& installDir);

// The uninstaller run, then what differs from `before` but for what the rules
// allow: a file the run replaced (logged, it goes with the product), an
// existing directory that took an entry's attributes, and the installation
// directory itself, empty.
std::vector<std::string> LeftAfterUninstall(const SystemState& before, const std::string& installDir,
                                            std::vector<std::string>* report = nullptr);

// "+ PATH", "- PATH", "~ PATH", "+ registry LINE", "- registry LINE".
std::vector<std::string> Differences(const SystemState& a, const SystemState& b);

}  // namespace qmktest
