// What Windows tells about its COM ports beside the port's own I/O: why an
// open of \\.\COMn failed, the modem lines as KTcomm reports them, and the
// ports present, from the system's serial-port map and its DOS device
// names. The reasoning is pure and works on what the readers below gather,
// so that it can be checked without the devices.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace ktcomm::platform::win32 {

// The explanation of an open of a COM port that failed with `err` at `step`
// (null: the open itself); `errorText` is the system's text for `err`.
// Windows opens a COM port for one handle only and does not say who holds
// it: an in-use answer has no holder.
OpenFailure ExplainComFailure(const char* step, DWORD err, const std::string& errorText);

// The system's text without the line end FormatMessageA puts after it.
std::string TrimmedText(std::string text);

// kLine* bits from GetCommModemStatus's MS_*_ON bits and the DTR and RTS
// modes of the device's control block: an output counts as raised while its
// mode holds it up (enabled, or a handshake, which keeps it up while the
// driver takes input); a toggled RTS rises only while sending.
uint32_t ModemLevels(DWORD modemStatus, DWORD dtrControl, DWORD rtsControl);

// n for "COMn" (any case, 1 to 255, no leading zero), else 0.
int ComNumber(std::string_view name);

// A registry string as the system stored it: up to its first NUL, which a
// value need not have.
std::string RegistryText(const uint8_t* data, size_t size);

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

// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: one value per port, named by its
// kernel device, holding its DOS name. Empty when the key is missing.
std::vector<ComName> ReadSerialCommMap();
// The DOS device names that are COMn, with their targets.
std::vector<ComName> ReadDosComNames();

}  // namespace ktcomm::platform::win32
