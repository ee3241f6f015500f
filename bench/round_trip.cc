// Round trip against a device in another process, three ways, each beside
// the raw termios client doing the same:
// - KTSendCommandAndWait: a 5-byte command frame answered at once by its
//   echo; the raw client writes, polls and reads.
// - KTSendDataAndWait: the same five bytes, sent as data.
// - KTWaitForMessage with the device speaking first: the device is prompted
//   on a channel of its own, pauses, stamps a frame and sends it; the caller
//   is timed from the stamp to the frame in hand. The raw client polls and
//   reads for it the same way.
// Each client has a device of its own; all stay open and take turns in
// blocks, so that a disturbance of the machine falls on all alike. Then a
// short run of each under strace -c counts its system calls.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
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
#include "bench/support/syscall_count.h"

namespace ktcomm::bench {
namespace {

constexpr int kWarmUp = 100;  // per client, not recorded

// Counts the frames the library posts instead of handing them to a waiting
// call: a device that spoke before its caller waited. Nothing else posts here.
struct CountingWindow {
  KTWindow window{Post, nullptr};  // first, so that the library's pointer is ours
  std::atomic<int> posted{0};
  static void Post(KTWindow* window, uint32_t, uint32_t, uintptr_t) {
    reinterpret_cast<CountingWindow*>(window)->posted.fetch_add(1);
  }
};

// The devices in the device process, one per client, and the library's ports.
enum { kCommandDevice, kDataDevice, kHearDevice, kRawDevice, kRawHearDevice, kDevices };
enum { kCommandPort = 1, kDataPort = 2, kHearPort = 3 };

// One way to the device and what it measured.
struct Client : ExchangeClient {
  bool speaksFirst = false;  // its time excludes the device's pause
  std::map<std::string, double> syscalls;  // per exchange, under strace
  bool syscallsCounted = false;

  double PerExchange(double total) const {
    return samples.empty() ? kNoFigure : total / static_cast<double>(samples.size());
  }
  // Exchanges a second: done over the time its blocks took; for a device
  // that speaks first, over the time the frames took to arrive, since the
  // device's pause is the benchmark's choice and not the client's cost.
  double Rate() const {
    if (samples.empty()) return kNoFigure;
    if (speaksFirst) {
      return 1e6 * static_cast<double>(samples.size()) /
             std::accumulate(samples.begin(), samples.end(), 0.0);
    }
    return static_cast<double>(samples.size()) / wallSeconds;
  }
};

// The clients and what they hold open; closes everything when it goes.
class Setup {
 public:
  ~Setup() {
    for (int port : ports) KTClosePort(port);
    raw.Close();
    rawHear.Close();
    devices.Stop();
  }

  bool Prepare() {
    std::string error;
    // The device stands for hardware, which never waits for a CPU: at the
    // callers' priority, the rest of the machine delays its answers no more
    // than it delays the clients.
    devices.SetWorkerPriority(true);
    if (!devices.Start(std::vector<sim::DeviceOptions>(kDevices), &error)) {
      std::fprintf(stderr, "round trip: no device: %s\n", error.c_str());
      return false;
    }
    if (!AddLibrary("KTSendCommandAndWait", kCommandPort, kCommandDevice,
                    [](uint8_t value, std::vector<double>* samples) {
                      return LibraryExchange(kCommandPort, value, samples);
                    }) ||
        !AddLibrary("KTSendDataAndWait", kDataPort, kDataDevice,
                    [](uint8_t value, std::vector<double>* samples) {
                      return LibraryDataExchange(kDataPort, value, samples);
                    })) {
      return false;
    }
    if (!OpenRaw(raw, kRawDevice)) return false;
    Client& rawClient = clients.emplace_back();
    rawClient.name = "raw termios client: write, poll, read";
    rawClient.exchange = [this](uint8_t value, std::vector<double>* samples) {
      return RawExchange(raw, value, samples);
    };
    if (!AddLibrary("KTWaitForMessage, device speaks first", kHearPort, kHearDevice,
                    [this](uint8_t, std::vector<double>* samples) {
                      return LibraryHear(devices, kHearDevice, kHearPort, samples);
                    })) {
      return false;
    }
    clients.back().speaksFirst = true;
    if (!OpenRaw(rawHear, kRawHearDevice)) return false;
    heard.reserve(64);
    Client& hearClient = clients.emplace_back();
    hearClient.name = "raw termios client: poll, read, device speaks first";
    hearClient.exchange = [this](uint8_t, std::vector<double>* samples) {
      return RawHear(devices, kRawHearDevice, rawHear, &heard, samples);
    };
    hearClient.speaksFirst = true;
    return true;
  }

  int DeviceNice() const { return ThreadNice(devices.Pid()); }

  // Indices into clients.
  enum { kCommand, kData, kRaw, kHear, kRawHear };
  std::vector<Client> clients;
  CountingWindow window;

 private:
  bool AddLibrary(const std::string& name, int port, size_t device,
                  std::function<bool(uint8_t, std::vector<double>*)> exchange) {
    setenv(("KTCOMM_COM" + std::to_string(port)).c_str(), devices.Paths()[device].c_str(), 1);
    std::set<int> before = ThreadIds();
    if (KTOpenPort(&window.window, port, 64, 256, 115200, 'N', 8, 1, 1) != 0) {
      std::fprintf(stderr, "round trip: KTOpenPort failed\n");
      return false;
    }
    ports.push_back(port);
    Client& client = clients.emplace_back();
    client.name = name;
    client.exchange = std::move(exchange);
    client.threads = ThreadsSince(before);
    return true;
  }

  bool OpenRaw(RawClient& client, size_t device) {
    if (int err = client.Open(devices.Paths()[device])) {
      std::fprintf(stderr, "round trip: raw open: %s\n", std::strerror(err));
      return false;
    }
    return true;
  }

  DeviceProcess devices;
  std::vector<int> ports;
  RawClient raw, rawHear;
  std::vector<uint8_t> heard;
};

// Counts each client's system calls over `exchanges` under strace, less
// what an empty stretch under strace counts. Returns why it could not, or "".
std::string CountSyscalls(std::vector<Client>& clients, int exchanges, int* failures) {
  std::string why;
  RunAtWorkerPriority([&] {
    SyscallCount strace;
    SyscallCounts baseline, counted;
    if (!strace.Start(&why) || !strace.Stop(&baseline, &why)) return;
    for (Client& client : clients) {
      if (!strace.Start(&why)) return;
      int done = 0;
      for (int i = 0; i < exchanges; ++i) {
        if (client.exchange(static_cast<uint8_t>(i), nullptr)) {
          ++done;
        } else {
          ++*failures;
        }
      }
      if (!strace.Stop(&counted, &why)) return;
      client.syscalls = PerExchange(counted, baseline, done);
      client.syscallsCounted = true;
    }
  });
  return why;
}

void PrintSection(Table& table, const std::string& title, const Client& library,
                  const Client& raw) {
  table.Section(title + " (" + std::to_string(library.samples.size()) + " + " +
                std::to_string(raw.samples.size()) + " exchanges)");
  Percentiles lib = Summarize(library.samples), ref = Summarize(raw.samples);
  table.Row("exchanges per second", library.Rate(), raw.Rate(), 0, {Target::kRatioAtLeast, 0.9});
  table.Row("p50, microseconds", lib.p50, ref.p50, 1, {Target::kRatioAtMost, 1.15});
  table.Row("p90, microseconds", lib.p90, ref.p90, 1);
  table.Row("p99, microseconds", lib.p99, ref.p99, 1, {Target::kRatioAtMost, 1.5});
  table.Row("max, microseconds", lib.max, ref.max, 1);
  table.Row("CPU microseconds per exchange", library.PerExchange(1e6 * library.cpuSeconds),
            raw.PerExchange(1e6 * raw.cpuSeconds), 2, {Target::kRatioAtMost, 2.0});
  table.Row("thread wake-ups per exchange", library.PerExchange(static_cast<double>(library.wakeups)),
            raw.PerExchange(static_cast<double>(raw.wakeups)), 2);
  if (library.syscallsCounted && raw.syscallsCounted) {
    table.Row("system calls per exchange (strace -c)", Total(library.syscalls), Total(raw.syscalls),
              2);
    table.Note("KTcomm: " + Describe(library.syscalls, 0.05));
    table.Note("raw: " + Describe(raw.syscalls, 0.05));
  }
}

// What the code does about priorities, as read back from the threads.
std::string PriorityNote(const std::vector<Client>& clients, int deviceNice) {
  int callerNice = 0;
  RunAtWorkerPriority([&] { callerNice = ThreadNice(0); });
  std::set<int> workerNices;
  for (const Client& client : clients) {
    for (int tid : client.threads) workerNices.insert(ThreadNice(tid));
  }
  std::string workers;
  for (int nice : workerNices) {
    if (!workers.empty()) workers += "/";
    workers += std::to_string(nice);
  }
  return "priority: the library's and the raw client's calls run on one thread at nice " +
         std::to_string(callerNice) + ", the same for both; the ports' workers at nice " +
         workers + "; the device process at nice " + std::to_string(deviceNice);
}

}  // namespace

bool RunRoundTrip(Table& table, const Scale& scale) {
  Setup setup;
  if (!setup.Prepare()) return false;
  int deviceNice = setup.DeviceNice();
  std::vector<Client>& clients = setup.clients;
  int failures = MeasureInTurns(clients, scale.roundTrips, kWarmUp);
  int posted = setup.window.posted.load();
  std::string noCount;
  if (failures < kMaxFailures) noCount = CountSyscalls(clients, scale.syscallExchanges, &failures);

  std::vector<std::pair<std::string, const std::vector<double>*>> series;
  for (const Client& client : clients) series.emplace_back(client.name, &client.samples);
  WriteLatencySamples("round_trip.csv", series);

  PrintSection(table, "Round trip, KTSendCommandAndWait: 5-byte command echoed by a device process",
               clients[Setup::kCommand], clients[Setup::kRaw]);
  PrintSection(table, "Round trip, KTSendDataAndWait: the same 5 bytes sent as data",
               clients[Setup::kData], clients[Setup::kRaw]);
  table.Note("the raw column of both round trips is one client, measured in the same turns");
  PrintSection(table,
               "Device speaks first, KTWaitForMessage: a 12-byte frame after a prompt on another "
               "channel",
               clients[Setup::kHear], clients[Setup::kRawHear]);
  table.Note("time from the device's stamp, taken as it hands over the frame, to the frame in "
             "the caller's hands; the device pauses " +
             std::to_string(kSpeakFirstPauseUs) +
             " microseconds after the prompt so that the caller waits first; exchanges per second are "
             "1 / mean time, the pause left out");
  table.Note("the clients take turns in blocks of " + std::to_string(kExchangeBlock) +
             " exchanges, in an order shuffled for each turn");
  table.Note(PriorityNote(clients, deviceNice));
  table.Note("CPU: this process, getrusage over the measured blocks (the device process not "
             "counted); wake-ups: context switches of the caller and, for KTcomm, its port's worker");
  if (!noCount.empty()) {
    table.Note("system calls not counted: " + noCount);
  } else {
    table.Note("system calls: a separate run of " + std::to_string(scale.syscallExchanges) +
               " exchanges per client under strace -f -c, less an empty stretch; all threads of "
               "this process, not the device process; the prompt is a sendto on both sides");
  }
  if (posted > 0) {
    table.Note(std::to_string(posted) +
               " frames arrived before the caller waited and were posted (failed exchanges)");
  }
  if (failures > 0) table.Row("failed or wrong exchanges", failures, kNoFigure, 0);
  return failures < kMaxFailures;
}

}  // namespace ktcomm::bench
