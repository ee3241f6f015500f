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
#include "tests/support/round_trip.h"

namespace ktcomm::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// A port on a pty with protocol 1, opened before each test.
class ServingCallTest : public PtyTest {
 protected:
  void SetUp() override {
    PtyTest::SetUp();
    if (IsSkipped()) return;
    Reopen(64, 64);
  }
  void Reopen(int txSize, int rxSize) {
    ASSERT_EQ(OpenOnPty(pty, &window, kPort, txSize, rxSize, 1), 0);
  }
  // The device answers each one-byte request with `reply`, until stopped.
  std::jthread AnswerEach(Bytes reply) {
    return std::jthread([this, reply](std::stop_token stop) {
      while (!stop.stop_requested()) {
        if (pty.Read(1, 20).size() == 1) pty.Write(reply);
      }
    });
  }
  // Nothing was posted before an unsolicited frame sent now: the port
  // posts in order, so what it dropped would have come before.
  void ExpectNothingPostedBefore(const Bytes& frame) {
    ASSERT_TRUE(pty.Write(frame));
    ASSERT_TRUE(window.WaitPosts(1));
    ASSERT_EQ(window.posts().size(), 1u) << "command " << int(window.posts()[0].command());
    EXPECT_EQ(window.posts()[0].command(), frame[3]);
  }

  static constexpr int kPort = 6;
  static constexpr uint8_t kRequest = 0x77;
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

namespace ktcomm::test {
namespace {

// A write the call could not finish without waiting for the line goes to
// the worker whole, and the next call's bytes follow it on the line: they
// neither overwrite it, nor cut into it, nor wait for the next call to end.
TEST_F(ServingCallTest, AWriteLeftToTheWorkerKeepsItsPlaceOnTheLine) {
  constexpr size_t kBig = 200000;
  Bytes big(kBig);
  for (size_t i = 0; i < kBig; ++i) big[i] = static_cast<uint8_t>(i * 7 % 251);
  const Bytes small(16, 0xEE);
  Reopen(static_cast<int>(kBig), 64);
  for (bool waitSecond : {false, true}) {
    SCOPED_TRACE(waitSecond ? "then a wait" : "then a send and wait");
    std::atomic<int64_t> allInMs{-1};
    std::atomic<bool> started{false};
    auto start = Clock::now();
    std::jthread device([&] {
      Bytes expected = big;
      if (!waitSecond) expected.insert(expected.end(), small.begin(), small.end());
      Bytes got = pty.Read(1, 5000);
      started = true;
      Bytes rest = pty.Read(expected.size() - got.size(), 10000);
      got.insert(got.end(), rest.begin(), rest.end());
      allInMs = MsSince(start);
      EXPECT_TRUE(got == expected) << got.size() << " bytes, not the " << expected.size()
                                   << " sent in order";
    });
    Outputs out;
    EXPECT_EQ(KTSendDataAndWait(kPort, big.data(), kBig, 0, &out.command, out.data, &out.length),
              KT_TIMED_OUT);
    // Once the write is under way (a send queued before would replace it).
    while (!started && MsSince(start) < 5000) std::this_thread::yield();
    out.length = sizeof out.data;
    if (waitSecond) {
      EXPECT_EQ(KTWaitForMessage(kPort, 1500, &out.command, out.data, &out.length), KT_TIMED_OUT);
    } else {
      EXPECT_EQ(KTSendDataAndWait(kPort, small.data(), small.size(), 100, &out.command, out.data,
                                  &out.length),
                KT_TIMED_OUT);
    }
    int64_t returnedMs = MsSince(start);
    device.join();
    if (waitSecond) {
      EXPECT_LT(allInMs.load(), returnedMs) << "the write waited for the call";
    }
  }
  EXPECT_TRUE(window.alerts().empty());
}

// The answer fills the receive buffer and one more byte comes in the same
// read: the call that reports overflows returns 1, after the report.
TEST_F(ServingCallTest, AnOverflowRightBehindTheAnswerIsAnOverflow) {
  Reopen(64, 4);
  auto device = AnswerEach({0x00, 0x80, 0x05, 0x1A, 1, 2, 3, 4, 0x99});
  for (size_t run = 1; run <= 30; ++run) {
    Outputs out;
    ASSERT_EQ(KTSendDataAndWait(kPort, &kRequest, 1, 3000, &out.command, out.data, &out.length),
              KT_OVERFLOW)
        << "run " << run;
    ASSERT_TRUE(window.WaitAlerts(run));
    EXPECT_NE(window.alerts().back().find("KTcomm: Incoming buffer overflow !!!"),
              std::string::npos);
  }
  device.request_stop();
  device.join();
  EXPECT_EQ(window.alerts().size(), 30u);
}

// What follows the answer in the same read waits behind it and goes with
// it: a second frame is not posted, and the bytes are decoded and logged
// (the log binary checks them) whichever thread read them.
TEST_F(ServingCallTest, ASecondFrameReadWithTheAnswerGoesWithIt) {
  auto device = AnswerEach({0x00, 0x80, 0x02, 0x10, 0x42, 0x00, 0x80, 0x01, 0x24});
  for (int run = 0; run < 50; ++run) {
    Outputs out;
    ASSERT_EQ(KTSendDataAndWait(kPort, &kRequest, 1, 3000, &out.command, out.data, &out.length),
              KT_OK);
    ASSERT_EQ(out.Got(), Bytes{0x42});
  }
  device.request_stop();
  device.join();
  ExpectNothingPostedBefore({0x00, 0x80, 0x01, 0x05});
  EXPECT_TRUE(window.alerts().empty());
}

// A send too long for the transmit buffer is reported at once, before the
// call waits, whatever its time-out.
TEST_F(ServingCallTest, ASendTooLongIsReportedBeforeTheWait) {
  const Bytes tooLong(65, 0x01);
  for (uint32_t timeoutMs : {500u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(timeoutMs);
    window.Clear();
    std::atomic<int64_t> returnedMs{-1};
    int result = 0;
    auto start = Clock::now();
    std::thread caller([&] {
      Outputs out;
      result = KTSendDataAndWait(kPort, tooLong.data(), tooLong.size(), timeoutMs, &out.command,
                                 out.data, &out.length);
      returnedMs = MsSince(start);
    });
    bool reported = window.WaitAlerts(1, 3000);
    int64_t reportedMs = MsSince(start);
    EXPECT_EQ(returnedMs.load(), -1) << "reported only once the call had returned";
    if (timeoutMs == 0xFFFFFFFF) {
      EXPECT_EQ(KTClosePort(kPort), 1);
    }
    caller.join();
    ASSERT_TRUE(reported);
    EXPECT_LT(reportedMs, 400);
    EXPECT_EQ(result, timeoutMs == 0xFFFFFFFF ? KT_NOT_OPEN : KT_TIMED_OUT);
    EXPECT_NE(window.alerts()[0].find("KTcomm: write buffer overflow 2 !!!"), std::string::npos);
    Reopen(64, 64);
  }
}

// The decoder still holds a frame a call had no room for, and input floods
// in faster than it is read (into a receive buffer too large to overflow
// meanwhile): a wait keeps its time-out all the same.
TEST_F(ServingCallTest, AWaitKeepsItsTimeWhileInputFloods) {
  Reopen(64, 64 << 20);
  {
    auto device = AnswerEach({0x00, 0x81, 0x06, 0x00, 0x1A, 1, 2, 3, 4, 5});
    Outputs small;
    small.length = 4;
    ASSERT_EQ(KTSendDataAndWait(kPort, &kRequest, 1, 3000, &small.command, small.data,
                                &small.length),
              KT_TOO_SMALL);
  }
  std::jthread flood([this](std::stop_token stop) {
    const Bytes noise(4096, 0x55);
    while (!stop.stop_requested()) pty.Write(noise);
  });
  for (uint32_t timeoutMs : {200u, 50u}) {
    Outputs out;
    auto start = Clock::now();
    EXPECT_EQ(KTWaitForMessage(kPort, timeoutMs, &out.command, out.data, &out.length),
              KT_TIMED_OUT);
    // Generous for a loaded machine; a deadline seen only when the input
    // pauses overshoots by far more.
    EXPECT_LT(MsSince(start), timeoutMs + 250);
  }
  flood.request_stop();
  KTClosePort(kPort);  // the flood's last write may wait for room until then
}

}  // namespace
}  // namespace ktcomm::test
