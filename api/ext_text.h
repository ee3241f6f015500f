// Texts into the fixed-size fields of the extension's C structures.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace ktcomm::ext {

// Copies text into field (capacity bytes, at least 1), always terminated.
// A text that does not fit is cut before a character that would not fit
// whole (UTF-8), and so is a text with a NUL byte, at that byte; both
// return true.
inline bool CopyText(std::string_view text, char* field, size_t capacity) {
  bool cut = false;
  if (size_t nul = text.find('\0'); nul != std::string_view::npos) {
    text = text.substr(0, nul);
    cut = true;
  }
  size_t length = text.size();
  if (length >= capacity) {
    cut = true;
    length = capacity - 1;
    // Back to the lead byte of a sequence the cut would split; bytes that
    // are not UTF-8 are cut where they fall.
    auto continuation = [&](size_t at) {
      return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    };
    for (int back = 0; back < 3 && length > 0 && continuation(length); ++back) --length;
    if (continuation(length)) length = capacity - 1;
  }
  if (length > 0) std::memcpy(field, text.data(), length);  // an empty view may have no data
  field[length] = '\0';
  return cut;
}

template <size_t N>
bool CopyText(std::string_view text, char (&field)[N]) {
  static_assert(N > 0);
  return CopyText(text, field, N);
}

}  // namespace ktcomm::ext
