// commands.cpp - list, test and extract, over the same reader and decoder
// the installer uses.
//
// Every command opens the archive in one work-buffer phase, walks the header
// chain and tells damage apart from a clean end: a chain must end exactly at
// the end of the file, every entry must decode to its unpacked size with its
// stored CRC. The extractor writes only below its target directory: names
// are checked before anything is created, and a file whose data turn out
// damaged is removed again.
#include "qmkpack/commands.h"

#include <cstring>
#include <string>

#include "archive/entryname.h"
#include "archive/reader.h"
#include "archive/status.h"
#include "archive/verify.h"
#include "decoder/lz.h"
#include "platform/platform.h"

namespace {

constexpr size_t kMaxNameLength = 1999;  // the installer's name buffer, less the terminator
constexpr int kChunk = 2048;

// One work-buffer phase, as the installer has: buffers allocated on entry,
// released on exit, the status cleared for this archive.
class Phase {
 public:
  Phase() {
    errorStatus = kStatusOk;
    AllocateWorkBuffers();
  }
  ~Phase() { ReleaseWorkBuffers(); }
  Phase(const Phase&) = delete;
  Phase& operator=(const Phase&) = delete;
};

bool OpenImage(const std::vector<uint8_t>& image, const CommandIo& io) {
  if (!WorkBuffersPresent()) {
    fprintf(io.err, "qmkpack: out of memory\n");
    return false;
  }
  if (image.size() > UINT32_MAX) {
    fprintf(io.err, "qmkpack: %s: file too large for an archive (over 4 GiB)\n", io.archiveName);
    return false;
  }
  if (!OpenArchiveImage(image.data(), uint32_t(image.size()))) {
    fprintf(io.err, "qmkpack: %s: no archive found (no valid main header in the first 64 KiB)\n",
            io.archiveName);
    return false;
  }
  return true;
}

std::string EntryName() {
  const AceFileView& f = headerRecord.file;
  size_t n = f.nameLength;
  const size_t held = size_t(ace::kHeaderBufferSize) - (ace::kOffName - ace::kHeaderLead);
  if (n > held) n = held;
  return std::string(reinterpret_cast<const char*>(f.variable), n);
}

// Names may hold any byte; show control characters as "?".
std::string Printable(const std::string& name) {
  std::string s = name;
  for (char& c : s) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return s;
}

std::string FormatDosTime(uint32_t dos) {
  const uint32_t date = dos >> 16;
  const uint32_t time = dos & 0xFFFF;
  char buf[32];
  snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", ((date >> 9) & 0x7F) + 1980,
           (date >> 5) & 0x0F, date & 0x1F, (time >> 11) & 0x1F, (time >> 5) & 0x3F, (time & 0x1F) * 2);
  return buf;
}

std::string FormatAttributes(uint32_t a) {
  std::string s = ".....";
  if (a & 0x10) s[0] = 'D';
  if (a & 0x01) s[1] = 'R';
  if (a & 0x02) s[2] = 'H';
  if (a & 0x04) s[3] = 'S';
  if (a & 0x20) s[4] = 'A';
  return s;
}

std::string FormatMethod(const AceFileView& f) {
  char buf[32];
  switch (f.compType) {
    case ace::kCompStored: return "stored";
    case ace::kCompLz77: {
      const int bits = ace::DictionaryBitsOf(f.compParam);
      if (bits >= 20) {
        snprintf(buf, sizeof buf, "lz77/%dM", 1 << (bits - 20));
      } else {
        snprintf(buf, sizeof buf, "lz77/%dK", 1 << (bits - 10));
      }
      return buf;
    }
    default: snprintf(buf, sizeof buf, "type%u", f.compType); return buf;
  }
}

// Says why the header chain ended, when it did not end cleanly at the end
// of the file. Returns true for a clean end.
bool ReportChainEnd(const CommandIo& io) {
  switch (reader.chainEnd) {
    case ChainEnd::kNone:
    case ChainEnd::kImageEnd: return true;
    case ChainEnd::kBadHeaderCrc:
      fprintf(io.err, "qmkpack: %s: header at offset %u has a bad CRC; later entries are lost\n",
              io.archiveName, reader.headerStart);
      return false;
    case ChainEnd::kTruncated:
      fprintf(io.err, "qmkpack: %s: archive is cut short (a header or its data reach past the end of the file)\n",
              io.archiveName);
      return false;
    case ChainEnd::kMalformed:
      fprintf(io.err, "qmkpack: %s: header at offset %u is too short for its fields\n", io.archiveName,
              reader.headerStart);
      return false;
    case ChainEnd::kUnreadable:
      fprintf(io.err, "qmkpack: %s: archive could not be read\n", io.archiveName);
      return false;
  }
  return false;
}

// Reports why StartEntry refused the current entry, if it did.
bool ReportRefusedEntry(const std::string& name, const CommandIo& io) {
  if (errorStatus == kStatusOk) return false;
  const AceFileView& f = headerRecord.file;
  if (errorStatus == kStatusUnsupported) {
    fprintf(io.err, "qmkpack: %s: %s: entry is locked (flag 0x4000) and cannot be extracted\n",
            io.archiveName, Printable(name).c_str());
  } else if (errorStatus == kStatusNoMemory) {
    fprintf(io.err, "qmkpack: %s: %s: needs a dictionary of 2^%d bytes, more than available\n",
            io.archiveName, Printable(name).c_str(), ace::DictionaryBitsOf(f.compParam));
  } else {
    fprintf(io.err, "qmkpack: %s: %s: %s\n", io.archiveName, Printable(name).c_str(),
            DescribeStatus(errorStatus));
  }
  errorStatus = kStatusOk;
  return true;
}

// After the last chunk: says what is wrong with the entry's data, if
// anything, and clears the status for the next entry.
bool ReportDecodedEntry(const std::string& name, const CommandIo& io) {
  const AceFileView& f = headerRecord.file;
  const std::string shown = Printable(name);
  const char* what = nullptr;
  char buf[160];
  if (errorStatus == kStatusReadFailed) {
    what = "packed data cut short by the end of the archive";
  } else if (errorStatus == kStatusUnsupported) {
    snprintf(buf, sizeof buf, "unsupported compression type %u", f.compType);
    what = buf;
  } else if (errorStatus == kStatusShortWrite) {
    what = "could not write the output file in full";
  } else if (errorStatus != kStatusOk) {
    what = DescribeStatus(errorStatus);
  } else if (lz.inputOverrun) {
    what = "compressed data end before the entry's last byte";
  } else if (lz.codeFailed) {
    what = "invalid Huffman code table in the compressed data";
  } else if (lz.delivered != f.unpackedSize) {
    snprintf(buf, sizeof buf, "decoded %u bytes, expected %u", lz.delivered, f.unpackedSize);
    what = buf;
  } else if (lz.crc != f.fileCrc) {
    snprintf(buf, sizeof buf, "CRC mismatch (stored %08X, decoded %08X)", f.fileCrc, lz.crc);
    what = buf;
  }
  errorStatus = kStatusOk;
  if (!what) return false;
  fprintf(io.err, "qmkpack: %s: %s: %s\n", io.archiveName, shown.c_str(), what);
  return true;
}

// Decodes the current entry to nowhere, keeping a solid dictionary in step.
void DrainEntry() {
  while (ReadChunk(outputBuffer, kChunk) > 0) {
  }
}

bool ReportComment(const CommandIo& io, bool show) {
  if (!(headerRecord.flags & ace::kFlagComment)) return true;
  static char text[kCommentFieldSize];
  const bool ok = DecodeComment(text, sizeof text);
  errorStatus = kStatusOk;
  if (!ok) {
    fprintf(io.err, "qmkpack: %s: the archive comment is damaged\n", io.archiveName);
    return false;
  }
  if (show) fprintf(io.out, "Comment: %s\n", text);
  return true;
}

}  // namespace

bool LoadFile(const char* path, std::vector<uint8_t>& bytes, FILE* err) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    fprintf(err, "qmkpack: cannot open %s: %s\n", path, strerror(errno));
    return false;
  }
  bytes.clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  const bool failed = ferror(f) != 0;
  const int saved = errno;
  fclose(f);
  if (failed) {
    fprintf(err, "qmkpack: cannot read %s: %s\n", path, strerror(saved));
    return false;
  }
  return true;
}

int ListArchive(const std::vector<uint8_t>& image, const CommandIo& io) {
  Phase phase;
  if (!OpenImage(image, io)) return kExitUsage;
  fprintf(io.out, "Archive: %s (%s)\n", io.archiveName, reader.solidArchive ? "solid" : "not solid");
  bool intact = ReportComment(io, true);
  fprintf(io.out, "%10s %10s %6s  %-8s %-19s  %-5s  %-8s  %s\n", "Size", "Packed", "Ratio", "Method",
          "Date       Time", "Attr", "CRC", "Name");
  uint64_t totalSize = 0;
  uint64_t totalPacked = 0;
  unsigned entries = 0;
  while (ReadNextHeader()) {
    if (headerRecord.headerType != ace::kTypeFile) continue;
    const AceFileView& f = headerRecord.file;
    const uint32_t packed = (headerRecord.flags & ace::kFlagAddSize) ? f.packedSize : 0;
    char ratio[16] = "-";
    if (f.unpackedSize) snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * packed / f.unpackedSize);
    fprintf(io.out, "%10u %10u %6s  %-8s %-19s  %-5s  %08X  %s\n", f.unpackedSize, packed, ratio,
            FormatMethod(f).c_str(), FormatDosTime(f.fileTime).c_str(),
            FormatAttributes(f.attributes).c_str(), f.fileCrc, Printable(EntryName()).c_str());
    totalSize += f.unpackedSize;
    totalPacked += packed;
    entries++;
  }
  char ratio[16] = "-";
  if (totalSize) snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * double(totalPacked) / double(totalSize));
  fprintf(io.out, "%10llu %10llu %6s  %u entries\n", static_cast<unsigned long long>(totalSize),
          static_cast<unsigned long long>(totalPacked), ratio, entries);
  intact = ReportChainEnd(io) && intact;
  return intact ? kExitOk : kExitDamaged;
}

int TestArchive(const std::vector<uint8_t>& image, const CommandIo& io) {
  Phase phase;
  if (!OpenImage(image, io)) return kExitUsage;
  bool intact = ReportComment(io, false);
  unsigned tested = 0;
  unsigned damaged = 0;
  while (ReadNextHeader()) {
    if (headerRecord.headerType != ace::kTypeFile) continue;
    const std::string name = EntryName();
    tested++;
    StartEntry();
    if (ReportRefusedEntry(name, io)) {
      damaged++;
      continue;
    }
    DrainEntry();
    if (ReportDecodedEntry(name, io)) {
      damaged++;
    } else if (!io.quiet) {
      fprintf(io.out, "OK  %s\n", Printable(name).c_str());
    }
  }
  intact = ReportChainEnd(io) && intact && damaged == 0;
  if (!io.quiet || !intact) {
    fprintf(intact ? io.out : io.err, "%s: %u entries tested, %u damaged%s\n", io.archiveName, tested, damaged,
            intact ? ", archive is intact" : "");
  }
  return intact ? kExitOk : kExitDamaged;
}

namespace {

// Creates every missing directory of a host path, component by component.
bool MakeTargetDirectory(const char* dir, const CommandIo& io) {
  std::string path(dir);
  for (size_t i = 1; i <= path.size(); i++) {
    if (i < path.size() && path[i] != '/' && path[i] != '\\') continue;
    const std::string part = path.substr(0, i);
    const uint32_t a = platform->getFileAttributes(part.c_str());
    if (a == kAttributesUnknown || (a == kNoAttributes && !platform->createDirectory(part.c_str()))) {
      fprintf(io.err, "qmkpack: cannot create directory %s\n", part.c_str());
      return false;
    }
  }
  if (!IsDirectoryAttributes(platform->getFileAttributes(dir))) {
    fprintf(io.err, "qmkpack: %s is not a directory\n", dir);
    return false;
  }
  return true;
}

// Creates the missing directories of an entry path up to (not including)
// `end`; false when one of them is taken by a file.
bool MakeParents(const std::string& name, size_t end, const CommandIo& io) {
  for (size_t i = 1; i < end; i++) {
    if (name[i] != '\\' && name[i] != '/') continue;
    const std::string part = name.substr(0, i);
    const uint32_t a = platform->getFileAttributes(part.c_str());
    if (a == kAttributesUnknown) {
      fprintf(io.err, "qmkpack: cannot tell whether %s exists\n", Printable(part).c_str());
      return false;
    }
    if (a == kNoAttributes) {
      if (!platform->createDirectory(part.c_str())) {
        fprintf(io.err, "qmkpack: cannot create directory %s\n", Printable(part).c_str());
        return false;
      }
    } else if (!(a & ace::kAttrDirectory)) {
      fprintf(io.err, "qmkpack: %s: a file stands where a directory is needed\n", Printable(part).c_str());
      return false;
    }
  }
  return true;
}

// Extracts the current file entry; false when it could not be.
bool ExtractEntry(const std::string& name, const CommandIo& io) {
  const AceFileView& f = headerRecord.file;
  const std::string shown = Printable(name);
  if (f.attributes & ace::kAttrDirectory) {
    DrainEntry();
    if (!MakeParents(name + "\\", name.size() + 1, io)) return false;
    if (!io.quiet) fprintf(io.out, "dir   %s\n", shown.c_str());
    return true;
  }
  if (!MakeParents(name, name.size(), io)) {
    DrainEntry();
    return false;
  }
  const uint32_t existing = platform->getFileAttributes(name.c_str());
  if (existing == kAttributesUnknown) {
    fprintf(io.err, "qmkpack: cannot tell whether %s exists\n", shown.c_str());
    DrainEntry();
    return false;
  }
  if (IsDirectoryAttributes(existing)) {
    fprintf(io.err, "qmkpack: %s: a directory of that name exists\n", shown.c_str());
    DrainEntry();
    return false;
  }
  const int32_t handle = platform->openForWrite(name.c_str());
  if (handle == kNoHandle) {
    fprintf(io.err, "qmkpack: %s: cannot create the file\n", shown.c_str());
    DrainEntry();
    return false;
  }
  int32_t n;
  bool written = true;
  while ((n = ReadChunk(outputBuffer, kChunk)) > 0) {
    if (written && platform->write(handle, outputBuffer, uint32_t(n)) != n) written = false;
  }
  if (!written) {
    errorStatus = kStatusShortWrite;
  }
  platform->setLastWriteTime(handle, f.fileTime);
  platform->close(handle);
  if (ReportDecodedEntry(name, io)) {
    platform->deleteFile(name.c_str());
    return false;
  }
  platform->setFileAttributes(name.c_str(), f.attributes);
  if (!io.quiet) fprintf(io.out, "file  %s\n", shown.c_str());
  return true;
}

}  // namespace

int ExtractArchive(const std::vector<uint8_t>& image, const char* targetDir, const CommandIo& io) {
  Phase phase;
  if (!OpenImage(image, io)) return kExitUsage;
  bool intact = ReportComment(io, false);
  char saved[1000];
  if (!platform->getCurrentDirectory(sizeof saved, saved)) saved[0] = 0;
  if (!MakeTargetDirectory(targetDir, io) || !platform->setCurrentDirectory(targetDir)) {
    fprintf(io.err, "qmkpack: cannot use %s as the target directory\n", targetDir);
    return kExitUsage;
  }
  unsigned failed = 0;
  EntryNameSet names;
  if (!OpenEntryNameSet(&names)) {
    fprintf(io.err, "qmkpack: out of memory\n");
    return kExitUsage;
  }
  while (ReadNextHeader()) {
    if (headerRecord.headerType != ace::kTypeFile) continue;
    const std::string name = EntryName();
    StartEntry();
    if (ReportRefusedEntry(name, io)) {
      failed++;
      continue;
    }
    const NameFault fault = CheckEntryName(name.data(), name.size(), kMaxNameLength);
    const bool repeated = fault == NameFault::kNone && !AddEntryName(&names, name.data(), name.size());
    if (fault != NameFault::kNone || repeated) {
      fprintf(io.err, "qmkpack: %s: refusing entry \"%s\": %s\n", io.archiveName, Printable(name).c_str(),
              !repeated                      ? DescribeNameFault(fault)
              : names.count < kMaxEntryNames ? "an earlier entry has this name"
                                             : "too many entries to check their names");
      DrainEntry();
      errorStatus = kStatusOk;
      failed++;
      continue;
    }
    if (!ExtractEntry(name, io)) failed++;
  }
  CloseEntryNameSet(&names);
  intact = ReportChainEnd(io) && intact;
  if (saved[0]) platform->setCurrentDirectory(saved);
  return intact && failed == 0 ? kExitOk : kExitDamaged;
}

int SealArchive(const std::vector<uint8_t>& image, const char* sealPath, const CommandIo& io) {
  const uint8_t* data = image.data();
  const uint32_t size = uint32_t(image.size());
  if (image.size() > 0xFFFFFFFFu || !VerifyArchiveImage(data, size)) {
    fprintf(io.err, "qmkpack: %s: the archive is damaged or holds a name the installer refuses; not sealed\n",
            io.archiveName);
    return kExitDamaged;
  }
  uint8_t seal[kSealSize];
  MakeSeal(data, size, seal);
  FILE* f = fopen(sealPath, "wb");
  const bool written = f && fwrite(seal, 1, sizeof seal, f) == sizeof seal;
  if ((f && fclose(f) != 0) || !written) {
    fprintf(io.err, "qmkpack: cannot write %s\n", sealPath);
    remove(sealPath);
    return kExitUsage;
  }
  if (!io.quiet) fprintf(io.out, "%s: every entry intact; sealed in %s\n", io.archiveName, sealPath);
  return kExitOk;
}
