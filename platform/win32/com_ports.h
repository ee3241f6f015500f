// What Windows tells about its COM ports beside the port's own I/O: why an
// open of \\.\COMn failed, the modem lines as KTcomm reports them, and the
// ports present, from the system's serial-port map and its DOS device
// names (merged in com_names.h). The reasoning is pure, so that it can be
// checked without the devices.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/com_names.h"

namespace ktcomm::platform::win32 {

// The explanation of an open of a COM port that failed with `err` at `step`
// (null: the open itself); `errorText` is the system's text for `err`.
// Windows opens a COM port for one handle only and does not say who holds
// it: an in-use answer has no holder.
OpenFailure ExplainComFailure(const char* step, DWORD err, const std::string& errorText);

// kLine* bits from GetCommModemStatus's MS_*_ON bits and the DTR and RTS
// modes of the device's control block: an output counts as raised while its
// mode holds it up (enabled, or a handshake, which keeps it up while the
// driver takes input); a toggled RTS rises only while sending.
uint32_t ModemLevels(DWORD modemStatus, DWORD dtrControl, DWORD rtsControl);

// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: one value per port, named by its
// kernel device, holding its DOS name. Empty when the key is missing.
std::vector<ComName> ReadSerialCommMap();
// The DOS device names that are COMn, with their targets.
std::vector<ComName> ReadDosComNames();

}  // namespace ktcomm::platform::win32
