// The transmit path: one transmit slot per port, filled by the application
// and written out by the worker from a clean line. The worker copies the
// transmission out and writes it with the port lock free, so that a send
// never waits for the line.
#include <cerrno>
#include <cstring>

#include "port/comm_port.h"

namespace ktcomm {

CommPort::Queued CommPort::SendRaw(std::span<const uint8_t> data) {
  {
    platform::PortLockHolder holder(lock);
    if (!IsOpen()) return Queued::kNotOpen;
    if (data.size() <= txSize) {
      if (!data.empty()) std::memcpy(txBuf.get(), data.data(), data.size());
      txLen = static_cast<uint32_t>(data.size());
      txPending = true;
      txQueued += 1;
      platform.SetEvent(writeEvent);
      return Queued::kQueued;
    }
  }
  ReportError("KTcomm: write buffer overflow 2 !!!", 0);  // lock not held
  return Queued::kQueued;
}

void CommPort::WriteQueued() {
  uint32_t length = 0;
  uint64_t taken = 0;
  {
    platform::PortLockHolder holder(lock);
    // Reset under the lock, as SendRaw sets it under the lock: a transmission
    // queued from here on gets a pass of its own.
    platform.ResetEvent(writeEvent);
    txPending = false;
    decoder.Restart();
    length = txLen;
    taken = txQueued;
    if (length > 0) std::memcpy(outBuf.get(), txBuf.get(), length);
  }
  // A write starts from a clean line: unread input is thrown away. Output
  // is not: an earlier transmission may still be leaving the port.
  DiscardInput(platform::Queues::kInput);

  size_t done = 0;
  int err = 0;
  while (done < length) {
    size_t put = 0;
    err = platform.Write(device, {outBuf.get() + done, length - done}, &put);
    if (err == 0 && put == 0) err = EAGAIN;
    if (err == EAGAIN) err = platform.WaitWritable(device, shutdownEvent);
    if (err != 0) break;
    done += put;
  }
  if (err != 0 && done == 0) {
    // Nothing went out: not logged, and not sent again at close. A close
    // that cut a stuck write short is no error worth showing.
    if (err != ECANCELED) ReportError("WriteFile()", 0);  // lock not held
    return;
  }
  // The write is complete when its bytes have left the port, not when the
  // kernel took them. A close ends the wait; the bytes were written.
  if (err == 0) platform.WaitDrained(device, shutdownEvent);
  {
    platform::PortLockHolder holder(lock);
    if (log.enabled) {
      log.Data(outBuf.get(), static_cast<int32_t>(length), diag::TrafficLog::kWriting, portNumber);
    }
    // A transmission queued meanwhile keeps its slot for the next pass.
    if (txQueued == taken) txLen = 0;
  }
  if (err != 0 && err != ECANCELED) {
    errno = err;
    ReportError("GetOverlappedResult() in WriteFile()", 0);  // lock not held
  }
}

void CommPort::DiscardInput(platform::Queues which) {
  platform.Purge(device, which);  // not examined
  stagedPos = stagedLen = 0;
}

}  // namespace ktcomm
