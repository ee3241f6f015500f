// The platform the library runs on: a device named tcp://HOST:PORT or
// rfc2217://HOST:PORT is a stream to a network serial server, served here;
// every other device, and everything else, goes to the local platform.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "net/tcp_stream.h"
#include "platform/thread_annotations.h"

namespace ktcomm::net {

// Streams are kept by their socket, which is the descriptor the port knows;
// a call holds its stream for as long as it runs, so a close on another
// thread cannot pull the socket away from under it. Safe from any thread.
class NetworkPlatform final : public platform::PlatformWrapper {
 public:
  explicit NetworkPlatform(Platform& local) : PlatformWrapper(local) {}

  // Connects within kConnectTimeoutMs; for RFC 2217 the server then has
  // kAnswerTimeoutMs to agree to com port control. EINVAL for a malformed
  // name, ENXIO for an unknown host.
  int OpenDevice(const std::string& path, int* fd) override;
  void CloseDevice(int fd) override;
  int SetTimeouts(int fd) override;
  int GetLine(int fd, LineState* line) override;
  int SetLine(int fd, const LineState& line) override;
  int Purge(int fd, Queues which) override;
  int InputQueue(int fd, size_t* count) override;
  int Read(int fd, std::span<uint8_t> into, size_t* got) override;
  int Write(int fd, std::span<const uint8_t> from, size_t* put) override;
  int WaitWritable(int fd, const Event& cancel) override;
  // What a stream's socket took counts as sent: a server keeps no output
  // queue that a later purge could reach.
  int WaitDrained(int fd, const Event& cancel) override;
  // A stream's set is polled afresh at each wait, and a stream is served
  // by the worker alone: it has data of its own beside the socket.
  int OpenWaitSet(const Event& shutdown, const Event& transmit, int fd, WaitSet* set) override;
  void CloseWaitSet(WaitSet* set) override;
  int WaitForWork(WaitSet& set, bool deviceReady, Work* which, bool* hangup) override;
  void UnwatchDevice(WaitSet& set) override;
  bool YieldDevice(WaitSet& set) override;
  void ReclaimDevice(WaitSet& set, bool wake) override;
  bool Drained(int fd) override;
  // Network names are explained here, without a second connection: the
  // open's own error says what happened.
  void ExplainOpenFailure(const std::string& path, const char* step, int err,
                          platform::OpenFailure* why) override;
  // A stream has no modem lines and sends no break.
  int GetModemLines(int fd, uint32_t* lines) override;
  int SendBreak(int fd, uint32_t ms) override;

 private:
  std::shared_ptr<TcpStream> Find(int fd) EXCLUDES(tableLock);

  StreamLock tableLock;
  std::map<int, std::shared_ptr<TcpStream>> streams GUARDED_BY(tableLock);
};

// Why opening the network device `path` failed with `err` at `step` (null:
// the connection and the server's agreement to com port control);
// `errorText` is the system's text for `err`.
platform::OpenFailure ExplainNetworkFailure(const std::string& path, const char* step, int err,
                                            const std::string& errorText);

// What the library runs on: network devices served here, every other one by
// the local kernel's platform. Lives until exit.
platform::Platform& DefaultPlatform();

}  // namespace ktcomm::net
