// fuzz_comment.cpp - the comment decoder over any main header variable part (text length first).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "archive/reader.h"
#include "archive/status.h"
#include "decoder/lz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  errorStatus = kStatusOk;
  AllocateWorkBuffers();
  headerRecord.headerType = 0;
  headerRecord.flags = ace::kFlagComment | ace::kFlagCommentDecode;
  headerRecord.main.textLength = size ? data[0] : 0;
  memset(headerRecord.main.variable, 0, sizeof headerRecord.main.variable);
  const size_t held = size > 1 ? size - 1 : 0, room = 2013;  // what a header can supply after offset 31
  memcpy(headerRecord.main.variable, data + (size ? 1 : 0), held < room ? held : room);
  char text[kCommentFieldSize];
  DecodeComment(text, sizeof text);
  if (strlen(text) >= sizeof text) abort();
  ReleaseWorkBuffers();
  return 0;
}
