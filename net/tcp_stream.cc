#include "net/tcp_stream.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>


namespace ktcomm::net {
namespace {

// Latency matters more than packet count for short frames. A server that
// vanished without a word becomes a hang-up within about half a minute:
// keep-alive probes find it on an idle line, the user time-out while output
// goes unacknowledged. Failures leave the defaults, which also work.
void TuneSocket(int socket) {
  int on = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  int idleS = 10, intervalS = 5, probes = 3;
  setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idleS, sizeof idleS);
  setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &intervalS, sizeof intervalS);
  setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  unsigned int unacknowledgedMs = 30000;
  setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledgedMs, sizeof unacknowledgedMs);
}

int ConnectTo(const addrinfo& address, Clock::time_point deadline, int* connected) {
  int s = ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return errno;
  int err = 0;
  if (::connect(s, address.ai_addr, address.ai_addrlen) != 0) err = errno;
  while (err == EINPROGRESS || err == EINTR) {
    pollfd pfd{s, POLLOUT, 0};
    int n = ::poll(&pfd, 1, MsLeft(deadline));
    if (n < 0) {
      err = errno == EINTR ? EINPROGRESS : errno;
      continue;
    }
    if (n == 0) {
      err = ETIMEDOUT;
      break;
    }
    socklen_t length = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
  }
  if (err != 0) {
    ::close(s);
    return err;
  }
  TuneSocket(s);
  *connected = s;
  return 0;
}

}  // namespace

int Connect(const Endpoint& endpoint, Clock::time_point deadline, int* socket) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  int lookup = getaddrinfo(endpoint.host.c_str(), endpoint.port.c_str(), &hints, &found);
  if (lookup != 0) return lookup == EAI_SYSTEM ? errno : ENXIO;
  int err = ENXIO;
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    err = ConnectTo(*address, deadline, socket);
    if (err == 0 || err == ETIMEDOUT) break;  // a later address would have no time left
  }
  freeaddrinfo(found);
  return err;
}

void AcknowledgeAtOnce(int socket) {
  int on = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

int MsLeft(Clock::time_point deadline) {
  auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

TcpStream::TcpStream(int socket) : socket(socket) {
  StreamLockHolder hold(lineLock);
  line.native.tio.c_cflag = CS8 | CREAD | CLOCAL;
  cfsetispeed(&line.native.tio, B9600);
  cfsetospeed(&line.native.tio, B9600);
}

TcpStream::~TcpStream() { ::close(socket); }

int TcpStream::GetLine(LineState* out) {
  StreamLockHolder hold(lineLock);
  *out = LineState{};
  out->native = line.native;
  if (line.native.tio.c_cflag & CRTSCTS) out->rtsControl = 2;
  return 0;
}

int TcpStream::SetLine(const LineState& newLine) { return KeepLine(newLine); }

int TcpStream::KeepLine(const LineState& newLine) {
  uint32_t dtr = newLine.dtrControl;
  uint32_t rts = newLine.rtsControl;
  if ((dtr != platform::kKeepControl && dtr > 1) || (rts != platform::kKeepControl && rts > 3)) return EINVAL;
  StreamLockHolder hold(lineLock);
  line.native = newLine.native;
  line.native.tio.c_cflag &= ~CRTSCTS;
  if (Handshakes(newLine)) line.native.tio.c_cflag |= CRTSCTS;
  return 0;
}

// What had arrived when the purge began, as tcflush would drop it.
int TcpStream::Purge(Queues) {
  int queued = 0;
  if (ioctl(socket, FIONREAD, &queued) != 0) return 0;
  uint8_t scratch[4096];
  while (queued > 0) {
    ssize_t n = ::recv(socket, scratch, std::min(sizeof scratch, static_cast<size_t>(queued)),
                       MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    queued -= static_cast<int>(n);
  }
  return 0;
}

int TcpStream::InputQueue(size_t* count) {
  int queued = 0;
  if (ioctl(socket, FIONREAD, &queued) != 0) return errno;
  *count = queued > 0 ? static_cast<size_t>(queued) : 0;
  return 0;
}

int TcpStream::Read(std::span<uint8_t> into, size_t* got) {
  *got = 0;
  for (;;) {
    ssize_t n = ::recv(socket, into.data(), into.size(), MSG_DONTWAIT);
    if (n >= 0) {
      if (n > 0) AcknowledgeAtOnce(socket);
      *got = static_cast<size_t>(n);
      return 0;
    }
    if (errno == EINTR) continue;
    // A reset or a timed-out connection is a hang-up, as EIO is for a tty.
    return errno == EAGAIN || errno == EWOULDBLOCK ? EAGAIN : EIO;
  }
}

int TcpStream::Write(std::span<const uint8_t> from, size_t* put) {
  *put = 0;
  for (;;) {
    ssize_t n = ::send(socket, from.data(), from.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) {
      *put = static_cast<size_t>(n);
      return 0;
    }
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? EAGAIN : EIO;
  }
}

bool Handshakes(const LineState& line) {
  if (line.rtsControl == 2) return true;
  if (line.rtsControl < 2) return false;
  return (line.native.tio.c_cflag & CRTSCTS) != 0;
}

}  // namespace ktcomm::net
