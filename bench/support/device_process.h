// Simulated devices in a child process of their own, so that the device's
// CPU time, threads and scheduling stay out of the process being measured.
// Owned by one thread of the benchmark.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/sim/sim_device.h"

namespace ktcomm::bench {

// Bytes the child hands to its first device with Device::SendBytes every
// periodUs. The device drops a chunk whole when its outbox is full, so a
// chunk of whole frames keeps the line full without ever splitting a frame.
struct Feed {
  std::vector<uint8_t> chunk;
  int periodUs = 0;  // 0: no feed
};

// A device that speaks first: on Prompt, the child waits the pause given and
// then hands the device a protocol-1 frame of command kStampCommand whose 8
// data bytes are the CLOCK_MONOTONIC nanoseconds read just before, low byte
// first. The pause lets the client be waiting before the frame leaves; the
// stamp lets it time the frame's way from the device to it.
inline constexpr uint8_t kStampCommand = 0x1A;
inline constexpr size_t kStampLength = 8;

inline uint64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// The stamp in a frame's data; 0 when the data is not one.
inline uint64_t StampOf(std::span<const uint8_t> data) {
  if (data.size() != kStampLength) return 0;
  uint64_t ns = 0;
  for (size_t i = 0; i < kStampLength; ++i) ns |= static_cast<uint64_t>(data[i]) << (8 * i);
  return ns;
}

class DeviceProcess {
 public:
  DeviceProcess() = default;
  DeviceProcess(const DeviceProcess&) = delete;
  DeviceProcess& operator=(const DeviceProcess&) = delete;
  ~DeviceProcess() { Stop(); }

  // Forks a child that starts one sim::Device per entry of `devices` and
  // waits until its parent stops it or exits. Call it while this process has
  // no other thread: the child carries on with only the forking one. Returns
  // false with *error set when the child did not report every device.
  bool Start(std::vector<sim::DeviceOptions> devices, std::string* error, Feed feed = {});
  // From the next Start, the child and its devices run at the priority the
  // library gives its workers instead of the forking thread's.
  void SetWorkerPriority(bool on) { workerPriority = on; }
  // Ends the child and waits for it. Idempotent.
  void Stop();

  // Has device `index` speak first after `pauseUs` (see kStampCommand).
  // False when the child is gone. Any one thread at a time.
  bool Prompt(size_t index, int pauseUs);

  // The child's process id, or -1.
  pid_t Pid() const { return pid; }
  // The secondary side of each device, in the order given to Start.
  const std::vector<std::string>& Paths() const { return paths; }

 private:
  pid_t pid = -1;
  int keepAlive = -1;  // the child runs until this pipe's write end closes
  int prompts = -1;    // our end of the socket pair Prompt writes to
  bool workerPriority = false;
  std::vector<std::string> paths;
};

}  // namespace ktcomm::bench
