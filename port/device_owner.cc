#include "port/device_owner.h"

namespace ktcomm {

bool DeviceOwner::WorkerIdles() {
  if (current != State::kWorker && current != State::kIdle) return false;
  current = State::kIdle;
  return true;
}

bool DeviceOwner::WorkerTakesHandBack(HandBack* back) {
  if (current == State::kIdle) current = State::kWorker;
  if (current != State::kOwed) return false;
  *back = owed;
  owed = HandBack{};
  current = State::kWorker;
  return true;
}

DeviceOwner::Woken DeviceOwner::WorkerWakes(uint64_t epoch) {
  switch (current) {
    case State::kWorker:
      return Woken::kServe;
    case State::kIdle:
      if (epoch != giveBacks) return Woken::kStale;
      current = State::kWorker;
      return Woken::kServe;
    case State::kCaller:
      // Whatever woke the worker may have woken it alone: the caller is told,
      // and the worker looks again once the caller is done.
      workerWaiting = true;
      return Woken::kCallerServes;
    case State::kOwed:
      return Woken::kStale;
  }
  return Woken::kStale;
}

bool DeviceOwner::CallerTakes(const WaitCall* call) {
  if (current != State::kIdle || stopping) return false;
  current = State::kCaller;
  server = call;
  return true;
}

DeviceOwner::Tell DeviceOwner::CallerGivesBack(const WaitCall* call, const HandBack& back) {
  if (!ServedBy(call)) return Tell::kNobody;
  server = nullptr;
  giveBacks += 1;
  const bool waiting = workerWaiting;
  workerWaiting = false;
  if (!back.Owed() && !waiting) {
    current = State::kIdle;
    return Tell::kNobody;
  }
  owed = back;
  owed.look = owed.look || waiting;
  current = State::kOwed;
  return waiting ? Tell::kWaiter : Tell::kWakeWorker;
}

void DeviceOwner::WorkerStops() {
  stopping = true;
  if (current == State::kCaller) workerWaiting = true;
}

}  // namespace ktcomm
