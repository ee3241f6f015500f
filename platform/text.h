// Small text helpers shared by the platform's parsers.
#pragma once

#include <cctype>
#include <string_view>

namespace ktcomm::platform {

// True when text equals `lower` (all lower case) in any case.
inline bool EqualsNoCase(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != lower[i]) return false;
  }
  return true;
}

}  // namespace ktcomm::platform
