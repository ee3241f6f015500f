// One timed exchange through the library's exports or through the raw
// client: the 5-byte command frame 00 80 02 10 xx answered by its echo, sent
// as a command or as raw data, or a frame from a device that speaks first.
// Shared by the local and the ser2net round trips.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "api/ktcomm.h"
#include "bench/support/device_process.h"
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

}  // namespace ktcomm::bench
