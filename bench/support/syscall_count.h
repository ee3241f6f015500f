// System calls of this process as strace -c counts them: Start attaches a
// strace to every thread of this process (the device process, a process of
// its own, stays untraced), Stop detaches it and reads its summary. Tracing
// slows every call, so a count comes from a run of its own, never from a
// timed one. Owned by one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace ktcomm::bench {

// Calls made, by system call name.
using SyscallCounts = std::map<std::string, uint64_t>;

class SyscallCount {
 public:
  SyscallCount() = default;
  SyscallCount(const SyscallCount&) = delete;
  SyscallCount& operator=(const SyscallCount&) = delete;
  ~SyscallCount();

  // Where strace is, or empty when it is not installed.
  static std::string Program();

  // Starts strace on this process and returns once it traces every thread.
  // False, with *why set, when it did not get there.
  bool Start(std::string* why);
  // Detaches strace and reads what it counted since Start. False, with *why
  // set, when it left no summary.
  bool Stop(SyscallCounts* counts, std::string* why);

 private:
  bool AllTraced() const;
  void Kill();

  pid_t pid = -1;
  std::string summaryPath;  // strace -o
  std::string errorPath;    // strace's standard error
};

// Calls per exchange: (counted - baseline) / exchanges, by name, none below 0.
std::map<std::string, double> PerExchange(const SyscallCounts& counted,
                                          const SyscallCounts& baseline, int exchanges);
// The sum of PerExchange's figures.
double Total(const std::map<std::string, double>& perExchange);
// "1.00 write, 1.00 poll, 1.00 read": the calls made at least `least` times
// an exchange, most frequent first.
std::string Describe(const std::map<std::string, double>& perExchange, double least);

}  // namespace ktcomm::bench
