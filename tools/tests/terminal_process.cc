#include "tools/tests/terminal_process.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "tools/tests/child_process.h"

extern char** environ;

namespace ktcomm::test_support {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

TerminalProcess::TerminalProcess(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& env) {
  // Everything the child needs is made before the fork: the test has
  // threads, so the child may only exec.
  std::vector<std::string> settings = {"TERM=xterm"};
  settings.insert(settings.end(), env.begin(), env.end());
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text = *entry;
    std::string_view name = text.substr(0, text.find('=') + 1);
    bool replaced = false;
    for (const std::string& setting : settings) replaced |= setting.rfind(name, 0) == 0;
    if (!replaced) merged.emplace_back(text);
  }
  // Later settings win over earlier ones of the same name.
  for (size_t i = 0; i < settings.size(); ++i) {
    std::string_view name = std::string_view(settings[i]).substr(0, settings[i].find('=') + 1);
    bool overridden = false;
    for (size_t j = i + 1; j < settings.size(); ++j) overridden |= settings[j].rfind(name, 0) == 0;
    if (!overridden) merged.push_back(settings[i]);
  }
  std::vector<char*> envp;
  for (std::string& entry : merged) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  winsize size{};
  size.ws_row = 30;
  size.ws_col = 100;
  int child = forkpty(&terminal, nullptr, nullptr, &size);
  if (child < 0) {
    terminal = -1;
    return;
  }
  if (child == 0) {
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  pid = child;
}

TerminalProcess::~TerminalProcess() {
  if (pid > 0 && exitCode < 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  if (terminal >= 0) close(terminal);
}

void TerminalProcess::Type(std::string_view keys) {
  while (!keys.empty()) {
    ssize_t put = write(terminal, keys.data(), keys.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    keys.remove_prefix(static_cast<size_t>(put));
  }
}

bool TerminalProcess::Collect(int timeoutMs) {
  if (ended) {
    // Nothing more to read; wait for the exit itself.
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int status;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
      }
      if (MillisecondsLeft(deadline) == 0) return false;
      poll(nullptr, 0, 10);
    }
  }
  pollfd p{terminal, POLLIN, 0};
  int ready = poll(&p, 1, timeoutMs);
  if (ready < 0 && errno == EINTR) return true;
  if (ready <= 0) return false;
  char buffer[4096];
  ssize_t got = read(terminal, buffer, sizeof buffer);
  // EIO: every holder of the child's side has closed it.
  if (got <= 0) {
    ended = true;
  } else {
    out.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

bool TerminalProcess::WaitForOutput(std::string_view text, int timeoutMs, size_t from) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.find(text, from) == std::string::npos) {
    if (ended || MillisecondsLeft(deadline) == 0) return false;
    if (!Collect(MillisecondsLeft(deadline))) return false;
  }
  return true;
}

bool TerminalProcess::Finish(int timeoutMs) {
  if (pid <= 0) return false;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (exitCode < 0) {
    if (MillisecondsLeft(deadline) == 0) return false;
    if (!Collect(MillisecondsLeft(deadline))) return false;
  }
  return true;
}

std::vector<std::string> ScreenLines(std::string_view raw) {
  std::vector<std::string> lines(1);
  size_t column = 0;
  for (size_t i = 0; i < raw.size(); ++i) {
    std::string& line = lines.back();
    char c = raw[i];
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else if (c == '\033' && raw.substr(i, 3) == "\033[K") {
      line.resize(std::min(line.size(), column));
      i += 2;
    } else if (c == '\033' && raw.substr(i, 3) == "\033[J") {
      line.resize(std::min(line.size(), column));
      i += 2;
    } else {
      if (column < line.size()) {
        line[column] = c;
      } else {
        line.resize(column, ' ');
        line += c;
      }
      ++column;
    }
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

}  // namespace ktcomm::test_support
