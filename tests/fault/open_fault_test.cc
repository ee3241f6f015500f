// Setting a port up when the kernel refuses: each configuration step, event
// creation and the worker's start failing in turn; the line the library
// writes; flow control with and without modem-control lines.
#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>

#include "tests/support/fault_port.h"

namespace ktcomm::test {
namespace {

constexpr int kPort = 3;
constexpr uint32_t kKeep = platform::kKeepControl;

class OpenFaultTest : public testing::Test, protected FaultyPort {
 protected:
  OpenFaultTest() : FaultyPort(kPort) {}

  void SetUp() override {
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    MapTo(pty.secondaryPath());
  }

  int OpenWithLine(int baud, int parity, int dataBits, int stopBits) {
    return port.Open({.window = &window,
                      .portNumber = kPort,
                      .baud = baud,
                      .parity = parity,
                      .dataBits = dataBits,
                      .stopBits = stopBits});
  }

  bool DeviceHandshakes() {
    termios tio{};
    tcgetattr(pty.fd(), &tio);
    return (tio.c_cflag & CRTSCTS) != 0;
  }
};

TEST_F(OpenFaultTest, EachConfigurationStepFailingEndsTheOpen) {
  ExpectEachReportedStepEndsTheOpen(EPERM);
}

TEST_F(OpenFaultTest, EventCreationFailingEndsTheOpen) {
  for (int nth = 1; nth <= 3; ++nth) {
    faulty.FailNth(Call::kNewEvent, nth, EMFILE);
    EXPECT_EQ(Open(), 0) << nth;
    EXPECT_FALSE(port.IsOpen());
    ExpectNothingLeft();
  }
  ASSERT_TRUE(OpenAndStart());
}

TEST_F(OpenFaultTest, WorkerThatDoesNotStartLeavesAClosablePort) {
  // The thread is not created; or it is, and the wait for it fails.
  for (Call call : {Call::kStartThread, Call::kWaitEvent}) {
    SCOPED_TRACE(static_cast<int>(call));
    ASSERT_EQ(Open(), 1);
    ASSERT_TRUE(port.PrepareCommandBuffer(64));
    faulty.FailNth(call, 1, EAGAIN);
    EXPECT_EQ(port.StartWorker(), 0);
    EXPECT_TRUE(WaitThreadsSince(threadsBefore, 0));
    EXPECT_EQ(port.Close(), 1);
    ExpectNothingLeft();
    ASSERT_TRUE(OpenAndStart());  // and starts cleanly afterwards
    EXPECT_TRUE(WaitThreadsSince(threadsBefore, 1));
    port.Close();
  }
  EXPECT_TRUE(window.alerts().empty());
}

// A pty forces eight data bits and clears PARENB, so those are checked in the
// line the library writes.
TEST_F(OpenFaultTest, WrittenLineCarriesTheDefinition) {
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  for (int dataBits = 5; dataBits <= 8; ++dataBits) {
    for (char parity : {'N', 'E', 'O', 'M', 'S'}) {
      for (int stopBits : {1, 2}) {
        SCOPED_TRACE(testing::Message() << dataBits << parity << stopBits);
        ASSERT_EQ(OpenWithLine(2400, parity, dataBits, stopBits), 1);
        const termios& tio = faulty.lastLine.native.tio;
        EXPECT_EQ(tio.c_cflag & CSIZE, kSizes[dataBits - 5]);
        EXPECT_EQ((tio.c_cflag & PARENB) != 0, parity != 'N');
        EXPECT_EQ((tio.c_cflag & PARODD) != 0, parity == 'O' || parity == 'M');
        EXPECT_EQ((tio.c_cflag & CMSPAR) != 0, parity == 'M' || parity == 'S');
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, stopBits == 2);
        EXPECT_EQ(cfgetospeed(&tio), B2400);
      }
    }
  }
  // A rate termios has no constant for is set exactly, through termios2.
  ASSERT_EQ(OpenWithLine(250000, 'N', 8, 1), 1);
  EXPECT_EQ(faulty.lastLine.native.baud, 250000u);
  EXPECT_TRUE(window.alerts().empty());
}

TEST_F(OpenFaultTest, FlowControlModes) {
  EXPECT_EQ(port.SetFlowControl(0, 0), 0);  // not open
  faulty.acceptModemLines = true;           // stand in for a UART
  ASSERT_TRUE(OpenAndStart());
  struct Step {
    uint32_t dtr, rts;
    int result;
    bool handshake;  // CRTSCTS on the device afterwards
  };
  const Step steps[] = {
      {0, kKeep, 1, false},     {1, kKeep, 1, false}, {kKeep, 2, 1, true},
      {kKeep, kKeep, 1, true},  // kept, with the definition applied again
      {0, kKeep, 1, true},      {2, kKeep, 0, true},  // no DTR handshake here
      {kKeep, 0, 1, false},     {kKeep, 3, 1, false}, {1, 1, 1, false},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << s.dtr << " " << s.rts);
    faulty.lastLineDef.clear();
    EXPECT_EQ(port.SetFlowControl(s.dtr, s.rts), s.result);
    EXPECT_EQ(DeviceHandshakes(), s.handshake);
    if (s.result == 0) continue;
    EXPECT_EQ(faulty.lastLineDef, "baud=9600 parity=N data=8 stop=1");
    EXPECT_EQ(faulty.lastLine.dtrControl, s.dtr);
    if (s.rts != kKeep) {
      EXPECT_EQ(faulty.lastLine.rtsControl, s.rts);
    }
  }

  // A pty has no modem-control lines and no RS-485, so it refuses those;
  // the handshake is a termios flag, which it keeps.
  faulty.acceptModemLines = false;
  EXPECT_EQ(port.SetFlowControl(1, kKeep), 0);
  EXPECT_EQ(port.SetFlowControl(kKeep, 3), 0);
  EXPECT_EQ(port.SetFlowControl(kKeep, 2), 1);
  EXPECT_TRUE(DeviceHandshakes());
  // An open starts without the handshake an earlier one left on.
  ASSERT_TRUE(OpenAndStart());
  EXPECT_FALSE(DeviceHandshakes());
  port.Close();
  EXPECT_EQ(port.SetFlowControl(kKeep, kKeep), 0);
  EXPECT_TRUE(window.alerts().empty());
}

// A change the device refuses part of leaves the line as it was: here the
// termios part (the handshake off) goes through and the modem-line or
// RS-485 part, which a pty refuses, undoes it.
TEST_F(OpenFaultTest, RefusedFlowControlChangesNothing) {
  ASSERT_TRUE(OpenAndStart());
  ASSERT_EQ(port.SetFlowControl(kKeep, 2), 1);
  ASSERT_TRUE(DeviceHandshakes());
  for (uint32_t rts : {0u, 1u, 3u}) {
    EXPECT_EQ(port.SetFlowControl(kKeep, rts), 0) << rts;
    EXPECT_TRUE(DeviceHandshakes()) << rts;
  }
  EXPECT_EQ(port.SetFlowControl(1, 0), 0);
  EXPECT_TRUE(DeviceHandshakes());
  // Where the driver has no RS-485, switching it off needs nothing.
  faulty.acceptModemLines = true;
  EXPECT_EQ(port.SetFlowControl(kKeep, 0), 1);
  EXPECT_FALSE(DeviceHandshakes());
  EXPECT_TRUE(window.alerts().empty());
}

}  // namespace
}  // namespace ktcomm::test
