// ktcomm_soak: loads the library through its exports against simulated
// devices, phase by phase, and prints a report of what was handled, what
// was lost and what the process held before and after. Exits non-zero on
// any loss or growth. Usage: ktcomm_soak [--short]
#include "tests/soak/soak.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/process_counts.h"

namespace {

using namespace ktcomm::soak;

void PrintResources(const char* what, const Resources& before, const Resources& after) {
  std::printf("  %-24s fds %d -> %d, threads %d -> %d, RSS %ld -> %ld KiB\n", what, before.fds,
              after.fds, before.threads, after.threads, before.rssKiB, after.rssKiB);
}

void PrintPhase(const PhaseResult& phase) {
  double rate = phase.seconds > 0 ? static_cast<double>(phase.handled) / phase.seconds : 0;
  std::printf("%-28s %9llu %-8s %7.2f s %10.0f/s  losses %llu  faults survived %llu\n",
              phase.name.c_str(), static_cast<unsigned long long>(phase.handled), phase.unit,
              phase.seconds, rate, static_cast<unsigned long long>(phase.losses),
              static_cast<unsigned long long>(phase.faults));
  for (const std::string& note : phase.notes) std::printf("  %s\n", note.c_str());
  if (phase.resourcesChecked) {
    PrintResources(phase.grew ? "GREW:" : "flat:", phase.before, phase.after);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const Scale* scale = &kFull;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--short") == 0) {
      scale = &kShort;
    } else {
      std::fprintf(stderr, "usage: %s [--short]\n", argv[0]);
      return 2;
    }
  }

  std::printf("ktcomm soak (%s): %ld CPUs online\n", scale->name, sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("%-28s %9s %-8s %9s %12s\n", "phase", "handled", "", "time", "rate");
  ktcomm::test::SettleRuntimeThreads();
  Resources start = Measure();
  auto begin = Clock::now();

  PhaseResult (*const phases[])(const Scale&) = {
      RoundTripsOnTenPorts, StreamOnTenPorts,     OpenCloseCycles,
      HangUpsAndRecovery,   ReopenWhileStreaming, RandomFramesAgainstReference,
  };
  uint64_t losses = 0;
  bool grew = false;
  for (auto phase : phases) {
    PhaseResult result = phase(*scale);
    PrintPhase(result);
    losses += result.losses;
    grew = grew || result.grew;
  }

  // Every phase has closed its ports and stopped its devices; a joined
  // thread leaves the task list a moment after the join.
  Resources end = Measure();
  auto deadline = Clock::now() + std::chrono::seconds(2);
  while (end.threads > start.threads && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // nothing to wait on
    end = Measure();
  }
  bool leaked = end.fds != start.fds || end.threads != start.threads;
  std::printf("whole run, %.1f s\n", SecondsSince(begin));
  // The RSS here includes the soak's own records; the open/close phase
  // checks the library's.
  PrintResources(leaked ? "LEAKED:" : "fds, threads flat:", start, end);
  std::printf("result: %s (losses %llu%s)\n", losses == 0 && !grew && !leaked ? "PASS" : "FAIL",
              static_cast<unsigned long long>(losses), grew || leaked ? ", resources grew" : "");
  return losses == 0 && !grew && !leaked ? 0 : 1;
}
