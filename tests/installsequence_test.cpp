// installsequence_test.cpp - the whole installation after OK (extraction,
// Start-menu folder and shortcuts, uninstall key, log closed, final report
// and exit code) on the in-memory system: a complete run line for line,
// every platform call failing in turn, the disk full at every byte, the
// process stopped after every call and the product's uninstaller run over
// what it left, and a thousand installs and uninstalls in a row.
//
// After every run the rules of installcheck.h must hold, and the report must
// match the result: a step reported as done is done.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "archive/unace.h"
#include "front/installsequence.h"
#include "tests/installenv.h"
#include "tests/support/archivebuilder.h"
#include "tests/support/installcheck.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator statistics (its header does not come with
// every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

using namespace qmktest;

namespace {

const char kPrograms[] = "C:\\Users\\Q\\Start Menu\\Programs";
const char kDir[] = "C:\\Program files\\QMK\\";
const char kKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QMK";

// The product as the payload holds it: a directory first, then files, one
// of them read-only.
std::vector<FileEntry> Product() {
  FileEntry plugins;
  plugins.name = "Plugins";
  plugins.compType = 0;
  plugins.attributes = 0x810;
  std::vector<FileEntry> e = {plugins,
                              File("Plugins\\a.dll", RandomBytes(900, 1)),
                              File("Plugins\\b.dll", RandomBytes(400, 2)),
                              File("qmk.exe", RandomBytes(1200, 3)),
                              File("readme.rus.txt", SampleText(500, 4), 0x21),
                              File("readme.txt", SampleText(700, 5))};
  Pack(e, true);
  return e;
}

class WholeInstall : public InstallTest {
 protected:
  void SetUp() override {
    InstallTest::SetUp();
    entries_ = Product();
    image_ = BuildArchive({}, entries_);
    facts_ = ListEntries(image_);
  }

  // A machine with the user's own files beside the product's place, an
  // earlier program in the Start menu and in the list of uninstallers.
  // With `overlap`, the installation directory exists already and holds an
  // older readme.txt and a file of the user's.
  void MakeWorld(bool overlap = false) {
    memfs::Install();
    memfs::PutFile("C:\\Program files\\Other\\keep.txt", "the user's");
    memfs::PutFile(std::string(kPrograms) + "\\Accessories\\Notepad.lnk", "an earlier link");
    memfs::SetProgramsFolder(kPrograms);
    memfs::SetShortName("C:\\Program files\\QMK", "C:\\PROGRA~1\\QMK");
    memfs::AddRegistryKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Other");
    if (overlap) {
      memfs::PutFile(std::string(kDir) + "readme.txt", "an older read-me");
      memfs::PutFile(std::string(kDir) + "notes.txt", "the user's notes");
    }
    memfs::SetPayload(image_.data(), uint32_t(image_.size()));
  }

  InstallOutcome Run(const char* dir = "C:\\Program files\\QMK") {
    errorStatus = kStatusOk;
    delete InstallLog;
    InstallLog = nullptr;
    outputHandle = kNoHandle;
    strcpy(InstallDir, dir);
    InstallOutcome outcome = InstallProduct();
    CloseInstallLog(&outcome);
    return outcome;
  }

  std::string Log() {
    std::string s;
    return memfs::ReadFile(std::string(kDir) + "uninstall.list", &s) ? s : "<no log>";
  }

  // Whether the log (after the uninstaller: as it was) holds no whole line.
  bool NamesNothing() {
    std::string s;
    return !memfs::ReadFile(std::string(kDir) + "uninstall.list", &s) || s.find("\r\n") == std::string::npos;
  }

  // After the uninstaller, the machine is as before the installation, but
  // for what the rules allow: with `overlap`, the older read-me the run
  // replaced (it went with the product); and the empty installation
  // directory itself when the log never named it (made before its log
  // could be written, or its first line could not be).
  void ExpectOnlyLeftovers(const SystemState& before, bool overlap) {
    for (const std::string& d : Differences(before, CaptureSystem())) {
      const bool replaced = overlap && d == "- C:\\Program files\\QMK\\readme.txt";
      const bool ownPath = !overlap && d == "+ C:\\Program files\\QMK\\" && memfs::Tree().size() == before.nodes.size() + 1;
      EXPECT_TRUE(replaced || ownPath) << d;
    }
  }

  // The report against the result: every step reported as done is done.
  // After a first run (`fresh`), nothing points at what is not there; a
  // failed reinstall may leave the earlier run's links to a file it was
  // replacing.
  void ExpectReportTrue(const InstallOutcome& o, bool fresh = true) {
    if (o.extraction == kStatusOk) {
      for (const FileEntry& e : entries_) {
        const std::string path = kDir + e.name;
        // The bits a file system keeps (read-only, hidden, system, directory, archive).
        EXPECT_EQ(memfs::Attributes(path) & 0x37, e.attributes & 0x37) << path;
        if (e.attributes & 0x10) continue;
        std::string bytes;
        EXPECT_TRUE(memfs::ReadFile(path, &bytes) && bytes == std::string(e.data.begin(), e.data.end())) << path;
        memfs::LocalTime t{};
        EXPECT_TRUE(memfs::LastWrite(path, &t) && t.year == 1999 && t.month == 5 && t.day == 3 && t.hour == 16 &&
                    t.minute == 48) << path;
      }
    }
    // The short form where the system gives one, else the directory as confirmed.
    auto inDir = [](const std::string& path, const std::string& name) {
      return path == "C:\\PROGRA~1\\QMK\\" + name || path == "C:\\Program files\\QMK\\" + name;
    };
    if (o.shortcutsMade) {
      const std::string menu = std::string(kPrograms) + "\\Quellmark\\";
      memfs::Shortcut link;
      EXPECT_TRUE(memfs::ReadShortcut(menu + "Quellmark.lnk", &link) && link.target == "C:\\Program files\\QMK\\qmk.exe");
      EXPECT_TRUE(memfs::ReadShortcut(menu + "ReadMe(eng).lnk", &link) && inDir(link.target, "readme.txt"));
      EXPECT_TRUE(memfs::ReadShortcut(menu + "ReadMe(rus).lnk", &link) && inDir(link.target, "readme.rus.txt"));
      EXPECT_TRUE(memfs::ReadShortcut(menu + "Uninstall.lnk", &link) && inDir(link.target, "qmk.exe") &&
                  link.arguments == "-uninstall" && link.icon == 2);
    }
    if (o.registered) {
      std::string name, command;
      EXPECT_TRUE(memfs::RegistryValue(kKey, "DisplayName", &name) && name == "Quellmark");
      EXPECT_TRUE(memfs::RegistryValue(kKey, "UninstallString", &command) && inDir(command, "qmk.exe -uninstall"));
    }
    if (o.logWritten) {
      const std::string log = Log();
      EXPECT_TRUE(log.size() >= 2 && log.compare(log.size() - 2, 2, "\r\n") == 0) << log;
    }
    // Nothing points at what is not there.
    for (const char* name : {"Quellmark.lnk", "ReadMe(eng).lnk", "ReadMe(rus).lnk", "Uninstall.lnk"}) {
      memfs::Shortcut link;
      if (!fresh || !memfs::ReadShortcut(std::string(kPrograms) + "\\Quellmark\\" + name, &link)) continue;
      const std::string leaf = link.target.substr(link.target.rfind('\\') + 1);
      EXPECT_TRUE(memfs::Exists(kDir + leaf)) << name << " points at a missing " << leaf;
    }
    if (fresh && memfs::RegistryKeyExists(kKey)) {
      EXPECT_TRUE(memfs::Exists(std::string(kDir) + "qmk.exe"));
    }
    if (fresh && NothingInstalled(o)) {
      EXPECT_FALSE(memfs::Exists(std::string(kPrograms) + "\\Quellmark"));
      EXPECT_FALSE(memfs::RegistryKeyExists(kKey));
    }
    EXPECT_EQ(ExitCodeOf(o), NothingInstalled(o)     ? kExitRefused
                             : InstallSucceeded(o) ? kExitInstalled
                                                   : kExitIncomplete);
  }

  // The rules of installcheck.h, and the report, after a run that ended.
  void ExpectRulesKept(const SystemState& before, const InstallOutcome& o) {
    RunFacts run;
    run.installDir = kDir;
    run.startMenu = std::string(kPrograms) + "\\Quellmark";
    run.failureReported = o.extraction != kStatusOk;
    run.logReported = !o.logWritten;
    for (const std::string& fault : CheckInstallRun(before, CaptureSystem(), facts_, run)) ADD_FAILURE() << fault;
    ExpectReportTrue(o);
    EXPECT_EQ(memfs::OpenObjects(), 0);
  }

  std::vector<FileEntry> entries_;
  Bytes image_;
  std::vector<EntryFacts> facts_;
};

// ---- a complete run --------------------------------------------------------------------

TEST_F(WholeInstall, CompleteRunLogsEveryItemInOrderAndReportsSuccess) {
  MakeWorld();
  const SystemState before = CaptureSystem();
  const InstallOutcome o = Run();
  EXPECT_TRUE(InstallSucceeded(o));
  EXPECT_EQ(ExitCodeOf(o), kExitInstalled);
  const std::string top = "C:\\Program files\\QMK";
  const std::string menu = std::string(kPrograms) + "\\Quellmark";
  EXPECT_EQ(LogLines(Log()), (std::vector<std::string>{
                                 "mkd: C:\\Program files\\ ::: QMK",
                                 "mkd: " + top + " ::: Plugins",
                                 top + "\\Plugins\\a.dll",
                                 top + "\\Plugins\\b.dll",
                                 top + "\\qmk.exe",
                                 top + "\\readme.rus.txt",
                                 top + "\\readme.txt",
                                 "mkd: " + std::string(kPrograms) + " ::: Quellmark",
                                 menu + "\\Quellmark.lnk",
                                 menu + "\\ReadMe(eng).lnk",
                                 menu + "\\ReadMe(rus).lnk",
                                 menu + "\\Uninstall.lnk",
                                 "reg: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ ::: QMK",
                             }));
  memfs::Shortcut link;
  ASSERT_TRUE(memfs::ReadShortcut(menu + "\\Quellmark.lnk", &link));
  EXPECT_EQ(link.workingDirectory, top);  // the long form, as confirmed
  EXPECT_EQ(link.icon, 0);
  ASSERT_TRUE(memfs::ReadShortcut(menu + "\\Uninstall.lnk", &link));
  EXPECT_EQ(link.target, "C:\\PROGRA~1\\QMK\\qmk.exe");
  EXPECT_EQ(link.workingDirectory, "C:\\PROGRA~1\\QMK");
  EXPECT_EQ(memfs::ComInitializations(), 1);
  EXPECT_EQ(memfs::CurrentDirectory(), kPrograms);  // left there, as the sequence has it
  ExpectRulesKept(before, o);
  FinalReport report;
  MakeFinalReport(o, &report);
  EXPECT_STREQ(report.text, "  Installing complited .        ");
  EXPECT_STREQ(report.caption, "Information");
  EXPECT_FALSE(report.warning);
}

TEST_F(WholeInstall, UninstallerRemovesExactlyWhatTheRunCreated) {
  MakeWorld(true);
  const SystemState before = CaptureSystem();
  ASSERT_TRUE(InstallSucceeded(Run()));
  EXPECT_EQ(RunUninstaller(kDir), std::vector<std::string>{});
  // The older read-me was replaced, so it goes with the product; the
  // user's notes keep the directory.
  EXPECT_EQ(Differences(before, CaptureSystem()),
            std::vector<std::string>{"- C:\\Program files\\QMK\\readme.txt"});
}

// Each failed step is one line that says what happened, to what, and what
// to do, with the status number for support.
TEST_F(WholeInstall, ReportListsEachFailedStepInWords) {
  const char* const kIncomplete = "Quellmark was not installed completely.\n";
  const struct {
    InstallOutcome outcome;
    std::string text;
  } cases[] = {
      {{7, false, true, false, "C:\\Q\\qmk.exe", false},
       std::string(kIncomplete) +
           "C:\\Q\\qmk.exe could not be written in full: the disk is full. Free some space and run the installer "
           "again. (error 7)\n"
           "The install log uninstall.list could not be written, so the uninstaller cannot remove everything. Free "
           "some space and run the installer again.\n"
           "The uninstall entry could not be registered. Run the installer as an administrator."},
      {{18, true, false, false, "C:\\Q\\qmk.exe", true},
       std::string(kIncomplete) +
           "C:\\Q\\qmk.exe is in use or read-only. Close Quellmark and run the installer again. (error 18)\n"
           "The Start-menu shortcuts could not all be created; a shortcut is made only for a file that was "
           "installed.\n"
           "No uninstall entry was registered, as qmk.exe was not installed."},
      {{14, false, false, false, "Q:\\QMK\\", false},
       "Quellmark was not installed.\n"
       "The directory Q:\\QMK\\ could not be created or entered. Choose another directory. (error 14)"},
      {{11, true, true, true, nullptr, false},
       std::string(kIncomplete) +
           "The product files inside this installer are damaged (at a product file). Download the installer "
           "again. (error 11)"},
      {{0, true, false, true, nullptr, false},
       std::string(kIncomplete) +
           "The Start-menu shortcuts could not all be created; a shortcut is made only for a file that was installed."},
  };
  for (const auto& c : cases) {
    FinalReport report;
    MakeFinalReport(c.outcome, &report);
    EXPECT_EQ(std::string(report.text), c.text);
    EXPECT_STREQ(report.caption, "Quellmark");
    EXPECT_TRUE(report.warning);
  }
  EXPECT_EQ(ExitCodeOf(cases[0].outcome), kExitIncomplete);
  EXPECT_EQ(ExitCodeOf(cases[2].outcome), kExitRefused);
  // A path as long as paths get still leaves room for every line.
  const std::string longPath(999, 'p');
  FinalReport report;
  MakeFinalReport({15, false, false, false, longPath.c_str(), false}, &report);
  EXPECT_NE(strstr(report.text, "administrator."), nullptr);
}

TEST_F(WholeInstall, UninstallerPassesOverALastLineCutShort) {
  // The installer creates an item only once its whole line is in the log,
  // so a last line without CR LF names nothing, though it may look like a
  // file of the user's.
  MakeWorld();
  memfs::PutFile(std::string(kDir) + "a.txt", "made by the run");
  memfs::PutFile(std::string(kDir) + "a.t", "the user's");
  memfs::PutFile(std::string(kDir) + "uninstall.list", std::string(kDir) + "a.txt\r\n" + kDir + "a.t");
  EXPECT_EQ(RunUninstaller(kDir), std::vector<std::string>{});
  EXPECT_FALSE(memfs::Exists(std::string(kDir) + "a.txt"));
  EXPECT_TRUE(memfs::Exists(std::string(kDir) + "a.t"));
}

// ---- steps that fail as a whole ------------------------------------------------------

// No Programs folder, or a registry that refuses writing: the step fails
// as a whole, is reported, and its line is logged all the same.
TEST_F(WholeInstall, StepThatFailsAsAWholeIsReportedAndTheOthersAreDone) {
  for (const bool registryDenied : {false, true}) {
    SCOPED_TRACE(registryDenied ? "registry denied" : "no Programs folder");
    MakeWorld();
    if (registryDenied) {
      memfs::DenyRegistry(true);
    } else {
      memfs::SetProgramsFolder("");
    }
    const SystemState before = CaptureSystem();
    const InstallOutcome o = Run();
    EXPECT_EQ(o.extraction, kStatusOk);
    EXPECT_EQ(o.shortcutsMade, registryDenied);
    EXPECT_EQ(o.registered, !registryDenied);
    EXPECT_EQ(memfs::RegistryKeyExists(kKey), !registryDenied);
    EXPECT_EQ(ExitCodeOf(o), kExitIncomplete);
    EXPECT_EQ(LogLines(Log()).back(), "reg: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ ::: QMK");
    ExpectRulesKept(before, o);
    for (const std::string& d : Differences(before, CaptureSystem())) {
      EXPECT_TRUE(registryDenied || d.rfind("+ C:\\Program files\\QMK", 0) == 0 || d.rfind("+ registry ", 0) == 0) << d;
    }
    memfs::DenyRegistry(false);
  }
}

// ---- reinstalls ---------------------------------------------------------------------

// Installs into one directory (again and again, with failures between),
// then the uninstaller: whatever any run made goes, the user's files stay,
// and the log names no line twice.
TEST_F(WholeInstall, ReinstallsKeepTheEarlierRecordUntilTheUninstall) {
  const struct {
    const char* what;
    const char* dir;
    bool overlap;
    bool qmkRunning;  // the second run meets qmk.exe running
  } cases[] = {
      {"twice", "C:\\Program files\\QMK", true, false},
      {"twice into new parents", "C:\\A\\B\\QMK", false, false},
      {"again while qmk.exe runs, then again", "C:\\Program files\\QMK", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = std::string(c.dir) + "\\";
    MakeWorld(c.overlap);
    memfs::SetShortName(c.dir, c.dir);
    const SystemState before = CaptureSystem();
    ASSERT_TRUE(InstallSucceeded(Run(c.dir)));
    std::string first;
    ASSERT_TRUE(memfs::ReadFile(dir + "uninstall.list", &first));
    if (c.qmkRunning) {
      memfs::SetInUse(dir + "qmk.exe", true);
      const InstallOutcome o = Run(c.dir);
      EXPECT_EQ(o.extraction, kStatusCannotReplace);
      EXPECT_EQ(std::string(o.failedPath ? o.failedPath : ""), dir + "qmk.exe");
      EXPECT_EQ(ExitCodeOf(o), kExitIncomplete);
      memfs::SetInUse(dir + "qmk.exe", false);
    }
    const InstallOutcome o = Run(c.dir);
    EXPECT_TRUE(InstallSucceeded(o)) << o.extraction;  // the read-only read-me is the product's own
    std::string again;
    ASSERT_TRUE(memfs::ReadFile(dir + "uninstall.list", &again));
    const std::vector<std::string> lines = LogLines(again);
    std::set<std::string> seen;
    for (const std::string& line : lines) {
      std::string key = line;
      for (char& ch : key) ch = char(toupper(static_cast<unsigned char>(ch)));
      EXPECT_TRUE(seen.insert(key).second) << "twice: " << line;
    }
    // The earlier lines come first, in their order; a directory line that
    // names nothing ("mkd: DIR\\ :::", the directory was there) is not kept.
    std::vector<std::string> earlier = LogLines(first);
    earlier.erase(std::remove_if(earlier.begin(), earlier.end(),
                                 [](const std::string& l) { return l.size() > 4 && l.substr(l.size() - 4) == " :::"; }),
                  earlier.end());
    ASSERT_GE(lines.size(), earlier.size());
    EXPECT_TRUE(std::equal(earlier.begin(), earlier.end(), lines.begin())) << again;
    EXPECT_EQ(RunUninstaller(dir), std::vector<std::string>{});
    for (const std::string& d : Differences(before, CaptureSystem())) {
      EXPECT_TRUE(c.overlap && d == "- C:\\Program files\\QMK\\readme.txt") << d;
    }
  }
}

// Each platform call of a second run over a complete first one fails in
// turn; the uninstaller then leaves nothing of the product and every file
// of the user's.
TEST_F(WholeInstall, EveryFailingCallOfAReinstallLeavesARecordTheUninstallerClears) {
  MakeWorld(true);
  ASSERT_TRUE(InstallSucceeded(Run()));
  const uint32_t start = memfs::CallCount();
  ASSERT_TRUE(InstallSucceeded(Run()));
  const uint32_t calls = memfs::CallCount() - start;
  for (uint32_t n = 1; n <= calls; n++) {
    MakeWorld(true);
    const SystemState before = CaptureSystem();
    ASSERT_TRUE(InstallSucceeded(Run()));
    memfs::FailCall(n);
    const InstallOutcome o = Run();
    SCOPED_TRACE("failing call " + std::to_string(n) + " (" + memfs::FailedCall() + ")");
    ExpectReportTrue(o, false);
    RunUninstaller(kDir);
    ExpectOnlyLeftovers(before, true);
  }
}

// ---- fault injection -------------------------------------------------------------------

// Each platform call of a complete run is made to fail in turn.
TEST_F(WholeInstall, EverySingleFailingCallKeepsTheRulesAndIsReportedTruthfully) {
  for (const bool overlap : {false, true}) {
    MakeWorld(overlap);
    const uint32_t start = memfs::CallCount();
    ASSERT_TRUE(InstallSucceeded(Run()));
    const uint32_t calls = memfs::CallCount() - start;
    std::set<std::string> failed;
    for (uint32_t n = 1; n <= calls; n++) {
      MakeWorld(overlap);
      const SystemState before = CaptureSystem();
      memfs::FailCall(n);
      const InstallOutcome o = Run();
      SCOPED_TRACE(std::string("overlap ") + (overlap ? "yes" : "no") + ", failing call " + std::to_string(n) + " (" +
                   memfs::FailedCall() + ")");
      failed.insert(memfs::FailedCall());
      ExpectRulesKept(before, o);
      // Whatever was logged, the product's uninstaller takes away again.
      if (!memfs::Exists(std::string(kDir) + "uninstall.list")) continue;
      RunUninstaller(kDir);
      ExpectOnlyLeftovers(before, overlap);
    }
    // Every kind of call the installation makes has failed once.
    for (const char* call :
         {"FindPayloadMem", "PayloadViewMem", "GetCurrentDirectoryMem", "SetCurrentDirectoryMem", "CreateDirectoryMem",
          "GetFileAttributesMem", "OpenForWriteMem", "WriteMem", "CloseMem", "SetLastWriteTimeMem",
          "SetFileAttributesMem", "CreateFileMem", "WriteFileMem", "CloseFileMem", "GetShortPathNameMem",
          "GetProgramsFolderMem", "InitializeComMem", "PrepareShortcutMem", "SaveShortcutMem",
          "CreateRegistryKeyMem", "SetRegistryStringMem", "FlushRegistryKeyMem", "CloseRegistryKeyMem"}) {
      EXPECT_TRUE(failed.count(call)) << call;
    }
    if (overlap) {
      EXPECT_TRUE(failed.count("DeleteFileMem"));
    }
  }
}

// The disk fills up at every byte of what a complete run writes.
TEST_F(WholeInstall, DiskFullAtEveryByteKeepsTheRulesAndIsReported) {
  MakeWorld(true);
  const uint64_t usedBefore = [] {
    uint64_t n = 0;
    for (const auto& [key, node] : CaptureSystem().nodes) n += node.bytes.size();
    return n;
  }();
  ASSERT_TRUE(InstallSucceeded(Run()));
  uint64_t usedAfter = 0;
  for (const auto& [key, node] : CaptureSystem().nodes) usedAfter += node.bytes.size();
  const uint64_t readmeBefore = strlen("an older read-me");
  for (uint64_t room = 0; room <= usedAfter - usedBefore + readmeBefore; room++) {
    MakeWorld(true);
    const SystemState before = CaptureSystem();
    memfs::SetCapacity(usedBefore + room);
    const InstallOutcome o = Run();
    SCOPED_TRACE("room for " + std::to_string(room) + " more bytes");
    ExpectRulesKept(before, o);
    if (room < usedAfter - usedBefore) {
      EXPECT_FALSE(InstallSucceeded(o));
    }
    memfs::SetCapacity(UINT64_MAX);
    if (!memfs::Exists(std::string(kDir) + "uninstall.list")) continue;
    RunUninstaller(kDir);
    ExpectOnlyLeftovers(before, true);
  }
}

// The process is stopped after every call of a complete run; then the
// product's uninstaller, run over the log as it stands, leaves the machine
// as it was before the installation.
TEST_F(WholeInstall, KilledAfterAnyCallTheUninstallerLeavesTheMachineClean) {
  MakeWorld();
  const uint32_t start = memfs::CallCount();
  ASSERT_TRUE(InstallSucceeded(Run()));
  const uint32_t calls = memfs::CallCount() - start;
  for (uint32_t k = 0; k <= calls; k++) {
    SCOPED_TRACE("stopped after call " + std::to_string(k));
    MakeWorld();
    const SystemState before = CaptureSystem();
    memfs::KillAfter(k);
    Run();
    const bool killed = memfs::Killed();
    memfs::Revive();
    EXPECT_EQ(killed, k < calls);
    RunFacts run;
    run.installDir = kDir;
    run.startMenu = std::string(kPrograms) + "\\Quellmark";
    run.finished = !killed;
    for (const std::string& fault : CheckInstallRun(before, CaptureSystem(), facts_, run)) ADD_FAILURE() << fault;
    const bool hadLog = memfs::Exists(std::string(kDir) + "uninstall.list");
    const std::vector<std::string> report = RunUninstaller(kDir);
    if (hadLog && !NamesNothing()) {
      EXPECT_EQ(report, std::vector<std::string>{});
    }
    ExpectOnlyLeftovers(before, false);
  }
}

// ---- soak ----------------------------------------------------------------------------------

size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
  return mallinfo2().uordblks;
#else
  return 0;
#endif
}

// The payload is read through views, each of which overwrites the one
// before, and never through its address: the address here holds zeros.
// A reader that kept a view across calls, or went to the address, would
// decode the wrong bytes.
TEST_F(WholeInstall, PayloadIsReadThroughViewsAlone) {
  entries_ = {File("big.bin", RandomBytes(300000, 7)), File("sub\\notes.txt", SampleText(90000, 8)),
              File("z.txt", SampleText(10, 9))};
  Pack(entries_, true);
  image_ = BuildArchive({}, entries_);
  const std::vector<uint8_t> zeros(image_.size(), 0);
  MakeWorld();
  memfs::SetPayload(image_.data(), uint32_t(image_.size()), zeros.data());
  const InstallOutcome o = Run();
  EXPECT_EQ(o.extraction, kStatusOk);
  ExpectReportTrue(o);
  EXPECT_GT(memfs::PayloadViews(), image_.size() / 4096);
}

TEST_F(WholeInstall, ThousandInstallsAndUninstallsLeaveNoTraceAndDoNotGrow) {
  MakeWorld();
  const SystemState before = CaptureSystem();
  std::string firstLog;
  size_t heapAtTen = 0;
  for (int i = 0; i < 1000; i++) {
    const InstallOutcome o = Run();
    ASSERT_TRUE(InstallSucceeded(o)) << "run " << i;
    if (i == 0) firstLog = Log();
    ASSERT_EQ(Log(), firstLog) << "run " << i;
    ASSERT_EQ(memfs::OpenObjects(), 0) << "run " << i;
    ASSERT_EQ(RunUninstaller(kDir), std::vector<std::string>{}) << "run " << i;
    ASSERT_EQ(Differences(before, CaptureSystem()), std::vector<std::string>{}) << "run " << i;
    ASSERT_TRUE(platform->setCurrentDirectory("C:\\"));
    if (i == 9) heapAtTen = HeapInUse();
  }
  // What the runs allocate they give back: the heap in use after a thousand
  // runs is what it was after ten (a few hundred bytes of allocator noise).
  EXPECT_LE(HeapInUse(), heapAtTen + 1024);
}

}  // namespace
