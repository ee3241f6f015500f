// Who serves a port's device: its worker, or a waiting caller that took it
// over while the worker had nothing in hand. One per port, touched under the
// port lock by the worker and by waiting calls; each transition is a
// function named for what happens, and nothing else changes the owner.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ktcomm {

// A frame notification to post once no lock is held.
struct Notification {
  bool wake = false;  // a frame was handed to a waiting call
  bool due = false;   // a frame is to be posted
  uint32_t first = 0;
  uintptr_t second = 0;
};

// A transmission taken from the transmit slot, and how much of it went out.
struct Transmission {
  uint32_t length = 0;
  size_t done = 0;
  uint64_t taken = 0;  // which queued transmission it is
};

// What a serving caller leaves to the worker: a write to finish, a frame to
// post, and whether the device may hold something nobody will be woken for
// (input the caller was woken for and did not read, a send whose wake-up
// it took, a hang-up, staged bytes it did not decode).
struct HandBack {
  bool writing = false;
  Transmission transmission;
  Notification note;
  bool look = false;

  bool Owed() const { return writing || note.due || look; }
};

class WaitCall;

class DeviceOwner {
 public:
  enum class State {
    kWorker,  // the worker serves it (starting, stopping, or at work)
    kIdle,    // the worker sleeps in its wait holding nothing: a caller may take it
    kCaller,  // a waiting call serves it
    kOwed,    // given back with work for the worker, which it finishes before anyone serves
  };

  State state() const { return current; }
  bool ServedBy(const WaitCall* call) const { return current == State::kCaller && server == call; }
  // Counts give-backs: a worker that saw the device ready before the last
  // one cannot trust what it saw.
  uint64_t Epoch() const { return giveBacks; }

  // A new worker holds the device, with nothing owed and nobody serving.
  void WorkerStarts() { *this = DeviceOwner(); }

  // The worker is about to sleep in its wait, holding nothing: a caller may
  // take the device from now on. Refused while a hand-back is owed.
  bool WorkerIdles();

  // The worker takes what a caller handed back; false when nothing is owed.
  bool WorkerTakesHandBack(HandBack* back);

  // The worker's wait saw work; `epoch` is Epoch() when it went to sleep.
  enum class Woken {
    kServe,         // the worker serves it now
    kCallerServes,  // a caller serves the device: wake it, wait for the give-back
    kStale,         // a caller served since the wait began, or left work: look again
  };
  Woken WorkerWakes(uint64_t epoch);

  // A waiting call takes the device: only from a worker idle with nothing
  // owed, and never once the worker is stopping.
  bool CallerTakes(const WaitCall* call);

  // The serving call gives the device back with what it leaves. The worker
  // is owed a look as well when it was woken for the device meanwhile.
  enum class Tell {
    kNobody,      // the worker holds nothing new
    kWaiter,      // the worker waits for this give-back: notify it
    kWakeWorker,  // the worker sleeps in its wait: wake it there
  };
  Tell CallerGivesBack(const WaitCall* call, const HandBack& back);

  // The worker stops: no caller takes the device any more. It waits until
  // CallerServes() is false, then takes what is owed.
  void WorkerStops();
  bool CallerServes() const { return current == State::kCaller; }

 private:
  State current = State::kWorker;
  const WaitCall* server = nullptr;
  HandBack owed;
  bool workerWaiting = false;  // the worker woke and waits for the serving call
  bool stopping = false;
  uint64_t giveBacks = 0;
};

}  // namespace ktcomm
