// entryname.cpp - entry-name safety check.
#include "archive/entryname.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool EqualsNoCase(const char* a, size_t n, const char* b) {
  if (strlen(b) != n) return false;
  for (size_t i = 0; i < n; i++) {
    if (toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return true;
}

// Windows treats these as devices in any directory, whatever follows a dot.
bool IsDeviceName(const char* component, size_t length) {
  size_t stem = 0;
  while (stem < length && component[stem] != '.') stem++;
  // "CON .txt" is still CON: trailing spaces of the stem are dropped.
  while (stem > 0 && component[stem - 1] == ' ') stem--;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* d : kDevices) {
    if (EqualsNoCase(component, stem, d)) return true;
  }
  if (stem == 4 && component[3] >= '1' && component[3] <= '9' &&
      (EqualsNoCase(component, 3, "COM") || EqualsNoCase(component, 3, "LPT"))) {
    return true;
  }
  return false;
}

}  // namespace

NameFault CheckEntryName(const char* name, size_t length, size_t maxLength) {
  if (length == 0) return NameFault::kEmpty;
  if (length > maxLength) return NameFault::kTooLong;
  for (size_t i = 0; i < length; i++) {
    if (static_cast<unsigned char>(name[i]) < 0x20) return NameFault::kControlChar;
  }
  if (IsSeparator(name[0])) return NameFault::kAbsolute;
  if (length >= 2 && name[1] == ':') return NameFault::kDriveQualified;
  if (memchr(name, ':', length)) return NameFault::kColon;

  size_t start = 0;
  while (start <= length) {
    size_t end = start;
    while (end < length && !IsSeparator(name[end])) end++;
    const char* component = name + start;
    const size_t n = end - start;
    if (n == 0) return NameFault::kEmpty;
    if (n == 2 && component[0] == '.' && component[1] == '.') return NameFault::kParent;
    if (component[n - 1] == '.' || component[n - 1] == ' ') return NameFault::kTrailingDotOrSpace;
    if (IsDeviceName(component, n)) return NameFault::kDeviceName;
    start = end + 1;
  }
  if (memchr(name, '/', length)) return NameFault::kSlash;
  return NameFault::kNone;
}

const char* DescribeNameFault(NameFault fault) {
  switch (fault) {
    case NameFault::kNone: return "safe";
    case NameFault::kEmpty: return "empty name or empty path component";
    case NameFault::kAbsolute: return "absolute path";
    case NameFault::kDriveQualified: return "drive-qualified path";
    case NameFault::kParent: return "'..' component";
    case NameFault::kColon: return "':' in name (alternate data stream)";
    case NameFault::kTrailingDotOrSpace: return "path component ending in a dot or a space";
    case NameFault::kDeviceName: return "Windows device name";
    case NameFault::kControlChar: return "control character in name";
    case NameFault::kTooLong: return "name too long";
    case NameFault::kSlash: return "'/' in name";
    case NameFault::kRepeated: return "the same name on Windows as an earlier entry";
    case NameFault::kTooMany: return "too many entries to check their names";
  }
  return "unsafe name";
}

bool OpenEntryNameSet(EntryNameSet* set) {
  set->count = 0;
  // One block: the hashes, then their entry numbers.
  void* block = calloc(kEntryNameSlots, sizeof *set->slots + sizeof *set->ordinals);
  set->slots = static_cast<uint64_t*>(block);
  set->ordinals = block ? reinterpret_cast<uint16_t*>(set->slots + kEntryNameSlots) : nullptr;
  return block != nullptr;
}

void CloseEntryNameSet(EntryNameSet* set) {
  free(set->slots);
  set->slots = nullptr;
  set->ordinals = nullptr;
  set->count = 0;
}

NameFault AdmitEntryName(EntryNameSet* set, const char* name, size_t length, unsigned* earlier) {
  const NameFault fault = CheckEntryName(name, length);
  if (fault != NameFault::kNone) return fault;
  if (!set->slots || set->count >= kMaxEntryNames) return NameFault::kTooMany;
  // FNV-1a over the name as Windows would compare it: ASCII letters in one
  // case, either separator as "\\".
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < length; i++) {
    char c = name[i] == '/' ? '\\' : name[i];
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  if (hash == 0) hash = 1;  // 0 marks a free slot
  for (unsigned i = unsigned(hash) & (kEntryNameSlots - 1);; i = (i + 1) & (kEntryNameSlots - 1)) {
    if (set->slots[i] == hash) {
      if (earlier) *earlier = set->ordinals[i];
      return NameFault::kRepeated;
    }
    if (set->slots[i] == 0) {
      set->slots[i] = hash;
      set->ordinals[i] = uint16_t(set->count++);
      return NameFault::kNone;
    }
  }
}
