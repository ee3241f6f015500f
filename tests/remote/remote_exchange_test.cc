// Exchanges with a device behind ser2net, raw and with RFC 2217: the same
// frames, waits and notifications as on a local device, and every byte
// value, 0xFF (the telnet escape) above all, intact both ways.
#include <gtest/gtest.h>

#include "tests/remote/remote_device.h"
#include "tests/support/round_trip.h"

namespace ktcomm::test {
namespace {

using ExchangeTest = RemoteTest;
INSTANTIATE_TEST_SUITE_P(Schemes, ExchangeTest, testing::Bool(), SchemeName);

// Each waiting call gets its answer; a frame that follows is posted.
TEST_P(ExchangeTest, WaitingCallsOnBothProtocols) {
  for (const Trip& t : RoundTrips()) {
    SCOPED_TRACE(t.what);
    ASSERT_EQ(Open(1, 64, 64, t.protocol), 0);
    ExpectRoundTrip(1, pty, window, t);
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
