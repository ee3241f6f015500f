// The worker when the kernel refuses: its wait failing once or for good, and
// writes failing before anything went out or part-way through a frame.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fault_port.h"

namespace ktcomm::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Alerts = std::vector<std::string>;

constexpr int kPort = 9;

class WorkerFaultTest : public testing::Test, protected FaultyPort {
 protected:
  WorkerFaultTest() : FaultyPort(kPort) {}

  void SetUp() override {
    MapTo(pty.secondaryPath());  // before the skip: TearDown counts threads
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    ASSERT_TRUE(OpenAndStart());
    auto started = ThreadsSince(threadsBefore);
    if (started.size() == 1) worker = *started.begin();
  }

  void TearDown() override {
    port.Close();
    EXPECT_TRUE(WaitThreadsSince(threadsBefore, 0));
  }

  static std::string Alert(const char* step, int err) {
    return ErrorAlert(step, std::strerror(err), kPort);
  }

  int worker = -1;
};

TEST_F(WorkerFaultTest, WaitFailingOnceIsReportedAndServingGoesOn) {
  // Whether the worker already waits or not, the frame goes out once the
  // failed wait is behind it.
  faulty.FailNth(Call::kWaitForWork, 1, ENOMEM);
  port.SendRaw(kFrameA);
  EXPECT_EQ(pty.Read(kFrameA.size()), kFrameA);
  ASSERT_TRUE(window.WaitAlerts(1));
  port.SendRaw(kFrameB);
  EXPECT_EQ(pty.Read(kFrameB.size()), kFrameB);
  EXPECT_EQ(window.alerts(), Alerts{Alert("WaitCommEvent()", ENOMEM)});
}

TEST_F(WorkerFaultTest, WaitFailingForGoodBacksOffAndStillCloses) {
  ASSERT_GT(worker, 0);
  faulty.FailNth(Call::kWaitForWork, 1, EIO, true);
  port.SendRaw(kFrameA);  // wakes the worker, if it already waits, into the failing waits
  ASSERT_TRUE(window.WaitAlerts(1));

  int waitsBefore = faulty.Count(Call::kWaitForWork);
  long ticksBefore = ThreadCpuTicks(worker);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the measured span
  EXPECT_LE(ThreadCpuTicks(worker) - ticksBefore, 5);
  EXPECT_LT(faulty.Count(Call::kWaitForWork) - waitsBefore, 50);
  EXPECT_EQ(window.alerts(), Alerts{Alert("WaitCommEvent()", EIO)});  // once per run

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(port.Close(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST_F(WorkerFaultTest, WriteFailingBeforeAnythingWentOut) {
  faulty.FailNth(Call::kWrite, 1, EIO);
  port.SendRaw(kFrameA);
  ASSERT_TRUE(window.WaitAlerts(1));
  EXPECT_EQ(window.alerts(), Alerts{Alert("WriteFile()", EIO)});
  EXPECT_TRUE(pty.Drain().empty());
  // The port carries on; a line that takes a byte at a time gets it all.
  faulty.LimitWrites(1);
  port.SendRaw(kFrameB);
  EXPECT_EQ(pty.Read(kFrameB.size()), kFrameB);
  EXPECT_EQ(window.alerts().size(), 1u);
}

TEST_F(WorkerFaultTest, WriteFailingPartWayThroughAFrame) {
  faulty.LimitWrites(2);
  faulty.FailNth(Call::kWrite, 2, EIO);
  port.SendRaw(kFrameA);
  ASSERT_TRUE(window.WaitAlerts(1));
  EXPECT_EQ(window.alerts(), Alerts{Alert("GetOverlappedResult() in WriteFile()", EIO)});
  EXPECT_EQ(pty.Drain(), Bytes(kFrameA.begin(), kFrameA.begin() + 2));
  // Not written again; the next frame goes out whole.
  faulty.LimitWrites(0);
  port.SendRaw(kFrameB);
  EXPECT_EQ(pty.Read(kFrameB.size()), kFrameB);
  EXPECT_EQ(window.alerts().size(), 1u);
}

}  // namespace
}  // namespace ktcomm::test
