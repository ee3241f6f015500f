// A worker slow to act on what its wait saw: a waiting caller may serve the
// device meanwhile and read what woke the worker. The worker must not take
// the empty device for one that hung up.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/fault_port.h"

namespace ktcomm::test {
namespace {

class SlowWorkerTest : public testing::Test, protected FaultyPort {
 protected:
  SlowWorkerTest() : FaultyPort(9) {}
};

TEST_F(SlowWorkerTest, AnswersACallerReadFirstAreNoHangUp) {
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  MapTo(pty.secondaryPath());
  // A pause after each write lets the answer come before the caller waits,
  // so that it wakes the worker, which then acts too late.
  faulty.PauseAfterWrites(1);
  faulty.SlowToActOnDevice(3);
  ASSERT_TRUE(OpenAndStart());

  std::atomic<bool> done{false};
  std::thread device([&] {  // echoes each 5-byte frame
    while (!done) {
      std::vector<uint8_t> frame = pty.Read(5, 50);
      if (frame.size() == 5) pty.Write(frame);
    }
  });
  int answered = 0;
  for (int i = 0; i < 200; ++i) {
    const uint8_t frame[] = {0x00, 0x80, 0x02, 0x10, static_cast<uint8_t>(i)};
    ASSERT_TRUE(BeginWait(true));
    SendForCall({frame, frame + sizeof frame});
    Answer answer = FinishWait(1000);
    if (answer.outcome == CommPort::WaitOutcome::kFrame &&
        answer.data == std::vector<uint8_t>{static_cast<uint8_t>(i)}) {
      ++answered;
    }
    // Now and then a pause, so that the worker goes back to its wait.
    if (i % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  done = true;
  device.join();
  port.Close();
  EXPECT_EQ(answered, 200);
  EXPECT_TRUE(window.alerts().empty()) << window.alerts().front();
}

}  // namespace
}  // namespace ktcomm::test
