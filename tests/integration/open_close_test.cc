// Opening, reopening and closing ports through the exports: the line the
// device side ends up with, refusals, argument checks, and that nothing
// (descriptor, thread, memory) is left behind.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/ktcomm.h"
#include "tests/support/process_counts.h"
#include "tests/support/pty_port.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

using Alerts = std::vector<std::string>;

int Open(KTWindow* window, int port, int baud = 9600, int parity = 'N', int dataBits = 8,
         int stopBits = 1, int txSize = 64, int rxSize = 64) {
  return KTOpenPort(window, port, txSize, rxSize, baud, parity, dataBits, stopBits, 1);
}

bool Echoes(const PtyPair& pty, int port) {
  const unsigned char ping[] = {'\r', '\n'};  // a cooked line would translate these
  return KTSendData(port, ping, 2) == 0 && pty.Read(2) == std::vector<uint8_t>{'\r', '\n'};
}

// A pty keeps the rate, the stop bits and the parity's odd and stick bits; it
// forces eight data bits and clears PARENB (the fault tests check those).
TEST(OpenCloseTest, DeviceSideGetsTheSettingsOfEachReopen) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  MapPort(1, pty.secondaryPath());
  RecordingWindow window;
  PortCloser closer(1);
  SettleRuntimeThreads();
  auto threadsBefore = ThreadIds();

  struct Case {
    int baud, parity, stopBits;
    speed_t speed;
    tcflag_t parityBits;  // of PARODD | CMSPAR
  };
  const Case cases[] = {{9600, 'N', 1, B9600, 0},
                        {115200, 'O', 2, B115200, PARODD},
                        {4000000, 'm', 1, B4000000, PARODD | CMSPAR},
                        {1200, 's', 2, B1200, CMSPAR}};
  for (const Case& c : cases) {  // all but the first reopen the open port
    SCOPED_TRACE(c.baud);
    ASSERT_EQ(Open(&window, 1, c.baud, c.parity, 7, c.stopBits), 0);
    termios tio;
    ASSERT_EQ(tcgetattr(pty.fd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ(cfgetispeed(&tio), c.speed);
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR), c.parityBits);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.stopBits == 2);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD | CRTSCTS), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN] + tio.c_cc[VTIME], 0);
    EXPECT_TRUE(WaitThreadsSince(threadsBefore, 1));  // one worker, however often reopened
    EXPECT_TRUE(Echoes(pty, 1));
  }
  EXPECT_EQ(KTClosePort(1), 1);
  EXPECT_TRUE(WaitThreadsSince(threadsBefore, 0));
  EXPECT_TRUE(window.alerts().empty());
}

TEST(OpenCloseTest, AbsentOrBusyDeviceFailsSilently) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  PortCloser closeTwo(2), closeThree(3), closeFour(4);
  int fdsBefore = OpenFdCount();

  MapPort(4, "/nonexistent/ktcomm-device");
  EXPECT_EQ(Open(&window, 4), 3);
  EXPECT_EQ(KTSendData(4, nullptr, 0), 5);
  // Two port numbers on one device: the second is refused, the first goes on.
  MapPort(2, pty.secondaryPath());
  MapPort(3, pty.secondaryPath());
  ASSERT_EQ(Open(&window, 2), 0);
  EXPECT_EQ(Open(&window, 3), 3);
  EXPECT_EQ(KTSendData(3, nullptr, 0), 5);
  EXPECT_TRUE(Echoes(pty, 2));
  KTClosePort(2);
  EXPECT_EQ(Open(&window, 3), 0);  // given back at close
  KTClosePort(3);
  EXPECT_TRUE(window.alerts().empty());
  EXPECT_EQ(OpenFdCount(), fdsBefore);
}

TEST(OpenCloseTest, RefusedLineDefinitionIsReportedOnceAndReleasesEverything) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  MapPort(6, pty.secondaryPath());
  RecordingWindow window;
  PortCloser closer(6);
  SettleRuntimeThreads();
  int fdsBefore = OpenFdCount();
  auto threadsBefore = ThreadIds();

  struct Case {
    int baud, parity, dataBits, stopBits;
  };
  for (Case c : {Case{9600, 'X', 8, 1}, Case{9600, 0, 8, 1}, Case{9600, 'N', 9, 1},
                 Case{9600, 'N', 8, 3}, Case{0, 'N', 8, 1}}) {
    SCOPED_TRACE(testing::Message() << c.baud << c.parity << c.dataBits << c.stopBits);
    window.Clear();
    EXPECT_EQ(Open(&window, 6, c.baud, c.parity, c.dataBits, c.stopBits), 3);
    EXPECT_EQ(window.alerts(), Alerts{ErrorAlert("BuildCommDCB()", "Invalid argument", 6)});
    EXPECT_EQ(KTSendData(6, nullptr, 0), 5);
    EXPECT_EQ(OpenFdCount(), fdsBefore);
    EXPECT_TRUE(WaitThreadsSince(threadsBefore, 0));
  }
  EXPECT_EQ(Open(&window, 6), 0);  // the device was given back
}

// None of these is a terminal; each must fail rather than hang.
TEST(OpenCloseTest, NonTerminalDevicesAreRefused) {
  RecordingWindow window;
  PortCloser closer(7);
  char file[] = "/tmp/ktcomm-open-XXXXXX";
  char dir[] = "/tmp/ktcomm-dir-XXXXXX";
  int fileFd = mkstemp(file);
  ASSERT_GE(fileFd, 0);
  close(fileFd);
  ASSERT_NE(mkdtemp(dir), nullptr);
  int fdsBefore = OpenFdCount();

  const std::string paths[] = {file, "/dev/null", dir};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    window.Clear();
    MapPort(7, path);
    EXPECT_EQ(Open(&window, 7), 3);
    // A directory does not open; the others fail at the first terminal request.
    Alerts expected;
    if (path != dir) {
      expected = {ErrorAlert("SetCommTimeouts()", "Inappropriate ioctl for device", 7)};
    }
    Alerts alerts = window.alerts();
    if (path == "/dev/null" && alerts.empty()) expected.clear();  // locked by another process
    EXPECT_EQ(alerts, expected);
    EXPECT_EQ(OpenFdCount(), fdsBefore);
  }
  unlink(file);
  rmdir(dir);
}

TEST(OpenCloseTest, DllVersionFitsTheBuffer) {
  struct Case {
    int capacity;
    const char* text;  // null: nothing written
    int length;
  };
  const Case cases[] = {{15, "1.41 Release", 4}, {14, "1.41", 4}, {5, "1.41", 4},
                        {3, "1.", 2},            {1, "", 0},      {0, nullptr, 0},
                        {-8, nullptr, 0}};
  for (const Case& c : cases) {
    char buffer[40];
    std::memset(buffer, '#', sizeof buffer);
    int length = c.capacity;
    EXPECT_EQ(KTGetDllVersion(buffer, &length), 0);
    EXPECT_EQ(length, c.length) << c.capacity;
    size_t written = c.text ? std::strlen(c.text) + 1 : 0;
    EXPECT_EQ(std::string(buffer, written), std::string(c.text ? c.text : "", written));
    EXPECT_EQ(std::string(buffer + written, sizeof buffer - written),
              std::string(sizeof buffer - written, '#'));
  }
  char buffer[16] = "untouched";
  int length = 16;
  EXPECT_EQ(KTGetDllVersion(nullptr, &length), 0);
  EXPECT_EQ(KTGetDllVersion(buffer, nullptr), 0);
  EXPECT_EQ(length, 16);
  EXPECT_STREQ(buffer, "untouched");
}

TEST(OpenCloseTest, ArgumentsAreCheckedBeforeThePortIsTouched) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  // The transmit size comes before the port number, the receive size after.
  EXPECT_EQ(Open(&window, 0, 9600, 'N', 8, 1, 3), 6);
  EXPECT_EQ(Open(&window, 11, 9600, 'N', 8, 1, 4), 7);
  EXPECT_EQ(Open(&window, 0, 9600, 'N', 8, 1, 4, -1), 7);
  EXPECT_EQ(KTClosePort(0), 0);
  EXPECT_EQ(KTClosePort(5), 1);  // never opened
  EXPECT_EQ(KTSetFlowControl(11, 0, 0), 0);
  EXPECT_EQ(KTSetFlowControl(5, 0xFFFFFFFF, 0xFFFFFFFF), 0);  // not open
  EXPECT_EQ(KTSendData(0, nullptr, 0), 7);
  EXPECT_EQ(KTSendCommand(11, 0x10, 0, nullptr), 7);

  // Refused reopens leave the open port as it was.
  MapPort(1, pty.secondaryPath());
  PortCloser closer(1);
  ASSERT_EQ(Open(&window, 1), 0);
  EXPECT_EQ(Open(&window, 1, 9600, 'N', 8, 1, 3), 6);
  EXPECT_EQ(Open(&window, 1, 9600, 'N', 8, 1, 64, -1), 6);
  EXPECT_TRUE(Echoes(pty, 1));
  EXPECT_TRUE(window.alerts().empty());
}

TEST(OpenCloseTest, ManyCyclesLeaveNothingBehind) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  MapPort(8, pty.secondaryPath());
  RecordingWindow window;
  PortCloser closer(8);
  // Large enough that a new pair per open would show in the RSS.
  constexpr int kRxSize = 64 * 1024;
  ASSERT_EQ(Open(&window, 8, 9600, 'N', 8, 1, 64, kRxSize), 0);
  KTClosePort(8);
  int fdsBefore = OpenFdCount();
  auto threadsBefore = ThreadIds();
  [[maybe_unused]] long rssBefore = ResidentKiB();

  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(Open(&window, 8, 9600, 'N', 8, 1, 64, kRxSize), 0) << i;
    if (i % 2 == 0) {  // reopened while open
      ASSERT_EQ(Open(&window, 8, 19200, 'E', 8, 1, 64, kRxSize), 0) << i;
    }
    ASSERT_EQ(KTClosePort(8), 1);
    ASSERT_EQ(OpenFdCount(), fdsBefore) << i;
    ASSERT_TRUE(WaitThreadsSince(threadsBefore, 0)) << i;
  }
  // Kept pairs would come to 200 MiB. Under the address sanitizer freed
  // memory sits in quarantine, so the RSS says nothing there.
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(ResidentKiB() - rssBefore, 4 * 1024);
#endif
  EXPECT_TRUE(window.alerts().empty());
}

// A frame's data stays where its post pointed: a reopen at the same receive
// size reuses the buffers, one at a new size keeps the old message buffer
// with the data it had, even after the next frame.
TEST(OpenCloseTest, PostedDataOutlivesAReopenAtANewSize) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  MapPort(9, pty.secondaryPath());
  RecordingWindow window;
  PortCloser closer(9);
  auto frameWith = [&](uint8_t value, size_t posts) {
    EXPECT_TRUE(pty.Write({0x00, 0x80, 0x02, 0x10, value}));
    EXPECT_TRUE(window.WaitPosts(posts));
    return reinterpret_cast<const uint8_t*>(window.posts().back().second);
  };
  ASSERT_EQ(Open(&window, 9, 9600, 'N', 8, 1, 64, 64), 0);
  const uint8_t* first = frameWith(0xA1, 1);
  ASSERT_EQ(Open(&window, 9, 9600, 'N', 8, 1, 64, 64), 0);
  EXPECT_EQ(frameWith(0xA2, 2), first);  // same size: same buffer
  ASSERT_EQ(Open(&window, 9, 9600, 'N', 8, 1, 64, 128), 0);
  const uint8_t* resized = frameWith(0xB1, 3);
  EXPECT_NE(resized, first);
  EXPECT_EQ(first[0], 0xA2);
  EXPECT_EQ(resized[0], 0xB1);
}

}  // namespace
}  // namespace ktcomm::test
