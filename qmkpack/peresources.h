// peresources.h - puts a payload into the installer stub: resources RCDATA
// 10 (the archive) and RCDATA 11 (its seal) in the resource section of a
// 32-bit Windows program, as the resource compiler would have put them.
//
// The resource section is rebuilt from the tree the stub has (icons,
// manifest, version, anything else, kept byte for byte), less any earlier
// payload, plus the new one; the sections after it (the base relocations)
// move up in the file and in memory, and the headers follow: the section
// table, the data directory, SizeOfImage, SizeOfInitializedData and the
// header checksum. The resource section starts on a page of the file and
// the archive on a page of the section, so Wine and Windows map the
// payload from the file rather than copying it. A certificate the input
// carried is dropped (the bytes it signed are gone); sign afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmk {

// Replaces `image` (the stub, or an installer whose payload is replaced) by
// the installer with `archive` and `seal`. False, `image` unchanged and
// `*error` saying why, for a file that is not a 32-bit Windows program, is a
// DLL, has no resource section where it can be rebuilt, or is not this
// project's installer stub (no version resource naming QuellmarkSetup).
bool SetPayloadResources(std::vector<uint8_t>* image, const std::vector<uint8_t>& archive,
                         const std::vector<uint8_t>& seal, std::string* error);

// The PE header checksum of a whole file (the field itself counted as 0).
uint32_t PeChecksum(const std::vector<uint8_t>& file, uint32_t checksumOffset);

}  // namespace qmk
