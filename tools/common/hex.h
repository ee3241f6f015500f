// Hexadecimal text for bytes, as the tools read it from command lines and
// print it: "10", "0x1a", "de ad be ef", "dead:beef". Header-only so that
// every tool can use it without linking anything.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ktcomm::hex {

inline int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends the bytes spelled by `text` to *out. Digits come in pairs; blanks,
// ':' and '-' may separate bytes, and one leading "0x" is allowed. Returns
// false (leaving *out as it was) for anything else, including an odd digit.
inline bool Parse(std::string_view text, std::vector<uint8_t>* out) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size();) {
    char c = text[i];
    if (c == ' ' || c == ':' || c == '-') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) return false;
    int hi = DigitValue(c);
    int lo = DigitValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    i += 2;
  }
  out->insert(out->end(), bytes.begin(), bytes.end());
  return true;
}

// One byte, one or two digits ("5", "05", "0x1a"); false for anything else.
inline bool ParseByte(std::string_view text, uint8_t* out) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 2) return false;
  int value = 0;
  for (char c : text) {
    int digit = DigitValue(c);
    if (digit < 0) return false;
    value = value << 4 | digit;
  }
  *out = static_cast<uint8_t>(value);
  return true;
}

// "de ad be ef": lowercase pairs joined by `separator` (none when it is 0).
inline std::string Format(std::span<const uint8_t> bytes, char separator = ' ') {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && separator != 0) text += separator;
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace ktcomm::hex
