// The commands that stay with a port: listen prints what arrives, term also
// sends what is typed. Both can ride out a hang-up and reopen the port.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/cli_port.h"

namespace ktcomm::cli {

struct SessionOptions {
  LineOptions line;
  int count = 0;       // listen: stop after this many frames (0: no limit)
  int durationMs = 0;  // listen: stop after this long (0: no limit)
  bool reconnect = false;
  bool stats = false;      // listen: a live line of rates on standard error
  bool raw = false;        // term: show the bytes read and written too
  uint32_t waitMs = 500;   // term: how long each line waits for its answer
  int graceMs = 500;       // term: how long to go on showing frames after EOF
};

int RunListen(const SessionOptions& options);
int RunTerm(const SessionOptions& options);

// A line kept at the bottom of the terminal below the session's output:
// listen's live counters, term's line being typed.
class LiveLine {
 public:
  virtual ~LiveLine() = default;
  // Takes the line off the screen, leaving the cursor at the start of an
  // empty line.
  virtual void Hide() = 0;
  // Draws it again below what was written meanwhile.
  virtual void Show() = 0;
};

// Where a session writes: frames to standard output, messages to standard
// error, each a whole line written above the live line, if any, when it
// goes to a terminal. Main thread only.
class Screen {
 public:
  Screen();
  void SetLive(LiveLine* line) { live = line; }
  // One line on standard output.
  void Out(const std::string& line) { Write(stdout, outTerminal, line); }
  // "ktcomm: <text>" on standard error.
  void Say(const std::string& text) { Write(stderr, errTerminal, "ktcomm: " + text); }

 private:
  void Write(FILE* stream, bool terminal, const std::string& line);

  bool outTerminal;
  bool errTerminal;
  LiveLine* live = nullptr;
};

// What listen and term share.
using SessionClock = std::chrono::steady_clock;
// The poll time-out that wakes at the earliest of the given moments; -1
// for none.
int TimeoutFor(std::initializer_list<std::optional<SessionClock::time_point>> moments);
// After a hang-up: says so and ends the session, or with --reconnect waits
// for the device to come back and reopens it. The exit code to end with, or
// -1 to go on.
int AfterHangUp(Port& port, Screen& screen, int signals, bool reconnect);
// Shows the reports the port held back.
void ShowAlerts(Port& port, Screen& screen);
// "12:34:56.789 COM1 cmd=.. len=.. data=..", with "  |text|" when asked.
std::string FrameLine(const ReceivedFrame& frame, bool withText);

// One line typed at term: "HEX" is sent as it is, "CMD:HEX" as a command
// frame; blank lines and lines starting with '#' are nothing.
struct TermLine {
  bool command = false;
  uint8_t commandByte = 0;
  std::vector<uint8_t> bytes;
};
// The line's meaning; nothing for a blank or comment line. False, with
// *error set to one line, for a line that is neither.
bool ParseTermLine(std::string_view text, std::optional<TermLine>* line, std::string* error);

// "12:34:56.789", local time.
std::string Timestamp(std::chrono::system_clock::time_point when);
// "|AB.d|": the bytes as text, a dot for each that does not print.
std::string Printable(const std::vector<uint8_t>& bytes);

}  // namespace ktcomm::cli
