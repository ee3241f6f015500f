// Setup and teardown of a port: Open, Close, SetFlowControl, the command
// buffer and the error report.
#include "port/comm_port.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "diag/error_reporter.h"

namespace ktcomm {
namespace {

using CommandHolder = platform::Holder<platform::Mutex>;

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
  // Unloaded as the process ends, with the worker already gone (on Windows):
  // the system takes back what the port holds, and a lock the worker held
  // would never be released.
  if (platform.ProcessEnding()) {
    if (workerThread.joinable()) workerThread.detach();
    return;
  }
  Close();
  ReleaseCommandBuffer();
}

int CommPort::OpenPort(const PortSettings& settings) {
  if (OnWorkerThread()) {
    RecordOpenOutcome({platform::OpenReason::kOther, 0, 0,
                       "a port cannot be opened from its own callback",
                       platform.DevicePath(settings.portNumber)});
    return 0;
  }
  std::lock_guard<std::recursive_mutex> hold(lifecycle);
  if (!OpenWithLifecycle(settings)) return 0;
  const bool buffered = PrepareCommandBuffer(settings.txSize);
  if (!buffered || !StartWorker()) {
    CloseWithLifecycle();
    RecordOpenOutcome({platform::OpenReason::kNoResources,
                       buffered ? 0 : platform::kNoMemory, 0,
                       buffered ? "the port's worker thread did not start" : "out of memory",
                       platform.DevicePath(settings.portNumber)});
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
  CloseWithLifecycle();
  return 1;
}

int CommPort::Open(const PortSettings& settings) {
  // A port cannot stop and restart its own worker from inside a callback.
  if (OnWorkerThread()) return 0;
  std::lock_guard<std::recursive_mutex> hold(lifecycle);
  return OpenWithLifecycle(settings);
}

// The steps in order. A step that fails is reported where it names an
// operation, and then whatever the steps made is undone in one go: the
// release tolerates what was never made. The device opens and is configured
// without the port lock: a network server may take seconds to answer, and
// nothing else needs the port then.
int CommPort::OpenWithLifecycle(const PortSettings& settings) {
  if (IsOpen() || workerThread.joinable()) CloseWithLifecycle();
  BeginOpenStatus();
  std::unique_ptr<uint8_t[]> newTxBuf;
  StepResult failed = PrepareReceive(settings);
  if (!failed) failed = OpenDevice(settings);
  if (!failed) failed = PrepareTransmit(settings.txSize, &newTxBuf);
  if (!failed) failed = Configure();
  if (!failed) failed = OpenWaitSet();
  if (failed) {
    if (failed->what != nullptr) ReportError(failed->what, failed->err);
    ReleaseDeviceAndEvents();
    RecordOpenFailure(platform.DevicePath(settings.portNumber), *failed);
    return 0;
  }
  MarkOpen(std::move(newTxBuf), settings.txSize);
  LogOpened();
  RecordOpenOutcome({});
  return 1;
}

// The receive buffers, the decoder and the frame format, with nothing staged.
CommPort::StepResult CommPort::PrepareReceive(const PortSettings& settings) {
  {
    platform::PortLockHolder holder(lock);
    if (!ResizeReceiveBuffersLocked(settings.rxSize)) return Failed{nullptr, platform::kNoMemory};
    decoder = Decoder{};
    msgLen = 0;
    restOfRead = false;
  }
  protocol = static_cast<uint8_t>(settings.protocol);
  format = FormatFor(protocol);
  stagedPos = stagedLen = 0;
  return std::nullopt;
}

bool CommPort::ResizeReceiveBuffersLocked(int newRxSize) {
  // A reopen at the same size keeps its buffers; a frame posted earlier still
  // points into them and reads what was there.
  if (rxBuf && msgBuf && newRxSize == rxSize) return true;
  auto newRx = Allocate(static_cast<size_t>(newRxSize));
  auto newMsg = Allocate(static_cast<size_t>(newRxSize));
  if (!newRx || !newMsg) return false;
  // A message posted before the reopen still points into the old pair.
  if (rxBuf) retiredBuffers.push_back(std::move(rxBuf));
  if (msgBuf) retiredBuffers.push_back(std::move(msgBuf));
  rxBuf = std::move(newRx);
  msgBuf = std::move(newMsg);
  rxSize = newRxSize;
  return true;
}

// From here on the port's reports name this port and go to this window.
CommPort::StepResult CommPort::OpenDevice(const PortSettings& settings) {
  if (device != nullptr) {
    platform.CloseDevice(device);
    device = nullptr;
  }
  deviceName = platform.DevicePath(settings.portNumber);
  lineDef = LineDefinition(settings.baud, settings.parity, settings.dataBits, settings.stopBits);
  if (int err = platform.OpenDevice(deviceName, &device)) {
    device = nullptr;
    return Failed{nullptr, err, true};
  }
  // Under the port lock: a report on an application thread may read them
  // while this thread reopens the port.
  platform::PortLockHolder holder(lock);
  window = settings.window;
  portNumber = settings.portNumber;
  return std::nullopt;
}

// The transmit buffers and the events. The transmit buffer is handed over
// by MarkOpen; outBuf belongs to whoever serves the device, and nobody does
// yet.
CommPort::StepResult CommPort::PrepareTransmit(int newTxSize,
                                                std::unique_ptr<uint8_t[]>* newTxBuf) {
  *newTxBuf = Allocate(static_cast<uint32_t>(newTxSize));
  outBuf = Allocate(static_cast<uint32_t>(newTxSize));
  // The events are made even when a buffer is missing, as they always were.
  StepResult failed = CreateEvents();
  if (!failed && (!*newTxBuf || !outBuf)) failed = Failed{nullptr, platform::kNoMemory};
  return failed;
}

CommPort::StepResult CommPort::CreateEvents() {
  int err;
  {
    platform::PortLockHolder holder(lock);
    err = platform.NewEvent(true, &writeEvent);
  }
  if (err == 0) err = platform.NewEvent(true, &shutdownEvent);
  if (err == 0) err = platform.NewEvent(false, &startedEvent);
  if (err != 0) return Failed{nullptr, err};
  return std::nullopt;
}

// Each failing step is reported and ends the open.
CommPort::StepResult CommPort::Configure() {
  if (int err = platform.SetTimeouts(device)) return Failed{"SetCommTimeouts()", err};
  platform::LineState line;
  if (int err = platform.GetLine(device, &line)) return Failed{"GetCommState()", err};
  line.rtsControl = platform::kKeepControl;  // an open starts without hardware handshake
  if (int err = platform.BuildLine(lineDef, &line)) return Failed{"BuildCommDCB()", err};
  if (int err = platform.SetLine(device, line)) return Failed{"SetCommState()", err};
  return std::nullopt;
}

CommPort::StepResult CommPort::OpenWaitSet() {
  platform.Purge(device, platform::Queues::kBoth);  // not examined
  platform::PortLockHolder holder(lock);  // for the transmit event; the set is made at once
  if (int err = platform.OpenWaitSet(shutdownEvent, writeEvent, device, &waitSet)) {
    return Failed{nullptr, err};
  }
  return std::nullopt;
}

void CommPort::MarkOpen(std::unique_ptr<uint8_t[]> newTxBuf, int newTxSize) {
  platform::PortLockHolder holder(lock);
  owner.WorkerStarts();
  writeEventSet = false;
  txBuf = std::move(newTxBuf);
  txSize = static_cast<uint32_t>(newTxSize);
  txLen = 0;
  txPending = false;
  responseWanted = 0;
  opened = 1;
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

// A transmission queued before still goes out. Every waiting call ends.
void CommPort::MarkClosed() {
  {
    platform::PortLockHolder holder(lock);
    opened = 0;
    for (WaitCall* call = waiters; call != nullptr; call = call->next) call->closed = true;
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

// Tolerates what is already released, or was never made.
void CommPort::ReleaseDeviceAndEvents() {
  // Not under the port lock: output still leaving the port may take a while.
  if (device != nullptr) platform.CloseDevice(device);
  device = nullptr;
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

CommPort::Queued CommPort::SendCommand(int command, std::span<const uint8_t> data,
                                       WaitCall* call) {
  CommandHolder hold(cmdLock);
  if (!cmdBuf) return Queued::kNotOpen;
  if (data.size() > cmdBufSize - 4) return Queued::kTooBig;
  cmdBuf[2] = static_cast<uint8_t>(data.size() + 1);  // wraps at 255 data bytes
  cmdBuf[3] = static_cast<uint8_t>(command);
  if (!data.empty()) std::memcpy(&cmdBuf[4], data.data(), data.size());
  return SendRaw({cmdBuf.get(), data.size() + 4}, call);
}

void CommPort::ReportError(const char* what, int err, bool lost) {
  platform::Window to;
  int32_t number;
  {
    platform::PortLockHolder holder(lock);
    to = window;
    number = portNumber;
  }
  const std::string text = diag::ComposeErrorText(what, platform.ErrorText(err), number);
  RecordReport(text, lost);
  platform.ShowError(to, diag::kErrorCaption, text.c_str());
}

bool CommPort::OnWorkerThread() const {
  return workerId.load() == std::this_thread::get_id();
}

}  // namespace ktcomm
