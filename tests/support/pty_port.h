// Pointing a port at a device, opening it on a pseudo-terminal through the
// exports, and closing it again however the test ends.
#pragma once

#include <cstdlib>
#include <string>

#include "api/ktcomm.h"
#include "tests/support/pty_pair.h"

namespace ktcomm::test {

// Points port n at a device: a path, or a tcp:// or rfc2217:// address.
inline void MapPort(int port, const std::string& device) {
  std::string variable = "KTCOMM_COM" + std::to_string(port);
  setenv(variable.c_str(), device.c_str(), 1);
}

// Points port n at the pty's secondary side and opens it at 115200 8N1.
inline int OpenOnPty(const PtyPair& pty, KTWindow* window, int port, int txSize, int rxSize,
                     int protocol) {
  MapPort(port, pty.secondaryPath());
  return KTOpenPort(window, port, txSize, rxSize, 115200, 'N', 8, 1, protocol);
}

// Closes the port when the test leaves its scope: the port table is shared
// by every test in the binary.
class PortCloser {
 public:
  explicit PortCloser(int port) : port(port) {}
  ~PortCloser() { KTClosePort(port); }
  PortCloser(const PortCloser&) = delete;
  PortCloser& operator=(const PortCloser&) = delete;

 private:
  int port;
};

}  // namespace ktcomm::test
