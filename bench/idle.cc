// Idle cost: ten open ports on silent lines, and ten raw clients each
// blocked in poll on a silent line of its own, watched over the same
// seconds. Every wake-up of a thread is a context switch the kernel counts.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/ktcomm.h"
#include "bench/io_scenarios.h"
#include "bench/support/device_process.h"
#include "bench/support/measure.h"
#include "bench/support/stream_runner.h"

namespace ktcomm::bench {
namespace {

constexpr int kPorts = 10;
// Lets the opens' own activity (worker start, first wait) finish first.
constexpr auto kSettle = std::chrono::milliseconds(200);

void Ignore(KTWindow*, uint32_t, uint32_t, uintptr_t) {}

struct Totals {
  double cpuMs = 0;
  double wakeups = 0;
  bool ok = true;
};

std::vector<ThreadCounters> Snapshot(const std::set<int>& tids) {
  std::vector<ThreadCounters> counters;
  for (int tid : tids) counters.push_back(ReadThreadCounters(tid));
  return counters;
}

Totals Difference(const std::vector<ThreadCounters>& before,
                  const std::vector<ThreadCounters>& after) {
  Totals totals;
  for (size_t i = 0; i < before.size(); ++i) {
    totals.ok = totals.ok && before[i].ok && after[i].ok;
    totals.cpuMs += static_cast<double>(after[i].cpuNs - before[i].cpuNs) / 1e6;
    totals.wakeups += static_cast<double>(after[i].Wakeups() - before[i].Wakeups());
  }
  return totals;
}

}  // namespace

bool RunIdle(Table& table, const Scale& scale) {
  DeviceProcess devices;
  std::string error;
  if (!devices.Start(std::vector<sim::DeviceOptions>(2 * kPorts), &error)) {
    std::fprintf(stderr, "idle: no devices: %s\n", error.c_str());
    return false;
  }
  const std::vector<std::string>& paths = devices.Paths();

  std::set<int> before = ThreadIds();
  KTWindow window{Ignore, nullptr};
  bool opened = true;
  for (int port = 1; port <= kPorts; ++port) {
    std::string variable = "KTCOMM_COM" + std::to_string(port);
    setenv(variable.c_str(), paths[port - 1].c_str(), 1);
    opened = KTOpenPort(&window, port, 64, 256, 115200, 'N', 8, 1, 1) == 0 && opened;
  }
  std::set<int> workers = ThreadsSince(before);

  // The raw clients' own threads, blocked until stopped.
  std::vector<std::unique_ptr<RawStreamClient>> raws;
  for (int i = 0; i < kPorts; ++i) {
    raws.push_back(std::make_unique<RawStreamClient>());
    opened = raws.back()->Start(paths[kPorts + i]) && opened;
  }
  std::set<int> rawThreads = ThreadsSince(before);
  for (int tid : workers) rawThreads.erase(tid);

  std::this_thread::sleep_for(kSettle);
  auto workersBefore = Snapshot(workers);
  auto rawBefore = Snapshot(rawThreads);
  std::this_thread::sleep_for(std::chrono::duration<double>(scale.idleSeconds));
  Totals lib = Difference(workersBefore, Snapshot(workers));
  Totals ref = Difference(rawBefore, Snapshot(rawThreads));

  for (auto& raw : raws) raw->Stop();
  for (int port = 1; port <= kPorts; ++port) KTClosePort(port);
  devices.Stop();

  if (!opened || workers.size() != kPorts || rawThreads.size() != kPorts || !lib.ok || !ref.ok) {
    std::fprintf(stderr, "idle: %zu workers and %zu raw threads found, expected %d each\n",
                 workers.size(), rawThreads.size(), kPorts);
    return false;
  }
  char title[128];
  std::snprintf(title, sizeof title, "Idle, %d open ports on silent lines over %.0f s", kPorts,
                scale.idleSeconds);
  table.Section(title);
  table.Row("wake-ups (context switches), all threads", lib.wakeups, ref.wakeups, 0,
            {Target::kValueAtMost, 0});
  table.Row("CPU milliseconds, all threads", lib.cpuMs, ref.cpuMs, 3);
  return true;
}

}  // namespace ktcomm::bench
