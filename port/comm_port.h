// CommPort: everything behind one port number. Application threads call its
// public operations; its worker thread does all device I/O. The port lock
// guards what both share; a few flags are atomics read without it.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "api/ktcomm.h"
#include "diag/traffic_log.h"
#include "net/default_platform.h"
#include "platform/platform.h"
#include "platform/thread_annotations.h"
#include "port/device_owner.h"
#include "port/frame_decoder.h"

namespace ktcomm {

class CommPort;

// How a waiting call ends.
enum class WaitOutcome { kFrame, kTimedOut, kTooSmall, kOverflow, kClosed };

// Where a waiting call's frame goes, and whether it takes an overflow for
// an outcome of its own.
struct WaitOutputs {
  bool reportOverflow = false;
  uint8_t* command = nullptr;
  uint8_t* data = nullptr;
  uint32_t* length = nullptr;
};

// One waiting call, from BeginWait to its outcome: what reached it. It lives
// on the calling thread's stack and is listed with its port while it waits
// (its fields are the port's, under the port lock). Its outputs are written
// by whichever thread decides its outcome, under the port lock. A call that
// ends without an outcome, by an exception, is taken off the list and gives
// the device back in its destructor.
class WaitCall {
 public:
  WaitCall(CommPort& port, const WaitOutputs& out) : port(port), out(out) {}
  ~WaitCall();
  WaitCall(const WaitCall&) = delete;
  WaitCall& operator=(const WaitCall&) = delete;

 private:
  friend class CommPort;
  CommPort& port;
  const WaitOutputs out;
  bool serve = false;   // may serve the device itself
  bool listed = false;  // in its port's list of waiting calls
  bool handed = false;  // a frame was handed to it and is held for it
  bool closed = false;  // the port closed under it
  std::optional<WaitOutcome> outcome;
  WaitCall* next = nullptr;
};

// What a port is opened with: the arguments of KTOpenPort.
struct PortSettings {
  platform::Window window = nullptr;  // told of frames and errors; may be null
  int portNumber = 1;
  int baud = 9600;
  int parity = 'N';  // used as a character: its low 8 bits
  int dataBits = 8;
  int stopBits = 1;
  int txSize = 64;  // bytes of the transmit buffer and of the command buffer
  int rxSize = 64;  // bytes of the receive buffer
  int protocol = 1;  // stored as 8 bits
};

// A report to make once the port lock is free and the device given back:
// the operation that failed and its error.
struct Report {
  const char* what = nullptr;
  int err = 0;
  explicit operator bool() const { return what != nullptr; }
};
// How a write went: finished (written and logged, or failed), and what to
// report; unfinished where it would have had to wait and might not.
struct Written {
  bool finished = true;
  Report report;
};

// How long StartWorker waits for the worker to run.
inline constexpr uint32_t kStartWaitMs = 7000;

// Open, close and flow-control changes of one port are serialised by its
// lifecycle lock, held across their waits (a join, a server's answer) but
// never taken by the worker, which holds nothing while it waits. Frames are
// built and queued under the command lock; everything the callers and the
// worker share is under the port lock, held for short sections only: no
// wait on the device and no callback runs under it. Lock order: lifecycle,
// command, port.
class CommPort {
 public:
  explicit CommPort(platform::Platform& platform = net::DefaultPlatform());
  virtual ~CommPort();
  CommPort(const CommPort&) = delete;
  CommPort& operator=(const CommPort&) = delete;

  // Setup and teardown. Open and SetFlowControl return 1 (non-zero) or 0;
  // Close always 1. Close wakes a waiting call, which then finds the port
  // closed; a second Close racing the first returns once the port is closed.
  int Open(const PortSettings& settings);
  int Close();
  int SetFlowControl(uint32_t dtrControl, uint32_t rtsControl);
  bool IsOpen() const { return opened.load() != 0; }

  // What KTOpenPort and KTClosePort do, as one step each: Open, the command
  // buffer and StartWorker (closing again when a step fails); releasing the
  // command buffer and Close.
  int OpenPort(const PortSettings& settings);
  int ClosePort();

  // The command buffer, from KTOpenPort to KTClosePort. Prepare returns false
  // when it cannot be allocated.
  bool PrepareCommandBuffer(int txSize) EXCLUDES(cmdLock);
  void ReleaseCommandBuffer() EXCLUDES(cmdLock);

  // Starts the worker and waits for it to run; 1 when it runs, 0 otherwise.
  int StartWorker();

  // What became of bytes handed to the transmit path.
  enum class Queued {
    kQueued,   // queued, or refused as too long for the transmit buffer (reported)
    kTooBig,   // a command frame larger than the command buffer; nothing sent
    kNotOpen,  // the port is not open (or closed meanwhile)
  };
  // Queues one transmission for the worker, replacing one not yet taken.
  // Never waits for the line. Sent for a waiting call that may serve the
  // device, it lets the call take the device with it when the worker is idle.
  Queued SendRaw(std::span<const uint8_t> data, WaitCall* call = nullptr) EXCLUDES(lock);
  // Builds 00 80 <length+1> <command> <data> in the command buffer and
  // queues it.
  Queued SendCommand(int command, std::span<const uint8_t> data, WaitCall* call = nullptr)
      EXCLUDES(cmdLock, lock);
  // False when a command frame with this much data is larger than the
  // command buffer (true without one: the port is closed, which the call
  // then finds).
  bool CommandFits(size_t length) EXCLUDES(cmdLock);

  // A waiting call: BeginWait before anything is sent (false: the port is
  // not open), then FinishWait. With `serve`, a call on an idle port serves
  // the device itself until its frame comes: it writes what it sends and
  // reads the answer, sparing two hand-overs between threads. Each call is
  // handed frames of its own: calls that overlap get one frame each, in the
  // order they began.
  using WaitOutcome = ktcomm::WaitOutcome;
  bool BeginWait(WaitCall& call, bool serve = false) EXCLUDES(lock);
  WaitOutcome FinishWait(WaitCall& call, uint32_t timeoutMs) EXCLUDES(lock);

  // Traffic log settings, shared by all ports through the exports.
  int SetLogFileName(const char* name) EXCLUDES(lock);
  int EnableLogging(int openNow, const char* mode) EXCLUDES(lock);

  // Tells a person that `what` failed, quoting the text of `err` and the
  // port number, then returns; the caller decides what the failure ends.
  // Never called with the port lock held, nor by a call serving the device:
  // the alert may close the port, whose worker waits for the device. The
  // text is kept as the port's last report before the alert sees it, and
  // with `lost` the port counts as lost from the same moment.
  void ReportError(const char* what, int err, bool lost = false) EXCLUDES(lock);

  // What the extension calls tell about the port (port_status.cc); any
  // thread, at any time.
  struct Status {
    bool open = false;
    bool lost = false;      // the device hung up, or its connection dropped
    uint32_t reports = 0;   // reports made since the last open began
    std::string lastReport;
  };
  Status GetStatus() EXCLUDES(statusLock);
  // How the last KTOpenPort of this port ended; reason kNone when it opened.
  platform::OpenFailure LastOpenFailure() EXCLUDES(statusLock);
  // KTOpenPort refused a size before anything was opened.
  void RecordSizeRefused() EXCLUDES(statusLock);
  // The device's modem lines and break. A break blocks for its length, and
  // an open or close of the port on another thread waits for it.
  enum class DeviceCall { kDone, kNotOpen, kUnsupported, kFailed };
  DeviceCall GetModemLines(uint32_t* lines);
  DeviceCall SendBreak(uint32_t ms);

 private:
  friend class WaitCall;

  // Why a step of Open failed: the error, and the operation a report
  // quotes, or null where the failure is only returned.
  struct Failed {
    const char* what;
    int err;
    bool opening = false;  // the device's own open failed
  };
  using StepResult = std::optional<Failed>;  // empty: the step succeeded

  // Open's and Close's steps (comm_port.cc); the lifecycle lock is held.
  int OpenWithLifecycle(const PortSettings& settings);
  StepResult PrepareReceive(const PortSettings& settings) EXCLUDES(lock);
  bool ResizeReceiveBuffersLocked(int rxSize) REQUIRES(lock);
  StepResult OpenDevice(const PortSettings& settings);
  StepResult PrepareTransmit(int txSize, std::unique_ptr<uint8_t[]>* newTxBuf);
  StepResult CreateEvents() EXCLUDES(lock);
  StepResult Configure();
  StepResult OpenWaitSet() EXCLUDES(lock);
  void MarkOpen(std::unique_ptr<uint8_t[]> newTxBuf, int txSize) EXCLUDES(lock);
  void ReleaseDeviceAndEvents() EXCLUDES(lock);
  void CloseWithLifecycle();
  void StopWorker();
  void LogOpened() EXCLUDES(lock);
  void LogClosed() EXCLUDES(lock);
  // Close from a callback on the port's own worker, which cannot wait for
  // itself; the worker finishes the close when it gets back to its loop.
  void CloseFromWorker() EXCLUDES(lock);
  // Refuses sends and ends waiting calls from here on.
  void MarkClosed() EXCLUDES(lock);

  // The worker (port_worker.cc).
  void WorkerMain();
  void ServeHandBack(const HandBack& back);
  void ServeDevice(bool hangup);
  void FlushQueued() EXCLUDES(lock);
  void FinishCloseFromWorker();
  void StopWatchingDevice(int err);
  bool OnWorkerThread() const;

  // The status the extension calls read (port_status.cc).
  void BeginOpenStatus() EXCLUDES(statusLock);
  void RecordOpenFailure(const std::string& path, const Failed& failed) EXCLUDES(statusLock);
  void RecordOpenOutcome(platform::OpenFailure outcome) EXCLUDES(statusLock);
  void RecordReport(const std::string& text, bool lost) EXCLUDES(statusLock);
  // Serialised with open and close, as SetFlowControl is; the device or
  // the failure to reach it.
  template <typename Use>
  DeviceCall UseDevice(Use use);

  // Transmit and receive (port_tx.cc, port_rx.cc). The device, the
  // staging buffer and outBuf belong to whoever serves the device: the
  // worker, or a waiting caller that took it.
  void WriteQueued() EXCLUDES(lock);
  Transmission TakeTransmission() EXCLUDES(lock);
  // Writes the rest of the transmission and waits for it to leave the port,
  // then logs it. Where it would have to wait and `mayWait` is not set, it
  // returns unfinished with nothing waited for.
  Written WriteOut(Transmission& transmission, bool mayWait) EXCLUDES(lock);
  void DiscardInput(platform::Queues which);
  int ReadAvailable() EXCLUDES(lock);  // 0, or the error of a device that hung up
  // Decodes the rest of a read to its end, handing over, posting and
  // reporting overflows as they come; true when one overflowed.
  bool DecodeRead() EXCLUDES(lock);
  // Reads what the device holds into the staging buffer: 0, kHungUp for a
  // device that hung up, or another error with *report set to make.
  int Refill(bool first, Report* report);
  // Overflow-tests, decodes and logs the staged bytes of one read: all of
  // them, or up to a frame to post or an overflow; true on an overflow.
  bool DecodeStaged(Notification* note) EXCLUDES(lock);
  bool DecodeRunLocked(Notification* note) REQUIRES(lock);
  // A completed frame goes to the first waiting call, which is woken.
  void HandOverLocked(Notification* note) REQUIRES(lock);

  // Waiting calls (port_wait.cc).
  void ListWaitLocked(WaitCall& call) REQUIRES(lock);
  void UnlistWaitLocked(WaitCall& call) REQUIRES(lock);
  bool FrameHeldForACallLocked() const REQUIRES(lock);
  // Decides the call's outcome once a frame reached it or the port closed,
  // and takes it off the list; false while neither has happened. An
  // overflow that ends the hold on a call's frame decides it there, before
  // the bytes after it are decoded.
  bool TakeOutcomeLocked(WaitCall& call) REQUIRES(lock);
  void TimeOutLocked(WaitCall& call) REQUIRES(lock);
  // What a serving call leaves: its hand-back to the worker, and what it has
  // to report once the device is given back.
  struct Served {
    HandBack back;
    Report report;
    int overflows = 0;
  };
  // A waiting call serving the device until its frame comes, the port
  // closes, the deadline passes, or it meets what it must leave.
  Served ServeWhileWaiting(WaitCall& call, std::chrono::steady_clock::time_point deadline,
                           bool forever) EXCLUDES(lock);
  // The serving call gives the device back with what it leaves; the worker
  // is told where it has to be.
  void GiveDeviceBackLocked(WaitCall& call, HandBack back) REQUIRES(lock);
  // A call that ends by an exception leaves the list and the device.
  void AbandonWait(WaitCall& call) EXCLUDES(lock);
  void CaptureMessage() REQUIRES(lock);
  // The notification's parameters for the stored message.
  uint32_t Parameter(bool withData) const REQUIRES(lock);
  uintptr_t Address() const REQUIRES(lock);

  platform::Platform& platform;

  // Recursive: an alert shown while Open holds it may close or reopen the
  // same port from the application's thread.
  std::recursive_mutex lifecycle;
  // Under the lifecycle lock: assigned by StartWorker, joined by Close.
  std::thread workerThread;

  // Application threads: the command buffer.
  platform::Mutex cmdLock ACQUIRED_BEFORE(lock);
  std::unique_ptr<uint8_t[]> cmdBuf GUARDED_BY(cmdLock);
  uint32_t cmdBufSize GUARDED_BY(cmdLock) = 0;

  // Set by Open, under the lifecycle lock, before the worker starts and the
  // port is marked open; released by Close after the join. Read without a
  // lock by the worker and by waiting callers while it is open. The window
  // and the port number are also set under the port lock, under which a
  // report reads them: one from an application thread may race a reopen.
  std::string deviceName;
  std::string lineDef;
  uint8_t protocol = 0;
  const FrameFormat* format = nullptr;
  platform::DeviceRef device = nullptr;
  platform::Event shutdownEvent;
  platform::Event startedEvent;
  platform::Window window = nullptr;
  int32_t portNumber = 0;
  // Its descriptors are fixed while the port is open, and the waits use them
  // without a lock; `watched` is changed by the worker alone, under the port
  // lock, which other threads hold to read it.
  platform::WaitSet waitSet;

  // Worker thread only.
  int waitFailures = 0;

  // Whoever serves the device: the worker, or a waiting caller that took it
  // (handed over under the port lock); Open and Close while neither does.
  // The transmission being written, copied out of txBuf so that a send made
  // meanwhile does not wait for the line.
  std::unique_ptr<uint8_t[]> outBuf;
  // Bytes read from the device in one go and not yet decoded; a purge drops
  // them with the device's own queue.
  std::array<uint8_t, 4096> staged{};
  size_t stagedPos = 0;
  size_t stagedLen = 0;

  // Shared by callers and the worker, under the port lock.
  platform::PortLock lock;
  std::unique_ptr<uint8_t[]> txBuf GUARDED_BY(lock);
  uint32_t txSize GUARDED_BY(lock) = 0;
  uint32_t txLen GUARDED_BY(lock) = 0;
  // A transmission queued and not yet taken by the worker; counted, so that
  // a write that ends can tell whether another was queued meanwhile.
  bool txPending GUARDED_BY(lock) = false;
  uint64_t txQueued GUARDED_BY(lock) = 0;
  Decoder decoder GUARDED_BY(lock);
  // Replaced by Open with no worker running and no wait in progress.
  int32_t rxSize GUARDED_BY(lock) = 0;
  std::unique_ptr<uint8_t[]> rxBuf GUARDED_BY(lock);
  std::unique_ptr<uint8_t[]> msgBuf GUARDED_BY(lock);
  // Buffers a reopen replaced: a frame posted earlier may still point into one.
  std::vector<std::unique_ptr<uint8_t[]>> retiredBuffers GUARDED_BY(lock);
  int32_t msgLen GUARDED_BY(lock) = 0;
  uint8_t msgCommand GUARDED_BY(lock) = 0;
  diag::TrafficLog log GUARDED_BY(lock);
  // The waiting calls in the order they began; frames are handed to the
  // first. A call that returned 6 or 1 leaves responseWanted set behind it.
  WaitCall* waiters GUARDED_BY(lock) = nullptr;
  // Who serves the device: the worker, or a waiting call that took it.
  DeviceOwner owner GUARDED_BY(lock);
  // An overflow decided a call's outcome in the middle of a read whose rest
  // is still to be decoded: the call returns once it is, so that the next
  // call begins after every frame of that read has gone where it goes.
  bool restOfRead GUARDED_BY(lock) = false;
  // The transmit event, set by SendRaw on any thread and closed by Close;
  // writeEventSet says it is set, so that SendRaw and the writer skip
  // needless calls.
  platform::Event writeEvent GUARDED_BY(lock);
  bool writeEventSet GUARDED_BY(lock) = false;
  // Wakes a worker that waits for a serving call to give the device back.
  std::condition_variable_any ownerEvent;
  // Wakes the waiting calls on a hand-over or a close; each looks at its own
  // marks. Waited on with the port lock, which the wait releases.
  std::condition_variable_any responseEvent;

  // Read by one thread while another writes them, without the lock.
  std::atomic<int32_t> opened{0};
  std::atomic<int32_t> workerRunning{0};
  std::atomic<int32_t> responseWanted{0};
  // Set with shutdownEvent: lets a worker whose waits keep failing, or a close
  // made from inside a callback, see the stop without the event.
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> closedFromWorker{false};
  // The running worker's id, set by the worker itself: a callback tells that
  // it runs on the worker without reading workerThread, which the opening
  // thread assigns while the worker may already run.
  std::atomic<std::thread::id> workerId{};

  // What the extension calls read: set by whichever thread opens, reports
  // or finds the device gone. The status lock is taken last and held for
  // copies only.
  platform::Mutex statusLock ACQUIRED_AFTER(lock);
  platform::OpenFailure openOutcome GUARDED_BY(statusLock);
  std::string lastReport GUARDED_BY(statusLock);
  uint32_t reportCount GUARDED_BY(statusLock) = 0;
  bool deviceLost GUARDED_BY(statusLock) = false;
};

}  // namespace ktcomm
