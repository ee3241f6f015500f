// Waiting for a frame: the decoder hands the next completed frame to the
// first waiting call instead of posting it, and holds until that call
// releases it. A call on an idle port serves the device itself meanwhile:
// it writes what it sends and reads the answer with the worker's own steps,
// and gives the device back with whatever it cannot finish without waiting
// for the line or posting a notification, which only the worker does.
#include <cstring>

#include "port/comm_port.h"

namespace ktcomm {

using Clock = std::chrono::steady_clock;

WaitCall::~WaitCall() { port.AbandonWait(*this); }

bool CommPort::BeginWait(WaitCall& call, bool serve) {
  platform::PortLockHolder holder(lock);
  if (!IsOpen() || call.listed) return false;
  // Set before anything is sent, so that an answer arriving at once comes here.
  responseWanted = 1;
  call.serve = serve && waitSet.watched && platform.YieldDevice(waitSet);
  ListWaitLocked(call);
  return true;
}

CommPort::WaitOutcome CommPort::FinishWait(WaitCall& call, uint32_t timeoutMs) {
  const bool forever = timeoutMs == 0xFFFFFFFF;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool serving;
  {
    platform::PortLockHolder holder(lock);
    if (!call.listed && !call.outcome) return WaitOutcome::kClosed;
    serving = owner.ServedBy(&call);
    // A call that sent nothing, or whose send was refused, may still serve
    // the reading; one whose send the worker was woken for leaves it to it.
    if (!serving && call.serve && !txPending && !call.closed && !call.outcome) {
      serving = owner.CallerTakes(&call);
    }
  }

  if (serving) {
    Served served = ServeWhileWaiting(call, deadline, forever);
    {
      platform::PortLockHolder holder(lock);
      // Taken before the worker gets the device back: what the call read in
      // its last pass is decoded and dropped with its frame, as a worker's
      // pass would have done before the caller could release it.
      TakeOutcomeLocked(call);
      GiveDeviceBackLocked(call, served.back);
    }
    ownerEvent.notify_all();
    // Reports once the device is given back: an alert may close the port.
    if (served.report) ReportError(served.report.what, served.report.err);
    for (int i = 0; i < served.overflows; ++i) {
      // No system call failed: the report quotes no error.
      ReportError("KTcomm: Incoming buffer overflow !!!", 0);
    }
  }

  // The outcome is decided under the lock: a frame handed over after the
  // deadline passed is still this call's, so no frame is left held for nobody.
  platform::PortLockHolder holder(lock);
  while (!TakeOutcomeLocked(call)) {
    if (forever) {
      responseEvent.wait(lock);
    } else if (responseEvent.wait_until(lock, deadline) == std::cv_status::timeout) {
      if (!TakeOutcomeLocked(call)) TimeOutLocked(call);
      break;
    }
  }
  // The rest of the read that decided it goes first; a close or the
  // deadline ends that wait too.
  while (restOfRead && IsOpen()) {
    if (forever) {
      responseEvent.wait(lock);
    } else if (responseEvent.wait_until(lock, deadline) == std::cv_status::timeout) {
      break;
    }
  }
  return *call.outcome;
}

bool CommPort::TakeOutcomeLocked(WaitCall& call) {
  if (call.outcome) return true;
  if (!call.listed) return false;
  if (call.closed) {
    call.outcome = WaitOutcome::kClosed;
  } else if (!call.handed) {
    return false;
  } else if (*call.out.length < static_cast<uint32_t>(msgLen)) {
    // Too small or overflowed: nothing is reset, the decoder keeps holding
    // and the port keeps awaiting a frame.
    call.outcome = WaitOutcome::kTooSmall;
  } else if (call.out.reportOverflow && decoder.state == kOverflowed) {
    call.outcome = WaitOutcome::kOverflow;
  } else {
    *call.out.command = msgCommand;
    if (msgLen > 0) std::memcpy(call.out.data, msgBuf.get(), static_cast<size_t>(msgLen));
    *call.out.length = static_cast<uint32_t>(msgLen);
    decoder.Restart();
    msgLen = 0;
    call.outcome = WaitOutcome::kFrame;
  }
  UnlistWaitLocked(call);
  const bool resets = *call.outcome != WaitOutcome::kTooSmall &&
                      *call.outcome != WaitOutcome::kOverflow;
  if (resets && waiters == nullptr) responseWanted = 0;
  return true;
}

void CommPort::TimeOutLocked(WaitCall& call) {
  UnlistWaitLocked(call);
  if (waiters == nullptr) responseWanted = 0;
  // A frame still held from an earlier call that returned 6 was handed to
  // nobody; letting it go makes the next frame reach the window.
  if (decoder.holding && !FrameHeldForACallLocked()) decoder.Restart();
  *call.out.length = 0;
  call.outcome = WaitOutcome::kTimedOut;
}

void CommPort::ListWaitLocked(WaitCall& call) {
  call.listed = true;
  call.handed = false;
  call.closed = false;
  call.next = nullptr;
  WaitCall** last = &waiters;
  while (*last != nullptr) last = &(*last)->next;
  *last = &call;
}

void CommPort::UnlistWaitLocked(WaitCall& call) {
  for (WaitCall** link = &waiters; *link != nullptr; link = &(*link)->next) {
    if (*link == &call) {
      *link = call.next;
      break;
    }
  }
  call.listed = false;
  call.next = nullptr;
}

bool CommPort::FrameHeldForACallLocked() const {
  for (const WaitCall* call = waiters; call != nullptr; call = call->next) {
    if (call->handed) return true;
  }
  return false;
}

void CommPort::HandOverLocked(Notification* note) {
  // The first call gets it; a frame completing after an overflow dropped an
  // earlier one it had not taken yet replaces that one, as for a lone call.
  if (waiters != nullptr) waiters->handed = true;
  note->wake = true;
}

// Until this call's frame is handed over, the port closes or the deadline
// passes: sends are written and input is decoded here, in the worker's
// order and with its steps. What would make this thread wait for the line,
// post, or report while it holds the device ends the serving.
CommPort::Served CommPort::ServeWhileWaiting(WaitCall& call, Clock::time_point deadline,
                                             bool forever) {
  Served served;
  HandBack& back = served.back;
  // The last read filled the staging buffer: the device may hold more, which
  // woke this thread and not the worker.
  bool fullRead = false;
  auto leave = [&]() -> Served& {
    back.look = back.look || fullRead || stagedPos < stagedLen;
    return served;
  };
  for (;;) {
    // A read is decoded to its end in the pass that made it, overflows and
    // all, as the worker decodes its own.
    while (stagedPos < stagedLen) {
      Notification note;
      const bool overflow = DecodeStaged(&note);
      // The frame may be another call's, which waits on the event.
      if (note.wake) responseEvent.notify_all();
      if (overflow) served.overflows += 1;
      if (note.due) {
        back.note = note;  // posted by the worker, which decodes the rest
        return leave();
      }
    }
    if (served.overflows > 0) return leave();
    bool sending;
    {
      platform::PortLockHolder holder(lock);
      if (call.handed || call.closed || call.outcome) return leave();
      sending = txPending;
    }
    // A send of the call's own goes out first, as far as the line takes it
    // without waiting, whatever is left of the time.
    if (!sending && !forever && Clock::now() >= deadline) return leave();
    if (sending) {
      // Taken with its wake-up, if any: the worker must look if it is left.
      Transmission transmission = TakeTransmission();
      fullRead = false;  // the purge took it
      Written written = WriteOut(transmission, false);
      if (!written.finished) {
        back.writing = true;
        back.transmission = transmission;
        return leave();
      }
      if (written.report) {
        served.report = written.report;
        return leave();
      }
      continue;
    }
    platform::Work which = platform::Work::kShutdown;
    bool hangup = false;
    int err = platform.WaitDevice(waitSet, deadline, forever, &which, &hangup);
    if (err == platform::kTimedOut || which == platform::Work::kShutdown) return leave();
    // A device that hung up, or a wait that fails, is the worker's to report.
    if (err != 0 || hangup) {
      back.look = true;
      return leave();
    }
    if (which == platform::Work::kTransmit) continue;
    // Woken by the worker (kWake), the device may or may not hold input:
    // ask before reading, as after a read.
    err = Refill(which == platform::Work::kDevice, &served.report);
    if (err != 0 || served.report) {
      back.look = back.look || err == platform::kHungUp;
      return leave();
    }
    fullRead = stagedLen - stagedPos == staged.size();
  }
}

void CommPort::GiveDeviceBackLocked(WaitCall& call, HandBack back) {
  if (!owner.ServedBy(&call)) return;
  if (txPending) {
    // A send this call had no time to take, or whose wake-up it took: the
    // worker's now, and it must look, since the kernel may not tell it.
    back.look = true;
    if (!writeEventSet) {
      platform.SetEvent(writeEvent);
      writeEventSet = true;
    }
  }
  switch (owner.CallerGivesBack(&call, back)) {
    case DeviceOwner::Tell::kNobody:
    case DeviceOwner::Tell::kWaiter:  // notified by the caller, lock released
      break;
    case DeviceOwner::Tell::kWakeWorker:
      platform.ReclaimDevice(waitSet, true);
      break;
  }
}

void CommPort::AbandonWait(WaitCall& call) {
  bool gave;
  {
    platform::PortLockHolder holder(lock);
    if (!call.listed && !owner.ServedBy(&call)) return;
    gave = owner.ServedBy(&call);
    // What it read is decoded; the look tells the worker to go on from there.
    HandBack back;
    back.look = true;
    if (gave) GiveDeviceBackLocked(call, back);
    if (call.listed) {
      UnlistWaitLocked(call);
      if (waiters == nullptr) responseWanted = 0;
    }
  }
  if (gave) ownerEvent.notify_all();
}

}  // namespace ktcomm
