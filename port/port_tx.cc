// The transmit path: one transmit slot per port, filled by the application
// and written out from a clean line by whoever serves the device (the
// worker, or a waiting caller that took it). The transmission is copied out
// and written with the port lock free, so that a send never waits for the
// line.
#include <cstring>

#include "port/comm_port.h"

namespace ktcomm {
namespace {

Written Unfinished() {
  Written written;
  written.finished = false;
  return written;
}

Written WriteFailed(const char* what, int err) {
  Written written;
  written.report = {what, err};
  return written;
}

}  // namespace

CommPort::Queued CommPort::SendRaw(std::span<const uint8_t> data, WaitCall* call) {
  {
    platform::PortLockHolder holder(lock);
    if (!IsOpen()) return Queued::kNotOpen;
    if (data.size() <= txSize) {
      if (!data.empty()) std::memcpy(txBuf.get(), data.data(), data.size());
      txLen = static_cast<uint32_t>(data.size());
      txPending = true;
      txQueued += 1;
      // A waiting call that serves the device writes its own send, taking
      // the device with it when the worker is idle: no event, no wake-up.
      bool ownSend = call != nullptr && call->listed &&
                     (owner.ServedBy(call) || (call->serve && !call->closed &&
                                               owner.CallerTakes(call)));
      if (!writeEventSet && !ownSend) {
        platform.SetEvent(writeEvent);
        writeEventSet = true;
      }
      return Queued::kQueued;
    }
  }
  // No system call failed: the report quotes no error.
  ReportError("KTcomm: write buffer overflow 2 !!!", 0);  // lock not held
  return Queued::kQueued;
}

void CommPort::WriteQueued() {
  Transmission transmission = TakeTransmission();
  Written written = WriteOut(transmission, true);
  if (written.report) ReportError(written.report.what, written.report.err);  // lock not held
}

Transmission CommPort::TakeTransmission() {
  Transmission transmission;
  {
    platform::PortLockHolder holder(lock);
    // Reset under the lock, as SendRaw sets it under the lock: a transmission
    // queued from here on gets a pass of its own.
    if (writeEventSet) {
      platform.ResetEvent(writeEvent);
      writeEventSet = false;
    }
    txPending = false;
    decoder.Restart();
    if (restOfRead) {
      restOfRead = false;  // the purge drops it
      responseEvent.notify_all();
    }
    transmission.length = txLen;
    transmission.taken = txQueued;
    if (txLen > 0) std::memcpy(outBuf.get(), txBuf.get(), txLen);
  }
  // A write starts from a clean line: unread input is thrown away. Output
  // is not: an earlier transmission may still be leaving the port.
  DiscardInput(platform::Queues::kInput);
  return transmission;
}

Written CommPort::WriteOut(Transmission& transmission, bool mayWait) {
  int err = 0;
  while (transmission.done < transmission.length) {
    size_t put = 0;
    err = platform.Write(device,
                         {outBuf.get() + transmission.done, transmission.length - transmission.done},
                         &put);
    if (err == 0 && put == 0) err = platform::kWouldBlock;
    if (err == platform::kWouldBlock) {
      if (!mayWait) return Unfinished();
      err = platform.WaitWritable(device, shutdownEvent);
    }
    if (err != 0) break;
    transmission.done += put;
  }
  if (err != 0 && transmission.done == 0) {
    // Nothing went out: not logged, and not sent again at close. A close
    // that cut a stuck write short is no error worth showing.
    if (err == platform::kCancelled) return {};
    return WriteFailed("WriteFile()", err);
  }
  // The write is complete when its bytes have left the port, not when the
  // kernel took them. A close ends the wait; the bytes were written.
  if (err == 0) {
    if (!mayWait && !platform.Drained(device)) return Unfinished();
    if (mayWait) platform.WaitDrained(device, shutdownEvent);
  }
  {
    platform::PortLockHolder holder(lock);
    if (log.enabled) {
      log.LogData(outBuf.get(), static_cast<int32_t>(transmission.length), diag::TrafficLog::kWriting,
               portNumber);
    }
    // A transmission queued meanwhile keeps its slot for the next pass.
    if (txQueued == transmission.taken) txLen = 0;
  }
  if (err != 0 && err != platform::kCancelled) {
    return WriteFailed("GetOverlappedResult() in WriteFile()", err);
  }
  return {};
}

void CommPort::DiscardInput(platform::Queues which) {
  platform.Purge(device, which);  // not examined
  stagedPos = stagedLen = 0;
}

}  // namespace ktcomm
