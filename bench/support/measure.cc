#include "bench/support/measure.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace ktcomm::bench {
namespace {

// The niceness the library's workers ask for.
constexpr int kWorkerNice = -10;

double NearestRank(const std::vector<double>& sorted, double fraction) {
  size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

Percentiles Summarize(std::vector<double> samples) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  return {NearestRank(samples, 0.50), NearestRank(samples, 0.90), NearestRank(samples, 0.99),
          samples.back()};
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

ThreadCounters ReadThreadCounters(int tid) {
  ThreadCounters counters;
  std::string base = "/proc/self/task/" + std::to_string(tid);
  // schedstat: nanoseconds on a CPU, nanoseconds waiting to run, time slices.
  FILE* file = std::fopen((base + "/schedstat").c_str(), "r");
  if (file == nullptr) return counters;
  unsigned long long cpuNs = 0;
  bool gotCpu = std::fscanf(file, "%llu", &cpuNs) == 1;
  std::fclose(file);
  file = std::fopen((base + "/status").c_str(), "r");
  if (file == nullptr || !gotCpu) {
    if (file != nullptr) std::fclose(file);
    return counters;
  }
  char line[256];
  int found = 0;
  while (std::fgets(line, sizeof line, file)) {
    if (std::strncmp(line, "voluntary_ctxt_switches:", 24) == 0) {
      counters.voluntary = std::strtoull(line + 24, nullptr, 10);
      ++found;
    } else if (std::strncmp(line, "nonvoluntary_ctxt_switches:", 27) == 0) {
      counters.involuntary = std::strtoull(line + 27, nullptr, 10);
      ++found;
    }
  }
  std::fclose(file);
  counters.cpuNs = cpuNs;
  counters.ok = found == 2;
  return counters;
}

int CurrentThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

int ThreadNice(int tid) {
  // On Linux PRIO_PROCESS with a thread id reads that one thread's value.
  return getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
}

void RaiseToWorkerPriority() {
  setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()), kWorkerNice);
}

void RunAtWorkerPriority(const std::function<void()>& body) {
  std::thread thread([&body] {
    RaiseToWorkerPriority();
    body();
  });
  thread.join();
}

uint64_t Wakeups(int caller, const std::set<int>& threads) {
  uint64_t total = ReadThreadCounters(caller).Wakeups();
  for (int tid : threads) total += ReadThreadCounters(tid).Wakeups();
  return total;
}

}  // namespace ktcomm::bench
