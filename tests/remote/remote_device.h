// Remote tests: a pty as the device behind a ser2net of the test's own, and
// the port opened through the exports on tcp:// or rfc2217://. The test
// parameter says which: true for RFC 2217.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "api/ktcomm.h"
#include "tests/support/pty_pair.h"
#include "tests/support/pty_port.h"
#include "tests/support/recording_window.h"
#include "tests/support/ser2net_server.h"

namespace ktcomm::test {

using Bytes = std::vector<uint8_t>;

inline std::string SchemeName(const testing::TestParamInfo<bool>& info) {
  return info.param ? "Rfc2217" : "Tcp";
}

class RemoteTest : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (Ser2netServer::Program().empty()) GTEST_SKIP() << "ser2net is not installed";
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    ASSERT_TRUE(server.Start(pty.secondaryPath(), GetParam())) << "ser2net did not start";
  }
  // The port table is shared by every test in the binary.
  void TearDown() override {
    for (int port = 1; port <= 10; ++port) KTClosePort(port);
  }

  int Open(int port, int txSize, int rxSize, int protocol, int baud = 115200, int parity = 'N',
           int dataBits = 8, int stopBits = 1) {
    MapPort(port, server.Url());
    return KTOpenPort(&window, port, txSize, rxSize, baud, parity, dataBits, stopBits, protocol);
  }

  // A byte from the application reaches the device: the server has the
  // device open and serves it. A raw open returns before the server has
  // taken the connection, so a device speaking first needs this.
  void Connected(int port) {
    const uint8_t ping = 0x7E;
    ASSERT_EQ(KTSendData(port, &ping, 1), 0);
    ASSERT_EQ(pty.Read(1), Bytes{ping});
  }

  PtyPair pty;
  Ser2netServer server;
  RecordingWindow window;
};

}  // namespace ktcomm::test
