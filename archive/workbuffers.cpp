// workbuffers.cpp - the fixed buffers of one extraction phase.
//
// Each phase (probing the archive, extracting it) allocates the buffers on
// entry and frees them on exit; nothing is allocated per entry, block or
// chunk. Buffers are zero-filled, so bits or distances that reach past what a
// damaged stream supplied read zeros, never leftover heap memory, and the
// output is the same on every run for every input.
#include <cstdlib>

#include "archive/reader.h"
#include "archive/status.h"
#include "decoder/bitinput.h"
#include "decoder/lz.h"

uint8_t* outputBuffer;

static uint8_t* Allocate(size_t size) {
  uint8_t* p = static_cast<uint8_t*>(calloc(1, size));
  if (!p) errorStatus = kStatusNoMemory;
  return p;
}

void AllocateWorkBuffers() {
  ReleaseWorkBuffers();
  bitInput.bytes = Allocate(kWordBufferSize);
  reader.windowBuffer = Allocate(ace::kWindowBufferSize);
  outputBuffer = Allocate(kOutputBufferSize);
  reader.headerBuffer = Allocate(ace::kHeaderBufferSize);
  BuildCrcTable();
  AllocDictionary();
}

void ReleaseWorkBuffers() {
  free(bitInput.bytes);
  bitInput.bytes = nullptr;
  free(reader.windowBuffer);
  reader.windowBuffer = nullptr;
  free(outputBuffer);
  outputBuffer = nullptr;
  free(reader.headerBuffer);
  reader.headerBuffer = nullptr;
  FreeDictionary();
}

bool WorkBuffersPresent() {
  return bitInput.bytes && reader.windowBuffer && outputBuffer && reader.headerBuffer;
}
