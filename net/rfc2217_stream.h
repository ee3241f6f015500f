// A serial device behind a network serial server that speaks Telnet with
// com port control (RFC 2217): the line, the modem lines, flow control and
// purges go to the server as requests, and only data bytes are read.
#pragma once

#include <vector>

#include "platform/platform.h"
#include "net/tcp_stream.h"
#include "net/telnet_codec.h"
#include "platform/thread_annotations.h"

namespace ktcomm::net {

// The requests that set the server's line as `line` describes; EINVAL for a
// control mode no tty has, EOPNOTSUPP for RS-485 direction control, which
// has no request.
int ComPortRequests(const LineState& line, std::vector<telnet::Request>* requests);

// Bytes from the socket go through the codec into an inbox, from which
// reads are served; whichever thread receives (the worker reading, or a
// thread waiting for the server's answers) answers negotiations and records
// answers, and a thread waiting for them learns of it through its event.
// Output the socket did not take whole is held and sent before anything
// else.
class Rfc2217Stream final : public TcpStream {
 public:
  // `events` makes and sets the stream's events.
  Rfc2217Stream(int socket, Platform& events) : TcpStream(socket), events(events) {}
  ~Rfc2217Stream() override;

  // Negotiates com port control; EPROTO when the server refuses it.
  int Start() override EXCLUDES(lock);
  // Sends the line and waits for the server to confirm every setting;
  // EINVAL when it names another value, ETIMEDOUT when it stays silent.
  int SetLine(const LineState& line) override EXCLUDES(lock);
  // Drops the data received so far and asks the server to purge. A purge
  // of both queues (at open) waits for the answer and drops what came
  // before it, so that what the device sends once an open has returned is
  // kept, as after a local purge. A purge of input (before a write) asks
  // for the server's receive buffer only, never output an earlier write
  // handed it, and is not waited for: the write follows it on the
  // connection, so the device's answer comes after the server purged
  // anyway. A server that leaves a purge unanswered is not waited for again.
  int Purge(Queues which) override EXCLUDES(lock);
  int InputQueue(size_t* count) override EXCLUDES(lock);
  int Read(std::span<uint8_t> into, size_t* got) override EXCLUDES(lock);
  int Write(std::span<const uint8_t> from, size_t* put) override EXCLUDES(lock);
  short PollEvents() override EXCLUDES(lock);
  int DataReadyFd() override { return dataReady.native.fd; }
  void OnWritable() override EXCLUDES(lock);

 private:
  enum class Goal { kComPort, kAnswers, kPurged };

  // Takes up to maxBytes from the socket through the codec, stopping early
  // once data waits in the inbox when untilData is set, and while the
  // inbox is full.
  void ReceiveLocked(size_t maxBytes, bool untilData) REQUIRES(lock);
  bool InboxFullLocked() const REQUIRES(lock);
  // Gives up on a server that broke the stream's bounds: it counts as a
  // connection that ended.
  void BreakLocked() REQUIRES(lock);
  void SendHeldLocked() REQUIRES(lock);
  // Keeps dataReady readable exactly while the inbox holds data.
  void NoteInboxLocked() REQUIRES(lock);
  // 0 when the goal is reached, EINPROGRESS while it is not, else an errno.
  int ProgressLocked(Goal goal) REQUIRES(lock);
  // Receives and sends until the goal is reached or the deadline passes;
  // `event` is the goal's own, so that no other waiter can take its wake-up.
  int Await(Goal goal, const Event& event, Clock::time_point deadline) EXCLUDES(lock);

  Platform& events;
  // Created by Start; closed by the destructor.
  Event dataReady;  // set while the inbox holds data
  Event answered;   // set when an answer or a negotiation came, or the end
  Event purged;     // set when a purge was answered, or the end

  // One exchange of settings, and one purge, at a time.
  StreamLock configLock;
  StreamLock purgeLock;

  StreamLock lock ACQUIRED_AFTER(configLock, purgeLock);
  telnet::ComPortClient client GUARDED_BY(lock);
  std::vector<uint8_t> inbox GUARDED_BY(lock);
  size_t inboxPos GUARDED_BY(lock) = 0;
  bool dataReadySet GUARDED_BY(lock) = false;
  std::vector<uint8_t> held GUARDED_BY(lock);     // encoded output not yet sent
  std::vector<uint8_t> scratch GUARDED_BY(lock);  // encoded output being sent
  bool ended GUARDED_BY(lock) = false;  // the server closed, or the connection broke
  bool awaitingPurge GUARDED_BY(lock) = false;
  bool purgeUnanswered GUARDED_BY(lock) = false;
};

}  // namespace ktcomm::net
