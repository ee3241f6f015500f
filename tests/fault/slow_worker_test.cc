// A worker slow to act on what its wait saw: a waiting caller may serve the
// device meanwhile and read what woke the worker. The worker must not take
// the empty device for one that hung up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "net/network_platform.h"
#include "port/comm_port.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

// Lets a few milliseconds pass between the worker's wait seeing the device
// ready and the worker acting on it, and one between a write and the wait
// for its answer, so that the answer wakes the worker.
class SlowWorkerPlatform : public platform::PlatformWrapper {
 public:
  SlowWorkerPlatform() : PlatformWrapper(net::DefaultPlatform()) {}
  int Write(int fd, std::span<const uint8_t> from, size_t* put) override {
    int err = PlatformWrapper::Write(fd, from, put);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return err;
  }
  int WaitForWork(platform::WaitSet& set, bool deviceReady, platform::Work* which,
                  bool* hangup) override {
    int err = PlatformWrapper::WaitForWork(set, deviceReady, which, hangup);
    if (err == 0 && *which == platform::Work::kDevice) {
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    return err;
  }
};

TEST(SlowWorkerTest, AnswersACallerReadFirstAreNoHangUp) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  setenv("KTCOMM_COM9", pty.secondaryPath().c_str(), 1);
  SlowWorkerPlatform slow;
  RecordingWindow window;
  CommPort port{slow};
  ASSERT_TRUE(port.Open({.window = &window, .portNumber = 9}));
  ASSERT_TRUE(port.PrepareCommandBuffer(64));
  ASSERT_TRUE(port.StartWorker());

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
    ASSERT_TRUE(port.BeginWait(true));
    port.SendRaw(frame);
    uint8_t command = 0;
    uint8_t data[8];
    uint32_t length = sizeof data;
    if (port.FinishWait(1000, false, &command, data, &length) == CommPort::WaitOutcome::kFrame &&
        length == 1 && data[0] == static_cast<uint8_t>(i)) {
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
