// The Win32 insides of the seam's types: device control blocks, event
// handles, the worker's wait handles, window handles and Win32 error codes.
// Only the Win32 platform looks inside them.
#pragma once

#include <windows.h>

#include <cstdint>

namespace ktcomm::platform {

class Device;

// The device control block, as read back, edited and written.
struct NativeLine {
  DCB dcb{};
};

struct NativeEvent {
  HANDLE handle = nullptr;
  bool Made() const { return handle != nullptr; }
};

// The worker's wait: the two events and the device whose line-event wait
// is the third handle.
struct NativeWaitSet {
  HANDLE shutdown = nullptr;
  HANDLE transmit = nullptr;
  Device* device = nullptr;
};

using NativeWindow = HWND;

// Each stands for a family where Windows has several: every answer of a
// device that has gone is taken as ERROR_NOT_READY; a write that could not
// start because the previous one is still pending is ERROR_IO_INCOMPLETE,
// which no write returns otherwise.
struct NativeErrors {
  static constexpr int kWouldBlock = ERROR_IO_INCOMPLETE;
  static constexpr int kHungUp = ERROR_NOT_READY;
  static constexpr int kCancelled = ERROR_OPERATION_ABORTED;
  static constexpr int kTimedOut = WAIT_TIMEOUT;
  static constexpr int kNoMemory = ERROR_NOT_ENOUGH_MEMORY;
  static constexpr int kNotSupported = ERROR_NOT_SUPPORTED;
};

}  // namespace ktcomm::platform
