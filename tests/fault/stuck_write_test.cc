// A write that waits for a line that takes nothing holds the port lock; a
// close, or a reopen, must still end it at once rather than wait for a
// reader that never comes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "port/comm_port.h"
#include "tests/support/faulty_platform.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPort = 5;
constexpr int kTxSize = 1 << 20;  // far more than a pty holds

TEST(StuckWriteTest, CloseAndReopenEndAWriteThatCannotFinish) {
  for (bool reopen : {false, true}) {
    SCOPED_TRACE(reopen ? "reopen" : "close");
    PtyPair pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    setenv("KTCOMM_COM5", pty.secondaryPath().c_str(), 1);
    FaultyPlatform faulty;  // counts the calls, fails none
    RecordingWindow window;
    CommPort port{faulty};
    ASSERT_EQ(port.Open({.window = &window, .portNumber = kPort, .txSize = kTxSize}), 1);
    ASSERT_EQ(port.StartWorker(), 1);

    // Nobody reads the device side: the write fills the pty and then waits.
    std::vector<uint8_t> block(kTxSize, 0x55);
    port.SendRaw(block);
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (faulty.Count(Call::kWaitWritable) == 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // nothing to wait on
    }
    ASSERT_GT(faulty.Count(Call::kWaitWritable), 0);

    auto ending = std::async(std::launch::async, [&] {
      return reopen ? port.Open({.window = &window, .portNumber = kPort}) : port.Close();
    });
    bool endedAtOnce = ending.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(endedAtOnce) << "waited for the line";
    // Unstuck by reading what the write put out, so that the test ends.
    while (ending.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
      pty.Drain(1);
    }
    EXPECT_EQ(ending.get(), 1);
    port.Close();
    EXPECT_TRUE(window.alerts().empty());
  }
}

}  // namespace
}  // namespace ktcomm::test
