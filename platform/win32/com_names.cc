#include "platform/win32/com_names.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <utility>

namespace ktcomm::platform::win32 {
namespace {

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

}  // namespace

int ComNumber(std::string_view name) {
  if (name.size() < 4 || name.size() > 6 || Upper(name.substr(0, 3)) != "COM") return 0;
  std::string_view digits = name.substr(3);
  if (digits[0] == '0') return 0;
  int number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  return number <= 255 ? number : 0;
}

std::string RegistryText(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  return std::string(text, std::find(text, text + size, '\0'));
}

std::vector<std::string> SplitNameList(const char* list, size_t size) {
  std::vector<std::string> names;
  for (size_t at = 0; at < size && list[at] != '\0';) {
    std::string name = RegistryText(reinterpret_cast<const uint8_t*>(list + at), size - at);
    at += name.size() + 1;
    names.push_back(std::move(name));
  }
  return names;
}

std::vector<SerialDeviceInfo> MergeComNames(const std::vector<ComName>& mapped,
                                            const std::vector<ComName>& dosNames) {
  // Keyed by (number, upper-case name): COMn first, by number; other
  // names after them (256 is past every COMn), by name.
  std::map<std::pair<int, std::string>, ComName> ports;
  for (const auto* list : {&mapped, &dosNames}) {
    for (const ComName& port : *list) {
      if (port.name.empty()) continue;
      int number = ComNumber(port.name);
      ports.emplace(std::make_pair(number != 0 ? number : 256, Upper(port.name)), port);  // first wins
    }
  }
  std::vector<SerialDeviceInfo> found;
  for (const auto& [key, port] : ports) {
    SerialDeviceInfo info;
    info.path = "\\\\.\\" + port.name;
    info.tty = port.device.empty() ? port.name : port.device;
    found.push_back(std::move(info));
  }
  return found;
}

}  // namespace ktcomm::platform::win32
