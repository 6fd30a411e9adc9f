// archivewriter.cpp - tree walk, headers, entry packing and the output file.
//
// The archive is written to a temporary file beside the target and renamed
// into place only when complete, so a failure never leaves a half-written
// archive. The same tree gives the same bytes: entries are in a fixed order,
// nothing depends on the clock, and with SOURCE_DATE_EPOCH set no file time
// is later than it.
#include "encoder/archivewriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "archive/aceformat.h"
#include "archive/entryname.h"
#include "archive/reader.h"
#include "decoder/bitinput.h"
#include "encoder/blockwriter.h"
#include "encoder/huffman.h"
#include "encoder/lzencoder.h"

namespace fs = std::filesystem;

namespace qmk {

namespace {

// The CRC register as the archive stores it (the reader's CRC; its table
// is built once by WriteArchive).
uint32_t Crc(const uint8_t* data, size_t size) {
  uint32_t crc = kCrcStart;
  for (size_t at = 0; at < size; at += 1u << 30) {
    crc = UpdateCrc(crc, data + at, int32_t(std::min<size_t>(size - at, 1u << 30)));
  }
  return crc;
}

void Put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int k = 0; k < 4; k++) b.push_back(uint8_t(v >> (8 * k)));
}

// CRC and size fields in front of a header body (type, flags, fields).
std::vector<uint8_t> Frame(const std::vector<uint8_t>& body) {
  std::vector<uint8_t> h;
  Put16(h, uint16_t(Crc(body.data(), body.size()) & 0xFFFF));
  Put16(h, uint16_t(body.size()));
  h.insert(h.end(), body.begin(), body.end());
  return h;
}

std::vector<uint8_t> MainHeader(bool solid, const std::vector<uint8_t>* comment) {
  std::vector<uint8_t> b;
  b.push_back(ace::kTypeMain);
  uint16_t flags = solid ? ace::kFlagSolid : 0;
  if (comment) flags |= ace::kFlagComment | ace::kFlagCommentDecode;
  Put16(b, flags);
  b.insert(b.end(), ace::kSignature, ace::kSignature + ace::kSignatureSize);
  const uint8_t held[4] = {10, 12, 2, 0};  // held by the reader, not interpreted
  b.insert(b.end(), held, held + 4);
  Put32(b, 0);
  Put16(b, 0);
  Put16(b, 0);
  Put32(b, 0);
  b.push_back(0);  // no text field
  if (comment) {
    Put16(b, uint16_t(comment->size()));
    b.insert(b.end(), comment->begin(), comment->end());
  }
  return Frame(b);
}

struct FileFields {
  uint32_t packedSize, unpackedSize, fileTime, attributes, crc;
  uint8_t compType;
};

std::vector<uint8_t> FileHeader(const std::string& name, const FileFields& f) {
  std::vector<uint8_t> b;
  b.push_back(ace::kTypeFile);
  Put16(b, ace::kFlagAddSize);
  Put32(b, f.packedSize);
  Put32(b, f.unpackedSize);
  Put32(b, f.fileTime);
  Put32(b, f.attributes);
  Put32(b, f.crc);
  b.push_back(f.compType);
  b.push_back(5);   // held, not interpreted
  Put16(b, 10);     // a 2^20-byte dictionary
  Put16(b, 0);
  Put16(b, uint16_t(name.size()));
  b.insert(b.end(), name.begin(), name.end());
  return Frame(b);
}

std::string ArchiveName(const std::string& relative) {
  std::string s = relative;
  for (char& c : s) {
    if (c == '/') c = '\\';
  }
  return s;
}

// Why an entry of the tree cannot be packed: anything but a regular file or
// a directory, links followed.
std::string Unpackable(const fs::directory_entry& entry) {
  std::error_code ec;
  const fs::file_status own = entry.symlink_status(ec);
  if (fs::is_symlink(own)) {
    if (!fs::exists(entry.path(), ec)) {
      return "a symbolic link that leads nowhere" + (ec ? " (" + ec.message() + ")" : std::string());
    }
    return "a symbolic link to something that is neither a file nor a directory";
  }
  if (ec) return ec.message();
  switch (own.type()) {
    case fs::file_type::fifo: return "a FIFO (named pipe), not a file or a directory";
    case fs::file_type::socket: return "a socket, not a file or a directory";
    case fs::file_type::block:
    case fs::file_type::character: return "a device, not a file or a directory";
    default: return "neither a file nor a directory";
  }
}

// Plans the tree under `dir`, whose path relative to the root is `prefix`
// ("" for the root itself); `ancestors` holds the directories walked down
// to `dir`, so that a link leading back to one of them is told as a loop.
// Names are built from the walk rather than asked of fs::relative, which
// resolves both paths through the file system (a dozen system calls per
// file); the entry's type comes from the directory listing where the file
// system gives it, so only links and unknown types cost a stat.
void Walk(const fs::path& dir, const std::string& prefix, std::vector<fs::path>& ancestors,
          std::vector<PlannedEntry>& out, bool& ok, FILE* err) {
  std::vector<fs::directory_entry> children;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) children.push_back(*it);
  if (ec) {
    fprintf(err, "qmkpack: cannot read directory %s: %s\n", dir.string().c_str(), ec.message().c_str());
    ok = false;
    return;
  }
  std::sort(children.begin(), children.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
    return a.path().filename().string() < b.path().filename().string();
  });
  for (const fs::directory_entry& child : children) {
    const std::string name = child.path().filename().string();
    const std::string shown = child.path().string();
    const std::string rel = prefix.empty() ? name : prefix + "/" + name;
#ifndef _WIN32
    if (name.find('\\') != std::string::npos) {
      fprintf(err, "qmkpack: %s: a '\\' in the name, which Windows takes for a directory separator\n",
              shown.c_str());
      ok = false;
      continue;
    }
#endif
    std::error_code sec;
    if (child.is_directory(sec)) {
      if (child.is_symlink(sec)) {
        const auto loop = std::find_if(ancestors.begin(), ancestors.end(), [&](const fs::path& a) {
          std::error_code eec;
          return fs::equivalent(child.path(), a, eec);
        });
        if (loop != ancestors.end()) {
          fprintf(err, "qmkpack: %s: a symbolic link loop (it leads back to %s)\n", shown.c_str(),
                  loop->string().c_str());
          ok = false;
          continue;
        }
      }
      out.push_back({ArchiveName(rel), shown, true});
      ancestors.push_back(child.path());
      Walk(child.path(), rel, ancestors, out, ok, err);
      ancestors.pop_back();
    } else if (child.is_regular_file(sec)) {
      out.push_back({ArchiveName(rel), shown, false});
    } else {
      fprintf(err, "qmkpack: %s: cannot be packed: %s\n", shown.c_str(), Unpackable(child).c_str());
      ok = false;
    }
  }
}

// The extraction's name rule over every planned entry, before anything is
// written; a repeated name is told with both paths.
bool CheckNames(const std::vector<PlannedEntry>& entries, FILE* err) {
  EntryNameSet names;
  if (!OpenEntryNameSet(&names)) {
    fprintf(err, "qmkpack: out of memory\n");
    return false;
  }
  std::vector<size_t> admitted;  // the planned entry of each admitted name
  bool ok = true;
  for (size_t k = 0; k < entries.size(); k++) {
    const PlannedEntry& e = entries[k];
    unsigned earlier = 0;
    const NameFault fault = AdmitEntryName(&names, e.name.data(), e.name.size(), &earlier);
    if (fault == NameFault::kNone) {
      admitted.push_back(k);
      continue;
    }
    ok = false;
    if (fault == NameFault::kTooLong) {
      fprintf(err, "qmkpack: %s: name too long (%zu bytes; the installer takes at most %zu)\n", e.path.c_str(),
              e.name.size(), kMaxEntryNameLength);
    } else if (fault == NameFault::kRepeated && earlier < admitted.size()) {
      fprintf(err, "qmkpack: %s and %s: the same name on Windows, where one would overwrite the other\n",
              entries[admitted[earlier]].path.c_str(), e.path.c_str());
    } else if (fault == NameFault::kTooMany) {
      fprintf(err, "qmkpack: more than %u entries: the installer checks no more names than that\n",
              kMaxEntryNames);
      break;
    } else {
      fprintf(err, "qmkpack: %s: cannot be extracted safely: %s\n", e.path.c_str(), DescribeNameFault(fault));
    }
  }
  CloseEntryNameSet(&names);
  return ok;
}

// Progress on a terminal: bytes done, rate and ratio, a few times a second.
class Progress {
 public:
  Progress(bool on, uint64_t total, FILE* err) : on_(on), total_(total), err_(err) {
    start_ = std::chrono::steady_clock::now();
  }
  void Update(uint64_t done, uint64_t written, bool last = false) {
    if (!on_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!last && now - shown_ < std::chrono::milliseconds(200)) return;
    shown_ = now;
    const double secs = std::chrono::duration<double>(now - start_).count();
    const int width = 30;
    const int filled = total_ ? int(double(done) / double(total_) * width) : width;
    char bar[width + 1];
    for (int k = 0; k < width; k++) bar[k] = k < filled ? '#' : '.';
    bar[width] = 0;
    fprintf(err_, "\r[%s] %5.1f%%  %8.1f MiB  %6.1f MiB/s  ratio %5.1f%%", bar,
            total_ ? 100.0 * double(done) / double(total_) : 100.0, double(done) / 1048576.0,
            secs > 0 ? double(done) / 1048576.0 / secs : 0.0, done ? 100.0 * double(written) / double(done) : 0.0);
    if (last) fputc('\n', err_);
    fflush(err_);
  }

 private:
  bool on_;
  uint64_t total_;
  FILE* err_;
  std::chrono::steady_clock::time_point start_, shown_;
};

// Reads the file to its end. `expected`, its size when the tree was
// checked, sizes the buffer (one byte more, so that the end shows at the
// next read); a file that has changed since is read as it is now.
bool ReadWhole(const std::string& path, uint64_t expected, std::vector<uint8_t>& bytes, FILE* err) {
#ifdef _WIN32
  const int fd = open(path.c_str(), O_RDONLY | O_BINARY);
#else
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
#endif
  if (fd < 0) {
    fprintf(err, "qmkpack: cannot open %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  bytes.resize(size_t(std::min<uint64_t>(expected, UINT32_MAX)) + 1);
  size_t have = 0;
  bool failed = false;
  for (;;) {
    if (have == bytes.size()) {
      if (have > UINT32_MAX) break;
      bytes.resize(2 * have);
    }
    const ssize_t n = read(fd, bytes.data() + have, std::min<size_t>(bytes.size() - have, size_t(1) << 30));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed = n < 0;
      break;
    }
    have += size_t(n);
  }
  close(fd);
  bytes.resize(have);
  if (failed) {
    fprintf(err, "qmkpack: cannot read %s\n", path.c_str());
    return false;
  }
  if (have > UINT32_MAX) {
    fprintf(err, "qmkpack: %s: file too large (the format holds files under 4 GiB)\n", path.c_str());
    return false;
  }
  return true;
}

// The local time of t; false when there is none.
bool LocalTime(time_t t, struct tm* out) {
#ifdef _WIN32
  return localtime_s(out, &t) == 0;
#else
  // localtime() reloads the time zone at every call (a stat of
  // /etc/localtime per entry); localtime_r() after one tzset() does not.
  static const bool zoneLoaded = (tzset(), true);
  (void)zoneLoaded;
  return localtime_r(&t, out) != nullptr;
#endif
}

}  // namespace

uint32_t DosTimeOf(int64_t unixTime) {
  struct tm lt;
  if (!LocalTime(time_t(unixTime), &lt)) return (0u << 9 | 1u << 5 | 1u) << 16;
  int year = lt.tm_year + 1900;
  if (year < 1980) return (0u << 9 | 1u << 5 | 1u) << 16;  // 1980-01-01 00:00:00
  if (year > 2107) {
    year = 2107;
    lt.tm_mon = 11;
    lt.tm_mday = 31;
    lt.tm_hour = 23;
    lt.tm_min = 59;
    lt.tm_sec = 59;
  }
  const uint32_t date = uint32_t(year - 1980) << 9 | uint32_t(lt.tm_mon + 1) << 5 | uint32_t(lt.tm_mday);
  const uint32_t time = uint32_t(lt.tm_hour) << 11 | uint32_t(lt.tm_min) << 5 | uint32_t(lt.tm_sec / 2);
  return date << 16 | time;
}

std::vector<uint8_t> PackComment(const std::string& text) {
  if (text.size() > kMaxCommentText) return {};
  // Symbols: literals, and matches of 2 to 28 bytes (symbol 254 + length)
  // from the position after the last occurrence of the same two-byte sum.
  std::vector<uint16_t> symbols;
  uint16_t context[511] = {};
  const size_t total = text.size();
  const auto* t = reinterpret_cast<const uint8_t*>(text.data());
  for (size_t i = 0; i < total;) {
    size_t j = 0;
    if (i >= 2) {
      const int h = t[i - 1] + t[i - 2];
      j = context[h];
      context[h] = uint16_t(i);
    }
    size_t n = 0;
    if (i >= 2) {
      while (n < 28 && i + n < total && t[j + n] == t[i + n]) n++;
    }
    if (n >= 2) {
      symbols.push_back(uint16_t(254 + n));
      i += n;
    } else {
      symbols.push_back(t[i]);
      i++;
    }
  }
  uint32_t freq[kMainCount] = {};
  for (uint16_t s : symbols) freq[s]++;
  uint8_t widths[kMainCount];
  LimitedCodeLengths(freq, kMainCount, kMaxCodeBits, widths);
  BitSink out;
  out.Put(uint32_t(total), 15);
  BlockWriter::WidthTable(widths, kMainCount, &out);
  uint32_t words[kMainCount];
  AssignCodeWords(kMaxCodeBits, LastUsed(widths, kMainCount), widths, words);
  for (uint16_t s : symbols) out.Put(words[s], widths[s]);
  out.Flush();
  // The reader holds 2,040 header bytes after the size field; the packed
  // comment must lie wholly within them.
  const size_t room = size_t(ace::kHeaderBufferSize) - (ace::kOffMainVariable - ace::kHeaderLead) - 2;
  if (out.Bytes().size() > room) return {};
  return out.Bytes();
}

bool PlanTree(const std::string& dir, std::vector<PlannedEntry>& entries, FILE* err) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    fprintf(err, "qmkpack: %s is not a directory\n", dir.c_str());
    return false;
  }
  bool ok = true;
  entries.clear();
  std::vector<fs::path> ancestors{fs::path(dir)};
  Walk(fs::path(dir), "", ancestors, entries, ok, err);
  return ok;
}

bool PlanFromList(const std::string& dir, const std::string& listFile, std::vector<PlannedEntry>& entries,
                  FILE* err) {
  std::ifstream in(listFile);
  if (!in) {
    fprintf(err, "qmkpack: cannot open order file %s\n", listFile.c_str());
    return false;
  }
  entries.clear();
  std::string line;
  int number = 0;
  bool ok = true;
  while (std::getline(in, line)) {
    number++;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::string rel = line;
    for (char& c : rel) {
      if (c == '\\') c = '/';
    }
    const fs::directory_entry entry(fs::path(dir) / rel);
    std::error_code ec;
    if (entry.is_directory(ec)) {
      entries.push_back({ArchiveName(rel), entry.path().string(), true});
    } else if (entry.is_regular_file(ec)) {
      entries.push_back({ArchiveName(rel), entry.path().string(), false});
    } else if (!entry.exists(ec) && !entry.is_symlink(ec)) {
      fprintf(err, "qmkpack: %s:%d: %s: no such file or directory under %s\n", listFile.c_str(), number,
              line.c_str(), dir.c_str());
      ok = false;
    } else {
      fprintf(err, "qmkpack: %s:%d: %s: cannot be packed: %s\n", listFile.c_str(), number,
              entry.path().string().c_str(), Unpackable(entry).c_str());
      ok = false;
    }
  }
  return ok;
}

FILE* OpenBeside(const std::string& path, unsigned mode, std::string* temp, FILE* err) {
  *temp = path + ".XXXXXX";
  const int fd = mkstemp(&(*temp)[0]);
  FILE* f = fd < 0 ? nullptr : fdopen(fd, "wb");
  if (!f) {
    fprintf(err, "qmkpack: cannot create %s: %s\n", path.c_str(), strerror(errno));
    if (fd >= 0) {
      close(fd);
      remove(temp->c_str());
    }
    return nullptr;
  }
#ifndef _WIN32
  // mkstemp makes the file private; it gets the usual mode.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, mode_t(mode) & ~mask);
#else
  (void)mode;
#endif
  return f;
}

bool CommitBeside(FILE* f, const std::string& temp, const std::string& path, bool force, FILE* err) {
  if (fclose(f) != 0) {
    fprintf(err, "qmkpack: cannot write %s: %s\n", path.c_str(), strerror(errno));
    remove(temp.c_str());
    return false;
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec && force) {
    // Windows' rename does not replace a file; the user asked for that.
    std::error_code rec;
    if (fs::remove(path, rec)) fs::rename(temp, path, ec);
  }
  if (ec) {
    remove(temp.c_str());
    fprintf(err, "qmkpack: cannot create %s: %s\n", path.c_str(), ec.message().c_str());
    return false;
  }
  return true;
}

int WriteArchive(const std::string& out, const std::vector<PlannedEntry>& entries, const CreateOptions& options,
                 FILE* err) {
  // Everything that can be refused is refused before anything is written.
  struct stat existing;
  if (!options.force && stat(out.c_str(), &existing) == 0) {
    fprintf(err, "qmkpack: %s already exists; use -f to overwrite it\n", out.c_str());
    return 2;
  }
  bool ok = CheckNames(entries, err);
  uint64_t total = 0;
  std::vector<struct stat> stats(entries.size());
  for (size_t k = 0; k < entries.size(); k++) {
    const PlannedEntry& e = entries[k];
    struct stat& st = stats[k];
    if (stat(e.path.c_str(), &st) != 0) {
      fprintf(err, "qmkpack: cannot read %s: %s\n", e.path.c_str(), strerror(errno));
      ok = false;
    } else if (!e.directory) {
      if (uint64_t(st.st_size) > UINT32_MAX) {
        fprintf(err, "qmkpack: %s: file too large (the format holds files under 4 GiB)\n", e.path.c_str());
        ok = false;
      }
      total += uint64_t(st.st_size);
    }
  }
  std::vector<uint8_t> comment;
  if (options.hasComment) {
    comment = PackComment(options.comment);
    if (comment.empty() && !options.comment.empty()) {
      fprintf(err, "qmkpack: the comment is too long (at most %zu characters, and about 2,000 bytes packed)\n",
              kMaxCommentText);
      ok = false;
    }
  }
  if (!ok) return 2;

  BuildCrcTable();
  std::string temp;
  FILE* f = OpenBeside(out, 0666, &temp, err);
  if (!f) return 2;
  // Many small entries make many small writes: one system call a MiB.
  static char outBuffer[1 << 20];
  setvbuf(f, outBuffer, _IOFBF, sizeof outBuffer);
  auto fail = [&](const char* what, const std::string& name) {
    fprintf(err, "qmkpack: %s %s: %s\n", what, name.c_str(), strerror(errno));
    fclose(f);
    remove(temp.c_str());
    return 2;
  };
  auto write = [&](const std::vector<uint8_t>& b) { return b.empty() || fwrite(b.data(), 1, b.size(), f) == b.size(); };

  if (!write(MainHeader(options.solid, options.hasComment ? &comment : nullptr))) {
    return fail("cannot write", out);
  }
  LzEncoder encoder(options.level, options.solid);
  Progress progress(options.progress && !options.quiet, total, err);
  uint64_t done = 0;
  uint64_t written = 0;
  std::vector<uint8_t> data;
  for (size_t k = 0; k < entries.size(); k++) {
    const PlannedEntry& e = entries[k];
    const struct stat& st = stats[k];
    int64_t mtime = int64_t(st.st_mtime);
    if (options.hasEpoch && mtime > options.epoch) mtime = options.epoch;
    FileFields fields{};
    fields.fileTime = DosTimeOf(mtime);
    const bool writable = (st.st_mode & S_IWUSR) != 0;
    fields.attributes = (e.directory ? ace::kAttrDirectory : ace::kAttrArchive) | (writable ? 0 : ace::kAttrReadOnly);
    std::vector<uint8_t> packed;
    if (e.directory) {
      fields.compType = ace::kCompLz77;
      fields.crc = 0xFFFFFFFFu;
    } else {
      if (!ReadWhole(e.path, uint64_t(st.st_size), data, err)) {
        fclose(f);
        remove(temp.c_str());
        return 2;
      }
      fields.unpackedSize = uint32_t(data.size());
      fields.crc = Crc(data.data(), data.size());
      packed = encoder.CompressEntry(data.data(), data.size());
      fields.compType = ace::kCompLz77;
      if (packed.size() >= data.size() && !data.empty()) {
        packed = data;  // compressing does not pay
        fields.compType = ace::kCompStored;
      }
    }
    fields.packedSize = uint32_t(packed.size());
    const std::vector<uint8_t> header = FileHeader(e.name, fields);
    if (!write(header) || !write(packed)) return fail("cannot write", out);
    if (!e.directory) done += data.size();
    written += header.size() + packed.size();
    progress.Update(done, written);
  }
  progress.Update(done, written, true);
  if (fflush(f) != 0 || ferror(f)) return fail("cannot write", out);
  if (!CommitBeside(f, temp, out, options.force, err)) return 2;
  return 0;
}

}  // namespace qmk
