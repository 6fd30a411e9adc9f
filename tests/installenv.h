// installenv.h - the install tests' fixture, and the disks the extraction
// tests run on: the in-memory file system everywhere and, in the Windows
// build, also the real one (a fresh temporary directory), so what is checked
// against the stand-in is checked against Win32 itself under Wine.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/status.h"
#include "install/logcreaterunit.h"
#include "platform/memfs.h"
#include "tests/support/installcheck.h"

namespace qmktest {

// Each test starts with a clear status, no log and the in-memory system in
// use; everything is put back afterwards.
class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NewRun();
    memfs::Install();
  }
  void TearDown() override {
    NewRun();
    platform = &kNativePlatform;
  }
  static void NewRun() {
    errorStatus = kStatusOk;
    delete InstallLog;
    InstallLog = nullptr;
  }
};

class Disk {
 public:
  explicit Disk(bool real);  // real: below the system's temporary folder (Windows only)
  ~Disk();
  std::string base;          // an existing, empty directory, ending with "\"
  void MakeDirs(const std::string& path);
  void PutFile(const std::string& path, const std::string& bytes, uint32_t attributes = 0x20);
  // The file's bytes, or "<missing>".
  std::string Read(const std::string& path);
  memfs::LocalTime LastWrite(const std::string& path);
  // Everything below `dir` (ending with "\"), relative, directories with a
  // final "\", sorted.
  std::vector<std::string> Below(const std::string& dir);
  // Holds an existing file open as another program would, without sharing
  // write access, until the disk goes.
  void HoldOpen(const std::string& path);
  uint32_t Attributes(const std::string& path) { return platform->getFileAttributes(path.c_str()); }

 private:
  bool real_;
  std::vector<void*> held_;
};

}  // namespace qmktest
