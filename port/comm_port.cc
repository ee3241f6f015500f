// Setup and teardown of a port: Open, Close, SetFlowControl, the command
// buffer and the error report.
#include "port/comm_port.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "diag/error_reporter.h"

namespace ktcomm {
namespace {

using CommandHolder = platform::Holder<platform::Mutex>;

// Port n is the device named by KTCOMM_COM<n>, else /dev/ttyS<n-1>. The path
// is used whole: names under /dev/serial/by-id run long.
std::string DevicePath(int portNumber) {
  std::string variable = "KTCOMM_COM" + std::to_string(portNumber);
  const char* mapped = std::getenv(variable.c_str());
  if (mapped != nullptr && *mapped != '\0') return mapped;
  return "/dev/ttyS" + std::to_string(portNumber - 1);
}

std::string LineDefinition(int baud, int parity, int dataBits, int stopBits) {
  char text[50];  // a longer definition is cut to 49 characters
  std::snprintf(text, sizeof text, "baud=%d parity=%c data=%d stop=%d", baud,
                static_cast<char>(parity & 0xFF), dataBits, stopBits);
  return text;
}

std::unique_ptr<uint8_t[]> Allocate(size_t size) {
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[size]);
}

}  // namespace

CommPort::CommPort(platform::Platform& platform) : platform(platform) {}

CommPort::~CommPort() {
  Close();
  ReleaseCommandBuffer();
}

int CommPort::OpenPort(KTWindow* newWindow, int newPortNumber, int baud, int parity,
                       int dataBits, int stopBits, int newTxSize, int newRxSize,
                       int newProtocol) {
  if (OnWorkerThread()) return 0;
  std::lock_guard<std::recursive_mutex> hold(lifecycle);
  if (!Open(newWindow, newPortNumber, baud, parity, dataBits, stopBits, kEventMask, newTxSize,
            newRxSize, newProtocol)) {
    return 0;
  }
  if (!PrepareCommandBuffer(newTxSize) || !StartWorker()) {
    CloseWithLifecycle();
    return 0;
  }
  return 1;
}

int CommPort::ClosePort() {
  if (OnWorkerThread()) {
    ReleaseCommandBuffer();
    return Close();
  }
  std::lock_guard<std::recursive_mutex> hold(lifecycle);
  ReleaseCommandBuffer();
  return Close();
}

// The device opens and is configured without the port lock: a network
// server may take seconds to answer, and nothing else needs the port then.
int CommPort::Open(KTWindow* newWindow, int newPortNumber, int baud, int parity, int dataBits,
                   int stopBits, uint32_t eventMask, int newTxSize, int newRxSize,
                   int newProtocol) {
  // A port cannot stop and restart its own worker from inside a callback.
  if (OnWorkerThread()) return 0;
  std::lock_guard<std::recursive_mutex> hold(lifecycle);
  if (IsOpen() || workerThread.joinable()) CloseWithLifecycle();
  if (!AllocateReceiveBuffers(newRxSize)) return 0;
  protocol = static_cast<uint8_t>(newProtocol);
  format = FormatFor(protocol);
  {
    platform::PortLockHolder holder(lock);
    decoder = Decoder{};
    msgLen = 0;
  }
  stagedPos = stagedLen = 0;

  if (device >= 0) {
    platform.CloseDevice(device);
    device = -1;
  }
  deviceName = DevicePath(newPortNumber);
  lineDef = LineDefinition(baud, parity, dataBits, stopBits);
  if (platform.OpenDevice(deviceName, &device) != 0) {
    device = -1;
    return 0;
  }
  window = newWindow;
  portNumber = newPortNumber;
  auto newTxBuf = Allocate(static_cast<uint32_t>(newTxSize));
  outBuf = Allocate(static_cast<uint32_t>(newTxSize));
  if (!CreateEvents() || !newTxBuf || !outBuf) {
    ReleaseDeviceAndEvents();
    return 0;
  }
  try {
    Configure(eventMask);
  } catch (const PortSetupError&) {
    ReleaseDeviceAndEvents();
    return 0;
  }
  platform.Purge(device, platform::Queues::kBoth);  // not examined
  if (platform.OpenWaitSet(shutdownEvent, writeEvent, device, &waitSet) != 0) {
    ReleaseDeviceAndEvents();
    return 0;
  }
  {
    platform::PortLockHolder holder(lock);
    workerIdle = false;
    callerServes = false;
    handBack = HandBack{};
    writeEventSet = false;
    txBuf = std::move(newTxBuf);
    txSize = static_cast<uint32_t>(newTxSize);
    txLen = 0;
    txPending = false;
    responseWanted = 0;
    opened = 1;
  }
  LogOpened();
  return 1;
}

int CommPort::AllocateReceiveBuffers(int newRxSize) {
  platform::PortLockHolder holder(lock);
  // A reopen at the same size keeps its buffers; a frame posted earlier still
  // points into them and reads what was there.
  if (rxBuf && msgBuf && newRxSize == rxSize) return 1;
  auto newRx = Allocate(static_cast<size_t>(newRxSize));
  auto newMsg = Allocate(static_cast<size_t>(newRxSize));
  if (!newRx || !newMsg) return 0;
  // A message posted before the reopen still points into the old pair.
  if (rxBuf) retiredBuffers.push_back(std::move(rxBuf));
  if (msgBuf) retiredBuffers.push_back(std::move(msgBuf));
  rxBuf = std::move(newRx);
  msgBuf = std::move(newMsg);
  rxSize = newRxSize;
  return 1;
}

int CommPort::CreateEvents() {
  return platform.NewEvent(true, &writeEvent) == 0 &&
         platform.NewEvent(true, &shutdownEvent) == 0 &&
         platform.NewEvent(false, &startedEvent) == 0;
}

// Each failing step is reported as fatal, which ends the open.
void CommPort::Configure(uint32_t eventMask) {
  if (platform.SetTimeouts(device) != 0) ReportError("SetCommTimeouts()", 1);
  if (platform.SetEventMask(device, eventMask) != 0) ReportError("SetCommMask()", 1);
  platform::LineState line;
  if (platform.GetLine(device, &line) != 0) ReportError("GetCommState()", 1);
  line.rtsControl = platform::kKeepControl;  // an open starts without hardware handshake
  if (platform.BuildLine(lineDef, &line) != 0) ReportError("BuildCommDCB()", 1);
  if (platform.SetLine(device, line) != 0) ReportError("SetCommState()", 1);
}

void CommPort::LogOpened() {
  platform::PortLockHolder holder(lock);
  if (!log.enabled) return;
  log.Open(log.Mode());  // a log that cannot be opened is not an open failure
  char text[32];
  std::snprintf(text, sizeof text, "\n COM%i opened\n", portNumber);
  log.LogText(text);
}

// After the worker's last write, so that its bytes come before the line.
void CommPort::LogClosed() {
  platform::PortLockHolder holder(lock);
  if (!log.enabled) return;
  char text[32];
  std::snprintf(text, sizeof text, "\n COM%i closed\n", portNumber);
  log.LogText(text);
  log.Close();
}

int CommPort::Close() {
  if (OnWorkerThread()) {
    CloseFromWorker();
    return 1;
  }
  std::lock_guard<std::recursive_mutex> hold(lifecycle);
  CloseWithLifecycle();
  return 1;
}

// A transmission queued before still goes out.
void CommPort::MarkClosed() {
  {
    platform::PortLockHolder holder(lock);
    opened = 0;
    closes += 1;
  }
  responseEvent.notify_all();
}

void CommPort::CloseWithLifecycle() {
  MarkClosed();
  StopWorker();
  LogClosed();
  ReleaseDeviceAndEvents();
}

void CommPort::CloseFromWorker() {
  MarkClosed();
  closedFromWorker = true;
  stopRequested = true;
  platform.SetEvent(shutdownEvent);
}

void CommPort::StopWorker() {
  if (!workerThread.joinable()) return;
  stopRequested = true;
  if (shutdownEvent) platform.SetEvent(shutdownEvent);
  workerThread.join();
  workerRunning = 0;
}

// Tolerates what is already released; keeps errno for a report that follows.
void CommPort::ReleaseDeviceAndEvents() {
  int err = errno;
  // Not under the port lock: output still leaving the port may take a while.
  if (device >= 0) platform.CloseDevice(device);
  device = -1;
  {
    platform::PortLockHolder holder(lock);
    platform.CloseWaitSet(&waitSet);
    platform.CloseEvent(&writeEvent);  // SendRaw sets it under the lock
    writeEventSet = false;
    txBuf.reset();
    txSize = 0;
    txLen = 0;
    txPending = false;
  }
  platform.CloseEvent(&startedEvent);
  platform.CloseEvent(&shutdownEvent);
  outBuf.reset();
  stagedPos = stagedLen = 0;
  errno = err;
}

int CommPort::SetFlowControl(uint32_t dtrControl, uint32_t rtsControl) {
  // A close or reopen must not take the device away meanwhile. From a
  // callback on the port's own worker the device stays while the worker
  // runs, and a close waiting for that worker holds the lifecycle lock.
  std::unique_lock<std::recursive_mutex> hold(lifecycle, std::defer_lock);
  if (!OnWorkerThread()) hold.lock();
  if (!IsOpen()) return 0;
  platform::LineState line;
  if (platform.GetLine(device, &line) != 0) return 0;
  if (dtrControl != platform::kKeepControl) line.dtrControl = dtrControl & 3;
  if (rtsControl != platform::kKeepControl) line.rtsControl = rtsControl & 3;
  if (platform.BuildLine(lineDef, &line) != 0) return 0;
  // All or nothing: a refused part leaves the line as it was.
  return platform.SetLine(device, line) == 0 ? 1 : 0;
}

bool CommPort::PrepareCommandBuffer(int size) {
  auto buffer = Allocate(static_cast<uint32_t>(size));
  CommandHolder hold(cmdLock);
  cmdBuf = std::move(buffer);
  cmdBufSize = cmdBuf ? static_cast<uint32_t>(size) : 0;
  if (!cmdBuf) return false;
  cmdBuf[0] = 0x00;  // the fixed head of every command frame
  cmdBuf[1] = 0x80;
  return true;
}

void CommPort::ReleaseCommandBuffer() {
  CommandHolder hold(cmdLock);
  cmdBuf.reset();
  cmdBufSize = 0;
}

bool CommPort::CommandFits(size_t length) {
  CommandHolder hold(cmdLock);
  return !cmdBuf || length <= cmdBufSize - 4;
}

CommPort::Queued CommPort::SendCommand(int command, std::span<const uint8_t> data) {
  CommandHolder hold(cmdLock);
  if (!cmdBuf) return Queued::kNotOpen;
  if (data.size() > cmdBufSize - 4) return Queued::kTooBig;
  cmdBuf[2] = static_cast<uint8_t>(data.size() + 1);  // wraps at 255 data bytes
  cmdBuf[3] = static_cast<uint8_t>(command);
  if (!data.empty()) std::memcpy(&cmdBuf[4], data.data(), data.size());
  return SendRaw({cmdBuf.get(), data.size() + 4});
}

void CommPort::ReportError(const char* what, int fatal) {
  int err = errno;
  if (!fatal) {
    platform::PortLockHolder holder(lock);
    if (callerServes && server == std::this_thread::get_id()) {
      // A waiting caller serving the device reports once it has given the
      // device back: an alert that closed the port meanwhile would wait for
      // this very thread.
      deferredReports.push_back({what, err});
      errno = err;
      return;
    }
  }
  diag::PresentError(window, diag::ComposeErrorText(what, platform.ErrorText(err), portNumber));
  errno = err;
  if (fatal) throw PortSetupError{};
}

bool CommPort::OnWorkerThread() const {
  return workerId.load() == std::this_thread::get_id();
}

}  // namespace ktcomm
