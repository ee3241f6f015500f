// The receive path: bytes are read from the device, logged, tested against
// the receive buffer and decoded one at a time under the port lock, which is
// released between bytes so that callers can queue or release in between.
#include <cerrno>
#include <cstring>

#include "port/comm_port.h"

namespace ktcomm {
namespace {

// A frame notification, sent once the port lock is released.
struct Notification {
  bool due = false;
  uint32_t first = 0;
  uintptr_t second = 0;
};

}  // namespace

int CommPort::ReadAvailable() {
  bool first = true;
  for (;;) {
    Notification note;
    bool overflow = false;
    {
      platform::PortLockHolder holder(lock);
      if (stagedPos == stagedLen) {
        int err = RefillLocked(first);
        if (err != 0 || stagedPos == stagedLen) return err;
      }
      first = false;
      uint8_t byte = staged[stagedPos++];
      if (log.enabled) log.Data(&byte, 1, diag::TrafficLog::kReading, portNumber);

      switch (decoder.Feed(format, byte, {rxBuf.get(), static_cast<size_t>(rxSize)})) {
        case Decoder::Step::kNone:
          break;
        case Decoder::Step::kOverflow:
          overflow = true;
          break;
        case Decoder::Step::kFrame: {
          CaptureMessage();
          bool withData = msgLen > 0;
          switch (decoder.Complete(*format, responseWanted.load() != 0)) {
            case Decoder::Delivery::kHold:
              handovers += 1;
              platform.SetEvent(responseEvent);
              break;
            case Decoder::Delivery::kStore:
              break;
            case Decoder::Delivery::kPost:
              note = {true, Parameter(withData), withData ? Address() : 0};
              break;
          }
          break;
        }
        case Decoder::Step::kTrigger:
          note = {true, Parameter(true), Address()};
          decoder.Restart();
          break;
      }
    }
    if (overflow) {
      // Bytes still staged are decoded on the worker's next pass.
      ReportError("KTcomm: Incoming buffer overflow !!!", 0);  // lock not held
      return 0;
    }
    // Lock not held: the receiver may queue data on this or any port.
    if (note.due && window != nullptr && window->post != nullptr) {
      window->post(window, WM_PORT_MESSAGE, note.first, note.second);
    }
    if (stopRequested) return 0;  // closed from inside the callback
  }
}

// Takes what the device holds into the staging buffer. The first refill of a
// pass reads even when the queue looks empty: a device that polled readable
// with nothing queued has hung up, and the read says so.
int CommPort::RefillLocked(bool first) {
  size_t queued = 0;
  if (platform.InputQueue(device, &queued) != 0) queued = 0;  // counts as empty
  if (queued == 0 && !first) return 0;
  size_t got = 0;
  int err = platform.Read(device, staged, &got);
  if (err == EAGAIN) return 0;
  if (err == EIO || (err == 0 && got == 0 && queued == 0)) return EIO;
  if (err != 0) {
    ReportError("ReadFile()", 0);  // lock held
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
