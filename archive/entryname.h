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
  kRepeated,        // the same name on Windows as an earlier entry
  kTooMany,         // more entries than the name table checks
};

// The longest entry name any extraction takes: the installation directory's
// full path (at most 259 characters), "\" and the name fit the installer's
// 1,000-byte path buffers. The archiver refuses longer names when packing.
constexpr size_t kMaxEntryNameLength = 1000 - 1 - 259 - 1;

// Checks `length` bytes of `name` (which need not be terminated) on its own,
// against `maxLength`.
NameFault CheckEntryName(const char* name, size_t length, size_t maxLength = kMaxEntryNameLength);
const char* DescribeNameFault(NameFault fault);

// The names one archive holds, so that a second entry of the same name
// (letter case and "/" against "\" aside) is refused rather than written over
// the first: an archive whose listing shows one file must not install
// another. The set is one fixed table of 64-bit name hashes with the number
// of the entry each came from, allocated for the phase and never per entry;
// a hash collision between two different names refuses the later one, at
// odds of 2^-64 per pair.
constexpr unsigned kEntryNameSlots = 1u << 14;
constexpr unsigned kMaxEntryNames = kEntryNameSlots / 4 * 3;  // 12,288: fuller tables probe long
struct EntryNameSet {
  uint64_t* slots;     // kEntryNameSlots hashes, 0 for a free slot; null when not allocated
  uint16_t* ordinals;  // beside each hash, the number of the name it came from (0 for the first)
  unsigned count;
};
// False when the table could not be allocated.
bool OpenEntryNameSet(EntryNameSet* set);
void CloseEntryNameSet(EntryNameSet* set);

// The one rule every entry name meets, wherever an archive is made, tested,
// sealed or extracted: the name is safe on its own (CheckEntryName) and is
// not the name of an earlier entry of the same archive. An admitted name
// joins the set. For kRepeated, `*earlier` (when given) gets the number of
// the earlier entry, counting admitted names from 0. kTooMany also when the
// set was never allocated.
NameFault AdmitEntryName(EntryNameSet* set, const char* name, size_t length, unsigned* earlier = nullptr);
