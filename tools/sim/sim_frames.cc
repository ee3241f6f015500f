#include "tools/sim/sim_frames.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "tools/common/hex.h"

namespace ktcomm::sim {
namespace {

// The two framings differ only in these constants; encoder and parser both
// run off this table.
struct FrameFormat {
  int protocol;
  uint8_t lead;
  std::optional<uint8_t> shortType;  // type with a one-byte length
  uint8_t longType;                  // type with a two-byte length, low first
  bool trailer;                      // one more byte after a frame with data
};

constexpr std::array<FrameFormat, 2> kFormats = {{
    {1, kLead1, 0x80, 0x81, false},
    {2, kLead2, std::nullopt, 0xF3, true},
}};

constexpr std::array<uint8_t, 9> kProtocol1Commands = {0x10, 0x1A, 0x1F, 0xCE, 0x05,
                                                       0x5A, 0x3E, 0x3C, 0x24};

const FrameFormat* FormatOf(int protocol) {
  for (const FrameFormat& format : kFormats) {
    if (format.protocol == protocol) return &format;
  }
  return nullptr;
}

int FormatIndexOfLead(uint8_t byte) {
  for (size_t i = 0; i < kFormats.size(); ++i) {
    if (kFormats[i].lead == byte) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

bool IsProtocol1Command(uint8_t command) {
  return std::find(kProtocol1Commands.begin(), kProtocol1Commands.end(), command) !=
         kProtocol1Commands.end();
}

std::vector<uint8_t> Encode(const Frame& frame, const EncodeOptions& options) {
  const FrameFormat* format = FormatOf(frame.protocol);
  if (format == nullptr) throw std::invalid_argument("protocol must be 1 or 2");
  if (frame.data.size() > kMaxData) throw std::invalid_argument("frame data too long");

  size_t length = frame.data.size() + 1;
  bool shortForm = format->shortType && !options.longLength && length <= 0xFF;
  std::vector<uint8_t> bytes(1 + std::max(options.extraLeads, 0), format->lead);
  if (shortForm) {
    bytes.push_back(*format->shortType);
    bytes.push_back(static_cast<uint8_t>(length));
  } else {
    bytes.push_back(format->longType);
    bytes.push_back(static_cast<uint8_t>(length & 0xFF));
    bytes.push_back(static_cast<uint8_t>(length >> 8));
  }
  bytes.push_back(frame.command);
  bytes.insert(bytes.end(), frame.data.begin(), frame.data.end());
  if (format->trailer && !frame.data.empty()) bytes.push_back(options.trailer);
  return bytes;
}

std::optional<Frame> FrameParser::Step(uint8_t byte) {
  const FrameFormat& fmt = kFormats[format];
  switch (state) {
    case State::kTrailer: state = State::kIdle; return std::nullopt;
    case State::kIdle:
      if (int index = FormatIndexOfLead(byte); index >= 0) {
        format = index;
        state = State::kLead;
      }
      return std::nullopt;
    case State::kLead:
      if (byte == fmt.lead) return std::nullopt;
      if (byte == fmt.longType || (fmt.shortType && byte == *fmt.shortType)) {
        twoByteLength = byte == fmt.longType;
        state = State::kLengthLow;
        return std::nullopt;
      }
      Reject();
      return Step(byte);
    case State::kLengthLow:
      length = byte;
      if (twoByteLength) {
        state = State::kLengthHigh;
        return std::nullopt;
      }
      break;
    case State::kLengthHigh: length |= static_cast<uint32_t>(byte) << 8; break;
    case State::kCommand:
      frame.protocol = fmt.protocol;
      frame.command = byte;
      frame.data.clear();
      if (length == 1) return Finish();
      state = State::kData;
      return std::nullopt;
    case State::kData:
      frame.data.push_back(byte);
      if (frame.data.size() == length - 1) return Finish();
      return std::nullopt;
  }
  // The length is complete.
  if (length == 0 || length - 1 > maxData) return Reject();
  state = State::kCommand;
  return std::nullopt;
}

std::optional<Frame> FrameParser::Reject() {
  ++rejected;
  state = State::kIdle;
  return std::nullopt;
}

std::optional<Frame> FrameParser::Finish() {
  bool trailer = kFormats[format].trailer && !frame.data.empty();
  state = trailer ? State::kTrailer : State::kIdle;
  return std::move(frame);
}

std::vector<Frame> FrameParser::Feed(std::span<const uint8_t> bytes) {
  std::vector<Frame> frames;
  for (uint8_t byte : bytes) {
    if (auto done = Step(byte)) frames.push_back(std::move(*done));
  }
  return frames;
}

void FrameParser::Reset() {
  state = State::kIdle;
  frame = Frame{};
}

std::optional<Frame> ReplyTable::ReplyTo(const Frame& received, int protocol) const {
  auto rule = rules.find(received.command);
  if (rule == rules.end()) {
    if (!IsProtocol1Command(received.command)) return std::nullopt;
    return Frame{protocol, received.command, received.data};
  }
  const std::vector<uint8_t>& reply = rule->second;
  if (reply.empty()) return std::nullopt;
  return Frame{protocol, reply[0], {reply.begin() + 1, reply.end()}};
}

void ReplyTable::Set(uint8_t command, std::vector<uint8_t> reply) {
  rules[command] = std::move(reply);
}

bool ReplyTable::AddRule(std::string_view rule, std::string* error) {
  size_t equals = rule.find('=');
  uint8_t command = 0;
  std::vector<uint8_t> reply;
  if (equals == std::string_view::npos || !hex::ParseByte(rule.substr(0, equals), &command)) {
    *error = "reply rule '" + std::string(rule) + "' is not CMD=HEX";
    return false;
  }
  if (!hex::Parse(rule.substr(equals + 1), &reply)) {
    *error = "reply rule '" + std::string(rule) + "' has bad hex after '='";
    return false;
  }
  if (reply.size() > kMaxData + 1) {
    *error = "reply rule '" + std::string(rule) + "' is too long";
    return false;
  }
  Set(command, std::move(reply));
  return true;
}

}  // namespace ktcomm::sim
