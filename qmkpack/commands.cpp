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

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "archive/entryname.h"
#include "archive/reader.h"
#include "archive/status.h"
#include "archive/verify.h"
#include "decoder/lz.h"
#include "encoder/archivewriter.h"
#include "platform/platform.h"
#include "qmkpack/peresources.h"

namespace {

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
  if (image.empty()) {
    fprintf(io.err, "qmkpack: %s: empty file, not an archive\n", io.archiveName);
    return false;
  }
  if (!OpenArchiveImage(image.data(), uint32_t(image.size()))) {
    fprintf(io.err, "qmkpack: %s: no archive found (no valid main header in the first 64 KiB)\n",
            io.archiveName);
    return false;
  }
  return true;
}

// "1 entry", "2 entries".
std::string Entries(uint64_t n) {
  return std::to_string(n) + (n == 1 ? " entry" : " entries");
}

// The system's reason for the last failed platform call.
std::string SystemReason() {
  char text[256];
  platform->describeLastError(text, sizeof text);
  return text;
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

// The extraction's name rule over one archive, with messages that name the
// earlier entry a name repeats.
class NameCheck {
 public:
  explicit NameCheck(const CommandIo& io) : io_(io) {
    if (!OpenEntryNameSet(&set_)) fprintf(io.err, "qmkpack: out of memory\n");
  }
  ~NameCheck() { CloseEntryNameSet(&set_); }
  NameCheck(const NameCheck&) = delete;
  NameCheck& operator=(const NameCheck&) = delete;
  bool Ready() const { return set_.slots != nullptr; }

  // False, with a message, for a name no extraction writes.
  bool Admit(const std::string& name) {
    unsigned earlier = 0;
    const NameFault fault = AdmitEntryName(&set_, name.data(), name.size(), &earlier);
    if (fault == NameFault::kNone) {
      admitted_.push_back(name);
      return true;
    }
    if (fault == NameFault::kRepeated && earlier < admitted_.size()) {
      fprintf(io_.err, "qmkpack: %s: refusing entry \"%s\": the same name on Windows as the earlier entry \"%s\"\n",
              io_.archiveName, Printable(name).c_str(), Printable(admitted_[earlier]).c_str());
    } else {
      fprintf(io_.err, "qmkpack: %s: refusing entry \"%s\": %s\n", io_.archiveName, Printable(name).c_str(),
              DescribeNameFault(fault));
    }
    return false;
  }

  unsigned refused = 0;

 private:
  const CommandIo& io_;
  EntryNameSet set_{};
  std::vector<std::string> admitted_;
};

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
  fprintf(io.out, "%10llu %10llu %6s  %s\n", static_cast<unsigned long long>(totalSize),
          static_cast<unsigned long long>(totalPacked), ratio, Entries(entries).c_str());
  intact = ReportChainEnd(io) && intact;
  return intact ? kExitOk : kExitDamaged;
}

int TestArchive(const std::vector<uint8_t>& image, const CommandIo& io) {
  Phase phase;
  if (!OpenImage(image, io)) return kExitUsage;
  bool intact = ReportComment(io, false);
  unsigned tested = 0;
  unsigned damaged = 0;
  NameCheck names(io);
  if (!names.Ready()) return kExitUsage;
  while (ReadNextHeader()) {
    if (headerRecord.headerType != ace::kTypeFile) continue;
    const std::string name = EntryName();
    tested++;
    StartEntry();
    if (ReportRefusedEntry(name, io)) {
      damaged++;
      continue;
    }
    const bool admitted = names.Admit(name);
    DrainEntry();
    if (ReportDecodedEntry(name, io)) {
      damaged++;
    } else if (!admitted) {
      names.refused++;
    } else if (!io.quiet) {
      fprintf(io.out, "OK  %s\n", Printable(name).c_str());
    }
  }
  intact = ReportChainEnd(io) && intact && damaged == 0 && names.refused == 0;
  if (!io.quiet || !intact) {
    std::string refused;
    if (names.refused) refused = ", " + std::to_string(names.refused) + " refused by name";
    fprintf(intact ? io.out : io.err, "%s: %s tested, %u damaged%s%s\n", io.archiveName, Entries(tested).c_str(),
            damaged, refused.c_str(), intact ? ", archive is intact" : "");
  }
  return intact ? kExitOk : kExitDamaged;
}

namespace {

// Case-blind ASCII prefix test, as Windows compares names.
bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); i++) {
    char a = s[i], b = prefix[i];
    if (a >= 'a' && a <= 'z') a = char(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z') b = char(b - 'a' + 'A');
    if (a != b) return false;
  }
  return true;
}

// Writes the entries of one archive below the current directory. Each
// failure gets one message with the system's reason; a directory that could
// not be made is reported once, and the entries that would have gone below
// it are counted rather than each refused again.
class Extraction {
 public:
  explicit Extraction(const CommandIo& io) : io_(io) {}

  // Extracts the current file entry; false when it could not be.
  bool Entry(const std::string& name) {
    if (BelowBlocked(name)) {
      DrainEntry();
      return false;
    }
    const AceFileView& f = headerRecord.file;
    const std::string shown = Printable(name);
    if (f.attributes & ace::kAttrDirectory) {
      DrainEntry();
      if (!MakeParents(name + "\\", name.size() + 1)) return false;
      if (!io_.quiet) fprintf(io_.out, "dir   %s\n", shown.c_str());
      return true;
    }
    if (!MakeParents(name, name.size())) return Unwritten(shown, nullptr, "");
    const uint32_t existing = platform->getFileAttributes(name.c_str());
    if (existing == kAttributesUnknown) return Unwritten(shown, "cannot tell whether it exists", SystemReason());
    if (IsDirectoryAttributes(existing)) return Unwritten(shown, "a directory of that name exists", "");
    const int32_t handle = platform->openForWrite(name.c_str());
    if (handle == kNoHandle) return Unwritten(shown, "cannot create the file", SystemReason());
    int32_t n;
    std::string writeFailure;
    while ((n = ReadChunk(outputBuffer, kChunk)) > 0) {
      if (writeFailure.empty() && platform->write(handle, outputBuffer, uint32_t(n)) != n) {
        writeFailure = SystemReason();
      }
    }
    platform->setLastWriteTime(handle, f.fileTime);
    if (!platform->close(handle) && writeFailure.empty()) writeFailure = SystemReason();
    bool failed;
    if (!writeFailure.empty()) {
      fprintf(io_.err, "qmkpack: %s: cannot write the file: %s\n", shown.c_str(), writeFailure.c_str());
      errorStatus = kStatusOk;
      failed = true;
    } else {
      failed = ReportDecodedEntry(name, io_);
    }
    if (failed) {
      platform->deleteFile(name.c_str());
      return false;
    }
    platform->setFileAttributes(name.c_str(), f.attributes);
    if (!io_.quiet) fprintf(io_.out, "file  %s\n", shown.c_str());
    return true;
  }

  // Counts of the entries that went unwritten below each directory that
  // could not be made.
  void ReportBlocked() const {
    for (const Blocked& b : blocked_) {
      fprintf(io_.err, "qmkpack: %s: %s not extracted, as the directory could not be made\n",
              Printable(b.dir).c_str(), Entries(b.entries).c_str());
    }
  }

 private:
  struct Blocked {
    std::string dir;
    unsigned entries;
  };

  // An entry that is not written: why (`what`, with the system's `reason`
  // when there is one; nothing when the failure was told already), and its
  // data decoded to nowhere, so a solid dictionary stays in step. False.
  bool Unwritten(const std::string& shown, const char* what, const std::string& reason) {
    if (what) {
      fprintf(io_.err, "qmkpack: %s: %s%s%s\n", shown.c_str(), what, reason.empty() ? "" : ": ", reason.c_str());
    }
    DrainEntry();
    return false;
  }

  bool BelowBlocked(const std::string& name) {
    for (Blocked& b : blocked_) {
      if (StartsWithNoCase(name, b.dir + "\\")) {
        b.entries++;
        return true;
      }
    }
    return false;
  }

  // Creates the missing directories of an entry path up to (not including)
  // `end`; false, with the failing directory blocked, when one cannot be.
  bool MakeParents(const std::string& name, size_t end) {
    for (size_t i = 1; i < end; i++) {
      if (name[i] != '\\') continue;
      const std::string part = name.substr(0, i);
      const uint32_t a = platform->getFileAttributes(part.c_str());
      if (a == kAttributesUnknown) {
        fprintf(io_.err, "qmkpack: %s: cannot tell whether it exists: %s\n", Printable(part).c_str(),
                SystemReason().c_str());
      } else if (a == kNoAttributes) {
        if (platform->createDirectory(part.c_str())) continue;
        fprintf(io_.err, "qmkpack: cannot create directory %s: %s\n", Printable(part).c_str(),
                SystemReason().c_str());
      } else if (!(a & ace::kAttrDirectory)) {
        fprintf(io_.err, "qmkpack: %s: a file stands where a directory is needed\n", Printable(part).c_str());
      } else {
        continue;
      }
      blocked_.push_back({part, 1});
      return false;
    }
    return true;
  }

  const CommandIo& io_;
  std::vector<Blocked> blocked_;
};

// Creates every missing directory of a host path, component by component,
// and makes it current.
bool EnterTargetDirectory(const char* dir, const CommandIo& io) {
  std::string path(dir);
  for (size_t i = 1; i <= path.size(); i++) {
    if (i < path.size() && path[i] != '/' && path[i] != '\\') continue;
    const std::string part = path.substr(0, i);
    const uint32_t a = platform->getFileAttributes(part.c_str());
    if (a == kAttributesUnknown || (a == kNoAttributes && !platform->createDirectory(part.c_str()))) {
      fprintf(io.err, "qmkpack: cannot create directory %s: %s\n", part.c_str(), SystemReason().c_str());
      return false;
    }
  }
  if (!IsDirectoryAttributes(platform->getFileAttributes(dir))) {
    fprintf(io.err, "qmkpack: %s is not a directory\n", dir);
    return false;
  }
  if (!platform->setCurrentDirectory(dir)) {
    fprintf(io.err, "qmkpack: cannot enter %s: %s\n", dir, SystemReason().c_str());
    return false;
  }
  return true;
}

}  // namespace

int ExtractArchive(const std::vector<uint8_t>& image, const char* targetDir, const CommandIo& io) {
  Phase phase;
  if (!OpenImage(image, io)) return kExitUsage;
  bool intact = ReportComment(io, false);
  NameCheck names(io);
  if (!names.Ready()) return kExitUsage;
  char saved[1000];
  if (!platform->getCurrentDirectory(sizeof saved, saved)) saved[0] = 0;
  if (!EnterTargetDirectory(targetDir, io)) return kExitUsage;
  unsigned failed = 0;
  Extraction extraction(io);
  while (ReadNextHeader()) {
    if (headerRecord.headerType != ace::kTypeFile) continue;
    const std::string name = EntryName();
    StartEntry();
    if (ReportRefusedEntry(name, io)) {
      failed++;
      continue;
    }
    if (!names.Admit(name)) {
      DrainEntry();
      errorStatus = kStatusOk;
      failed++;
      continue;
    }
    if (!extraction.Entry(name)) failed++;
  }
  extraction.ReportBlocked();
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

namespace {

// Writes `bytes` to `path` through a temporary file beside it, renamed
// into place once complete.
bool WriteFileWhole(const std::string& path, const std::vector<uint8_t>& bytes, bool force, FILE* err) {
  std::string temp;
  FILE* f = qmk::OpenBeside(path, 0777, &temp, err);  // an installer is a program
  if (!f) return false;
  if (fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fflush(f) != 0) {
    fprintf(err, "qmkpack: cannot write %s: %s\n", path.c_str(), strerror(errno));
    fclose(f);
    remove(temp.c_str());
    return false;
  }
  return qmk::CommitBeside(f, temp, path, force, err);
}

}  // namespace

int MakeInstaller(const char* stubPath, const char* out, const char* input, const qmk::CreateOptions& options,
                  const CommandIo& io) {
  struct stat st;
  if (!options.force && stat(out, &st) == 0) {
    fprintf(io.err, "qmkpack: %s already exists; use -f to overwrite it\n", out);
    return kExitUsage;
  }
  std::vector<uint8_t> stub;
  if (!LoadFile(stubPath, stub, io.err)) return kExitUsage;
  // The payload: a directory is packed first, into a file of its own that
  // goes again once read.
  std::vector<uint8_t> archive;
  std::error_code ec;
  if (std::filesystem::is_directory(input, ec)) {
    std::vector<qmk::PlannedEntry> entries;
    if (!qmk::PlanTree(input, entries, io.err)) return kExitUsage;
    std::string packed = std::string(out) + ".XXXXXX";
    const int fd = mkstemp(&packed[0]);
    if (fd < 0) {
      fprintf(io.err, "qmkpack: cannot create %s: %s\n", out, strerror(errno));
      return kExitUsage;
    }
    close(fd);
    qmk::CreateOptions pack = options;
    pack.force = true;
    const int made = qmk::WriteArchive(packed, entries, pack, io.err);
    const bool loaded = made == kExitOk && LoadFile(packed.c_str(), archive, io.err);
    remove(packed.c_str());
    if (!loaded) return kExitUsage;
  } else if (!LoadFile(input, archive, io.err)) {
    return kExitUsage;
  }
  if (archive.size() > 0xFFFFFFFFu || !VerifyArchiveImage(archive.data(), uint32_t(archive.size()))) {
    fprintf(io.err, "qmkpack: %s: the archive is damaged or holds a name the installer refuses; no installer made\n",
            input);
    return kExitDamaged;
  }
  std::vector<uint8_t> seal(kSealSize);
  MakeSeal(archive.data(), uint32_t(archive.size()), seal.data());
  std::string why;
  if (!qmk::SetPayloadResources(&stub, archive, seal, &why)) {
    fprintf(io.err, "qmkpack: %s: %s\n", stubPath, why.c_str());
    return kExitUsage;
  }
  if (!WriteFileWhole(out, stub, options.force, io.err)) return kExitUsage;
  if (!io.quiet) {
    fprintf(io.out, "%s: %zu bytes, the stub and a %zu-byte payload\n", out, stub.size(), archive.size());
  }
  return kExitOk;
}
