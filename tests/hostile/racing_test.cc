// Threads that race on ports: a callback sending on a port another thread
// keeps reopening, two senders of command frames, two closers, a close
// while another thread waits without limit. Devices are pseudo-terminals
// driven by the test. No crash, no mixed frames, no hang.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>

#include <atomic>
#include <cstdio>
#include <latch>
#include <thread>
#include <vector>

#include "tests/hostile/scenario.h"
#include "tests/support/pty_pair.h"

namespace ktcomm::test {
namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kFrame = {0x00, 0x80, 0x01, 0x10};  // protocol 1, command 0x10, no data

// Counts frames and alerts; on each frame of port 2 sends a command on
// port 1, as the header allows a callback to.
struct RelayWindow : KTWindow {
  RelayWindow() : KTWindow{&RelayWindow::OnPost, &RelayWindow::OnAlert} {}
  std::atomic<long> posts{0};
  std::atomic<long> relayed{0};  // sends that found port 1 open
  std::atomic<long> alerts{0};

  static void OnPost(KTWindow* window, uint32_t, uint32_t, uintptr_t) {
    auto* self = static_cast<RelayWindow*>(window);
    self->posts += 1;
    const unsigned char data[1] = {0x42};
    if (KTSendCommand(1, 0x11, 1, data) == 0) self->relayed += 1;
  }
  static void OnAlert(KTWindow* window, const char*, const char*) {
    static_cast<RelayWindow*>(window)->alerts += 1;
  }
};

// Reads everything the device side of a pty gets until told to stop; a
// pty whose port is closed reads nothing (EIO) and is polled again later.
class PtyReader {
 public:
  explicit PtyReader(const PtyPair& pty) : thread([this, &pty] { Run(pty.fd()); }) {}
  ~PtyReader() { Stop(); }
  Bytes Stop() {
    stop = true;
    if (thread.joinable()) thread.join();
    return got;
  }
  // Bytes read so far.
  size_t count() const { return total.load(); }

 private:
  void Run(int fd) {
    while (!stop) {
      pollfd pfd{fd, POLLIN, 0};
      if (::poll(&pfd, 1, 10) <= 0) continue;
      uint8_t buffer[4096];
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        got.insert(got.end(), buffer, buffer + n);
        total += static_cast<size_t>(n);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // no secondary open now
      }
    }
  }

  std::atomic<bool> stop{false};
  std::atomic<size_t> total{0};
  Bytes got;  // reader thread only, until Stop has joined it
  std::thread thread;
};

TEST(RacingTest, CallbackSendsOnAPortThatIsBeingReopened) {
  RunScenario(20000, [](Steps& steps) {
    PtyPair target, source;
    if (!target.ok() || !source.ok()) GTEST_SKIP() << "no pseudo-terminal";
    MapPort(1, target.secondaryPath());
    MapPort(2, source.secondaryPath());
    RelayWindow relay;
    RelayWindow quiet;  // port 1's own window: counts its alerts only
    ASSERT_EQ(OpenPort(&relay, 2, 64), 0);

    // The device on port 2 sends frames back to back for as long as the test runs.
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
      fcntl(source.fd(), F_SETFL, fcntl(source.fd(), F_GETFL) | O_NONBLOCK);
      Bytes burst;
      for (int i = 0; i < 64; ++i) burst.insert(burst.end(), kFrame.begin(), kFrame.end());
      while (!stop) {
        if (::write(source.fd(), burst.data(), burst.size()) < 0) {
          pollfd pfd{source.fd(), POLLOUT, 0};
          ::poll(&pfd, 1, 10);
        }
      }
    });
    PtyReader drain(target);

    steps.Now("reopening port 1 while port 2's callback sends on it");
    long cycles = 0;
    auto start = Clock::now();
    while (MsSince(start) < 2000) {
      EXPECT_EQ(OpenPort(&quiet, 1, 64), 0);
      EXPECT_EQ(KTClosePort(1), 1);
      cycles += 1;
    }
    stop = true;
    feeder.join();
    drain.Stop();
    steps.Now("closing port 2");
    EXPECT_EQ(KTClosePort(2), 1);
    EXPECT_GT(cycles, 10);
    EXPECT_GT(relay.posts.load(), 100) << "frames posted on port 2";
    EXPECT_GT(relay.relayed.load(), 0) << "callback sends that found port 1 open";
  });
}

// A report made on an application thread (here a send too big for the
// transmit buffer) names the port and goes to a window while another thread
// closes and reopens that port with another window.
TEST(RacingTest, ReportWhileAnotherThreadReopensThePort) {
  RunScenario(20000, [](Steps& steps) {
    PtyPair pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    MapPort(1, pty.secondaryPath());
    RelayWindow first, second;
    ASSERT_EQ(OpenPort(&first, 1, 16), 0);

    std::atomic<bool> stop{false};
    std::thread sender([&] {
      const Bytes tooBig(64, 0x55);
      while (!stop) KTSendData(1, tooBig.data(), static_cast<uint32_t>(tooBig.size()));
    });
    steps.Now("reopening port 1 while another thread's sends are reported");
    auto start = Clock::now();
    for (int cycle = 0; MsSince(start) < 1000; ++cycle) {
      EXPECT_EQ(KTClosePort(1), 1);
      EXPECT_EQ(OpenPort(cycle % 2 == 0 ? &second : &first, 1, 16), 0);
    }
    stop = true;
    sender.join();
    EXPECT_EQ(KTClosePort(1), 1);
    EXPECT_GT(first.alerts.load() + second.alerts.load(), 0);
  });
}

TEST(RacingTest, TwoSendersNeverMixTheirFrames) {
  RunScenario(20000, [](Steps& steps) {
    PtyPair pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    ASSERT_EQ(OpenOnPty(pty, nullptr, 1, 64, 256, 1), 0);
    PtyReader reader(pty);

    // 00 80 31 <command> <48 bytes>, one command and one data byte per
    // sender; long, so that building one frame takes a while.
    auto frameOf = [](uint8_t command, uint8_t fill) {
      Bytes frame = {0x00, 0x80, 49, command};
      frame.insert(frame.end(), 48, fill);
      return frame;
    };
    const Bytes frames[2] = {frameOf(0x21, 0xAA), frameOf(0x22, 0xBB)};
    std::latch go(2);
    auto send = [&](int who) {
      go.arrive_and_wait();
      for (int i = 0; i < 3000; ++i) {
        EXPECT_EQ(KTSendCommand(1, frames[who][3], 48, frames[who].data() + 4), 0);
      }
    };
    steps.Now("two threads sending command frames on one port");
    std::thread first(send, 0), second(send, 1);
    first.join();
    second.join();
    // The last frame queued is written; then the line goes quiet.
    steps.Now("reading what reached the device");
    size_t seen = 0;
    auto quietSince = Clock::now();
    auto reading = Clock::now();
    while (MsSince(quietSince) < 200 && MsSince(reading) < 5000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // polling for output
      size_t now = reader.count();
      if (now != seen) quietSince = Clock::now();
      seen = now;
    }
    Bytes got = reader.Stop();
    EXPECT_EQ(KTClosePort(1), 1);

    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.size() % frames[0].size(), 0u) << got.size() << " bytes";
    size_t mixed = 0, whole = 0;
    for (size_t at = 0; at + frames[0].size() <= got.size(); at += frames[0].size()) {
      Bytes frame(got.begin() + at, got.begin() + at + frames[0].size());
      (frame == frames[0] || frame == frames[1] ? whole : mixed) += 1;
    }
    EXPECT_EQ(mixed, 0u) << "of " << mixed + whole << " frames";
  });
}

TEST(RacingTest, TwoClosersBothReturnOnce) {
  RunScenario(20000, [](Steps& steps) {
    PtyPair pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    MapPort(1, pty.secondaryPath());
    for (int round = 0; round < 20; ++round) {
      steps.Now("opening for two closers");
      ASSERT_EQ(OpenPort(nullptr, 1, 64), 0);
      std::latch go(2);
      std::atomic<int> results[2] = {-1, -1};
      std::atomic<long> ms[2] = {0, 0};
      auto close = [&](int who) {
        go.arrive_and_wait();
        ms[who] = ElapsedMs([&] { results[who] = KTClosePort(1); });
      };
      steps.Now("two threads closing one port at once");
      std::thread first(close, 0), second(close, 1);
      first.join();
      second.join();
      EXPECT_EQ(results[0].load(), 1) << "round " << round;
      EXPECT_EQ(results[1].load(), 1) << "round " << round;
      EXPECT_LT(std::max(ms[0].load(), ms[1].load()), 1000) << "round " << round;
      if (testing::Test::HasFailure()) return;
    }
  });
}

TEST(RacingTest, CloseEndsAnEndlessWait) {
  RunScenario(20000, [](Steps& steps) {
    PtyPair pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    ASSERT_EQ(OpenOnPty(pty, nullptr, 1, 64, 256, 1), 0);

    std::atomic<bool> entering{false}, returned{false};
    std::atomic<int> result{-100};
    std::thread waiter([&] {
      unsigned char command = 0, data[64];
      uint32_t length = sizeof data;
      entering = true;
      result = KTWaitForMessage(1, 0xFFFFFFFF, &command, data, &length);
      returned = true;
    });
    while (!entering) std::this_thread::yield();
    // The wait may not have begun yet; either way it must end with the port.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    steps.Now("KTClosePort while another thread waits without limit");
    EXPECT_EQ(KTClosePort(1), 1);
    auto closed = Clock::now();
    steps.Now("waiting for the endless wait to end after the close");
    while (!returned && MsSince(closed) < 1000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));  // polling the waiter
    }
    if (!returned) {
      ADD_FAILURE() << "KTWaitForMessage(0xFFFFFFFF) did not return within 1 s of the close";
      std::fflush(nullptr);
      std::_Exit(1);  // the waiter cannot be joined
    }
    waiter.join();
    EXPECT_EQ(result.load(), 5);
  });
}

// An alert that closes the port, for an error a waiting call met while it
// served the device itself (an overflow of the answer): the close must not
// wait for the call that shows the alert.
TEST(RacingTest, AlertThatClosesThePortDuringAWait) {
  RunScenario(20000, [](Steps& steps) {
    PtyPair pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    MapPort(1, pty.secondaryPath());
    static std::atomic<int> alerts{0};
    KTWindow window{nullptr, [](KTWindow*, const char*, const char*) {
                      alerts += 1;
                      KTClosePort(1);
                    }};
    for (int round = 0; round < 10; ++round) {
      steps.Now("opening with a receive buffer of 2 bytes");
      ASSERT_EQ(KTOpenPort(&window, 1, 64, 2, 115200, 'N', 8, 1, 1), 0);
      std::thread device([&] {
        if (pty.Read(5).size() == 5) pty.Write({0x00, 0x81, 0x06, 0x00, 0x1A, 1, 2, 3, 4, 5});
      });
      steps.Now("a waiting call whose answer overflows, the alert closing the port");
      unsigned char command = 0, data[8];
      uint32_t length = sizeof data;
      const unsigned char request[] = {0x05};
      int result = -100;
      long ms = ElapsedMs([&] {
        result = KTSendCommandAndWait(1, 0x10, request, 1, 3000, &command, data, &length);
      });
      device.join();
      EXPECT_EQ(result, 5) << "round " << round;
      EXPECT_LT(ms, 2000) << "round " << round;
      EXPECT_EQ(alerts.load(), round + 1);
      if (testing::Test::HasFailure()) return;
    }
  });
}

}  // namespace
}  // namespace ktcomm::test
