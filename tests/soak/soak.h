// The soak: phases that load the library through its exports against the
// device simulator, each bounded by a count and stopping by itself, and the
// pieces they share. Each phase returns what it handled and what went wrong;
// soak.cc prints the report and decides the exit status.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "api/ktcomm.h"
#include "tests/support/pty_port.h"

namespace ktcomm::soak {

using Clock = std::chrono::steady_clock;

// How much each phase does; --short picks the smaller set.
struct Scale {
  const char* name;
  int roundTrips;    // per port, ten ports at once
  int streamFrames;  // per port, ten ports at once
  int openCycles;
  int hangUps;
  int reopens;       // while frames stream in
  int randomFrames;  // split over a protocol-1 and a protocol-2 port
};

inline constexpr Scale kFull{"full", 10000, 100000, 10000, 500, 2000, 100000};
inline constexpr Scale kShort{"short", 500, 5000, 1000, 50, 200, 20000};

// Process resources, for checks that nothing grows.
struct Resources {
  int fds = 0;
  int threads = 0;
  long rssKiB = 0;
};
Resources Measure();

// One line of the report.
struct PhaseResult {
  PhaseResult(std::string name, const char* unit) : name(std::move(name)), unit(unit) {}

  std::string name;
  const char* unit;      // of handled
  uint64_t handled = 0;  // round trips, frames, cycles or reopens
  uint64_t losses = 0;   // lost, wrong, crossed, duplicated, out of order, stalled
  uint64_t faults = 0;   // injected and survived
  double seconds = 0;
  std::vector<std::string> notes;  // what went wrong, and figures worth a line
  bool resourcesChecked = false;
  Resources before, after;
  bool grew = false;
};

PhaseResult RoundTripsOnTenPorts(const Scale& scale);
PhaseResult StreamOnTenPorts(const Scale& scale);
PhaseResult OpenCloseCycles(const Scale& scale);
PhaseResult HangUpsAndRecovery(const Scale& scale);
PhaseResult ReopenWhileStreaming(const Scale& scale);
PhaseResult RandomFramesAgainstReference(const Scale& scale);

// A KTWindow that hands each post to the handler of its port and keeps every
// alert. Handlers run on the ports' workers and are set while the port is
// closed; the alerts are kept under a lock and may be waited for.
class SoakWindow : public KTWindow {
 public:
  using Handler =
      std::function<void(uint8_t command, std::span<const uint8_t> data, bool withData)>;

  SoakWindow();
  ~SoakWindow();
  SoakWindow(const SoakWindow&) = delete;
  SoakWindow& operator=(const SoakWindow&) = delete;

  void SetHandler(int port, Handler handler);
  // Alerts naming the port; all of them with port 0.
  size_t Alerts(int port = 0);
  std::vector<std::string> AlertTexts();
  bool WaitAlerts(int port, size_t count, int timeoutMs);
  // Posts that came to a port without a handler.
  uint64_t Unhandled();

 private:
  static void OnPost(KTWindow* window, uint32_t message, uint32_t wParam, uintptr_t lParam);
  static void OnAlert(KTWindow* window, const char* caption, const char* text);

  Handler handlers[11];
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::pair<int, std::string>> alerts;
  uint64_t unhandled = 0;
};

// A count that threads raise and others wait on, with a deadline.
class Counter {
 public:
  void Add(uint64_t n = 1);
  uint64_t Get();
  // Waits until the count reaches at least `target`; false on time-out.
  bool WaitFor(uint64_t target, int timeoutMs);

 private:
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t count = 0;
};

using test::MapPort;
// Opens port n at 115200 8N1 with the given buffer sizes and protocol.
int OpenPort(KTWindow* window, int port, int rxSize, int protocol, int txSize = 64);

double SecondsSince(Clock::time_point start);

}  // namespace ktcomm::soak
