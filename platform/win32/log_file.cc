// Opening the traffic log's file on Windows without ever blocking on it or
// opening a device by mistake.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/log_file.h"

namespace ktcomm::platform {
namespace {

struct Access {
  DWORD desired = 0;
  DWORD disposition = 0;
  bool truncate = false;
  int flags = 0;  // for the C runtime's descriptor
};

// What an fopen mode asks for, as the C runtime reads it: its first
// character, then '+', 'x' and 'b' among those after it. False for a
// mode the C runtime refuses.
bool AccessOf(const char* mode, Access* access) {
  switch (mode[0]) {
    case 'r': *access = {GENERIC_READ, OPEN_EXISTING, false, _O_RDONLY}; break;
    case 'w': *access = {GENERIC_WRITE, OPEN_ALWAYS, true, _O_WRONLY}; break;
    case 'a': *access = {GENERIC_WRITE, OPEN_ALWAYS, false, _O_WRONLY | _O_APPEND}; break;
    default: return false;
  }
  for (const char* c = mode + 1; *c != '\0' && *c != ','; ++c) {
    if (*c == '+') {
      access->desired = GENERIC_READ | GENERIC_WRITE;
      access->flags = (access->flags & ~(_O_RDONLY | _O_WRONLY)) | _O_RDWR;
    }
    if (*c == 'x' && mode[0] == 'w') access->disposition = CREATE_NEW;
    if (*c == 'b') access->flags |= _O_BINARY;
  }
  // Text unless binary is asked for, as fopen has it: LF is written CR LF.
  if ((access->flags & _O_BINARY) == 0) access->flags |= _O_TEXT;
  return true;
}

// A name such as "COM1", "NUL" or "\\.\pipe\x" names a device, whatever
// folder it seems to stand in; opening it would take a serial port or wait
// on a pipe.
bool NamesDevice(const char* path) {
  char full[MAX_PATH * 2];
  DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return false;
  return std::strncmp(full, "\\\\.\\", 4) == 0 || std::strncmp(full, "\\\\?\\", 4) == 0;
}

}  // namespace

FILE* OpenRegularFile(const char* path, const char* mode) {
  Access access;
  if (!AccessOf(mode, &access) || NamesDevice(path)) {
    errno = EINVAL;
    return nullptr;
  }
  // Shared, so that ports logging to one file at once each have a stream.
  HANDLE handle = CreateFileA(path, access.desired, FILE_SHARE_READ | FILE_SHARE_WRITE |
                              FILE_SHARE_DELETE, nullptr, access.disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
    return nullptr;
  }
  // The truncation a "w" asks for waits until the file is known to be one.
  if (GetFileType(handle) != FILE_TYPE_DISK ||
      (access.truncate && !SetEndOfFile(handle))) {
    CloseHandle(handle);
    errno = EINVAL;
    return nullptr;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), access.flags);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _fdopen(fd, mode);
  if (file == nullptr) _close(fd);
  return file;
}

}  // namespace ktcomm::platform
