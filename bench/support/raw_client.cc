#include "bench/support/raw_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace ktcomm::bench {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

int RawClient::Open(const std::string& path) {
  Close();
  int opened = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (opened < 0) return errno;
  termios tio{};
  int err = 0;
  if (ioctl(opened, TIOCEXCL) != 0 || flock(opened, LOCK_EX | LOCK_NB) != 0 ||
      tcgetattr(opened, &tio) != 0) {
    err = errno;
  } else {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    if (tcsetattr(opened, TCSANOW, &tio) != 0 || tcflush(opened, TCIOFLUSH) != 0) err = errno;
  }
  if (err != 0) {
    ::close(opened);
    return err;
  }
  fd = opened;
  decoder = MinimalDecoder(kShape1);
  return 0;
}

int RawClient::Connect(int tcpPort) {
  Close();
  int opened = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (opened < 0) return errno;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(tcpPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int on = 1;
  int err = 0;
  if (setsockopt(opened, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
      ::connect(opened, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      fcntl(opened, F_SETFL, O_NONBLOCK) != 0) {
    err = errno;
    ::close(opened);
    return err;
  }
  fd = opened;
  decoder = MinimalDecoder(kShape1);
  return 0;
}

void RawClient::Close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool RawClient::Exchange(std::span<const uint8_t> request, int timeoutMs,
                         std::vector<uint8_t>* answer) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t done = 0;
  while (done < request.size()) {
    ssize_t n = ::write(fd, request.data() + done, request.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    pollfd pfd{fd, POLLOUT, 0};
    if (poll(&pfd, 1, MillisecondsLeft(deadline)) == 0) return false;
  }
  bool answered = false;
  while (!answered) {
    pollfd pfd{fd, POLLIN, 0};
    int ready = poll(&pfd, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    decoder.Feed({buffer.data(), static_cast<size_t>(n)},
                 [&](uint8_t, std::span<const uint8_t> data) {
                   if (answer != nullptr) answer->assign(data.begin(), data.end());
                   answered = true;
                 });
  }
  return true;
}

void RawClient::Stream(int stopFd, size_t dataLength, std::atomic<uint64_t>* frames,
                       std::atomic<uint64_t>* bad) {
  uint64_t count = 0, wrong = 0;
  auto onFrame = [&](uint8_t, std::span<const uint8_t> data) {
    ++count;
    if (data.size() != dataLength) ++wrong;
  };
  for (;;) {
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {fd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return;
    decoder.Feed({buffer.data(), static_cast<size_t>(n)}, onFrame);
    frames->store(count, std::memory_order_relaxed);
    bad->store(wrong, std::memory_order_relaxed);
  }
}

}  // namespace ktcomm::bench
