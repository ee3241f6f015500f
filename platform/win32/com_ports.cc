#include "platform/win32/com_ports.h"

#include <algorithm>
#include <cctype>

namespace ktcomm::platform::win32 {
namespace {

// The serial-port map has a value per port; far more is not a port list.
constexpr DWORD kMaxMapValues = 4096;
// A value's name or text longer than this is no port's.
constexpr size_t kMaxNameBytes = 32768;
// QueryDosDeviceA(NULL) lists every DOS name of the session: some tens of
// KiB on a busy machine.
constexpr size_t kFirstDosList = 64 * 1024;
constexpr size_t kMaxDosList = 4 * 1024 * 1024;

// The system's text without the line end FormatMessageA puts after it.
std::string TrimmedText(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

}  // namespace

OpenFailure ExplainComFailure(const char* step, DWORD err, const std::string& errorText) {
  OpenFailure why;
  why.err = static_cast<int>(err);
  std::string text = TrimmedText(errorText);
  if (text.empty()) text = "error " + std::to_string(err);
  auto say = [&](OpenReason reason, std::string said) {
    why.reason = reason;
    why.text = std::move(said);
    return why;
  };
  if (step != nullptr) {
    std::string failed = std::string(step) + " failed: " + text;
    // A driver that does not know the request at all is no serial driver;
    // one that knows it and refuses the values refused the set-up.
    if (err == ERROR_INVALID_FUNCTION) {
      return say(OpenReason::kNotSerial, "not a serial device (" + failed + ")");
    }
    return say(OpenReason::kSetupRefused, "the device refused its set-up: " + failed);
  }
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return say(OpenReason::kNoDevice, "no such device");
    // Windows gives a COM port to one handle at a time; the claim a second
    // opener meets answers ERROR_SHARING_VIOLATION.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return say(OpenReason::kInUse, "in use by another program");
    // The name exists but nothing answers behind it: a removed adapter, or
    // a port whose device answers no request (Wine's port mapped to a path
    // that does not exist).
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_READY:
    case ERROR_GEN_FAILURE:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_SEM_TIMEOUT:
      return say(OpenReason::kNoDevice, "no device behind the name (" + text + ")");
    // It opened but takes no serial request (a file behind the name).
    case ERROR_NOT_SUPPORTED:
      return say(OpenReason::kNotSerial, "not a serial device (" + text + ")");
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_NONPAGED_SYSTEM_RESOURCES:
    case ERROR_PAGED_SYSTEM_RESOURCES:
    case ERROR_COMMITMENT_LIMIT:
      return say(OpenReason::kNoResources, text);
    default:
      return say(OpenReason::kOther, text);
  }
}

uint32_t ModemLevels(DWORD modemStatus, DWORD dtrControl, DWORD rtsControl) {
  uint32_t lines = 0;
  if (modemStatus & MS_CTS_ON) lines |= kLineCts;
  if (modemStatus & MS_DSR_ON) lines |= kLineDsr;
  if (modemStatus & MS_RLSD_ON) lines |= kLineDcd;
  if (modemStatus & MS_RING_ON) lines |= kLineRi;
  if (dtrControl == DTR_CONTROL_ENABLE || dtrControl == DTR_CONTROL_HANDSHAKE) lines |= kLineDtr;
  if (rtsControl == RTS_CONTROL_ENABLE || rtsControl == RTS_CONTROL_HANDSHAKE) lines |= kLineRts;
  return lines;
}

std::vector<ComName> ReadSerialCommMap() {
  std::vector<ComName> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return ports;
  }
  DWORD nameMax = 0, dataMax = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &nameMax,
                   &dataMax, nullptr, nullptr);
  std::string name(nameMax + 1, '\0');
  std::vector<uint8_t> data(dataMax + 1);
  for (DWORD index = 0; index < kMaxMapValues;) {
    DWORD nameSize = static_cast<DWORD>(name.size());
    DWORD dataSize = static_cast<DWORD>(data.size());
    DWORD type = 0;
    LONG result = RegEnumValueA(key, index, name.data(), &nameSize, nullptr, &type, data.data(),
                                &dataSize);
    if (result == ERROR_MORE_DATA) {
      // A value grew meanwhile: read it again with room for it, unless it
      // is far longer than a port's name could be.
      if (name.size() < kMaxNameBytes && data.size() < kMaxNameBytes) {
        name.resize(name.size() * 2);
        data.resize(data.size() * 2);
      } else {
        index += 1;
      }
      continue;
    }
    if (result != ERROR_SUCCESS) break;
    index += 1;
    if (type != REG_SZ) continue;
    ports.push_back({RegistryText(data.data(), std::min<size_t>(dataSize, data.size())),
                     RegistryText(reinterpret_cast<const uint8_t*>(name.data()),
                                  std::min<size_t>(nameSize, name.size()))});
  }
  RegCloseKey(key);
  return ports;
}

std::vector<ComName> ReadDosComNames() {
  std::vector<ComName> ports;
  std::vector<char> list(kFirstDosList);
  DWORD length = 0;
  for (;;) {
    length = QueryDosDeviceA(nullptr, list.data(), static_cast<DWORD>(list.size()));
    if (length != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    if (list.size() >= kMaxDosList) break;
    list.resize(list.size() * 2);
  }
  size_t listed = std::min<size_t>(length, list.size());
  for (const std::string& name : SplitNameList(list.data(), listed)) {
    if (ComNumber(name) == 0) continue;
    char target[1024];
    DWORD got = QueryDosDeviceA(name.c_str(), target, sizeof target);
    ports.push_back({name, RegistryText(reinterpret_cast<const uint8_t*>(target),
                                        std::min<size_t>(got, sizeof target))});
  }
  return ports;
}

}  // namespace ktcomm::platform::win32
