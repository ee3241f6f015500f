// A line that takes nothing more: a remote server that stopped reading, a
// pseudo-terminal nobody reads. While the worker is stuck writing, sending
// still only queues, a 100 ms wait keeps its time, the log name can be
// changed, the worker does not spin, and a close ends it all promptly.
// The limits are generous (sanitizers on a loaded machine): a call that
// waited for the line would wait for ever.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/hostile/scenario.h"
#include "tests/support/hostile_server.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

constexpr uint32_t kBlock = 1 << 20;
constexpr long kQuickMs = 3000;  // far below the scenario's limit

// Waits until `count()` has stopped changing for quietMs (the writer is
// stuck), or the deadline passes; whether it went quiet with something
// written.
template <typename Count>
bool WaitStuck(Count count, int quietMs, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t last = count();
  auto since = Clock::now();
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // polling the reader's queue
    size_t now = count();
    if (now != last) {
      last = now;
      since = Clock::now();
    } else if (now > 0 && MsSince(since) >= quietMs) {
      return true;
    }
  }
  return false;
}

// The largest send buffer a TCP socket grows to here.
size_t LargestSendBuffer() {
  size_t low = 0, initial = 0, largest = 4 << 20;
  if (FILE* f = std::fopen("/proc/sys/net/ipv4/tcp_wmem", "r")) {
    if (std::fscanf(f, "%zu %zu %zu", &low, &initial, &largest) != 3) largest = 4 << 20;
    std::fclose(f);
  }
  return largest;
}

// What must not wait for the stuck worker, then the close.
void CheckNothingWaitsOnTheLine(int port, Steps& steps) {
  const unsigned char small[16] = {0x00, 0x80, 0x01, 0x10};
  steps.Now("KTSendData on a stuck line");
  long sendMs = ElapsedMs([&] { EXPECT_EQ(KTSendData(port, small, sizeof small), 0); });
  EXPECT_LT(sendMs, kQuickMs) << "ms for KTSendData on a stuck line";

  steps.Now("KTWaitForMessage(100 ms) on a stuck line");
  long cpuBefore = ProcessCpuMs();
  auto waitStart = Clock::now();
  EXPECT_EQ(ShortWait(port), -1);
  long waitMs = MsSince(waitStart);
  EXPECT_LT(waitMs, kQuickMs) << "ms for a 100 ms wait on a stuck line";

  steps.Now("KTSetLogFileName on a stuck line");
  std::string name = testing::TempDir() + "ktcomm_stuck_" + std::to_string(getpid()) + ".log";
  long nameMs = ElapsedMs([&] { EXPECT_EQ(KTSetLogFileName(name.c_str()), 1); });
  EXPECT_LT(nameMs, kQuickMs) << "ms for KTSetLogFileName on a stuck line";

  // A writer waiting for room waits on the kernel, not in a loop.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // an idle stretch to measure
  long cpuMs = ProcessCpuMs() - cpuBefore;
  EXPECT_LT(cpuMs, (MsSince(waitStart) * 2) / 3) << "ms of CPU while the line is stuck";

  steps.Now("KTClosePort on a stuck line");
  long closeMs = ElapsedMs([&] { EXPECT_EQ(KTClosePort(port), 1); });
  EXPECT_LT(closeMs, kQuickMs) << "ms for KTClosePort on a stuck line";
}

TEST(StuckLineTest, ServerThatStoppedReading) {
  RunScenario(20000, [](Steps& steps) {
    constexpr int kPort = 3;
    HostileServer server(HostileServer::Mode::kStopReading);
    RecordingWindow window;
    ASSERT_EQ(OpenOnServer(steps, server, &window, kPort, kBlock), 0);
    ASSERT_TRUE(server.Misbehave());

    // More than both socket buffers hold, a block at a time, each given the
    // time to be taken: one of them cannot be written whole.
    std::vector<unsigned char> block(kBlock, 0x5A);
    size_t blocks = LargestSendBuffer() / kBlock + 3;
    for (size_t i = 0; i < blocks; ++i) {
      steps.Now("KTSendData of 1 MiB blocks while the line fills");
      long ms = ElapsedMs([&] { EXPECT_EQ(KTSendData(kPort, block.data(), kBlock), 0); });
      EXPECT_LT(ms, kQuickMs) << "ms for KTSendData of block " << i;
      steps.Now("waiting for the line to fill");
      WaitStuck([&] { return server.unread(); }, 50, 1000);
    }
    ASSERT_GT(server.unread(), 0u) << "the server received nothing";
    CheckNothingWaitsOnTheLine(kPort, steps);
    EXPECT_TRUE(window.alerts().empty()) << window.alerts().front();
  });
}

TEST(StuckLineTest, PseudoTerminalNobodyReads) {
  RunScenario(20000, [](Steps& steps) {
    constexpr int kPort = 4;
    PtyPair pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    MapPort(kPort, pty.secondaryPath());
    RecordingWindow window;
    ASSERT_EQ(OpenPort(&window, kPort, kBlock), 0);

    std::vector<unsigned char> block(kBlock, 0x5A);
    steps.Now("KTSendData of 1 MiB to a pty");
    long ms = ElapsedMs([&] { EXPECT_EQ(KTSendData(kPort, block.data(), kBlock), 0); });
    EXPECT_LT(ms, kQuickMs);
    steps.Now("waiting for the pty to fill");
    auto queued = [&] {
      int count = 0;
      return ioctl(pty.fd(), FIONREAD, &count) == 0 ? static_cast<size_t>(count) : 0;
    };
    ASSERT_TRUE(WaitStuck(queued, 50, 3000)) << "the pty never filled";
    CheckNothingWaitsOnTheLine(kPort, steps);
    EXPECT_TRUE(window.alerts().empty()) << window.alerts().front();
  });
}

}  // namespace
}  // namespace ktcomm::test
