// What the tests of the ktcomm tool share: a simulated device to run it
// against, started or the test skipped, and the deadline every run gets.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "tools/sim/sim_device.h"
#include "tools/tests/child_process.h"

namespace ktcomm::sim {

using test_support::ChildProcess;
using test_support::Cli;
using test_support::Outcome;
using test_support::RunToEnd;

inline constexpr int kDeadlineMs = 10000;

class CliFixture : public ::testing::Test {
 protected:
  // Skips the test where no pseudo-terminal can be had.
  void StartDevice(Device& which, DeviceOptions options = {}) {
    if (int err = which.Start(std::move(options))) {
      GTEST_SKIP() << "no pseudo-terminal: " << std::strerror(err);
    }
  }
  void StartDevice(DeviceOptions options = {}) { StartDevice(device, std::move(options)); }

  Device device;
};

}  // namespace ktcomm::sim
