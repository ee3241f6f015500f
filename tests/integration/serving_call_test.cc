// A waiting call on an idle port serves the device itself, and the kernel
// then wakes the caller, not the worker, for what the device and other
// senders do. Whatever the caller leaves behind must still reach the worker.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "api/ktcomm.h"
#include "tests/support/pty_pair.h"
#include "tests/support/pty_test.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A port on a pty with protocol 1, opened before each test.
class ServingCallTest : public PtyTest {
 protected:
  void SetUp() override {
    PtyTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(OpenOnPty(pty, &window, kPort, 64, 64, 1), 0);
  }

  static constexpr int kPort = 6;
  PortCloser closer{kPort};
};

// A hang-up while a caller serves the device: reported by the worker at
// once, whichever thread the kernel woke for it, while the call keeps its
// time-out.
TEST_F(ServingCallTest, HangUpDuringAWaitIsReportedWhileItWaits) {
  std::this_thread::sleep_for(milliseconds(50));  // the worker goes idle

  std::atomic<int64_t> returnedMs{-1};
  int result = 0;
  auto start = Clock::now();
  std::thread caller([&] {
    unsigned char command = 0;
    unsigned char data[16];
    uint32_t length = sizeof data;
    result = KTWaitForMessage(kPort, 2000, &command, data, &length);
    returnedMs = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
  });
  std::this_thread::sleep_for(milliseconds(200));  // the caller waits on the device
  pty.ClosePrimary();
  bool reported = window.WaitAlerts(1, 1500);
  int64_t reportedMs = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
  caller.join();

  ASSERT_TRUE(reported);
  EXPECT_TRUE(window.alerts()[0].starts_with("Application Error|WARNING:  WaitCommEvent() Failed"))
      << window.alerts()[0];
  EXPECT_EQ(returnedMs.load() < 0 || reportedMs < returnedMs.load(), true)
      << "reported at " << reportedMs << " ms, the call returned at " << returnedMs.load();
  EXPECT_EQ(result, KT_TIMED_OUT);
  EXPECT_EQ(window.alerts().size(), 1u);
}

// One thread keeps waiting for frames, with pauses between its calls,
// while another sends tokens that the device answers with a frame: every
// token goes out, whether it woke the serving caller or the worker, and
// whether or not another call follows it. (The waiting thread sends
// nothing itself: a send replaces one not yet taken.)
TEST_F(ServingCallTest, SendsMadeDuringServedWaitsAllGoOut) {
  constexpr int kTokens = 150;
  std::mutex mutex;
  std::condition_variable seen;
  std::set<int> tokens;
  std::atomic<bool> done{false};
  std::thread device([&] {
    while (!done) {
      Bytes token = pty.Read(2, 50);
      if (token.size() != 2 || token[0] != 0xB5) continue;
      pty.Write({0x00, 0x80, 0x02, 0x20, token[1]});
      std::lock_guard<std::mutex> hold(mutex);
      tokens.insert(token[1]);
      seen.notify_all();
    }
  });
  std::thread waiter([&] {
    unsigned int pause = 1;
    while (!done) {
      unsigned char command = 0;
      unsigned char data[8];
      uint32_t length = sizeof data;
      KTWaitForMessage(kPort, 20, &command, data, &length);
      pause = pause * 1103515245u + 12345u;
      std::this_thread::sleep_for(std::chrono::microseconds((pause >> 8) % 2000));
    }
  });

  int missing = -1;
  for (int n = 0; n < kTokens && missing < 0; ++n) {
    const unsigned char token[] = {0xB5, static_cast<unsigned char>(n)};
    ASSERT_EQ(KTSendData(kPort, token, sizeof token), 0);
    std::unique_lock<std::mutex> hold(mutex);
    if (!seen.wait_for(hold, milliseconds(2000), [&] { return tokens.count(n) != 0; })) {
      missing = n;
    }
  }
  done = true;
  waiter.join();
  device.join();
  EXPECT_EQ(missing, -1) << "token " << missing << " never went out";
  EXPECT_TRUE(window.alerts().empty());
}

}  // namespace
}  // namespace ktcomm::test
