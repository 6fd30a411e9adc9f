// installcheck.cpp - the rules of installcheck.h over two captures of the in-memory system.
#include "tests/support/installcheck.h"

#include <algorithm>

#include "archive/reader.h"
#include "archive/status.h"
#include "archive/unace.h"
#include "demo/uninstlog.h"
#include "install/logcreaterunit.h"
#include "platform/memfs.h"
#include "tests/support/bitwriter.h"

namespace qmktest {
namespace {

constexpr char kUninstallKey[] = "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\UNINSTALL\\QMK";

std::string WithoutFinalBackslash(std::string s) {
  if (s.size() > 3 && s.back() == '\\') s.pop_back();
  return s;
}

bool Below(const std::string& key, const std::string& dir) {
  return key == dir || (key.size() > dir.size() && key.compare(0, dir.size(), dir) == 0 && key[dir.size()] == '\\');
}

bool Has(const std::vector<std::string>& v, const std::string& s) { return std::find(v.begin(), v.end(), s) != v.end(); }
bool Same(const SystemState::Node& a, const SystemState::Node& b) {
  return a.directory == b.directory && a.attributes == b.attributes && a.bytes == b.bytes;
}

// True when the line is a key rather than a value.
bool KeyOf(const std::string& line, std::string* key) {
  const size_t cut = line.find(" : ");
  *key = Upper(line.substr(0, cut));
  return cut == std::string::npos;
}

}  // namespace

std::string Upper(std::string s) {
  for (char& c : s) c = char(toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Read(const std::string& path) {
  char probe;
  const int64_t n = platform->readFile(path.c_str(), &probe, 0);
  std::string bytes(size_t(std::max<int64_t>(n, 0)), '\0');
  return n >= 0 && platform->readFile(path.c_str(), bytes.data(), uint32_t(n)) == n ? bytes : "<missing>";
}

std::vector<std::string> LogLines(const std::string& bytes) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; start < bytes.size(); start = end + 2) {
    if ((end = bytes.find("\r\n", start)) == std::string::npos) {
      lines.push_back(bytes.substr(start) + "<no CR LF>");
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
  }
  return lines;
}

Bytes PackedArchive(std::vector<FileEntry> entries) {
  Pack(entries, true);
  return BuildArchive({}, entries);
}

LogNames ReadLog(const std::string& installDir) {
  LogNames names;
  std::string text;
  if (!memfs::ReadFile(installDir + "uninstall.list", &text)) return names;
  names.present = true;
  std::vector<std::string> lines = uninstlog::SplitLines(text);
  if (!text.empty() && text.back() != '\n') lines.pop_back();  // cut short: names nothing
  for (const std::string& line : lines) {
    const uninstlog::Item item = uninstlog::ParseLine(line);
    using K = uninstlog::ItemKind;
    for (const std::string& p : item.paths) {
      (item.kind == K::kFile ? names.files : item.kind == K::kDirectories ? names.directories : names.keys).insert(Upper(p));
    }
  }
  return names;
}

SystemState CaptureSystem() {
  SystemState s;
  for (const std::string& path : memfs::Tree()) {
    SystemState::Node n{path, path.back() == '\\', 0, ""};
    const std::string bare = n.directory ? path.substr(0, path.size() - 1) : path;
    n.attributes = memfs::Attributes(bare);
    if (!n.directory) memfs::ReadFile(bare, &n.bytes);
    s.nodes[Upper(bare)] = n;
  }
  s.registry = memfs::Registry();
  return s;
}

uint64_t Used(const SystemState& s) {
  uint64_t n = 0;
  for (const auto& [key, node] : s.nodes) n += node.bytes.size();
  return n;
}

std::vector<EntryFacts> ListEntries(const std::vector<uint8_t>& image) {
  const int32_t savedStatus = errorStatus;
  std::vector<EntryFacts> entries;
  AllocateWorkBuffers();
  if (OpenArchiveImage(image.data(), uint32_t(image.size()))) {
    while (ReadNextHeader()) {
      if (headerRecord.headerType != ace::kTypeFile) continue;
      const AceFileView& f = headerRecord.file;
      const size_t n = std::min<size_t>(f.nameLength, sizeof f.variable);
      entries.push_back({std::string(reinterpret_cast<const char*>(f.variable), n),
                         (f.attributes & ace::kAttrDirectory) != 0, f.unpackedSize, f.fileCrc});
    }
  }
  ReleaseWorkBuffers();
  errorStatus = savedStatus;
  return entries;
}

std::vector<std::string> CheckInstallRun(const SystemState& before, const SystemState& after,
                                         const std::vector<EntryFacts>& entries, const RunFacts& run) {
  std::vector<std::string> faults;
  const std::string dir = Upper(WithoutFinalBackslash(run.installDir));
  const std::string logKey = Upper(run.installDir + "uninstall.list");
  const std::string menu = Upper(run.startMenu);
  const LogNames log = ReadLog(run.installDir);
  const auto oldLog = before.nodes.find(logKey), newLog = after.nodes.find(logKey);
  const bool logMade = newLog != after.nodes.end() &&
                       (oldLog == before.nodes.end() || !Same(oldLog->second, newLog->second));
  if (!logMade && run.finished && !run.logReported) faults.push_back("no log made, and the run did not say so");
  std::map<std::string, const EntryFacts*> byName;  // the first entry of each name is the one written
  for (const EntryFacts& e : entries) byName.emplace(Upper(dir + "\\" + e.name), &e);
  auto completeCopy = [&](const std::string& key, const SystemState::Node& n) {
    auto it = byName.find(key);
    if (it == byName.end() || it->second->directory) return false;
    const std::vector<uint8_t> bytes(n.bytes.begin(), n.bytes.end());
    return bytes.size() == it->second->size && ReferenceCrc(bytes) == it->second->crc;
  };
  auto onChain = [&](const std::string& key) { return dir.size() > key.size() && Below(dir, key); };
  auto inside = [&](const std::string& key) { return Below(key, dir); };
  auto allowed = [&](const std::string& key) { return inside(key) || onChain(key) || (!menu.empty() && Below(key, menu)); };
  // Rules 1 and 3.
  for (const auto& [key, old] : before.nodes) {
    const auto now = after.nodes.find(key);
    const bool gone = now == after.nodes.end() || now->second.directory != old.directory;
    if (!allowed(key)) {
      if (gone || !Same(old, now->second)) faults.push_back("changed outside: " + old.path);
    } else if (gone) {
      const bool replacing = !old.directory && (log.files.count(key) || !logMade) && (run.failureReported || !run.finished);
      if (!replacing) faults.push_back("removed: " + old.path);
    } else if (Same(old, now->second) || key == logKey || !inside(key)) {
      continue;
    } else if (old.directory) {
      auto it = byName.find(key);
      if (it == byName.end() || !it->second->directory) faults.push_back("directory changed: " + old.path);
    } else if (!completeCopy(key, now->second) && !(!run.finished && log.files.count(key))) {
      faults.push_back("changed, not into a complete copy: " + old.path);
    }
  }
  // Rules 1, 2 and 4.
  for (const auto& [key, now] : after.nodes) {
    const auto old = before.nodes.find(key);
    if ((old != before.nodes.end() && old->second.directory == now.directory) || key == logKey) continue;
    if (!allowed(key)) {
      faults.push_back("created outside: " + now.path);
      continue;
    }
    if (!(now.directory ? log.directories : log.files).count(key)) {
      // The directory's own path is made before its log can exist.
      const bool ownPath = now.directory && (key == dir || onChain(key)) && log.files.empty() &&
                           log.directories.empty() && log.keys.empty() && (!run.finished || run.logReported);
      const bool noLog = !logMade && run.finished && run.logReported;
      if (!ownPath && !noLog) faults.push_back("not in the log: " + now.path);
    }
    if (run.finished && !now.directory && inside(key) && !completeCopy(key, now)) {
      faults.push_back("not a complete copy: " + now.path);
    }
  }
  // Rule 4 (a repeated name is refused).
  std::set<std::string> seen;
  for (const EntryFacts& e : run.finished && !run.failureReported ? entries : std::vector<EntryFacts>{}) {
    const std::string key = Upper(dir + "\\" + e.name);
    const auto it = after.nodes.find(key);
    if (!seen.insert(key).second) faults.push_back("a repeated name went through: " + e.name);
    if (it == after.nodes.end() || it->second.directory != e.directory || (!e.directory && !completeCopy(key, it->second))) {
      faults.push_back("reported done, not in place whole: " + e.name);
    }
  }
  // The registry: only the uninstall key may change, and it is logged.
  std::string key;
  for (const std::string& line : before.registry) {
    KeyOf(line, &key);
    if (!Has(after.registry, line) && !Below(key, kUninstallKey)) faults.push_back("registry changed: " + line);
  }
  for (const std::string& line : after.registry) {
    if (Has(before.registry, line)) continue;
    const bool isKey = KeyOf(line, &key);
    if (!Below(key, kUninstallKey)) {
      faults.push_back("registry changed: " + line);
    } else if (isKey && !log.keys.count(key) && !(!logMade && run.logReported)) {
      faults.push_back("registry key not in the log: " + line);
    }
  }
  return faults;
}

bool ExtractAsInstaller(const std::vector<uint8_t>& image, const std::string& dir) {
  errorStatus = kStatusOk;
  outputHandle = kNoHandle;
  delete InstallLog;
  InstallLog = nullptr;
  TUnAce(image.data(), uint32_t(image.size())).ExtractAll(dir.c_str());
  const bool logWritten = InstallLog && InstallLog->created && InstallLog->Close() && InstallLog->complete;
  delete InstallLog;
  InstallLog = nullptr;
  return logWritten;
}

std::vector<std::string> RunUninstaller(const std::string& installDir) {
  std::string text;
  if (!memfs::ReadFile(installDir + "uninstall.list", &text)) return {"cannot read: " + installDir + "uninstall.list"};
  static const uninstlog::RemovalOps kOps = {
      [](const char* p) { return platform->getFileAttributes(p); },
      [](const char* p, uint32_t a) { return platform->setFileAttributes(p, a); },
      [](const char* p) { return platform->deleteFile(p); },
      [](const char* p) { return platform->removeDirectory(p); },
      [](const char* k) { return memfs::RegistryKeyExists(k); },
      [](const char* k) { return memfs::DeleteRegistryKey(k); },
  };
  std::vector<std::string> report;
  uninstlog::RemoveLogged(text, WithoutFinalBackslash(installDir), kOps, &report);
  return report;
}

std::vector<std::string> LeftAfterUninstall(const SystemState& before, const std::string& installDir,
                                            std::vector<std::string>* report) {
  const LogNames log = ReadLog(installDir);
  const std::vector<std::string> said = RunUninstaller(installDir);
  if (report) *report = said;
  const SystemState after = CaptureSystem();
  const std::string dir = Upper(WithoutFinalBackslash(installDir));
  const bool empty = std::none_of(after.nodes.begin(), after.nodes.end(),
                                  [&](const auto& n) { return n.first != dir && Below(n.first, dir); });
  std::vector<std::string> left;
  for (const std::string& d : Differences(before, after)) {
    const std::string path = d.substr(2);
    const bool replaced = d[0] == '-' && log.files.count(Upper(path));
    const bool tookAttributes = d[0] == '~' && path.back() == '\\';
    const bool ownPath = d[0] == '+' && Upper(path) == Upper(installDir) && empty;
    if (!replaced && !tookAttributes && !ownPath) left.push_back(d);
  }
  return left;
}

std::vector<std::string> Differences(const SystemState& a, const SystemState& b) {
  std::vector<std::string> out;
  for (const auto& [key, n] : a.nodes) {
    const auto it = b.nodes.find(key);
    if (it == b.nodes.end() || !Same(n, it->second)) out.push_back((it == b.nodes.end() ? "- " : "~ ") + n.path);
  }
  for (const auto& [key, n] : b.nodes) out.insert(out.end(), a.nodes.count(key) ? 0 : 1, "+ " + n.path);
  for (const std::string& r : a.registry) out.insert(out.end(), Has(b.registry, r) ? 0 : 1, "- registry " + r);
  for (const std::string& r : b.registry) out.insert(out.end(), Has(a.registry, r) ? 0 : 1, "+ registry " + r);
  return out;
}

}  // namespace qmktest
