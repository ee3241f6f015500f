// One timed exchange through the library's exports or through the raw
// client: the 5-byte command frame 00 80 02 10 xx answered by its echo, sent
// as a command or as raw data, or a frame from a device that speaks first.
// Shared by the local and the ser2net round trips.
#pragma once

#include <algorithm>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "api/ktcomm.h"
#include "bench/support/device_process.h"
#include "bench/support/measure.h"
#include "bench/support/raw_client.h"

namespace ktcomm::bench {

inline constexpr uint8_t kRoundTripCommand = 0x10;
inline constexpr uint32_t kRoundTripTimeoutMs = 1000;
// How long the device lets the client settle into its wait before it speaks
// first; a frame that came before the wait began would be posted instead.
inline constexpr int kSpeakFirstPauseUs = 500;
inline constexpr uint32_t kSpeakFirstTimeoutMs = 200;

inline double MicrosecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
      .count();
}

// One exchange through the library with KTSendCommandAndWait; false when it
// failed or came back wrong. The time goes to *samples unless that is null.
inline bool LibraryExchange(int port, uint8_t value, std::vector<double>* samples) {
  unsigned char command = 0, answer[16];
  uint32_t length = sizeof answer;
  auto start = std::chrono::steady_clock::now();
  int result = KTSendCommandAndWait(port, kRoundTripCommand, &value, 1, kRoundTripTimeoutMs,
                                    &command, answer, &length);
  double us = MicrosecondsSince(start);
  if (result != 0 || command != kRoundTripCommand || length != 1 || answer[0] != value) {
    return false;
  }
  if (samples != nullptr) samples->push_back(us);
  return true;
}

// The same frame, built by the caller and sent with KTSendDataAndWait.
inline bool LibraryDataExchange(int port, uint8_t value, std::vector<double>* samples) {
  const unsigned char frame[] = {0x00, 0x80, 0x02, kRoundTripCommand, value};
  unsigned char command = 0, answer[16];
  uint32_t length = sizeof answer;
  auto start = std::chrono::steady_clock::now();
  int result = KTSendDataAndWait(port, frame, sizeof frame, kRoundTripTimeoutMs, &command, answer,
                                 &length);
  double us = MicrosecondsSince(start);
  if (result != 0 || command != kRoundTripCommand || length != 1 || answer[0] != value) {
    return false;
  }
  if (samples != nullptr) samples->push_back(us);
  return true;
}

inline bool RawExchange(RawClient& raw, uint8_t value, std::vector<double>* samples) {
  const uint8_t frame[] = {0x00, 0x80, 0x02, kRoundTripCommand, value};
  auto start = std::chrono::steady_clock::now();
  bool answered = raw.Exchange(frame, kRoundTripTimeoutMs);
  double us = MicrosecondsSince(start);
  if (answered && samples != nullptr) samples->push_back(us);
  return answered;
}

// The microseconds from the device's stamp in `data` to now; negative when
// the data holds no stamp.
inline double MicrosecondsSinceStamp(std::span<const uint8_t> data) {
  uint64_t now = MonotonicNs();
  uint64_t stamp = StampOf(data);
  if (stamp == 0 || stamp > now) return -1;
  return static_cast<double>(now - stamp) / 1e3;
}

// The device speaks first: it is prompted on a channel of its own, then the
// caller waits in KTWaitForMessage. The time runs from the device's stamp,
// taken as it hands the frame to its line, to the frame in the caller's hands.
inline bool LibraryHear(DeviceProcess& devices, size_t device, int port,
                        std::vector<double>* samples) {
  if (!devices.Prompt(device, kSpeakFirstPauseUs)) return false;
  unsigned char command = 0, data[16];
  uint32_t length = sizeof data;
  int result = KTWaitForMessage(port, kSpeakFirstTimeoutMs, &command, data, &length);
  double us = MicrosecondsSinceStamp({data, result == 0 ? length : 0});
  if (result != 0 || command != kStampCommand || us < 0) return false;
  if (samples != nullptr) samples->push_back(us);
  return true;
}

// The same for the raw client: prompt, then poll and read until the frame
// is whole. *data holds the frame's data afterwards.
inline bool RawHear(DeviceProcess& devices, size_t device, RawClient& raw,
                    std::vector<uint8_t>* data, std::vector<double>* samples) {
  if (!devices.Prompt(device, kSpeakFirstPauseUs)) return false;
  bool heard = raw.Exchange({}, kSpeakFirstTimeoutMs, data);
  double us = MicrosecondsSinceStamp(*data);
  if (!heard || us < 0) return false;
  if (samples != nullptr) samples->push_back(us);
  return true;
}

// One way to the device: how to make an exchange, which threads of this
// process besides the caller it goes through, and what its blocks measured.
struct ExchangeClient {
  std::string name;  // in the samples file and the picture
  std::function<bool(uint8_t value, std::vector<double>* samples)> exchange;
  std::set<int> threads;
  std::vector<double> samples;
  uint64_t wakeups = 0;
  double cpuSeconds = 0;   // this process, over its blocks
  double wallSeconds = 0;  // over its blocks
};

inline constexpr int kExchangeBlock = 100;  // exchanges per client per turn
inline constexpr int kMaxFailures = 10;

// Warms every client up with `warmUp` exchanges, not recorded, then runs
// them in turns of kExchangeBlock exchanges until each has made `exchanges`,
// so that a disturbance of the machine falls on all alike. Each turn takes
// the clients in an order of its own: a block that follows the speak-first
// blocks, whose caller idles for most of each exchange, pays for waking the
// machine (its first exchanges take two to three times the rest), and in a
// fixed order that cost would fall on one client alone. Every caller runs
// at the workers' priority, on the same thread. Returns the failed or wrong
// exchanges; stops early at kMaxFailures.
template <std::derived_from<ExchangeClient> Client>
int MeasureInTurns(std::vector<Client>& clients, int exchanges, int warmUp) {
  int failures = 0;
  RunAtWorkerPriority([&] {
    for (Client& client : clients) {
      for (int i = 0; i < warmUp; ++i) failures += !client.exchange(static_cast<uint8_t>(i), nullptr);
    }
  });
  for (Client& client : clients) client.samples.reserve(exchanges);
  std::vector<Client*> order;
  for (Client& client : clients) order.push_back(&client);
  std::mt19937 shuffle(1);  // the same orders in every run
  for (int done = 0; done < exchanges && failures < kMaxFailures; done += kExchangeBlock) {
    int count = std::min(kExchangeBlock, exchanges - done);
    std::shuffle(order.begin(), order.end(), shuffle);
    RunAtWorkerPriority([&] {
      int caller = CurrentThreadId();
      for (Client* turn : order) {
        Client& client = *turn;
        uint64_t wakeups = Wakeups(caller, client.threads);
        double cpu = ProcessCpuSeconds();
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) {
          failures += !client.exchange(static_cast<uint8_t>(done + i), &client.samples);
        }
        client.wallSeconds += MicrosecondsSince(start) / 1e6;
        client.cpuSeconds += ProcessCpuSeconds() - cpu;
        client.wakeups += Wakeups(caller, client.threads) - wakeups;
      }
    });
  }
  return failures;
}

}  // namespace ktcomm::bench
