// Parsing of line definition texts such as "baud=9600 parity=N data=8 stop=1".
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace ktcomm::platform {

// The settings a definition names; a setting it leaves out stays unset.
struct LineSettings {
  std::optional<uint32_t> baud;
  std::optional<char> parity;  // upper case: N E O M S
  std::optional<int> dataBits;
  std::optional<int> stopBits;
};

// Blank-separated key=value pairs with the keys baud, parity, data and stop
// (any case). Returns nothing for an unknown key, a value out of range, or a
// key given twice.
std::optional<LineSettings> ParseLineDefinition(std::string_view text);

}  // namespace ktcomm::platform
