#include "bench/support/device_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "bench/support/measure.h"
#include "tests/support/programs.h"
#include "tools/sim/sim_frames.h"

namespace ktcomm::bench {
namespace {

constexpr int kReportWaitMs = 5000;
constexpr int kExitWaitMs = 5000;

// What Prompt sends the child, one datagram each.
struct PromptMessage {
  uint32_t index;
  int32_t pauseUs;
};

// Sleeps the pause, then hands the stamped frame to the device.
void SpeakFirst(sim::Device& device, int pauseUs) {
  std::vector<uint8_t> frame =
      sim::Encode(sim::Frame{1, kStampCommand, std::vector<uint8_t>(kStampLength)});
  timespec pause{pauseUs / 1000000, pauseUs % 1000000 * 1000L};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, &pause) == EINTR) {
  }
  uint64_t ns = MonotonicNs();
  for (size_t i = 0; i < kStampLength; ++i) {
    frame[frame.size() - kStampLength + i] = static_cast<uint8_t>(ns >> (8 * i));
  }
  device.SendBytes(frame);
}

// Closes every descriptor from 3 up except those given.
void CloseAllBut(std::vector<int> keep) {
  std::sort(keep.begin(), keep.end());
  unsigned from = 3;
  for (int fd : keep) {
    if (fd < static_cast<int>(from)) continue;
    if (static_cast<unsigned>(fd) > from) close_range(from, static_cast<unsigned>(fd) - 1, 0);
    from = static_cast<unsigned>(fd) + 1;
  }
  close_range(from, ~0U, 0);
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Waits until the keep-alive pipe reports its end, feeding the first device
// and answering prompts meanwhile.
void Serve(int keepAlive, int prompts, std::vector<std::unique_ptr<sim::Device>>& devices,
           const Feed& feed) {
  int timer = -1;
  if (feed.periodUs > 0) {
    timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    itimerspec spec{};
    spec.it_interval.tv_sec = feed.periodUs / 1000000;
    spec.it_interval.tv_nsec = feed.periodUs % 1000000 * 1000L;
    spec.it_value = spec.it_interval;
    if (timer >= 0) timerfd_settime(timer, 0, &spec, nullptr);
  }
  for (;;) {
    pollfd fds[3] = {{keepAlive, POLLIN, 0}, {timer, POLLIN, 0}, {prompts, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;  // the parent closed its end, or died
    uint64_t expirations;
    if (fds[1].revents != 0 && read(timer, &expirations, sizeof expirations) == sizeof expirations) {
      devices.front()->SendBytes(feed.chunk);
    }
    PromptMessage message;
    if (fds[2].revents != 0 && recv(prompts, &message, sizeof message, MSG_DONTWAIT) ==
                                   static_cast<ssize_t>(sizeof message)) {
      if (message.index < devices.size()) SpeakFirst(*devices[message.index], message.pauseUs);
    }
  }
  if (timer >= 0) close(timer);
}

// The child: starts the devices, reports one path a line and an empty line,
// then serves until the parent closes the keep-alive pipe or dies.
[[noreturn]] void RunChild(std::vector<sim::DeviceOptions> devices, const Feed& feed, pid_t parent,
                           int report, int keepAlive, int prompts, bool workerPriority) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);  // the parent died before the line above
  CloseAllBut({report, keepAlive, prompts});
  // The devices' threads, started below, inherit it.
  if (workerPriority) RaiseToWorkerPriority();
  std::vector<std::unique_ptr<sim::Device>> running;
  std::string text;
  for (sim::DeviceOptions& options : devices) {
    auto device = std::make_unique<sim::Device>();
    if (int err = device->Start(std::move(options))) {
      WriteAll(report, std::string("error ") + std::strerror(err) + "\n");
      _exit(1);
    }
    text += device->Path() + "\n";
    running.push_back(std::move(device));
  }
  WriteAll(report, text + "\n");
  close(report);
  Serve(keepAlive, prompts, running, feed);
  for (auto& device : running) device->Stop();
  _exit(0);
}

// Reads the child's report until the empty line, its end, or the deadline.
std::string ReadReport(int fd) {
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReportWaitMs);
  while (text.find("\n\n") == std::string::npos && text.rfind("error ", 0) != 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pfd{fd, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char chunk[512];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace

bool DeviceProcess::Start(std::vector<sim::DeviceOptions> devices, std::string* error, Feed feed) {
  Stop();
  if (devices.empty()) {
    *error = "no devices asked for";
    return false;
  }
  // A socket pair rather than a pipe for the prompts: a send to a child that
  // died fails with EPIPE instead of raising SIGPIPE here.
  int report[2], keep[2], prompt[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (pipe2(keep, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, prompt) != 0) {
    *error = std::string("socketpair: ") + std::strerror(errno);
    for (int fd : {report[0], report[1], keep[0], keep[1]}) close(fd);
    return false;
  }
  size_t count = devices.size();
  pid_t parent = getpid();
  pid = fork();
  if (pid == 0) {
    RunChild(std::move(devices), feed, parent, report[1], keep[0], prompt[1], workerPriority);
  }
  close(report[1]);
  close(keep[0]);
  close(prompt[1]);
  keepAlive = keep[1];
  prompts = prompt[0];
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    close(report[0]);
    Stop();
    return false;
  }
  std::string text = ReadReport(report[0]);
  close(report[0]);
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos && end > start;
       start = end + 1) {
    paths.push_back(text.substr(start, end - start));
  }
  if (paths.size() != count || text.rfind("error ", 0) == 0) {
    *error = text.empty() ? "the device process reported nothing" : text;
    Stop();
    return false;
  }
  return true;
}

void DeviceProcess::Stop() {
  paths.clear();
  if (keepAlive >= 0) close(keepAlive);
  keepAlive = -1;
  if (prompts >= 0) close(prompts);
  prompts = -1;
  if (pid <= 0) return;
  // Waits for the child with a deadline; one that does not end is killed.
  if (!test::WaitExit(pid, kExitWaitMs)) {
    kill(pid, SIGKILL);
    test::Reap(pid);
  }
  pid = -1;
}

bool DeviceProcess::Prompt(size_t index, int pauseUs) {
  PromptMessage message{static_cast<uint32_t>(index), pauseUs};
  ssize_t sent;
  do {
    sent = send(prompts, &message, sizeof message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(sizeof message);
}

}  // namespace ktcomm::bench
