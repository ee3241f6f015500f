// Line settings through ser2net: with RFC 2217 they reach the device (the
// pty shows the rate, the stop bits, the parity kind and the handshake a pty
// keeps) or fail as a local device's would; raw, they are taken as given.
// Opens that cannot reach a server fail with 3, within the connect time.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "tests/remote/remote_device.h"

namespace ktcomm::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kKeep = 0xFFFFFFFF;

long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The termios the device side sees. A pty forces 8 data bits and no parity
// check, but keeps the rate, CSTOPB, PARODD, CMSPAR and CRTSCTS.
termios DeviceLine(const PtyPair& pty) {
  termios tio{};
  tcgetattr(pty.fd(), &tio);
  return tio;
}

class Rfc2217LineTest : public RemoteTest {};
INSTANTIATE_TEST_SUITE_P(Rfc2217, Rfc2217LineTest, testing::Values(true), SchemeName);

TEST_P(Rfc2217LineTest, OpenSetsTheDevicesLine) {
  struct Case {
    int baud;
    int parity;
    int stopBits;
    speed_t speed;
    tcflag_t parityFlags;  // of PARODD | CMSPAR
  };
  for (Case c : {Case{9600, 'O', 2, B9600, PARODD}, Case{19200, 'M', 1, B19200, PARODD | CMSPAR},
                 Case{300, 'S', 2, B300, CMSPAR}, Case{115200, 'E', 1, B115200, 0}}) {
    SCOPED_TRACE(c.baud);
    ASSERT_EQ(Open(1, 16, 16, 1, c.baud, c.parity, 8, c.stopBits), 0);
    termios tio = DeviceLine(pty);
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.stopBits == 2);
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR), c.parityFlags);
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    Connected(1);
    EXPECT_EQ(KTClosePort(1), 1);
  }
  EXPECT_TRUE(window.alerts().empty());
}

// The handshake is a flow-control request the server confirms; a kept RTS
// mode keeps it. DTR and RTS levels go to the server too, but a pty has no
// modem lines, so ser2net leaves them unanswered: refused after the answer
// time, as a local pty refuses them. RTS toggling has no request at all.
TEST_P(Rfc2217LineTest, FlowControlAsOnALocalPty) {
  ASSERT_EQ(Open(2, 16, 16, 1), 0);
  EXPECT_NE(KTSetFlowControl(2, kKeep, 2), 0);
  EXPECT_TRUE(DeviceLine(pty).c_cflag & CRTSCTS);
  EXPECT_NE(KTSetFlowControl(2, kKeep, kKeep), 0);
  EXPECT_TRUE(DeviceLine(pty).c_cflag & CRTSCTS);

  auto start = Clock::now();
  EXPECT_EQ(KTSetFlowControl(2, kKeep, 3), 0);
  EXPECT_LT(MsSince(start), 500);
  EXPECT_EQ(KTSetFlowControl(2, 2, kKeep), 0);  // no DTR handshake anywhere

  start = Clock::now();
  EXPECT_EQ(KTSetFlowControl(2, 1, kKeep), 0);
  long elapsed = MsSince(start);
  EXPECT_GE(elapsed, 2900);
  EXPECT_LT(elapsed, 6000);

  // The port still works, and a later setting is confirmed again.
  EXPECT_NE(KTSetFlowControl(2, kKeep, 2), 0);
  Connected(2);
  EXPECT_TRUE(window.alerts().empty());
}

// Raw, any line is taken as given and the device keeps ser2net's own.
class TcpLineTest : public RemoteTest {};
INSTANTIATE_TEST_SUITE_P(Tcp, TcpLineTest, testing::Values(false), SchemeName);

TEST_P(TcpLineTest, LineSettingsAreAcceptedAsGiven) {
  ASSERT_EQ(Open(3, 16, 16, 1, 300, 'S', 5, 2), 0);
  Connected(3);
  termios tio = DeviceLine(pty);
  EXPECT_EQ(cfgetospeed(&tio), B115200);
  EXPECT_FALSE(tio.c_cflag & CSTOPB);
  EXPECT_NE(KTSetFlowControl(3, 1, 2), 0);
  EXPECT_NE(KTSetFlowControl(3, 0, 3), 0);
  EXPECT_EQ(KTSetFlowControl(3, 2, kKeep), 0);  // not a mode at all
  EXPECT_FALSE(DeviceLine(pty).c_cflag & CRTSCTS);
  EXPECT_TRUE(window.alerts().empty());
}

// An RFC 2217 open of a raw server gets no answer to its negotiation.
TEST_P(TcpLineTest, Rfc2217OpenOfARawServerTimesOut) {
  MapPort(4, "rfc2217://127.0.0.1:" + std::to_string(server.Port()));
  auto start = Clock::now();
  EXPECT_EQ(KTOpenPort(&window, 4, 16, 16, 9600, 'N', 8, 1, 1), 3);
  long elapsed = MsSince(start);
  EXPECT_GE(elapsed, 2900);
  EXPECT_LT(elapsed, 6000);
  EXPECT_TRUE(window.alerts().empty());
}

// A listener that never accepts, its one-place queue already taken: a
// connect to it gets no answer at all.
class Unanswering {
 public:
  Unanswering() {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        listen(listener, 0) != 0) {
      return;
    }
    port = ntohs(address.sin_port);
    filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(filler, reinterpret_cast<sockaddr*>(&address), length) != 0) port = 0;
  }
  ~Unanswering() {
    ::close(filler);
    ::close(listener);
  }
  int port = 0;

 private:
  int listener = -1;
  int filler = -1;
};

TEST(RemoteOpenTest, ServersThatCannotBeReachedFailWithinTheConnectTime) {
  RecordingWindow window;
  Unanswering silent;
  ASSERT_NE(silent.port, 0);
  // Nobody listens on a port that a closed listener had.
  int closedPort = 0;
  {
    Unanswering gone;
    closedPort = gone.port;
  }
  struct Case {
    std::string device;
    long minMs, maxMs;
  };
  const std::string silentPort = std::to_string(silent.port);
  const Case cases[] = {
      {"tcp://127.0.0.1:" + std::to_string(closedPort), 0, 1000},
      {"rfc2217://localhost:" + std::to_string(closedPort), 0, 1000},
      {"tcp://127.0.0.1:" + silentPort, 2900, 6000},
      {"RFC2217://127.0.0.1:" + silentPort, 2900, 6000},
      {"tcp://::1:" + silentPort, 0, 1000},  // malformed: IPv6 without brackets
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    MapPort(5, c.device);
    auto start = Clock::now();
    EXPECT_EQ(KTOpenPort(&window, 5, 16, 16, 9600, 'N', 8, 1, 1), 3);
    long elapsed = MsSince(start);
    EXPECT_GE(elapsed, c.minMs);
    EXPECT_LT(elapsed, c.maxMs);
  }
  EXPECT_TRUE(window.alerts().empty());
  KTClosePort(5);
}

TEST(RemoteOpenTest, Ipv6Loopback) {
  if (Ser2netServer::Program().empty()) GTEST_SKIP() << "ser2net is not installed";
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  Ser2netServer server;
  if (!server.Start(pty.secondaryPath(), true, "::1")) GTEST_SKIP() << "no IPv6 loopback";
  RecordingWindow window;
  MapPort(6, server.Url());
  ASSERT_EQ(KTOpenPort(&window, 6, 16, 16, 2400, 'N', 8, 1, 1), 0);
  termios tio{};
  tcgetattr(pty.fd(), &tio);
  EXPECT_EQ(cfgetospeed(&tio), B2400);
  ASSERT_TRUE(pty.Write({0x00, 0x80, 0x01, 0x10}));
  EXPECT_TRUE(window.WaitPosts(1));
  KTClosePort(6);
}

}  // namespace
}  // namespace ktcomm::test
