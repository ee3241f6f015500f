// The least a client must do to find frames in a byte stream: a lead byte, a
// type, a length, then the command and the data, copied in bulk. No command
// table, no receive-buffer checks, no lock: the reference client's decoder,
// which the library's decoder is measured against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace ktcomm::bench {

struct FrameShape {
  uint8_t lead;
  int shortType;     // type byte with a one-byte length; -1 for none
  uint8_t longType;  // type byte with a two-byte length, low byte first
  bool trailer;      // one more byte follows a frame with data
};

inline constexpr FrameShape kShape1{0x00, 0x80, 0x81, false};
inline constexpr FrameShape kShape2{0x1B, -1, 0xF3, true};

class MinimalDecoder {
 public:
  explicit MinimalDecoder(const FrameShape& shape) : shape(shape), data(0x10000) {}

  // Calls onFrame(command, data) for each frame the bytes complete; the data
  // stays valid until the next call.
  template <typename OnFrame>
  void Feed(std::span<const uint8_t> bytes, OnFrame&& onFrame) {
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
      if (state == kData) {
        size_t take = std::min(n - i, static_cast<size_t>(length - 1) - have);
        std::memcpy(data.data() + have, p + i, take);
        have += take;
        i += take;
        if (have == length - 1) Finish(onFrame);
        continue;
      }
      uint8_t byte = p[i++];
      switch (state) {
        case kIdle:
          if (byte == shape.lead) state = kLead;
          break;
        case kLead:
          if (byte == shape.lead) break;
          twoByteLength = byte == shape.longType;
          state = twoByteLength || byte == shape.shortType ? kLengthLow : kIdle;
          break;
        case kLengthLow:
          length = byte;
          state = twoByteLength ? kLengthHigh : Counted();
          break;
        case kLengthHigh:
          length |= static_cast<uint32_t>(byte) << 8;
          state = Counted();
          break;
        case kCommand:
          command = byte;
          have = 0;
          if (length == 1) {
            Finish(onFrame);
          } else {
            state = kData;
          }
          break;
        case kTrailer:
          state = kIdle;
          break;
        case kData:
          break;
      }
    }
  }

 private:
  enum State { kIdle, kLead, kLengthLow, kLengthHigh, kCommand, kData, kTrailer };

  State Counted() const { return length == 0 ? kIdle : kCommand; }

  template <typename OnFrame>
  void Finish(OnFrame& onFrame) {
    onFrame(command, std::span<const uint8_t>(data.data(), have));
    state = shape.trailer && have > 0 ? kTrailer : kIdle;
  }

  FrameShape shape;
  State state = kIdle;
  bool twoByteLength = false;
  uint32_t length = 0;
  uint8_t command = 0;
  size_t have = 0;
  std::vector<uint8_t> data;
};

}  // namespace ktcomm::bench
