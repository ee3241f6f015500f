// The serial devices a port can be pointed at, found from /dev and sysfs
// without opening any of them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace ktcomm::platform::posix {

// Where to look; tests point these into a tree of their own.
struct DeviceRoots {
  std::string dev = "/dev";
  std::string sys = "/sys";
};

// The links in <dev>/serial/by-id, then USB ttys that no link reaches, then
// the ttyS* whose sysfs type is non-zero; each only if its node exists.
std::vector<SerialDeviceInfo> FindSerialDevices(const DeviceRoots& roots);

// The parsing of sysfs attribute files, which hold outside input.
// The first line of a file's text, trailing blanks dropped.
std::string AttributeLine(std::string_view fileText);
// A USB id as sysfs writes it: one to four hex digits.
bool ParseUsbId(std::string_view text, uint16_t* id);
// A tty's UART type: a decimal number; 0 (no UART) for anything else.
int ParseUartType(std::string_view text);

}  // namespace ktcomm::platform::posix
