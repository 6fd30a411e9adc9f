// verify.h - the integrity check of an archive image, without writing.
//
// The installer checks its own payload before it shows anything, so a
// damaged download is refused before a single file is created. The full
// check decodes every entry. Since that costs as much as the decoding of
// the installation itself, the build does it once, with the installer's
// own decoder, and seals the archive it checked: its size and CRC-32. At
// start the installer then only compares the seal and walks the header
// chain: a damaged byte anywhere changes the CRC, and bytes that match the
// checked archive decode as they did when it was checked.
#pragma once

#include <cstdint>

#include "archive/reader.h"

// True when the image holds an archive whose header chain runs to the end of
// the image with every header CRC right, every file entry decodes to its
// unpacked size with its file CRC right, and every entry name is one the
// extraction accepts (safe, and not repeated). Uses the reader's and the decoder's process-wide
// state and leaves `errorStatus` at 0. With a `view`, the image is read
// through it (see ImageView) and `data` is not read.
bool VerifyArchiveImage(const uint8_t* data, uint32_t size, ImageView view = nullptr);

// The length of the longest entry name the last check walked past (0
// before any): what the installation directory must leave room for.
extern uint32_t longestEntryName;

// The seal: "QMKS", then the image's size and its CRC-32 (the register
// started at 0xFFFFFFFF, not complemented), both little-endian.
constexpr uint32_t kSealSize = 12;
void MakeSeal(const uint8_t* data, uint32_t size, uint8_t* seal);

// True when `seal` is the seal of exactly these bytes and their header chain
// is whole with every name acceptable, as VerifyArchiveImage checks it but
// without decoding. Leaves `errorStatus` at 0.
bool SealedImageIntact(const uint8_t* data, uint32_t size, const uint8_t* seal, uint32_t sealSize,
                       ImageView view = nullptr);
