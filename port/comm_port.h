// CommPort: everything behind one port number. Application threads call its
// public operations; its worker thread does all device I/O. The port lock
// guards what both share; a few flags are atomics read without it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "api/ktcomm.h"
#include "diag/traffic_log.h"
#include "platform/platform.h"
#include "platform/thread_annotations.h"
#include "port/frame_decoder.h"

namespace ktcomm {

// Raised by a fatal error report; only Open catches it.
struct PortSetupError {
  int value = 0;
};

// Line events to watch: bytes received and CTS changes.
inline constexpr uint32_t kEventMask = 9;
// How long StartWorker waits for the worker to run.
inline constexpr uint32_t kStartWaitMs = 7000;

class CommPort {
 public:
  explicit CommPort(platform::Platform& platform = platform::Platform::Default());
  virtual ~CommPort();
  CommPort(const CommPort&) = delete;
  CommPort& operator=(const CommPort&) = delete;

  // Setup and teardown. Open and SetFlowControl return 1 (non-zero) or 0;
  // Close always 1.
  int Open(KTWindow* window, int portNumber, int baud, int parity, int dataBits, int stopBits,
           uint32_t eventMask, int txSize, int rxSize, int protocol);
  int Close();
  int SetFlowControl(uint32_t dtrControl, uint32_t rtsControl);
  bool IsOpen() const { return opened.load() != 0; }

  // The command buffer, from KTOpenPort to KTClosePort. Prepare returns false
  // when it cannot be allocated.
  bool PrepareCommandBuffer(int txSize);
  void ReleaseCommandBuffer();
  // Builds 00 80 <length+1> <command> <data> in the command buffer; an empty
  // span when it does not fit.
  std::span<const uint8_t> BuildCommand(int command, std::span<const uint8_t> data);

  // Starts the worker and waits for it to run; 1 when it runs, 0 otherwise.
  int StartWorker();

  // Queues one transmission for the worker, replacing one not yet taken.
  void SendRaw(std::span<const uint8_t> data) EXCLUDES(lock);

  // A waiting call: BeginWait before anything is sent, then FinishWait.
  enum class WaitOutcome { kFrame, kTimedOut, kWaitFailed, kTooSmall, kOverflow };
  void BeginWait() EXCLUDES(lock);
  WaitOutcome FinishWait(uint32_t timeoutMs, bool reportOverflow, uint8_t* outCommand,
                         uint8_t* outData, uint32_t* inoutLength) EXCLUDES(lock);

  // Traffic log settings, shared by all ports through the exports.
  int SetLogFileName(const char* name) EXCLUDES(lock);
  int EnableLogging(int openNow, const char* mode) EXCLUDES(lock);

  // Tells a person what failed, quoting errno's text and the port number;
  // raises PortSetupError when fatal.
  void ReportError(const char* what, int fatal);

 private:
  // Open's steps (comm_port.cc).
  int AllocateReceiveBuffers(int rxSize);
  int OpenDeviceLocked(int baud, int parity, int dataBits, int stopBits, uint32_t eventMask,
                       int txSize) REQUIRES(lock);
  int CreateEvents();
  void ConfigureLocked(uint32_t eventMask) REQUIRES(lock);
  void ReleaseDeviceAndEvents();
  void StopWorker();
  void ReleaseTransmitBuffer() EXCLUDES(lock);
  void LogOpened() EXCLUDES(lock);

  // The worker (port_worker.cc).
  void WorkerMain();
  void ServeDevice(bool hangup);
  void FlushQueued() EXCLUDES(lock);
  void StopWatchingDevice(int err);
  bool OnWorkerThread() const;

  // Transmit and receive (port_tx.cc, port_rx.cc).
  void WriteQueued() EXCLUDES(lock);
  int ReadAvailable() EXCLUDES(lock);  // 0, or the errno of a device that hung up
  int RefillLocked(bool first) REQUIRES(lock);
  // What a decoded byte asks for once the port lock is released: a frame
  // notification, or waking the caller a frame was handed to.
  struct Notification {
    bool wake = false;
    bool due = false;
    uint32_t first = 0;
    uintptr_t second = 0;
  };
  bool DecodeByteLocked(uint8_t byte, Notification* note) REQUIRES(lock);
  void CaptureMessage() REQUIRES(lock);
  // The notification's parameters for the stored message.
  uint32_t Parameter(bool withData) const REQUIRES(lock);
  uintptr_t Address() const;
  void DiscardInputLocked() REQUIRES(lock);

  platform::Platform& platform;

  // Application thread only: the command buffer.
  std::unique_ptr<uint8_t[]> cmdBuf;
  uint32_t cmdBufSize = 0;

  // Set by Open before the worker starts; released by Close after the join.
  std::string deviceName;
  std::string lineDef;
  uint8_t protocol = 0;
  const FrameFormat* format = nullptr;
  int device = -1;
  platform::Event writeEvent;
  platform::Event shutdownEvent;
  platform::Event startedEvent;
  platform::Event responseEvent;
  KTWindow* window = nullptr;
  int32_t portNumber = 0;
  std::thread workerThread;

  // Worker thread only.
  bool deviceWatched = false;
  int waitFailures = 0;

  // Shared by callers and the worker, under the port lock.
  platform::PortLock lock;
  std::unique_ptr<uint8_t[]> txBuf GUARDED_BY(lock);
  uint32_t txSize GUARDED_BY(lock) = 0;
  uint32_t txLen GUARDED_BY(lock) = 0;
  Decoder decoder GUARDED_BY(lock);
  int32_t rxSize = 0;  // set by Open with no worker running
  std::unique_ptr<uint8_t[]> rxBuf;
  std::unique_ptr<uint8_t[]> msgBuf;
  // Buffers a reopen replaced: a frame posted earlier may still point into one.
  std::vector<std::unique_ptr<uint8_t[]>> retiredBuffers;
  int32_t msgLen GUARDED_BY(lock) = 0;
  uint8_t msgCommand GUARDED_BY(lock) = 0;
  // Counts frames handed to waiting callers, so that a wait can tell whether
  // a frame reached it even when its time ran out.
  uint32_t handovers GUARDED_BY(lock) = 0;
  uint32_t handoversAtWait GUARDED_BY(lock) = 0;
  // Bytes read from the device in one go and not yet decoded; a purge drops
  // them with the device's own queue.
  std::array<uint8_t, 4096> staged GUARDED_BY(lock){};
  size_t stagedPos GUARDED_BY(lock) = 0;
  size_t stagedLen GUARDED_BY(lock) = 0;
  diag::TrafficLog log GUARDED_BY(lock);

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
};

}  // namespace ktcomm
