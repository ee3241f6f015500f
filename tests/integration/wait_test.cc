// The waiting calls against a device thread that answers on the pty.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "api/ktcomm.h"
#include "tests/support/pty_pair.h"
#include "tests/support/pty_test.h"
#include "tests/support/recording_window.h"
#include "tests/support/round_trip.h"

namespace ktcomm::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class WaitTest : public PtyTest {
 protected:
  void Open(int protocol, int txSize = 64, int rxSize = 64) {
    ASSERT_EQ(OpenOnPty(pty, &window, kPort, txSize, rxSize, protocol), 0);
  }
  // The device answers with 5 data bytes a call that has room for 4: the call
  // returns 6 and leaves its outputs but the length alone.
  void CallWithTooSmallABuffer() {
    auto device = Answer(pty, 1, {0x00, 0x81, 0x06, 0x00, 0x1A, 1, 2, 3, 4, 5});
    Outputs small;
    small.length = 4;
    EXPECT_EQ(KTSendDataAndWait(kPort, &kRequest, 1, 5000, &small.command, small.data,
                                &small.length),
              6);
    device.join();
    EXPECT_EQ(small.length, 4u);
    EXPECT_EQ(small.command, 0xEE);
    EXPECT_EQ(small.data[0], 0xEE);
  }
  // The device sends a frame with no caller waiting: it must be posted.
  void ExpectPosted(const Bytes& frame, uint8_t command) {
    size_t before = window.posts().size();
    ASSERT_TRUE(pty.Write(frame));
    ASSERT_TRUE(window.WaitPosts(before + 1));
    EXPECT_EQ(window.posts().back().command(), command);
  }

  static constexpr int kPort = 4;
  static constexpr uint8_t kRequest = 0x77;
  PortCloser closer{kPort};
};

// Each exchange returns the answer, then leaves the port posting again.
TEST_F(WaitTest, RoundTrips) {
  for (const Trip& t : RoundTrips()) {
    SCOPED_TRACE(t.what);
    Open(t.protocol);
    ExpectRoundTrip(kPort, pty, window, t);
    KTClosePort(kPort);
    window.Clear();
  }
}

TEST_F(WaitTest, TimesOutOnASilentLine) {
  Open(1);
  Outputs out;
  auto start = Clock::now();
  EXPECT_EQ(KTWaitForMessage(kPort, 100, &out.command, out.data, &out.length), -1);
  long elapsed = MsSince(start);
  EXPECT_GE(elapsed, 99);
  EXPECT_LT(elapsed, 2000);
  EXPECT_EQ(out.length, 0u);
  EXPECT_EQ(out.command, 0xEE);
  // Nobody waits any more: the next frame is posted.
  ExpectPosted({0x00, 0x80, 0x01, 0x10}, 0x10);
}

// A caller whose buffer is too small gets 6 and nothing else; the frame stays
// held, so nothing more is delivered until a write restarts the decoder.
TEST_F(WaitTest, BufferTooSmallKeepsTheFrameHeld) {
  Open(1);
  CallWithTooSmallABuffer();

  ASSERT_TRUE(pty.Write({0x00, 0x80, 0x01, 0x24}));
  Outputs next;
  EXPECT_EQ(KTWaitForMessage(kPort, 100, &next.command, next.data, &next.length), -1);

  ASSERT_EQ(KTSendData(kPort, &kRequest, 1), 0);
  ASSERT_EQ(pty.Read(1), Bytes{kRequest});
  ExpectPosted({0x00, 0x80, 0x01, 0x10}, 0x10);
  EXPECT_EQ(window.posts().size(), 1u);
}

// After a time-out the next frame reaches the window, even when a frame was
// still held from a call that returned 6: that call's frame was handed to
// nobody, and holding it for ever would silence the port.
TEST_F(WaitTest, AfterATimeOutTheNextFrameIsPosted) {
  Open(1);
  CallWithTooSmallABuffer();
  Outputs next;
  EXPECT_EQ(KTWaitForMessage(kPort, 100, &next.command, next.data, &next.length), -1);
  EXPECT_EQ(next.length, 0u);
  ExpectPosted({0x00, 0x80, 0x02, 0x10, 0x42}, 0x10);
  EXPECT_EQ(window.posts().back().data, Bytes{0x42});
  EXPECT_EQ(window.posts().size(), 1u);
}

// A waiting call on an idle port reads the device itself, but notifications
// still come from the worker: a protocol-2 frame stored before the call is
// posted when its trigger byte arrives during the call, on the worker.
TEST_F(WaitTest, NotificationsDuringACallComeFromTheWorker) {
  Open(2);
  std::mutex mutex;
  std::vector<std::thread::id> postThreads;
  window.onPost = [&](const Posted&) {
    std::lock_guard<std::mutex> hold(mutex);
    postThreads.push_back(std::this_thread::get_id());
  };
  int secondary = ::open(pty.secondaryPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  for (int round = 0; round < 20; ++round) {
    // Stored, not posted: no byte after it yet.
    ASSERT_TRUE(pty.Write({0x1B, 0xF3, 0x03, 0x00, 0x42, 0x01, 0x02}));
    auto deadline = Clock::now() + std::chrono::seconds(5);
    int queued = 0;
    while (secondary >= 0 && ioctl(secondary, FIONREAD, &queued) == 0 && queued > 0 &&
           Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The call sends nothing, so nothing tells the device that it began: a
    // trigger that comes first posts both frames, and the call times out.
    std::jthread device([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      pty.Write({0x0D, 0x1B, 0xF3, 0x02, 0x00, 0x43, 0x07});
    });
    Outputs out;
    int result = KTWaitForMessage(kPort, 1000, &out.command, out.data, &out.length);
    EXPECT_TRUE(result == 0 || result == -1) << round;
    device.join();
  }
  if (secondary >= 0) ::close(secondary);
  std::lock_guard<std::mutex> hold(mutex);
  EXPECT_FALSE(postThreads.empty());
  for (std::thread::id id : postThreads) EXPECT_NE(id, std::this_thread::get_id());
}

// While a call waits, a send from another thread still goes out at once, and
// the call still gets the frame that comes after.
TEST_F(WaitTest, SendsFromOtherThreadsGoOutDuringACall) {
  Open(1);
  for (int round = 0; round < 20; ++round) {
    int result = -2;
    Outputs out;
    const uint8_t mine = 0xA0, other = static_cast<uint8_t>(round);
    std::jthread caller([&] {
      result = KTSendDataAndWait(kPort, &mine, 1, 5000, &out.command, out.data, &out.length);
    });
    ASSERT_EQ(pty.Read(1), Bytes{mine}) << round;  // the call waits from here on
    ASSERT_EQ(KTSendData(kPort, &other, 1), 0);
    ASSERT_EQ(pty.Read(1), Bytes{other}) << round;
    ASSERT_TRUE(pty.Write({0x00, 0x80, 0x02, 0x10, other}));
    caller.join();
    EXPECT_EQ(result, 0) << round;
    EXPECT_EQ(out.Got(), Bytes{other}) << round;
  }
}

// KTWaitForMessage sends nothing, so the device cannot know when the call
// has begun: a copy of the frame that came too early is posted, and the post
// sends the frame again until a copy reaches the waiting call.
TEST_F(WaitTest, TwoWaitsInARowEachGetTheirFrame) {
  const Bytes first = {0x00, 0x81, 0x04, 0x00, 0x1A, 1, 2, 3};
  const Bytes second = {0x00, 0x80, 0x03, 0x1A, 4, 5};
  std::atomic<const Bytes*> resend{nullptr};
  window.onPost = [&](const Posted&) { pty.Write(*resend.load()); };
  Open(1);
  for (const Bytes* frame : {&first, &second}) {
    resend = frame;
    ASSERT_TRUE(pty.Write(*frame));
    Outputs out;
    ASSERT_EQ(KTWaitForMessage(kPort, 5000, &out.command, out.data, &out.length), 0);
    EXPECT_EQ(out.command, 0x1A);
    EXPECT_EQ(out.Got(), Bytes(frame->begin() + (frame == &first ? 5 : 4), frame->end()));
  }
  KTClosePort(kPort);  // joins the worker before the hook goes
  window.onPost = nullptr;
}

// A send larger than the transmit buffer is refused with an alert; the call
// still waits its full time.
TEST_F(WaitTest, OversizedSendThenFullTimeout) {
  Open(1, 8);
  const uint8_t request[9] = {};
  Outputs out;
  auto start = Clock::now();
  EXPECT_EQ(KTSendDataAndWait(kPort, request, sizeof request, 100, &out.command, out.data,
                              &out.length),
            -1);
  EXPECT_GE(MsSince(start), 99);
  ASSERT_EQ(window.alerts().size(), 1u);
  EXPECT_NE(window.alerts()[0].find("KTcomm: write buffer overflow 2 !!!"), std::string::npos);
  EXPECT_TRUE(pty.Drain(50).empty());
}

// Missing outputs and an oversized command are refused before anything is
// sent or the port starts waiting.
TEST_F(WaitTest, RefusedBeforeAnythingIsSent) {
  Open(1, 8);
  uint8_t command = 0;
  uint8_t data[4] = {};
  uint32_t capacity = sizeof data;
  const uint8_t send[5] = {1, 2, 3, 4, 5};
  struct Refused {
    uint8_t* command;
    uint8_t* data;
    uint32_t* length;
  };
  for (const Refused& r : {Refused{nullptr, data, &capacity}, Refused{&command, nullptr, &capacity},
                           Refused{&command, data, nullptr}}) {
    EXPECT_EQ(KTSendCommandAndWait(kPort, 0x10, send, 1, 50, r.command, r.data, r.length), 6);
    EXPECT_EQ(KTSendDataAndWait(kPort, send, 1, 50, r.command, r.data, r.length), 6);
    EXPECT_EQ(KTWaitForMessage(kPort, 50, r.command, r.data, r.length), 6);
    EXPECT_EQ(capacity, sizeof data);
  }
  EXPECT_EQ(KTSendCommandAndWait(kPort, 0x10, send, 5, 50, &command, data, &capacity), 6);
  EXPECT_TRUE(pty.Drain(50).empty());
  ExpectPosted({0x00, 0x80, 0x01, 0x10}, 0x10);

  // No data buffer is fine when it claims no room.
  uint32_t none = 0;
  EXPECT_EQ(KTWaitForMessage(kPort, 20, &command, nullptr, &none), -1);
}

// Answers landing right around the deadline: each frame is either returned
// to the caller or, after a time-out, posted; none is lost or held.
TEST_F(WaitTest, TimeOutRaceLosesNoFrame) {
  Open(1);
  int returned = 0;
  size_t posted = 0;
  for (int i = 0; i < 60; ++i) {
    SCOPED_TRACE(i);
    const uint8_t tag = static_cast<uint8_t>(i);
    auto device = Answer(pty, 1, {0x00, 0x80, 0x02, 0x10, tag}, milliseconds(16 + i % 8));
    Outputs out;
    int result = KTSendDataAndWait(kPort, &tag, 1, 20, &out.command, out.data, &out.length);
    device.join();
    if (result == 0) {
      EXPECT_EQ(out.Got(), Bytes{tag});
      returned += 1;
      continue;
    }
    ASSERT_EQ(result, -1);
    posted += 1;
    ASSERT_TRUE(window.WaitPosts(posted, 2000)) << "frame lost";
    EXPECT_EQ(window.posts().back().data, Bytes{tag});
  }
  EXPECT_EQ(window.posts().size(), posted);
  RecordProperty("returned", returned);
}

TEST_F(WaitTest, LongTimeoutsWaitForTheFrame) {
  Open(1);
  for (uint32_t timeout : {0xFFFFFFFFu, 0x80000000u}) {
    SCOPED_TRACE(timeout);
    auto device = Answer(pty, 1, {0x00, 0x80, 0x02, 0x10, 0x01}, milliseconds(50));
    Outputs out;
    const uint8_t request = 0x33;
    auto start = Clock::now();
    EXPECT_EQ(KTSendDataAndWait(kPort, &request, 1, timeout, &out.command, out.data, &out.length),
              0);
    EXPECT_GE(MsSince(start), 45);
    EXPECT_EQ(out.Got(), Bytes{0x01});
  }
}

// Ten ports, each with a caller and a device of its own, all at once: every
// caller gets its own port's answers.
TEST(WaitOnTenPorts, CallersDoNotCross) {
  constexpr int kRounds = 25;
  std::vector<std::unique_ptr<PtyPair>> ptys;
  for (int port = 1; port <= 10; ++port) {
    ptys.push_back(std::make_unique<PtyPair>());
    if (!ptys.back()->ok()) GTEST_SKIP() << "no pseudo-terminal";
  }
  RecordingWindow window;
  std::vector<std::unique_ptr<PortCloser>> closers;
  for (int port = 1; port <= 10; ++port) {
    closers.push_back(std::make_unique<PortCloser>(port));
    ASSERT_EQ(OpenOnPty(*ptys[port - 1], &window, port, 16, 16, 1), 0);
  }
  std::vector<std::jthread> threads;
  for (int port = 1; port <= 10; ++port) {
    const PtyPair& pty = *ptys[port - 1];
    threads.emplace_back([&pty, port] {
      for (int round = 0; round < kRounds; ++round) {
        Bytes request = pty.Read(5);
        if (request.size() != 5) return;
        pty.Write({0x00, 0x81, 0x03, 0x00, 0x1A, static_cast<uint8_t>(port), request[4]});
      }
    });
    threads.emplace_back([port] {
      for (int round = 0; round < kRounds; ++round) {
        const uint8_t tag = static_cast<uint8_t>(round * 10 + port);
        Outputs out;
        ASSERT_EQ(KTSendCommandAndWait(port, 0x10, &tag, 1, 5000, &out.command, out.data,
                                       &out.length),
                  0);
        ASSERT_EQ(out.Got(), (Bytes{static_cast<uint8_t>(port), tag}));
      }
    });
  }
  threads.clear();  // joins
  EXPECT_TRUE(window.posts().empty());
  EXPECT_TRUE(window.alerts().empty());
}

}  // namespace
}  // namespace ktcomm::test
