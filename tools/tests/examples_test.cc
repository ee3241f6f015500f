// The examples and the demo, run as a user would run them.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/sim/sim_device.h"
#include "tools/tests/child_process.h"

namespace ktcomm::sim {
namespace {

using test_support::ChildProcess;
using test_support::Outcome;
using test_support::RunToEnd;

constexpr int kDeadlineMs = 10000;

#define START_OR_SKIP(device, options)                            \
  if (int err = (device).Start(options)) {                        \
    GTEST_SKIP() << "no pseudo-terminal: " << std::strerror(err); \
  }

// The C example's loop gets the answer to its command and then whatever
// the device sends by itself, each through the pipe its post writes to.
TEST(ExamplesTest, CEventLoopReceivesAnswerAndUnsolicitedFrames) {
  Device device;
  START_OR_SKIP(device, {});
  ChildProcess example({KTCOMM_C_EXAMPLE_PATH, "3"}, {"KTCOMM_COM1=" + device.Path()});
  ASSERT_TRUE(example.WaitForOutput("COM1 cmd=10 len=1 data=05\n", kDeadlineMs)) << example.Err();
  device.Send({1, 0x24, {0x01}});
  device.Send({1, 0x1A, {0xAA, 0xBB}});
  ASSERT_TRUE(example.Finish(kDeadlineMs));
  EXPECT_EQ(example.ExitCode(), 0) << example.Err();
  EXPECT_EQ(example.Out(),
            "COM1 cmd=10 len=1 data=05\n"
            "COM1 cmd=24 len=1 data=01\n"
            "COM1 cmd=1a len=2 data=aa bb\n");
}

TEST(ExamplesTest, CppCommandsPrintsEachAnswer) {
  DeviceOptions options;
  std::string error;
  ASSERT_TRUE(options.replies.AddRule("3c=", &error));
  Device device;
  START_OR_SKIP(device, options);
  std::vector<std::string> env = {"KTCOMM_COM1=" + device.Path()};
  Outcome run = RunToEnd({KTCOMM_CPP_EXAMPLE_PATH}, env, kDeadlineMs);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "10 05 -> 10 05\n1a 01 02 -> 1a 01 02\n05 -> 05\n");

  run = RunToEnd({KTCOMM_CPP_EXAMPLE_PATH, "3c", "24:07"}, env, kDeadlineMs);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "3c -> no answer\n24 07 -> 24 07\n");
}

TEST(ExamplesTest, ExamplesSayWhenThePortDoesNotOpen) {
  for (const char* path : {KTCOMM_C_EXAMPLE_PATH, KTCOMM_CPP_EXAMPLE_PATH}) {
    Outcome run = RunToEnd({path}, {"KTCOMM_COM1=/nonexistent/tty"}, kDeadlineMs);
    EXPECT_EQ(run.exitCode, 1) << path;
    EXPECT_NE(run.err.find("KTOpenPort failed with 3"), std::string::npos) << run.err;
  }
  Outcome run = RunToEnd({KTCOMM_C_EXAMPLE_PATH}, {"KTCOMM_COM1=/nonexistent/tty"}, kDeadlineMs);
  EXPECT_EQ(run.err, "c_event_loop: KTOpenPort failed with 3: /nonexistent/tty: no such device\n");
}

TEST(ExamplesTest, DemoRunsItsCourseAndShowsTheLog) {
  Outcome run = RunToEnd({KTCOMM_DEMO_PATH}, {}, kDeadlineMs);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  for (const char* part :
       {"KTOpenPort = 0", "answer 1a de ad be ef", "window got COM1 24 02",
        "window got COM1 1a 10 20 30", "KTWaitForMessage(200 ms) = -1", "KTClosePort = 1",
        "Traffic log", " COM1 opened", "Writing: 00 80 02 10 05 ", " COM1 closed"}) {
    EXPECT_NE(run.out.find(part), std::string::npos) << part << "\n" << run.out;
  }
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace ktcomm::sim
