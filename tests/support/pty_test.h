// The base of a test on a pseudo-terminal: skipped where none can be had;
// the window records what a port on it posts and reports. A port the test
// opens is closed (by a PortCloser of the test's) before these go.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/pty_pair.h"
#include "tests/support/pty_port.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {

class PtyTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  }

  PtyPair pty;
  RecordingWindow window;
};

}  // namespace ktcomm::test
