// uninstlog.cpp - reading uninstall.list; see uninstlog.h for the line forms.
#include "demo/uninstlog.h"

namespace uninstlog {
namespace {

constexpr std::string_view kDirPrefix = "mkd: ";
constexpr std::string_view kKeyPrefix = "reg: ";
constexpr std::string_view kSeparator = " ::: ";
// The install-root line of a directory that already existed: its last
// character, the blank after the colons, is cut off with nothing behind it.
constexpr std::string_view kBareSeparator = " :::";

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

bool EndsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// A name Windows would accept for a file or directory, and not one that
// walks elsewhere.
bool ValidComponent(std::string_view c) {
  if (c.empty() || c == "." || c == "..") return false;
  for (const char ch : c) {
    if (static_cast<unsigned char>(ch) < 0x20) return false;
    if (std::string_view("<>:\"/|?*").find(ch) != std::string_view::npos) return false;
  }
  return true;
}

// Splits `s` at backslashes into `out`; false when a component is invalid.
bool SplitComponents(std::string_view s, std::vector<std::string_view>* out) {
  for (;;) {
    const size_t cut = s.find('\\');
    const std::string_view c = s.substr(0, cut);
    if (!ValidComponent(c)) return false;
    out->push_back(c);
    if (cut == std::string_view::npos) return true;
    s.remove_prefix(cut + 1);
  }
}

std::string Join(const std::string& base, std::string_view name) {
  std::string joined = base;
  if (joined.back() != '\\') joined += '\\';
  joined += name;
  return joined;
}

// "mkd: LEFT ::: RIGHT": the components of RIGHT below LEFT, deepest first.
Item ParseDirectories(std::string_view body) {
  Item item;
  const size_t sep = body.find(kSeparator);
  std::string_view left, right;
  if (sep != std::string_view::npos) {
    left = body.substr(0, sep);
    right = body.substr(sep + kSeparator.size());
  } else if (EndsWith(body, kBareSeparator)) {
    left = body.substr(0, body.size() - kBareSeparator.size());
  } else {
    item.kind = ItemKind::kUnknown;
    return item;
  }
  std::string path = NormalizeAbsolute(left);
  if (path.empty()) {
    item.kind = ItemKind::kUnknown;
    return item;
  }
  if (EndsWith(right, "\\")) right.remove_suffix(1);
  if (right.empty()) return item;  // nothing was created
  std::vector<std::string_view> names;
  if (!SplitComponents(right, &names)) {
    item.kind = ItemKind::kUnknown;
    return item;
  }
  for (const std::string_view name : names) {
    path = Join(path, name);
    item.paths.insert(item.paths.begin(), path);
  }
  item.kind = ItemKind::kDirectories;
  return item;
}

// "reg: KEY\ ::: SUBKEY": KEY a relative key path, SUBKEY one key name.
Item ParseRegistryKey(std::string_view body) {
  Item item;
  item.kind = ItemKind::kUnknown;
  const std::string_view sep = "\\ ::: ";
  const size_t at = body.rfind(sep);
  if (at == std::string_view::npos) return item;
  const std::string_view key = body.substr(0, at);
  const std::string_view sub = body.substr(at + sep.size());
  if (sub.empty() || sub.find('\\') != std::string_view::npos) return item;
  for (const char ch : sub) {
    if (static_cast<unsigned char>(ch) < 0x20) return item;
  }
  if (key.empty() || key.front() == '\\' || key.find("\\\\") != std::string_view::npos) return item;
  for (const char ch : key) {
    if (static_cast<unsigned char>(ch) < 0x20) return item;
  }
  item.kind = ItemKind::kRegistryKey;
  item.paths.push_back(std::string(key) + '\\' + std::string(sub));
  return item;
}

}  // namespace

std::string NormalizeAbsolute(std::string_view path) {
  std::string root;
  std::string_view rest;
  if (path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' &&
      path[2] == '\\') {
    root = std::string(path.substr(0, 3));
    rest = path.substr(3);
  } else if (StartsWith(path, "\\\\")) {
    // \\server\share: both parts must be names.
    std::string_view unc = path.substr(2);
    const size_t a = unc.find('\\');
    if (a == std::string_view::npos) return "";
    const size_t b = unc.find('\\', a + 1);
    const std::string_view server = unc.substr(0, a);
    const std::string_view share = unc.substr(a + 1, b == std::string_view::npos ? b : b - a - 1);
    if (!ValidComponent(server) || !ValidComponent(share)) return "";
    root = "\\\\" + std::string(server) + '\\' + std::string(share);
    rest = b == std::string_view::npos ? std::string_view() : unc.substr(b + 1);
  } else {
    return "";
  }
  if (StartsWith(rest, "\\")) rest.remove_prefix(1);  // CURRENT\ENTRY at a root
  if (EndsWith(rest, "\\")) rest.remove_suffix(1);
  if (rest.empty()) return root;
  std::vector<std::string_view> names;
  if (!SplitComponents(rest, &names)) return "";
  std::string out = root;
  for (const std::string_view name : names) out = Join(out, name);
  return out;
}

Item ParseLine(std::string_view line) {
  if (line.empty()) return Item();
  if (StartsWith(line, kDirPrefix)) return ParseDirectories(line.substr(kDirPrefix.size()));
  if (StartsWith(line, kKeyPrefix)) return ParseRegistryKey(line.substr(kKeyPrefix.size()));
  Item item;
  const std::string path = NormalizeAbsolute(line);
  if (path.empty() || EndsWith(line, "\\")) {
    item.kind = ItemKind::kUnknown;
  } else {
    item.kind = ItemKind::kFile;
    item.paths.push_back(path);
  }
  return item;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (EndsWith(line, "\r")) line.remove_suffix(1);
    lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

namespace {

constexpr uint32_t kMissing = 0xFFFFFFFFu;
constexpr uint32_t kDirectoryBit = 0x10;
constexpr uint32_t kReadOnlyBit = 0x01;

std::string JoinPath(const std::string& dir, const char* name) {
  return dir.back() == '\\' ? dir + name : dir + '\\' + name;
}

bool Exists(const RemovalOps& ops, const std::string& path) { return ops.attributes(path.c_str()) != kMissing; }

bool IsDirectory(const RemovalOps& ops, const std::string& path) {
  const uint32_t a = ops.attributes(path.c_str());
  return a != kMissing && (a & kDirectoryBit);
}

void ClearReadOnly(const RemovalOps& ops, const std::string& path, uint32_t attributes) {
  if (attributes & kReadOnlyBit) ops.setAttributes(path.c_str(), attributes & ~kReadOnlyBit);
}

void DeleteListedFile(const RemovalOps& ops, const std::string& path) {
  const uint32_t a = ops.attributes(path.c_str());
  if (a == kMissing || (a & kDirectoryBit)) return;
  ClearReadOnly(ops, path, a);
  ops.deleteFile(path.c_str());
}

// Removes a listed directory if it is empty; never its contents.
void RemoveListedDirectory(const RemovalOps& ops, const std::string& path) {
  const uint32_t a = ops.attributes(path.c_str());
  if (a == kMissing || !(a & kDirectoryBit)) return;
  ClearReadOnly(ops, path, a);
  ops.removeDirectory(path.c_str());
}

}  // namespace

int RemoveLogged(std::string_view logText, const std::string& installDir, const RemovalOps& ops,
                 std::vector<std::string>* report) {
  const std::string logPath = JoinPath(installDir, "uninstall.list");
  std::vector<std::string> lines = SplitLines(logText);
  if (!logText.empty() && logText.back() != '\n') lines.pop_back();
  std::vector<Item> items;
  for (const std::string& line : lines) items.push_back(ParseLine(line));

  bool logDeleted = false;
  auto deleteLog = [&] {
    if (!logDeleted) DeleteListedFile(ops, logPath);
    logDeleted = true;
  };
  for (size_t i = items.size(); i-- > 0;) {
    const Item& item = items[i];
    switch (item.kind) {
      case ItemKind::kFile:
        DeleteListedFile(ops, item.paths[0]);
        break;
      case ItemKind::kDirectories:
        for (const std::string& dir : item.paths) {
          if (SamePath(dir, installDir)) deleteLog();
          RemoveListedDirectory(ops, dir);
        }
        break;
      case ItemKind::kRegistryKey:
        ops.deleteKey(item.paths[0].c_str());
        break;
      case ItemKind::kNothing:
      case ItemKind::kUnknown:
        break;
    }
  }
  deleteLog();

  // What is left. A directory may have been emptied only by a line handled
  // after it, so it gets a second try; each path is reported once.
  const size_t reported = report->size();
  std::vector<std::string> seen;
  auto firstTime = [&](const std::string& path) {
    for (const std::string& s : seen) {
      if (SamePath(s, path)) return false;
    }
    seen.push_back(path);
    return true;
  };
  if (Exists(ops, logPath)) report->push_back("not removed: " + logPath);
  for (size_t i = items.size(); i-- > 0;) {
    const Item& item = items[i];
    if (item.kind == ItemKind::kUnknown) report->push_back("not understood: " + lines[i]);
    for (const std::string& path : item.paths) {
      if (!firstTime(path)) continue;
      if (item.kind == ItemKind::kRegistryKey) {
        if (ops.keyExists(path.c_str())) report->push_back("not removed: HKEY_LOCAL_MACHINE\\" + path);
        continue;
      }
      if (item.kind == ItemKind::kDirectories && IsDirectory(ops, path)) RemoveListedDirectory(ops, path);
      if (Exists(ops, path)) report->push_back("not removed: " + path);
    }
  }
  return report->size() == reported ? kRemovedAll : kSomethingLeft;
}

bool SamePath(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x + 32);
    if (y >= 'A' && y <= 'Z') y = char(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace uninstlog
