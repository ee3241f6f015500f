// A program a test runs, with its standard output and error captured. Every
// wait takes a deadline; a child still running at destruction is killed and
// reaped.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ktcomm::test_support {

// What is left of a deadline, in whole milliseconds rounded up, for poll.
inline int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                  .count();
  return left > 0 ? static_cast<int>(left) : 0;
}

class ChildProcess {
 public:
  // Starts argv[0] with the test's environment plus `env` ("NAME=VALUE",
  // replacing a variable of that name). Started() says whether it ran.
  // Standard input is /dev/null, or a pipe that holds `input` and then ends
  // (input up to the pipe's capacity, 64 KiB).
  explicit ChildProcess(const std::vector<std::string>& argv,
                        const std::vector<std::string>& env = {},
                        const std::optional<std::string>& input = std::nullopt);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  bool Started() const { return pid > 0; }
  int Pid() const { return pid; }
  // Collects output until standard output holds `text`; false on time-out
  // or when the child ends without printing it.
  bool WaitForOutput(std::string_view text, int timeoutMs);
  // The same for standard error.
  bool WaitForError(std::string_view text, int timeoutMs);
  void Signal(int signal);
  // Collects output until the child has exited; false on time-out.
  bool Finish(int timeoutMs);

  // The exit status, or 128 + the signal that ended it; -1 while running.
  int ExitCode() const { return exitCode; }
  const std::string& Out() const { return out; }
  const std::string& Err() const { return err; }

 private:
  // One poll over the pipes and the child; false when the deadline passed.
  bool Collect(int timeoutMs);
  bool WaitFor(const std::string& stream, std::string_view text, int timeoutMs);

  int pid = -1;
  int pidFd = -1;
  int outFd = -1;
  int errFd = -1;
  int exitCode = -1;
  std::string out;
  std::string err;
};

struct Outcome {
  bool finished;
  int exitCode;
  std::string out;
  std::string err;
};

// Runs a program to its end, or kills it after timeoutMs.
Outcome RunToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                 int timeoutMs = 10000, const std::optional<std::string>& input = std::nullopt);

#ifdef KTCOMM_CLI_PATH
// The command line of the ktcomm tool with these arguments.
inline std::vector<std::string> Cli(std::vector<std::string> args) {
  args.insert(args.begin(), KTCOMM_CLI_PATH);
  return args;
}
#endif

}  // namespace ktcomm::test_support
