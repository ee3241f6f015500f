// The COM port names Windows keeps in its serial-port map and its DOS
// device names, which drivers write: parsed and merged here without a
// system call, so that the parsing also builds (and is fuzzed) on Linux.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace ktcomm::platform::win32 {

// n for "COMn" (any case, 1 to 255, no leading zero), else 0.
int ComNumber(std::string_view name);

// A registry string as the system stored it: up to its first NUL, which a
// value need not have.
std::string RegistryText(const uint8_t* data, size_t size);

// The strings of a NUL-separated list that ends at an empty string or at
// `size`, whichever comes first.
std::vector<std::string> SplitNameList(const char* list, size_t size);

// One port's names: the DOS name ("COM3") and the kernel device behind it
// ("\Device\Serial2"), either of which may be unknown.
struct ComName {
  std::string name;
  std::string device;
};

// The ports in `mapped` (the serial-port map), then those of `dosNames`
// the map lacks, each name once whatever its case: COMn by number first,
// then other names in order. Entries without a name are dropped.
std::vector<SerialDeviceInfo> MergeComNames(const std::vector<ComName>& mapped,
                                            const std::vector<ComName>& dosNames);

}  // namespace ktcomm::platform::win32
