// The device's side of a KTcomm line: an encoder for the frames a device
// sends, an incremental parser for the bytes the library sends, and the
// device's table of answers. Plain values, no threads; the simulator and the
// tests share them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ktcomm::sim {

// Protocol 1 frames open with 0x00, protocol 2 frames with 0x1B.
inline constexpr uint8_t kLead1 = 0x00;
inline constexpr uint8_t kLead2 = 0x1B;
// What follows a protocol-2 frame with data; the library posts the frame
// when any byte arrives there, and this is the one we choose to send.
inline constexpr uint8_t kDefaultTrailer = 0x0D;
// The length field counts the command byte, so this is the most data a
// two-byte length can announce.
inline constexpr size_t kMaxData = 0xFFFF - 1;

struct Frame {
  int protocol = 1;  // 1 or 2
  uint8_t command = 0;
  std::vector<uint8_t> data;

  bool operator==(const Frame&) const = default;
};

// The nine commands the library's protocol-1 decoder accepts; only 0x1A may
// carry more than one data byte.
bool IsProtocol1Command(uint8_t command);

struct EncodeOptions {
  int extraLeads = 0;       // further lead bytes before the type
  bool longLength = false;  // protocol 1: type 0x81 even when 0x80 would do
  uint8_t trailer = kDefaultTrailer;
};

// The frame as it goes on the line. Protocol 1 uses the one-byte length form
// while the length fits in it. Throws std::invalid_argument for data longer
// than kMaxData or a protocol other than 1 or 2.
std::vector<uint8_t> Encode(const Frame& frame, const EncodeOptions& options = {});

// Splits a byte stream into frames of either protocol, chosen by the lead
// byte. Unlike the library's decoder it checks no command table, so a test
// sees every frame put on the line. A protocol-2 frame with data is returned
// at its last data byte and the trailer after it is skipped. A bad type byte
// is looked at again as a possible lead, so noise cannot hide the next frame.
class FrameParser {
 public:
  explicit FrameParser(size_t maxData = kMaxData) : maxData(maxData) {}

  // Advances by one byte; returns the frame that byte finished, if any.
  std::optional<Frame> Step(uint8_t byte);
  // Steps through every byte and returns the frames finished on the way.
  std::vector<Frame> Feed(std::span<const uint8_t> bytes);
  void Reset();

  // Frames given up on: a bad type byte, a zero length, or more data than
  // maxData. Noise that never formed a lead is not counted.
  size_t Rejected() const { return rejected; }

 private:
  enum class State { kIdle, kLead, kLengthLow, kLengthHigh, kCommand, kData, kTrailer };

  std::optional<Frame> Reject();
  std::optional<Frame> Finish();

  size_t maxData;
  State state = State::kIdle;
  int format = 0;  // index into the format table while a frame is read
  bool twoByteLength = false;
  uint32_t length = 0;
  Frame frame;
  size_t rejected = 0;
};

// What the simulated device answers. By default each of protocol 1's nine
// commands is echoed with its data and any other command goes unanswered;
// rules replace that per command.
class ReplyTable {
 public:
  // The reply to `received`, framed in `protocol`, or none.
  std::optional<Frame> ReplyTo(const Frame& received, int protocol) const;

  // Answer `command` with `reply` (its command byte, then its data), or stay
  // silent when `reply` is empty.
  void Set(uint8_t command, std::vector<uint8_t> reply);

  // A rule "CMD=HEX" as given on the command line: CMD one hex byte, HEX the
  // reply's command byte and data, empty for silence. Returns false and sets
  // *error to one line saying why when the rule does not parse.
  bool AddRule(std::string_view rule, std::string* error);

 private:
  std::map<uint8_t, std::vector<uint8_t>> rules;
};

}  // namespace ktcomm::sim
