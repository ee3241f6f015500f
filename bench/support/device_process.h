// Simulated devices in a child process of their own, so that the device's
// CPU time, threads and scheduling stay out of the process being measured.
// Owned by one thread of the benchmark.
#pragma once

#include <sys/types.h>

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
  // Ends the child and waits for it. Idempotent.
  void Stop();

  // The secondary side of each device, in the order given to Start.
  const std::vector<std::string>& Paths() const { return paths; }

 private:
  pid_t pid = -1;
  int keepAlive = -1;  // the child runs until this pipe's write end closes
  std::vector<std::string> paths;
};

}  // namespace ktcomm::bench
