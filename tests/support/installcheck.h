// installcheck.h - what must hold after any installation run on the
// in-memory system, however it ended: finished, with a call failing, with
// the disk full, or stopped halfway as if killed.
//
//   1. Outside the installation directory nothing changed, except that the
//      missing part of the directory's own path may have been created, and
//      the Start-menu folder "Quellmark" and the uninstall key QMK may have
//      been made.
//   2. Every file and directory the run created, and the registry key, is
//      named in uninstall.list, read as the product's uninstaller reads it.
//      The exceptions: a log file that could not be created at all (the run
//      must say so), and the installation directory's own path, which is
//      made before its log can exist, when the run stopped or its log
//      failed before the log named anything (a finished run says so).
//   3. No file or directory that existed before was removed, except a file
//      the run began to replace (so the log names it, if there is a log) and
//      then failed to write, which the run must report; a file that changed
//      holds a complete copy of an entry of that name (its size and CRC).
//   4. A run that finished leaves no partial file: every file it wrote holds
//      a complete copy of its entry.
// The run's own report is checked against the result by the tests.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qmktest {

// A copy of everything in the in-memory system.
struct SystemState {
  struct Node {
    std::string path;  // as stored, directories with a final "\"
    bool directory;
    uint32_t attributes;
    std::string bytes;
  };
  std::map<std::string, Node> nodes;  // by upper-case path without a final "\"
  std::vector<std::string> registry;  // memfs::Registry()
};
SystemState CaptureSystem();

// The file entries of an archive image, as the reader sees them (names as
// stored). Uses the reader's process-wide state; call before extracting.
struct EntryFacts {
  std::string name;
  bool directory;
  uint32_t size;
  uint32_t crc;
};
std::vector<EntryFacts> ListEntries(const std::vector<uint8_t>& image);

struct RunFacts {
  std::string installDir;      // absolute, with its final "\"
  std::string startMenu;       // Programs folder + "\Quellmark", or "" when the run has none
  bool finished = true;        // false: stopped halfway
  bool failureReported = false;  // the run reported a failed extraction
  bool logReported = false;      // the run reported the log as not written
};

// The violations found, one line each; empty when every rule holds.
std::vector<std::string> CheckInstallRun(const SystemState& before, const SystemState& after,
                                         const std::vector<EntryFacts>& entries, const RunFacts& run);

// The product's uninstaller (its own removal logic) over the log in
// `installDir`, against the in-memory system. Returns its report; "cannot
// read" when there is no log.
std::vector<std::string> RunUninstaller(const std::string& installDir);

// The differences between two states, one line each ("+ PATH", "- PATH",
// "~ PATH"), for messages.
std::vector<std::string> Differences(const SystemState& a, const SystemState& b);

}  // namespace qmktest
