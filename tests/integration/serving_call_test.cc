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
#include "tests/support/pty_port.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A hang-up while a caller serves the device: reported by the worker at
// once, whichever thread the kernel woke for it, while the call keeps its
// time-out.
TEST(ServingCallTest, HangUpDuringAWaitIsReportedWhileItWaits) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  PortCloser closer(6);
  ASSERT_EQ(OpenOnPty(pty, &window, 6, 64, 64, 1), 0);
  std::this_thread::sleep_for(milliseconds(50));  // the worker goes idle

  std::atomic<int64_t> returnedMs{-1};
  int result = 0;
  auto start = Clock::now();
  std::thread caller([&] {
    unsigned char command = 0;
    unsigned char data[16];
    uint32_t length = sizeof data;
    result = KTWaitForMessage(6, 2000, &command, data, &length);
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

// One thread exchanges commands with pauses between them while another
// sends tokens of its own: every token goes out, whether it woke the
// serving caller or the worker, and whether or not a call follows it.
TEST(ServingCallTest, SendsMadeDuringServedCallsAllGoOut) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  PortCloser closer(7);
  ASSERT_EQ(OpenOnPty(pty, &window, 7, 64, 64, 1), 0);

  constexpr int kTokens = 150;
  std::mutex mutex;
  std::condition_variable seen;
  std::set<int> tokens;
  std::atomic<bool> done{false};
  // The device: echoes each command frame, records each token (B5 nn).
  std::thread device([&] {
    while (!done) {
      Bytes head = pty.Read(1, 50);
      if (head.empty()) continue;
      if (head[0] == 0x00) {
        Bytes rest = pty.Read(4, 1000);
        if (rest.size() != 4) continue;
        Bytes frame{0x00};
        frame.insert(frame.end(), rest.begin(), rest.end());
        pty.Write(frame);
      } else if (head[0] == 0xB5) {
        Bytes token = pty.Read(1, 1000);
        if (token.size() != 1) continue;
        std::lock_guard<std::mutex> hold(mutex);
        tokens.insert(token[0]);
        seen.notify_all();
      }
    }
  });
  std::thread exchanger([&] {
    unsigned int pause = 1;
    for (int i = 0; !done; ++i) {
      unsigned char value = static_cast<unsigned char>(i);
      unsigned char command = 0;
      unsigned char data[8];
      uint32_t length = sizeof data;
      // A token's write purges input, which may take this call's echo: a
      // time-out is allowed here, a lost token is not.
      KTSendCommandAndWait(7, 0x10, &value, 1, 200, &command, data, &length);
      pause = pause * 1103515245u + 12345u;
      std::this_thread::sleep_for(std::chrono::microseconds((pause >> 8) % 3000));
    }
  });

  int missing = -1;
  for (int n = 0; n < kTokens && missing < 0; ++n) {
    const unsigned char token[] = {0xB5, static_cast<unsigned char>(n)};
    ASSERT_EQ(KTSendData(7, token, sizeof token), 0);
    std::unique_lock<std::mutex> hold(mutex);
    if (!seen.wait_for(hold, milliseconds(2000), [&] { return tokens.count(n) != 0; })) {
      missing = n;
    }
  }
  done = true;
  exchanger.join();
  device.join();
  EXPECT_EQ(missing, -1) << "token " << missing << " never went out";
  EXPECT_TRUE(window.alerts().empty());
}

}  // namespace
}  // namespace ktcomm::test
