// Setting up a port on a device behind ser2net when a step fails: the report
// names the same step as for a local device, and the connection (socket and
// stream events) goes with the failed open.
#include <gtest/gtest.h>

#include <cerrno>

#include "tests/support/fault_port.h"
#include "tests/support/ser2net_server.h"

namespace ktcomm::test {
namespace {

constexpr int kPort = 3;

class RemoteOpenFaultTest : public testing::TestWithParam<bool>, protected FaultyPort {
 protected:
  RemoteOpenFaultTest() : FaultyPort(kPort) {}

  void SetUp() override {
    if (Ser2netServer::Program().empty()) GTEST_SKIP() << "ser2net is not installed";
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    ASSERT_TRUE(server.Start(pty.secondaryPath(), GetParam()));
    MapTo(server.Url());
  }
  // The port goes before the server it is connected to.
  void TearDown() override { port.Close(); }

  Ser2netServer server;
};
INSTANTIATE_TEST_SUITE_P(Schemes, RemoteOpenFaultTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Rfc2217" : "Tcp";
                         });

TEST_P(RemoteOpenFaultTest, EachConfigurationStepFailingReleasesTheConnection) {
  ExpectEachReportedStepEndsTheOpen(ETIMEDOUT);
}

}  // namespace
}  // namespace ktcomm::test
