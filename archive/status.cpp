// status.cpp - the process-wide failure status.
#include "archive/status.h"

int32_t errorStatus = kStatusOk;

const char* DescribeStatus(int32_t status) {
  switch (status) {
    case kStatusOk: return "no error";
    case kStatusNoMemory: return "not enough memory (or dictionary too large for this build)";
    case kStatusReadFailed: return "packed data cut short by the end of the archive";
    case kStatusShortWrite: return "output file could not be written in full";
    case kStatusUnsupported: return "entry uses an unsupported method or is locked";
    case kStatusBadCrc: return "entry data do not match the stored CRC";
    case kStatusUnsafeName: return "entry name is unsafe, too long, repeated, or taken by the other kind";
    case kStatusDamagedArchive: return "archive is damaged or missing";
    case kStatusNoInstallDir: return "installation directory cannot be used";
    case kStatusNotLogged: return "install log could not record an item; nothing more was created";
    case kStatusDetailsLost: return "a file's time or attributes could not be set";
    case kStatusCannotLook: return "the system could not tell whether a path exists";
    case kStatusCannotReplace: return "a file is in use or read-only and could not be replaced";
    default: return "unknown error";
  }
}
