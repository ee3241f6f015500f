// How a failed open is explained when the kernel refuses a step: each step
// of KTOpenPort failing in turn gives its reason and text, and a success
// clears it; and how the device calls map a device that fails them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "tests/support/fault_port.h"

namespace ktcomm::test {
namespace {

using platform::OpenReason;

constexpr int kPort = 6;

class OpenReasonFaultTest : public testing::Test, protected FaultyPort {
 protected:
  OpenReasonFaultTest() : FaultyPort(kPort) {}

  void SetUp() override {
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    MapTo(pty.secondaryPath());
  }

  // KTOpenPort's own steps.
  int OpenPort() { return port.OpenPort({.window = &window, .portNumber = kPort}); }
};

TEST_F(OpenReasonFaultTest, EachStepFailingGivesItsReason) {
  struct Case {
    Call call;
    int err;
    OpenReason reason;
    std::string text;
  };
  const std::string busyText = "in use by another program";
  const Case cases[] = {
      {Call::kOpenDevice, ENOENT, OpenReason::kNoDevice, "no such device"},
      // The node exists whatever the open said: the open's error decides.
      {Call::kOpenDevice, EBUSY, OpenReason::kInUse, busyText},
      {Call::kSetTimeouts, ENOTTY, OpenReason::kNotSerial,
       "not a serial device (SetCommTimeouts() failed: " + std::string(std::strerror(ENOTTY)) +
           ")"},
      {Call::kSetLine, EINVAL, OpenReason::kSetupRefused,
       "the device refused its set-up: SetCommState() failed: " +
           std::string(std::strerror(EINVAL))},
      {Call::kNewEvent, EMFILE, OpenReason::kNoResources, std::strerror(EMFILE)},
      {Call::kStartThread, EAGAIN, OpenReason::kNoResources,
       "the port's worker thread did not start"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    faulty.FailNth(c.call, 1, c.err);
    EXPECT_EQ(OpenPort(), 0);
    EXPECT_FALSE(port.IsOpen());
    platform::OpenFailure why = port.LastOpenFailure();
    EXPECT_EQ(why.reason, c.reason);
    EXPECT_EQ(why.text.rfind(c.text, 0), 0u) << why.text;
    EXPECT_EQ(why.device, pty.secondaryPath());
    ExpectNothingLeft();
    // The open cleared what an earlier session left, and counts its own
    // reports only.
    CommPort::Status status = port.GetStatus();
    EXPECT_FALSE(status.lost);
    EXPECT_EQ(status.reports, c.call == Call::kSetTimeouts || c.call == Call::kSetLine ? 1u : 0u);
  }
  ASSERT_EQ(OpenPort(), 1);
  EXPECT_EQ(port.LastOpenFailure().reason, OpenReason::kNone);
  EXPECT_EQ(port.LastOpenFailure().text, "");
  port.ClosePort();
  ExpectNothingLeft();
}

// A device that fails the request (gone mid-way) is told from one that
// has no modem lines at all; neither is reported.
class ModemFaultPlatform : public FaultyPlatform {
 public:
  int GetModemLines(platform::DeviceRef, uint32_t* lines) override {
    if (err != 0) return err;
    *lines = platform::kLineCts | platform::kLineDtr;
    return 0;
  }
  int SendBreak(platform::DeviceRef, uint32_t) override { return err; }
  std::atomic<int> err{0};
};

TEST(ModemFaultTest, DeviceCallsMapTheirOutcomes) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  setenv("KTCOMM_COM7", pty.secondaryPath().c_str(), 1);
  ModemFaultPlatform faulty;
  RecordingWindow window;
  CommPort port{faulty};
  uint32_t lines = 0;
  EXPECT_EQ(port.GetModemLines(&lines), CommPort::DeviceCall::kNotOpen);
  ASSERT_EQ(port.OpenPort({.window = &window, .portNumber = 7}), 1);
  EXPECT_EQ(port.GetModemLines(&lines), CommPort::DeviceCall::kDone);
  EXPECT_EQ(lines, platform::kLineCts | platform::kLineDtr);
  EXPECT_EQ(port.SendBreak(10), CommPort::DeviceCall::kDone);
  faulty.err = ENOTSUP;
  EXPECT_EQ(port.GetModemLines(&lines), CommPort::DeviceCall::kUnsupported);
  EXPECT_EQ(port.SendBreak(10), CommPort::DeviceCall::kUnsupported);
  faulty.err = EIO;
  EXPECT_EQ(port.GetModemLines(&lines), CommPort::DeviceCall::kFailed);
  EXPECT_EQ(port.SendBreak(10), CommPort::DeviceCall::kFailed);
  EXPECT_TRUE(window.alerts().empty());
  port.ClosePort();
  EXPECT_EQ(port.SendBreak(10), CommPort::DeviceCall::kNotOpen);
}

}  // namespace
}  // namespace ktcomm::test
