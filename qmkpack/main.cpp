// main.cpp - qmkpack's command line: parses arguments, loads the archive and
// hands it to the command. Messages go to stderr, listings to stdout.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <cstdlib>

#include "encoder/archivewriter.h"
#include "qmkpack/commands.h"

#ifndef QMK_VERSION
#define QMK_VERSION "0"
#endif

namespace {

const char kUsage[] =
    "Usage: qmkpack COMMAND [OPTIONS] ARCHIVE [DIR]\n"
    "\n"
    "Makes and reads archives in the installer's payload format (ACE, LZ77 + Huffman).\n"
    "\n"
    "Commands:\n"
    "  create [OPTIONS] OUT.ace DIR\n"
    "                        pack the tree under DIR (a directory before its contents,\n"
    "                        names sorted); solid, compression level 5 unless told\n"
    "  list ARCHIVE          list the entries: size, packed size, ratio, method,\n"
    "                        date and time, attributes, stored CRC, name; and the comment\n"
    "  test ARCHIVE          decode every entry and check it against its stored CRC\n"
    "  extract ARCHIVE DIR   write the entries below DIR (created if missing)\n"
    "  seal ARCHIVE OUT      test every entry; if all are intact, write the archive's\n"
    "                        seal (its size and CRC-32) to OUT, for the installer\n"
    "  setup [OPTIONS] OUT.exe DIR|ARCHIVE\n"
    "                        make the installer: the stub with DIR packed (level 9\n"
    "                        unless told) or ARCHIVE as its payload, every entry\n"
    "                        checked first\n"
    "\n"
    "Options:\n"
    "  -1 ... -9             create: compression level (1 fast, 9 smallest; default 5)\n"
    "  --no-solid            create: entries do not refer to each other\n"
    "  --comment TEXT        create: store TEXT as the archive comment\n"
    "  --comment-file FILE   create: store the contents of FILE as the comment\n"
    "  --order FILE          create: pack exactly the paths listed in FILE (one a line,\n"
    "                        relative to DIR), in that order\n"
    "  -f, --force           create, setup: replace an existing output file\n"
    "  --stub STUB.exe       setup: the installer stub (default: QuellmarkStub.exe\n"
    "                        beside qmkpack)\n"
    "  -q, --quiet           print only errors (and no progress bar)\n"
    "  -h, --help            show this help\n"
    "  -V, --version         show the version\n"
    "\n"
    "With SOURCE_DATE_EPOCH set, create clamps file times to it, so the same\n"
    "tree always gives the same archive.\n"
    "\n"
    "Links to files and directories are followed; anything else that is not a\n"
    "file or a directory (a FIFO, a socket, a device, a dangling link, a link\n"
    "loop) stops create, as do names the installer would refuse.\n"
    "\n"
    "Exit status: 0 success, 1 damaged archive or entries not extracted,\n"
    "2 bad arguments, unreadable file, no archive in it, or create failed.\n";

// QuellmarkStub.exe in the directory of this program: the file the system
// started, not argv[0], which names no directory when found through PATH.
std::string DefaultStub(const char* self) {
  std::string dir = self;
#ifdef _WIN32
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n > 0 && n < sizeof path) dir.assign(path, n);
#else
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  if (n > 0 && size_t(n) < sizeof path) dir.assign(path, size_t(n));
#endif
  const size_t cut = dir.find_last_of("/\\");
  dir = cut == std::string::npos ? "" : dir.substr(0, cut + 1);
  return dir + "QuellmarkStub.exe";
}

int Usage(const char* problem) {
  fprintf(stderr, "qmkpack: %s\nTry 'qmkpack --help'.\n", problem);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const char*> args;
  bool quiet = false;
  qmk::CreateOptions create;
  bool createOnly = false;  // an option that only create (or setup) takes was given
  bool levelGiven = false;
  const char* stubPath = nullptr;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
    auto value = [&](const char* option) -> const char* {
      if (i + 1 >= argc) {
        Usage((std::string("option '") + option + "' needs a value").c_str());
        exit(kExitUsage);
      }
      return argv[++i];
    };
    if (!strcmp(a, "-h") || !strcmp(a, "--help")) {
      fputs(kUsage, stdout);
      return kExitOk;
    }
    if (!strcmp(a, "-V") || !strcmp(a, "--version")) {
      printf("qmkpack %s\n", QMK_VERSION);
      return kExitOk;
    }
    if (!strcmp(a, "-q") || !strcmp(a, "--quiet")) {
      quiet = true;
    } else if (!strcmp(a, "-f") || !strcmp(a, "--force")) {
      create.force = true;
      createOnly = true;
    } else if (a[0] == '-' && a[1] >= '1' && a[1] <= '9' && a[2] == 0) {
      create.level = a[1] - '0';
      levelGiven = true;
      createOnly = true;
    } else if (!strcmp(a, "--stub")) {
      stubPath = value(a);
      createOnly = true;
    } else if (!strcmp(a, "--no-solid")) {
      create.solid = false;
      createOnly = true;
    } else if (!strcmp(a, "--comment")) {
      create.comment = value(a);
      create.hasComment = true;
      createOnly = true;
    } else if (!strcmp(a, "--comment-file")) {
      const char* path = value(a);
      std::vector<uint8_t> bytes;
      if (!LoadFile(path, bytes, stderr)) return kExitUsage;
      create.comment.assign(bytes.begin(), bytes.end());
      create.hasComment = true;
      createOnly = true;
    } else if (!strcmp(a, "--order")) {
      create.orderFile = value(a);
      createOnly = true;
    } else if (a[0] == '-' && a[1] != 0 && strcmp(a, "--") != 0) {
      return Usage((std::string("unknown option '") + a + "'").c_str());
    } else if (!strcmp(a, "--")) {
      for (i++; i < argc; i++) args.push_back(argv[i]);
    } else {
      args.push_back(a);
    }
  }
  if (args.empty()) return Usage("no command given");
  const std::string command = args[0];
  size_t operands;
  const bool setup = command == "setup";
  if (setup && !levelGiven) create.level = 9;  // an installer is made once and downloaded many times
  if (command == "create" || command == "c" || setup) {
    if (args.size() != 3) {
      return Usage(setup ? "expected an output installer and a directory or archive"
                         : "expected an output archive and a directory");
    }
    create.quiet = quiet;
    create.progress = isatty(fileno(stderr)) != 0;
    if (const char* epoch = getenv("SOURCE_DATE_EPOCH")) {
      char* end = nullptr;
      const long long v = strtoll(epoch, &end, 10);
      if (!*epoch || *end || v < 0) return Usage("SOURCE_DATE_EPOCH must be a number of seconds");
      create.hasEpoch = true;
      create.epoch = v;
    }
    if (setup) {
      CommandIo io{stdout, stderr, args[2], quiet};
      return MakeInstaller(stubPath ? stubPath : DefaultStub(argv[0]).c_str(), args[1], args[2], create, io);
    }
    if (stubPath) return Usage("--stub goes with 'setup'");
    std::vector<qmk::PlannedEntry> entries;
    const bool planned = create.orderFile.empty() ? qmk::PlanTree(args[2], entries, stderr)
                                                  : qmk::PlanFromList(args[2], create.orderFile, entries, stderr);
    if (!planned) return kExitUsage;
    return qmk::WriteArchive(args[1], entries, create, stderr);
  }
  if (createOnly) return Usage("compression options and -f go with 'create' and 'setup'");
  if (command == "list" || command == "l" || command == "test" || command == "t") {
    operands = 1;
  } else if (command == "extract" || command == "x" || command == "seal") {
    operands = 2;
  } else {
    return Usage(("unknown command '" + command + "'").c_str());
  }
  if (args.size() != operands + 1) {
    return Usage(operands == 1 ? "expected one archive"
                 : command == "seal" ? "expected an archive and the seal file to write"
                                     : "expected an archive and a target directory");
  }

  std::vector<uint8_t> image;
  if (!LoadFile(args[1], image, stderr)) return kExitUsage;
  CommandIo io{stdout, stderr, args[1], quiet};
  if (command[0] == 'l') return ListArchive(image, io);
  if (command[0] == 't') return TestArchive(image, io);
  if (command == "seal") return SealArchive(image, args[2], io);
  return ExtractArchive(image, args[2], io);
}
