#include "tools/tests/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace ktcomm::test_support {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text = *entry;
    std::string_view name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const std::string& added : extra) {
      replaced |= added.size() > name.size() && added.compare(0, name.size(), name) == 0 &&
                  added[name.size()] == '=';
    }
    if (!replaced) merged.emplace_back(text);
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env,
                           const std::optional<std::string>& input) {
  int outPipe[2];
  int errPipe[2];
  int inPipe[2] = {-1, -1};
  if (input && pipe2(inPipe, O_CLOEXEC) != 0) return;
  if (input) {
    // Written whole now, so the child reads it and then the end of input.
    ssize_t put = write(inPipe[1], input->data(), input->size());
    close(inPipe[1]);
    if (put != static_cast<ssize_t>(input->size())) {
      close(inPipe[0]);
      return;
    }
  }
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    if (input) close(inPipe[0]);
    return;
  }
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    if (input) close(inPipe[0]);
    close(outPipe[0]);
    close(outPipe[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input) {
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  std::vector<std::string> args = argv;
  std::vector<std::string> environment = MergedEnvironment(env);
  std::vector<char*> argPointers = Pointers(args);
  std::vector<char*> envPointers = Pointers(environment);
  pid_t child = -1;
  int spawned = posix_spawn(&child, argPointers[0], &actions, nullptr, argPointers.data(),
                            envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  if (input) close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  outFd = outPipe[0];
  errFd = errPipe[0];
  if (spawned != 0) {
    err = std::string("cannot start ") + argv[0] + ": " + std::strerror(spawned);
    return;
  }
  pid = child;
  // The system call, as this C library's declaration lacks C linkage.
  pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

ChildProcess::~ChildProcess() {
  if (pid > 0 && exitCode < 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  for (int fd : {pidFd, outFd, errFd}) {
    if (fd >= 0) close(fd);
  }
}

bool ChildProcess::Collect(int timeoutMs) {
  std::array<pollfd, 3> fds = {{{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {pidFd, POLLIN, 0}}};
  int ready = poll(fds.data(), fds.size(), timeoutMs);
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return false;
  std::array<std::pair<int*, std::string*>, 2> pipes = {{{&outFd, &out}, {&errFd, &err}}};
  for (size_t i = 0; i < pipes.size(); ++i) {
    if (fds[i].revents == 0) continue;
    char bytes[4096];
    ssize_t got = read(*pipes[i].first, bytes, sizeof bytes);
    if (got > 0) {
      pipes[i].second->append(bytes, got);
    } else if (got == 0 || errno != EINTR) {
      close(*pipes[i].first);
      *pipes[i].first = -1;
    }
  }
  // Reaped only once both pipes are drained, so no output is lost.
  if ((fds[2].revents & POLLIN) && outFd < 0 && errFd < 0) {
    int status = 0;
    if (waitpid(pid, &status, 0) == pid) {
      exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    close(pidFd);
    pidFd = -1;
  }
  return true;
}

bool ChildProcess::WaitForOutput(std::string_view text, int timeoutMs) {
  return WaitFor(out, text, timeoutMs);
}

bool ChildProcess::WaitForError(std::string_view text, int timeoutMs) {
  return WaitFor(err, text, timeoutMs);
}

bool ChildProcess::WaitFor(const std::string& stream, std::string_view text, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (stream.find(text) == std::string::npos) {
    if (pid <= 0 || exitCode >= 0 || !Collect(MillisecondsLeft(deadline))) return false;
  }
  return true;
}

void ChildProcess::Signal(int signal) {
  if (pid > 0 && exitCode < 0) kill(pid, signal);
}

bool ChildProcess::Finish(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pid > 0 && exitCode < 0) {
    if (!Collect(MillisecondsLeft(deadline))) return false;
  }
  return exitCode >= 0;
}

Outcome RunToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 int timeoutMs, const std::optional<std::string>& input) {
  ChildProcess child(argv, env, input);
  bool finished = child.Finish(timeoutMs);
  return {finished, child.ExitCode(), child.Out(), child.Err()};
}

}  // namespace ktcomm::test_support
