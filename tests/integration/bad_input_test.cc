// Bad input at the exports: port numbers far outside the table, sizes at
// and just past their limits, lengths of 0xFFFFFFFF, missing receivers and
// time-outs at the ends of their range. Each is refused or survived, and
// the port goes on working.
#include <gtest/gtest.h>

#include <climits>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "api/ktcomm.h"
#include "tests/support/pty_port.h"
#include "tests/support/recording_window.h"
#include "tests/support/round_trip.h"

namespace ktcomm::test {
namespace {

constexpr uint32_t kForever = 0xFFFFFFFF;

// Every export refuses these before it looks at anything else; the waiting
// calls return at once even when told to wait for ever.
TEST(BadInputTest, PortNumbersOutsideTheTable) {
  RecordingWindow window;
  const uint8_t data[4] = {1, 2, 3, 4};
  for (int port : {INT_MIN, -1, 0, 11, INT_MAX}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(KTOpenPort(&window, port, 4, 0, 9600, 'N', 8, 1, 1), 7);
    EXPECT_EQ(KTClosePort(port), 0);
    EXPECT_EQ(KTSetFlowControl(port, kForever, kForever), 0);
    EXPECT_EQ(KTSendData(port, data, sizeof data), 7);
    EXPECT_EQ(KTSendData(port, nullptr, kForever), 7);
    EXPECT_EQ(KTSendCommand(port, 0x10, kForever, nullptr), 7);
    Outputs out;
    EXPECT_EQ(
        KTSendCommandAndWait(port, 0x10, data, 1, kForever, &out.command, out.data, &out.length),
        7);
    EXPECT_EQ(KTSendDataAndWait(port, data, 1, kForever, &out.command, out.data, &out.length), 7);
    EXPECT_EQ(KTWaitForMessage(port, kForever, &out.command, out.data, &out.length), 7);
    EXPECT_EQ(KTWaitForMessage(port, kForever, nullptr, nullptr, nullptr), 7);
    EXPECT_EQ(out.length, sizeof out.data);
  }
  // A port that is not open comes next, before the outputs are looked at.
  PortCloser closer(10);
  Outputs out;
  EXPECT_EQ(KTSendCommandAndWait(10, 0x10, data, 1, kForever, &out.command, out.data, &out.length),
            5);
  EXPECT_EQ(KTSendDataAndWait(10, nullptr, kForever, kForever, nullptr, nullptr, nullptr), 5);
  EXPECT_EQ(KTWaitForMessage(10, kForever, nullptr, nullptr, nullptr), 5);
  EXPECT_TRUE(window.alerts().empty());
}

// The smallest transmit buffer holds a command frame without data and
// nothing more; lengths of 0xFFFFFFFF are refused without reading the data.
TEST(BadInputTest, TransmitSizesAtTheLimit) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  PortCloser closer(10);
  ASSERT_EQ(OpenOnPty(pty, &window, 10, 4, 64, 1), 0);
  const uint8_t data[4] = {0x0A, 0x0B, 0x0C, 0x0D};
  Outputs out;

  EXPECT_EQ(KTSendCommand(10, 0x24, 0, nullptr), 0);
  EXPECT_EQ(pty.Read(4), (Bytes{0x00, 0x80, 0x01, 0x24}));
  EXPECT_EQ(KTSendCommand(10, 0x24, 1, data), 6);
  EXPECT_EQ(KTSendCommandAndWait(10, 0x24, data, 1, 20, &out.command, out.data, &out.length), 6);
  EXPECT_EQ(KTSendData(10, data, 4), 0);
  EXPECT_EQ(pty.Read(4), Bytes(data, data + 4));

  EXPECT_EQ(KTSendData(10, nullptr, kForever), 6);
  EXPECT_EQ(KTSendCommand(10, 0x1A, kForever, nullptr), 6);
  EXPECT_EQ(KTSendCommand(10, 0x1A, kForever, data), 6);
  EXPECT_EQ(
      KTSendCommandAndWait(10, 0x1A, nullptr, kForever, 20, &out.command, out.data, &out.length),
      6);
  EXPECT_EQ(KTSendCommandAndWait(10, 0x1A, data, kForever, 20, &out.command, out.data, &out.length),
            6);
  EXPECT_EQ(KTSendDataAndWait(10, nullptr, kForever, 20, &out.command, out.data, &out.length), 6);
  EXPECT_TRUE(window.alerts().empty());
  // Too long for the buffer: reported, not sent, and the call still waits.
  EXPECT_EQ(KTSendData(10, data, kForever), 0);
  EXPECT_EQ(KTSendDataAndWait(10, data, kForever, 20, &out.command, out.data, &out.length), -1);
  EXPECT_EQ(out.length, 0u);
  ASSERT_EQ(window.alerts().size(), 2u);
  for (const std::string& alert : window.alerts()) {
    EXPECT_NE(alert.find("KTcomm: write buffer overflow 2 !!!"), std::string::npos) << alert;
  }
  EXPECT_TRUE(pty.Drain(50).empty());
  EXPECT_EQ(KTSendCommand(10, 0x24, 0, nullptr), 0);  // still working
  EXPECT_EQ(pty.Read(4), (Bytes{0x00, 0x80, 0x01, 0x24}));
}

// A receive buffer of 0 bytes finds itself full at every byte; one of 1 byte
// takes a frame with one data byte but not two.
TEST(BadInputTest, ReceiveSizesAtTheLimit) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  PortCloser closer(10);
  const Bytes line = {0x00, 0x80, 0x01, 0x10,                    // no data
                      0x00, 0x80, 0x02, 0x10, 0x07,              // one data byte
                      0x00, 0x81, 0x03, 0x00, 0x1A, 0x01, 0x02,  // two
                      0x00, 0x80, 0x01, 0x3C};

  EXPECT_EQ(OpenOnPty(pty, &window, 10, 64, -1, 1), 6);
  ASSERT_EQ(OpenOnPty(pty, &window, 10, 64, 0, 1), 0);
  ASSERT_TRUE(pty.Write(line));
  ASSERT_TRUE(window.WaitAlerts(line.size()));
  EXPECT_TRUE(window.posts().empty());

  window.Clear();
  ASSERT_EQ(OpenOnPty(pty, &window, 10, 64, 1, 1), 0);
  ASSERT_TRUE(pty.Write(line));
  ASSERT_TRUE(window.WaitPosts(3));
  auto posts = window.posts();
  ASSERT_EQ(posts.size(), 3u);
  EXPECT_EQ(posts[0].command(), 0x10);
  EXPECT_TRUE(posts[0].data.empty());
  EXPECT_EQ(posts[1].data, Bytes{0x07});
  EXPECT_EQ(posts[2].command(), 0x3C);
  ASSERT_EQ(window.alerts().size(), 1u);
  EXPECT_NE(window.alerts()[0].find("KTcomm: Incoming buffer overflow !!!"), std::string::npos);
}

// Without a window, or with one whose callbacks are null, frames are dropped
// and error texts go to standard error; waiting calls work as ever.
TEST(BadInputTest, NoReceiver) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  PortCloser closer(9);
  KTWindow bare{nullptr, nullptr};
  for (KTWindow* window : {static_cast<KTWindow*>(nullptr), &bare}) {
    SCOPED_TRACE(window == nullptr ? "no window" : "null callbacks");
    ASSERT_EQ(OpenOnPty(pty, window, 9, 8, 64, 1), 0);
    ASSERT_TRUE(pty.Write({0x00, 0x80, 0x02, 0x10, 0x01}));
    // Dropped for want of a receiver, or taken by this wait if it comes first.
    Outputs first;
    int result = KTWaitForMessage(9, 100, &first.command, first.data, &first.length);
    EXPECT_TRUE(result == -1 || (result == 0 && first.Got() == Bytes{0x01})) << result;

    const uint8_t tooLong[9] = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(KTSendData(9, tooLong, sizeof tooLong), 0);
    std::string text = testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find("KTcomm: write buffer overflow 2 !!!"), std::string::npos) << text;
    EXPECT_NE(text.find("Port: 9"), std::string::npos) << text;

    auto device = Answer(pty, 1, {0x00, 0x80, 0x02, 0x10, 0x42});
    const uint8_t request = 0x33;
    Outputs out;
    EXPECT_EQ(KTSendDataAndWait(9, &request, 1, 5000, &out.command, out.data, &out.length), 0);
    EXPECT_EQ(out.Got(), Bytes{0x42});
  }
}

// Time-outs of 0 and 1 ms give up before the answer comes, or take it; an
// answer that comes too late is posted. 0xFFFFFFFE is a long wait that the
// answer ends.
TEST(BadInputTest, TimeoutsAtTheEnds) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  PortCloser closer(9);
  ASSERT_EQ(OpenOnPty(pty, &window, 9, 64, 64, 1), 0);
  Outputs silent;
  EXPECT_EQ(KTWaitForMessage(9, 0, &silent.command, silent.data, &silent.length), -1);
  EXPECT_EQ(silent.length, 0u);

  size_t posted = 0;
  const uint32_t timeouts[] = {0, 1, 0, 1, 0xFFFFFFFE};
  for (size_t i = 0; i < std::size(timeouts); ++i) {
    SCOPED_TRACE(timeouts[i]);
    const uint8_t tag = static_cast<uint8_t>(0x40 + i);
    auto device = Answer(pty, 1, {0x00, 0x80, 0x02, 0x10, tag});
    Outputs out;
    int result = KTSendDataAndWait(9, &tag, 1, timeouts[i], &out.command, out.data, &out.length);
    device.join();
    if (result == 0) {
      EXPECT_EQ(out.Got(), Bytes{tag});
      continue;
    }
    ASSERT_EQ(result, -1);
    ASSERT_NE(timeouts[i], 0xFFFFFFFEu);
    posted += 1;
    ASSERT_TRUE(window.WaitPosts(posted)) << "answer lost";
    EXPECT_EQ(window.posts().back().data, Bytes{tag});
  }
  EXPECT_EQ(window.posts().size(), posted);
  EXPECT_TRUE(window.alerts().empty());
}

}  // namespace
}  // namespace ktcomm::test
