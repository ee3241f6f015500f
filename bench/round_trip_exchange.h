// One timed round trip of the 5-byte command frame 00 80 02 10 xx, answered
// by its echo: through the library's exports, or through the raw client.
// Shared by the local and the ser2net round trips.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "api/ktcomm.h"
#include "bench/support/raw_client.h"

namespace ktcomm::bench {

inline constexpr uint8_t kRoundTripCommand = 0x10;
inline constexpr uint32_t kRoundTripTimeoutMs = 1000;

inline double MicrosecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
      .count();
}

// One exchange through the library; false when it failed or came back wrong.
// The time goes to *samples unless that is null.
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

inline bool RawExchange(RawClient& raw, uint8_t value, std::vector<double>* samples) {
  const uint8_t frame[] = {0x00, 0x80, 0x02, kRoundTripCommand, value};
  auto start = std::chrono::steady_clock::now();
  bool answered = raw.Exchange(frame, kRoundTripTimeoutMs);
  double us = MicrosecondsSince(start);
  if (answered && samples != nullptr) samples->push_back(us);
  return answered;
}

}  // namespace ktcomm::bench
