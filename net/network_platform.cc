#include "net/network_platform.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "net/rfc2217_stream.h"
#include "platform/posix/posix_device.h"

namespace ktcomm::net {

int NetworkPlatform::OpenDevice(const std::string& path, DeviceRef* device) {
  if (!IsNetworkPath(path)) return PlatformWrapper::OpenDevice(path, device);
  std::optional<Endpoint> endpoint = ParseEndpoint(path);
  if (!endpoint) return EINVAL;
  int socket = -1;
  auto deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
  if (int err = Connect(*endpoint, deadline, &socket)) return err;
  TcpStream* made = endpoint->telnet ? new (std::nothrow) Rfc2217Stream(socket, *this)
                                     : new (std::nothrow) TcpStream(socket);
  if (made == nullptr) {
    ::close(socket);
    return ENOMEM;
  }
  std::shared_ptr<TcpStream> stream(made);  // closes the socket when it goes
  if (int err = stream->Start()) {
    stream.reset();
    // Told apart from a connection that timed out, for the explanation.
    return err == ETIMEDOUT ? ETIME : err;
  }
  auto* opened = new (std::nothrow) platform::Device(socket);
  if (opened == nullptr) return ENOMEM;
  opened->queueless = true;
  StreamLockHolder hold(tableLock);
  streams[socket] = std::move(stream);
  *device = opened;
  return 0;
}

void NetworkPlatform::CloseDevice(DeviceRef device) {
  if (device == nullptr) return;
  std::shared_ptr<TcpStream> stream;
  {
    StreamLockHolder hold(tableLock);
    auto found = streams.find(device->fd);
    if (found != streams.end()) {
      stream = std::move(found->second);
      streams.erase(found);
    }
  }
  if (!stream) {
    PlatformWrapper::CloseDevice(device);
    return;
  }
  delete device;
  stream->OnWritable();  // what was held back, as far as the socket takes it now
}

int NetworkPlatform::SetTimeouts(DeviceRef device) {
  if (Find(device)) return 0;  // reads never wait, writes have no limit
  return PlatformWrapper::SetTimeouts(device);
}

int NetworkPlatform::GetLine(DeviceRef device, LineState* line) {
  if (auto stream = Find(device)) return stream->GetLine(line);
  return PlatformWrapper::GetLine(device, line);
}

int NetworkPlatform::SetLine(DeviceRef device, const LineState& line) {
  if (auto stream = Find(device)) return stream->SetLine(line);
  return PlatformWrapper::SetLine(device, line);
}

int NetworkPlatform::Purge(DeviceRef device, Queues which) {
  if (auto stream = Find(device)) return stream->Purge(which);
  return PlatformWrapper::Purge(device, which);
}

int NetworkPlatform::InputQueue(DeviceRef device, size_t* count) {
  if (auto stream = Find(device)) return stream->InputQueue(count);
  return PlatformWrapper::InputQueue(device, count);
}

int NetworkPlatform::Read(DeviceRef device, std::span<uint8_t> into, size_t* got) {
  if (auto stream = Find(device)) return stream->Read(into, got);
  return PlatformWrapper::Read(device, into, got);
}

int NetworkPlatform::Write(DeviceRef device, std::span<const uint8_t> from, size_t* put) {
  if (auto stream = Find(device)) return stream->Write(from, put);
  return PlatformWrapper::Write(device, from, put);
}

int NetworkPlatform::WaitWritable(DeviceRef device, const Event& cancel) {
  // A stream's socket is waited on as a device is; holding the stream keeps it open.
  auto keep = Find(device);
  return PlatformWrapper::WaitWritable(device, cancel);
}

int NetworkPlatform::WaitDrained(DeviceRef device, const Event& cancel) {
  if (Find(device)) return 0;
  return PlatformWrapper::WaitDrained(device, cancel);
}

int NetworkPlatform::OpenWaitSet(const Event& shutdown, const Event& transmit, DeviceRef device,
                                 WaitSet* set) {
  if (!Find(device)) return PlatformWrapper::OpenWaitSet(shutdown, transmit, device, set);
  *set = WaitSet{};
  set->native.shutdown = shutdown.native.fd;
  set->native.transmit = transmit.native.fd;
  set->native.device = device->fd;
  return 0;
}

void NetworkPlatform::CloseWaitSet(WaitSet* set) {
  if (set->native.poller >= 0) {
    PlatformWrapper::CloseWaitSet(set);
    return;
  }
  *set = WaitSet{};
}

void NetworkPlatform::UnwatchDevice(WaitSet& set) {
  if (set.native.poller >= 0) {
    PlatformWrapper::UnwatchDevice(set);
    return;
  }
  set.watched = false;
}

bool NetworkPlatform::YieldDevice(WaitSet& set) {
  return set.native.poller >= 0 && PlatformWrapper::YieldDevice(set);
}

void NetworkPlatform::ReclaimDevice(WaitSet& set, bool wake) {
  if (set.native.poller >= 0) PlatformWrapper::ReclaimDevice(set, wake);
}

bool NetworkPlatform::Drained(DeviceRef device) {
  if (Find(device)) return true;
  return PlatformWrapper::Drained(device);
}

// As the local wait, with two additions: data a stream has already taken
// from its socket counts as the device being ready, and a socket that takes
// output again gets what its stream held back, without waking the worker.
int NetworkPlatform::WaitForWork(WaitSet& waitSet, bool deviceReady, Work* which,
                                 bool* hangup) {
  if (waitSet.native.poller >= 0) {
    return PlatformWrapper::WaitForWork(waitSet, deviceReady, which, hangup);
  }
  const platform::NativeWaitSet& set = waitSet.native;
  int fd = waitSet.watched ? set.device : -1;
  std::shared_ptr<TcpStream> stream = FindSocket(fd);
  *hangup = false;
  for (;;) {
    pollfd fds[4] = {{set.shutdown, POLLIN, 0},
                     {set.transmit, POLLIN, 0},
                     {stream ? fd : -1, stream ? stream->PollEvents() : short{0}, 0},
                     {stream ? stream->DataReadyFd() : -1, POLLIN, 0}};
    if (::poll(fds, 4, deviceReady ? 0 : -1) < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    short device = fds[2].revents;
    if (fds[0].revents & (POLLIN | POLLNVAL)) {
      *which = Work::kShutdown;
    } else if (fds[1].revents & (POLLIN | POLLNVAL)) {
      *which = Work::kTransmit;
    } else if ((device & ~POLLOUT) != 0 || fds[3].revents != 0) {
      *which = Work::kDevice;
      *hangup = (device & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    } else if (device & POLLOUT) {
      stream->OnWritable();
      continue;
    } else if (deviceReady) {
      *which = Work::kDevice;
    } else {
      continue;
    }
    return 0;
  }
}

void NetworkPlatform::ExplainOpenFailure(const std::string& path, const char* step, int err,
                                         platform::OpenFailure* why) {
  if (!LooksLikeNetworkPath(path)) {
    PlatformWrapper::ExplainOpenFailure(path, step, err, why);
    return;
  }
  *why = ExplainNetworkFailure(path, step, err, ErrorText(err));
}

int NetworkPlatform::GetModemLines(DeviceRef device, uint32_t* lines) {
  if (Find(device)) return platform::kNotSupported;
  return PlatformWrapper::GetModemLines(device, lines);
}

int NetworkPlatform::SendBreak(DeviceRef device, uint32_t ms) {
  if (Find(device)) return platform::kNotSupported;
  return PlatformWrapper::SendBreak(device, ms);
}

platform::OpenFailure ExplainNetworkFailure(const std::string& path, const char* step, int err,
                                            const std::string& errorText) {
  using platform::OpenReason;
  constexpr char kClosedInSetUp[] = "the server closed the connection during the set-up";
  platform::OpenFailure why;
  why.err = err;
  auto say = [&](OpenReason reason, std::string text) {
    why.reason = reason;
    why.text = std::move(text);
    return why;
  };
  std::optional<Endpoint> endpoint = ParseEndpoint(path);
  if (!endpoint) {
    return say(OpenReason::kBadName,
               "malformed URL: write tcp://HOST:PORT or rfc2217://HOST:PORT (an IPv6 address in "
               "brackets, PORT 1 to 65535)");
  }
  if (step != nullptr) {
    std::string failed = std::string(step) + " failed: " + errorText;
    if (err == ETIMEDOUT) {
      return say(OpenReason::kTimedOut,
                 "the server did not confirm the set-up in time (" + failed + ")");
    }
    if (err == EIO) return say(OpenReason::kSetupRefused, kClosedInSetUp);
    return say(OpenReason::kSetupRefused, "the server refused the set-up: " + failed);
  }
  switch (err) {
    case ENXIO: return say(OpenReason::kHostNotFound, "host name " + endpoint->host + " not found");
    case ECONNREFUSED:
      return say(OpenReason::kRefused,
                 "connection refused (nothing listens on port " + endpoint->port + ")");
    case ETIMEDOUT: return say(OpenReason::kTimedOut, "connection timed out");
    case ETIME:
      return say(OpenReason::kTimedOut,
                 "the server did not agree to com port control (RFC 2217) in time");
    case EPROTO:
      return say(OpenReason::kSetupRefused, "the server refused com port control (RFC 2217)");
    case ECONNRESET:
    case EPIPE:
    case EIO: return say(OpenReason::kSetupRefused, kClosedInSetUp);
    case EHOSTUNREACH: return say(OpenReason::kUnreachable, "host unreachable");
    case ENETUNREACH: return say(OpenReason::kUnreachable, "network unreachable");
    case ENOMEM:
    case EMFILE:
    case ENFILE: return say(OpenReason::kNoResources, errorText);
    default: return say(OpenReason::kOther, errorText);
  }
}

std::shared_ptr<TcpStream> NetworkPlatform::Find(DeviceRef device) {
  return device != nullptr ? FindSocket(device->fd) : nullptr;
}

std::shared_ptr<TcpStream> NetworkPlatform::FindSocket(int socket) {
  if (socket < 0) return nullptr;
  StreamLockHolder hold(tableLock);
  auto found = streams.find(socket);
  return found == streams.end() ? nullptr : found->second;
}

platform::Platform& DefaultPlatform() {
  static platform::Platform* network = new NetworkPlatform(platform::Platform::Default());
  return *network;
}

}  // namespace ktcomm::net
