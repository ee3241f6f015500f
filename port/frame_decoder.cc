#include "port/frame_decoder.h"

#include <algorithm>
#include <array>

namespace ktcomm {

namespace {
constexpr std::array<uint8_t, 9> kKnownCommands = {0x10, 0x1A, 0x1F, 0xCE, 0x05,
                                                   0x5A, 0x3E, 0x3C, 0x24};
constexpr uint8_t kMultiByteCommand = 0x1A;
}  // namespace

const FrameFormat* FormatFor(uint8_t protocol) {
  if (protocol == 1) return &kProtocol1;
  if (protocol == 2) return &kProtocol2;
  return nullptr;
}

bool IsKnownCommand(uint8_t command) {
  return std::find(kKnownCommands.begin(), kKnownCommands.end(), command) !=
         kKnownCommands.end();
}

Decoder::Step Decoder::Feed(const FrameFormat* format, uint8_t byte,
                            std::span<uint8_t> rxBuf) {
  // Before decoding, in every state: a full buffer drops the frame.
  if (rxPos >= static_cast<int32_t>(rxBuf.size())) {
    rxPos = 0;
    state = kOverflowed;
    holding = false;
    return Step::kOverflow;
  }
  if (format == nullptr) return Step::kNone;

  switch (state) {
    case kIdle:
    case kOverflowed:
      if (byte == format->lead) state = kLeadSeen;
      return Step::kNone;

    case kLeadSeen:
      if (byte == format->lead) return Step::kNone;
      frameType = byte;
      state = (byte == format->shortType && format->shortType != 0) || byte == format->longType
                  ? kTypeSeen
                  : kIdle;
      return Step::kNone;

    case kTypeSeen:
      frameLength = byte;
      state = (frameType == format->shortType && byte == 0) ? kIdle : kLengthLow;
      return Step::kNone;

    case kLengthLow:
      if (frameType == format->shortType) return Command(*format, byte);
      frameLength += byte * 256;
      state = frameLength != 0 ? kLengthDone : kIdle;
      return Step::kNone;

    case kLengthDone:
      return Command(*format, byte);

    case kData:
      rxBuf[rxPos] = byte;
      rxPos += 1;
      // Past the frame's end (holding for a caller) nothing completes again.
      return rxPos == frameLength - 1 ? Step::kFrame : Step::kNone;

    case kStored:
      return format->trailerTriggersPost ? Step::kTrigger : Step::kNone;

    default:
      return Step::kNone;
  }
}

Decoder::Step Decoder::Command(const FrameFormat& format, uint8_t byte) {
  frameCommand = byte;
  state = kData;
  if (format.knownCommandsOnly) {
    if (!IsKnownCommand(byte) || (frameLength > 2 && byte != kMultiByteCommand)) {
      state = kIdle;
      return Step::kNone;
    }
  }
  return frameLength == 1 ? Step::kFrame : Step::kNone;
}

Decoder::Delivery Decoder::Complete(const FrameFormat& format, bool responseWanted) {
  if (responseWanted) {
    holding = true;
    return Delivery::kHold;
  }
  if (format.trailerTriggersPost && rxPos > 0) {
    state = kStored;
    return Delivery::kStore;
  }
  Restart();
  return Delivery::kPost;
}

}  // namespace ktcomm
