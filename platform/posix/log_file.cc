#include "platform/log_file.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace ktcomm::platform {
namespace {

// The open flags of an fopen mode: its first character, then '+', 'x' and
// 'e' among the few after it, as the C library reads them. -1 for a mode
// the C library refuses.
int FlagsOf(const char* mode) {
  int flags = 0;
  switch (mode[0]) {
    case 'r': flags = O_RDONLY; break;
    case 'w': flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 'a': flags = O_WRONLY | O_CREAT | O_APPEND; break;
    default: return -1;
  }
  for (const char* c = mode + 1; *c != '\0' && c < mode + 7; ++c) {
    if (*c == '+') flags = (flags & ~(O_RDONLY | O_WRONLY)) | O_RDWR;
    if (*c == 'x') flags |= O_EXCL;
    if (*c == ',') break;
  }
  return flags;
}

// A ",ccs=" part names a character set the C library must know, as fopen
// requires; fdopen ignores the part, so the name is looked up here.
bool CharacterSetKnown(const char* mode) {
  const char* part = std::strstr(mode, ",ccs=");
  if (part == nullptr) return true;
  part += 5;
  std::string name(part, std::strcspn(part, ","));
  if (name.empty()) return false;  // iconv would take the locale's
  iconv_t conversion = iconv_open(name.c_str(), "WCHAR_T");
  if (conversion == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(conversion);
  return true;
}

}  // namespace

FILE* OpenRegularFile(const char* path, const char* mode) {
  int flags = FlagsOf(mode);
  if (flags < 0 || !CharacterSetKnown(mode)) {
    errno = EINVAL;
    return nullptr;
  }
  // O_NONBLOCK keeps a FIFO without a reader from holding the open; the
  // truncation a "w" asks for waits until the file is known to be regular.
  int fd = ::open(path, (flags & ~O_TRUNC) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    errno = err;
    return nullptr;
  }
  if ((flags & O_TRUNC) && ftruncate(fd, 0) != 0) {
    int err = errno;
    ::close(fd);
    errno = err;
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE* file = fdopen(fd, mode);
  if (file == nullptr) {
    int err = errno;
    ::close(fd);
    errno = err;
  }
  return file;
}

}  // namespace ktcomm::platform
