// Telnet as a client of a network serial server speaks it, with the Com
// Port Control option (RFC 2217). Pure byte work without I/O: the RFC 2217
// stream feeds it what the socket gave and sends what it produced.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ktcomm::net::telnet {

inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;

inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kComPort = 44;

// Com port requests. The server answers each with the request's code plus
// kAnswerOffset and the value now in force.
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kAnswerOffset = 100;

// Values of kSetParity.
inline constexpr uint8_t kParityNone = 1;
inline constexpr uint8_t kParityOdd = 2;
inline constexpr uint8_t kParityEven = 3;
inline constexpr uint8_t kParityMark = 4;
inline constexpr uint8_t kParitySpace = 5;
// Values of kSetControl.
inline constexpr uint8_t kFlowNone = 1;
inline constexpr uint8_t kFlowHardware = 3;
inline constexpr uint8_t kDtrOn = 8;
inline constexpr uint8_t kDtrOff = 9;
inline constexpr uint8_t kRtsOn = 11;
inline constexpr uint8_t kRtsOff = 12;
// Values of kPurgeData: the server's receive buffer (what the device sent),
// or both of its buffers.
inline constexpr uint8_t kPurgeReceive = 1;
inline constexpr uint8_t kPurgeBoth = 3;

// A negotiation or subnegotiation taken out of the received stream.
struct Message {
  uint8_t verb = 0;  // kWill, kWont, kDo, kDont or kSb
  uint8_t option = 0;
  std::vector<uint8_t> payload;  // kSb only: what follows the option, 0xFF undoubled
  bool operator==(const Message&) const = default;
};

// Splits the received stream into data bytes and messages; a sequence cut
// between two calls is carried over. Other commands (NOP, GA, ...) are
// dropped, and so is a subnegotiation longer than kMaxPayload bytes.
class Decoder {
 public:
  static constexpr size_t kMaxPayload = 64;

  void Feed(std::span<const uint8_t> in, std::vector<uint8_t>* data,
            std::vector<Message>* messages);

 private:
  enum class State : uint8_t { kData, kCommand, kOption, kSubOption, kSubData, kSubIac };

  void Step(uint8_t byte, std::vector<uint8_t>* data, std::vector<Message>* messages);

  State state = State::kData;
  Message pending;
  bool overlong = false;
};

// Appends data to out with every 0xFF doubled.
void AppendEscaped(std::span<const uint8_t> data, std::vector<uint8_t>* out);

// Of AppendEscaped(data) the socket took the first `sent` bytes: how many
// bytes of data went out. A 0xFF whose first half went out counts as sent,
// and *halfSent says that its second half is still owed.
size_t DataBytesSent(std::span<const uint8_t> data, size_t sent, bool* halfSent);

// One com port request; the baud rate travels in four bytes, the rest in one.
struct Request {
  uint8_t command = 0;
  uint32_t value = 0;
  bool operator==(const Request&) const = default;
};

// The client's side of one connection: option negotiation (it offers com
// port control and binary transmission both ways, takes suppress-go-ahead
// and refuses every other option), and the requests still owed an answer.
// Used by one thread at a time, under its connection's lock.
class ComPortClient {
 public:
  enum class Option { kAsked, kAccepted, kRefused };

  // What to send first.
  void Start(std::vector<uint8_t>* out);
  // Takes bytes from the server: data goes to *data, answers to its
  // negotiations to *out; answers to requests are matched against them.
  void Receive(std::span<const uint8_t> in, std::vector<uint8_t>* data,
               std::vector<uint8_t>* out);
  // Appends the requests to *out; each is owed an answer from now on.
  // Requests of an earlier call still unanswered are forgotten.
  void Send(std::span<const Request> requests, std::vector<uint8_t>* out);
  // Appends a purge (kPurgeReceive or kPurgeBoth), owed an answer too.
  void Purge(uint8_t which, std::vector<uint8_t>* out);

  Option comPort() const { return comPortOption; }
  // Requests still owed an answer; whether an answer named another value
  // than was asked for; how many answers came so far.
  size_t owed() const { return owedRequests.size(); }
  bool refused() const { return answerRefused; }
  uint64_t answers() const { return answerCount; }
  // Option negotiations (WILL, WONT, DO, DONT) received so far. A server
  // settles its options in a handful; one that goes on without end is
  // broken or hostile.
  uint64_t negotiations() const { return negotiationCount; }
  // Purges not yet answered. Once one is, the data a Receive appended before
  // its answer came before the server purged: TakePurgeMark gives the size
  // *data had at that answer (once; nothing when no purge was answered).
  size_t purgesOwed() const { return purgesPending; }
  std::optional<size_t> TakePurgeMark();

 private:
  void Handle(const Message& message, size_t dataSize, std::vector<uint8_t>* out);
  void Negotiate(const Message& message, std::vector<uint8_t>* out);
  void Answered(uint8_t command, uint32_t value);

  Decoder decoder;
  std::vector<Message> messages;  // scratch for Receive
  // Per option: enabled, and asked for by us with no reply yet; "ours" is
  // what this side does (WILL/WONT), "theirs" what the server does (DO/DONT).
  std::bitset<256> oursOn, oursAsked, theirsOn, theirsAsked;
  Option comPortOption = Option::kAsked;
  std::vector<Request> owedRequests;
  bool answerRefused = false;
  uint64_t answerCount = 0;
  uint64_t negotiationCount = 0;
  size_t purgesPending = 0;
  std::optional<size_t> purgeMark;
};

}  // namespace ktcomm::net::telnet
