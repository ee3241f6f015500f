// A transmission queued right before a close still reaches the device, and
// the close does not wait for a line that takes nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "tests/support/pty_port.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

TEST(CloseFlushTest, CommandQueuedJustBeforeCloseIsWritten) {
  for (int round = 0; round < 50; ++round) {
    PtyPair pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    RecordingWindow window;
    ASSERT_EQ(OpenOnPty(pty, &window, 4, 64, 64, 1), 0);
    const uint8_t data = static_cast<uint8_t>(round);
    ASSERT_EQ(KTSendCommand(4, 0x10, 1, &data), 0);
    ASSERT_EQ(KTClosePort(4), 1);
    EXPECT_EQ(pty.Read(5, 2000), (std::vector<uint8_t>{0x00, 0x80, 0x02, 0x10, data}))
        << "round " << round;
  }
}

TEST(CloseFlushTest, CloseDoesNotWaitForAStuckLine) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  ASSERT_EQ(OpenOnPty(pty, &window, 4, 1 << 20, 64, 1), 0);
  // Nobody reads the device side: a megabyte fills the pty and the write
  // waits for room, holding the port lock, as a queued send would find it.
  std::vector<uint8_t> block(1 << 20, 0x55);
  ASSERT_EQ(KTSendData(4, block.data(), static_cast<uint32_t>(block.size())), 0);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(KTClosePort(4), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace ktcomm::test
