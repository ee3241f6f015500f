// The receive path: bytes are read from the device into a staging buffer of
// whoever serves it, then tested against the receive buffer, decoded and
// logged under the port lock, in runs that end at each frame, overflow or
// trigger. Every byte of a read is decoded in the pass that read it, and
// before a call that was handed a frame can release it, whoever read them:
// what the decoder holds behind the frame is dropped with it. Between
// reads a caller can take the lock to queue or release.
#include <cstring>

#include "port/comm_port.h"

namespace ktcomm {

int CommPort::ReadAvailable() {
  bool first = true;
  for (;;) {
    // Read with the port lock free: a network device may take its time.
    if (stagedPos == stagedLen) {
      Report report;
      int err = Refill(first, &report);
      if (report) ReportError(report.what, report.err);  // lock not held
      if (err != 0 || stagedPos == stagedLen) return err;
    }
    first = false;
    // After an overflow, what the device still holds waits for the next pass.
    if (DecodeRead() || stopRequested) return 0;
    if (lock.Contended()) std::this_thread::yield();  // let the waiter in first
  }
}

bool CommPort::DecodeRead() {
  bool overflowed = false;
  // Closed from inside a callback: nothing more is posted. A close from
  // another thread lets the read be decoded to its end.
  while (stagedPos < stagedLen && !closedFromWorker) {
    Notification note;
    const bool overflow = DecodeStaged(&note);
    // With the lock free, so that the woken caller does not find it held.
    if (note.wake) responseEvent.notify_all();
    if (overflow) {
      overflowed = true;
      // No system call failed: the report quotes no error.
      ReportError("KTcomm: Incoming buffer overflow !!!", 0);  // lock not held
    }
    // Lock not held: the receiver may queue data on this or any port.
    if (note.due) platform.PostFrame(window, WM_PORT_MESSAGE, note.first, note.second);
  }
  if (closedFromWorker) stagedPos = stagedLen;  // dropped with the port
  return overflowed;
}

bool CommPort::DecodeStaged(Notification* note) {
  platform::PortLockHolder holder(lock);
  // Staged bytes are decoded in runs that end at a frame, an overflow or a
  // trigger. While no frame is held, a caller that asks for the lock gets it
  // before the next run; while one is, the rest of the read is decoded
  // first, so that its caller releases it after that read, never within it.
  bool overflow;
  do {
    overflow = DecodeRunLocked(note);
  } while (!overflow && !note->due && stagedPos < stagedLen &&
           (decoder.holding || !lock.Contended()));
  if (restOfRead && stagedPos == stagedLen) {
    restOfRead = false;
    responseEvent.notify_all();
  }
  return overflow;
}

// Overflow-tests and decodes staged bytes up to the first that completes a
// frame, overflows or triggers a post, and logs them; true when the last
// overflowed the receive buffer. A frame to post is left in *note.
bool CommPort::DecodeRunLocked(Notification* note) {
  const std::span<const uint8_t> pending(staged.data() + stagedPos, stagedLen - stagedPos);
  const Decoder::Run run =
      decoder.FeedRun(format, pending, {rxBuf.get(), static_cast<size_t>(rxSize)});
  stagedPos += run.consumed;
  // Nothing else logs while the lock is held, so logging the run after
  // decoding it writes the same text as logging each byte before.
  if (log.enabled) {
    log.LogData(pending.data(), static_cast<int32_t>(run.consumed), diag::TrafficLog::kReading,
             portNumber);
  }
  switch (run.step) {
    case Decoder::Step::kNone:
      return false;
    case Decoder::Step::kOverflow:
      // The frame held for a call is decided for it here, before the bytes
      // after the overflow are decoded: a frame among them would replace
      // the one the call was woken for, or go to the call it had gone to.
      if (waiters != nullptr && waiters->handed) {
        TakeOutcomeLocked(*waiters);
        restOfRead = stagedPos < stagedLen;
      }
      return true;
    case Decoder::Step::kFrame: {
      CaptureMessage();
      bool withData = msgLen > 0;
      switch (decoder.Complete(*format, responseWanted.load() != 0)) {
        case Decoder::Delivery::kHold:
          HandOverLocked(note);
          break;
        case Decoder::Delivery::kStore:
          break;
        case Decoder::Delivery::kPost:
          *note = {.due = true, .first = Parameter(withData), .second = withData ? Address() : 0};
          break;
      }
      return false;
    }
    case Decoder::Step::kTrigger:
      *note = {.due = true, .first = Parameter(true), .second = Address()};
      decoder.Restart();
      return false;
  }
  return false;
}

// Takes what the device holds into the staging buffer. The first refill of a
// pass reads even when the queue looks empty: a device that polled readable
// with nothing queued has hung up, and the read says so.
int CommPort::Refill(bool first, Report* report) {
  size_t queued = 0;
  size_t got = 0;
  int err = 0;
  if (first) {
    // Polled readable: read at once, and ask what is queued only when the
    // read brought nothing.
    err = platform.Read(device, staged, &got);
    if (err == 0 && got == 0 && platform.InputQueue(device, &queued) != 0) queued = 0;
  } else {
    if (platform.InputQueue(device, &queued) != 0) queued = 0;  // counts as empty
    if (queued == 0) return 0;
    err = platform.Read(device, staged, &got);
  }
  if (err == platform::kWouldBlock) return 0;
  if (err == platform::kHungUp || (err == 0 && got == 0 && queued == 0)) return platform::kHungUp;
  if (err != 0) {
    *report = {"ReadFile()", err};
    return 0;
  }
  stagedPos = 0;
  stagedLen = got;
  return 0;
}

void CommPort::CaptureMessage() {
  if (decoder.rxPos > 0) std::memcpy(msgBuf.get(), rxBuf.get(), decoder.rxPos);
  msgLen = decoder.rxPos;
  msgCommand = decoder.frameCommand;
}

uint32_t CommPort::Parameter(bool withData) const {
  uint32_t length = withData ? static_cast<uint32_t>(msgLen) & 0xFFFF : 0;
  return msgCommand | (static_cast<uint32_t>(portNumber) & 0xFF) << 8 | length << 16;
}

uintptr_t CommPort::Address() const { return reinterpret_cast<uintptr_t>(msgBuf.get()); }

}  // namespace ktcomm
