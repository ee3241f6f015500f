// The extension calls through the shared library: why an open failed on a
// missing path, a file, a folder, /dev/null, a device another port holds,
// without permission, and for network names on 127.0.0.1 (the tool's and
// the Python tests show another process holding a device); the port's
// status through a report and a hang-up, after a waiting call timed out;
// and status calls racing opens and closes.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "api/ktcomm_ext.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/pty_port.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDeadlineMs = 10000;

int Open(int port) { return KTOpenPort(nullptr, port, 64, 64, 9600, 'N', 8, 1, 1); }

KTXOpenError OpenError(int port) {
  KTXOpenError failure;
  std::memset(&failure, 0x55, sizeof failure);  // every field must be written
  EXPECT_EQ(KTXGetOpenError(port, &failure), KT_OK);
  return failure;
}

KTXPortStatus Status(int port) {
  KTXPortStatus status;
  EXPECT_EQ(KTXGetPortStatus(port, &status), KT_OK);
  return status;
}

bool WaitLost(int port) {
  for (auto deadline = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
       Clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (Status(port).lost) return true;
  }
  return false;
}

// Runs `body` in a child process (which may give up root) and returns what
// it wrote to the pipe it is given, once it has ended.
template <typename Body>
std::string InChild(Body body) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return "";
  pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    body(out[1]);
    _exit(0);
  }
  close(out[1]);
  std::string said;
  char buffer[512];
  for (pollfd p{out[0], POLLIN, 0}; poll(&p, 1, kDeadlineMs) == 1;) {
    ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    said.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  kill(child, SIGKILL);  // ended already, unless it hung
  waitpid(child, nullptr, 0);
  return said;
}

TEST(ExtensionOpenErrorTest, SaysWhyTheDeviceDidNotOpen) {
  namespace fs = std::filesystem;
  fs::path file = fs::path(testing::TempDir()) / ("ktcomm_ext_file_" + std::to_string(getpid()));
  std::ofstream(file) << "not a tty";
  // Bound but not listening: connections to it are refused.
  LoopbackSocket refusing(LoopbackSocket::Mode::kRefusing);
  ASSERT_TRUE(refusing.ok());
  std::string portText = refusing.PortText();
  struct Case {
    std::string device;
    int reason;
    std::string text;  // the text starts with this
    int systemError;
  };
  const Case cases[] = {
      {"/nonexistent/ttyS9", KTX_OPEN_NO_DEVICE, "no such device", ENOENT},
      {file.string(), KTX_OPEN_NOT_SERIAL, "not a serial device", ENOTTY},
      {testing::TempDir(), KTX_OPEN_NOT_SERIAL, "a folder, not a device", EISDIR},
      {"/dev/null", KTX_OPEN_NOT_SERIAL, "not a serial device (SetCommTimeouts() failed: ",
       ENOTTY},
      {"tcp://127.0.0.1:" + portText, KTX_OPEN_REFUSED,
       "connection refused (nothing listens on port " + portText + ")", ECONNREFUSED},
      {"Tcp:/127.0.0.1:" + portText, KTX_OPEN_BAD_NAME, "malformed URL: ", ENOENT},
  };
  PortCloser closer(4);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    MapPort(4, c.device);
    ASSERT_EQ(Open(4), KT_OPEN_FAILED);
    KTXOpenError failure = OpenError(4);
    EXPECT_EQ(failure.reason, c.reason);
    EXPECT_EQ(std::string(failure.text).rfind(c.text, 0), 0u) << failure.text;
    EXPECT_EQ(failure.device, c.device);
    EXPECT_EQ(failure.systemError, c.systemError);
    EXPECT_EQ(failure.holderPid, 0);
  }
  refusing.Close();
  // A size refused before anything opened is the last open's outcome too.
  EXPECT_EQ(KTOpenPort(nullptr, 4, 3, 64, 9600, 'N', 8, 1, 1), KT_TOO_SMALL);
  EXPECT_EQ(OpenError(4).reason, KTX_OPEN_BAD_SIZE);
  fs::remove(file);
}

TEST(ExtensionOpenErrorTest, NamesWhoHoldsTheDevice) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  PortCloser first(5), second(6);
  ASSERT_EQ(OpenOnPty(pty, nullptr, 5, 64, 64, 1), KT_OK);
  ASSERT_EQ(OpenOnPty(pty, nullptr, 6, 64, 64, 1), KT_OPEN_FAILED);
  KTXOpenError failure = OpenError(6);
  EXPECT_EQ(failure.reason, KTX_OPEN_IN_USE);
  EXPECT_EQ(failure.holderPid, getpid());
  EXPECT_STREQ(failure.text, "in use by this process (another port has it open)");
  EXPECT_EQ(OpenError(5).reason, KTX_OPEN_OK);
  KTClosePort(5);
  EXPECT_EQ(Open(6), KT_OK);  // it let go
  EXPECT_EQ(OpenError(6).reason, KTX_OPEN_OK);
}

// The worker cannot restart itself: a reopen from the port's own callback
// fails, says why, and leaves the port working.
TEST(ExtensionOpenErrorTest, SaysWhyACallbackCannotReopenItsPort) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  int reopened = -2;
  KTXOpenError failure{};
  PortCloser closer(7);  // closes before what the callback writes goes
  window.onPost = [&](const Posted&) {
    if (reopened != -2) return;
    reopened = KTOpenPort(&window, 7, 64, 64, 9600, 'N', 8, 1, 1);
    KTXGetOpenError(7, &failure);
  };
  ASSERT_EQ(OpenOnPty(pty, &window, 7, 64, 64, 1), KT_OK);
  ASSERT_TRUE(pty.Write({0x00, 0x80, 0x01, 0x10}));
  ASSERT_TRUE(window.WaitPosts(1));
  // Still served; the close joins the worker, whose callback has returned.
  ASSERT_TRUE(pty.Write({0x00, 0x80, 0x01, 0x24}));
  EXPECT_TRUE(window.WaitPosts(2));
  KTClosePort(7);
  EXPECT_EQ(reopened, KT_OPEN_FAILED);
  EXPECT_STREQ(failure.text, "a port cannot be opened from its own callback");
}

// Root opens anything: as root the open is tried by a child that has given
// its privileges up for nobody's, on a pty in a group nobody is not in.
TEST(ExtensionOpenErrorTest, SaysPermissionDeniedAndTheGroupToJoin) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  group* dialout = getgrnam("dialout");
  if (geteuid() == 0 && dialout != nullptr) {
    ASSERT_EQ(chown(pty.secondaryPath().c_str(), -1, dialout->gr_gid), 0);
  }
  ASSERT_EQ(chmod(pty.secondaryPath().c_str(), 0660), 0);
  struct stat node;
  ASSERT_EQ(stat(pty.secondaryPath().c_str(), &node), 0);
  std::string said = InChild([&](int out) {
    if (geteuid() == 0) {
      bool dropped = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
      if (!dropped) return;
    }
    if (getegid() == node.st_gid) return;  // the group would let us in
    MapPort(7, pty.secondaryPath());
    KTXOpenError failure;
    if (Open(7) != KT_OPEN_FAILED || KTXGetOpenError(7, &failure) != KT_OK) return;
    std::string text = std::to_string(failure.reason) + " " + failure.text;
    (void)!write(out, text.data(), text.size());
  });
  if (said.empty()) GTEST_SKIP() << "this user cannot be kept out of the pty";
  group* owner = getgrgid(node.st_gid);
  std::string expected = owner == nullptr || node.st_gid == 0
                             ? "permission denied (mode 0660)"
                             : "permission denied: the device belongs to group " +
                                   std::string(owner->gr_name) + "; join it";
  EXPECT_EQ(said.rfind(std::to_string(KTX_OPEN_PERMISSION) + " " + expected, 0), 0u) << said;
}

// A report made on the application's thread is the last report; a waiting
// call keeps its time-out whether the device is silent or gone, and the
// status tells the two apart afterwards; closed, a lost port stays lost
// until it opens again.
TEST(ExtensionStatusTest, TellsAHangUpFromSilence) {
  for (bool hangUp : {false, true}) {
    SCOPED_TRACE(hangUp ? "hung up" : "silent");
    PtyPair pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    RecordingWindow window;
    PortCloser closer(9);
    ASSERT_EQ(OpenOnPty(pty, &window, 9, 8, 64, 1), KT_OK);
    EXPECT_EQ(Status(9).reports, 0u);
    const std::vector<unsigned char> tooLong(9, 0x41);
    EXPECT_EQ(KTSendData(9, tooLong.data(), 9), KT_OK);  // refused with a report
    ASSERT_EQ(window.alerts().size(), 1u);
    EXPECT_EQ("Application Error|" + std::string(Status(9).lastReport), window.alerts()[0]);

    auto waiting = std::async(std::launch::async, [] {
      unsigned char command = 0, data[16];
      uint32_t length = sizeof data;
      return KTSendCommandAndWait(9, 0x10, nullptr, 0, 400, &command, data, &length);
    });
    ASSERT_EQ(pty.Read(4).size(), 4u);
    if (hangUp) pty.ClosePrimary();
    ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(kDeadlineMs)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), KT_TIMED_OUT);
    if (hangUp) {
      ASSERT_TRUE(WaitLost(9));
    }
    KTXPortStatus status = Status(9);
    EXPECT_EQ(status.open, 1);
    EXPECT_EQ(status.lost, hangUp ? 1 : 0);
    EXPECT_EQ(status.reports, hangUp ? 2u : 1u);
    EXPECT_EQ(std::string(status.lastReport).find("WaitCommEvent()") != std::string::npos, hangUp);
    KTClosePort(9);
    EXPECT_EQ(Status(9).open, 0);
    EXPECT_EQ(Status(9).lost, hangUp ? 1 : 0);
  }
}

// Status and device calls from another thread while a port opens, hangs up
// and closes over and over: no crash, no race (ThreadSanitizer), and only
// answers a port can give. A hung-up pty fails every request.
TEST(ExtensionStatusTest, CallsRaceOpensHangUpsAndCloses) {
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      KTXPortStatus status;
      KTXOpenError failure;
      uint32_t lines;
      EXPECT_EQ(KTXGetPortStatus(1, &status), KT_OK);
      EXPECT_EQ(KTXGetOpenError(1, &failure), KT_OK);
      int modem = KTXGetModemLines(1, &lines);
      EXPECT_TRUE(modem == KT_NOT_OPEN || modem == KTX_NOT_SUPPORTED || modem == KTX_DEVICE_FAILED)
          << "result " << modem;
    }
  });
  RecordingWindow window;
  PortCloser closer(1);
  for (int round = 0; round < 30; ++round) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(OpenOnPty(pty, &window, 1, 64, 64, 1), KT_OK);
    EXPECT_EQ(Status(1).lost, 0);
    if (round % 2 == 0) {
      pty.ClosePrimary();
      EXPECT_TRUE(WaitLost(1));
    }
    KTClosePort(1);
  }
  done = true;
  reader.join();
}

}  // namespace
}  // namespace ktcomm::test
