// The telnet codec and the RFC 2217 client on byte vectors, with the bytes
// a ser2net sends where it matters; the requests built from a line; the
// network device names.
#include "net/telnet_codec.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/platform.h"
#include "net/rfc2217_stream.h"
#include "net/tcp_stream.h"

namespace ktcomm::net::telnet {
namespace {

using Bytes = std::vector<uint8_t>;

struct Decoded {
  Bytes data;
  std::vector<Message> messages;
};

Decoded Decode(const Bytes& in, size_t cut = 0) {
  Decoder decoder;
  Decoded out;
  decoder.Feed(std::span(in).first(cut), &out.data, &out.messages);
  decoder.Feed(std::span(in).subspan(cut), &out.data, &out.messages);
  return out;
}

TEST(TelnetDecoderTest, SeparatesDataFromCommandsWhereverTheStreamIsCut) {
  const Bytes stream = {
      'a',  kIac, kIac, 'b',                                    // an escaped 0xFF
      kIac, kWill, kComPort,                                     // a negotiation
      kIac, 241,  kIac, 249,                                     // NOP and GA: dropped
      'c',  kIac, kSb,  kComPort, 101, 0, kIac, kIac, 0, 1, kIac, kSe,  // 0xFF in a payload
      kIac, kSb,  kComPort, 107, 0x30, kIac, kSe,                // a notification
      'd',  kIac, kDont, kBinary, kIac, kIac};
  const Bytes data = {'a', 0xFF, 'b', 'c', 'd', 0xFF};
  const std::vector<Message> messages = {{kWill, kComPort, {}},
                                         {kSb, kComPort, {101, 0, 0xFF, 0, 1}},
                                         {kSb, kComPort, {107, 0x30}},
                                         {kDont, kBinary, {}}};
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    Decoded out = Decode(stream, cut);
    EXPECT_EQ(out.data, data);
    EXPECT_EQ(out.messages, messages);
  }
}

TEST(TelnetDecoderTest, MalformedAndOverlongSubnegotiationsAreDropped) {
  Bytes overlong = {kIac, kSb, kComPort};
  overlong.insert(overlong.end(), Decoder::kMaxPayload + 1, 'x');
  overlong.insert(overlong.end(), {kIac, kSe, 'a'});
  Decoded out = Decode(overlong);
  EXPECT_EQ(out.data, Bytes{'a'});
  EXPECT_TRUE(out.messages.empty());

  // IAC and a command inside a subnegotiation ends it; the command counts.
  out = Decode({kIac, kSb, kComPort, 1, 2, kIac, kDo, kBinary, 'b'});
  EXPECT_EQ(out.data, Bytes{'b'});
  EXPECT_EQ(out.messages, (std::vector<Message>{{kDo, kBinary, {}}}));
}

TEST(TelnetEscapeTest, DoublesEveryIacAndCountsWhatASendTook) {
  const Bytes data = {1, 0xFF, 2, 0xFF};
  Bytes escaped;
  AppendEscaped(data, &escaped);
  EXPECT_EQ(escaped, (Bytes{1, 0xFF, 0xFF, 2, 0xFF, 0xFF}));

  struct Case {
    size_t sent;
    size_t dataSent;
    bool halfSent;
  };
  for (Case c : {Case{0, 0, false}, Case{1, 1, false}, Case{2, 2, true}, Case{3, 2, false},
                 Case{4, 3, false}, Case{5, 4, true}, Case{6, 4, false}}) {
    bool half = !c.halfSent;
    EXPECT_EQ(DataBytesSent(data, c.sent, &half), c.dataSent) << c.sent;
    EXPECT_EQ(half, c.halfSent) << c.sent;
  }
}

// What ser2net 4 sends on a new connection, to a client that has offered
// com port control and binary transmission.
const Bytes kSer2netGreeting = {kIac, kWill, kSuppressGoAhead, kIac, kDo,   kSuppressGoAhead,
                                kIac, kWill, 1,                kIac, kDont, 1,
                                kIac, kDo,   kBinary,          kIac, kWill, kBinary,
                                kIac, kDo,   kComPort};

TEST(ComPortClientTest, NegotiatesWithSer2netWithoutLooping) {
  ComPortClient client;
  Bytes out;
  client.Start(&out);
  EXPECT_EQ(out, (Bytes{kIac, kWill, kComPort, kIac, kWill, kBinary, kIac, kDo, kBinary, kIac,
                        kDo, kSuppressGoAhead}));
  EXPECT_EQ(client.comPort(), ComPortClient::Option::kAsked);

  out.clear();
  Bytes data;
  client.Receive(kSer2netGreeting, &data, &out);
  // Only what was not asked for is answered: we do suppress go-ahead, and
  // the server shall not echo.
  EXPECT_EQ(out, (Bytes{kIac, kWill, kSuppressGoAhead, kIac, kDont, 1}));
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(client.comPort(), ComPortClient::Option::kAccepted);

  // The same again changes nothing; only the refusal is repeated.
  out.clear();
  client.Receive(kSer2netGreeting, &data, &out);
  EXPECT_EQ(out, (Bytes{kIac, kDont, 1}));

  client.Receive(Bytes{kIac, kDont, kComPort}, &data, &out);
  EXPECT_EQ(client.comPort(), ComPortClient::Option::kRefused);
}

TEST(ComPortClientTest, RequestsOnTheWire) {
  ComPortClient client;
  Bytes out;
  const Request requests[] = {{kSetBaudRate, 0x0001FFFF}, {kSetDataSize, 7}, {kSetControl, 3}};
  client.Send(requests, &out);
  EXPECT_EQ(out, (Bytes{kIac, kSb, kComPort, 1, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, kIac, kSe,  //
                        kIac, kSb, kComPort, 2, 7, kIac, kSe,                            //
                        kIac, kSb, kComPort, 5, 3, kIac, kSe}));
  out.clear();
  client.Purge(kPurgeBoth, &out);
  EXPECT_EQ(out, (Bytes{kIac, kSb, kComPort, 12, 3, kIac, kSe}));
}

// The data before a purge's answer was sent before the server purged; the
// mark says where it ends, wherever the stream is cut.
TEST(ComPortClientTest, APurgesAnswerMarksTheDataBeforeIt) {
  const Bytes stream = {'a', kIac, kIac, kIac, kSb, kComPort, 112, 3, kIac, kSe, 'b', kIac,
                        kSb, kComPort, 112, 3, kIac, kSe};
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    ComPortClient client;
    Bytes out, data = {'x'};
    client.Purge(kPurgeBoth, &out);
    EXPECT_EQ(client.purgesOwed(), 1u);
    client.Receive(std::span(stream).first(cut), &data, &out);
    std::optional<size_t> mark = client.TakePurgeMark();
    client.Receive(std::span(stream).subspan(cut), &data, &out);
    if (!mark) mark = client.TakePurgeMark();
    EXPECT_EQ(mark, std::optional<size_t>(3));  // 'x', 'a', 0xFF
    EXPECT_EQ(data, (Bytes{'x', 'a', 0xFF, 'b'}));
    EXPECT_EQ(client.purgesOwed(), 0u);
    EXPECT_FALSE(client.TakePurgeMark());  // the second answer was owed nothing
  }
}

// Answers as ser2net gives them: the purge's first, notifications between,
// control answers for each request; a reply may be cut anywhere.
TEST(ComPortClientTest, AnswersMatchTheirRequests) {
  const Request requests[] = {{kSetBaudRate, 9600}, {kSetParity, kParityEven},
                              {kSetControl, kFlowNone}, {kSetControl, kDtrOn}};
  const Bytes answers = {kIac, kSb, kComPort, 112, 3,    kIac, kSe,     // purge
                         kIac, kSb, kComPort, 107, 0x30, kIac, kSe,     // modem state
                         kIac, kSb, kComPort, 105, 8,    kIac, kSe,     // DTR on
                         kIac, kSb, kComPort, 101, 0, 0, 0x25, 0x80, kIac, kSe,
                         kIac, kSb, kComPort, 103, 3,    kIac, kSe,
                         kIac, kSb, kComPort, 105, 1,    kIac, kSe};
  for (size_t cut = 0; cut <= answers.size(); cut += 3) {
    SCOPED_TRACE(cut);
    ComPortClient client;
    Bytes out, data;
    client.Send(requests, &out);
    EXPECT_EQ(client.owed(), 4u);
    client.Receive(std::span(answers).first(cut), &data, &out);
    client.Receive(std::span(answers).subspan(cut), &data, &out);
    EXPECT_EQ(client.owed(), 0u);
    EXPECT_FALSE(client.refused());
    EXPECT_EQ(client.answers(), 4u);
    EXPECT_TRUE(data.empty());
  }
}

TEST(ComPortClientTest, AnAnswerWithAnotherValueIsARefusal) {
  ComPortClient client;
  Bytes out, data;
  const Request requests[] = {{kSetBaudRate, 12345}, {kSetStopSize, 2}};
  client.Send(requests, &out);
  client.Receive(Bytes{kIac, kSb, kComPort, 101, 0, 0, 0x25, 0x80, kIac, kSe}, &data, &out);
  EXPECT_TRUE(client.refused());
  EXPECT_EQ(client.owed(), 1u);

  // A new exchange forgets the old one.
  const Request again[] = {{kSetStopSize, 1}};
  client.Send(again, &out);
  client.Receive(Bytes{kIac, kSb, kComPort, 104, 1, kIac, kSe}, &data, &out);
  EXPECT_FALSE(client.refused());
  EXPECT_EQ(client.owed(), 0u);
}

}  // namespace
}  // namespace ktcomm::net::telnet

namespace ktcomm::net {
namespace {

using telnet::Request;

std::vector<Request> RequestsFor(const char* definition, uint32_t dtr = platform::kKeepControl,
                                 uint32_t rts = platform::kKeepControl, int* err = nullptr) {
  LineState line;
  line.dtrControl = dtr;
  line.rtsControl = rts;
  EXPECT_EQ(Platform::Default().BuildLine(definition, &line), 0);
  std::vector<Request> requests;
  int result = ComPortRequests(line, &requests);
  if (err != nullptr) *err = result;
  return requests;
}

TEST(ComPortRequestsTest, TheLineAsRequests) {
  using namespace telnet;
  EXPECT_EQ(RequestsFor("baud=9600 parity=N data=8 stop=1"),
            (std::vector<Request>{{kSetBaudRate, 9600}, {kSetDataSize, 8},
                                  {kSetParity, kParityNone}, {kSetStopSize, 1},
                                  {kSetControl, kFlowNone}}));
  EXPECT_EQ(RequestsFor("baud=12345 parity=O data=5 stop=2", 1, 0),
            (std::vector<Request>{{kSetBaudRate, 12345}, {kSetDataSize, 5},
                                  {kSetParity, kParityOdd}, {kSetStopSize, 2},
                                  {kSetControl, kFlowNone}, {kSetControl, kDtrOn},
                                  {kSetControl, kRtsOff}}));
  EXPECT_EQ(RequestsFor("baud=300 parity=E data=7 stop=1", 0, 2),
            (std::vector<Request>{{kSetBaudRate, 300}, {kSetDataSize, 7},
                                  {kSetParity, kParityEven}, {kSetStopSize, 1},
                                  {kSetControl, kFlowHardware}, {kSetControl, kDtrOff}}));
  for (auto [parity, value] : {std::pair{'M', kParityMark}, std::pair{'S', kParitySpace}}) {
    std::string definition = std::string("baud=4000000 parity=") + parity + " data=6 stop=1";
    EXPECT_EQ(RequestsFor(definition.c_str())[2], (Request{kSetParity, value})) << parity;
  }

  int err = 0;
  RequestsFor("baud=9600 parity=N data=8 stop=1", platform::kKeepControl, 3, &err);
  EXPECT_EQ(err, EOPNOTSUPP);
  RequestsFor("baud=9600 parity=N data=8 stop=1", 2, platform::kKeepControl, &err);
  EXPECT_EQ(err, EINVAL);
}

TEST(EndpointTest, NetworkDeviceNames) {
  struct Case {
    const char* path;
    bool telnet;
    const char* host;
    const char* port;
  };
  for (Case c : {Case{"tcp://127.0.0.1:2000", false, "127.0.0.1", "2000"},
                 Case{"RFC2217://serial-server.example:65535", true, "serial-server.example",
                      "65535"},
                 Case{"rfc2217://[::1]:1", true, "::1", "1"},
                 Case{"tcp://[fe80::1%eth0]:7000", false, "fe80::1%eth0", "7000"}}) {
    auto endpoint = ParseEndpoint(c.path);
    ASSERT_TRUE(endpoint.has_value()) << c.path;
    EXPECT_EQ(endpoint->telnet, c.telnet) << c.path;
    EXPECT_EQ(endpoint->host, c.host) << c.path;
    EXPECT_EQ(endpoint->port, c.port) << c.path;
  }
  for (const char* path : {"tcp://127.0.0.1", "tcp://:2000", "tcp://127.0.0.1:0",
                           "tcp://127.0.0.1:65536", "tcp://::1:2000", "tcp://[::1]2000",
                           "tcp://a host:2000", "tcp://host:2000/"}) {
    EXPECT_TRUE(IsNetworkPath(path)) << path;
    EXPECT_FALSE(ParseEndpoint(path).has_value()) << path;
  }
  for (const char* path : {"/dev/ttyS0", "udp://127.0.0.1:2000", "tcp:/127.0.0.1:2000", ""}) {
    EXPECT_FALSE(IsNetworkPath(path)) << path;
  }
}

}  // namespace
}  // namespace ktcomm::net
