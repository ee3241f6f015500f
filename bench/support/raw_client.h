// The reference client: what an application does with termios, poll and
// read alone, on the same kind of pseudo-terminal and against the same
// simulated device as the library; or with a plain TCP socket to a network
// serial server in front of such a device. One thread uses it at a time.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "bench/support/minimal_decoder.h"

namespace ktcomm::bench {

class RawClient {
 public:
  RawClient() = default;
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  ~RawClient() { Close(); }

  // Opens the device non-blocking and exclusively, sets the line raw at
  // 115200 8N1 as the library does, and drops what is waiting. Returns 0 or
  // the errno of the step that failed.
  int Open(const std::string& path);
  // Connects to a raw TCP server on 127.0.0.1, such as a network serial
  // server's raw port, with TCP_NODELAY as the library's remote ports have,
  // and makes the socket non-blocking. Returns 0 or the errno of the step
  // that failed.
  int Connect(int tcpPort);
  void Close();
  int Fd() const { return fd; }

  // Writes `request`, then polls and reads until one whole protocol-1 frame
  // has come back; its data goes to *answer unless that is null. With an
  // empty request it only listens, for a device that speaks first. False on
  // an error or once timeoutMs has passed.
  bool Exchange(std::span<const uint8_t> request, int timeoutMs,
                std::vector<uint8_t>* answer = nullptr);

  // Polls and reads in bulk until `stopFd` turns readable or the line hangs
  // up, decoding protocol 1. Every frame is counted in *frames, and also in
  // *bad when its data is not `dataLength` bytes long.
  void Stream(int stopFd, size_t dataLength, std::atomic<uint64_t>* frames,
              std::atomic<uint64_t>* bad);

 private:
  int fd = -1;
  MinimalDecoder decoder{kShape1};
  std::array<uint8_t, 4096> buffer{};
};

}  // namespace ktcomm::bench
