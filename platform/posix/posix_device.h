// An open serial device on POSIX: its descriptor, and what the open learnt
// of it. Made by OpenDevice, deleted by CloseDevice; fixed in between, so
// any thread may read it.
#pragma once

namespace ktcomm::platform {

class Device {
 public:
  explicit Device(int fd) : fd(fd) {}
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  const int fd;
  // No output queue of its own (a pseudo-terminal): drained at once.
  bool queueless = false;
  // Switched to low latency by the open; switched back at the close, as
  // the setting outlives the descriptor.
  bool lowLatencySet = false;
};

}  // namespace ktcomm::platform
