// Setting a port up when the kernel refuses: each configuration step, event
// creation and the worker's start failing in turn; the line the library
// writes; flow control on a line with and without modem-control lines.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "port/comm_port.h"
#include "tests/support/faulty_platform.h"
#include "tests/support/process_counts.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

constexpr int kPort = 3;
constexpr uint32_t kKeep = platform::kKeepControl;

class OpenFaultTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    setenv("KTCOMM_COM3", pty.secondaryPath().c_str(), 1);
    fdsBefore = OpenFdCount();
    SettleRuntimeThreads();
    threadsBefore = ThreadCount();
  }

  int Open(CommPort& port, int baud = 9600, int parity = 'N', int dataBits = 8,
           int stopBits = 1) {
    return port.Open(&window, kPort, baud, parity, dataBits, stopBits, kEventMask, 64, 64, 1);
  }

  // Everything KTOpenPort does: open, command buffer, worker.
  int OpenAndStart(CommPort& port) {
    return Open(port) && port.PrepareCommandBuffer(64) && port.StartWorker();
  }

  void ExpectNothingLeft() {
    EXPECT_EQ(OpenFdCount(), fdsBefore);
    EXPECT_EQ(ThreadCount(), threadsBefore);
  }

  static std::string Report(const char* step, int err) {
    return std::string("Application Error|WARNING:  ") + step +
           " Failed with the following error: \n" + std::strerror(err) +
           "\nPort: " + std::to_string(kPort) + "\n";
  }

  PtyPair pty;
  FaultyPlatform faulty;
  RecordingWindow window;
  int fdsBefore = 0;
  int threadsBefore = 0;
};

TEST_F(OpenFaultTest, EachConfigurationStepFailingEndsTheOpen) {
  struct Case {
    Call call;
    const char* step;
    int err;
  };
  const Case cases[] = {
      {Call::kSetTimeouts, "SetCommTimeouts()", EIO},
      {Call::kSetEventMask, "SetCommMask()", ENOTTY},
      {Call::kGetLine, "GetCommState()", EACCES},
      {Call::kBuildLine, "BuildCommDCB()", EINVAL},
      {Call::kSetLine, "SetCommState()", EPERM},
  };
  CommPort port(faulty);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    window.Clear();
    faulty.FailNth(c.call, 1, c.err);
    EXPECT_EQ(Open(port), 0);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(window.alerts(), std::vector<std::string>{Report(c.step, c.err)});
    ExpectNothingLeft();
  }
  // Each failure gave the device back.
  window.Clear();
  ASSERT_TRUE(OpenAndStart(port));
  EXPECT_EQ(port.Close(), 1);
  EXPECT_TRUE(window.alerts().empty());
  ExpectNothingLeft();
}

TEST_F(OpenFaultTest, EventCreationFailingEndsTheOpen) {
  CommPort port(faulty);
  for (int nth = 1; nth <= 4; ++nth) {
    SCOPED_TRACE(nth);
    faulty.FailNth(Call::kNewEvent, nth, EMFILE);
    EXPECT_EQ(Open(port), 0);
    EXPECT_FALSE(port.IsOpen());
    ExpectNothingLeft();
  }
  ASSERT_TRUE(OpenAndStart(port));
  port.Close();
  ExpectNothingLeft();
}

TEST_F(OpenFaultTest, WorkerThatDoesNotStartLeavesAClosablePort) {
  struct Case {
    Call call;
    int err;
  };
  // The thread is not created; or it is, and the wait for it fails.
  for (Case c : {Case{Call::kStartThread, EAGAIN}, Case{Call::kWaitEvent, EINTR}}) {
    SCOPED_TRACE(static_cast<int>(c.call));
    CommPort port(faulty);
    ASSERT_EQ(Open(port), 1);
    ASSERT_TRUE(port.PrepareCommandBuffer(64));
    faulty.FailNth(c.call, 1, c.err);
    EXPECT_EQ(port.StartWorker(), 0);
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_EQ(port.Close(), 1);
    ExpectNothingLeft();
    // The same port starts cleanly afterwards.
    ASSERT_TRUE(OpenAndStart(port));
    EXPECT_EQ(ThreadCount(), threadsBefore + 1);
    port.Close();
    ExpectNothingLeft();
  }
  EXPECT_TRUE(window.alerts().empty());
}

// What a pty keeps of the line is checked in the integration tests; the data
// bits and the parity enable, which a pty forces, are checked here in the
// line the library writes.
TEST_F(OpenFaultTest, WrittenLineCarriesTheDefinition) {
  CommPort port(faulty);
  for (int dataBits = 5; dataBits <= 8; ++dataBits) {
    for (char parity : {'N', 'E', 'O', 'M', 'S'}) {
      for (int stopBits : {1, 2}) {
        SCOPED_TRACE(testing::Message() << dataBits << parity << stopBits);
        ASSERT_EQ(Open(port, 2400, parity, dataBits, stopBits), 1);
        tcflag_t cflag = faulty.lastLine.tio.c_cflag;
        static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
        EXPECT_EQ(cflag & CSIZE, kSizes[dataBits - 5]);
        EXPECT_EQ((cflag & PARENB) != 0, parity != 'N');
        EXPECT_EQ((cflag & PARODD) != 0, parity == 'O' || parity == 'M');
        EXPECT_EQ((cflag & CMSPAR) != 0, parity == 'M' || parity == 'S');
        EXPECT_EQ((cflag & CSTOPB) != 0, stopBits == 2);
        EXPECT_EQ(cfgetospeed(&faulty.lastLine.tio), B2400);
        EXPECT_EQ(faulty.lastLine.baud, 0u);
      }
    }
  }
  // A rate termios has no constant for is set exactly, through termios2.
  ASSERT_EQ(Open(port, 250000), 1);
  EXPECT_EQ(faulty.lastLine.baud, 250000u);
  port.Close();
  EXPECT_TRUE(window.alerts().empty());
}

TEST_F(OpenFaultTest, FlowControlOnALineWithModemControl) {
  faulty.acceptModemLines = true;
  CommPort port(faulty);
  EXPECT_EQ(port.SetFlowControl(0, 0), 0);  // not open
  ASSERT_TRUE(OpenAndStart(port));

  struct Step {
    uint32_t dtr, rts;
    int result;
    bool handshake;  // CRTSCTS on the device
  };
  const Step steps[] = {
      {0, kKeep, 1, false},
      {1, kKeep, 1, false},
      {kKeep, 2, 1, true},
      {kKeep, kKeep, 1, true},  // kept, with the definition reapplied
      {0, kKeep, 1, true},
      {2, kKeep, 0, true},      // no DTR handshake here
      {kKeep, 0, 1, false},
      {kKeep, 3, 1, false},     // RS-485 toggles RTS; no CRTSCTS
      {1, 1, 1, false},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << s.dtr << " " << s.rts);
    faulty.lastLineDef.clear();
    EXPECT_EQ(port.SetFlowControl(s.dtr, s.rts), s.result);
    termios tio;
    ASSERT_EQ(tcgetattr(pty.fd(), &tio), 0);
    EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, s.handshake);
    if (s.result == 0) continue;
    EXPECT_EQ(faulty.lastLineDef, "baud=9600 parity=N data=8 stop=1");
    EXPECT_EQ(faulty.lastLine.dtrControl, s.dtr);
    if (s.rts != kKeep) {
      EXPECT_EQ(faulty.lastLine.rtsControl, s.rts);
    }
  }
  port.Close();
  EXPECT_EQ(port.SetFlowControl(kKeep, kKeep), 0);
  EXPECT_TRUE(window.alerts().empty());
}

// A pty has no modem-control lines and no RS-485: it refuses those changes;
// the hardware handshake is a termios flag, which it keeps.
TEST_F(OpenFaultTest, FlowControlOnAPty) {
  CommPort port(faulty);
  ASSERT_TRUE(OpenAndStart(port));
  EXPECT_EQ(port.SetFlowControl(1, kKeep), 0);
  EXPECT_EQ(port.SetFlowControl(0, kKeep), 0);
  EXPECT_EQ(port.SetFlowControl(kKeep, 3), 0);
  EXPECT_EQ(port.SetFlowControl(kKeep, 2), 1);
  EXPECT_EQ(port.SetFlowControl(kKeep, kKeep), 1);
  EXPECT_TRUE(port.IsOpen());
  termios tio;
  ASSERT_EQ(tcgetattr(pty.fd(), &tio), 0);
  EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
  // An open starts without the handshake a previous open left on.
  ASSERT_TRUE(OpenAndStart(port));
  ASSERT_EQ(tcgetattr(pty.fd(), &tio), 0);
  EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
  port.Close();
  EXPECT_TRUE(window.alerts().empty());
}

}  // namespace
}  // namespace ktcomm::test
