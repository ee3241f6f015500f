// An independent decoder for checking the library's: it scans a whole byte
// stream at once, frame by frame, from the frame layouts, where the library
// steps a state machine byte by byte. Only for streams with no caller waiting
// (every completed frame is posted).
#pragma once

#include <cstdint>
#include <vector>

namespace ktcomm::reference {

struct Frame {
  uint8_t command = 0;
  bool withData = false;
  std::vector<uint8_t> data;
  bool operator==(const Frame&) const = default;
};

struct Result {
  std::vector<Frame> frames;
  int overflows = 0;
};

inline bool KnownCommand(uint8_t c) {
  for (uint8_t known : {0x10, 0x1A, 0x1F, 0xCE, 0x05, 0x5A, 0x3E, 0x3C, 0x24}) {
    if (c == known) return true;
  }
  return false;
}

// protocol 1 or 2; rxSize the receive buffer's size.
inline Result Decode(int protocol, const std::vector<uint8_t>& in, int rxSize) {
  Result out;
  const size_t n = in.size();
  if (rxSize == 0) {  // every byte finds the buffer full
    out.overflows = static_cast<int>(n);
    return out;
  }
  const uint8_t lead = protocol == 1 ? 0x00 : 0x1B;
  size_t pos = 0;
  while (pos < n) {
    if (in[pos] != lead) {
      ++pos;
      continue;
    }
    size_t j = pos;
    while (j < n && in[j] == lead) ++j;
    if (j >= n) break;
    const uint8_t type = in[j++];
    int length;
    if (protocol == 1 && type == 0x80) {
      if (j >= n) break;
      length = in[j++];
    } else if ((protocol == 1 && type == 0x81) || (protocol == 2 && type == 0xF3)) {
      if (j + 1 >= n) break;
      length = in[j] | in[j + 1] << 8;
      j += 2;
    } else {
      pos = j;  // the rejected type byte is used up
      continue;
    }
    if (length == 0) {
      pos = j;
      continue;
    }
    if (j >= n) break;
    const uint8_t command = in[j++];
    if (protocol == 1 && (!KnownCommand(command) || (length > 2 && command != 0x1A))) {
      pos = j;
      continue;
    }
    if (length == 1) {
      out.frames.push_back({command, false, {}});
      pos = j;
      continue;
    }
    const size_t dataLength = static_cast<size_t>(length - 1);
    if (dataLength > static_cast<size_t>(rxSize)) {
      // The data byte that finds the buffer full is used up by the overflow.
      if (j + rxSize >= n) break;
      ++out.overflows;
      pos = j + rxSize + 1;
      continue;
    }
    if (j + dataLength > n) break;
    Frame frame{command, true, {in.begin() + j, in.begin() + j + dataLength}};
    j += dataLength;
    if (protocol == 2) {
      // Posted by the byte after the data, whatever it is; a full buffer
      // turns that byte into an overflow instead.
      if (j >= n) break;
      ++j;
      if (dataLength == static_cast<size_t>(rxSize)) {
        ++out.overflows;
        pos = j;
        continue;
      }
    }
    out.frames.push_back(frame);
    pos = j;
  }
  return out;
}

}  // namespace ktcomm::reference
