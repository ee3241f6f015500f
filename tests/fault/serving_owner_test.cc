// A waiting call serving the device, in the orders a pty cannot promise:
// calls that overlap, an exception thrown while the call holds the device,
// a worker stopping while the call is busy with it, and a kernel that woke
// the worker instead of the call.
#include <gtest/gtest.h>

#include <chrono>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "tests/support/fault_port.h"

namespace ktcomm::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

class ServingOwnerTest : public testing::Test, protected FaultyPort {
 protected:
  ServingOwnerTest() : FaultyPort(10) {}
  void SetUp() override {
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    MapTo(pty.secondaryPath());
    ASSERT_TRUE(OpenAndStart());
    // A call takes the device only from a worker asleep in its wait.
    ASSERT_TRUE(WaitForCount(Call::kWaitForWork, 1));
  }
  void TearDown() override { port.Close(); }

  // Waits until calls of this kind have been made `count` times.
  bool WaitForCount(Call kind, int count) {
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (faulty.Count(kind) < count) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  bool WaitForServing(int count) { return WaitForCount(Call::kWaitDevice, count); }

  // A call of the test's own, beside the fixture's.
  struct OwnCall {
    explicit OwnCall(CommPort& port) : call(port, {false, &command, data, &length}) {}
    uint8_t command = 0;
    uint8_t data[8] = {};
    uint32_t length = sizeof data;
    WaitCall call;
  };
  struct Got {
    CommPort::WaitOutcome outcome = CommPort::WaitOutcome::kTimedOut;
    Bytes data;
  };
  static Got Finish(CommPort& port, OwnCall& own, uint32_t timeoutMs) {
    Got got;
    got.outcome = port.FinishWait(own.call, timeoutMs);
    got.data.assign(own.data, own.data + own.length);
    return got;
  }
};

// Two calls overlap, the later one serving the device: each gets a frame of
// its own, the earlier call the first, and neither waits out its time-out.
// (A frame read with the first one would wait behind it, and go with it.)
TEST_F(ServingOwnerTest, OverlappingCallsGetAFrameEach) {
  OwnCall first(port), second(port);
  ASSERT_TRUE(port.BeginWait(first.call, true));
  ASSERT_TRUE(port.BeginWait(second.call, true));
  auto start = Clock::now();
  Got secondGot, firstGot;
  std::thread serving([&] { secondGot = Finish(port, second, 3000); });
  ASSERT_TRUE(WaitForServing(1));
  std::thread waiting([&] { firstGot = Finish(port, first, 3000); });
  ASSERT_TRUE(pty.Write({0x00, 0x80, 0x02, 0x10, 0x01}));
  waiting.join();
  ASSERT_TRUE(pty.Write({0x00, 0x80, 0x02, 0x10, 0x02}));
  serving.join();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(firstGot.outcome, CommPort::WaitOutcome::kFrame);
  EXPECT_EQ(firstGot.data, Bytes{0x01});
  EXPECT_EQ(secondGot.outcome, CommPort::WaitOutcome::kFrame);
  EXPECT_EQ(secondGot.data, Bytes{0x02});
  EXPECT_TRUE(window.posts().empty());
}

// An exception thrown while a call serves the device gives the device back
// on its way out: the worker serves again, and the port closes.
TEST_F(ServingOwnerTest, AnExceptionWhileServingGivesTheDeviceBack) {
  faulty.ThrowNth(Call::kWaitDevice, 1);
  {
    OwnCall own(port);
    ASSERT_TRUE(port.BeginWait(own.call, true));
    EXPECT_THROW(Finish(port, own, 1000), std::bad_alloc);
  }
  // Posted by the worker: no call waits any more.
  ASSERT_TRUE(pty.Write({0x00, 0x80, 0x02, 0x10, 0x03}));
  ASSERT_TRUE(window.WaitPosts(1));
  EXPECT_EQ(window.posts()[0].data, Bytes{0x03});
  // And a call after it is answered.
  std::jthread device([&] {
    if (pty.Read(1).size() == 1) pty.Write({0x00, 0x80, 0x02, 0x10, 0x04});
  });
  ASSERT_TRUE(BeginWait(true));
  SendForCall({0x01});
  Answer answer = FinishWait(3000);
  EXPECT_EQ(answer.outcome, CommPort::WaitOutcome::kFrame);
  EXPECT_EQ(answer.data, Bytes{0x04});
}

// The worker's wait fails, and the port is closed while a serving call is
// in the middle of a write: the worker stops, and the device closes, only
// once the call has given the device back.
TEST_F(ServingOwnerTest, TheDeviceClosesOnlyAfterTheServingCallGaveItBack) {
  faulty.FailNth(Call::kWaitForWork, 1, EIO, true);
  faulty.PauseAfterWrites(300);
  std::optional<Answer> answer;
  std::thread caller([&] {
    ASSERT_TRUE(BeginWait(true));
    SendForCall({0x01, 0x02});
    answer = FinishWait(0xFFFFFFFF);
  });
  auto deadline = Clock::now() + std::chrono::seconds(5);
  auto written = [&] {
    for (const std::string& entry : faulty.Journal()) {
      if (entry == "write 2") return true;
    }
    return false;
  };
  while (!written() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  port.Close();  // while the call's write has yet to return
  caller.join();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->outcome, CommPort::WaitOutcome::kClosed);
  for (const std::string& entry : faulty.Journal()) EXPECT_NE(entry, "device closed under a write");
}

// Where the kernel wakes the worker, not the serving call, for the answer,
// the worker wakes the call, which gets its frame well within its time.
TEST_F(ServingOwnerTest, ACallTheKernelLeftAsleepIsWokenByTheWorker) {
  faulty.DeafCaller(true);
  std::jthread device([&] {
    if (pty.Read(1).size() == 1) pty.Write({0x00, 0x80, 0x02, 0x10, 0x05});
  });
  ASSERT_TRUE(BeginWait(true));
  SendForCall({0x01});
  Answer answer = FinishWait(5000);
  EXPECT_EQ(answer.outcome, CommPort::WaitOutcome::kFrame);
  EXPECT_EQ(answer.data, Bytes{0x05});
  EXPECT_TRUE(window.posts().empty());
}

}  // namespace
}  // namespace ktcomm::test
