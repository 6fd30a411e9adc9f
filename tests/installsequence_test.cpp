// installsequence_test.cpp - the whole installation after OK on the in-memory system:
// after every run, whatever its fault, the rules of installcheck.h hold and what is reported done is done.
#include <algorithm>
#include <cstring>
#include <set>

#include "archive/unace.h"
#include "front/installsequence.h"
#include "tests/installenv.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();  // its header does not come with every compiler
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

using namespace qmktest;

namespace {

const std::string kPrograms = "C:\\Users\\Q\\Start Menu\\Programs", kMenuDir = kPrograms + "\\Quellmark", kMenu = kMenuDir + "\\";
const std::string kDir = "C:\\Program files\\QMK\\", kLogFile = kDir + "uninstall.list";
const char kKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QMK";

bool InDir(const std::string& path, const std::string& name) {
  return path == "C:\\PROGRA~1\\QMK\\" + name || path == kDir + name;
}

class WholeInstall : public InstallTest {
 protected:
  // One file read-only, one whose directories have no entries.
  void SetUp() override {
    InstallTest::SetUp();
    Use({Dir("Plugins", 0x810), File("Plugins\\a.dll", RandomBytes(900, 1)), File("Plugins\\b.dll", RandomBytes(400, 2)),
         File("qmk.exe", RandomBytes(1200, 3)), File("readme.rus.txt", SampleText(500, 4), 0x21),
         File("readme.txt", SampleText(700, 5)), File("docs\\en\\guide.txt", SampleText(300, 6))});
  }
  void Use(const std::vector<FileEntry>& entries) {
    entries_ = entries;
    facts_ = ListEntries(image_ = PackedArchive(entries));
  }
  // The user's files, another program's link and key; with `overlap`, files in the directory.
  void MakeWorld(bool overlap = false) {
    memfs::Install();
    memfs::PutFile("C:\\Program files\\Other\\keep.txt", "the user's");
    memfs::PutFile(kPrograms + "\\Accessories\\Notepad.lnk", "an earlier link");
    memfs::SetProgramsFolder(kPrograms);
    memfs::SetShortName("C:\\Program files\\QMK", "C:\\PROGRA~1\\QMK");
    memfs::AddRegistryKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Other");
    if (overlap) {
      memfs::PutFile(kDir + "readme.txt", "an older read-me");
      memfs::PutFile(kDir + "notes.txt", "the user's notes");
    }
    memfs::SetPayload(image_.data(), uint32_t(image_.size()));
  }
  static InstallOutcome Run(const char* dir = "C:\\Program files\\QMK") {
    NewRun();
    outputHandle = kNoHandle;
    strcpy(InstallDir, dir);
    InstallOutcome outcome = InstallProduct();
    CloseInstallLog(&outcome);
    return outcome;
  }
  // A failed reinstall (not `fresh`) may leave the earlier links to a file it was replacing.
  void ExpectReportTrue(const InstallOutcome& o, bool fresh = true) {
    for (const FileEntry& e : o.extraction == kStatusOk ? entries_ : std::vector<FileEntry>{}) {
      const std::string path = kDir + e.name;
      memfs::LocalTime t{};
      memfs::LastWrite(path, &t);
      EXPECT_EQ(memfs::Attributes(path) & 0x37, e.attributes & 0x37) << path;
      EXPECT_TRUE((e.attributes & 0x10) || (Read(path) == std::string(e.data.begin(), e.data.end()) &&
                                            t.year == 1999 && t.month == 5 && t.day == 3 && t.hour == 16 && t.minute == 48))
          << path;
    }
    const struct {
      const char *link, *file, *arguments;
      int icon;
    } links[] = {{"Quellmark.lnk", "qmk.exe", "", 0}, {"ReadMe(eng).lnk", "readme.txt", "", 0},
                 {"ReadMe(rus).lnk", "readme.rus.txt", "", 0}, {"Uninstall.lnk", "qmk.exe", "-uninstall", 2}};
    for (const auto& l : links) {
      memfs::Shortcut s;
      const bool there = memfs::ReadShortcut(kMenu + l.link, &s);
      EXPECT_TRUE(!o.shortcutsMade || (there && InDir(s.target, l.file) && s.arguments == l.arguments && s.icon == l.icon))
          << l.link;
      const std::string leaf = s.target.substr(s.target.rfind('\\') + 1);
      EXPECT_TRUE(!fresh || !there || memfs::Exists(kDir + leaf)) << l.link << " points at a missing " << leaf;
    }
    std::string name, command;
    EXPECT_TRUE(!o.registered || (memfs::RegistryValue(kKey, "DisplayName", &name) && name == "Quellmark" &&
                                  memfs::RegistryValue(kKey, "UninstallString", &command) &&
                                  InDir(command, "qmk.exe -uninstall")));
    const std::string log = Read(kLogFile);
    EXPECT_TRUE(!o.logWritten || (log.size() >= 2 && log.compare(log.size() - 2, 2, "\r\n") == 0)) << log;
    EXPECT_TRUE(!fresh || !memfs::RegistryKeyExists(kKey) || memfs::Exists(kDir + "qmk.exe"));
    EXPECT_FALSE(fresh && NothingInstalled(o) && (memfs::Exists(kMenuDir) || memfs::RegistryKeyExists(kKey)));
    EXPECT_EQ(ExitCodeOf(o), NothingInstalled(o) ? kExitRefused : InstallSucceeded(o) ? kExitInstalled : kExitIncomplete);
  }
  void ExpectRulesKept(const SystemState& before, const InstallOutcome& o, bool finished = true) {
    const RunFacts run{kDir, kMenuDir, finished, finished && o.extraction != kStatusOk, finished && !o.logWritten};
    for (const std::string& fault : CheckInstallRun(before, CaptureSystem(), facts_, run)) ADD_FAILURE() << fault;
    if (!finished) return;
    ExpectReportTrue(o);
    EXPECT_EQ(memfs::OpenObjects(), 0);
  }
  std::vector<FileEntry> entries_;
  Bytes image_;
  std::vector<EntryFacts> facts_;
};

// A step that fails whole is reported, its line logged all the same, the others done.
TEST_F(WholeInstall, EachRunLogsEveryItemInOrderAndReportsWhatFailed) {
  const std::string top = kDir.substr(0, kDir.size() - 1);
  const std::vector<std::string> files = {"mkd: C:\\Program files\\ ::: QMK", "mkd: " + top + " ::: Plugins",
                                          kDir + "Plugins\\a.dll", kDir + "Plugins\\b.dll", kDir + "qmk.exe",
                                          kDir + "readme.rus.txt", kDir + "readme.txt", "mkd: " + top + " ::: docs",
                                          "mkd: " + top + " ::: docs\\en", kDir + "docs\\en\\guide.txt"};
  const std::vector<std::string> menu = {"mkd: " + kPrograms + " ::: Quellmark", kMenu + "Quellmark.lnk",
                                         kMenu + "ReadMe(eng).lnk", kMenu + "ReadMe(rus).lnk", kMenu + "Uninstall.lnk"};
  const std::string reg = "reg: SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ ::: QMK";
  const struct {
    const char* what;
    bool programsFolder, registry;
  } cases[] = {{"no Programs folder", false, true}, {"registry denied", true, false}, {"complete", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MakeWorld();
    if (!c.programsFolder) memfs::SetProgramsFolder("");
    memfs::DenyRegistry(!c.registry);
    const SystemState before = CaptureSystem();
    const InstallOutcome o = Run();
    memfs::DenyRegistry(false);
    EXPECT_EQ(o.extraction, kStatusOk);
    EXPECT_EQ(o.shortcutsMade, c.programsFolder);
    EXPECT_EQ(o.registered, c.registry);
    EXPECT_EQ(ExitCodeOf(o), c.programsFolder && c.registry ? kExitInstalled : kExitIncomplete);
    std::vector<std::string> log = files;
    if (c.programsFolder) log.insert(log.end(), menu.begin(), menu.end());
    log.push_back(reg);
    EXPECT_EQ(LogLines(Read(kLogFile)), log);
    ExpectRulesKept(before, o);
  }
  // The long form, as confirmed, but for the uninstaller.
  memfs::Shortcut link;
  ASSERT_TRUE(memfs::ReadShortcut(kMenu + "Quellmark.lnk", &link));
  EXPECT_EQ(link.target, kDir + "qmk.exe");
  EXPECT_EQ(link.workingDirectory, top);
  ASSERT_TRUE(memfs::ReadShortcut(kMenu + "Uninstall.lnk", &link));
  EXPECT_EQ(link.target, "C:\\PROGRA~1\\QMK\\qmk.exe");
  EXPECT_EQ(link.workingDirectory, "C:\\PROGRA~1\\QMK");
  EXPECT_EQ(memfs::ComInitializations(), 1);
  EXPECT_EQ(memfs::CurrentDirectory(), kPrograms);  // left there, as the sequence has it
}

// One line per failed step, with the status number.
TEST_F(WholeInstall, ReportListsEachFailedStepInWords) {
  const std::string incomplete = "Quellmark was not installed completely.\n", again = " and run the installer again.";
  const std::string shortcuts = "The Start-menu shortcuts could not all be created; a shortcut is made only for a file that "
                                "was installed.";
  const struct {
    InstallOutcome outcome;
    std::string text;
    int exitCode;
  } cases[] = {
      {{7, false, true, false, "C:\\Q\\qmk.exe", false},
       incomplete + "C:\\Q\\qmk.exe could not be written in full: the disk is full. Free some space" + again +
           " (error 7)\nThe install log uninstall.list could not be written, so the uninstaller cannot remove "
           "everything. Free some space" + again + "\nThe uninstall entry could not be registered. Run the installer as "
           "an administrator.", kExitIncomplete},
      {{18, true, false, false, "C:\\Q\\qmk.exe", true},
       incomplete + "C:\\Q\\qmk.exe is in use or read-only. Close Quellmark" + again + " (error 18)\n" + shortcuts +
           "\nNo uninstall entry was registered, as qmk.exe was not installed.", kExitIncomplete},
      {{14, false, false, false, "Q:\\QMK\\", false},
       "Quellmark was not installed.\nThe directory Q:\\QMK\\ could not be created or entered. Choose another directory. "
       "(error 14)", kExitRefused},
      {{11, true, true, true, nullptr, false},
       incomplete + "The product files inside this installer are damaged (at a product file). Download the installer "
                    "again. (error 11)", kExitIncomplete},
      {{0, true, false, true, nullptr, false}, incomplete + shortcuts, kExitIncomplete},
      {{0, true, true, true, nullptr, false}, "  Installing complited .        ", kExitInstalled},
  };
  for (const auto& c : cases) {
    FinalReport report;
    MakeFinalReport(c.outcome, &report);
    EXPECT_EQ(std::string(report.text), c.text);
    EXPECT_STREQ(report.caption, c.exitCode == kExitInstalled ? "Information" : "Quellmark");
    EXPECT_EQ(report.warning, c.exitCode != kExitInstalled);
    EXPECT_EQ(ExitCodeOf(c.outcome), c.exitCode);
  }
  const std::string longPath(999, 'p');
  FinalReport report;
  MakeFinalReport({15, false, false, false, longPath.c_str(), false}, &report);
  EXPECT_NE(strstr(report.text, "administrator."), nullptr);
}

// A last line without CR LF names nothing.
TEST_F(WholeInstall, UninstallerPassesOverALastLineCutShort) {
  MakeWorld();
  memfs::PutFile(kDir + "a.txt", "made by the run");
  memfs::PutFile(kDir + "a.t", "the user's");
  memfs::PutFile(kLogFile, kDir + "a.txt\r\n" + kDir + "a.t");
  EXPECT_EQ(RunUninstaller(kDir), std::vector<std::string>{});
  EXPECT_FALSE(memfs::Exists(kDir + "a.txt"));
  EXPECT_TRUE(memfs::Exists(kDir + "a.t"));
}

// Reinstalls keep the earlier lines first, none twice (but for the root line naming nothing); the uninstaller clears all.
TEST_F(WholeInstall, ReinstallsKeepTheEarlierRecordUntilTheUninstall) {
  const struct {
    const char* what;
    const char* dir;
    bool overlap, qmkRunning;
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
    std::vector<std::string> earlier = LogLines(Read(dir + "uninstall.list"));
    if (c.qmkRunning) {
      memfs::SetInUse(dir + "qmk.exe", true);
      const InstallOutcome o = Run(c.dir);
      EXPECT_EQ(o.extraction, kStatusCannotReplace);
      EXPECT_EQ(std::string(o.failedPath ? o.failedPath : ""), dir + "qmk.exe");
      EXPECT_EQ(ExitCodeOf(o), kExitIncomplete);
      memfs::SetInUse(dir + "qmk.exe", false);
    }
    EXPECT_TRUE(InstallSucceeded(Run(c.dir)));  // the read-only read-me is the product's own
    const std::vector<std::string> lines = LogLines(Read(dir + "uninstall.list"));
    std::set<std::string> seen;
    for (const std::string& line : lines) EXPECT_TRUE(seen.insert(Upper(line)).second) << "twice: " << line;
    earlier.erase(std::remove_if(earlier.begin(), earlier.end(),
                                 [](const std::string& l) { return l.size() > 4 && l.substr(l.size() - 4) == " :::"; }),
                  earlier.end());
    ASSERT_GE(lines.size(), earlier.size());
    EXPECT_TRUE(std::equal(earlier.begin(), earlier.end(), lines.begin()));
    EXPECT_EQ(RunUninstaller(dir), std::vector<std::string>{});
    EXPECT_EQ(Differences(before, CaptureSystem()),
              c.overlap ? std::vector<std::string>{"- " + kDir + "readme.txt"} : std::vector<std::string>{});
  }
}

// Each call failing, the disk full at each byte, a stop after each call: the rules hold, the report
// is true, and the uninstaller restores the machine.
TEST_F(WholeInstall, EveryFaultKeepsTheRulesAndTheUninstallerClearsUp) {
  enum Fault { kFailCall, kDiskFull, kKill };
  const struct {
    const char* what;
    Fault fault;
    bool overlap, reinstall;
  } cases[] = {{"a failing call", kFailCall, false, false},
               {"a failing call, over older files", kFailCall, true, false},
               {"a failing call of a reinstall", kFailCall, true, true},
               {"the disk full", kDiskFull, true, false},
               {"stopped", kKill, false, false}};
  for (const auto& c : cases) {
    MakeWorld(c.overlap);
    if (c.reinstall) Run();
    const uint32_t start = memfs::CallCount();
    const uint64_t used = Used(CaptureSystem());
    ASSERT_TRUE(InstallSucceeded(Run()));
    const uint32_t calls = memfs::CallCount() - start;
    const uint64_t grown = Used(CaptureSystem()) - used, last = grown + (c.overlap ? strlen("an older read-me") : 0);
    std::set<std::string> failed;
    for (uint64_t k = c.fault == kFailCall; k <= (c.fault == kDiskFull ? last : calls); k++) {
      MakeWorld(c.overlap);
      const SystemState before = CaptureSystem();
      ASSERT_TRUE(!c.reinstall || InstallSucceeded(Run()));
      c.fault == kFailCall ? memfs::FailCall(uint32_t(k))
      : c.fault == kDiskFull ? memfs::SetCapacity(used + k) : memfs::KillAfter(uint32_t(k));
      const InstallOutcome o = Run();
      SCOPED_TRACE(std::string(c.what) + ", at " + std::to_string(k) + " " + memfs::FailedCall());
      failed.insert(memfs::FailedCall());
      const bool killed = memfs::Killed();
      if (c.fault == kKill) memfs::Revive();
      memfs::SetCapacity(UINT64_MAX);
      EXPECT_TRUE(c.fault != kKill || killed == (k < calls));
      EXPECT_FALSE(c.fault == kDiskFull && k < grown && InstallSucceeded(o));
      c.reinstall ? ExpectReportTrue(o, false) : ExpectRulesKept(before, o, !killed);
      const bool hadLog = memfs::Exists(kLogFile);
      if (!hadLog && c.fault != kKill && !c.reinstall) continue;
      std::vector<std::string> report;
      EXPECT_EQ(LeftAfterUninstall(before, kDir, &report), std::vector<std::string>{});
      const bool namesSomething = hadLog && Read(kLogFile).find("\r\n") != std::string::npos;
      EXPECT_TRUE(c.fault != kKill || !namesSomething || report.empty()) << report[0];
    }
    if (c.fault != kFailCall || c.reinstall) continue;
    // A call that leaves no trace (the registry flush) is seen only here.
    for (const char* call : {"FindPayloadMem", "PayloadViewMem", "GetCurrentDirectoryMem", "SetCurrentDirectoryMem",
                             "CreateDirectoryMem", "GetFileAttributesMem", "OpenForWriteMem", "WriteMem", "CloseMem",
                             "SetLastWriteTimeMem", "SetFileAttributesMem", "CreateFileMem", "WriteFileMem",
                             "CloseFileMem", "GetShortPathNameMem", "GetProgramsFolderMem", "InitializeComMem",
                             "PrepareShortcutMem", "SaveShortcutMem", "CreateRegistryKeyMem", "SetRegistryStringMem",
                             "FlushRegistryKeyMem", "CloseRegistryKeyMem", c.overlap ? "DeleteFileMem" : "WriteMem"}) {
      EXPECT_TRUE(failed.count(call)) << call << " never failed";
    }
  }
}

// Each view overwrites the one before, and the payload's address holds zeros.
TEST_F(WholeInstall, PayloadIsReadThroughViewsAlone) {
  Use({File("big.bin", RandomBytes(300000, 7)), File("sub\\notes.txt", SampleText(90000, 8)),
       File("z.txt", SampleText(10, 9))});
  const std::vector<uint8_t> zeros(image_.size(), 0);
  MakeWorld();
  memfs::SetPayload(image_.data(), uint32_t(image_.size()), zeros.data());
  const InstallOutcome o = Run();
  EXPECT_EQ(o.extraction, kStatusOk);
  ExpectReportTrue(o);
  EXPECT_GT(memfs::PayloadViews(), image_.size() / 4096);
}

size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#elif defined(__GLIBC__)
  return mallinfo2().uordblks;
#else
  return 0;
#endif
}

// The heap after a thousand install, reinstall, uninstall rounds is what it was after ten.
TEST_F(WholeInstall, ThousandInstallsAndUninstallsLeaveNoTraceAndDoNotGrow) {
  MakeWorld();
  const SystemState before = CaptureSystem();
  std::string logs[2];
  size_t heapAtTen = 0;
  for (int i = 0; i < 1000; i++) {
    for (std::string& log : logs) {
      ASSERT_TRUE(InstallSucceeded(Run())) << "run " << i;
      if (i == 0) log = Read(kLogFile);
      ASSERT_EQ(Read(kLogFile), log) << "run " << i;
    }
    ASSERT_EQ(memfs::OpenObjects(), 0) << "run " << i;
    ASSERT_EQ(RunUninstaller(kDir), std::vector<std::string>{}) << "run " << i;
    ASSERT_EQ(Differences(before, CaptureSystem()), std::vector<std::string>{}) << "run " << i;
    ASSERT_TRUE(platform->setCurrentDirectory("C:\\"));
    if (i == 9) heapAtTen = HeapInUse();
  }
  EXPECT_LE(HeapInUse(), heapAtTen + 1024);
}

}  // namespace
