// The receive decoders of both framing protocols: one state machine run over
// a table that describes each protocol's frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ktcomm {

// Decoder states; the same numbers in both protocols.
enum ParserState : int32_t {
  kIdle = 0,        // looking for the lead byte
  kLeadSeen = 1,    // lead byte seen (more lead bytes may follow)
  kTypeSeen = 2,    // next: the (first) length byte
  kLengthLow = 3,   // next: the command byte, or the length's high byte
  kLengthDone = 4,  // next: the command byte
  kUnused = 5,      // never entered
  kData = 6,        // collecting data; also holding a frame for a waiting caller
  kStored = 7,      // protocol 2: frame stored, posted when the next byte arrives
  kOverflowed = 8,  // idle after a receive overflow
};

struct FrameFormat {
  uint8_t lead;              // repeated lead byte that opens a frame
  uint8_t shortType;         // type byte followed by a one-byte length; 0: none
  uint8_t longType;          // type byte followed by a two-byte length, low byte first
  bool knownCommandsOnly;    // commands from the table; only 0x1A carries several bytes
  bool trailerTriggersPost;  // a frame with data is posted when one more byte arrives
};

inline constexpr FrameFormat kProtocol1{0x00, 0x80, 0x81, true, false};
inline constexpr FrameFormat kProtocol2{0x1B, 0x00, 0xF3, false, true};

// The format of protocol 1 or 2; null for any other value, which decodes nothing.
const FrameFormat* FormatFor(uint8_t protocol);

// True for the command bytes protocol 1 accepts.
bool IsKnownCommand(uint8_t command);

// The decoder's fields. They belong to a port and are touched under its lock.
struct Decoder {
  int32_t state = kIdle;
  uint8_t frameType = 0;
  int32_t frameLength = 0;  // counts the command byte and the data bytes
  uint8_t frameCommand = 0;
  int32_t rxPos = 0;        // data bytes of the current frame in the receive buffer
  bool holding = false;     // a completed frame waits for a caller to release it

  enum class Step {
    kNone,      // nothing to deliver
    kOverflow,  // the byte found the receive buffer full; now idle in state 8
    kFrame,     // a frame is complete: its data is rxBuf[0, rxPos)
    kTrigger,   // protocol 2: the frame stored earlier is to be posted now
  };

  // What became of a completed frame.
  enum class Delivery {
    kHold,   // handed to a waiting caller; the decoder holds until released
    kStore,  // stored until the byte that triggers its post
    kPost,   // to be posted now; the decoder has started over
  };

  // Tests the byte against the receive buffer's room, then steps the
  // format's state machine with it. `format` may be null (nothing decoded).
  Step Feed(const FrameFormat* format, uint8_t byte, std::span<uint8_t> rxBuf);

  // What FeedRun did: the bytes it used up, and the step of the last of them.
  struct Run {
    size_t consumed = 0;
    Step step = Step::kNone;
  };

  // Feeds bytes in order exactly as Feed would, one at a time, and stops
  // after the first byte whose step is not kNone, so that the caller can
  // deliver before going on; kNone means all bytes were used up. Data bytes
  // are copied in runs and noise before a lead byte skipped in one search;
  // a run is cut where the buffer fills, so overflows fall on the same bytes.
  Run FeedRun(const FrameFormat* format, std::span<const uint8_t> bytes,
              std::span<uint8_t> rxBuf);

  // Decides where a completed frame goes, once its data has been captured.
  Delivery Complete(const FrameFormat& format, bool responseWanted) {
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

  void Restart() {
    state = kIdle;
    rxPos = 0;
    holding = false;
  }

 private:
  Step Overflow() {
    rxPos = 0;
    state = kOverflowed;
    holding = false;
    return Step::kOverflow;
  }
};

}  // namespace ktcomm
