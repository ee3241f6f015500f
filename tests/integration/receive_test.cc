// Frames arriving from the device: decoding across reads, notification
// parameters, overflow, and a close made from inside the notification.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "api/ktcomm.h"
#include "tests/support/pty_pair.h"
#include "tests/support/pty_test.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr char kOverflowText[] = "KTcomm: Incoming buffer overflow !!!";

bool AlertsMention(RecordingWindow& window, const std::string& text) {
  for (const std::string& alert : window.alerts()) {
    if (alert.find(text) == std::string::npos) return false;
  }
  return !window.alerts().empty();
}

class ReceiveTest : public PtyTest {
 protected:
  // Opens port kPort on the pty.
  void Open(int rxSize, int protocol) {
    ASSERT_EQ(OpenOnPty(pty, &window, kPort, 64, rxSize, protocol), 0);
  }
  // Sends a frame that is sure to be posted and waits for its post: what the
  // device sent before it has been read and decoded by then.
  void Settle(size_t postsBefore) {
    ASSERT_TRUE(pty.Write({0x00, 0x80, 0x01, 0x3C, 0x1B, 0xF3, 0x01, 0x00, 0x3C}));
    ASSERT_TRUE(window.WaitPosts(postsBefore + 1));
  }

  static constexpr int kPort = 2;
  PortCloser closer{kPort};
};

// Each write carries the rest of one frame and the start of the next, the
// next write waiting for the post: the frame is cut at every position.
TEST_F(ReceiveTest, FramesSplitAcrossReads) {
  struct Split {
    int protocol;
    Bytes frame;
    Bytes data;
    uint8_t command;
  };
  const Bytes data = {0x11, 0x0D, 0x13};  // CR, XON and XOFF pass untouched
  for (const Split& s :
       {Split{1, {0x00, 0x00, 0x81, 0x04, 0x00, 0x1A, 0x11, 0x0D, 0x13}, data, 0x1A},
        Split{2, {0x1B, 0x1B, 0xF3, 0x04, 0x00, 0x42, 0x11, 0x0D, 0x13, 0x00}, data, 0x42}}) {
    SCOPED_TRACE(s.protocol);
    Open(64, s.protocol);
    window.Clear();
    Bytes rest;
    for (size_t cut = 1; cut <= s.frame.size(); ++cut) {
      Bytes chunk = rest;
      chunk.insert(chunk.end(), s.frame.begin(), s.frame.begin() + cut);
      ASSERT_TRUE(pty.Write(chunk));
      ASSERT_TRUE(window.WaitPosts(cut - 1));
      rest.assign(s.frame.begin() + cut, s.frame.end());
    }
    ASSERT_TRUE(pty.Write(rest));
    ASSERT_TRUE(window.WaitPosts(s.frame.size()));
    for (const Posted& post : window.posts()) {
      EXPECT_EQ(post.command(), s.command);
      EXPECT_EQ(post.data, s.data);
    }
    KTClosePort(kPort);
  }
}

// 2,000 frames in one burst, far faster than they are handled: all posted in
// order, with the parameters packed and each frame's own data behind lParam.
TEST_F(ReceiveTest, BurstOfFramesAllPostedInOrder) {
  Open(400, 1);
  constexpr int kFrames = 2000;
  Bytes line;
  std::vector<Bytes> sent(kFrames);
  for (int i = 0; i < kFrames; ++i) {
    if (i % 5 == 0) {
      line.insert(line.end(), {0x00, 0x80, 0x01, 0x10});  // no data
      continue;
    }
    size_t length = i == 7 ? 300 : 1 + i % 9;  // one frame longer than 255
    for (size_t k = 0; k < length; ++k) sent[i].push_back(static_cast<uint8_t>(i * 31 + k));
    line.insert(line.end(), {0x00, 0x81, static_cast<uint8_t>((length + 1) & 0xFF),
                             static_cast<uint8_t>((length + 1) >> 8), 0x1A});
    line.insert(line.end(), sent[i].begin(), sent[i].end());
  }
  ASSERT_TRUE(pty.Write(line));
  ASSERT_TRUE(window.WaitPosts(kFrames, 30000));

  auto posts = window.posts();
  ASSERT_EQ(posts.size(), size_t{kFrames});
  for (int i = 0; i < kFrames; ++i) {
    SCOPED_TRACE(i);
    const Posted& post = posts[i];
    EXPECT_EQ(post.message, uint32_t{WM_PORT_MESSAGE});
    EXPECT_EQ(post.port(), kPort);
    EXPECT_EQ(post.command(), i % 5 == 0 ? 0x10 : 0x1A);
    EXPECT_EQ(post.length(), sent[i].size());
    EXPECT_EQ(post.second == 0, sent[i].empty());
    EXPECT_EQ(post.data, sent[i]);
  }
  EXPECT_TRUE(window.alerts().empty());
}

// With no decoder every byte is still read; a receive buffer of 0 bytes
// reports each one as an overflow, and nothing is ever posted.
TEST_F(ReceiveTest, NoProtocolPostsNothing) {
  for (int protocol : {0, 3}) {
    SCOPED_TRACE(protocol);
    window.Clear();
    Open(0, protocol);
    const Bytes line = {0x00, 0x80, 0x01, 0x10, 0x1B, 0xF3, 0x01, 0x00, 0x42};
    ASSERT_TRUE(pty.Write(line));
    ASSERT_TRUE(window.WaitAlerts(line.size()));
    EXPECT_TRUE(AlertsMention(window, kOverflowText));
    EXPECT_TRUE(window.posts().empty());
    KTClosePort(kPort);
  }
}

// A frame whose data outgrows the receive buffer is dropped with an alert;
// the next frame is received normally. A frame that fills the buffer exactly
// is posted under protocol 1; under protocol 2 the byte that would post it
// finds the buffer full.
TEST_F(ReceiveTest, OverflowThenRecovery) {
  struct Over {
    int protocol;
    Bytes line;
    bool overflows;
  };
  for (const Over& o : {Over{1, {0x00, 0x81, 0x05, 0x00, 0x1A, 1, 2, 3, 4}, true},
                        Over{1, {0x00, 0x80, 0x04, 0x1A, 1, 2, 3}, false},
                        Over{2, {0x1B, 0xF3, 0x04, 0x00, 0x42, 1, 2, 3, 0xFF}, true}}) {
    SCOPED_TRACE(testing::Message() << "protocol " << o.protocol << " length " << o.line.size());
    window.Clear();
    Open(3, o.protocol);
    ASSERT_TRUE(pty.Write(o.line));
    if (o.overflows) {
      ASSERT_TRUE(window.WaitAlerts(1));
      EXPECT_TRUE(AlertsMention(window, kOverflowText));
    }
    Settle(o.overflows ? 0 : 1);
    auto posts = window.posts();
    ASSERT_EQ(posts.size(), o.overflows ? 1u : 2u);
    if (!o.overflows) {
      EXPECT_EQ(posts[0].data, (Bytes{1, 2, 3}));
    }
    EXPECT_EQ(posts.back().command(), 0x3C);
    EXPECT_EQ(window.alerts().size(), o.overflows ? 1u : 0u);
    KTClosePort(kPort);
  }
}

// Bytes that came in but were not yet decoded when a write starts are thrown
// away with the frame they began.
TEST_F(ReceiveTest, WriteDiscardsUnreadInput) {
  Open(64, 1);
  ASSERT_TRUE(pty.Write({0x00, 0x80, 0x02}));
  const uint8_t request[] = {0x55, 0x66};
  ASSERT_EQ(KTSendData(kPort, request, sizeof request), 0);
  ASSERT_EQ(pty.Read(2), Bytes(request, request + 2));
  ASSERT_TRUE(pty.Write({0x10, 0x05}));
  Settle(0);
  ASSERT_EQ(window.posts().size(), 1u);
  EXPECT_EQ(window.posts()[0].command(), 0x3C);
}

// A close from inside the notification neither deadlocks nor lets another
// frame through; the port is closed, and opens again on the same device.
TEST_F(ReceiveTest, CloseFromInsideThePost) {
  std::mutex mutex;
  std::condition_variable changed;
  int closeResult = -1;
  window.onPost = [&](const Posted&) {
    int result = KTClosePort(kPort);
    std::lock_guard<std::mutex> hold(mutex);
    closeResult = result;
    changed.notify_all();
  };
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    closeResult = -1;
    window.Clear();
    Open(64, 1);
    ASSERT_TRUE(pty.Write({0x00, 0x80, 0x01, 0x10, 0x00, 0x80, 0x01, 0x24}));
    {
      std::unique_lock<std::mutex> hold(mutex);
      ASSERT_TRUE(
          changed.wait_for(hold, std::chrono::seconds(5), [&] { return closeResult != -1; }));
    }
    EXPECT_EQ(closeResult, 1);
    const uint8_t byte = 0;
    EXPECT_EQ(KTSendData(kPort, &byte, 1), 5);
    EXPECT_EQ(KTClosePort(kPort), 1);  // joins the worker
    EXPECT_EQ(window.posts().size(), 1u);
  }
  window.onPost = nullptr;  // no worker runs
  Open(64, 1);
  window.Clear();
  Settle(0);
  EXPECT_TRUE(window.alerts().empty());
}

}  // namespace
}  // namespace ktcomm::test
