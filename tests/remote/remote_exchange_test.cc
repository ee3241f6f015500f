// Exchanges with a device behind ser2net, raw and with RFC 2217: the same
// frames, waits and notifications as on a local device, and every byte
// value, 0xFF (the telnet escape) above all, intact both ways.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "tests/remote/remote_device.h"

namespace ktcomm::test {
namespace {

using ExchangeTest = RemoteTest;
INSTANTIATE_TEST_SUITE_P(Schemes, ExchangeTest, testing::Bool(), SchemeName);

// The device: reads a request of requestSize bytes, then answers.
std::jthread Answer(const PtyPair& pty, size_t requestSize, Bytes reply, Bytes* request) {
  return std::jthread([&pty, requestSize, reply = std::move(reply), request] {
    *request = pty.Read(requestSize);
    if (request->size() == requestSize) pty.Write(reply);
  });
}

struct Outputs {
  uint8_t command = 0xEE;
  uint8_t data[300];
  uint32_t length = sizeof data;
  Bytes Got() const { return Bytes(data, data + length); }
};

// Each waiting call gets its answer; a frame that follows is posted.
TEST_P(ExchangeTest, WaitingCallsOnBothProtocols) {
  struct Trip {
    const char* what;
    int protocol;
    bool command;  // KTSendCommandAndWait, else KTSendDataAndWait
    Bytes request;
    Bytes reply;
    uint8_t replyCommand;
    Bytes replyData;
    Bytes after;
  };
  const std::vector<Trip> trips = {
      {"command, answer with data", 1, true, {0x00, 0x80, 0x03, 0x10, 0xFF, 0x05},
       {0x00, 0x81, 0x04, 0x00, 0x1A, 0xFF, 0x0D, 0xFF}, 0x1A, {0xFF, 0x0D, 0xFF},
       {0x00, 0x80, 0x01, 0x05}},
      {"data, answer without data", 1, false, {0xAA, 0xFF, 0xFF}, {0x00, 0x80, 0x01, 0x24},
       0x24, {}, {0x00, 0x80, 0x01, 0x05}},
      {"protocol 2", 2, false, {0x01}, {0x1B, 0xF3, 0x03, 0x00, 0x42, 0xFF, 0x02}, 0x42,
       {0xFF, 0x02}, {0x1B, 0xF3, 0x01, 0x00, 0x05}},
  };
  for (const Trip& t : trips) {
    SCOPED_TRACE(t.what);
    ASSERT_EQ(Open(1, 64, 64, t.protocol), 0);
    Bytes request;
    auto device = Answer(pty, t.request.size(), t.reply, &request);
    Outputs out;
    int result = t.command ? KTSendCommandAndWait(1, 0x10, &t.request[4], 2, 5000, &out.command,
                                                  out.data, &out.length)
                           : KTSendDataAndWait(1, t.request.data(), t.request.size(), 5000,
                                               &out.command, out.data, &out.length);
    device.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(request, t.request);
    EXPECT_EQ(out.command, t.replyCommand);
    EXPECT_EQ(out.Got(), t.replyData);

    ASSERT_TRUE(pty.Write(t.after));
    ASSERT_TRUE(window.WaitPosts(1));
    EXPECT_EQ(window.posts()[0].command(), 0x05);
    EXPECT_EQ(KTClosePort(1), 1);
    window.Clear();
  }
  EXPECT_TRUE(window.alerts().empty());
}

TEST_P(ExchangeTest, EveryByteValueBothWays) {
  ASSERT_EQ(Open(2, 600, 600, 1), 0);
  Bytes all;
  for (int round = 0; round < 2; ++round) {
    for (int value = 0; value < 256; ++value) all.push_back(static_cast<uint8_t>(value));
  }
  all.insert(all.end(), {0xFF, 0xFF, 0xFF});  // a run of escapes at the end
  ASSERT_EQ(KTSendData(2, all.data(), all.size()), 0);
  EXPECT_EQ(pty.Read(all.size()), all);

  // Back as the data of one frame; the length field (516) holds no 0xFF.
  Bytes frame = {0x00, 0x81, static_cast<uint8_t>((all.size() + 1) & 0xFF),
                 static_cast<uint8_t>((all.size() + 1) >> 8), 0x1A};
  frame.insert(frame.end(), all.begin(), all.end());
  ASSERT_TRUE(pty.Write(frame));
  ASSERT_TRUE(window.WaitPosts(1));
  EXPECT_EQ(window.posts()[0].data, all);
  EXPECT_TRUE(window.alerts().empty());
}

// Frames far faster than they are handled, with escapes cut across reads:
// all posted, in order.
TEST_P(ExchangeTest, BurstOfFramesAllPostedInOrder) {
  ASSERT_EQ(Open(3, 16, 64, 1), 0);
  Connected(3);
  constexpr int kFrames = 1000;
  Bytes line;
  for (int i = 0; i < kFrames; ++i) {
    line.insert(line.end(), {0x00, 0x80, 0x03, 0x1A, 0xFF, static_cast<uint8_t>(i)});
  }
  ASSERT_TRUE(pty.Write(line));
  ASSERT_TRUE(window.WaitPosts(kFrames, 30000));
  auto posts = window.posts();
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(posts[i].data, (Bytes{0xFF, static_cast<uint8_t>(i)})) << i;
  }
  EXPECT_TRUE(window.alerts().empty());
}

// The purges of an open are done once it returns, as a local tcflush is:
// a device that speaks at once is heard. (A raw server opens the device only
// when it takes the connection.)
TEST_P(ExchangeTest, DeviceSpeakingRightAfterTheOpenIsHeard) {
  if (!GetParam()) GTEST_SKIP() << "raw TCP has no purge to wait for";
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    window.Clear();
    ASSERT_EQ(Open(4, 16, 64, 1), 0);
    ASSERT_TRUE(pty.Write({0x00, 0x80, 0x02, 0x10, static_cast<uint8_t>(round)}));
    ASSERT_TRUE(window.WaitPosts(1));
    EXPECT_EQ(KTClosePort(4), 1);
  }
}

}  // namespace
}  // namespace ktcomm::test
