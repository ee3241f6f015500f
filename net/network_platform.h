// The platform the library runs on: a device named tcp://HOST:PORT or
// rfc2217://HOST:PORT is a stream to a network serial server, served here;
// every other device, and everything else, goes to the local platform.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "net/default_platform.h"
#include "net/tcp_stream.h"
#include "platform/platform.h"
#include "platform/thread_annotations.h"

namespace ktcomm::net {

// A stream's device is its socket, under which the streams are kept; a call
// holds its stream for as long as it runs, so a close on another thread
// cannot pull the socket away from under it. Safe from any thread.
class NetworkPlatform final : public platform::PlatformWrapper {
 public:
  using DeviceRef = platform::DeviceRef;

  explicit NetworkPlatform(Platform& local) : PlatformWrapper(local) {}

  // Connects within kConnectTimeoutMs; for RFC 2217 the server then has
  // kAnswerTimeoutMs to agree to com port control. EINVAL for a malformed
  // name, ENXIO for an unknown host.
  int OpenDevice(const std::string& path, DeviceRef* device) override;
  void CloseDevice(DeviceRef device) override;
  int SetTimeouts(DeviceRef device) override;
  int GetLine(DeviceRef device, LineState* line) override;
  int SetLine(DeviceRef device, const LineState& line) override;
  int Purge(DeviceRef device, Queues which) override;
  int InputQueue(DeviceRef device, size_t* count) override;
  int Read(DeviceRef device, std::span<uint8_t> into, size_t* got) override;
  int Write(DeviceRef device, std::span<const uint8_t> from, size_t* put) override;
  int WaitWritable(DeviceRef device, const Event& cancel) override;
  // What a stream's socket took counts as sent: a server keeps no output
  // queue that a later purge could reach.
  int WaitDrained(DeviceRef device, const Event& cancel) override;
  // A stream's set is polled afresh at each wait, and a stream is served
  // by the worker alone: it has data of its own beside the socket.
  int OpenWaitSet(const Event& shutdown, const Event& transmit, DeviceRef device,
                  WaitSet* set) override;
  void CloseWaitSet(WaitSet* set) override;
  int WaitForWork(WaitSet& set, bool deviceReady, Work* which, bool* hangup) override;
  void UnwatchDevice(WaitSet& set) override;
  bool YieldDevice(WaitSet& set) override;
  void ReclaimDevice(WaitSet& set, bool wake) override;
  bool Drained(DeviceRef device) override;
  // Network names are explained here, without a second connection: the
  // open's own error says what happened.
  void ExplainOpenFailure(const std::string& path, const char* step, int err,
                          platform::OpenFailure* why) override;
  // A stream has no modem lines and sends no break.
  int GetModemLines(DeviceRef device, uint32_t* lines) override;
  int SendBreak(DeviceRef device, uint32_t ms) override;

 private:
  std::shared_ptr<TcpStream> Find(DeviceRef device) EXCLUDES(tableLock);
  std::shared_ptr<TcpStream> FindSocket(int socket) EXCLUDES(tableLock);

  StreamLock tableLock;
  std::map<int, std::shared_ptr<TcpStream>> streams GUARDED_BY(tableLock);
};

// Why opening the network device `path` failed with `err` at `step` (null:
// the connection and the server's agreement to com port control);
// `errorText` is the system's text for `err`.
platform::OpenFailure ExplainNetworkFailure(const std::string& path, const char* step, int err,
                                            const std::string& errorText);

}  // namespace ktcomm::net
