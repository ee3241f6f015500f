// Round trip: a 5-byte command frame (00 80 02 10 xx) answered at once with
// its echo by a device in another process. The library's caller sends with
// KTSendCommandAndWait; the raw client writes, polls and reads. Each client
// has a device of its own and both stay open, taking turns in blocks, so
// that a disturbance of the machine falls on both alike.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "api/ktcomm.h"
#include "bench/io_scenarios.h"
#include "bench/round_trip_exchange.h"
#include "bench/support/device_process.h"
#include "bench/support/measure.h"
#include "bench/support/raw_client.h"
#include "bench/support/samples.h"

namespace ktcomm::bench {
namespace {

constexpr int kPort = 1;
constexpr int kBlock = 100;   // exchanges per turn
constexpr int kWarmUp = 100;  // per client, not recorded

void Ignore(KTWindow*, uint32_t, uint32_t, uintptr_t) {}

}  // namespace

bool RunRoundTrip(Table& table, const Scale& scale) {
  DeviceProcess devices;
  std::string error;
  if (!devices.Start({sim::DeviceOptions{}, sim::DeviceOptions{}}, &error)) {
    std::fprintf(stderr, "round trip: no device: %s\n", error.c_str());
    return false;
  }
  setenv("KTCOMM_COM1", devices.Paths()[0].c_str(), 1);
  KTWindow window{Ignore, nullptr};
  std::set<int> before = ThreadIds();
  if (KTOpenPort(&window, kPort, 64, 256, 115200, 'N', 8, 1, 1) != 0) {
    std::fprintf(stderr, "round trip: KTOpenPort failed\n");
    return false;
  }
  int worker = -1;
  for (int tid : ThreadIds()) {
    if (!before.count(tid)) worker = tid;
  }
  RawClient raw;
  if (int err = raw.Open(devices.Paths()[1])) {
    std::fprintf(stderr, "round trip: raw open: %s\n", std::strerror(err));
    KTClosePort(kPort);
    return false;
  }

  std::vector<double> library, reference;
  library.reserve(scale.roundTrips);
  reference.reserve(scale.roundTrips);
  int failures = 0;
  // Context switches of the threads each exchange goes through: the caller
  // and the port's worker, or the raw client's one thread.
  uint64_t libraryWakeups = 0, rawWakeups = 0;
  // Both callers run at the workers' priority, so that neither loses its
  // CPU to the rest of the machine more readily than the other.
  RunAtWorkerPriority([&] {
    for (int i = 0; i < kWarmUp; ++i) {
      failures += !LibraryExchange(kPort, static_cast<uint8_t>(i), nullptr);
    }
    for (int i = 0; i < kWarmUp; ++i) {
      failures += !RawExchange(raw, static_cast<uint8_t>(i), nullptr);
    }
  });
  for (int done = 0; done < scale.roundTrips && failures < 10; done += kBlock) {
    int count = std::min(kBlock, scale.roundTrips - done);
    RunAtWorkerPriority([&] {
      int caller = CurrentThreadId();
      uint64_t start = ReadThreadCounters(caller).Wakeups() + ReadThreadCounters(worker).Wakeups();
      for (int i = 0; i < count; ++i) {
        failures += !LibraryExchange(kPort, static_cast<uint8_t>(done + i), &library);
      }
      uint64_t middle = ReadThreadCounters(caller).Wakeups();
      libraryWakeups += middle + ReadThreadCounters(worker).Wakeups() - start;
      for (int i = 0; i < count; ++i) {
        failures += !RawExchange(raw, static_cast<uint8_t>(done + i), &reference);
      }
      rawWakeups += ReadThreadCounters(caller).Wakeups() - middle;
    });
  }
  KTClosePort(kPort);
  raw.Close();
  devices.Stop();

  WriteLatencySamples("round_trip.csv", {{"KTcomm, local pty", &library},
                                         {"raw termios client, local pty", &reference}});
  Percentiles lib = Summarize(library), ref = Summarize(reference);
  table.Section("Round trip, 5-byte command echoed by a device process (" +
                std::to_string(library.size()) + " + " + std::to_string(reference.size()) +
                " exchanges), microseconds");
  table.Row("p50", lib.p50, ref.p50, 1, {Target::kRatioAtMost, 1.3});
  table.Row("p90", lib.p90, ref.p90, 1);
  table.Row("p99", lib.p99, ref.p99, 1, {Target::kRatioAtMost, 2.0});
  table.Row("max", lib.max, ref.max, 1);
  table.Row("thread wake-ups per exchange", static_cast<double>(libraryWakeups) / library.size(),
            static_cast<double>(rawWakeups) / reference.size(), 2);
  table.Note("both callers run at the workers' priority, nice -10");
  if (failures > 0) table.Row("failed or wrong exchanges", failures, kNoFigure, 0);
  return failures < 10;
}

}  // namespace ktcomm::bench
