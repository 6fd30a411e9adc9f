// commands.h - the work behind qmkpack's commands, apart from argument
// parsing and file loading, so tests can drive it directly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

// Exit statuses of the tool.
enum ExitCode : int {
  kExitOk = 0,
  kExitDamaged = 1,  // the archive is damaged, or an entry could not be extracted
  kExitUsage = 2,    // bad arguments, unreadable input, no archive in the file
};

struct CommandIo {
  FILE* out;
  FILE* err;
  const char* archiveName;  // for messages
  bool quiet;
};

int ListArchive(const std::vector<uint8_t>& image, const CommandIo& io);
int TestArchive(const std::vector<uint8_t>& image, const CommandIo& io);
int ExtractArchive(const std::vector<uint8_t>& image, const char* targetDir, const CommandIo& io);
// Decodes every entry as the installer's own check does; only when all are
// intact writes the seal the installer compares its payload with.
int SealArchive(const std::vector<uint8_t>& image, const char* sealPath, const CommandIo& io);

// `qmkpack setup`: the installer `out` made of the stub at `stubPath` and
// `input`, a directory (packed with `create`'s options) or a ready archive;
// every entry is decoded first, as `seal` does, and a damaged payload makes
// nothing. `out` must not exist unless `force`.
namespace qmk {
struct CreateOptions;
}
int MakeInstaller(const char* stubPath, const char* out, const char* input, const qmk::CreateOptions& options,
                  const CommandIo& io);

// Reads a whole file; false with a message on `err` when it cannot.
bool LoadFile(const char* path, std::vector<uint8_t>& bytes, FILE* err);
