// memfs.cpp - the in-memory file system behind the platform table.
//
// Every node lives in one map keyed by its full path in upper case, so
// lookups ignore letter case while each node keeps the spelling it was
// created with. Handles of both kinds (run-time and system) share one table.
#include "platform/memfs.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

constexpr uint32_t kDirectory = 0x10;
constexpr uint32_t kReadOnly = 0x01;
constexpr uint32_t kNormal = 0x80;
// The bits SetFileAttributesA can change.
constexpr uint32_t kSettable = 0x01 | 0x02 | 0x04 | 0x20 | 0x100 | 0x1000 | 0x2000;
constexpr size_t kMaxPath = 260;  // MAX_PATH, the terminator included
constexpr int64_t kTicksPerSecond = 10000000;

struct Node {
  std::string path;  // full path as created
  bool directory;
  uint32_t bits;     // settable attribute bits
  std::string data;
  int64_t lastWrite; // UTC, 100 ns since 1601
  int openCount;
  bool inUse;        // held open by another process: no writing, no deleting
};

struct RegistryKey {
  std::string path;  // as created
  std::map<std::string, std::pair<std::string, std::string>> values;  // upper-case name -> name, data
};

struct PreparedLink {
  std::string target, workingDirectory, description, arguments;
  int icon;
};

struct State {
  std::map<std::string, Node> nodes;  // by upper-case full path
  std::string drives;                 // upper-case letters
  std::string current;
  std::map<int32_t, std::string> handles;  // handle -> node key
  int32_t nextHandle;
  uint64_t capacity;
  uint64_t used;
  uint32_t calls;
  uint32_t failAt;  // call number that fails, 0 none
  int utcOffsetMinutes;
  int64_t now;
  const uint8_t* payload;
  uint32_t payloadSize;
  uint32_t payloadViews;
  const uint8_t* payloadAddress;
  uint32_t killAt;  // call number from which every call fails, 0 none
  bool killed;
  const char* failed;  // the call FailCall made fail, "" before
  std::string programs;                              // the Programs folder, "" none
  std::map<std::string, std::string> shortNames;     // upper-case full path -> short form
  std::map<std::string, RegistryKey> registry;       // upper-case key path below HKLM
  bool registryDenied;
  std::map<intptr_t, std::string> keyHandles;        // handle -> upper-case key path
  std::map<intptr_t, PreparedLink> links;            // prepared, not yet saved
  intptr_t nextObject;
  int comInitialized;
};
State fs;

std::string Upper(std::string s) {
  for (char& c : s) c = char(toupper(static_cast<unsigned char>(c)));
  return s;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Counts a table call; true when it is the one that must fail, or when the
// process counts as killed.
bool Failing(const char* call) {
  fs.calls++;
  if (fs.killAt != 0 && fs.calls >= fs.killAt) fs.killed = true;
  if (fs.killed) return true;
  if (fs.failAt != 0 && fs.calls == fs.failAt) {
    fs.failAt = 0;
    fs.failed = call;
    return true;
  }
  return false;
}

// Days since 1601-01-01 of a proleptic Gregorian date.
int64_t DaysFrom1601(int y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t fromEpoch1970 = era * 146097 + doe - 719468;
  return fromEpoch1970 + 134774;  // 1601-01-01 to 1970-01-01
}

void CivilFromDays(int64_t days1601, int* y, int* m, int* d) {
  const int64_t z = days1601 - 134774 + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = int(doy - (153 * mp + 2) / 5 + 1);
  *m = int(mp < 10 ? mp + 3 : mp - 9);
  *y = int(yoe + era * 400 + (*m <= 2));
}

std::string RootOf(char drive) { return std::string(1, drive) + ":\\"; }

// The drive's current directory: the process's one when it is on that
// drive, else the drive's root.
std::string CurrentOf(char drive) {
  if (!fs.current.empty() && toupper(static_cast<unsigned char>(fs.current[0])) == drive) return fs.current;
  return RootOf(drive);
}

// Resolves a path to its full form ("C:\a\b", "C:\" for a root), as Windows
// does: relative to the current directory, "." and ".." folded, trailing dots
// and spaces of the last component dropped. False for UNC paths, unknown
// drives, and results too long for MAX_PATH.
bool Resolve(const char* path, std::string* full) {
  if (!path || !*path) return false;
  if (IsSeparator(path[0]) && IsSeparator(path[1])) return false;
  std::string base;
  const char* rest = path;
  if (isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') {
    const char drive = char(toupper(static_cast<unsigned char>(path[0])));
    rest = path + 2;
    if (IsSeparator(*rest)) {
      base = std::string(1, path[0]) + ":";
    } else {
      base = CurrentOf(drive);
    }
  } else if (IsSeparator(path[0])) {
    if (fs.current.empty()) return false;
    base = fs.current.substr(0, 2);
  } else {
    base = fs.current;
  }
  if (base.size() < 2 || fs.drives.find(char(toupper(static_cast<unsigned char>(base[0])))) == std::string::npos) {
    return false;
  }
  std::vector<std::string> parts;
  {
    size_t start = 3;
    while (start <= base.size()) {
      size_t end = base.find('\\', start);
      if (end == std::string::npos) end = base.size();
      if (end > start) parts.push_back(base.substr(start, end - start));
      start = end + 1;
    }
  }
  std::string part;
  for (const char* p = rest;; p++) {
    if (*p == 0 || IsSeparator(*p)) {
      if (*p == 0) {
        while (!part.empty() && (part.back() == '.' || part.back() == ' ') && part != "." && part != "..") {
          part.pop_back();
        }
      }
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      part.clear();
      if (*p == 0) break;
    } else {
      // Characters Windows refuses in names (":" would name a stream).
      if (static_cast<unsigned char>(*p) < 0x20 || strchr("<>:\"|?*", *p)) return false;
      part += *p;
    }
  }
  std::string out = base.substr(0, 2) + "\\";
  for (size_t i = 0; i < parts.size(); i++) {
    if (i) out += '\\';
    out += parts[i];
  }
  if (out.size() >= kMaxPath) return false;
  *full = out;
  return true;
}

std::string ParentOf(const std::string& full) {
  const size_t cut = full.rfind('\\');
  if (cut <= 2) return full.substr(0, 3);
  return full.substr(0, cut);
}

bool IsRoot(const std::string& full) { return full.size() == 3; }

Node* Find(const std::string& full) {
  auto it = fs.nodes.find(Upper(full));
  return it == fs.nodes.end() ? nullptr : &it->second;
}

Node* FindPath(const char* path) {
  std::string full;
  return Resolve(path, &full) ? Find(full) : nullptr;
}

uint32_t AttributesOf(const Node& n) {
  if (n.directory) return kDirectory | n.bits;
  return n.bits ? n.bits : kNormal;
}

Node* AddNode(const std::string& full, bool directory) {
  Node& n = fs.nodes[Upper(full)];
  n = Node{full, directory, directory ? 0u : 0x20u, std::string(), fs.now, 0, false};
  return &n;
}

bool HasChildren(const std::string& full) {
  const std::string prefix = Upper(full) + "\\";
  auto it = fs.nodes.lower_bound(prefix);
  return it != fs.nodes.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

// ---- the table ---------------------------------------------------------------

uint32_t GetCurrentDirectoryMem(uint32_t size, char* buffer) {
  if (Failing(__func__)) return 0;
  if (fs.current.size() + 1 > size) return 0;
  memcpy(buffer, fs.current.c_str(), fs.current.size() + 1);
  return uint32_t(fs.current.size());
}

bool SetCurrentDirectoryMem(const char* path) {
  if (Failing(__func__)) return false;
  std::string full;
  if (!Resolve(path, &full)) return false;
  const Node* n = Find(full);
  if (!n || !n->directory) return false;
  fs.current = full;
  return true;
}

bool CreateDirectoryMem(const char* path) {
  if (Failing(__func__)) return false;
  std::string full;
  if (!Resolve(path, &full) || IsRoot(full) || Find(full)) return false;
  const Node* parent = Find(ParentOf(full));
  if (!parent || !parent->directory) return false;
  AddNode(full, true);
  return true;
}

uint32_t GetFileAttributesMem(const char* path) {
  if (Failing(__func__)) return kAttributesUnknown;  // a system error, not a missing path
  const Node* n = FindPath(path);
  return n ? AttributesOf(*n) : kNoAttributes;
}

bool SetFileAttributesMem(const char* path, uint32_t attributes) {
  if (Failing(__func__)) return false;
  Node* n = FindPath(path);
  if (!n) return false;
  n->bits = attributes & kSettable;
  return true;
}

bool DeleteFileMem(const char* path) {
  if (Failing(__func__)) return false;
  std::string full;
  if (!Resolve(path, &full)) return false;
  Node* n = Find(full);
  if (!n || n->directory || (n->bits & kReadOnly) || n->openCount || n->inUse) return false;
  fs.used -= n->data.size();
  fs.nodes.erase(Upper(full));
  return true;
}

bool RemoveDirectoryMem(const char* path) {
  if (Failing(__func__)) return false;
  std::string full;
  if (!Resolve(path, &full) || IsRoot(full)) return false;
  Node* n = Find(full);
  if (!n || !n->directory || (n->bits & kReadOnly) || HasChildren(full)) return false;
  if (Upper(full) == Upper(fs.current)) return false;  // the process holds it open
  fs.nodes.erase(Upper(full));
  return true;
}

// Creates or truncates a file for writing, as CREATE_ALWAYS does: an existing
// file keeps its attributes and gains the archive bit.
int32_t OpenForWriteCommon(const char* path) {
  std::string full;
  if (!Resolve(path, &full) || IsRoot(full)) return kNoHandle;
  Node* n = Find(full);
  if (n) {
    if (n->directory || (n->bits & kReadOnly) || n->inUse) return kNoHandle;
    fs.used -= n->data.size();
    n->data.clear();
    n->bits |= 0x20;
    n->lastWrite = fs.now;
  } else {
    const Node* parent = Find(ParentOf(full));
    if (!parent || !parent->directory) return kNoHandle;
    n = AddNode(full, false);
  }
  n->openCount++;
  const int32_t h = fs.nextHandle++;
  fs.handles[h] = Upper(full);
  return h;
}

Node* NodeOfHandle(int64_t handle) {
  auto it = fs.handles.find(int32_t(handle));
  if (handle < 0 || handle > INT32_MAX || it == fs.handles.end()) return nullptr;
  return Find(it->second);
}

// Appends what fits under the capacity; the count taken.
uint32_t Append(Node* n, const void* bytes, uint32_t count) {
  uint64_t room = fs.capacity > fs.used ? fs.capacity - fs.used : 0;
  const uint32_t take = uint32_t(std::min<uint64_t>(count, room));
  n->data.append(static_cast<const char*>(bytes), take);
  fs.used += take;
  n->lastWrite = fs.now;
  return take;
}

int32_t OpenForWriteMem(const char* path) {
  if (Failing(__func__)) return kNoHandle;
  return OpenForWriteCommon(path);
}

int64_t ReadFileMem(const char* path, void* buffer, uint32_t size) {
  if (Failing(__func__)) return -1;
  std::string full;
  if (!Resolve(path, &full)) return -1;
  const Node* n = Find(full);
  if (!n || n->directory) return -1;
  memcpy(buffer, n->data.data(), std::min<size_t>(size, n->data.size()));
  return int64_t(n->data.size());
}

bool CanReplaceMem(const char* path) {
  if (Failing(__func__)) return false;
  std::string full;
  if (!Resolve(path, &full)) return false;
  const Node* n = Find(full);
  return n && !n->directory && !(n->bits & kReadOnly) && !n->inUse;
}

// The run-time's write(): the count written, -1 when nothing could be.
int32_t WriteMem(int32_t handle, const void* bytes, uint32_t count) {
  if (Failing(__func__)) return -1;
  Node* n = NodeOfHandle(handle);
  if (!n) return -1;
  const uint32_t take = Append(n, bytes, count);
  return take == 0 && count > 0 ? -1 : int32_t(take);
}

bool CloseCommon(int64_t handle) {
  auto it = fs.handles.find(int32_t(handle));
  if (handle < 0 || handle > INT32_MAX || it == fs.handles.end()) return false;
  if (Node* n = Find(it->second)) n->openCount--;
  fs.handles.erase(it);
  return true;
}

// A close that fails still releases the handle, as on Windows and POSIX;
// only a process that has been stopped keeps what it held open.
bool CloseMem(int32_t handle) {
  if (Failing(__func__)) {
    if (!fs.killed) CloseCommon(handle);
    return false;
  }
  return CloseCommon(handle);
}

bool SetLastWriteTimeMem(int32_t handle, uint32_t dosDateTime) {
  if (Failing(__func__)) return false;
  Node* n = NodeOfHandle(handle);
  if (!n) return false;
  const uint32_t date = dosDateTime >> 16;
  const uint32_t time = dosDateTime & 0xFFFF;
  const int year = int(date >> 9) + 1980;
  const int month = int((date >> 5) & 15);
  const int day = int(date & 31);
  const int hour = int(time >> 11);
  const int minute = int((time >> 5) & 63);
  const int second = int(time & 31) * 2;
  // DosDateTimeToFileTime refuses fields out of range.
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return false;
  const int64_t local = (DaysFrom1601(year, month, day) * 86400 + hour * 3600 + minute * 60 + second) * kTicksPerSecond;
  n->lastWrite = local - int64_t(fs.utcOffsetMinutes) * 60 * kTicksPerSecond;
  return true;
}

intptr_t CreateFileMem(const char* path) {
  if (Failing(__func__)) return kNoFile;
  const int32_t h = OpenForWriteCommon(path);
  return h == kNoHandle ? kNoFile : intptr_t(h);
}

bool WriteFileMem(intptr_t file, const void* bytes, uint32_t count, uint32_t* written) {
  *written = 0;
  if (Failing(__func__)) return false;
  Node* n = NodeOfHandle(file);
  if (!n) return false;
  *written = Append(n, bytes, count);
  return *written == count;  // ERROR_DISK_FULL otherwise
}

bool CloseFileMem(intptr_t file) {
  if (Failing(__func__)) {
    if (!fs.killed) CloseCommon(file);
    return false;
  }
  return CloseCommon(file);
}

bool FindPayloadMem(const uint8_t** data, uint32_t* size) {
  *data = nullptr;
  *size = 0;
  if (Failing(__func__) || !fs.payload) return false;
  *data = fs.payloadAddress;
  *size = fs.payloadSize;
  return true;
}

// Views are copies in one buffer, overwritten by the next view, so a reader
// that kept a pointer across calls reads the wrong bytes.
const uint8_t* PayloadViewMem(uint32_t offset, uint32_t length) {
  static uint8_t view[0x10000];
  if (Failing(__func__) || !fs.payload || length > sizeof view || offset > fs.payloadSize ||
      length > fs.payloadSize - offset) {
    return nullptr;
  }
  memset(view, 0xA5, sizeof view);
  memcpy(view, fs.payload + offset, length);
  fs.payloadViews++;
  return view;
}

// A registry key path below HKEY_LOCAL_MACHINE without a final "\", upper case.
std::string KeyOf(const std::string& path) {
  std::string key = path;
  while (!key.empty() && key.back() == '\\') key.pop_back();
  return Upper(key);
}

// A volume that keeps short names only for the paths a test gave one; any
// other existing path is its own short form.
uint32_t GetShortPathNameMem(const char* path, char* buffer, uint32_t size) {
  if (Failing(__func__)) return 0;
  std::string full;
  if (!Resolve(path, &full) || !Find(full)) return 0;
  auto it = fs.shortNames.find(Upper(full));
  std::string out = it == fs.shortNames.end() ? std::string(path) : it->second;
  if (it != fs.shortNames.end() && IsSeparator(path[strlen(path) - 1]) && out.back() != '\\') out += '\\';
  if (out.size() + 1 > size) return 0;
  memcpy(buffer, out.c_str(), out.size() + 1);
  return uint32_t(out.size());
}

bool GetProgramsFolderMem(char* buffer, uint32_t size) {
  if (size) buffer[0] = 0;
  if (Failing(__func__) || fs.programs.empty() || fs.programs.size() + 1 > size) return false;
  memcpy(buffer, fs.programs.c_str(), fs.programs.size() + 1);
  return true;
}

void InitializeComMem() {
  if (Failing(__func__)) return;
  fs.comInitialized++;
}

intptr_t PrepareShortcutMem(const char* target, const char* workingDirectory, const char* description,
                            const char* arguments, int icon) {
  // Without CoInitialize the link object cannot be created.
  if (Failing(__func__) || !fs.comInitialized) return 0;
  const intptr_t h = fs.nextObject++;
  fs.links[h] = PreparedLink{target, workingDirectory, description, arguments, icon};
  return h;
}

// The link file holds its fields as text lines, for the tests to read back.
bool SaveShortcutMem(intptr_t shortcut, const char* link) {
  auto it = fs.links.find(shortcut);
  if (it == fs.links.end()) return false;
  const PreparedLink fields = it->second;
  fs.links.erase(it);  // released whatever happens
  if (!link || Failing(__func__) || strlen(link) >= kMaxPath) return false;
  const int32_t h = OpenForWriteCommon(link);
  if (h == kNoHandle) return false;
  const std::string text = "target=" + fields.target + "\nworkdir=" + fields.workingDirectory +
                           "\ndescription=" + fields.description + "\narguments=" + fields.arguments +
                           "\nicon=" + std::to_string(fields.icon) + "\n";
  Node* n = NodeOfHandle(h);
  const bool whole = Append(n, text.data(), uint32_t(text.size())) == text.size();
  CloseCommon(h);
  if (!whole) {  // a link that could not be saved is not left half written
    fs.used -= n->data.size();
    fs.nodes.erase(Upper(n->path));
  }
  return whole;
}

intptr_t CreateRegistryKeyMem(const char* parent, const char* subkey) {
  if (Failing(__func__) || fs.registryDenied) return 0;
  const std::string parentKey = KeyOf(parent);
  auto it = fs.registry.find(parentKey);
  if (it == fs.registry.end() || !*subkey || strchr(subkey, '\\')) return 0;
  const std::string key = parentKey + "\\" + Upper(subkey);
  if (!fs.registry.count(key)) fs.registry[key].path = it->second.path + "\\" + subkey;
  const intptr_t h = fs.nextObject++;
  fs.keyHandles[h] = key;
  return h;
}

RegistryKey* KeyOfHandle(intptr_t key) {
  auto it = fs.keyHandles.find(key);
  if (it == fs.keyHandles.end()) return nullptr;
  auto k = fs.registry.find(it->second);
  return k == fs.registry.end() ? nullptr : &k->second;
}

bool SetRegistryStringMem(intptr_t key, const char* name, const char* value) {
  if (Failing(__func__)) return false;
  RegistryKey* k = KeyOfHandle(key);
  if (!k) return false;
  k->values[Upper(name)] = {name, value};
  return true;
}

bool FlushRegistryKeyMem(intptr_t key) {
  if (Failing(__func__)) return false;
  return KeyOfHandle(key) != nullptr;
}

void CloseRegistryKeyMem(intptr_t key) {
  if (Failing(__func__) && fs.killed) return;
  fs.keyHandles.erase(key);  // released even when the call reports a failure
}

}  // namespace

namespace {

// The in-memory system keeps no error codes; an injected failure is named.
void DescribeLastErrorMem(char* buffer, uint32_t size) {
  if (!size) return;
  snprintf(buffer, size, "%s%s", *fs.failed ? "injected failure of " : "refused by the in-memory file system",
           fs.failed);
}

}  // namespace

const PlatformOps kMemFsPlatform = {
    GetCurrentDirectoryMem, SetCurrentDirectoryMem, CreateDirectoryMem, GetFileAttributesMem,
    SetFileAttributesMem,   DeleteFileMem,          RemoveDirectoryMem, OpenForWriteMem,
    CanReplaceMem,          WriteMem,               CloseMem,               SetLastWriteTimeMem, CreateFileMem,
    WriteFileMem,           CloseFileMem,           ReadFileMem,            FindPayloadMem,
    PayloadViewMem,
    GetShortPathNameMem,    GetProgramsFolderMem,   InitializeComMem,
    PrepareShortcutMem,     SaveShortcutMem,        CreateRegistryKeyMem,
    SetRegistryStringMem,   FlushRegistryKeyMem,    CloseRegistryKeyMem,
    DescribeLastErrorMem,
};

namespace memfs {

void Reset() {
  fs.nodes.clear();
  fs.handles.clear();
  fs.drives.clear();
  fs.nextHandle = 3;
  fs.capacity = UINT64_MAX;
  fs.used = 0;
  fs.calls = 0;
  fs.failAt = 0;
  fs.utcOffsetMinutes = 0;
  fs.now = DaysFrom1601(2020, 1, 1) * 86400 * kTicksPerSecond;
  fs.payload = nullptr;
  fs.payloadSize = 0;
  fs.payloadViews = 0;
  fs.payloadAddress = nullptr;
  fs.killAt = 0;
  fs.killed = false;
  fs.failed = "";
  fs.programs.clear();
  fs.shortNames.clear();
  fs.registry.clear();
  fs.registryDenied = false;
  fs.keyHandles.clear();
  fs.links.clear();
  fs.nextObject = 0x1000;
  fs.comInitialized = 0;
  AddDrive('C');
  fs.current = "C:\\";
  // Every Windows has the list of uninstallers.
  AddRegistryKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
}

void Install() {
  Reset();
  platform = &kMemFsPlatform;
}

void AddDrive(char letter) {
  const char d = char(toupper(static_cast<unsigned char>(letter)));
  if (fs.drives.find(d) != std::string::npos) return;
  fs.drives += d;
  Node& root = fs.nodes[RootOf(d)];
  root = Node{RootOf(d), true, 0, std::string(), fs.now, 0, false};
}

void MakeDirs(const std::string& path) {
  std::string full;
  if (!Resolve(path.c_str(), &full)) return;
  for (size_t i = 3; i <= full.size(); i++) {
    if (i < full.size() && full[i] != '\\') continue;
    const std::string part = full.substr(0, i);
    if (!Find(part)) AddNode(part, true);
  }
}

void PutFile(const std::string& path, const std::string& bytes, uint32_t attributes) {
  std::string full;
  if (!Resolve(path.c_str(), &full)) return;
  MakeDirs(ParentOf(full));
  Node* n = Find(full);
  if (n) fs.used -= n->data.size();
  n = AddNode(full, false);
  n->data = bytes;
  n->bits = attributes & kSettable;
  fs.used += bytes.size();
}

void SetInUse(const std::string& path, bool inUse) {
  if (Node* n = FindPath(path.c_str())) n->inUse = inUse;
}

bool Exists(const std::string& path) { return FindPath(path.c_str()) != nullptr; }

uint32_t Attributes(const std::string& path) {
  const Node* n = FindPath(path.c_str());
  return n ? AttributesOf(*n) : kNoAttributes;
}

bool ReadFile(const std::string& path, std::string* bytes) {
  const Node* n = FindPath(path.c_str());
  if (!n || n->directory) return false;
  *bytes = n->data;
  return true;
}

std::string CurrentDirectory() { return fs.current; }

std::vector<std::string> Tree() {
  std::vector<std::string> out;
  for (const auto& [key, n] : fs.nodes) {
    if (IsRoot(n.path)) continue;
    out.push_back(n.directory ? n.path + "\\" : n.path);
  }
  return out;
}

int OpenHandles() { return int(fs.handles.size()); }

bool LastWrite(const std::string& path, LocalTime* local) {
  const Node* n = FindPath(path.c_str());
  if (!n) return false;
  const int64_t seconds = n->lastWrite / kTicksPerSecond + int64_t(fs.utcOffsetMinutes) * 60;
  const int64_t days = seconds / 86400;
  const int64_t rest = seconds % 86400;
  CivilFromDays(days, &local->year, &local->month, &local->day);
  local->hour = int(rest / 3600);
  local->minute = int(rest / 60 % 60);
  local->second = int(rest % 60);
  return true;
}

void SetUtcOffsetMinutes(int minutes) { fs.utcOffsetMinutes = minutes; }
void SetCapacity(uint64_t bytes) { fs.capacity = bytes; }
void FailCall(uint32_t n) { fs.failAt = n ? fs.calls + n : 0; }
const char* FailedCall() { return fs.failed; }
uint32_t CallCount() { return fs.calls; }

void SetPayload(const uint8_t* data, uint32_t size, const uint8_t* address) {
  fs.payload = data;
  fs.payloadSize = size;
  fs.payloadAddress = address ? address : data;
}
uint32_t PayloadViews() { return fs.payloadViews; }

void KillAfter(uint32_t n) { fs.killAt = fs.calls + n + 1; }

void Revive() {
  fs.killAt = 0;
  fs.killed = false;
  for (auto& [key, n] : fs.nodes) n.openCount = 0;
  fs.handles.clear();
  fs.keyHandles.clear();
  fs.links.clear();
}

bool Killed() { return fs.killed; }

void SetProgramsFolder(const std::string& path) { fs.programs = path; }

void SetShortName(const std::string& path, const std::string& shortForm) {
  std::string full;
  if (Resolve(path.c_str(), &full)) fs.shortNames[Upper(full)] = shortForm;
}

void AddRegistryKey(const std::string& path) {
  std::string key = KeyOf(path);
  std::string shown = path;
  while (!shown.empty() && shown.back() == '\\') shown.pop_back();
  for (size_t i = 0; i <= key.size(); i++) {
    if (i < key.size() && key[i] != '\\') continue;
    if (!fs.registry.count(key.substr(0, i))) fs.registry[key.substr(0, i)].path = shown.substr(0, i);
  }
}

bool DeleteRegistryKey(const std::string& path) {
  const std::string key = KeyOf(path);
  const std::string prefix = key + "\\";
  auto it = fs.registry.lower_bound(prefix);
  if (!fs.registry.count(key) || (it != fs.registry.end() && it->first.compare(0, prefix.size(), prefix) == 0)) {
    return false;  // missing, or it has subkeys (RegDeleteKey refuses those)
  }
  fs.registry.erase(key);
  return true;
}

bool RegistryKeyExists(const std::string& path) { return fs.registry.count(KeyOf(path)) != 0; }

bool RegistryValue(const std::string& key, const std::string& name, std::string* value) {
  auto it = fs.registry.find(KeyOf(key));
  if (it == fs.registry.end()) return false;
  auto v = it->second.values.find(Upper(name));
  if (v == it->second.values.end()) return false;
  *value = v->second.second;
  return true;
}

std::vector<std::string> Registry() {
  std::vector<std::string> out;
  for (const auto& [key, k] : fs.registry) {
    out.push_back(k.path);
    for (const auto& [upper, value] : k.values) out.push_back(k.path + " : " + value.first + " = " + value.second);
  }
  return out;
}

void DenyRegistry(bool denied) { fs.registryDenied = denied; }

bool ReadShortcut(const std::string& path, Shortcut* link) {
  std::string text;
  if (!ReadFile(path, &text)) return false;
  std::map<std::string, std::string> fields;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;
    const std::string line = text.substr(start, end - start);
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    fields[line.substr(0, eq)] = line.substr(eq + 1);
    start = end + 1;
  }
  if (fields.size() != 5 || !fields.count("icon")) return false;
  *link = Shortcut{fields["target"], fields["workdir"], fields["description"], fields["arguments"],
                   atoi(fields["icon"].c_str())};
  return true;
}

int OpenObjects() { return int(fs.handles.size() + fs.keyHandles.size() + fs.links.size()); }
int ComInitializations() { return fs.comInitialized; }

}  // namespace memfs
