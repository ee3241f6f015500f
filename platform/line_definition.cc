#include "platform/line_definition.h"

#include <cctype>
#include <charconv>

#include "platform/text.h"

namespace ktcomm::platform {
namespace {

std::optional<uint32_t> ParseNumber(std::string_view text) {
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Stores one key=value pair; false when the pair is not understood.
bool Apply(std::string_view key, std::string_view value, LineSettings* line) {
  if (EqualsNoCase(key, "baud")) {
    auto baud = ParseNumber(value);
    if (line->baud || !baud || *baud == 0) return false;
    line->baud = *baud;
    return true;
  }
  if (EqualsNoCase(key, "parity")) {
    if (line->parity || value.size() != 1) return false;
    char parity = static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])));
    if (std::string_view("NEOMS").find(parity) == std::string_view::npos) return false;
    line->parity = parity;
    return true;
  }
  if (EqualsNoCase(key, "data")) {
    auto bits = ParseNumber(value);
    if (line->dataBits || !bits || *bits < 5 || *bits > 8) return false;
    line->dataBits = static_cast<int>(*bits);
    return true;
  }
  if (EqualsNoCase(key, "stop")) {
    auto bits = ParseNumber(value);
    if (line->stopBits || !bits || (*bits != 1 && *bits != 2)) return false;
    line->stopBits = static_cast<int>(*bits);
    return true;
  }
  return false;
}

}  // namespace

std::optional<LineSettings> ParseLineDefinition(std::string_view text) {
  LineSettings line;
  size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == ' ') {
      ++pos;
      continue;
    }
    size_t end = text.find(' ', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view pair = text.substr(pos, end - pos);
    size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    if (!Apply(pair.substr(0, eq), pair.substr(eq + 1), &line)) return std::nullopt;
    pos = end;
  }
  return line;
}

}  // namespace ktcomm::platform
