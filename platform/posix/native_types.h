// The POSIX insides of the seam's types: termios lines, eventfd events,
// epoll wait sets, the application's KTWindow receiver and errno values.
// Only the POSIX platform and the network platform look inside them.
#pragma once

#include <termios.h>

#include <cerrno>
#include <cstdint>

struct KTWindow;  // the public header's receiver of frames and error texts

namespace ktcomm::platform {

// The termios, and the exact rate where termios has no constant for it (0:
// the rate in tio).
struct NativeLine {
  termios tio{};
  uint32_t baud = 0;
};

// An eventfd.
struct NativeEvent {
  int fd = -1;
  bool Made() const { return fd >= 0; }
};

// Two epoll sets, one inside the other, and the eventfds that wake each
// side (see OpenWaitSet); -1 where unused.
struct NativeWaitSet {
  int shutdown = -1;
  int transmit = -1;
  int device = -1;
  int poller = -1;  // the kernel's set; -1 where the wait polls afresh
  int served = -1;  // the worker's part a caller may serve: transmit and the device
  int caller = -1;  // a serving caller's own set: shutdown, transmit, the device, kick
  int wake = -1;    // wakes the worker when the set is given back
  int kick = -1;    // wakes a serving caller
};

using NativeWindow = ::KTWindow*;

struct NativeErrors {
  static constexpr int kWouldBlock = EAGAIN;
  static constexpr int kHungUp = EIO;
  static constexpr int kCancelled = ECANCELED;
  static constexpr int kTimedOut = ETIMEDOUT;
  static constexpr int kNoMemory = ENOMEM;
  static constexpr int kNotSupported = ENOTSUP;
};

}  // namespace ktcomm::platform
