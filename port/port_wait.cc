// Waiting for a frame: the decoder hands the next completed frame to the
// waiting caller instead of posting it, and holds until the caller releases it.
#include <cstring>

#include "port/comm_port.h"

namespace ktcomm {

void CommPort::BeginWait() {
  platform::PortLockHolder holder(lock);
  platform.ResetEvent(responseEvent);
  handoversAtWait = handovers;
  // Set before anything is sent, so that an answer arriving at once comes here.
  responseWanted = 1;
}

CommPort::WaitOutcome CommPort::FinishWait(uint32_t timeoutMs, bool reportOverflow,
                                           uint8_t* outCommand, uint8_t* outData,
                                           uint32_t* inoutLength) {
  bool signalled = false;
  int err = platform.WaitEvent(responseEvent, timeoutMs, &signalled);

  // The outcome is decided under the lock: a frame handed over after the wait
  // gave up is still this caller's, so no frame is left held for nobody.
  platform::PortLockHolder holder(lock);
  if (handovers != handoversAtWait) {
    // Too small or overflowed: nothing is reset, the decoder keeps holding.
    if (*inoutLength < static_cast<uint32_t>(msgLen)) return WaitOutcome::kTooSmall;
    if (reportOverflow && decoder.state == kOverflowed) return WaitOutcome::kOverflow;
    *outCommand = msgCommand;
    if (msgLen > 0) std::memcpy(outData, msgBuf.get(), static_cast<size_t>(msgLen));
    *inoutLength = static_cast<uint32_t>(msgLen);
    decoder.Restart();
    msgLen = 0;
    platform.ResetEvent(responseEvent);
    responseWanted = 0;
    return WaitOutcome::kFrame;
  }
  platform.ResetEvent(responseEvent);
  responseWanted = 0;
  if (err != 0) return WaitOutcome::kWaitFailed;
  *inoutLength = 0;
  return WaitOutcome::kTimedOut;
}

}  // namespace ktcomm
