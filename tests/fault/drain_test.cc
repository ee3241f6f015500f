// Output that leaves the port slowly, as on a real line at a low rate: a
// write is complete once its bytes have left, so the next write's purge
// cannot catch them, a send made meanwhile does not wait, and a close still
// ends the wait. A pty drains at once; the double makes it slow.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fault_port.h"

namespace ktcomm::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr int kPort = 6;

class DrainTest : public testing::Test, protected FaultyPort {
 protected:
  DrainTest() : FaultyPort(kPort) {}

  void SetUp() override {
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    MapTo(pty.secondaryPath());
    ASSERT_EQ(Open(), 1);
    ASSERT_EQ(port.StartWorker(), 1);
  }
  void TearDown() override { port.Close(); }

  bool WaitDraining() {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!faulty.Draining() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return faulty.Draining();
  }
  // The journal from the first purge before a write on.
  std::vector<std::string> WritePath() {
    auto journal = faulty.Journal();
    auto first = std::find(journal.begin(), journal.end(), "purge input");
    return {first, journal.end()};
  }
};

TEST_F(DrainTest, NextWriteWaitsUntilTheEarlierOneHasLeft) {
  faulty.SlowDrain(200);
  port.SendRaw(kFrameA);
  ASSERT_TRUE(WaitDraining());
  // Queued while A still leaves the port: returns at once, goes out after.
  auto start = Clock::now();
  port.SendRaw(kFrameB);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));

  Bytes both = kFrameA;
  both.insert(both.end(), kFrameB.begin(), kFrameB.end());
  EXPECT_EQ(pty.Read(both.size()), both);
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (WritePath().size() < 6 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(WritePath(), (std::vector<std::string>{"purge input", "write 5", "drained",
                                                   "purge input", "write 6", "drained"}));
  EXPECT_TRUE(window.alerts().empty());
}

TEST_F(DrainTest, WaitingCallKeepsItsTimeWhileTheLineDrains) {
  faulty.SlowDrain(20000);
  port.SendRaw(kFrameA);
  ASSERT_TRUE(WaitDraining());
  auto start = Clock::now();
  ASSERT_TRUE(BeginWait());
  SendForCall(kFrameB);
  EXPECT_EQ(FinishWait(100).outcome, CommPort::WaitOutcome::kTimedOut);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

// A waiting call that writes on an idle port hands a slow drain to the
// worker rather than wait for the line itself; the answer still reaches it.
TEST_F(DrainTest, WaitingCallLeavesASlowDrainToTheWorker) {
  faulty.SlowDrain(100);
  std::jthread device([&] {
    if (pty.Read(kFrameA.size()) == kFrameA) pty.Write(kFrameB);
  });
  ASSERT_TRUE(BeginWait(true));
  SendForCall(kFrameA);
  Answer answer = FinishWait(5000);
  EXPECT_EQ(answer.outcome, CommPort::WaitOutcome::kFrame);
  EXPECT_EQ(answer.command, 0x1A);
  EXPECT_EQ(answer.data, (Bytes{0xB1, 0xB2}));
  EXPECT_EQ(WritePath(), (std::vector<std::string>{"purge input", "write 5", "drained"}));
}

// The close ends the drain at once; the bytes were written, so they are
// logged, before the closing line.
TEST_F(DrainTest, CloseDuringTheDrainEndsItAndLogsTheBytes) {
  std::string path = testing::TempDir() + "ktcomm_drain_" + std::to_string(getpid());
  ASSERT_EQ(port.SetLogFileName(path.c_str()), 1);
  ASSERT_EQ(port.EnableLogging(1, "w"), 1);
  faulty.SlowDrain(20000);
  port.SendRaw(kFrameA);
  ASSERT_TRUE(WaitDraining());
  auto start = Clock::now();
  EXPECT_EQ(port.Close(), 1);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

  std::ifstream file(path);
  std::string text{std::istreambuf_iterator<char>(file), {}};
  EXPECT_EQ(text, "\nCOM6 \nWriting: 00 80 02 10 a1 \n COM6 closed\n");
  unlink(path.c_str());
}

// The failure is reported; the close does not send the bytes as if new.
TEST_F(DrainTest, FailedWriteIsNotSentAgainAtClose) {
  faulty.FailNth(Call::kWrite, 1, EIO);
  port.SendRaw(kFrameA);
  ASSERT_TRUE(window.WaitAlerts(1));
  port.Close();
  EXPECT_TRUE(pty.Drain().empty());
  EXPECT_EQ(window.alerts().size(), 1u);
}

}  // namespace
}  // namespace ktcomm::test
