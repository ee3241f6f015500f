// A server that dies mid-stream is a hang-up, as a local device's is:
// reported once through WaitCommEvent(), the worker idle from then on, and
// a close and reopen work again once the server is back.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/remote/remote_device.h"
#include "tests/support/process_counts.h"

namespace ktcomm::test {
namespace {

using HangUpTest = RemoteTest;
INSTANTIATE_TEST_SUITE_P(Schemes, HangUpTest, testing::Bool(), SchemeName);

// CPU ticks the thread uses over `ms`; a worker that waits properly uses none.
long TicksOver(int tid, int ms) {
  long start = ThreadCpuTicks(tid);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));  // the measured span
  return ThreadCpuTicks(tid) - start;
}

// Waits until a frame with this command has been posted.
bool WaitCommand(RecordingWindow& window, uint8_t command) {
  for (size_t count = 1; window.WaitPosts(count); ++count) {
    if (window.posts()[count - 1].command() == command) return true;
  }
  return false;
}

TEST_P(HangUpTest, KilledServerIsOneHangUpAndAReopenRecovers) {
  constexpr int kPort = 6;
  SettleRuntimeThreads();
  auto before = ThreadIds();
  ASSERT_EQ(Open(kPort, 16, 64, 1), 0);
  auto started = ThreadsSince(before);
  ASSERT_EQ(started.size(), 1u);
  int worker = *started.begin();
  Connected(kPort);

  Bytes line;
  for (int i = 0; i < 500; ++i) line.insert(line.end(), {0x00, 0x80, 0x02, 0x10, 0xFF});
  ASSERT_TRUE(pty.Write(line));
  ASSERT_TRUE(window.WaitPosts(1));
  server.Kill();
  ASSERT_TRUE(window.WaitAlerts(1));
  EXPECT_EQ(window.alerts()[0], ErrorAlert("WaitCommEvent()", std::strerror(EIO), kPort));
  EXPECT_LE(TicksOver(worker, 500), 5);
  EXPECT_EQ(window.alerts().size(), 1u);

  ASSERT_TRUE(server.Restart());
  EXPECT_EQ(KTClosePort(kPort), 1);
  window.Clear();
  ASSERT_EQ(Open(kPort, 16, 64, 1), 0);
  Connected(kPort);
  ASSERT_TRUE(pty.Write({0x00, 0x80, 0x01, 0x24}));
  EXPECT_TRUE(WaitCommand(window, 0x24));
  EXPECT_TRUE(window.alerts().empty());
}

}  // namespace
}  // namespace ktcomm::test
