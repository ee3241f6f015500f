// Rates that termios has no constant for, set through the kernel's termios2.
#pragma once

#include <cstdint>

namespace ktcomm::platform {

// Sets both directions of the line to `baud` exactly; 0 or an errno.
int SetCustomBaud(int fd, uint32_t baud);

// The rate the line sends at, custom or standard; 0 or an errno.
int OutputBaud(int fd, uint32_t* baud);

}  // namespace ktcomm::platform
