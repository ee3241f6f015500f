// The ktcomm tool at a terminal, as a person uses it: term's line editor and
// banner, and listen's live counters, on a pseudo-terminal of the test's.
#include <gtest/gtest.h>

#include <cctype>

#include "tools/tests/cli_fixture.h"
#include "tools/tests/terminal_process.h"

namespace ktcomm::sim {
namespace {

using test_support::ScreenLines;
using test_support::TerminalProcess;

class CliTerminalTest : public CliFixture {};

// What is typed survives frames arriving meanwhile, which are drawn above
// it; the cursor keys move in the line and recall earlier lines; a line
// nobody answers is said; Ctrl-D ends.
TEST_F(CliTerminalTest, TermEditsTheLineAndKeepsFramesAboveIt) {
  DeviceOptions options;
  std::string error;
  ASSERT_TRUE(options.replies.AddRule("3c=", &error));
  StartDevice(std::move(options));
  TerminalProcess term(Cli({"term", "1", "--device", device.Path(), "--wait", "300"}));
  ASSERT_TRUE(term.Started());
  ASSERT_TRUE(term.WaitForOutput("COM1> ", kDeadlineMs)) << term.Out();
  EXPECT_NE(term.Out().find("ktcomm term: port 1 on " + device.Path() +
                            ", 115200 baud 8N1, protocol 1"),
            std::string::npos)
      << term.Out();
  EXPECT_NE(term.Out().find("(waits 300 ms)"), std::string::npos) << term.Out();
  EXPECT_NE(term.Out().find("Ctrl-D or Ctrl-C quits"), std::string::npos) << term.Out();

  term.Type("1a:de");
  ASSERT_TRUE(term.WaitForOutput("1a:de", kDeadlineMs)) << term.Out();
  size_t typed = term.Out().size();
  device.Send({1, 0x24, {0x07}});
  ASSERT_TRUE(term.WaitForOutput(" COM1 cmd=24 len=1 data=07", kDeadlineMs, typed)) << term.Out();
  size_t frame = term.Out().find(" COM1 cmd=24", typed);
  ASSERT_TRUE(term.WaitForOutput("COM1> 1a:de", kDeadlineMs, frame)) << term.Out();

  term.Type(" ad\r");
  ASSERT_TRUE(device.WaitForReceived(1, kDeadlineMs)) << term.Out();
  EXPECT_EQ(device.Received()[0], (Frame{1, 0x1A, {0xDE, 0xAD}}));

  term.Type("1a:0\033[D5\r");  // left arrow: "1a:50"
  ASSERT_TRUE(device.WaitForReceived(2, kDeadlineMs)) << term.Out();
  EXPECT_EQ(device.Received()[1], (Frame{1, 0x1A, {0x50}}));
  term.Type("\033[A\r");  // up arrow: the same line again
  ASSERT_TRUE(device.WaitForReceived(3, kDeadlineMs)) << term.Out();
  EXPECT_EQ(device.Received()[2], (Frame{1, 0x1A, {0x50}}));

  term.Type("3c:\r");
  ASSERT_TRUE(term.WaitForOutput("ktcomm: line 4: no answer within 300 ms", kDeadlineMs))
      << term.Out();
  // The prompt again before Ctrl-D: the tool is then reading the next line.
  size_t unanswered = term.Out().find("ktcomm: line 4: no answer");
  ASSERT_TRUE(term.WaitForOutput("COM1> ", kDeadlineMs, unanswered)) << term.Out();
  term.Type("\x04");
  ASSERT_TRUE(term.Finish(kDeadlineMs)) << term.Out();
  EXPECT_EQ(term.ExitCode(), 0) << term.Out();
}

// On a terminal the counters are one line below the frames, rewritten in
// place; no frame line carries any of their text.
TEST_F(CliTerminalTest, ListenStatsKeepALineOfTheirOwn) {
  DeviceOptions options;
  options.streamRate = 40;
  StartDevice(std::move(options));
  TerminalProcess listen(
      Cli({"listen", "1", "--device", device.Path(), "--stats", "--duration", "2500"}));
  ASSERT_TRUE(listen.Finish(kDeadlineMs)) << listen.Out();
  EXPECT_EQ(listen.ExitCode(), 0) << listen.Out();
  std::vector<std::string> lines = ScreenLines(listen.Out());
  ASSERT_GE(lines.size(), 10u) << listen.Out();
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    EXPECT_TRUE(line.size() > 12 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                line.find(" COM1 cmd=1a len=1 data=") == 12 && line.find("frames") == line.npos)
        << "line " << i << ": '" << line << "'";
  }
  EXPECT_EQ(lines.back().rfind("ktcomm: ", 0), 0u) << lines.back();
  EXPECT_NE(lines.back().find(" frames/s, "), std::string::npos) << lines.back();
}

}  // namespace
}  // namespace ktcomm::sim
