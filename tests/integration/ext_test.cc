// The extension calls through the shared library: why an open failed, on
// real devices, files, folders, a device another process holds and network
// names on 127.0.0.1; the port's status through reports and a hang-up of a
// pty or of a server; modem lines and break where there are none; the
// device list; and status calls racing opens and closes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "api/ktcomm_ext.h"
#include "tests/support/hostile_server.h"
#include "tests/support/pty_port.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDeadlineMs = 10000;

int Open(KTWindow* window, int port, int txSize = 64) {
  return KTOpenPort(window, port, txSize, 64, 9600, 'N', 8, 1, 1);
}

KTXOpenError OpenError(int port) {
  KTXOpenError failure;
  std::memset(&failure, 0x55, sizeof failure);  // every field must be written
  EXPECT_EQ(KTXGetOpenError(port, &failure), KT_OK);
  return failure;
}

KTXPortStatus Status(int port) {
  KTXPortStatus status;
  std::memset(&status, 0x55, sizeof status);
  EXPECT_EQ(KTXGetPortStatus(port, &status), KT_OK);
  return status;
}

// Polls the port's status until `lost`; false when the deadline passed.
bool WaitLost(int port) {
  for (auto deadline = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
       Clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (Status(port).lost) return true;
  }
  return false;
}

// Waits for a child to end, killing it at the deadline; whether it ended
// by itself.
bool Reaped(pid_t child) {
  for (auto deadline = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
       Clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (waitpid(child, nullptr, WNOHANG) == child) return true;
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return false;
}

// A loopback port that is bound but does not listen: connections to it are
// refused for as long as the test holds it.
class RefusingPort {
 public:
  RefusingPort() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    number = ntohs(address.sin_port);
  }
  ~RefusingPort() {
    if (fd >= 0) close(fd);
  }
  int number = 0;

 private:
  int fd = -1;
};

// A raw TCP server on 127.0.0.1 that takes one connection, reads what comes
// and closes the connection when told.
class ClosingServer {
 public:
  ClosingServer() {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    url = "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }
  ~ClosingServer() {
    if (connection >= 0) close(connection);
    if (listener >= 0) close(listener);
  }
  // Takes the connection and reads until `count` bytes came; false at the deadline.
  bool AcceptAndRead(size_t count) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, kDeadlineMs) != 1) return false;
    connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    size_t got = 0;
    while (connection >= 0 && got < count) {
      pollfd q{connection, POLLIN, 0};
      if (poll(&q, 1, kDeadlineMs) != 1) return false;
      char buffer[64];
      ssize_t n = read(connection, buffer, sizeof buffer);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return connection >= 0;
  }
  void Drop() {
    close(connection);
    connection = -1;
  }
  std::string url;

 private:
  int listener = -1;
  int connection = -1;
};

TEST(ExtensionOpenErrorTest, SaysWhyALocalDeviceDidNotOpen) {
  namespace fs = std::filesystem;
  RecordingWindow window;
  PortCloser closer(4);
  fs::path file = fs::path(testing::TempDir()) / ("ktcomm_ext_file_" + std::to_string(getpid()));
  std::ofstream(file) << "not a tty";
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    MapPort(4, c.device);
    ASSERT_EQ(Open(&window, 4), KT_OPEN_FAILED);
    KTXOpenError failure = OpenError(4);
    EXPECT_EQ(failure.reason, c.reason);
    EXPECT_EQ(std::string(failure.text).rfind(c.text, 0), 0u) << failure.text;
    EXPECT_EQ(failure.device, c.device);
    EXPECT_EQ(failure.systemError, c.systemError);
    EXPECT_EQ(failure.holderPid, 0);
    EXPECT_EQ(failure.truncated, 0);
  }
  // A size refused before anything opened is the last open's outcome too.
  EXPECT_EQ(KTOpenPort(&window, 4, 3, 64, 9600, 'N', 8, 1, 1), KT_TOO_SMALL);
  EXPECT_EQ(OpenError(4).reason, KTX_OPEN_BAD_SIZE);
  EXPECT_EQ(KTOpenPort(&window, 4, 64, -1, 9600, 'N', 8, 1, 1), KT_TOO_SMALL);
  EXPECT_EQ(OpenError(4).reason, KTX_OPEN_BAD_SIZE);
  // A path too long for the field is cut, and said to be.
  std::string longName = "/nonexistent/" + std::string(400, 'x');
  MapPort(4, longName);
  ASSERT_EQ(Open(&window, 4), KT_OPEN_FAILED);
  KTXOpenError failure = OpenError(4);
  EXPECT_EQ(failure.truncated, 1);
  EXPECT_EQ(std::string(failure.device), longName.substr(0, sizeof failure.device - 1));
  fs::remove(file);
}

TEST(ExtensionOpenErrorTest, NamesWhoHoldsTheDevice) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  PortCloser first(5), second(6);
  // Another port of this process has it.
  ASSERT_EQ(OpenOnPty(pty, &window, 5, 64, 64, 1), KT_OK);
  ASSERT_EQ(OpenOnPty(pty, &window, 6, 64, 64, 1), KT_OPEN_FAILED);
  KTXOpenError failure = OpenError(6);
  EXPECT_EQ(failure.reason, KTX_OPEN_IN_USE);
  EXPECT_EQ(failure.holderPid, getpid());
  EXPECT_STREQ(failure.text, "in use by this process (another port has it open)");
  EXPECT_EQ(OpenError(5).reason, KTX_OPEN_OK);
  EXPECT_STREQ(OpenError(5).text, "");
  KTClosePort(5);

  // Another process holds its lock.
  int ready[2], release[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
  pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    close(ready[0]);
    close(release[1]);
    int fd = open(pty.secondaryPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    char byte = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'y' : 'n';
    (void)!write(ready[1], &byte, 1);
    (void)!read(release[0], &byte, 1);  // until the test closes its end
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  char byte = 0;
  pollfd p{ready[0], POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, kDeadlineMs), 1);
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'y');
  EXPECT_EQ(Open(&window, 6), KT_OPEN_FAILED);
  failure = OpenError(6);
  close(release[1]);
  close(ready[0]);
  EXPECT_TRUE(Reaped(holder));
  EXPECT_EQ(failure.reason, KTX_OPEN_IN_USE);
  EXPECT_EQ(failure.holderPid, holder);
  EXPECT_EQ(std::string(failure.text).rfind("in use by process " + std::to_string(holder) + " (", 0),
            0u)
      << failure.text;
  // Once it let go, the port opens and the reason is gone.
  EXPECT_EQ(Open(&window, 6), KT_OK);
  EXPECT_EQ(OpenError(6).reason, KTX_OPEN_OK);
}

// Root opens anything: as root the open is tried by a child that has given
// its privileges up for those of nobody. The pty's group may use it, this
// user is not in that group: the text says to join it.
TEST(ExtensionOpenErrorTest, SaysPermissionDeniedAndTheGroupToJoin) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  // As a serial device is kept: by a group of its own (root can give it one).
  if (geteuid() == 0) {
    group* dialout = getgrnam("dialout");
    if (dialout != nullptr) {
      ASSERT_EQ(chown(pty.secondaryPath().c_str(), -1, dialout->gr_gid), 0);
    }
  }
  struct stat node;
  ASSERT_EQ(stat(pty.secondaryPath().c_str(), &node), 0);
  ASSERT_EQ(chmod(pty.secondaryPath().c_str(), 0660), 0);
  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(report[0]);
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(2);
    }
    if (getegid() == node.st_gid) _exit(3);  // the group would let us in
    MapPort(7, pty.secondaryPath());
    int result = KTOpenPort(nullptr, 7, 64, 64, 9600, 'N', 8, 1, 1);
    KTXOpenError failure;
    KTXGetOpenError(7, &failure);
    std::string said = std::to_string(result) + " " + std::to_string(failure.reason) + " " +
                       failure.text;
    (void)!write(report[1], said.data(), said.size());
    _exit(0);
  }
  close(report[1]);
  std::string said;
  char buffer[512];
  for (pollfd p{report[0], POLLIN, 0}; poll(&p, 1, kDeadlineMs) == 1;) {
    ssize_t n = read(report[0], buffer, sizeof buffer);
    if (n <= 0) break;
    said.append(buffer, static_cast<size_t>(n));
  }
  close(report[0]);
  ASSERT_TRUE(Reaped(child));
  if (said.empty()) GTEST_SKIP() << "this user cannot be kept out of the pty";
  EXPECT_EQ(said.rfind("3 " + std::to_string(KTX_OPEN_PERMISSION) + " permission denied", 0), 0u)
      << said;
  group* owner = getgrgid(node.st_gid);
  if (owner == nullptr || node.st_gid == 0) {
    EXPECT_NE(said.find("permission denied (mode 0660)"), std::string::npos) << said;
  } else {
    EXPECT_NE(said.find("belongs to group " + std::string(owner->gr_name) + "; join it"),
              std::string::npos)
        << said;
  }
}

TEST(ExtensionOpenErrorTest, SaysWhyANetworkDeviceDidNotOpen) {
  RefusingPort refusing;
  ASSERT_NE(refusing.number, 0);
  std::string port = std::to_string(refusing.number);
  RecordingWindow window;
  PortCloser closer(8);
  struct Case {
    std::string device;
    int reason;
    std::string text;
  };
  const Case cases[] = {
      {"tcp://127.0.0.1:" + port, KTX_OPEN_REFUSED,
       "connection refused (nothing listens on port " + port + ")"},
      {"rfc2217://[::1]:" + port, -1, ""},  // refused, or no IPv6 here
      {"tcp://127.0.0.1", KTX_OPEN_BAD_NAME, "malformed URL: "},
      {"Tcp:/127.0.0.1:" + port, KTX_OPEN_BAD_NAME, "malformed URL: "},
      {"tcp://no-such-host.invalid:" + port, KTX_OPEN_HOST_NOT_FOUND,
       "host name no-such-host.invalid not found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    MapPort(8, c.device);
    ASSERT_EQ(Open(&window, 8), KT_OPEN_FAILED);
    KTXOpenError failure = OpenError(8);
    if (c.reason < 0) {
      EXPECT_TRUE(failure.reason == KTX_OPEN_REFUSED || failure.reason == KTX_OPEN_UNREACHABLE ||
                  failure.reason == KTX_OPEN_OTHER)
          << failure.text;
      continue;
    }
    EXPECT_EQ(failure.reason, c.reason) << failure.text;
    EXPECT_EQ(std::string(failure.text).rfind(c.text, 0), 0u) << failure.text;
    EXPECT_EQ(failure.device, c.device);
  }
  // None of these showed an error text: the open's own reports are for
  // failures of a device that answered.
  EXPECT_TRUE(window.alerts().empty()) << window.alerts().front();
}

// A report made on the application's thread, then the worker's report of a
// hang-up; closed, the port stays lost until it opens again.
TEST(ExtensionStatusTest, FollowsReportsAndAHangUp) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  PortCloser closer(9);
  ASSERT_EQ(OpenOnPty(pty, &window, 9, 8, 64, 1), KT_OK);
  KTXPortStatus status = Status(9);
  EXPECT_EQ(status.open, 1);
  EXPECT_EQ(status.lost, 0);
  EXPECT_EQ(status.reports, 0u);
  EXPECT_STREQ(status.lastReport, "");
  EXPECT_EQ(status.truncated, 0);

  const std::vector<unsigned char> tooLong(9, 0x41);
  EXPECT_EQ(KTSendData(9, tooLong.data(), 9), KT_OK);  // refused with a report
  ASSERT_EQ(window.alerts().size(), 1u);
  status = Status(9);
  EXPECT_EQ(status.reports, 1u);
  EXPECT_EQ("Application Error|" + std::string(status.lastReport), window.alerts()[0]);
  EXPECT_EQ(status.lost, 0);

  pty.ClosePrimary();
  ASSERT_TRUE(window.WaitAlerts(2, kDeadlineMs));
  ASSERT_TRUE(WaitLost(9));
  uint32_t lines = 0;
  EXPECT_EQ(KTXGetModemLines(9, &lines), KTX_DEVICE_FAILED);  // a hung-up tty refuses all
  status = Status(9);
  EXPECT_EQ(status.open, 1);
  EXPECT_EQ(status.reports, 2u);
  EXPECT_NE(std::string(status.lastReport).find("WaitCommEvent()"), std::string::npos);
  EXPECT_EQ("Application Error|" + std::string(status.lastReport), window.alerts()[1]);

  KTClosePort(9);
  status = Status(9);
  EXPECT_EQ(status.open, 0);
  EXPECT_EQ(status.lost, 1);

  PtyPair again;
  ASSERT_TRUE(again.ok());
  ASSERT_EQ(OpenOnPty(again, &window, 9, 64, 64, 1), KT_OK);
  status = Status(9);
  EXPECT_EQ(status.open, 1);
  EXPECT_EQ(status.lost, 0);
  EXPECT_EQ(status.reports, 0u);
  EXPECT_STREQ(status.lastReport, "");
}

// What the header tells a C application to do: close the port from the
// alert once the status says lost (which it does by the time the alert
// runs), which ends a waiting call at once.
TEST(ExtensionStatusTest, ClosingFromTheAlertEndsAWaitAtTheHangUp) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  struct Closing : KTWindow {
    std::atomic<bool> closed{false};
  } window;
  window.post = nullptr;
  window.alert = [](KTWindow* self, const char*, const char*) {
    KTXPortStatus status;
    if (KTXGetPortStatus(10, &status) == KT_OK && status.lost) {
      KTClosePort(10);
      static_cast<Closing*>(self)->closed = true;
    }
  };
  PortCloser closer(10);
  ASSERT_EQ(OpenOnPty(pty, &window, 10, 64, 64, 1), KT_OK);
  auto waiting = std::async(std::launch::async, [] {
    unsigned char command = 0, data[16];
    uint32_t length = sizeof data;
    auto start = Clock::now();
    int result = KTSendCommandAndWait(10, 0x10, nullptr, 0, 60000, &command, data, &length);
    return std::make_pair(result, Clock::now() - start);
  });
  ASSERT_EQ(pty.Read(4).size(), 4u);  // the command went out: the call waits
  pty.ClosePrimary();
  ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(kDeadlineMs)), std::future_status::ready);
  auto [result, took] = waiting.get();
  EXPECT_EQ(result, KT_NOT_OPEN);
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_TRUE(window.closed);
  EXPECT_EQ(Status(10).lost, 1);
}

// A waiting call keeps its time-out whether the device is silent or gone;
// the status tells the two apart afterwards.
TEST(ExtensionStatusTest, TellsAHangUpFromSilenceAfterATimeOut) {
  for (bool hangUp : {false, true}) {
    SCOPED_TRACE(hangUp ? "hung up" : "silent");
    PtyPair pty;
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    RecordingWindow window;
    PortCloser closer(10);
    ASSERT_EQ(OpenOnPty(pty, &window, 10, 64, 64, 1), KT_OK);
    auto waiting = std::async(std::launch::async, [] {
      unsigned char command = 0, data[16];
      uint32_t length = sizeof data;
      return KTSendCommandAndWait(10, 0x10, nullptr, 0, 400, &command, data, &length);
    });
    ASSERT_EQ(pty.Read(4).size(), 4u);
    if (hangUp) pty.ClosePrimary();
    ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(kDeadlineMs)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), KT_TIMED_OUT);
    if (hangUp) {
      ASSERT_TRUE(WaitLost(10));
    }
    KTXPortStatus status = Status(10);
    EXPECT_EQ(status.lost, hangUp ? 1 : 0);
    EXPECT_EQ(status.reports, hangUp ? 1u : 0u);
  }
}

TEST(ExtensionStatusTest, AServerThatClosesTheConnectionLosesThePort) {
  ClosingServer server;
  ASSERT_FALSE(server.url.empty());
  RecordingWindow window;
  PortCloser closer(3);
  MapPort(3, server.url);
  ASSERT_EQ(Open(&window, 3), KT_OK);
  uint32_t lines = 0;
  EXPECT_EQ(KTXGetModemLines(3, &lines), KTX_NOT_SUPPORTED);
  EXPECT_EQ(KTXSendBreak(3, 10), KTX_NOT_SUPPORTED);
  EXPECT_EQ(KTSendCommand(3, 0x10, 0, nullptr), KT_OK);
  ASSERT_TRUE(server.AcceptAndRead(4));
  EXPECT_EQ(Status(3).lost, 0);
  server.Drop();
  ASSERT_TRUE(WaitLost(3));
  KTXPortStatus status = Status(3);
  EXPECT_EQ(status.open, 1);
  EXPECT_NE(std::string(status.lastReport).find("WaitCommEvent()"), std::string::npos);

  // An RFC 2217 server that resets the connection, likewise.
  HostileServer resetting(HostileServer::Mode::kReset);
  ASSERT_TRUE(resetting.ok());
  MapPort(3, resetting.Url());
  ASSERT_EQ(Open(&window, 3), KT_OK);
  EXPECT_EQ(Status(3).lost, 0);
  ASSERT_TRUE(resetting.Misbehave());
  EXPECT_TRUE(WaitLost(3));
}

TEST(ExtensionDeviceTest, APtyHasNoModemLinesAndSendsNoBreak) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;
  PortCloser closer(2);
  uint32_t lines = 0xABCD;
  EXPECT_EQ(KTXGetModemLines(2, &lines), KT_NOT_OPEN);
  EXPECT_EQ(KTXSendBreak(2, 100), KT_NOT_OPEN);
  for (int bad : {0, 11, -1}) {
    EXPECT_EQ(KTXGetModemLines(bad, &lines), KT_BAD_PORT);
    EXPECT_EQ(KTXSendBreak(bad, 100), KT_BAD_PORT);
    EXPECT_EQ(KTXGetPortStatus(bad, nullptr), KT_BAD_PORT);
    EXPECT_EQ(KTXGetOpenError(bad, nullptr), KT_BAD_PORT);
  }
  ASSERT_EQ(OpenOnPty(pty, &window, 2, 64, 64, 1), KT_OK);
  EXPECT_EQ(KTXGetModemLines(2, &lines), KTX_NOT_SUPPORTED);
  EXPECT_EQ(lines, 0xABCDu);  // untouched
  auto start = Clock::now();
  EXPECT_EQ(KTXSendBreak(2, KTX_MAX_BREAK_MS), KTX_NOT_SUPPORTED);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));  // refused, not waited out
  EXPECT_EQ(KTXSendBreak(2, 0), KTX_BAD_ARGUMENT);
  EXPECT_EQ(KTXSendBreak(2, KTX_MAX_BREAK_MS + 1), KTX_BAD_ARGUMENT);
  EXPECT_TRUE(window.alerts().empty());
  // The port works on as before.
  const unsigned char ping[] = {0x01, 0x02};
  EXPECT_EQ(KTSendData(2, ping, 2), KT_OK);
  EXPECT_EQ(pty.Read(2), (std::vector<uint8_t>{0x01, 0x02}));
}

TEST(ExtensionDeviceTest, ListsTheSameDevicesHoweverAsked) {
  uint32_t count = 12345;
  EXPECT_EQ(KTXListDevices(nullptr, 0, nullptr), KT_TOO_SMALL);
  EXPECT_EQ(KTXListDevices(nullptr, 4, &count), KT_TOO_SMALL);
  int first = KTXListDevices(nullptr, 0, &count);
  ASSERT_EQ(first, count == 0 ? KT_OK : KT_TOO_SMALL);
  std::vector<KTXDevice> devices(count + 2);
  std::memset(devices.data(), 0x55, devices.size() * sizeof(KTXDevice));
  uint32_t again = 0;
  ASSERT_EQ(KTXListDevices(devices.data(), static_cast<uint32_t>(devices.size()), &again), KT_OK);
  ASSERT_EQ(again, count);
  for (uint32_t i = 0; i < count; ++i) {
    const KTXDevice& device = devices[i];
    EXPECT_LT(std::strlen(device.path), sizeof device.path);
    EXPECT_LT(std::strlen(device.tty), sizeof device.tty);
    EXPECT_EQ(std::string(device.path).rfind("/dev/", 0), 0u) << device.path;
    EXPECT_TRUE(device.usb == 1 || device.uartType != 0) << device.path;
  }
  // Entries past the count are left alone.
  EXPECT_EQ(static_cast<unsigned char>(devices[count].path[0]), 0x55);
}

// Status and device calls from another thread while a port opens, hangs up
// and closes over and over: no crash, no race (ThreadSanitizer), and only
// answers a port can give.
TEST(ExtensionStatusTest, CallsRaceOpensHangUpsAndCloses) {
  std::atomic<bool> done{false};
  std::atomic<int> asked{0};
  std::thread reader([&] {
    while (!done) {
      KTXPortStatus status;
      KTXOpenError failure;
      uint32_t lines;
      EXPECT_EQ(KTXGetPortStatus(1, &status), KT_OK);
      EXPECT_EQ(KTXGetOpenError(1, &failure), KT_OK);
      // A hung-up pty fails every request.
      int modem = KTXGetModemLines(1, &lines);
      EXPECT_TRUE(modem == KT_NOT_OPEN || modem == KTX_NOT_SUPPORTED || modem == KTX_DEVICE_FAILED)
          << "result " << modem;
      asked += 1;
    }
  });
  RecordingWindow window;
  PortCloser closer(1);
  for (int round = 0; round < 30; ++round) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(OpenOnPty(pty, &window, 1, 64, 64, 1), KT_OK);
    if (round % 2 == 0) {
      pty.ClosePrimary();
      EXPECT_TRUE(WaitLost(1));
    }
    KTClosePort(1);
  }
  done = true;
  reader.join();
  EXPECT_GT(asked.load(), 0);
}

}  // namespace
}  // namespace ktcomm::test
