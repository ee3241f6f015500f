// ktcomm term and the long-running listen: a pipe of typed lines, hang-ups
// with and without --reconnect, the protocol hint and --stats, against the
// simulator.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tools/tests/cli_fixture.h"

namespace ktcomm::sim {
namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

class CliSessionTest : public CliFixture {
 protected:
  Outcome Term(const std::string& input, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"term", "1", "--device", device.Path()};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunToEnd(Cli(args), {}, kDeadlineMs, input);
  }
};

// Each line goes out in order, none replacing another in the one transmit
// slot; answers are shown with their text; a bad line is said and skipped;
// the end of input ends term after its grace period.
TEST_F(CliSessionTest, TermSendsPipedLinesInOrderAndShowsAnswers) {
  StartDevice(device);
  Outcome run = Term(
      "10:05\n"
      "# a comment, then a blank line\n"
      "\n"
      "1a:41 42 43\n"
      "zz\n"
      "1a: 01\n"
      "00 80 02 24 07\n"
      "05:",  // no newline before the end
      {"--grace", "1000"});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  ASSERT_TRUE(device.WaitForReceived(5, kDeadlineMs));
  std::vector<Frame> expected = {{1, 0x10, {0x05}},
                                 {1, 0x1A, {0x41, 0x42, 0x43}},
                                 {1, 0x1A, {0x01}},
                                 {1, 0x24, {0x07}},
                                 {1, 0x05, {}}};
  EXPECT_EQ(device.Received(), expected);
  EXPECT_NE(run.out.find(" COM1 cmd=10 len=1 data=05  |.|\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" COM1 cmd=1a len=3 data=41 42 43  |ABC|\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find(" COM1 cmd=05 len=0 data=\n"), std::string::npos) << run.out;
  EXPECT_EQ(Count(run.out, " COM1 cmd="), 5u) << run.out;
  EXPECT_EQ(run.err, "ktcomm: line 5: 'zz' is not hex bytes; write HEX or CMD:HEX\n");
}

// A line nobody answers is said, and so is a command frame the library
// could not build; neither holds up the lines after it.
TEST_F(CliSessionTest, TermSaysWhatALineGotNothingFor) {
  DeviceOptions options;
  std::string error;
  ASSERT_TRUE(options.replies.AddRule("3c=", &error));
  StartDevice(device, std::move(options));
  std::string tooLong = "1a:" + std::string(255 * 2, '0') + "\n";
  Outcome run = Term("3c:\n" + tooLong + "10:05\n", {"--wait", "200", "--tx-size", "400"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err,
            "ktcomm: line 1: no answer within 200 ms\n"
            "ktcomm: line 2: a command frame carries at most 254 data bytes, not 255\n");
  EXPECT_EQ(Count(run.out, " COM1 cmd="), 1u) << run.out;
  EXPECT_NE(run.out.find(" COM1 cmd=10 len=1 data=05"), std::string::npos) << run.out;
  ASSERT_TRUE(device.WaitForReceived(2, kDeadlineMs));
  EXPECT_EQ(device.Received().size(), 2u);
}

// Ctrl-C ends term at once, even while a line waits for an answer far off.
TEST_F(CliSessionTest, TermEndsAtASignalWhileALineWaits) {
  DeviceOptions options;
  std::string error;
  ASSERT_TRUE(options.replies.AddRule("3c=", &error));
  StartDevice(device, std::move(options));
  ChildProcess term(Cli({"term", "1", "--device", device.Path(), "--wait", "600000"}), {},
                    "3c:\n10:05\n");
  ASSERT_TRUE(device.WaitForReceived(1, kDeadlineMs));
  term.Signal(SIGINT);
  ASSERT_TRUE(term.Finish(kDeadlineMs));
  EXPECT_EQ(term.ExitCode(), 0) << term.Err();
  EXPECT_EQ(term.Err(), "");
  EXPECT_EQ(device.Received().size(), 1u);  // the next line is not sent
}

TEST_F(CliSessionTest, TermRawShowsTheBytesBothWays) {
  StartDevice(device);
  Outcome run = Term("10:05\n", {"--raw", "--grace", "1000"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find(" COM1 wrote 00 80 02 10 05  |.....|\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" COM1 read  00 80 02 10 05  |.....|\n"), std::string::npos) << run.out;
}

TEST_F(CliSessionTest, TermShowsUnsolicitedFramesUntilTheGraceEnds) {
  DeviceOptions options;
  options.streamRate = 50;
  options.streamCommand = 0x24;
  StartDevice(device, std::move(options));
  Outcome run = Term("", {"--grace", "1000"});
  EXPECT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_GE(Count(run.out, " COM1 cmd=24 len=1 data="), 3u) << run.out;
}

TEST_F(CliSessionTest, ListenAndTermFailWhenTheDeviceHangsUp) {
  for (const std::string command : {"listen", "term"}) {
    SCOPED_TRACE(command);
    Device lost;
    DeviceOptions options;
    options.streamRate = 50;
    StartDevice(lost, std::move(options));
    std::vector<std::string> args = {command, "1", "--device", lost.Path()};
    std::optional<std::string> input;
    if (command == "term") {
      input = "";  // the end of input at once, then a long grace
      args.insert(args.end(), {"--grace", "60000"});
    }
    ChildProcess session(Cli(args), {}, input);
    ASSERT_TRUE(session.WaitForOutput(" COM1 cmd=1a", kDeadlineMs)) << session.Err();
    lost.Stop();
    ASSERT_TRUE(session.Finish(kDeadlineMs));
    EXPECT_EQ(session.ExitCode(), 1);
    EXPECT_NE(session.Err().find("ktcomm: port 1 lost its device (--reconnect waits for it)\n"),
              std::string::npos)
        << session.Err();
  }
}

// The device is reached through a link that the test points at a second
// simulated device once the first has gone, as udev would for a USB adapter
// plugged in again.
TEST_F(CliSessionTest, ListenAndTermReconnectAfterAHangUp) {
  std::string link = ::testing::TempDir() + "ktcomm_reconnect_" + std::to_string(getpid());
  for (const std::string command : {"listen", "term"}) {
    SCOPED_TRACE(command);
    Device first;
    DeviceOptions options;
    options.streamRate = 50;
    StartDevice(first, options);
    std::filesystem::remove(link);
    std::filesystem::create_symlink(first.Path(), link);
    // term reads no input here: a pipe that stays open would need a writer,
    // so it gets a long grace instead.
    std::optional<std::string> input;
    if (command == "term") input = "";
    std::vector<std::string> args = {command, "1", "--device", link, "--reconnect"};
    if (command == "term") args.insert(args.end(), {"--grace", "60000"});
    ChildProcess session(Cli(args), {}, input);
    ASSERT_TRUE(session.WaitForOutput(" COM1 cmd=1a", kDeadlineMs)) << session.Err();
    first.Stop();
    ASSERT_TRUE(session.WaitForError("waiting for it to come back", kDeadlineMs))
        << session.Err();

    Device second;
    options.streamCommand = 0x24;
    StartDevice(second, options);
    std::string fresh = link + ".new";
    std::filesystem::create_symlink(second.Path(), fresh);
    std::filesystem::rename(fresh, link);
    ASSERT_TRUE(session.WaitForOutput(" COM1 cmd=24", kDeadlineMs)) << session.Err();
    EXPECT_NE(session.Err().find("ktcomm: port 1 reopened on " + link), std::string::npos);
    session.Signal(SIGINT);
    ASSERT_TRUE(session.Finish(kDeadlineMs));
    EXPECT_EQ(session.ExitCode(), 0) << session.Err();
  }
  std::filesystem::remove(link);
}

TEST_F(CliSessionTest, ListenSaysWhenBytesComeButNoFrame) {
  DeviceOptions options;
  options.protocol = 2;
  options.streamRate = 20;
  StartDevice(device, std::move(options));
  ChildProcess listen(Cli({"listen", "1", "--device", device.Path(), "--protocol", "1"}));
  ASSERT_TRUE(listen.WaitForError("and no frame: does the device speak --protocol 1?", kDeadlineMs))
      << listen.Err();
  listen.Signal(SIGINT);
  ASSERT_TRUE(listen.Finish(kDeadlineMs));
  EXPECT_EQ(listen.ExitCode(), 0);
  EXPECT_EQ(listen.Out(), "");
}

TEST_F(CliSessionTest, ListenStatsCountFramesAndBytes) {
  DeviceOptions options;
  options.streamRate = 100;
  StartDevice(device, std::move(options));
  // Standard error is no terminal here, so a line a second; the first may
  // cover the start-up, so the last is checked.
  Outcome run = RunToEnd(
      Cli({"listen", "1", "--device", device.Path(), "--stats", "--duration", "2600"}), {},
      kDeadlineMs);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  ASSERT_GE(Count(run.err, " errors; "), 2u) << run.err;
  std::string last = run.err.substr(run.err.rfind("ktcomm: "));
  double frames = 0;
  double bytes = 0;
  int errors = -1;
  ASSERT_EQ(std::sscanf(last.c_str(), "ktcomm: %lf frames/s, %lf bytes/s, %d errors", &frames,
                        &bytes, &errors),
            3)
      << last;
  EXPECT_GT(frames, 20) << last;  // 100 a second, on a busy machine
  // Each frame is 00 80 02 1a NN on the line.
  EXPECT_NEAR(bytes, frames * 5, frames * 5 * 0.5) << last;
  EXPECT_EQ(errors, 0);
}

}  // namespace
}  // namespace ktcomm::sim
