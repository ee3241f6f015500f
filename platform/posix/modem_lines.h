// The modem lines and the break condition of a terminal device.
#pragma once

#include <cstdint>

namespace ktcomm::platform::posix {

// The lines' levels as kLine* bits. ENOTSUP where the driver has no modem
// lines; another errno where the call failed (EIO: the device hung up).
int ReadModemLines(int fd, uint32_t* lines);

// Sets the break condition, waits `ms` milliseconds and clears it. ENOTSUP
// where the driver cannot send a break.
int HoldBreak(int fd, uint32_t ms);

}  // namespace ktcomm::platform::posix
