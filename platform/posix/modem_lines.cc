#include "platform/posix/modem_lines.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/platform.h"

namespace ktcomm::platform::posix {
namespace {

// Drivers without modem lines or break refuse the request itself.
int Refused(int err) { return err == ENOTTY || err == EINVAL ? kNotSupported : err; }

}  // namespace

int ReadModemLines(int fd, uint32_t* lines) {
  int bits = 0;
  if (ioctl(fd, TIOCMGET, &bits) != 0) return Refused(errno);
  uint32_t levels = 0;
  if (bits & TIOCM_CTS) levels |= kLineCts;
  if (bits & TIOCM_DSR) levels |= kLineDsr;
  if (bits & TIOCM_CAR) levels |= kLineDcd;
  if (bits & TIOCM_RNG) levels |= kLineRi;
  if (bits & TIOCM_DTR) levels |= kLineDtr;
  if (bits & TIOCM_RTS) levels |= kLineRts;
  *lines = levels;
  return 0;
}

int HoldBreak(int fd, uint32_t ms) {
  if (ioctl(fd, TIOCSBRK) != 0) return Refused(errno);
  // sleep_for resumes after a signal, so the break lasts its full length.
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  if (ioctl(fd, TIOCCBRK) != 0) return errno;
  return 0;
}

}  // namespace ktcomm::platform::posix
