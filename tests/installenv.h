// installenv.h - the disks the extraction tests run on: the in-memory file
// system everywhere, and in the Windows build also the real one (a fresh
// temporary directory), so what is checked against the stand-in is checked
// against Win32 itself under Wine.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/status.h"
#include "install/logcreaterunit.h"
#include "platform/memfs.h"
#include "platform/platform.h"

namespace qmktest {

class Disk {
 public:
  virtual ~Disk() = default;
  // An existing, empty directory for the test, ending with "\".
  virtual std::string Base() const = 0;
  virtual void MakeDirs(const std::string& path) = 0;
  virtual void PutFile(const std::string& path, const std::string& bytes, uint32_t attributes = 0x20) = 0;
  virtual bool ReadFile(const std::string& path, std::string* bytes) = 0;
  virtual memfs::LocalTime LastWrite(const std::string& path) = 0;
  // Everything below `dir` (ending with "\"), relative, directories with a
  // final "\", sorted.
  virtual std::vector<std::string> Below(const std::string& dir) = 0;
  // Holds an existing file open as another program would, without sharing
  // write access, until the disk goes.
  virtual void HoldOpen(const std::string& path) = 0;
  uint32_t Attributes(const std::string& path) { return platform->getFileAttributes(path.c_str()); }
};

std::unique_ptr<Disk> MakeMemDisk();
#ifdef _WIN32
std::unique_ptr<Disk> MakeRealDisk();
#endif

// Each test starts with a clear status, no log, the disk's table in use and
// the current directory where it was; everything is put back afterwards.
class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    errorStatus = kStatusOk;
    delete InstallLog;
    InstallLog = nullptr;
    memfs::Install();
  }
  void TearDown() override {
    delete InstallLog;
    InstallLog = nullptr;
    platform = &kNativePlatform;
    errorStatus = kStatusOk;
  }
};

// The log file split into lines; each must end in CR LF. A last line
// without it is returned with the marker "<no CR LF>".
std::vector<std::string> LogLines(const std::string& bytes);

}  // namespace qmktest
