// A TCP socket on a free port of 127.0.0.1, closed with the object. Bound
// but not listening it refuses every connection, while no other test can
// take its port; listening it takes them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace ktcomm::test {

class LoopbackSocket {
 public:
  enum class Mode { kRefusing, kListening };

  explicit LoopbackSocket(Mode mode) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (mode == Mode::kListening && ::listen(fd, 1) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      Close();
      return;
    }
    port = ntohs(address.sin_port);
  }
  ~LoopbackSocket() { Close(); }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  bool ok() const { return fd >= 0; }
  int handle() const { return fd; }
  std::string PortText() const { return std::to_string(port); }
  // "127.0.0.1:PORT"
  std::string Address() const { return "127.0.0.1:" + PortText(); }

  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

 private:
  int fd = -1;
  int port = 0;
};

}  // namespace ktcomm::test
