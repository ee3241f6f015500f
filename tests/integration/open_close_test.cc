// Opening, reopening and closing ports through the exports, over real
// pseudo-terminals: the line the device side ends up with, refusals, argument
// checks, and that nothing (descriptor, thread, memory) is left behind.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/ktcomm.h"
#include "tests/support/process_counts.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

void MapPort(int port, const std::string& path) {
  setenv(("KTCOMM_COM" + std::to_string(port)).c_str(), path.c_str(), 1);
}

int OpenPort(KTWindow* window, int port, int baud = 9600, int parity = 'N', int dataBits = 8,
             int stopBits = 1, int txSize = 64, int rxSize = 64, int protocol = 1) {
  return KTOpenPort(window, port, txSize, rxSize, baud, parity, dataBits, stopBits, protocol);
}

std::string SetupError(const char* step, const char* systemText, int port) {
  return std::string("Application Error|WARNING:  ") + step +
         " Failed with the following error: \n" + systemText + "\nPort: " +
         std::to_string(port) + "\n";
}

// A pty keeps the rate, the stop bits and the parity's odd and stick bits;
// it forces eight data bits and drops PARENB (the fault tests see those in
// the line the library writes).
TEST(OpenCloseTest, DeviceSideGetsTheLineSettingsAtEachReopen) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  MapPort(1, pty.secondaryPath());
  RecordingWindow window;
  SettleRuntimeThreads();
  int threadsBefore = ThreadCount();

  struct Case {
    int baud;
    int parity;
    int stopBits;
    speed_t speed;
    tcflag_t parityBits;  // of PARODD | CMSPAR
  };
  const Case cases[] = {
      {9600, 'N', 1, B9600, 0},
      {115200, 'O', 2, B115200, PARODD},
      {57600, 'M', 1, B57600, PARODD | CMSPAR},
      {1200, 's', 2, B1200, CMSPAR},
      {19200, 'e', 1, B19200, 0},
      {4000000, 'm', 1, B4000000, PARODD | CMSPAR},
  };
  // Each open after the first reopens the open port with new settings.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    ASSERT_EQ(OpenPort(&window, 1, c.baud, c.parity, 7, c.stopBits), 0);
    termios tio;
    ASSERT_EQ(tcgetattr(pty.fd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ(cfgetispeed(&tio), c.speed);
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR), c.parityBits);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.stopBits == 2);
    // Raw: bytes pass untouched and a read returns at once.
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    // One worker, whatever number of reopens, and it still writes.
    EXPECT_EQ(ThreadCount(), threadsBefore + 1);
    ASSERT_EQ(KTSendData(1, reinterpret_cast<const unsigned char*>("\r\n"), 2), 0);
    EXPECT_EQ(pty.Read(2), (std::vector<uint8_t>{'\r', '\n'}));
  }
  EXPECT_EQ(KTClosePort(1), 1);
  EXPECT_EQ(ThreadCount(), threadsBefore);
  EXPECT_TRUE(window.alerts().empty());
}

TEST(OpenCloseTest, DeviceThatCannotBeOpenedFailsSilently) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  int fdsBefore = OpenFdCount();

  MapPort(4, "/nonexistent/ktcomm-device");
  EXPECT_EQ(OpenPort(&window, 4), 3);
  EXPECT_EQ(KTSendData(4, nullptr, 0), 5);

  // A second port number on a device in use: refused like an absent one,
  // and the first port carries on.
  MapPort(2, pty.secondaryPath());
  MapPort(3, pty.secondaryPath());
  ASSERT_EQ(OpenPort(&window, 2), 0);
  EXPECT_EQ(OpenPort(&window, 3), 3);
  EXPECT_EQ(KTSendData(3, nullptr, 0), 5);
  const unsigned char ping[] = {0x55};
  ASSERT_EQ(KTSendData(2, ping, 1), 0);
  EXPECT_EQ(pty.Read(1), (std::vector<uint8_t>{0x55}));
  KTClosePort(2);
  KTClosePort(3);

  // Given back at close: now the other port number gets it.
  EXPECT_EQ(OpenPort(&window, 3), 0);
  KTClosePort(3);
  EXPECT_TRUE(window.alerts().empty());
  EXPECT_EQ(OpenFdCount(), fdsBefore);
}

TEST(OpenCloseTest, RefusedLineDefinitionIsReportedOnceAndReleasesEverything) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  MapPort(6, pty.secondaryPath());
  RecordingWindow window;
  int fdsBefore = OpenFdCount();
  SettleRuntimeThreads();
  int threadsBefore = ThreadCount();

  struct Case {
    int baud, parity, dataBits, stopBits;
  };
  const Case refused[] = {{9600, 'X', 8, 1}, {9600, 0, 8, 1},  {9600, 'N', 9, 1},
                          {9600, 'N', 4, 1}, {9600, 'N', 8, 3}, {0, 'N', 8, 1}};
  for (const Case& c : refused) {
    SCOPED_TRACE(testing::Message() << c.baud << " " << c.parity << " " << c.dataBits << " "
                                    << c.stopBits);
    window.Clear();
    EXPECT_EQ(OpenPort(&window, 6, c.baud, c.parity, c.dataBits, c.stopBits), 3);
    EXPECT_EQ(window.alerts(),
              std::vector<std::string>{SetupError("BuildCommDCB()", "Invalid argument", 6)});
    EXPECT_EQ(KTSendData(6, nullptr, 0), 5);
    EXPECT_EQ(OpenFdCount(), fdsBefore);
    EXPECT_EQ(ThreadCount(), threadsBefore);
  }
  // The refusal gave the device back.
  EXPECT_EQ(OpenPort(&window, 6), 0);
  EXPECT_EQ(KTClosePort(6), 1);
  EXPECT_EQ(OpenFdCount(), fdsBefore);
}

// None of these is a terminal; each must fail rather than hang.
TEST(OpenCloseTest, NonTerminalDevicesAreRefused) {
  RecordingWindow window;
  char file[] = "/tmp/ktcomm-open-XXXXXX";
  int fileFd = mkstemp(file);
  ASSERT_GE(fileFd, 0);
  close(fileFd);
  char dir[] = "/tmp/ktcomm-dir-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  int fdsBefore = OpenFdCount();
  SettleRuntimeThreads();
  int threadsBefore = ThreadCount();

  for (const char* path : {static_cast<const char*>(file), "/dev/null",
                           static_cast<const char*>(dir)}) {
    SCOPED_TRACE(path);
    window.Clear();
    MapPort(7, path);
    EXPECT_EQ(OpenPort(&window, 7), 3);
    // A directory does not open; the others open and fail the first step
    // that asks for a terminal.
    auto alerts = window.alerts();
    if (path == dir) {
      EXPECT_TRUE(alerts.empty());
    } else if (!alerts.empty()) {  // /dev/null may be locked by another process
      EXPECT_EQ(alerts, std::vector<std::string>{SetupError(
                            "SetCommTimeouts()", "Inappropriate ioctl for device", 7)});
    }
    EXPECT_EQ(KTSendData(7, nullptr, 0), 5);
    EXPECT_EQ(OpenFdCount(), fdsBefore);
    EXPECT_EQ(ThreadCount(), threadsBefore);
  }
  KTClosePort(7);
  unlink(file);
  rmdir(dir);
}

TEST(OpenCloseTest, DllVersionFitsTheBuffer) {
  struct Case {
    int capacity;
    const char* text;  // null: nothing written
    int length;
  };
  const Case cases[] = {{32, "1.41 Release", 4}, {15, "1.41 Release", 4}, {14, "1.41", 4},
                        {5, "1.41", 4},          {4, "1.4", 3},           {3, "1.", 2},
                        {1, "", 0},              {0, nullptr, 0},         {-8, nullptr, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capacity);
    char buffer[40];
    std::memset(buffer, '#', sizeof buffer);
    int length = c.capacity;
    EXPECT_EQ(KTGetDllVersion(buffer, &length), 0);
    EXPECT_EQ(length, c.length);
    size_t written = c.text ? std::strlen(c.text) + 1 : 0;
    if (c.text) {
      EXPECT_STREQ(buffer, c.text);
    }
    // Nothing past the terminator, nor past the capacity.
    for (size_t i = written; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '#') << i;
  }

  char buffer[16] = "untouched";
  int length = 16;
  EXPECT_EQ(KTGetDllVersion(nullptr, &length), 0);
  EXPECT_EQ(length, 16);
  EXPECT_EQ(KTGetDllVersion(buffer, nullptr), 0);
  EXPECT_STREQ(buffer, "untouched");
}

TEST(OpenCloseTest, ArgumentsAreCheckedBeforeThePortIsTouched) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  // The transmit size is checked before the port number, the receive size after.
  EXPECT_EQ(OpenPort(&window, 0, 9600, 'N', 8, 1, 3), 6);
  EXPECT_EQ(OpenPort(&window, 11, 9600, 'N', 8, 1, 4), 7);
  EXPECT_EQ(OpenPort(&window, 0, 9600, 'N', 8, 1, 4, -1), 7);
  EXPECT_EQ(OpenPort(&window, 1, 9600, 'N', 8, 1, 4, -1), 6);
  EXPECT_EQ(KTClosePort(0), 0);
  EXPECT_EQ(KTClosePort(11), 0);
  EXPECT_EQ(KTClosePort(5), 1);  // never opened
  EXPECT_EQ(KTSetFlowControl(11, 0, 0), 0);
  EXPECT_EQ(KTSetFlowControl(0, 0xFFFFFFFF, 0xFFFFFFFF), 0);
  EXPECT_EQ(KTSetFlowControl(5, 0xFFFFFFFF, 0xFFFFFFFF), 0);  // not open
  EXPECT_EQ(KTSendData(0, nullptr, 0), 7);
  EXPECT_EQ(KTSendCommand(11, 0x10, 0, nullptr), 7);

  // A refused reopen leaves the open port as it was.
  MapPort(1, pty.secondaryPath());
  ASSERT_EQ(OpenPort(&window, 1), 0);
  EXPECT_EQ(OpenPort(&window, 1, 9600, 'N', 8, 1, 3), 6);
  EXPECT_EQ(OpenPort(&window, 1, 9600, 'N', 8, 1, 64, -5), 6);
  const unsigned char ping[] = {0x5A};
  ASSERT_EQ(KTSendData(1, ping, 1), 0);
  EXPECT_EQ(pty.Read(1), (std::vector<uint8_t>{0x5A}));
  KTClosePort(1);
  EXPECT_TRUE(window.alerts().empty());
}

TEST(OpenCloseTest, ManyCyclesLeaveNothingBehind) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  MapPort(8, pty.secondaryPath());
  RecordingWindow window;
  // Large enough that keeping an old pair per open would show in the RSS.
  constexpr int kRxSize = 64 * 1024;
  ASSERT_EQ(OpenPort(&window, 8, 9600, 'N', 8, 1, 64, kRxSize), 0);
  KTClosePort(8);
  int fdsBefore = OpenFdCount();
  SettleRuntimeThreads();
  int threadsBefore = ThreadCount();
  [[maybe_unused]] long rssBefore = ResidentKiB();

  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(OpenPort(&window, 8, 9600, 'N', 8, 1, 64, kRxSize), 0) << i;
    if (i % 2 == 0) {
      // Reopen while open, at the same receive size.
      ASSERT_EQ(OpenPort(&window, 8, 19200, 'E', 8, 1, 64, kRxSize), 0) << i;
    }
    ASSERT_EQ(KTClosePort(8), 1);
    ASSERT_EQ(OpenFdCount(), fdsBefore) << i;
    ASSERT_EQ(ThreadCount(), threadsBefore) << i;
  }
  // 1,500 opens would keep about 200 MiB if each kept its own pair. Freed
  // memory sits in the address sanitizer's quarantine, so there RSS grows.
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(ResidentKiB() - rssBefore, 4 * 1024);
#endif
  EXPECT_TRUE(window.alerts().empty());
}

}  // namespace
}  // namespace ktcomm::test
