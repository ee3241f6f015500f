// The kernel's termbits clash with glibc's <termios.h>, so this file
// includes only the kernel's.
#include "platform/posix/custom_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace ktcomm::platform {

int SetCustomBaud(int fd, uint32_t baud) {
  struct termios2 tio;
  if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
  tio.c_cflag &= ~CBAUD;
  tio.c_cflag |= BOTHER;
  tio.c_cflag &= ~(CBAUD << IBSHIFT);
  tio.c_cflag |= BOTHER << IBSHIFT;
  tio.c_ispeed = baud;
  tio.c_ospeed = baud;
  if (ioctl(fd, TCSETS2, &tio) != 0) return errno;
  return 0;
}

int OutputBaud(int fd, uint32_t* baud) {
  struct termios2 tio;
  if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
  *baud = tio.c_ospeed;
  return 0;
}

}  // namespace ktcomm::platform
