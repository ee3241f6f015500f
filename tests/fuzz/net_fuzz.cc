// Random bytes through the network decoders: the Telnet/RFC 2217 codec and
// the endpoint parser. Invariants: a received stream decodes the same
// whether it comes whole or cut anywhere; answers to negotiations never
// outgrow what was received; escaping round-trips, and the count of data
// bytes sent agrees with the escaping at every cut; no subnegotiation
// payload passes its cap; a parsed endpoint is well formed and parses again
// to itself once written out.
//
// Input: byte 0 holds the number of cuts (low nibble) and which requests the
// client has outstanding (bits 4 and 5); that many bytes follow, each a cut
// position as a fraction of the stream; the rest is the stream, also read as
// a device name.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/tcp_stream.h"
#include "net/telnet_codec.h"

namespace {

namespace telnet = ktcomm::net::telnet;
using Bytes = std::vector<uint8_t>;

void Check(bool condition) {
  if (!condition) std::abort();
}

// The stream cut into consecutive pieces; each cut is a fraction of its
// length, in 256ths.
std::vector<std::span<const uint8_t>> Pieces(std::span<const uint8_t> stream,
                                             std::span<const uint8_t> fractions) {
  std::vector<size_t> cuts;
  for (uint8_t fraction : fractions) cuts.push_back(fraction * stream.size() / 256);
  std::sort(cuts.begin(), cuts.end());
  std::vector<std::span<const uint8_t>> pieces;
  size_t from = 0;
  for (size_t cut : cuts) {
    pieces.push_back(stream.subspan(from, cut - from));
    from = cut;
  }
  pieces.push_back(stream.subspan(from));
  return pieces;
}

struct Decoded {
  Bytes data;
  std::vector<telnet::Message> messages;
};

void CheckDecoder(std::span<const std::span<const uint8_t>> pieces,
                  std::span<const uint8_t> stream) {
  Decoded whole;
  telnet::Decoder one;
  one.Feed(stream, &whole.data, &whole.messages);
  Decoded split;
  telnet::Decoder other;
  for (auto piece : pieces) other.Feed(piece, &split.data, &split.messages);
  Check(whole.data == split.data);
  Check(whole.messages == split.messages);
  Check(whole.data.size() <= stream.size());
  for (const telnet::Message& message : whole.messages) {
    Check(message.payload.size() <= telnet::Decoder::kMaxPayload);
    Check(message.verb == telnet::kSb || message.payload.empty());
  }
}

struct ClientRun {
  Bytes data;
  Bytes out;
  size_t owed = 0;
  bool refused = false;
  uint64_t answers = 0;
  uint64_t negotiations = 0;
  telnet::ComPortClient::Option comPort = telnet::ComPortClient::Option::kAsked;
  size_t purgesOwed = 0;
  std::optional<size_t> purgeMark;
  bool operator==(const ClientRun&) const = default;
};

// What an open asks of a server: the line, then a purge.
void Prepare(uint8_t flags, telnet::ComPortClient* client) {
  using namespace telnet;
  Bytes sent;
  client->Start(&sent);
  if (flags & 1) {
    const Request line[] = {{kSetBaudRate, 115200}, {kSetDataSize, 8},   {kSetParity, kParityNone},
                            {kSetStopSize, 1},      {kSetControl, kFlowNone},
                            {kSetControl, kDtrOn},  {kSetControl, kRtsOff}};
    client->Send(line, &sent);
  }
  if (flags & 2) {
    client->Purge(kPurgeBoth, &sent);
    client->Purge(kPurgeReceive, &sent);
  }
}

ClientRun RunClient(uint8_t flags, std::span<const std::span<const uint8_t>> pieces) {
  telnet::ComPortClient client;
  Prepare(flags, &client);
  ClientRun run;
  for (auto piece : pieces) {
    size_t before = run.out.size();
    client.Receive(piece, &run.data, &run.out);
    // A negotiation takes three bytes at least and is answered with three at
    // most; subnegotiations and data are never answered.
    Check(run.out.size() - before <= piece.size() + 2);
  }
  run.owed = client.owed();
  run.refused = client.refused();
  run.answers = client.answers();
  run.negotiations = client.negotiations();
  run.comPort = client.comPort();
  run.purgesOwed = client.purgesOwed();
  run.purgeMark = client.TakePurgeMark();
  return run;
}

void CheckClient(uint8_t flags, std::span<const std::span<const uint8_t>> pieces,
                 std::span<const uint8_t> stream) {
  const std::span<const uint8_t> whole[] = {stream};
  ClientRun one = RunClient(flags, whole);
  ClientRun other = RunClient(flags, pieces);
  Check(one == other);
  Check(one.out.size() <= stream.size());
  Check(one.negotiations <= stream.size() / 3);
  Check(one.data.size() <= stream.size());
  if (one.purgeMark) Check(*one.purgeMark <= one.data.size());
  Check(one.purgesOwed <= 2);
}

// How long AppendEscaped makes each prefix of data: sizes[i] for data[0, i).
std::vector<size_t> EscapedSizes(std::span<const uint8_t> data) {
  std::vector<size_t> sizes{0};
  for (uint8_t byte : data) sizes.push_back(sizes.back() + (byte == telnet::kIac ? 2 : 1));
  return sizes;
}

// The socket took `sent` bytes of the escaped data: what DataBytesSent says
// went out must be exactly the prefix whose escaping is that long, or one
// byte longer with the second half of its last 0xFF owed.
void CheckSent(std::span<const uint8_t> data, const std::vector<size_t>& sizes, size_t sent) {
  bool halfSent = true;
  size_t count = telnet::DataBytesSent(data, sent, &halfSent);
  Check(count <= data.size());
  if (sent >= sizes.back()) {
    Check(count == data.size() && !halfSent);
  } else if (halfSent) {
    Check(count >= 1 && data[count - 1] == telnet::kIac && sizes[count] == sent + 1);
  } else {
    Check(sizes[count] == sent);
  }
}

void CheckEscaping(std::span<const uint8_t> fractions, std::span<const uint8_t> data) {
  Bytes escaped;
  telnet::AppendEscaped(data, &escaped);
  std::vector<size_t> sizes = EscapedSizes(data);
  Check(escaped.size() == sizes.back());

  // Decoded in pieces of the escaped stream, it is the data again.
  Decoded back;
  telnet::Decoder decoder;
  for (auto piece : Pieces(escaped, fractions)) decoder.Feed(piece, &back.data, &back.messages);
  Check(back.data == Bytes(data.begin(), data.end()));
  Check(back.messages.empty());

  // Every cut of a short prefix; each fuzzer-chosen cut of the whole.
  constexpr size_t kEveryCut = 300;
  std::span<const uint8_t> head = data.first(std::min(data.size(), kEveryCut));
  std::vector<size_t> headSizes(sizes.begin(), sizes.begin() + head.size() + 1);
  for (size_t sent = 0; sent <= headSizes.back() + 1; ++sent) CheckSent(head, headSizes, sent);
  for (uint8_t fraction : fractions) {
    size_t sent = fraction * sizes.back() / 256;
    CheckSent(data, sizes, sent);
    CheckSent(data, sizes, sent + 1);
  }
}

void CheckEndpoint(std::string_view text) {
  using ktcomm::net::ParseEndpoint;
  auto endpoint = ParseEndpoint(text);
  if (!endpoint) return;
  Check(!endpoint->host.empty());
  for (char c : endpoint->host) {
    Check(c != '/' && !std::isspace(static_cast<unsigned char>(c)) && c != '\0');
  }
  Check(!endpoint->port.empty() && endpoint->port.size() <= 5);
  long port = 0;
  for (char c : endpoint->port) {
    Check(c >= '0' && c <= '9');
    port = port * 10 + (c - '0');
  }
  Check(port >= 1 && port <= 65535);

  bool v6 = endpoint->host.find(':') != std::string::npos;
  std::string again = std::string(endpoint->telnet ? "rfc2217://" : "tcp://") +
                      (v6 ? "[" + endpoint->host + "]" : endpoint->host) + ":" + endpoint->port;
  auto reparsed = ParseEndpoint(again);
  Check(reparsed.has_value());
  Check(reparsed->telnet == endpoint->telnet);
  Check(reparsed->host == endpoint->host);
  Check(reparsed->port == endpoint->port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < 1) return 0;
  const size_t cutCount = input[0] & 15;
  const uint8_t flags = static_cast<uint8_t>(input[0] >> 4 & 3);
  if (size < 1 + cutCount) return 0;
  std::span<const uint8_t> stream(input + 1 + cutCount, size - 1 - cutCount);
  std::span<const uint8_t> fractions(input + 1, cutCount);
  auto pieces = Pieces(stream, fractions);

  CheckDecoder(pieces, stream);
  CheckClient(flags, pieces, stream);
  CheckEscaping(fractions, stream);
  CheckEndpoint({reinterpret_cast<const char*>(stream.data()), stream.size()});
  return 0;
}
