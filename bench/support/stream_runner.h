// The streaming benchmark's frame: several receivers take turns on one line
// that a device process keeps full, and each is measured over the same
// window: frames and megabytes a second, and this process's CPU time per
// megabyte. Driven by one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "api/ktcomm.h"
#include "bench/support/device_process.h"
#include "bench/support/raw_client.h"
#include "tools/sim/sim_device.h"

namespace ktcomm::bench {

// The streamed frame: command 0x1A with 32 data bytes, 36 bytes on the line
// (00 80 21 1A and the data).
inline constexpr size_t kStreamDataBytes = 32;
inline constexpr size_t kStreamFrameBytes = kStreamDataBytes + 4;

// What keeps a device's line full of the frame above: whole frames handed
// to the device far faster than a pty carries them. (The device's own
// timed stream queues at most 16 frames a wake, which caps it near 25 MB/s
// with the device's thread busy, below what the receivers take.)
Feed StreamingFeed();

// A receiver. Start begins receiving from the line at `path` on threads of
// its own and Stop ends that; the counters may be read at any time.
class StreamClient {
 public:
  virtual ~StreamClient() = default;
  virtual bool Start(const std::string& path) = 0;
  virtual void Stop() = 0;

  std::atomic<uint64_t> frames{0};
  std::atomic<uint64_t> bad{0};  // frames of another length
};

// A KTWindow that counts what is posted to it, on the port's worker.
struct CountingWindow {
  KTWindow window;  // first, so that the callback finds the rest
  StreamClient* client;

  explicit CountingWindow(StreamClient* client);
};

// The reference receiver: RawClient::Stream on a thread at the workers'
// priority.
class RawStreamClient : public StreamClient {
 public:
  ~RawStreamClient() override { Stop(); }
  bool Start(const std::string& path) override;
  void Stop() override;

 private:
  RawClient client;
  int stopEvent = -1;
  std::thread thread;
};

struct StreamFigures {
  double framesPerSecond = 0;
  double megabytesPerSecond = 0;
  double cpuSecondsPerMegabyte = 0;
  uint64_t bad = 0;
  bool ok = false;  // every round started
};

// Runs each client in turn, `rounds` times over, each for a warm-up and then
// `seconds` of measurement; figures are the medians over the rounds.
std::vector<StreamFigures> RunStream(const std::string& path,
                                     std::span<StreamClient* const> clients, int rounds,
                                     double seconds);

}  // namespace ktcomm::bench
