// Waiting for a frame: the decoder hands the next completed frame to the
// waiting caller instead of posting it, and holds until the caller releases it.
#include <chrono>
#include <cstring>

#include "port/comm_port.h"

namespace ktcomm {

bool CommPort::BeginWait() {
  platform::PortLockHolder holder(lock);
  if (!IsOpen()) return false;
  handoversAtWait = handovers;
  closesAtWait = closes;
  // Set before anything is sent, so that an answer arriving at once comes here.
  responseWanted = 1;
  return true;
}

CommPort::WaitOutcome CommPort::FinishWait(uint32_t timeoutMs, bool reportOverflow,
                                           uint8_t* outCommand, uint8_t* outData,
                                           uint32_t* inoutLength) {
  bool forever = timeoutMs == 0xFFFFFFFF;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);

  // The outcome is decided under the lock: a frame handed over after the wait
  // gave up is still this caller's, so no frame is left held for nobody.
  platform::PortLockHolder holder(lock);
  while (handovers == handoversAtWait && closes == closesAtWait) {
    if (forever) {
      responseEvent.wait(lock);
    } else if (responseEvent.wait_until(lock, deadline) == std::cv_status::timeout) {
      break;
    }
  }
  if (closes != closesAtWait) return WaitOutcome::kClosed;
  if (handovers != handoversAtWait) {
    // Too small or overflowed: nothing is reset, the decoder keeps holding.
    if (*inoutLength < static_cast<uint32_t>(msgLen)) return WaitOutcome::kTooSmall;
    if (reportOverflow && decoder.state == kOverflowed) return WaitOutcome::kOverflow;
    *outCommand = msgCommand;
    if (msgLen > 0) std::memcpy(outData, msgBuf.get(), static_cast<size_t>(msgLen));
    *inoutLength = static_cast<uint32_t>(msgLen);
    decoder.Restart();
    msgLen = 0;
    responseWanted = 0;
    return WaitOutcome::kFrame;
  }
  responseWanted = 0;
  // A frame still held from an earlier call that returned 6 was handed to
  // nobody; letting it go makes the next frame reach the window.
  if (decoder.holding) decoder.Restart();
  *inoutLength = 0;
  return WaitOutcome::kTimedOut;
}

}  // namespace ktcomm
