// entryname.h - the check that keeps every entry inside its target directory.
//
// Entry names are paths relative to the target directory with "\" between
// components. A name is refused when it could reach outside the target, name
// something other than a plain file (a device, an alternate data stream), or
// be changed by Windows' path normalisation into a different name than the
// one logged. "/" counts as a separator too, as it does on Windows.
#pragma once

#include <cstddef>

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
};

// Checks `length` bytes of `name` (which need not be terminated).
NameFault CheckEntryName(const char* name, size_t length, size_t maxLength);
const char* DescribeNameFault(NameFault fault);
