// A program a test runs on a pseudo-terminal, as a person at a terminal
// would: keys typed into it, everything it draws read back raw (escape
// sequences included). Every wait takes a deadline; a child still running
// at destruction is killed and reaped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ktcomm::test_support {

class TerminalProcess {
 public:
  // Starts argv[0] on a new 100x30 terminal, with the test's environment
  // plus `env` ("NAME=VALUE") and TERM=xterm unless `env` names another.
  explicit TerminalProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env = {});
  TerminalProcess(const TerminalProcess&) = delete;
  TerminalProcess& operator=(const TerminalProcess&) = delete;
  ~TerminalProcess();

  bool Started() const { return pid > 0; }
  void Type(std::string_view keys);
  // Collects output until it holds `text` after position `from`; false on
  // time-out or when the child ended without drawing it.
  bool WaitForOutput(std::string_view text, int timeoutMs, size_t from = 0);
  // Collects output until the child has exited; false on time-out.
  bool Finish(int timeoutMs);
  int ExitCode() const { return exitCode; }
  const std::string& Out() const { return out; }

 private:
  bool Collect(int timeoutMs);

  int pid = -1;
  int terminal = -1;  // the primary side
  int exitCode = -1;
  bool ended = false;  // the terminal reported the child's side closed
  std::string out;
};

// The lines a terminal shows for `raw`, for output that moves the cursor by
// carriage returns and erases with ESC[K and ESC[J only.
std::vector<std::string> ScreenLines(std::string_view raw);

}  // namespace ktcomm::test_support
