// main.cpp - qmkpack's command line: parses arguments, loads the archive and
// hands it to the command. Messages go to stderr, listings to stdout.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qmkpack/commands.h"

#ifndef QMK_VERSION
#define QMK_VERSION "0"
#endif

namespace {

const char kUsage[] =
    "Usage: qmkpack COMMAND [OPTIONS] ARCHIVE [DIR]\n"
    "\n"
    "Reads archives in the installer's payload format (ACE, LZ77 + Huffman).\n"
    "\n"
    "Commands:\n"
    "  list ARCHIVE          list the entries: size, packed size, ratio, method,\n"
    "                        date and time, attributes, stored CRC, name; and the comment\n"
    "  test ARCHIVE          decode every entry and check it against its stored CRC\n"
    "  extract ARCHIVE DIR   write the entries below DIR (created if missing)\n"
    "\n"
    "Options:\n"
    "  -q, --quiet           print only errors\n"
    "  -h, --help            show this help\n"
    "  -V, --version         show the version\n"
    "\n"
    "Exit status: 0 success, 1 damaged archive or entries not extracted,\n"
    "2 bad arguments, unreadable file or no archive in it.\n";

int Usage(const char* problem) {
  fprintf(stderr, "qmkpack: %s\nTry 'qmkpack --help'.\n", problem);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const char*> args;
  bool quiet = false;
  for (int i = 1; i < argc; i++) {
    const char* a = argv[i];
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
  if (command == "list" || command == "l" || command == "test" || command == "t") {
    operands = 1;
  } else if (command == "extract" || command == "x") {
    operands = 2;
  } else {
    return Usage(("unknown command '" + command + "'").c_str());
  }
  if (args.size() != operands + 1) {
    return Usage(operands == 1 ? "expected one archive" : "expected an archive and a target directory");
  }

  std::vector<uint8_t> image;
  if (!LoadFile(args[1], image, stderr)) return kExitUsage;
  CommandIo io{stdout, stderr, args[1], quiet};
  if (command[0] == 'l') return ListArchive(image, io);
  if (command[0] == 't') return TestArchive(image, io);
  return ExtractArchive(image, args[2], io);
}
