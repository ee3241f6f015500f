// The port's worker thread: started with a handshake, it waits for shutdown,
// a transmit request or the device, in that order of precedence. While a
// waiting caller serves the device itself, the worker sleeps on.
#include <algorithm>
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
  if (device != nullptr) DiscardInput(platform::Queues::kBoth);
  {
    platform::PortLockHolder holder(lock);
    owner.WorkerStarts();
  }
  platform.SetEvent(startedEvent);

  // Set when the device, the transmit slot or shutdown may be ready though
  // the kernel will not say so again (a caller was woken for it, or took
  // the wake-up this thread had): the next pass asks without sleeping.
  bool look = false;
  for (;;) {
    HandBack back;
    bool rest = false;  // the rest of a read a caller handed back undecoded
    uint64_t epoch;
    {
      platform::PortLockHolder holder(lock);
      if (owner.WorkerTakesHandBack(&back)) look = look || back.look;
      // While a caller serves, the staging buffer is the caller's.
      if (owner.state() != DeviceOwner::State::kCaller) {
        rest = stagedPos < stagedLen;
        if (!back.writing && !back.note.due && !rest && !look) owner.WorkerIdles();
      }
      epoch = owner.Epoch();
    }
    // What a caller handed back comes first, in order: its write, its post,
    // and the rest of its read, as the pass that read it would have gone on.
    // Then back to the top, to go idle only once nothing is left.
    if (back.writing || back.note.due || rest) {
      ServeHandBack(back);
      if (rest) DecodeRead();
      continue;
    }

    platform::Work which = platform::Work::kShutdown;
    bool hangup = false;
    int err;
    if (look) {
      err = platform.WaitDevice(waitSet, std::chrono::steady_clock::now(), false, &which, &hangup);
      look = false;
      if (err == platform::kTimedOut) continue;  // nothing was left
    } else {
      err = platform.WaitForWork(waitSet, false, &which, &hangup);
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
    if (which == platform::Work::kShutdown) break;
    if (which == platform::Work::kWake) continue;  // a hand-back: taken at the top
    {
      platform::PortLockHolder holder(lock);
      switch (owner.WorkerWakes(epoch)) {
        case DeviceOwner::Woken::kServe:
          break;
        case DeviceOwner::Woken::kStale:
          continue;
        case DeviceOwner::Woken::kCallerServes:
          // What woke this thread may not have woken the caller: tell it,
          // and wait for it to give the device back, which it does at its
          // frame, its deadline or a close. Waiting in the kernel instead
          // would spin on what stays ready until the caller takes it.
          platform.WakeCaller(waitSet);
          while (owner.CallerServes()) ownerEvent.wait(lock);
          continue;
      }
    }
    if (which == platform::Work::kTransmit) {
      WriteQueued();
    } else {
      ServeDevice(hangup);
    }
  }

  // A serving caller sees the shutdown too; the device is closed only once
  // it has given it back.
  HandBack back;
  bool rest;
  {
    platform::PortLockHolder holder(lock);
    owner.WorkerStops();
    while (owner.CallerServes()) ownerEvent.wait(lock);
    owner.WorkerTakesHandBack(&back);
    rest = stagedPos < stagedLen;
  }
  ServeHandBack(back);
  if (rest) DecodeRead();  // bytes read are logged and decoded, as a pass would
  FlushQueued();
  if (closedFromWorker) FinishCloseFromWorker();
  workerRunning = 0;
  workerId = std::thread::id();
}

void CommPort::ServeHandBack(const HandBack& back) {
  if (back.writing) {
    Transmission transmission = back.transmission;
    Written written = WriteOut(transmission, true);
    if (written.report) ReportError(written.report.what, written.report.err);  // lock not held
  }
  if (back.note.due) platform.PostFrame(window, WM_PORT_MESSAGE, back.note.first, back.note.second);
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
  device = nullptr;
}

void CommPort::ServeDevice(bool hangup) {
  int err = ReadAvailable();
  if (err == 0 && hangup) err = platform::kHungUp;
  if (err != 0) StopWatchingDevice(err);
}

// A device that hung up stays readable for ever; watching it would spin.
// Report once and serve only shutdown and transmit requests until reopened.
// The port counts as lost from the report on, which its alert finds so.
void CommPort::StopWatchingDevice(int err) {
  {
    platform::PortLockHolder holder(lock);
    platform.UnwatchDevice(waitSet);
  }
  ReportError("WaitCommEvent()", err, true);
}

}  // namespace ktcomm
