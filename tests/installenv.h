// installenv.h - each install test starts with a clear status, no log and the in-memory system.
#pragma once

#include <gtest/gtest.h>

#include "archive/status.h"
#include "install/logcreaterunit.h"
#include "platform/memfs.h"
#include "tests/support/installcheck.h"

namespace qmktest {

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

}  // namespace qmktest
