#include "bench/support/syscall_count.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/programs.h"

extern char** environ;

namespace ktcomm::bench {
namespace {

using test::WaitExit;

constexpr int kAttachWaitMs = 10000;
constexpr int kExitWaitMs = 10000;

std::string TempPath(const char* name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/ktcomm-bench-" +
         std::to_string(getpid()) + "-" + name;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The tracer of thread `tid` of this process, 0 for none, -1 when it is gone.
int TracerOf(int tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  if (!in) return -1;
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("TracerPid:", 0) == 0) return std::atoi(line.c_str() + 10);
  }
  return -1;
}

// strace -c's table: "% time  seconds  usecs/call  calls  [errors]  syscall",
// a rule, a row per call, a rule and the total.
SyscallCounts ParseSummary(const std::string& text) {
  SyscallCounts counts;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    if (fields.size() < 5 || !std::isdigit(static_cast<unsigned char>(fields[0][0]))) continue;
    if (fields.back() == "total") continue;
    counts[fields.back()] += std::strtoull(fields[3].c_str(), nullptr, 10);
  }
  return counts;
}

}  // namespace

SyscallCount::~SyscallCount() { Kill(); }

std::string SyscallCount::Program() { return test::FindProgram("strace", "/usr/bin:/bin"); }

bool SyscallCount::Start(std::string* why) {
  Kill();
  std::string program = Program();
  if (program.empty()) {
    *why = "strace is not installed";
    return false;
  }
  summaryPath = TempPath("strace-summary");
  errorPath = TempPath("strace-errors");
  // -f with -p attaches every thread of the process; -c counts instead of
  // printing each call.
  std::vector<std::string> args = {"strace", "-f", "-c", "-q", "-o", summaryPath,
                                   "-p", std::to_string(getpid())};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  // Where Yama restricts tracing to descendants, strace, a child, must be let in.
  prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY);
  int err = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    pid = -1;
    *why = std::string("strace did not start: ") + std::strerror(err);
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAttachWaitMs);
  while (!AllTraced()) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      *why = "strace ended: " + ReadAll(errorPath);
      while (!why->empty() && why->back() == '\n') why->pop_back();
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      Kill();
      *why = "strace did not attach in time";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool SyscallCount::AllTraced() const {
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return false;
  bool all = true;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    int tracer = TracerOf(std::atoi(entry->d_name));
    if (tracer >= 0 && tracer != pid) all = false;
  }
  closedir(dir);
  return all;
}

bool SyscallCount::Stop(SyscallCounts* counts, std::string* why) {
  if (pid < 0) {
    *why = "strace is not running";
    return false;
  }
  // On SIGINT strace detaches from every thread and writes its summary.
  kill(pid, SIGINT);
  if (!WaitExit(pid, kExitWaitMs)) {
    Kill();
    *why = "strace did not end";
    return false;
  }
  pid = -1;
  std::string summary = ReadAll(summaryPath);
  std::remove(summaryPath.c_str());
  std::remove(errorPath.c_str());
  *counts = ParseSummary(summary);
  if (counts->empty()) {
    *why = "strace left no summary";
    return false;
  }
  return true;
}

void SyscallCount::Kill() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    WaitExit(pid, kExitWaitMs);
  }
  pid = -1;
  if (!summaryPath.empty()) std::remove(summaryPath.c_str());
  if (!errorPath.empty()) std::remove(errorPath.c_str());
}

std::map<std::string, double> PerExchange(const SyscallCounts& counted,
                                          const SyscallCounts& baseline, int exchanges) {
  std::map<std::string, double> per;
  if (exchanges <= 0) return per;
  for (const auto& [name, calls] : counted) {
    auto base = baseline.find(name);
    double extra = static_cast<double>(calls) - (base == baseline.end() ? 0.0 : base->second);
    if (extra > 0) per[name] = extra / exchanges;
  }
  return per;
}

double Total(const std::map<std::string, double>& perExchange) {
  double total = 0;
  for (const auto& [name, calls] : perExchange) total += calls;
  return total;
}

std::string Describe(const std::map<std::string, double>& perExchange, double least) {
  std::vector<std::pair<double, std::string>> order;
  for (const auto& [name, calls] : perExchange) {
    if (calls >= least) order.emplace_back(calls, name);
  }
  std::sort(order.begin(), order.end(),
            [](const auto& a, const auto& b) { return a.first > b.first; });
  std::string text;
  for (const auto& [calls, name] : order) {
    char figure[32];
    std::snprintf(figure, sizeof figure, "%.2f ", calls);
    if (!text.empty()) text += ", ";
    text += figure;
    text += name;
  }
  return text;
}

}  // namespace ktcomm::bench
