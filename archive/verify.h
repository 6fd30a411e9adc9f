// verify.h - the integrity check of an archive image, without writing.
//
// The installer runs it on its own payload before it shows anything, so a
// damaged download is refused before a single file is created.
#pragma once

#include <cstdint>

// True when the image holds an archive whose header chain runs to the end of
// the image with every header CRC right, every file entry decodes to its
// unpacked size with its file CRC right, and every entry name is one the
// extraction accepts. Uses the reader's and the decoder's process-wide
// state and leaves `errorStatus` at 0.
bool VerifyArchiveImage(const uint8_t* data, uint32_t size);
