// status.h - the one process-wide failure status of the reader, the decoder
// and the extractor.
//
// A failure assigns its value and nothing resets it during a run: once set,
// the reader hands out no more packed bytes and the extractor creates no more
// files. Tools that open several archives in one process clear it themselves
// between archives.
#pragma once

#include <cstdint>

enum ErrorStatusValue : int32_t {
  kStatusOk = 0,
  kStatusNoMemory = 1,       // a work buffer, or a large enough dictionary, could not be had
  kStatusReadFailed = 6,     // archive bytes could not be read (packed data cut short)
  kStatusShortWrite = 7,     // an output file took fewer bytes than written
  kStatusUnsupported = 10,   // entry flagged 0x4000, or a compression type other than 0 and 1
  kStatusBadCrc = 11,        // an entry decoded to bytes that do not match its stored CRC
  kStatusUnsafeName = 12,    // an entry name that could escape, does not fit the buffers, repeats an
                             // earlier entry's, or is taken by a file where a directory goes (or the
                             // other way round)
  kStatusDamagedArchive = 13,// no archive in the image, or a header chain cut short
  kStatusNoInstallDir = 14,  // the installation directory could not be created or entered
  kStatusNotLogged = 15,     // the install log took no line for an item, so the item was not created
  kStatusDetailsLost = 16,   // for the report only: every entry was written, but one did not take
                             // its stored time or attributes (the extraction goes on)
  kStatusCannotLook = 17,    // the system could not tell whether an entry's path (or a part of it)
                             // exists, so nothing was made there
  kStatusCannotReplace = 18, // a file could not be opened or replaced: in use (a running program),
                             // read-only, access denied, or a directory in its way; it was left as
                             // it was and not logged
};

extern int32_t errorStatus;

// A short English description of a status value, for tools and tests.
const char* DescribeStatus(int32_t status);
