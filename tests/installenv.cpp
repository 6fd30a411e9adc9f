// installenv.cpp - the in-memory and the real disk for the extraction tests.
#include "tests/installenv.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qmktest {

std::vector<std::string> LogLines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(bytes.substr(start) + "<no CR LF>");
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = char(toupper(static_cast<unsigned char>(c)));
  return s;
}

class MemDisk : public Disk {
 public:
  MemDisk() { memfs::MakeDirs("C:\\T"); }
  std::string Base() const override { return "C:\\T\\"; }
  void MakeDirs(const std::string& path) override { memfs::MakeDirs(path); }
  void PutFile(const std::string& path, const std::string& bytes, uint32_t attributes) override {
    memfs::PutFile(path, bytes, attributes);
  }
  bool ReadFile(const std::string& path, std::string* bytes) override { return memfs::ReadFile(path, bytes); }
  memfs::LocalTime LastWrite(const std::string& path) override {
    memfs::LocalTime t{};
    memfs::LastWrite(path, &t);
    return t;
  }
  void HoldOpen(const std::string& path) override { memfs::SetInUse(path, true); }
  std::vector<std::string> Below(const std::string& dir) override {
    std::vector<std::string> out;
    for (const std::string& p : memfs::Tree()) {
      if (p.size() > dir.size() && Upper(p.substr(0, dir.size())) == Upper(dir)) out.push_back(p.substr(dir.size()));
    }
    std::sort(out.begin(), out.end());
    return out;
  }
};

}  // namespace

std::unique_ptr<Disk> MakeMemDisk() { return std::make_unique<MemDisk>(); }

#ifdef _WIN32

namespace {

namespace fs = std::filesystem;

// A fresh directory below the system's temporary folder, removed (read-only
// bits first) when the test ends.
class RealDisk : public Disk {
 public:
  RealDisk() {
    static int counter = 0;
    root_ = fs::temp_directory_path() / ("qmk_install_" + std::to_string(long(getpid())) + "_" +
                                         std::to_string(long(time(nullptr))) + "_" + std::to_string(counter++));
    fs::remove_all(root_);
    fs::create_directories(root_);
    base_ = root_.string();
    std::replace(base_.begin(), base_.end(), '/', '\\');
    if (base_.back() != '\\') base_ += '\\';
    platform = &kNativePlatform;
  }
  ~RealDisk() override {
    for (HANDLE h : held_) CloseHandle(h);
    std::error_code ec;
    for (auto& p : fs::recursive_directory_iterator(root_, ec)) {
      kNativePlatform.setFileAttributes(p.path().string().c_str(), 0x80);
    }
    fs::remove_all(root_, ec);
  }
  std::string Base() const override { return base_; }
  void MakeDirs(const std::string& path) override { fs::create_directories(path); }
  void PutFile(const std::string& path, const std::string& bytes, uint32_t attributes) override {
    fs::create_directories(fs::path(path).parent_path());
    {
      std::ofstream f(path, std::ios::binary);
      f << bytes;
    }
    kNativePlatform.setFileAttributes(path.c_str(), attributes);
  }
  bool ReadFile(const std::string& path, std::string* bytes) override {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    std::ifstream f(path, std::ios::binary);
    bytes->assign(std::istreambuf_iterator<char>(f), {});
    return true;
  }
  memfs::LocalTime LastWrite(const std::string& path) override {
    struct stat st;
    memfs::LocalTime t{};
    if (stat(path.c_str(), &st) != 0) return t;
    const time_t when = st.st_mtime;
    const struct tm* l = localtime(&when);
    t = {l->tm_year + 1900, l->tm_mon + 1, l->tm_mday, l->tm_hour, l->tm_min, l->tm_sec};
    return t;
  }
  void HoldOpen(const std::string& path) override {
    held_.push_back(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  }
  std::vector<std::string> Below(const std::string& dir) override {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto& p : fs::recursive_directory_iterator(dir, ec)) {
      std::string rel = p.path().lexically_relative(dir).string();
      std::replace(rel.begin(), rel.end(), '/', '\\');
      if (p.is_directory()) rel += '\\';
      out.push_back(rel);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  fs::path root_;
  std::string base_;
  std::vector<HANDLE> held_;
};

}  // namespace

std::unique_ptr<Disk> MakeRealDisk() { return std::make_unique<RealDisk>(); }

#endif

}  // namespace qmktest
