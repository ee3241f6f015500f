// What the benchmarks read off the clock and the kernel: latency
// percentiles, the process's CPU time, each thread's CPU time and context
// switches. Any thread may call these.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <vector>

#include "tests/support/process_counts.h"

namespace ktcomm::bench {

struct Percentiles {
  double p50 = 0, p90 = 0, p99 = 0, max = 0;
};
// Nearest-rank percentiles of the samples; all zero for none.
Percentiles Summarize(std::vector<double> samples);

// User plus system CPU time of this whole process, in seconds.
double ProcessCpuSeconds();

// One thread of this process, as the kernel counts it.
struct ThreadCounters {
  bool ok = false;           // false once the thread is gone
  uint64_t cpuNs = 0;        // time on a CPU
  uint64_t voluntary = 0;    // switches away because it waited
  uint64_t involuntary = 0;  // switches away because it was preempted
  uint64_t Wakeups() const { return voluntary + involuntary; }
};
ThreadCounters ReadThreadCounters(int tid);
// Wake-ups so far of the calling thread `caller` and of `threads`.
uint64_t Wakeups(int caller, const std::set<int>& threads);

// Ids of this process's threads, and those started since a first look.
using test::ThreadIds;
using test::ThreadsSince;
int CurrentThreadId();

// The nice value of thread `tid` (0 for the calling thread); for a process
// id, that of its first thread.
int ThreadNice(int tid);

// Gives the calling thread the priority the library gives its workers (nice
// -10 where allowed), so that the reference client is scheduled like the
// library it is compared with.
void RaiseToWorkerPriority();
// Runs `body` on a thread of its own at that priority and waits for it.
void RunAtWorkerPriority(const std::function<void()>& body);

}  // namespace ktcomm::bench
