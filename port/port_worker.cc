// The port's worker thread: started with a handshake, it waits for shutdown,
// a transmit request or the device, in that order of precedence. While a
// waiting caller serves the device itself, the worker sleeps on.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "port/comm_port.h"

namespace ktcomm {
namespace {
// A wait that keeps failing is retried after a pause that doubles up to this.
constexpr int kMaxBackoffMs = 100;
}  // namespace

int CommPort::StartWorker() {
  stopRequested = false;
  closedFromWorker = false;
  if (platform.StartThread([this] { WorkerMain(); }, &workerThread) != 0) return 0;
  bool started = false;
  if (platform.WaitEvent(startedEvent, kStartWaitMs, &started) != 0 || !started) {
    // Threads cannot be killed safely here: ask the worker to stop and join it.
    StopWorker();
    return 0;
  }
  return 1;
}

void CommPort::WorkerMain() {
  workerId = std::this_thread::get_id();
  platform.RaiseThreadPriority();
  workerRunning = 1;
  waitFailures = 0;
  if (device >= 0) DiscardInput(platform::Queues::kBoth);
  platform.SetEvent(startedEvent);

  // Set when a caller gave the device back with something it was woken
  // for instead of this thread: the kernel will not say it again, so the
  // next pass asks for it.
  bool recheck = false;
  for (;;) {
    // The device is ours unless a waiting caller serves it; what a caller
    // handed back is finished first, in order.
    // Idle also while a caller serves: once it gives the device back, the
    // next caller may take it again without waking this thread.
    HandBack back;
    bool pending;
    bool handed;
    uint32_t idleSince;  // give-backs before this thread went idle
    {
      platform::PortLockHolder holder(lock);
      bool serving = !callerServes;
      if (serving) back = std::exchange(handBack, HandBack{});
      handed = back.note.due || back.writing;
      pending = serving && stagedPos < stagedLen;  // left over after an overflow
      workerIdle = !handed && !pending;
      idleSince = givenBack;
    }
    if (handed) {
      ServeHandBack(back);
      platform::PortLockHolder holder(lock);
      workerIdle = !pending;
    }

    platform::Work which = platform::Work::kShutdown;
    bool hangup = false;
    int err;
    if (recheck && !pending) {
      err = platform.WaitDevice(waitSet, std::chrono::steady_clock::now(), false, &which, &hangup);
      if (err == ETIMEDOUT) {
        recheck = false;  // nothing was left
        continue;
      }
    } else {
      err = platform.WaitForWork(waitSet, pending, &which, &hangup);
    }
    if (err != 0) {
      if (stopRequested) break;  // the flag tells what the failing wait cannot
      // Report the first failure of a run, then back off so that a wait that
      // keeps failing does not spin.
      if (waitFailures == 0) ReportError("WaitCommEvent()", err);
      int pauseMs = 1 << std::min(waitFailures, 7);
      waitFailures += 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(pauseMs, kMaxBackoffMs)));
      continue;
    }
    waitFailures = 0;
    if (which == platform::Work::kShutdown) {
      {
        platform::PortLockHolder holder(lock);
        while (callerServes) ownerEvent.wait(lock);
        back = std::exchange(handBack, HandBack{});
        workerIdle = false;
      }
      ServeHandBack(back);
      FlushQueued();
      break;
    }
    if (which == platform::Work::kWake) {
      recheck = true;
      continue;
    }
    {
      platform::PortLockHolder holder(lock);
      if (callerServes) {
        // Woken for what a waiting caller serves now, which stays ready
        // until the caller takes it: waiting for the wait again would spin.
        // One give-back is enough; the caller has taken what woke us, and
        // a next call may take the device again while we wait in the
        // kernel, where it costs the caller nothing to leave us.
        uint32_t seen = givenBack;
        while (callerServes && givenBack == seen) ownerEvent.wait(lock);
        continue;
      }
      // What a caller handed back comes first, in order: back to the top.
      if (handBack.note.due || handBack.writing) continue;
      // A caller served the device since this thread's wait began: what
      // the wait saw may be gone (an empty read would pass for a hang-up).
      // Asking again costs one wait.
      if (givenBack != idleSince) continue;
      workerIdle = false;
      recheck = false;
    }
    if (which == platform::Work::kTransmit) {
      WriteQueued();
    } else {
      ServeDevice(hangup);
    }
  }

  if (closedFromWorker) FinishCloseFromWorker();
  workerRunning = 0;
  workerId = std::thread::id();
}

void CommPort::ServeHandBack(const HandBack& back) {
  if (back.writing) {
    Transmission transmission = back.transmission;
    WriteOut(transmission, true);
  }
  if (back.note.due && window != nullptr && window->post != nullptr) {
    window->post(window, WM_PORT_MESSAGE, back.note.first, back.note.second);
  }
}

// A transmission queued just before a close still goes out: the shutdown
// event is set, so the write takes what the device accepts without waiting.
// One whose write failed is not sent again.
void CommPort::FlushQueued() {
  bool queued;
  {
    platform::PortLockHolder holder(lock);
    queued = txPending && txLen > 0 && waitSet.watched;
  }
  if (queued) WriteQueued();
}

// Closed from one of our own callbacks: log the close and give the device
// back now, so that it can be opened again; the events stay for whoever
// joins this thread. A close, open or flow-control change in progress on
// another thread holds the lifecycle lock and finishes the close itself.
void CommPort::FinishCloseFromWorker() {
  std::unique_lock<std::recursive_mutex> hold(lifecycle, std::try_to_lock);
  if (!hold.owns_lock()) return;
  LogClosed();
  platform.CloseDevice(device);
  device = -1;
}

void CommPort::ServeDevice(bool hangup) {
  int err = ReadAvailable();
  if (err == 0 && hangup) err = EIO;
  if (err != 0) StopWatchingDevice(err);
}

// A device that hung up stays readable for ever; watching it would spin.
// Report once and serve only shutdown and transmit requests until reopened.
void CommPort::StopWatchingDevice(int err) {
  {
    platform::PortLockHolder holder(lock);
    platform.UnwatchDevice(waitSet);
  }
  ReportError("WaitCommEvent()", err);
}

}  // namespace ktcomm
