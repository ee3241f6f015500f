// The ktcomm tool end to end: the real library against the simulator.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/loopback_socket.h"
#include "tools/tests/cli_fixture.h"

namespace ktcomm::sim {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class CliTest : public CliFixture {
 protected:
  // A ktcomm command on port 1 of the simulated device.
  Outcome RunOnDevice(std::vector<std::string> args) {
    args.push_back("--device");
    args.push_back(device.Path());
    return RunToEnd(Cli(args), {}, kDeadlineMs);
  }
};

TEST_F(CliTest, VersionNamesToolAndLibrary) {
  for (const char* how : {"version", "--version"}) {
    Outcome run = RunToEnd(Cli({how}));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "ktcomm 1.41 (library 1.41 Release)\n") << how;
  }
}

TEST_F(CliTest, SendPutsACommandFrameOnTheLine) {
  StartDevice();
  Outcome run = RunOnDevice({"send", "1", "10", "05"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  run = RunOnDevice({"send", "1", "0x1a", "de", "ad:be", "ef"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_TRUE(device.WaitForReceived(2, kDeadlineMs));
  EXPECT_EQ(device.Received()[0], (Frame{1, 0x10, {0x05}}));
  EXPECT_EQ(device.Received()[1], (Frame{1, 0x1A, {0xDE, 0xAD, 0xBE, 0xEF}}));
}

// The library's frames have one length byte: 254 data bytes fit, one more
// would wrap it. Such a frame is refused before anything is opened or sent.
TEST_F(CliTest, CommandsRefuseAFrameTheLibraryCannotBuild) {
  StartDevice();
  std::string most(254 * 2, 'a');
  Outcome run = RunOnDevice({"send", "1", "1a", most, "--tx-size", "400"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_TRUE(device.WaitForReceived(1, kDeadlineMs));
  EXPECT_EQ(device.Received()[0].data, std::vector<uint8_t>(254, 0xAA));
  for (const char* command : {"send", "call"}) {
    run = RunOnDevice({command, "1", "1a", most, "bb", "--tx-size", "400"});
    EXPECT_EQ(run.exitCode, 2) << command;
    EXPECT_EQ(run.err,
              "ktcomm: a command frame carries at most 254 data bytes, not 255 (send a frame of "
              "your own with raw)\n");
  }
  run = RunOnDevice({"send", "1", "05"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_TRUE(device.WaitForReceived(2, kDeadlineMs));
  EXPECT_EQ(device.Received().size(), 2u);
  EXPECT_EQ(device.Received()[1], (Frame{1, 0x05, {}}));
}

TEST_F(CliTest, RawSendsBytesAsTheyAre) {
  StartDevice();
  Outcome run = RunOnDevice({"raw", "1", "1b f3 02 00 42 07 0d"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_TRUE(device.WaitForReceived(1, kDeadlineMs));
  EXPECT_EQ(device.Received()[0], (Frame{2, 0x42, {0x07}}));
}

TEST_F(CliTest, CallPrintsTheAnswer) {
  DeviceOptions options;
  std::string error;
  ASSERT_TRUE(options.replies.AddRule("24=2401", &error));
  StartDevice(std::move(options));
  Outcome run = RunOnDevice({"call", "1", "10", "05"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "cmd=10 len=1 data=05\n");
  run = RunOnDevice({"call", "1", "24"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "cmd=24 len=1 data=01\n");
  // The device named by the environment instead of --device.
  run = RunToEnd(Cli({"call", "1", "05"}), {"KTCOMM_COM1=" + device.Path()}, kDeadlineMs);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "cmd=05 len=0 data=\n");
}

TEST_F(CliTest, CallDecodesProtocol2Answers) {
  DeviceOptions options;
  options.protocol = 2;
  StartDevice(std::move(options));
  Outcome run = RunOnDevice({"call", "1", "1a", "01 02 03", "--protocol", "2"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "cmd=1a len=3 data=01 02 03\n");
}

TEST_F(CliTest, CallTimesOutOnASilentDevice) {
  DeviceOptions options;
  std::string error;
  ASSERT_TRUE(options.replies.AddRule("3c=", &error));
  StartDevice(std::move(options));
  Outcome run = RunOnDevice({"call", "1", "3c", "--timeout", "200"});
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "ktcomm: no answer within 200 ms\n");
  ASSERT_TRUE(device.WaitForReceived(1, kDeadlineMs));  // it was sent all the same
}

// A waiting call keeps its time-out whatever the line does; the tool ends
// it itself when the device goes away.
TEST_F(CliTest, CallEndsAtOnceWhenTheDeviceHangsUp) {
  DeviceOptions options;
  std::string error;
  ASSERT_TRUE(options.replies.AddRule("3c=", &error));
  StartDevice(std::move(options));
  // Far longer than the test's deadline: only the hang-up can end it in time.
  ChildProcess call(Cli({"call", "1", "3c", "--timeout", "600000", "--device", device.Path()}));
  ASSERT_TRUE(device.WaitForReceived(1, kDeadlineMs));
  device.Stop();
  ASSERT_TRUE(call.Finish(kDeadlineMs));
  EXPECT_EQ(call.ExitCode(), 1) << call.Err();
  EXPECT_EQ(call.Out(), "");
  EXPECT_NE(call.Err().find("ktcomm: port 1 lost its device\n"), std::string::npos) << call.Err();
  EXPECT_EQ(call.Err().find("no answer"), std::string::npos) << call.Err();
}

TEST_F(CliTest, CallEndsAtOnceWhenTheServerDropsTheConnection) {
  test::LoopbackSocket server(test::LoopbackSocket::Mode::kListening);
  ASSERT_TRUE(server.ok());
  std::string url = "tcp://" + server.Address();

  ChildProcess call(Cli({"call", "1", "10", "05", "--timeout", "600000", "--device", url}));
  // Takes the connection, waits for the frame, then goes away unanswering.
  pollfd incoming{server.handle(), POLLIN, 0};
  ASSERT_EQ(poll(&incoming, 1, kDeadlineMs), 1) << call.Err();
  int peer = accept4(server.handle(), nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(peer, 0);
  pollfd frame{peer, POLLIN, 0};
  ASSERT_EQ(poll(&frame, 1, kDeadlineMs), 1);
  close(peer);
  ASSERT_TRUE(call.Finish(kDeadlineMs));
  EXPECT_EQ(call.ExitCode(), 1) << call.Err();
  EXPECT_NE(call.Err().find("ktcomm: port 1 lost its device\n"), std::string::npos) << call.Err();
}

// "12:34:56.789"
bool IsTimestamp(std::string_view text) {
  constexpr std::string_view kShape = "dd:dd:dd.ddd";
  if (text.size() != kShape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool fits = kShape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(text[i])) != 0
                                 : text[i] == kShape[i];
    if (!fits) return false;
  }
  return true;
}

// Streamed frames carry consecutive sequence numbers; listen must print
// each, in order, however the line is garbled between them.
void ExpectConsecutiveFrames(const std::string& out, size_t count, const std::string& command) {
  std::vector<std::string> lines = Lines(out);
  ASSERT_EQ(lines.size(), count) << out;
  // "12:34:56.789 COM1 cmd=1a len=1 data=07"
  const std::string fields = " COM1 cmd=" + command + " len=1 data=";
  int previous = -1;
  for (const std::string& line : lines) {
    ASSERT_EQ(line.size(), 12 + fields.size() + 2) << line;
    ASSERT_TRUE(IsTimestamp(line.substr(0, 12))) << line;
    ASSERT_EQ(line.compare(12, fields.size(), fields), 0) << line;
    int sequence = std::stoi(line.substr(line.size() - 2), nullptr, 16);
    if (previous >= 0) {
      EXPECT_EQ(sequence, (previous + 1) % 256) << out;
    }
    previous = sequence;
  }
}

TEST_F(CliTest, ListenPrintsAStreamUpToItsCount) {
  DeviceOptions options;
  options.streamRate = 100;
  StartDevice(std::move(options));
  Outcome run = RunOnDevice({"listen", "1", "--count", "5"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  ExpectConsecutiveFrames(run.out, 5, "1a");
}

TEST_F(CliTest, ListenFindsEveryFrameInNoise) {
  for (int protocol : {1, 2}) {
    SCOPED_TRACE("protocol " + std::to_string(protocol));
    DeviceOptions options;
    options.protocol = protocol;
    options.streamRate = 400;
    options.streamCommand = 0x24;
    options.noise = true;
    options.seed = 11;
    device.Stop();
    StartDevice(std::move(options));
    Outcome run =
        RunOnDevice({"listen", "1", "--count", "30", "--protocol", std::to_string(protocol)});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    ExpectConsecutiveFrames(run.out, 30, "24");
  }
}

TEST_F(CliTest, ListenStopsOnInterruptAndLogsTraffic) {
  DeviceOptions options;
  options.streamRate = 50;
  StartDevice(std::move(options));
  std::string log = ::testing::TempDir() + "ktcomm_listen_test.log";
  std::remove(log.c_str());
  ChildProcess listen(Cli({"listen", "1", "--device", device.Path(), "--log", log}));
  ASSERT_TRUE(listen.WaitForOutput(" COM1 cmd=1a", kDeadlineMs)) << listen.Err();
  listen.Signal(SIGINT);
  ASSERT_TRUE(listen.Finish(kDeadlineMs));
  EXPECT_EQ(listen.ExitCode(), 0) << listen.Err();

  std::ifstream in(log);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find(" COM1 opened"), std::string::npos) << text;
  EXPECT_NE(text.find("\nReading: "), std::string::npos) << text;
  EXPECT_NE(text.find("00 80 02 1a "), std::string::npos) << text;
  EXPECT_NE(text.find(" COM1 closed"), std::string::npos) << text;
  std::remove(log.c_str());
}

TEST_F(CliTest, ListenEndsAfterItsDurationOnASilentLine) {
  StartDevice();
  Outcome run = RunOnDevice({"listen", "1", "--duration", "200"});
  EXPECT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "");
}

// A pty has no modem lines: said in one line, exit 1; an absent device is
// an open failure as for any command.
TEST_F(CliTest, ModemSaysWhenThereAreNoModemLines) {
  StartDevice();
  Outcome run = RunToEnd(Cli({"modem", "1", "--device", device.Path()}), {}, kDeadlineMs);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "ktcomm: " + device.Path() +
                         " has no modem lines (a pseudo-terminal or a network device has none)\n");
  run = RunToEnd(Cli({"modem", "1", "--device", "/nonexistent/tty"}), {}, kDeadlineMs);
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_NE(run.err.find("no such device"), std::string::npos) << run.err;
}

TEST_F(CliTest, AnAbsentDeviceFailsToOpen) {
  Outcome run = RunToEnd(Cli({"call", "1", "10", "--device", "/nonexistent/tty"}));
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.err,
            "ktcomm: cannot open port 1 on /nonexistent/tty: no such device (ktcomm list shows "
            "the devices there are)\n");
}

// What the library reports as result 3 alone, the tool tells apart.
TEST_F(CliTest, OpenFailuresSayWhy) {
  DeviceOptions options;
  options.streamRate = 50;
  StartDevice(std::move(options));
  ChildProcess holder(Cli({"listen", "1", "--device", device.Path()}));
  ASSERT_TRUE(holder.WaitForOutput(" COM1 cmd=1a", kDeadlineMs)) << holder.Err();

  // Bound but not listening: a connection to it is refused, and the port
  // stays ours for the length of the test.
  test::LoopbackSocket refusing(test::LoopbackSocket::Mode::kRefusing);
  ASSERT_TRUE(refusing.ok());
  std::string refused = refusing.Address();

  const std::vector<std::pair<std::string, std::string>> cases = {
      {device.Path(), "in use by process " + std::to_string(holder.Pid()) + " (ktcomm)"},
      {"tcp://" + refused, "connection refused (nothing listens on port "},
      {"rfc2217://" + refused, "connection refused"},
      {"tcp://127.0.0.1", "malformed URL: write tcp://HOST:PORT or rfc2217://HOST:PORT"},
      {"rfc2217://::1:2000", "malformed URL"},
      {"tcp:/127.0.0.1:2000", "malformed URL"},
      {"/etc/passwd", "not a serial device"},
      {"/dev/null", "not a serial device (SetCommTimeouts() failed: "},
  };
  for (const auto& [name, why] : cases) {
    Outcome run = RunToEnd(Cli({"call", "1", "10", "--device", name}), {}, kDeadlineMs);
    EXPECT_EQ(run.exitCode, 3) << name;
    std::string head = "ktcomm: cannot open port 1 on " + name + ": ";
    EXPECT_EQ(run.err.rfind(head + why, 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  holder.Signal(SIGINT);
  EXPECT_TRUE(holder.Finish(kDeadlineMs));
}

// Root opens anything, so the permission text shows only for other users.
TEST_F(CliTest, APermissionProblemIsSaid) {
  if (geteuid() == 0) GTEST_SKIP() << "root may open every device";
  StartDevice();
  // A pty belongs to its user; taking the group's and our own rights away
  // leaves the open to permissions alone.
  ASSERT_EQ(chmod(device.Path().c_str(), 0), 0);
  Outcome run = RunToEnd(Cli({"call", "1", "10", "--device", device.Path()}), {}, kDeadlineMs);
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_NE(run.err.find(": permission denied"), std::string::npos) << run.err;
}

// Each mistake is one line on standard error and its own exit code; none
// of them gets as far as sending anything.
TEST_F(CliTest, RefusesBadArguments) {
  StartDevice();
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{}, 2},
      {{"bogus"}, 2},
      {{"send"}, 2},
      {{"send", "1"}, 2},
      {{"send", "x", "10"}, 2},
      {{"send", "1", "zz"}, 2},
      {{"send", "1", "10", "0"}, 2},
      {{"call", "1", "10", "--timeout", "soon"}, 2},
      {{"listen", "1", "--protocol", "3"}, 2},
      {{"listen", "1", "--parity", "X"}, 2},
      {{"call", "1", "10", "--baud", "0"}, 2},
      {{"call", "1", "10", "--baud", "fast"}, 2},
      {{"listen", "1", "--data", "9"}, 2},
      {{"listen", "1", "--data", "4"}, 2},
      {{"term", "1", "--stop", "3"}, 2},
      {{"term", "1", "--wait", "0"}, 2},
      {{"send", "11", "10"}, 7},
      {{"call", "0", "10"}, 7},
      {{"send", "1", "10", "--tx-size", "3"}, 6},
      {{"send", "1", "1a", "0102030405", "--tx-size", "8"}, 6},
      {{"raw", "1", "0102030405", "--tx-size", "4"}, 6},
  };
  for (const auto& [args, code] : cases) {
    std::vector<std::string> withDevice = args;
    if (!args.empty() && args[0] != "bogus") {
      withDevice.insert(withDevice.end(), {"--device", device.Path()});
    }
    Outcome run = RunToEnd(Cli(withDevice), {}, kDeadlineMs);
    std::string shown = ::testing::PrintToString(args);
    EXPECT_EQ(run.exitCode, code) << shown << "\n" << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << shown << "\n" << run.err;
    EXPECT_EQ(run.err.rfind("ktcomm: ", 0), 0u) << shown << "\n" << run.err;
  }
  EXPECT_TRUE(device.Received().empty());
}

TEST_F(CliTest, AnUnknownCommandIsNamed) {
  Outcome run = RunToEnd(Cli({"bogus"}));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err.rfind("ktcomm: 'bogus' is not a command; the commands are version, send,", 0),
            0u)
      << run.err;
}

TEST_F(CliTest, HelpListsTheExitCodes) {
  Outcome run = RunToEnd(Cli({"--help"}));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("4 timed out"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace ktcomm::sim
