// archivewriter.h - `qmkpack create`: packs a directory tree into one
// archive in the form the installer reads.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qmk {

struct CreateOptions {
  int level = 5;
  bool solid = true;
  bool quiet = false;
  bool force = false;           // replace an existing output file
  bool progress = false;        // draw a progress bar on `err`
  bool hasComment = false;
  std::string comment;
  std::string orderFile;        // explicit entry order, one relative path a line
  bool hasEpoch = false;        // SOURCE_DATE_EPOCH: file times are clamped to it
  int64_t epoch = 0;
};

// An entry as it will stand in the archive.
struct PlannedEntry {
  std::string name;      // relative, "\" separated
  std::string path;      // host path of the file or directory
  bool directory;
};

// The entries of the tree under `dir`: a directory before its contents,
// names in byte order at each level, links to files and directories
// followed. False with a message for each path that cannot be packed (a
// FIFO, socket or device, a dangling link, a link loop).
bool PlanTree(const std::string& dir, std::vector<PlannedEntry>& entries, FILE* err);
// The entries named in an order file, in its order.
bool PlanFromList(const std::string& dir, const std::string& listFile, std::vector<PlannedEntry>& entries,
                  FILE* err);

// Packs the planned entries into `out`, which must not exist unless
// `options.force`. Returns the tool's exit code; on failure nothing is
// left at `out` and an earlier file there is untouched.
int WriteArchive(const std::string& out, const std::vector<PlannedEntry>& entries, const CreateOptions& options,
                 FILE* err);

// A file written beside `path` under a name of its own and renamed into
// place only when complete, so that a failure leaves neither a half-written
// file nor a changed `path`. OpenBeside gives the stream (null, with a
// message naming `path`, when it cannot) and the temporary name; the file
// gets `mode` less the umask. CommitBeside closes it and renames it into
// place, over an existing file only with `force`; false, with the
// temporary file gone and a message, when it cannot.
FILE* OpenBeside(const std::string& path, unsigned mode, std::string* temp, FILE* err);
bool CommitBeside(FILE* f, const std::string& temp, const std::string& path, bool force, FILE* err);

// The packed form of an archive comment, as the comment decoder reads it;
// empty when the text cannot be packed within the header's limits.
std::vector<uint8_t> PackComment(const std::string& text);

// MS-DOS date (high 16 bits) and time (low 16 bits) of a time in local time,
// clamped to the range the format can hold (1980 to 2107).
uint32_t DosTimeOf(int64_t unixTime);

// The longest comment the extractor keeps, without its terminator.
constexpr size_t kMaxCommentText = 2023;

}  // namespace qmk
