// The extension from C against the ktcomm-sim executable killed in the
// middle of a waiting call: the alert finds the port lost and closes it,
// which ends the call at once, and the next open says the device is gone.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <future>

#include "ktcomm_ext.h"
#include "tools/tests/child_process.h"

namespace ktcomm::test_support {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDeadlineMs = 10000;
constexpr int kPort = 9;

struct ClosingWindow : KTWindow {
  std::atomic<int> lostAtAlert{0};
};

void CloseWhenLost(KTWindow* window, const char*, const char*) {
  KTXPortStatus status;
  if (KTXGetPortStatus(kPort, &status) == KT_OK && status.lost) {
    static_cast<ClosingWindow*>(window)->lostAtAlert += 1;
    KTClosePort(kPort);
  }
}

TEST(ExtensionSimulatorTest, AKilledSimulatorEndsTheWaitAtOnce) {
  ChildProcess sim({KTCOMM_SIM_PATH, "--quiet", "--reply", "3c="});  // 3c is never answered
  ASSERT_TRUE(sim.WaitForOutput("\n", kDeadlineMs)) << sim.Err();
  std::string path = sim.Out().substr(0, sim.Out().find('\n'));
  setenv(("KTCOMM_COM" + std::to_string(kPort)).c_str(), path.c_str(), 1);

  ClosingWindow window;
  window.post = nullptr;
  window.alert = CloseWhenLost;
  ASSERT_EQ(KTOpenPort(&window, kPort, 64, 64, 115200, 'N', 8, 1, 1), KT_OK);
  unsigned char command = 0, data[16];
  uint32_t length = sizeof data;
  const unsigned char five = 0x05;
  ASSERT_EQ(KTSendCommandAndWait(kPort, 0x10, &five, 1, kDeadlineMs, &command, data, &length),
            KT_OK);

  auto waiting = std::async(std::launch::async, [] {
    unsigned char answerCommand = 0, answer[16];
    uint32_t answerLength = sizeof answer;
    return KTSendCommandAndWait(kPort, 0x3C, nullptr, 0, 60000, &answerCommand, answer,
                                &answerLength);
  });
  // The call waits for an answer that never comes.
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  auto killed = Clock::now();
  sim.Signal(SIGKILL);
  ASSERT_TRUE(sim.Finish(kDeadlineMs));
  ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(kDeadlineMs)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), KT_NOT_OPEN);
  EXPECT_LT(Clock::now() - killed, std::chrono::seconds(5));
  EXPECT_EQ(window.lostAtAlert.load(), 1);

  KTXPortStatus status;
  ASSERT_EQ(KTXGetPortStatus(kPort, &status), KT_OK);
  EXPECT_EQ(status.open, 0);
  EXPECT_EQ(status.lost, 1);
  EXPECT_NE(std::string(status.lastReport).find("WaitCommEvent()"), std::string::npos);

  // Its pty went with it.
  EXPECT_EQ(KTOpenPort(&window, kPort, 64, 64, 115200, 'N', 8, 1, 1), KT_OPEN_FAILED);
  KTXOpenError why;
  ASSERT_EQ(KTXGetOpenError(kPort, &why), KT_OK);
  EXPECT_EQ(why.reason, KTX_OPEN_NO_DEVICE);
  EXPECT_EQ(why.device, path);
  KTClosePort(kPort);
}

}  // namespace
}  // namespace ktcomm::test_support
