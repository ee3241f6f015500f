// The worker when the kernel refuses: its wait failing once or for good, and
// writes failing before anything went out or part-way through a frame.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "port/comm_port.h"
#include "tests/support/faulty_platform.h"
#include "tests/support/process_counts.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 9;

class WorkerFaultTest : public testing::Test {
 protected:
  void SetUp() override {
    SettleRuntimeThreads();
    threadsBefore = ThreadCount();
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    setenv("KTCOMM_COM9", pty.secondaryPath().c_str(), 1);
    auto before = ThreadIds();
    ASSERT_EQ(port.Open(&window, kPort, 9600, 'N', 8, 1, kEventMask, 64, 64, 1), 1);
    ASSERT_TRUE(port.PrepareCommandBuffer(64));
    ASSERT_EQ(port.StartWorker(), 1);
    for (int id : ThreadIds()) {
      if (!before.count(id)) worker = id;
    }
  }

  void TearDown() override {
    port.Close();
    EXPECT_EQ(ThreadCount(), threadsBefore);
  }

  void Send(const Bytes& bytes) { port.SendRaw(bytes); }

  static std::string Report(const char* step, int err) {
    return std::string("Application Error|WARNING:  ") + step +
           " Failed with the following error: \n" + std::strerror(err) +
           "\nPort: " + std::to_string(kPort) + "\n";
  }

  PtyPair pty;
  FaultyPlatform faulty;
  RecordingWindow window;
  CommPort port{faulty};
  int worker = -1;
  int threadsBefore = 0;
};

const Bytes kFrameA = {0x00, 0x80, 0x02, 0x10, 0xA1};
const Bytes kFrameB = {0x00, 0x80, 0x03, 0x1A, 0xB1, 0xB2};

TEST_F(WorkerFaultTest, WaitFailingOnceIsReportedAndServingGoesOn) {
  // Whether the worker already waits or not, the frame goes out once the
  // failed wait is behind it.
  faulty.FailNth(Call::kWaitForWork, 1, ENOMEM);
  Send(kFrameA);
  EXPECT_EQ(pty.Read(kFrameA.size()), kFrameA);
  ASSERT_TRUE(window.WaitAlerts(1));
  Send(kFrameB);
  EXPECT_EQ(pty.Read(kFrameB.size()), kFrameB);
  EXPECT_EQ(window.alerts(), std::vector<std::string>{Report("WaitCommEvent()", ENOMEM)});
}

TEST_F(WorkerFaultTest, WaitFailingForGoodBacksOffAndStillCloses) {
  ASSERT_GT(worker, 0);
  faulty.FailNth(Call::kWaitForWork, 1, EIO, true);
  Send(kFrameA);  // wakes the worker, if it already waits, into the failing waits
  ASSERT_TRUE(window.WaitAlerts(1));

  int waitsBefore = faulty.Count(Call::kWaitForWork);
  long ticksBefore = ThreadCpuTicks(worker);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the measured span
  EXPECT_LE(ThreadCpuTicks(worker) - ticksBefore, 5);
  EXPECT_LT(faulty.Count(Call::kWaitForWork) - waitsBefore, 50);
  // Reported once for the whole run of failures.
  EXPECT_EQ(window.alerts(), std::vector<std::string>{Report("WaitCommEvent()", EIO)});

  auto start = Clock::now();
  EXPECT_EQ(port.Close(), 1);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

TEST_F(WorkerFaultTest, WriteFailingBeforeAnythingWentOut) {
  faulty.FailNth(Call::kWrite, 1, EIO);
  Send(kFrameA);
  ASSERT_TRUE(window.WaitAlerts(1));
  EXPECT_EQ(window.alerts(), std::vector<std::string>{Report("WriteFile()", EIO)});
  EXPECT_TRUE(pty.Drain().empty());

  // The port carries on, and a line that takes one byte at a time still
  // gets the whole frame.
  faulty.LimitWrites(1);
  Send(kFrameB);
  EXPECT_EQ(pty.Read(kFrameB.size()), kFrameB);
  EXPECT_EQ(window.alerts().size(), 1u);
}

TEST_F(WorkerFaultTest, WriteFailingPartWayThroughAFrame) {
  faulty.LimitWrites(2);
  faulty.FailNth(Call::kWrite, 2, EIO);
  Send(kFrameA);
  ASSERT_TRUE(window.WaitAlerts(1));
  EXPECT_EQ(window.alerts(),
            std::vector<std::string>{Report("GetOverlappedResult() in WriteFile()", EIO)});
  EXPECT_EQ(pty.Read(2), Bytes(kFrameA.begin(), kFrameA.begin() + 2));
  EXPECT_TRUE(pty.Drain().empty());

  // The failed transmission is not written again; the next one goes out whole.
  faulty.LimitWrites(0);
  Send(kFrameB);
  EXPECT_EQ(pty.Read(kFrameB.size()), kFrameB);
  EXPECT_EQ(window.alerts().size(), 1u);
}

}  // namespace
}  // namespace ktcomm::test
