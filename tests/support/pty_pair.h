// A pseudo-terminal for tests: the port opens the secondary side by its
// path, the test drives the primary side as the device. Closing the primary
// is a hang-up.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ktcomm::test {

class PtyPair {
 public:
  PtyPair() {
    int secondary = -1;
    char name[128];
    if (openpty(&primary, &secondary, name, nullptr, nullptr) != 0) return;
    path = name;
    termios tio;
    tcgetattr(primary, &tio);
    cfmakeraw(&tio);
    tcsetattr(primary, TCSANOW, &tio);
    fcntl(primary, F_SETFD, FD_CLOEXEC);
    // Opened by the port from now on. Until the port opens it, the primary
    // reads EIO, which the helpers below treat as nothing yet.
    ::close(secondary);
  }
  ~PtyPair() { ClosePrimary(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return primary >= 0; }
  const std::string& secondaryPath() const { return path; }
  int fd() const { return primary; }

  void ClosePrimary() {
    if (primary >= 0) ::close(primary);
    primary = -1;
  }

  bool Write(const std::vector<uint8_t>& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(primary, bytes.data() + done, bytes.size() - done);
      if (n < 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads until `count` bytes have come or `timeoutMs` has passed.
  std::vector<uint8_t> Read(size_t count, int timeoutMs = 5000) const {
    std::vector<uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) break;
      pollfd pfd{primary, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(std::min<long>(left, 20))) <= 0) continue;
      uint8_t buffer[4096];
      ssize_t n = ::read(primary, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

  // Everything that arrives within `quietMs`.
  std::vector<uint8_t> Drain(int quietMs = 100) const {
    std::vector<uint8_t> got;
    for (;;) {
      pollfd pfd{primary, POLLIN, 0};
      if (::poll(&pfd, 1, quietMs) <= 0) return got;
      uint8_t buffer[4096];
      ssize_t n = ::read(primary, buffer, sizeof buffer);
      if (n <= 0) return got;
      got.insert(got.end(), buffer, buffer + n);
    }
  }

 private:
  int primary = -1;
  std::string path;
};

}  // namespace ktcomm::test
