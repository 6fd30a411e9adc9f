// entryname.h - the check that keeps every entry inside its target directory.
//
// Entry names are paths relative to the target directory with "\" between
// components. A name is refused when it could reach outside the target, name
// something other than a plain file (a device, an alternate data stream), or
// be changed by Windows' path normalisation into a different name than the
// one logged. "/" would be taken as a separator by Windows, but the install
// log and its reader know only "\", so a name that holds one is refused too
// (faults that concern separators are told as such first: "/x" is absolute,
// "a/../x" has a ".." component).
#pragma once

#include <cstddef>
#include <cstdint>

enum class NameFault {
  kNone,
  kEmpty,           // no name, or an empty component ("a\\b", "a\")
  kAbsolute,        // starts with a separator: "\x", "\\server\share\x"
  kDriveQualified,  // "C:x", "C:\x"
  kParent,          // a ".." component
  kColon,           // ":" anywhere (drive letters, alternate data streams)
  kTrailingDotOrSpace,  // a component ending in "." or " " (also "." itself)
  kDeviceName,      // CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without extension
  kControlChar,     // a byte below 0x20, the zero byte included
  kTooLong,         // longer than the caller's limit
  kSlash,           // "/" anywhere: "a/b"
};

// Checks `length` bytes of `name` (which need not be terminated).
NameFault CheckEntryName(const char* name, size_t length, size_t maxLength);
const char* DescribeNameFault(NameFault fault);

// The names one extraction has met, so that a second entry of the same name
// (letter case and "/" against "\" aside) is refused rather than written over
// the first: an archive whose listing shows one file must not install
// another. The set is one fixed table of 64-bit name hashes, allocated for
// the extraction phase and never per entry; a hash collision between two
// different names refuses the later one, at odds of 2^-64 per pair.
constexpr unsigned kEntryNameSlots = 1u << 14;
constexpr unsigned kMaxEntryNames = kEntryNameSlots / 4 * 3;  // 12,288: fuller tables probe long
struct EntryNameSet {
  uint64_t* slots;  // kEntryNameSlots hashes, 0 for a free slot; null when not allocated
  unsigned count;
};
// False when the table could not be allocated.
bool OpenEntryNameSet(EntryNameSet* set);
void CloseEntryNameSet(EntryNameSet* set);
// Adds `length` bytes of `name`; false when the name (or one equal to it
// but for letter case and separators) is there already, when the set holds
// kMaxEntryNames names, or when it was never allocated.
bool AddEntryName(EntryNameSet* set, const char* name, size_t length);
