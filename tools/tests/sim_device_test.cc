// The simulator against a client that opens its pseudo-terminal directly,
// without the library in between.
#include "tools/sim/sim_device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace ktcomm::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kDeadlineMs = 3000;

class Client {
 public:
  explicit Client(const std::string& path)
      : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
  ~Client() { Close(); }
  bool IsOpen() const { return fd >= 0; }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  void Write(const Bytes& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }

  // Reads until `count` frames have arrived or the deadline passes.
  std::vector<Frame> ReadFrames(size_t count, Bytes* raw = nullptr) {
    std::vector<Frame> frames;
    auto deadline = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (frames.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p = {fd, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      uint8_t bytes[256];
      ssize_t got = read(fd, bytes, sizeof bytes);
      if (got <= 0) break;
      if (raw) raw->insert(raw->end(), bytes, bytes + got);
      for (Frame& frame : parser.Feed({bytes, size_t(got)})) frames.push_back(std::move(frame));
    }
    return frames;
  }

  FrameParser parser;

 private:
  int fd;
};

// Starts a device, or skips the test where no pseudo-terminal can be had.
#define START_OR_SKIP(device, options)                            \
  if (int err = (device).Start(options)) {                        \
    GTEST_SKIP() << "no pseudo-terminal: " << std::strerror(err); \
  }

bool WaitReadable(int fd, int timeoutMs) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1;
}

TEST(DeviceTest, AnswersFromItsReplyTable) {
  DeviceOptions options;
  std::string error;
  ASSERT_TRUE(options.replies.AddRule("3c=", &error));
  ASSERT_TRUE(options.replies.AddRule("24=2401", &error));
  Device device;
  START_OR_SKIP(device, options);
  Client client(device.Path());
  ASSERT_TRUE(client.IsOpen());

  // The silent command goes first: had it been answered, that answer would
  // be the first frame read.
  client.Write(Encode({1, 0x3C, {}}));
  client.Write(Encode({1, 0x10, {0x05}}));
  client.Write(Encode({1, 0x24, {}}));
  std::vector<Frame> frames = client.ReadFrames(2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], (Frame{1, 0x10, {0x05}}));
  EXPECT_EQ(frames[1], (Frame{1, 0x24, {0x01}}));

  ASSERT_TRUE(device.WaitForReceived(3, kDeadlineMs));
  std::vector<Frame> received = device.Received();
  EXPECT_EQ(received[0], (Frame{1, 0x3C, {}}));
  EXPECT_EQ(received[2], (Frame{1, 0x24, {}}));
}

TEST(DeviceTest, SpeaksProtocol2WithItsTrailer) {
  DeviceOptions options;
  options.protocol = 2;
  Device device;
  START_OR_SKIP(device, options);
  Client client(device.Path());
  client.Write(Encode({1, 0x1A, {0xAA, 0xBB}}));
  Bytes raw;
  ASSERT_EQ(client.ReadFrames(1, &raw).size(), 1u);
  // The trailer comes with the frame, not after a further one.
  if (raw.size() < 8) client.ReadFrames(1, &raw);
  EXPECT_EQ(raw, (Bytes{0x1B, 0xF3, 0x03, 0x00, 0x1A, 0xAA, 0xBB, 0x0D}));
}

TEST(DeviceTest, StreamsNumberedFramesAndSendsOnRequest) {
  DeviceOptions options;
  options.streamRate = 200;
  Device device;
  START_OR_SKIP(device, options);
  Client client(device.Path());
  std::vector<Frame> frames = client.ReadFrames(5);
  ASSERT_GE(frames.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(frames[i], (Frame{1, 0x1A, {uint8_t(i)}}));

  device.Send({2, 0x42, {0x01}});
  bool seen = false;
  for (int i = 0; i < 100 && !seen; ++i) {
    for (const Frame& frame : client.ReadFrames(1)) seen |= frame == Frame{2, 0x42, {0x01}};
  }
  EXPECT_TRUE(seen);
}

// Noise rides along, but no streamed frame is lost to it.
TEST(DeviceTest, NoiseLeavesEveryGoodFrameIntact) {
  DeviceOptions options;
  options.streamRate = 1000;
  options.streamCommand = 0x24;
  options.noise = true;
  options.seed = 7;
  Device device;
  START_OR_SKIP(device, options);
  Client client(device.Path());
  std::vector<Frame> good;
  size_t junk = 0;
  while (good.size() < 40) {
    std::vector<Frame> frames = client.ReadFrames(1);
    ASSERT_FALSE(frames.empty()) << "stream stalled after " << good.size();
    for (const Frame& frame : frames) {
      if (frame.command == 0x24) {
        good.push_back(frame);
      } else {
        ++junk;
      }
    }
  }
  for (size_t i = 0; i < good.size(); ++i) EXPECT_EQ(good[i].data, Bytes{uint8_t(i)});
  EXPECT_GT(junk + client.parser.Rejected(), 0u);
}

TEST(DeviceTest, EndsWhenItsClientHangsUpIfAsked) {
  DeviceOptions options;
  options.endOnHangup = true;
  Device device;
  START_OR_SKIP(device, options);
  // Nobody has opened the line yet, which must not count as a hang-up.
  EXPECT_FALSE(WaitReadable(device.EndedFd(), 50));

  Client client(device.Path());
  client.Write(Encode({1, 0x05, {}}));
  ASSERT_EQ(client.ReadFrames(1).size(), 1u);
  client.Close();
  ASSERT_TRUE(WaitReadable(device.EndedFd(), kDeadlineMs));
  EXPECT_TRUE(device.HungUp());
}

TEST(DeviceTest, OutlivesItsClientsByDefault) {
  Device device;
  START_OR_SKIP(device, {});
  for (int round = 0; round < 2; ++round) {
    Client client(device.Path());
    client.Write(Encode({1, 0x05, {}}));
    ASSERT_EQ(client.ReadFrames(1).size(), 1u) << "round " << round;
  }
  EXPECT_FALSE(device.HungUp());
  device.Stop();
  device.Stop();
  EXPECT_EQ(device.EndedFd(), -1);
}

TEST(DeviceTest, RefusesBadOptionsWithoutLeaving) {
  Device device;
  DeviceOptions options;
  options.protocol = 3;
  EXPECT_EQ(device.Start(options), EINVAL);
  options.protocol = 1;
  options.streamRate = -1;
  EXPECT_EQ(device.Start(options), EINVAL);
  EXPECT_TRUE(device.Path().empty());
}

}  // namespace
}  // namespace ktcomm::sim
