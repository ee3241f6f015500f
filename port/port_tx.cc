// The transmit path: one transmit slot per port, filled by the application
// and written out by the worker from a clean line.
#include <cerrno>
#include <cstring>

#include "port/comm_port.h"

namespace ktcomm {

void CommPort::SendRaw(std::span<const uint8_t> data) {
  {
    platform::PortLockHolder holder(lock);
    if (data.size() <= txSize) {
      if (!data.empty()) std::memcpy(txBuf.get(), data.data(), data.size());
      txLen = static_cast<uint32_t>(data.size());
      platform.SetEvent(writeEvent);
      return;
    }
  }
  ReportError("KTcomm: write buffer overflow 2 !!!", 0);  // lock not held
}

void CommPort::WriteQueued() {
  int completionError = 0;
  {
    platform::PortLockHolder holder(lock);
    // Reset under the lock, as SendRaw sets it under the lock: a transmission
    // queued from here on gets a pass of its own.
    platform.ResetEvent(writeEvent);
    decoder.Restart();
    // A write starts from a clean line: unread input is thrown away.
    DiscardInputLocked();

    size_t done = 0;
    while (done < txLen) {
      size_t put = 0;
      int err = platform.Write(device, {txBuf.get() + done, txLen - done}, &put);
      if (err == 0 && put == 0) err = EAGAIN;
      if (err == EAGAIN) err = platform.WaitWritable(device, shutdownEvent);
      if (err != 0) {
        if (done == 0) {
          // Nothing went out: the transmission stays queued and is not logged.
          if (err != ECANCELED) ReportError("WriteFile()", 0);  // lock held
          return;
        }
        completionError = err;
        break;
      }
      done += put;
    }
    if (log.enabled) log.Data(txBuf.get(), static_cast<int32_t>(txLen), diag::TrafficLog::kWriting, portNumber);
    txLen = 0;
  }
  // A close that cut a stuck write short is no error worth showing.
  if (completionError != 0 && completionError != ECANCELED) {
    errno = completionError;
    ReportError("GetOverlappedResult() in WriteFile()", 0);  // lock not held
  }
}

void CommPort::DiscardInputLocked() {
  platform.Purge(device);  // not examined
  stagedPos = stagedLen = 0;
}

}  // namespace ktcomm
