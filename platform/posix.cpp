// posix.cpp - the platform table over POSIX, for the host tools.
//
// Paths arrive in Win32 form; "\" becomes "/". Attributes are mapped as far
// as POSIX has them: directory (0x10), file (0x20), read-only (0x01) as the
// absence of the owner's write permission.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/platform.h"

namespace {

std::string Host(const char* path) {
  std::string s(path);
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
  return s;
}

uint32_t GetCurrentDirectoryPosix(uint32_t size, char* buffer) {
  if (!getcwd(buffer, size)) return 0;
  return uint32_t(strlen(buffer));
}

bool SetCurrentDirectoryPosix(const char* path) { return chdir(Host(path).c_str()) == 0; }

bool CreateDirectoryPosix(const char* path) { return mkdir(Host(path).c_str(), 0777) == 0; }

uint32_t GetFileAttributesPosix(const char* path) {
  struct stat st;
  if (stat(Host(path).c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG ? kNoAttributes : kAttributesUnknown;
  }
  uint32_t attributes = S_ISDIR(st.st_mode) ? 0x10 : 0x20;
  if (!(st.st_mode & S_IWUSR)) attributes |= 0x01;
  return attributes;
}

bool SetFileAttributesPosix(const char* path, uint32_t attributes) {
  const std::string p = Host(path);
  struct stat st;
  if (stat(p.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  mode = (attributes & 0x01) ? mode & ~mode_t(0222) : mode | S_IWUSR;
  return chmod(p.c_str(), mode) == 0;
}

bool DeleteFilePosix(const char* path) {
  const std::string p = Host(path);
  struct stat st;
  // Windows refuses to delete a directory or a read-only file this way.
  if (lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) return false;
  return unlink(p.c_str()) == 0;
}

bool RemoveDirectoryPosix(const char* path) { return rmdir(Host(path).c_str()) == 0; }

int32_t OpenForWritePosix(const char* path) {
  return open(Host(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

bool CanReplacePosix(const char* path) {
  struct stat st;
  const std::string p = Host(path);
  // Windows refuses to open a read-only file for writing, whoever asks.
  return stat(p.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) && access(p.c_str(), W_OK) == 0;
}

int32_t WritePosix(int32_t handle, const void* bytes, uint32_t count) {
  if (handle < 0) return -1;
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = ::write(handle, static_cast<const char*>(bytes) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done ? int32_t(done) : -1;
    done += uint32_t(n);
  }
  return int32_t(done);
}

bool ClosePosix(int32_t handle) { return handle >= 0 && ::close(handle) == 0; }

bool SetLastWriteTimePosix(int32_t handle, uint32_t dosDateTime) {
  if (handle < 0) return false;
  const uint32_t date = dosDateTime >> 16;
  const uint32_t time = dosDateTime & 0xFFFF;
  struct tm t = {};
  t.tm_year = int((date >> 9) & 0x7F) + 80;
  t.tm_mon = int((date >> 5) & 0x0F) - 1;
  t.tm_mday = int(date & 0x1F);
  t.tm_hour = int((time >> 11) & 0x1F);
  t.tm_min = int((time >> 5) & 0x3F);
  t.tm_sec = int(time & 0x1F) * 2;
  t.tm_isdst = -1;
  const time_t when = mktime(&t);
  if (when == time_t(-1)) return false;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = when;
  times[1].tv_nsec = 0;
  return futimens(handle, times) == 0;
}

intptr_t CreateFilePosix(const char* path) {
  return open(Host(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

bool WriteFilePosix(intptr_t file, const void* bytes, uint32_t count, uint32_t* written) {
  const int32_t n = WritePosix(int32_t(file), bytes, count);
  *written = n > 0 ? uint32_t(n) : 0;
  return n >= 0 && uint32_t(n) == count;
}

bool CloseFilePosix(intptr_t file) { return ClosePosix(int32_t(file)); }

// Host programs carry no resources.
bool FindPayloadPosix(const uint8_t** data, uint32_t* size) {
  *data = nullptr;
  *size = 0;
  return false;
}

// The host tools neither make shortcuts nor touch a registry: these fail
// as the calls would on a system without a shell or a registry.
uint32_t GetShortPathNamePosix(const char*, char*, uint32_t) { return 0; }
bool GetProgramsFolderPosix(char* buffer, uint32_t size) {
  if (size) buffer[0] = 0;
  return false;
}
void InitializeComPosix() {}
intptr_t PrepareShortcutPosix(const char*, const char*, const char*, const char*, int) { return 0; }
bool SaveShortcutPosix(intptr_t, const char*) { return false; }
intptr_t CreateRegistryKeyPosix(const char*, const char*) { return 0; }
bool SetRegistryStringPosix(intptr_t, const char*, const char*) { return false; }
bool FlushRegistryKeyPosix(intptr_t) { return false; }
void CloseRegistryKeyPosix(intptr_t) {}

}  // namespace

namespace {

int64_t ReadFilePosix(const char* path, void* buffer, uint32_t size) {
  const int fd = open(Host(path).c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0) return -1;
  int64_t total = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? int64_t(st.st_size) : -1;
  const uint32_t want = total >= 0 && total < size ? uint32_t(total) : size;
  for (uint32_t done = 0; total >= 0 && done < want;) {
    const ssize_t n = read(fd, static_cast<char*>(buffer) + done, want - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) total = -1;
    done += n > 0 ? uint32_t(n) : 0;
  }
  close(fd);
  return total;
}

void DescribeLastErrorPosix(char* buffer, uint32_t size) {
  if (!size) return;
  snprintf(buffer, size, "%s", strerror(errno));
}

}  // namespace

const PlatformOps kNativePlatform = {
    GetCurrentDirectoryPosix, SetCurrentDirectoryPosix, CreateDirectoryPosix,
    GetFileAttributesPosix,   SetFileAttributesPosix,   DeleteFilePosix,
    RemoveDirectoryPosix,     OpenForWritePosix,        CanReplacePosix,          WritePosix,
    ClosePosix,               SetLastWriteTimePosix,    CreateFilePosix,
    WriteFilePosix,           CloseFilePosix,           ReadFilePosix,           FindPayloadPosix,
    nullptr,
    GetShortPathNamePosix,    GetProgramsFolderPosix,   InitializeComPosix,
    PrepareShortcutPosix,     SaveShortcutPosix,        CreateRegistryKeyPosix,
    SetRegistryStringPosix,   FlushRegistryKeyPosix,    CloseRegistryKeyPosix,
    DescribeLastErrorPosix,
};
const PlatformOps* platform = &kNativePlatform;
