// A port's life over and over: opened, reopened and closed thousands of
// times with nothing left behind, and a device that hangs up and comes back
// on a new line, with the port recovering every time.
#include <cstring>
#include <string>

#include "tests/soak/soak.h"
#include "tests/support/process_counts.h"
#include "tools/sim/sim_device.h"

namespace ktcomm::soak {
namespace {

constexpr uint32_t kCallTimeoutMs = 5000;
constexpr int kAlertTimeoutMs = 5000;

// One command through the port and back from the device's echo.
bool Exchange(int port, uint32_t tag) {
  const uint8_t sent[4] = {static_cast<uint8_t>(tag), static_cast<uint8_t>(tag >> 8),
                           static_cast<uint8_t>(tag >> 16), static_cast<uint8_t>(port)};
  uint8_t command = 0;
  uint8_t answer[16];
  uint32_t length = sizeof answer;
  return KTSendCommandAndWait(port, 0x1A, sent, sizeof sent, kCallTimeoutMs, &command, answer,
                              &length) == 0 &&
         command == 0x1A && length == sizeof sent && std::memcmp(answer, sent, length) == 0;
}

}  // namespace

// Transmit buffers of two sizes in turn, so that every open allocates anew,
// and every fourth cycle a reopen of the open port with other line settings.
// The receive size stays: a reopen at a new one keeps the old buffers for
// posts that still point into them. Descriptors, threads and resident
// memory must be where they started.
PhaseResult OpenCloseCycles(const Scale& scale) {
  constexpr int kPort = 5;
  constexpr int kRxSize = 32 * 1024;
  constexpr int kTxSizes[2] = {64, 16 * 1024};
  PhaseResult result("open/close cycles", "cycles");
  SoakWindow window;
  sim::Device device;
  if (int err = device.Start({})) {
    result.notes.push_back(std::string("device did not start: ") + std::strerror(err));
    result.losses = 1;
    return result;
  }
  MapPort(kPort, device.Path());
  // The first opens create what stays for the process: the port's lock,
  // the runtime's thread bookkeeping, the allocator's arenas.
  for (int txSize : kTxSizes) {
    OpenPort(&window, kPort, kRxSize, 1, txSize);
    Exchange(kPort, 0);
    KTClosePort(kPort);
  }
  test::SettleRuntimeThreads();
  auto threadsBefore = test::ThreadIds();
  result.resourcesChecked = true;
  result.before = Measure();

  uint64_t failures = 0;
  auto start = Clock::now();
  for (int i = 0; i < scale.openCycles; ++i) {
    bool ok = OpenPort(&window, kPort, kRxSize, 1, kTxSizes[i % 2]) == 0;
    if (ok && i % 4 == 0) {
      ok = KTOpenPort(&window, kPort, kTxSizes[(i + 1) % 2], kRxSize, 19200, 'E', 8, 1, 1) == 0;
    }
    if (ok && i % 100 == 0) ok = Exchange(kPort, static_cast<uint32_t>(i));
    if (KTClosePort(kPort) != 1) ok = false;
    if (!ok) failures += 1;
    result.handled += 1;
  }
  result.seconds = SecondsSince(start);
  // A joined thread leaves the task list a moment after the join.
  bool threadsGone = test::WaitThreadsSince(threadsBefore, 0);
  result.after = Measure();
  device.Stop();

  result.losses = failures + window.Alerts();
  result.grew = !threadsGone || result.after.fds != result.before.fds;
  // Under a sanitizer freed memory sits in quarantine or shadow, so the RSS
  // says nothing there.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  result.grew = result.grew || result.after.rssKiB - result.before.rssKiB > 4 * 1024;
#else
  result.notes.push_back("RSS not checked under a sanitizer");
#endif
  if (failures != 0) {
    result.notes.push_back(std::to_string(failures) + " cycles failed to open or exchange");
  }
  return result;
}

// Each round: a new device on a new line, the port (re)opened on it, one
// exchange, then the device stops, which hangs the line up under the port.
// The port must say so exactly once ("WaitCommEvent()") and stay usable.
// Every other round the port is closed before the next open, otherwise it is
// reopened while its old line is dead.
PhaseResult HangUpsAndRecovery(const Scale& scale) {
  constexpr int kPort = 3;
  PhaseResult result("hang-ups and recovery", "hang-ups");
  SoakWindow window;
  sim::Device device;
  uint64_t failures = 0, missingAlerts = 0, wrongAlerts = 0;
  auto start = Clock::now();
  for (int i = 0; i < scale.hangUps; ++i) {
    if (int err = device.Start({})) {
      result.notes.push_back(std::string("device did not start: ") + std::strerror(err));
      failures += 1;
      break;
    }
    MapPort(kPort, device.Path());
    if (OpenPort(&window, kPort, 64, 1) != 0 || !Exchange(kPort, static_cast<uint32_t>(i))) {
      failures += 1;
    }
    device.Stop();
    if (!window.WaitAlerts(kPort, static_cast<size_t>(i + 1), kAlertTimeoutMs)) {
      missingAlerts += 1;
    }
    if (i % 2 == 1) KTClosePort(kPort);
    result.handled += 1;
  }
  KTClosePort(kPort);
  result.seconds = SecondsSince(start);

  for (const std::string& text : window.AlertTexts()) {
    if (text.find("WaitCommEvent()") == std::string::npos) {
      wrongAlerts += 1;
      if (result.notes.size() < 4) result.notes.push_back("unexpected alert: " + text);
    }
  }
  size_t alerts = window.Alerts();
  uint64_t extraAlerts = alerts > result.handled ? alerts - result.handled : 0;
  result.faults = result.handled - missingAlerts;
  result.losses = failures + missingAlerts + wrongAlerts + extraAlerts + window.Unhandled();
  if (result.losses != 0) {
    result.notes.push_back("failed rounds " + std::to_string(failures) +
                           ", hang-ups not reported " + std::to_string(missingAlerts) +
                           ", alerts " + std::to_string(alerts));
  }
  return result;
}

}  // namespace ktcomm::soak
