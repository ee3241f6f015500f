// Open/close cost: KTOpenPort then KTClosePort on a pty, beside the raw
// client opening, configuring and closing the same kind of line. The two
// take turns in blocks on lines of their own.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/ktcomm.h"
#include "bench/io_scenarios.h"
#include "bench/support/device_process.h"
#include "bench/support/measure.h"
#include "bench/support/raw_client.h"

namespace ktcomm::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPort = 1;
constexpr int kBlock = 50;

void Ignore(KTWindow*, uint32_t, uint32_t, uintptr_t) {}

double MicrosecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double Mean(const std::vector<double>& values) {
  double sum = 0;
  for (double value : values) sum += value;
  return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

}  // namespace

bool RunOpenClose(Table& table, const Scale& scale) {
  DeviceProcess devices;
  std::string error;
  if (!devices.Start({sim::DeviceOptions{}, sim::DeviceOptions{}}, &error)) {
    std::fprintf(stderr, "open/close: no device: %s\n", error.c_str());
    return false;
  }
  setenv("KTCOMM_COM1", devices.Paths()[0].c_str(), 1);
  const std::string& rawPath = devices.Paths()[1];
  KTWindow window{Ignore, nullptr};
  std::vector<double> library, reference;
  int failures = 0;
  // Both run at the workers' priority: an open waits for its worker to
  // start and a close for it to end, and a busy machine should not delay
  // those wake-ups more than the raw client's system calls.
  RunAtWorkerPriority([&] {
    for (int done = 0; done < scale.openCloseCycles && failures == 0; done += kBlock) {
      int count = std::min(kBlock, scale.openCloseCycles - done);
      for (int i = 0; i < count; ++i) {
        Clock::time_point start = Clock::now();
        int result = KTOpenPort(&window, kPort, 64, 256, 115200, 'N', 8, 1, 1);
        KTClosePort(kPort);
        library.push_back(MicrosecondsSince(start));
        failures += result != 0;
      }
      for (int i = 0; i < count; ++i) {
        RawClient raw;
        Clock::time_point start = Clock::now();
        int result = raw.Open(rawPath);
        raw.Close();
        reference.push_back(MicrosecondsSince(start));
        failures += result != 0;
      }
    }
  });
  devices.Stop();
  if (failures > 0) {
    std::fprintf(stderr, "open/close: %d opens failed\n", failures);
    return false;
  }
  Percentiles lib = Summarize(library), ref = Summarize(reference);
  table.Section("Open and close on a pty (" + std::to_string(library.size()) +
                " cycles each), microseconds per cycle");
  table.Row("mean", Mean(library), Mean(reference), 1, {Target::kValueAtMost, 1000});
  table.Row("p50", lib.p50, ref.p50, 1);
  table.Row("p99", lib.p99, ref.p99, 1, {Target::kValueAtMost, 1000});
  table.Row("max", lib.max, ref.max, 1);
  table.Note("raw: open, TIOCEXCL, flock, configure, flush, close; both at nice -10");
  return true;
}

}  // namespace ktcomm::bench
