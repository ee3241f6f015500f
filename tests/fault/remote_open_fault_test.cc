// Setting up a port on a device behind ser2net when a step fails: the report
// names the same step as for a local device, and the connection (socket and
// stream events) goes with the failed open.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "port/comm_port.h"
#include "tests/support/faulty_platform.h"
#include "tests/support/process_counts.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_window.h"
#include "tests/support/ser2net_server.h"

namespace ktcomm::test {
namespace {

constexpr int kPort = 3;

class RemoteOpenFaultTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (Ser2netServer::Program().empty()) GTEST_SKIP() << "ser2net is not installed";
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    ASSERT_TRUE(server.Start(pty.secondaryPath(), GetParam()));
    setenv("KTCOMM_COM3", server.Url().c_str(), 1);
    SettleRuntimeThreads();
    fdsBefore = OpenFdCount();
    threadsBefore = ThreadIds();
  }

  int Open() { return port.Open({.window = &window, .portNumber = kPort}); }

  void ExpectNothingLeft() {
    EXPECT_EQ(OpenFdCount(), fdsBefore);
    EXPECT_TRUE(WaitThreadsSince(threadsBefore, 0));
  }

  PtyPair pty;
  Ser2netServer server;
  FaultyPlatform faulty;
  RecordingWindow window;
  CommPort port{faulty};
  int fdsBefore = 0;
  std::set<int> threadsBefore;
};
INSTANTIATE_TEST_SUITE_P(Schemes, RemoteOpenFaultTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Rfc2217" : "Tcp";
                         });

TEST_P(RemoteOpenFaultTest, EachConfigurationStepFailingReleasesTheConnection) {
  struct Case {
    Call call;
    const char* step;
    int err;
  };
  for (Case c : {Case{Call::kSetTimeouts, "SetCommTimeouts()", EIO},
                 Case{Call::kGetLine, "GetCommState()", EACCES},
                 Case{Call::kBuildLine, "BuildCommDCB()", EINVAL},
                 Case{Call::kSetLine, "SetCommState()", ETIMEDOUT}}) {
    SCOPED_TRACE(c.step);
    window.Clear();
    faulty.FailNth(c.call, 1, c.err);
    EXPECT_EQ(Open(), 0);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(window.alerts(),
              std::vector<std::string>{ErrorAlert(c.step, std::strerror(c.err), kPort)});
    ExpectNothingLeft();
  }
  window.Clear();
  ASSERT_TRUE(Open() && port.PrepareCommandBuffer(64) && port.StartWorker());
  port.Close();
  EXPECT_TRUE(window.alerts().empty());
  ExpectNothingLeft();
}

}  // namespace
}  // namespace ktcomm::test
