#include "net/rfc2217_stream.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/baud_rates.h"

namespace ktcomm::net {
namespace {

// Most bytes taken from the socket, or encoded for it, in one go.
constexpr size_t kChunk = 4096;
// Most bytes one pass takes from the socket, waiting for answers or
// reading; the rest is taken on the next pass, so that a streaming device
// or a chattering server cannot keep the thread from looking at the time,
// or the worker from a shutdown or a transmission.
constexpr size_t kPass = 16 * kChunk;
// What a stream holds at most: data received and not yet read (a server
// sending while nobody reads waits for room), and answers to negotiations
// not yet sent (a server that negotiates without reading breaks this).
constexpr size_t kMaxInbox = 64 * 1024;
constexpr size_t kMaxHeld = 64 * 1024;
// Option negotiations a server may send on one connection; it settles its
// options in a handful.
constexpr uint64_t kMaxNegotiations = 1000;

uint8_t DataBits(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
  }
}

uint8_t Parity(tcflag_t cflag) {
  using namespace telnet;
  if (!(cflag & PARENB)) return kParityNone;
  if (cflag & CMSPAR) return cflag & PARODD ? kParityMark : kParitySpace;
  return cflag & PARODD ? kParityOdd : kParityEven;
}

}  // namespace

int ComPortRequests(const LineState& line, std::vector<telnet::Request>* requests) {
  using namespace telnet;
  uint32_t dtr = line.dtrControl;
  uint32_t rts = line.rtsControl;
  if (dtr != platform::kKeepControl && dtr > 1) return EINVAL;
  if (rts == 3) return EOPNOTSUPP;
  if (rts != platform::kKeepControl && rts > 3) return EINVAL;
  tcflag_t cflag = line.native.tio.c_cflag;
  uint32_t baud = line.native.baud != 0 ? line.native.baud
                                        : platform::RateOf(cfgetospeed(&line.native.tio));
  requests->clear();
  if (baud != 0) requests->push_back({kSetBaudRate, baud});  // 0 would only ask
  requests->push_back({kSetDataSize, DataBits(cflag)});
  requests->push_back({kSetParity, Parity(cflag)});
  requests->push_back({kSetStopSize, static_cast<uint32_t>(cflag & CSTOPB ? 2 : 1)});
  requests->push_back({kSetControl, Handshakes(line) ? kFlowHardware : kFlowNone});
  if (dtr <= 1) requests->push_back({kSetControl, dtr == 1 ? kDtrOn : kDtrOff});
  if (rts <= 1) requests->push_back({kSetControl, rts == 1 ? kRtsOn : kRtsOff});
  return 0;
}

Rfc2217Stream::~Rfc2217Stream() {
  for (Event* event : {&dataReady, &answered, &purged}) events.CloseEvent(event);
}

int Rfc2217Stream::Start() {
  for (Event* event : {&dataReady, &answered, &purged}) {
    if (int err = events.NewEvent(true, event)) return err;
  }
  {
    StreamLockHolder hold(lock);
    client.Start(&held);
    SendHeldLocked();
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
  return Await(Goal::kComPort, answered, deadline);
}

int Rfc2217Stream::SetLine(const LineState& line) {
  std::vector<telnet::Request> requests;
  if (int err = ComPortRequests(line, &requests)) return err;
  StreamLockHolder config(configLock);  // taken before `lock`, never after
  {
    StreamLockHolder hold(lock);
    if (ended) return EIO;
    client.Send(requests, &held);
    SendHeldLocked();
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
  if (int err = Await(Goal::kAnswers, answered, deadline)) return err;
  {
    StreamLockHolder hold(lock);
    if (client.refused()) return EINVAL;
  }
  return KeepLine(line);
}

int Rfc2217Stream::Purge(Queues which) {
  StreamLockHolder purging(purgeLock);
  {
    StreamLockHolder hold(lock);
    int queued = 0;
    if (ioctl(socket, FIONREAD, &queued) == 0 && queued > 0) {
      ReceiveLocked(std::min(static_cast<size_t>(queued), kPass), false);
    }
    inbox.clear();
    inboxPos = 0;
    NoteInboxLocked();
    if (ended) return 0;
    bool input = which == Queues::kInput;
    client.Purge(input ? telnet::kPurgeReceive : telnet::kPurgeBoth, &held);
    SendHeldLocked();
    if (input || purgeUnanswered) return 0;
    awaitingPurge = true;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
  int err = Await(Goal::kPurged, purged, deadline);
  StreamLockHolder hold(lock);
  awaitingPurge = false;
  if (err == ETIMEDOUT) purgeUnanswered = true;
  return 0;
}

int Rfc2217Stream::InputQueue(size_t* count) {
  StreamLockHolder hold(lock);
  if (inboxPos == inbox.size()) ReceiveLocked(kPass, true);
  *count = inbox.size() - inboxPos;
  return 0;
}

// Socket readability says little here: it may have been a negotiation only
// (EAGAIN then), or another thread may have taken the bytes into the inbox.
int Rfc2217Stream::Read(std::span<uint8_t> into, size_t* got) {
  StreamLockHolder hold(lock);
  *got = 0;
  if (inboxPos == inbox.size()) ReceiveLocked(kPass, true);
  // A waiter for answers stops receiving while the inbox is full; once
  // there is room it looks again.
  if (InboxFullLocked()) events.SetEvent(answered);
  size_t n = std::min(into.size(), inbox.size() - inboxPos);
  if (n == 0) return ended ? 0 : EAGAIN;  // 0 bytes: the server hung up
  std::memcpy(into.data(), inbox.data() + inboxPos, n);
  inboxPos += n;
  if (inboxPos == inbox.size()) {
    inbox.clear();
    inboxPos = 0;
  }
  NoteInboxLocked();
  *got = n;
  return 0;
}

int Rfc2217Stream::Write(std::span<const uint8_t> from, size_t* put) {
  StreamLockHolder hold(lock);
  *put = 0;
  SendHeldLocked();
  if (ended) return EIO;
  if (!held.empty()) return EAGAIN;
  std::span<const uint8_t> chunk = from.first(std::min(from.size(), kChunk));
  scratch.clear();
  telnet::AppendEscaped(chunk, &scratch);
  for (;;) {
    ssize_t n = ::send(socket, scratch.data(), scratch.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) {
      bool halfSent = false;
      *put = telnet::DataBytesSent(chunk, static_cast<size_t>(n), &halfSent);
      if (halfSent) held.push_back(telnet::kIac);
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return EAGAIN;
    ended = true;
    return EIO;
  }
}

short Rfc2217Stream::PollEvents() {
  StreamLockHolder hold(lock);
  return static_cast<short>(POLLIN | (held.empty() ? 0 : POLLOUT));
}

void Rfc2217Stream::OnWritable() {
  StreamLockHolder hold(lock);
  SendHeldLocked();
}

void Rfc2217Stream::ReceiveLocked(size_t maxBytes, bool untilData) {
  uint64_t answersBefore = client.answers();
  auto optionBefore = client.comPort();
  size_t purgesBefore = client.purgesOwed();
  if (inboxPos > 0 && inboxPos >= inbox.size() / 2) {
    // What was read is dropped before more comes, so the inbox stays small.
    inbox.erase(inbox.begin(), inbox.begin() + static_cast<ptrdiff_t>(inboxPos));
    inboxPos = 0;
  }
  uint8_t buffer[kChunk];
  size_t taken = 0;
  while (!ended && taken < maxBytes && !(untilData && inboxPos < inbox.size()) &&
         !InboxFullLocked()) {
    ssize_t n = ::recv(socket, buffer, std::min(sizeof buffer, maxBytes - taken), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {
      ended = true;  // closed by the server, or broken
      break;
    }
    AcknowledgeAtOnce(socket);
    taken += static_cast<size_t>(n);
    client.Receive({buffer, static_cast<size_t>(n)}, &inbox, &held);
    std::optional<size_t> mark = client.TakePurgeMark();
    if (mark && awaitingPurge && *mark > inboxPos) {
      // Sent by the server before it purged: gone, as the purge has it.
      inbox.erase(inbox.begin() + static_cast<ptrdiff_t>(inboxPos),
                  inbox.begin() + static_cast<ptrdiff_t>(*mark));
    }
    if (client.negotiations() > kMaxNegotiations) BreakLocked();
  }
  SendHeldLocked();  // answers to negotiations go out at once
  if (held.size() > kMaxHeld) BreakLocked();
  if (ended || client.answers() != answersBefore || client.comPort() != optionBefore) {
    events.SetEvent(answered);
  }
  if (ended || client.purgesOwed() != purgesBefore) events.SetEvent(purged);
  NoteInboxLocked();
}

bool Rfc2217Stream::InboxFullLocked() const { return inbox.size() - inboxPos >= kMaxInbox; }

void Rfc2217Stream::BreakLocked() {
  ended = true;
  held.clear();
  ::shutdown(socket, SHUT_RDWR);  // the server stops, and polls see the end
}

void Rfc2217Stream::SendHeldLocked() {
  size_t done = 0;
  while (done < held.size() && !ended) {
    ssize_t n = ::send(socket, held.data() + done, held.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) {
      done += static_cast<size_t>(n);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      break;
    } else if (errno != EINTR) {
      ended = true;  // the connection is gone; the next read says so
    }
  }
  if (ended) done = held.size();
  held.erase(held.begin(), held.begin() + static_cast<ptrdiff_t>(done));
}

void Rfc2217Stream::NoteInboxLocked() {
  bool waiting = inboxPos < inbox.size();
  if (waiting && !dataReadySet) events.SetEvent(dataReady);
  if (!waiting && dataReadySet) events.ResetEvent(dataReady);
  dataReadySet = waiting;
}

int Rfc2217Stream::ProgressLocked(Goal goal) {
  if (goal == Goal::kComPort) {
    if (client.comPort() == telnet::ComPortClient::Option::kAccepted) return 0;
    if (client.comPort() == telnet::ComPortClient::Option::kRefused) return EPROTO;
    return ended ? ECONNRESET : EINPROGRESS;
  }
  if (goal == Goal::kPurged) {
    if (client.purgesOwed() == 0) return 0;
  } else if (client.owed() == 0 || client.refused()) {
    return 0;
  }
  return ended ? EIO : EINPROGRESS;
}

// Whoever receives first handles what came: this thread, or another one
// (the worker in a read), which then sets the goal's event. The event is
// cleared before each look, so a wake-up is never lost.
int Rfc2217Stream::Await(Goal goal, const Event& event, Clock::time_point deadline) {
  for (;;) {
    short wanted;
    {
      StreamLockHolder hold(lock);
      events.ResetEvent(event);
      ReceiveLocked(kPass, false);
      int progress = ProgressLocked(goal);
      if (progress != EINPROGRESS) return progress;
      // A full inbox takes nothing until a reader makes room, which sets
      // the event; polling the socket meanwhile would spin.
      wanted = static_cast<short>((InboxFullLocked() ? 0 : POLLIN) | (held.empty() ? 0 : POLLOUT));
    }
    int leftMs = MsLeft(deadline);
    if (leftMs == 0) return ETIMEDOUT;
    pollfd fds[2] = {{socket, wanted, 0}, {event.native.fd, POLLIN, 0}};
    if (::poll(fds, 2, leftMs) < 0 && errno != EINTR) return errno;
  }
}

}  // namespace ktcomm::net
