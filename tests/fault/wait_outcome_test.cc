// A waiting call whose caller wakes late, after the worker has gone on
// decoding: a timing a pty cannot promise, forced by calling the wait's
// steps apart.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "port/comm_port.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

using Bytes = std::vector<uint8_t>;

class WaitOutcomeTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    setenv("KTCOMM_COM1", pty.secondaryPath().c_str(), 1);
  }
  void Open(int rxSize) {
    ASSERT_EQ(port.Open({.window = &window, .portNumber = 1, .baud = 115200, .txSize = 16,
                         .rxSize = rxSize}),
              1);
    ASSERT_EQ(port.StartWorker(), 1);
  }
  // Starts a wait the way the exports do and lets the request reach the device.
  void BeginExchange(bool reportOverflow) {
    const uint8_t request = 0x01;
    command = 0xEE;
    std::memset(data, 0, sizeof data);
    length = sizeof data;
    call.emplace(port, WaitOutputs{reportOverflow, &command, data, &length});
    port.BeginWait(*call);
    port.SendRaw({&request, 1}, &*call);
    ASSERT_EQ(pty.Read(1), Bytes{request});
  }

  PtyPair pty;
  RecordingWindow window;
  CommPort port;
  uint8_t command = 0;
  uint8_t data[8] = {};
  uint32_t length = 0;
  std::optional<WaitCall> call;
};

// The held frame fills the receive buffer and one more byte overflows it
// before the caller looks: only the raw-data wait reports the overflow; the
// others still get the frame, which the overflow did not touch.
TEST_F(WaitOutcomeTest, OverflowBeforeTheCallerWakes) {
  for (bool reportOverflow : {true, false}) {
    SCOPED_TRACE(reportOverflow);
    window.Clear();
    Open(3);
    BeginExchange(reportOverflow);
    ASSERT_TRUE(pty.Write({0x00, 0x80, 0x04, 0x1A, 1, 2, 3, 0xFF}));
    ASSERT_TRUE(window.WaitAlerts(1));
    auto outcome = port.FinishWait(*call, 5000);
    call.reset();
    if (reportOverflow) {
      EXPECT_EQ(outcome, CommPort::WaitOutcome::kOverflow);
      EXPECT_EQ(length, sizeof data);
    } else {
      EXPECT_EQ(outcome, CommPort::WaitOutcome::kFrame);
      EXPECT_EQ(Bytes(data, data + length), (Bytes{1, 2, 3}));
    }
    port.Close();
  }
}

}  // namespace
}  // namespace ktcomm::test
