/* pealign.c - moves a PE file's resource section to a page boundary of
 * the file: pealign FILE.
 *
 * Wine maps a section straight from the file only when its data starts on a
 * page boundary; otherwise it copies the section into private memory when
 * the program starts. The installer's payload lives in its resources, so
 * this decides whether the payload is shared file pages or a private copy
 * as large as the archive. Zeros are inserted before the section (a
 * multiple of the file alignment, so every section stays aligned), the file
 * offsets of it and of the sections after it move by as much, and the
 * header checksum is computed afresh. Addresses in memory do not change.
 * A host tool of the build; it exits 1 on a file it does not understand. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint32_t get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
static uint16_t get16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
static void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}

static int fail(const char* path, const char* why) {
  fprintf(stderr, "pealign: %s: %s\n", path, why);
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: pealign FILE.exe\n");
    return 2;
  }
  const char* path = argv[1];
  FILE* f = fopen(path, "rb");
  if (!f) return fail(path, "cannot open");
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  fseek(f, 0, SEEK_SET);
  if (size < 512 || size > 0x7FFFF000L) return fail(path, "not a PE file of a sensible size");
  uint8_t* file = malloc((size_t)size + 4096);
  if (!file || fread(file, 1, (size_t)size, f) != (size_t)size) return fail(path, "cannot read");
  fclose(f);

  const uint32_t pe = get32(file + 0x3C);
  if (file[0] != 'M' || file[1] != 'Z' || pe > (uint32_t)size - 248 || memcmp(file + pe, "PE\0\0", 4) != 0) {
    return fail(path, "not a PE file");
  }
  const uint8_t* header = file + pe + 4;
  const unsigned sections = get16(header + 2);
  const uint32_t optional = pe + 24;
  const uint32_t table = optional + get16(header + 16);
  if (get16(file + optional) != 0x10B) return fail(path, "not a 32-bit image");
  if (table + 40u * sections > (uint32_t)size) return fail(path, "section table cut short");
  int rsrc = -1;
  for (unsigned i = 0; i < sections; i++) {
    if (memcmp(file + table + 40 * i, ".rsrc\0\0\0", 8) == 0) rsrc = (int)i;
  }
  if (rsrc < 0) return fail(path, "no resource section");
  const uint32_t start = get32(file + table + 40 * rsrc + 20);
  const uint32_t pad = (4096 - start % 4096) % 4096;
  if (pad) {
    if (start > (uint32_t)size) return fail(path, "resource section outside the file");
    memmove(file + start + pad, file + start, (size_t)size - start);
    memset(file + start, 0, pad);
    size += pad;
    for (unsigned i = 0; i < sections; i++) {
      uint8_t* raw = file + table + 40 * i + 20;
      if (get32(raw) >= start && get32(raw - 4) != 0) put32(raw, get32(raw) + pad);
    }
  }
  /* The image checksum: 16-bit one's-complement-style sum of the file with
   * the checksum field taken as zero, plus the file's length. */
  const uint32_t sumAt = optional + 64;
  put32(file + sumAt, 0);
  uint64_t sum = 0;
  for (long i = 0; i + 1 < size; i += 2) {
    sum += get16(file + i);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  if (size & 1) {
    sum += file[size - 1];
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  put32(file + sumAt, (uint32_t)sum + (uint32_t)size);

  f = fopen(path, "wb");
  if (!f || fwrite(file, 1, (size_t)size, f) != (size_t)size || fclose(f) != 0) return fail(path, "cannot write");
  free(file);
  return 0;
}
