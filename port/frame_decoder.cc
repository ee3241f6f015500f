#include "port/frame_decoder.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace ktcomm {

namespace {
constexpr std::array<uint8_t, 9> kKnownCommands = {0x10, 0x1A, 0x1F, 0xCE, 0x05,
                                                   0x5A, 0x3E, 0x3C, 0x24};
constexpr uint8_t kMultiByteCommand = 0x1A;

// The command table as one bit per byte value: tested for every frame.
constexpr std::array<uint64_t, 4> kKnownBits = [] {
  std::array<uint64_t, 4> bits{};
  for (uint8_t command : kKnownCommands) bits[command >> 6] |= uint64_t{1} << (command & 63);
  return bits;
}();
}  // namespace

const FrameFormat* FormatFor(uint8_t protocol) {
  if (protocol == 1) return &kProtocol1;
  if (protocol == 2) return &kProtocol2;
  return nullptr;
}

bool IsKnownCommand(uint8_t command) {
  return (kKnownBits[command >> 6] >> (command & 63) & 1) != 0;
}

namespace {

// The state machine's fields while bytes are decoded. Kept in a local copy,
// they stay in registers: a store into the receive buffer might alias the
// decoder's own fields and would force them back to memory after each byte.
struct Machine {
  int32_t state;
  uint8_t frameType;
  int32_t frameLength;
  uint8_t frameCommand;
  int32_t rxPos;

  explicit Machine(const Decoder& d)
      : state(d.state),
        frameType(d.frameType),
        frameLength(d.frameLength),
        frameCommand(d.frameCommand),
        rxPos(d.rxPos) {}

  void Keep(Decoder& d) const {
    d.state = state;
    d.frameType = frameType;
    d.frameLength = frameLength;
    d.frameCommand = frameCommand;
    d.rxPos = rxPos;
  }
};

Decoder::Step Command(Machine& m, const FrameFormat& format, uint8_t byte) {
  m.frameCommand = byte;
  m.state = kData;
  if (format.knownCommandsOnly) {
    if (!IsKnownCommand(byte) || (m.frameLength > 2 && byte != kMultiByteCommand)) {
      m.state = kIdle;
      return Decoder::Step::kNone;
    }
  }
  return m.frameLength == 1 ? Decoder::Step::kFrame : Decoder::Step::kNone;
}

// One byte through the state machine, after the room test.
Decoder::Step Decode(Machine& m, const FrameFormat& format, uint8_t byte,
                     std::span<uint8_t> rxBuf) {
  using Step = Decoder::Step;
  switch (m.state) {
    case kIdle:
    case kOverflowed:
      if (byte == format.lead) m.state = kLeadSeen;
      return Step::kNone;

    case kLeadSeen:
      if (byte == format.lead) return Step::kNone;
      m.frameType = byte;
      m.state = (byte == format.shortType && format.shortType != 0) || byte == format.longType
                    ? kTypeSeen
                    : kIdle;
      return Step::kNone;

    case kTypeSeen:
      m.frameLength = byte;
      m.state = (m.frameType == format.shortType && byte == 0) ? kIdle : kLengthLow;
      return Step::kNone;

    case kLengthLow:
      if (m.frameType == format.shortType) return Command(m, format, byte);
      m.frameLength += byte * 256;
      m.state = m.frameLength != 0 ? kLengthDone : kIdle;
      return Step::kNone;

    case kLengthDone:
      return Command(m, format, byte);

    case kData:
      rxBuf[m.rxPos] = byte;
      m.rxPos += 1;
      // Past the frame's end (holding for a caller) nothing completes again.
      return m.rxPos == m.frameLength - 1 ? Step::kFrame : Step::kNone;

    case kStored:
      return format.trailerTriggersPost ? Step::kTrigger : Step::kNone;

    default:
      return Step::kNone;
  }
}

}  // namespace

Decoder::Step Decoder::Feed(const FrameFormat* format, uint8_t byte,
                            std::span<uint8_t> rxBuf) {
  // Before decoding, in every state: a full buffer drops the frame.
  if (rxPos >= static_cast<int32_t>(rxBuf.size())) return Overflow();
  if (format == nullptr) return Step::kNone;
  Machine m(*this);
  Step step = Decode(m, *format, byte, rxBuf);
  m.Keep(*this);
  return step;
}

Decoder::Run Decoder::FeedRun(const FrameFormat* format, std::span<const uint8_t> bytes,
                              std::span<uint8_t> rxBuf) {
  const size_t room = rxBuf.size();
  if (format == nullptr) {
    // Nothing is decoded and nothing stored: only a buffer already full
    // overflows, on each byte.
    if (bytes.empty() || static_cast<size_t>(rxPos) < room) return {bytes.size(), Step::kNone};
    return {1, Overflow()};
  }
  const uint8_t* const begin = bytes.data();
  const uint8_t* const end = begin + bytes.size();
  const uint8_t* p = begin;
  Machine m(*this);
  Step step = Step::kNone;
  while (p != end) {
    // The room test comes first for every byte. Only stored data bytes move
    // rxPos, so one test covers all the bytes before data starts, and a
    // data run is cut where the buffer fills.
    if (static_cast<size_t>(m.rxPos) >= room) {
      ++p;
      m.Keep(*this);
      return {static_cast<size_t>(p - begin), Overflow()};
    }
    if (m.state == kData) {
      size_t take = std::min(static_cast<size_t>(end - p), room - static_cast<size_t>(m.rxPos));
      // Data bytes the frame still lacks; none once it is complete and held.
      const int32_t missing = m.frameLength - 1 - m.rxPos;
      const bool completes = missing > 0 && static_cast<size_t>(missing) <= take;
      if (completes) take = static_cast<size_t>(missing);
      std::memcpy(rxBuf.data() + m.rxPos, p, take);
      m.rxPos += static_cast<int32_t>(take);
      p += take;
      if (completes) {
        step = Step::kFrame;
        break;
      }
      continue;
    }
    do {
      if ((m.state == kIdle || m.state == kOverflowed) && *p != format->lead) {
        // Noise: nothing but the lead byte changes these states.
        p = static_cast<const uint8_t*>(std::memchr(p, format->lead, static_cast<size_t>(end - p)));
        if (p == nullptr) {
          p = end;
          break;
        }
      }
      step = Decode(m, *format, *p++, rxBuf);
    } while (step == Step::kNone && p != end && m.state != kData);
    if (step != Step::kNone) break;
  }
  m.Keep(*this);
  return {static_cast<size_t>(p - begin), step};
}

}  // namespace ktcomm
