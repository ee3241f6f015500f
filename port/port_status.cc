// What the extension calls read and do beside the port's own operations:
// how the last open ended, whether the device was lost, the last report,
// and the device's modem lines and break.
#include <mutex>

#include "port/comm_port.h"

namespace ktcomm {

using StatusHolder = platform::Holder<platform::Mutex>;

CommPort::Status CommPort::GetStatus() {
  Status status;
  status.open = IsOpen();
  StatusHolder hold(statusLock);
  status.lost = deviceLost;
  status.reports = reportCount;
  status.lastReport = lastReport;
  return status;
}

platform::OpenFailure CommPort::LastOpenFailure() {
  StatusHolder hold(statusLock);
  return openOutcome;
}

void CommPort::RecordSizeRefused() {
  RecordOpenOutcome({platform::OpenReason::kBadSize, 0, 0,
                     "the transmit size is below 4 or the receive size below 0"});
}

void CommPort::BeginOpenStatus() {
  StatusHolder hold(statusLock);
  deviceLost = false;
  lastReport.clear();
  reportCount = 0;
}

void CommPort::RecordOpenFailure(const std::string& path, const Failed& failed) {
  platform::OpenFailure why;
  if (failed.opening || failed.what != nullptr) {
    platform.ExplainOpenFailure(path, failed.what, failed.err, &why);
  } else {
    // Memory, events or the wait set: nothing about the device.
    why = {platform::OpenReason::kNoResources, failed.err, 0, platform.ErrorText(failed.err)};
  }
  why.device = path;
  RecordOpenOutcome(std::move(why));
}

void CommPort::RecordOpenOutcome(platform::OpenFailure outcome) {
  StatusHolder hold(statusLock);
  openOutcome = std::move(outcome);
}

void CommPort::RecordReport(const std::string& text, bool lost) {
  StatusHolder hold(statusLock);
  lastReport = text;
  reportCount += 1;
  deviceLost = deviceLost || lost;
}

template <typename Use>
CommPort::DeviceCall CommPort::UseDevice(Use use) {
  // A close or reopen must not take the device away meanwhile. From a
  // callback on the port's own worker the device stays while the worker
  // runs, and a close waiting for that worker holds the lifecycle lock.
  std::unique_lock<std::recursive_mutex> hold(lifecycle, std::defer_lock);
  if (!OnWorkerThread()) hold.lock();
  if (!IsOpen()) return DeviceCall::kNotOpen;
  int err = use(device);
  if (err == 0) return DeviceCall::kDone;
  return err == platform::kNotSupported ? DeviceCall::kUnsupported : DeviceCall::kFailed;
}

CommPort::DeviceCall CommPort::GetModemLines(uint32_t* lines) {
  return UseDevice([&](platform::DeviceRef on) { return platform.GetModemLines(on, lines); });
}

CommPort::DeviceCall CommPort::SendBreak(uint32_t ms) {
  return UseDevice([&](platform::DeviceRef on) { return platform.SendBreak(on, ms); });
}

}  // namespace ktcomm
