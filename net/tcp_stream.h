// Serial devices behind a network serial server: the device names that
// point there, the connect, and the raw TCP stream that stands in for the
// device. The RFC 2217 stream builds on it.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "net/endpoint.h"
#include "platform/platform.h"
#include "platform/thread_annotations.h"

namespace ktcomm::net {

// The kernel seam's vocabulary, which the streams speak throughout.
using platform::Event;
using platform::Holder;
using platform::LineState;
using platform::Mutex;
using platform::Platform;
using platform::Queues;
using platform::WaitSet;
using platform::Work;

using Clock = std::chrono::steady_clock;

// How long a connect may take, and each exchange with the server after it.
inline constexpr int kConnectTimeoutMs = 3000;
inline constexpr int kAnswerTimeoutMs = 3000;

// Connects to the first address of the endpoint that answers before the
// deadline; the socket is non-blocking, close-on-exec, without Nagle's delay
// and with keep-alive probes. 0 or an errno (ENXIO: the name is unknown).
int Connect(const Endpoint& endpoint, Clock::time_point deadline, int* socket);

// Asks the kernel to acknowledge what arrives next at once. A server that
// sends with Nagle's algorithm holds a second short packet until the first
// is acknowledged, and a delayed acknowledgement would make that 40 ms. The
// kernel falls back to delaying them, so this is asked after every receive.
void AcknowledgeAtOnce(int socket);

// Milliseconds left until the deadline, rounded up; 0 once it has passed.
int MsLeft(Clock::time_point deadline);

using StreamLock = Mutex;
using StreamLockHolder = Holder<Mutex>;

// A connected TCP stream standing in for a serial device: raw, so bytes
// pass as they are and line settings are kept but cannot be applied. Owned
// by the network platform and shared with the calls in progress; the worker
// reads and writes, any thread may read or change the line. Calls return 0
// or an errno; a broken connection reads as a hang-up.
class TcpStream {
 public:
  explicit TcpStream(int socket);
  virtual ~TcpStream();  // closes the socket
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;

  int fd() const { return socket; }

  // Whatever the server must agree to before the stream is used.
  virtual int Start() { return 0; }
  int GetLine(LineState* line) EXCLUDES(lineLock);
  virtual int SetLine(const LineState& line) EXCLUDES(lineLock);
  // Drops what has arrived and not been read; a raw stream cannot reach
  // the server's own buffers, whichever queues are asked for.
  virtual int Purge(Queues which);
  virtual int InputQueue(size_t* count);
  // EAGAIN when nothing has come yet; 0 bytes when the server hung up.
  virtual int Read(std::span<uint8_t> into, size_t* got);
  virtual int Write(std::span<const uint8_t> from, size_t* put);

  // For the worker's wait: the events to poll the socket for, and a
  // descriptor that polls readable while data taken from the socket waits
  // in the stream (-1: none).
  virtual short PollEvents() { return POLLIN; }
  virtual int DataReadyFd() { return -1; }
  // The socket polled writable: sends what was held back.
  virtual void OnWritable() {}

 protected:
  // Stores the line as given; the control modes are checked as for a tty.
  int KeepLine(const LineState& line) EXCLUDES(lineLock);

  const int socket;

 private:
  StreamLock lineLock;
  LineState line GUARDED_BY(lineLock);
};

// Whether the line asks for the RTS/CTS handshake, as a tty would take it.
bool Handshakes(const LineState& line);

}  // namespace ktcomm::net
