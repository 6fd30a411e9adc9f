// installenv.cpp - the in-memory and the real disk for the extraction tests.
#include "tests/installenv.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qmktest {

namespace fs = std::filesystem;

Disk::Disk(bool real) : base("C:\\T\\"), real_(real) {
  if (!real) {
    memfs::MakeDirs(base);
    return;
  }
  static int counter = 0;
  const fs::path root = fs::temp_directory_path() / ("qmk_install_" + std::to_string(long(getpid())) + "_" +
                                                     std::to_string(long(time(nullptr))) + "_" + std::to_string(counter++));
  fs::remove_all(root);
  fs::create_directories(root);
  base = root.string();
  std::replace(base.begin(), base.end(), '/', '\\');
  if (base.back() != '\\') base += '\\';
  platform = &kNativePlatform;
}

// The real directory goes with its read-only bits cleared first.
Disk::~Disk() {
  if (!real_) return;
#ifdef _WIN32
  for (void* h : held_) CloseHandle(h);
#endif
  std::error_code ec;
  for (auto& p : fs::recursive_directory_iterator(base, ec)) kNativePlatform.setFileAttributes(p.path().string().c_str(), 0x80);
  fs::remove_all(base, ec);
}

void Disk::MakeDirs(const std::string& path) { real_ ? void(fs::create_directories(path)) : memfs::MakeDirs(path); }

void Disk::PutFile(const std::string& path, const std::string& bytes, uint32_t attributes) {
  if (!real_) return memfs::PutFile(path, bytes, attributes);
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
  kNativePlatform.setFileAttributes(path.c_str(), attributes);
}

std::string Disk::Read(const std::string& path) {
  char probe;
  const int64_t n = platform->readFile(path.c_str(), &probe, 0);
  std::string bytes(size_t(n < 0 ? 0 : n), '\0');
  if (n < 0 || platform->readFile(path.c_str(), bytes.data(), uint32_t(n)) != n) return "<missing>";
  return bytes;
}

memfs::LocalTime Disk::LastWrite(const std::string& path) {
  memfs::LocalTime t{};
  struct stat st;
  if (!real_) {
    memfs::LastWrite(path, &t);
  } else if (stat(path.c_str(), &st) == 0) {
    const time_t when = st.st_mtime;
    const struct tm* l = localtime(&when);
    t = {l->tm_year + 1900, l->tm_mon + 1, l->tm_mday, l->tm_hour, l->tm_min, l->tm_sec};
  }
  return t;
}

void Disk::HoldOpen(const std::string& path) {
  if (!real_) return memfs::SetInUse(path, true);
#ifdef _WIN32
  held_.push_back(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
#endif
}

std::vector<std::string> Disk::Below(const std::string& dir) {
  std::vector<std::string> out;
  if (!real_) {
    for (const std::string& p : memfs::Tree()) {
      if (p.size() > dir.size() && Upper(p.substr(0, dir.size())) == Upper(dir)) out.push_back(p.substr(dir.size()));
    }
  }
  std::error_code ec;
  for (auto& p : fs::recursive_directory_iterator(real_ ? dir : "", ec)) {
    std::string rel = p.path().lexically_relative(dir).string();
    std::replace(rel.begin(), rel.end(), '/', '\\');
    out.push_back(rel + (p.is_directory() ? "\\" : ""));
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace qmktest
