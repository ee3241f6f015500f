// Waiting for a frame: the decoder hands the next completed frame to the
// waiting caller instead of posting it, and holds until the caller releases
// it. A caller on an idle port serves the device itself meanwhile: it writes
// what it sends and reads the answer, with the same steps as the worker,
// and gives the device back with whatever it could not finish without
// waiting for the line or posting a notification, which only the worker does.
#include <cstring>

#include "port/comm_port.h"

namespace ktcomm {

bool CommPort::BeginWait(bool serve) {
  platform::PortLockHolder holder(lock);
  if (!IsOpen()) return false;
  handoversAtWait = handovers;
  closesAtWait = closes;
  // Set before anything is sent, so that an answer arriving at once comes here.
  responseWanted = 1;
  if (serve && workerIdle && !callerServes && waitSet.watched && platform.YieldDevice(waitSet)) {
    callerServes = true;
    server = std::this_thread::get_id();
  }
  return true;
}

CommPort::WaitOutcome CommPort::FinishWait(uint32_t timeoutMs, bool reportOverflow,
                                           uint8_t* outCommand, uint8_t* outData,
                                           uint32_t* inoutLength) {
  bool forever = timeoutMs == 0xFFFFFFFF;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool serving;
  {
    platform::PortLockHolder holder(lock);
    serving = callerServes && server == std::this_thread::get_id();
  }
  if (serving) {
    bool unread = ServeWhileWaiting(deadline, forever);
    GiveDeviceBack(unread);
    std::vector<Report> reports;
    {
      platform::PortLockHolder holder(lock);
      reports.swap(deferredReports);
    }
    for (const Report& report : reports) {
      ReportError(report.what, report.err);  // lock not held, the device given back
    }
  }

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

// Until this call's frame is handed over, the port closes or the deadline
// passes: sends are written and input is decoded here, in the worker's
// order. What would make this thread wait for the line or post goes back.
// True when the device may hold input that woke this thread, not the
// worker, and that this thread did not read.
bool CommPort::ServeWhileWaiting(std::chrono::steady_clock::time_point deadline, bool forever) {
  bool unread = false;
  for (;;) {
    bool sending;
    {
      platform::PortLockHolder holder(lock);
      if (handovers != handoversAtWait || closes != closesAtWait) return unread;
      sending = txPending;
    }
    if (sending) {
      Transmission transmission = TakeTransmission();
      unread = false;  // the purge took it
      if (!WriteOut(transmission, false)) {
        platform::PortLockHolder holder(lock);
        handBack.writing = true;
        handBack.transmission = transmission;
        return unread;
      }
      continue;
    }
    if (stagedPos == stagedLen) {
      platform::Work which = platform::Work::kShutdown;
      bool hangup = false;
      if (platform.WaitDevice(waitSet, deadline, forever, &which, &hangup) != 0) return unread;
      if (which == platform::Work::kShutdown) return unread;
      if (which == platform::Work::kTransmit) continue;
      // A device that hung up is the worker's to report.
      if (hangup || Refill(true) != 0) return true;
      // A read that filled the staging buffer may have left more behind.
      unread = stagedLen - stagedPos == staged.size();
      if (stagedPos == stagedLen) continue;
    }
    Notification note;
    if (DecodeStaged(&note)) {
      // Bytes still staged are decoded by the worker, as after its own.
      // Made once the device is given back; no system call failed.
      ReportError("KTcomm: Incoming buffer overflow !!!", 0);
      return unread;
    }
    if (note.due) {
      platform::PortLockHolder holder(lock);
      handBack.note = note;
      return unread;
    }
  }
}

void CommPort::GiveDeviceBack(bool unread) {
  {
    platform::PortLockHolder holder(lock);
    // A send made while this thread waited woke it, not the worker.
    bool work = unread || txPending || stagedPos < stagedLen || handBack.note.due ||
                handBack.writing;
    if (txPending && !writeEventSet) {
      // A send of this call's that it had no time to take is the worker's.
      platform.SetEvent(writeEvent);
      writeEventSet = true;
    }
    platform.ReclaimDevice(waitSet, work);
    callerServes = false;
    givenBack += 1;
  }
  ownerEvent.notify_all();
}

}  // namespace ktcomm
