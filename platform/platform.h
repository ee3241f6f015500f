// The platform seam: every kernel call the library makes goes through
// Platform, so that a test can stand in between and fail any one of them.
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread_annotations.h"

namespace ktcomm::platform {

// A DTR or RTS control value that leaves the line's current mode alone.
inline constexpr uint32_t kKeepControl = 0xFFFFFFFF;

// The line as read from the device, edited, and written back.
struct LineState {
  termios tio{};
  uint32_t baud = 0;  // requested rate; 0 keeps the rate in tio
  uint32_t dtrControl = kKeepControl;
  uint32_t rtsControl = kKeepControl;
};

// An eventfd used as a Win32-style event. A manual-reset event stays set until
// reset; an auto-reset one is consumed by the wait that sees it.
struct Event {
  int fd = -1;
  bool manualReset = true;
  explicit operator bool() const { return fd >= 0; }
};

// What woke a wait, in order of precedence; kWake: the worker's set was
// given back with work waiting, or the worker told a serving caller to look.
enum class Work { kShutdown = 0, kTransmit = 1, kDevice = 2, kWake = 3 };

// The worker's wait, kept by the platform: shutdown, transmit and the
// device. A waiting caller may serve transmit and the device itself, so
// that the worker sleeps on: while the caller waits for them, what they
// raise wakes the caller, as a rule alone; giving them back wakes the worker
// for what the caller left. Where the kernel wakes the worker instead, the
// worker wakes the caller. Opened and closed with the port; Yield, Reclaim,
// Unwatch and WakeCaller are made under the port lock.
struct WaitSet {
  int shutdown = -1;
  int transmit = -1;
  int device = -1;
  int poller = -1;  // the kernel's set; -1 where the wait polls afresh
  int served = -1;  // the worker's part a caller may serve: transmit and the device
  int caller = -1;  // a serving caller's own set: shutdown, transmit, the device, kick
  int wake = -1;    // wakes the worker when the set is given back
  int kick = -1;    // wakes a serving caller
  bool watched = true;
};

// Which of the device's queues a purge discards. Before a write only input
// goes: output still leaving the port belongs to an earlier transmission.
enum class Queues { kInput, kBoth };

// Why a device did not open, as far as the system can tell.
enum class OpenReason {
  kNone = 0,          // it opened
  kNoDevice = 1,      // nothing by that name, or no device behind the node
  kNotSerial = 2,     // a file, a folder, or a device without serial settings
  kPermission = 3,
  kInUse = 4,         // another program, or another port, holds it
  kSetupRefused = 5,  // it opened but refused its set-up (line settings, ...)
  kBadName = 6,       // a malformed tcp:// or rfc2217:// name
  kHostNotFound = 7,
  kRefused = 8,       // the server refused the connection
  kTimedOut = 9,      // no connection, or no answer, in time
  kUnreachable = 10,  // host or network unreachable
  kNoResources = 11,  // memory, descriptors or the worker thread
  kBadSize = 12,      // a buffer size below its minimum
  kOther = 13,
};

// An open that failed, explained for a person and for code.
struct OpenFailure {
  OpenReason reason = OpenReason::kNone;
  int err = 0;        // the error of the step that failed; 0 where none
  int holderPid = 0;  // kInUse: the process that holds the device, when found
  std::string text{};  // "no such device", "in use by process 12 (minicom)", ...
  std::string device{};  // the device the open tried; the port fills it in
};

// Modem lines as GetModemLines reports them: inputs, then the outputs.
inline constexpr uint32_t kLineCts = 0x01;
inline constexpr uint32_t kLineDsr = 0x02;
inline constexpr uint32_t kLineDcd = 0x04;
inline constexpr uint32_t kLineRi = 0x08;
inline constexpr uint32_t kLineDtr = 0x10;
inline constexpr uint32_t kLineRts = 0x20;

// A serial device present on the machine, found without opening it.
struct SerialDeviceInfo {
  std::string path;  // what a port may be pointed at: a stable link, or the node
  std::string tty;   // the node the path leads to
  bool usb = false;  // the USB fields are known
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string manufacturer;
  std::string product;
  std::string serial;
  int uartType = 0;  // non-zero: the driver found a UART of this type behind it
};

// What the library asks of the kernel. Each call returns 0 or the errno of
// the system call that failed, taken where it failed; nothing above this
// layer reads errno. Safe to call from any thread.
class Platform {
 public:
  virtual ~Platform() = default;

  // Opens a serial device exclusively: read-write, non-blocking, no
  // controlling terminal, close-on-exec, TIOCEXCL and a non-blocking flock.
  virtual int OpenDevice(const std::string& path, int* fd) = 0;
  virtual void CloseDevice(int fd) = 0;
  // Reads return at once with what has arrived; writes have no time limit.
  // The line that BuildLine makes leaves these as they are.
  virtual int SetTimeouts(int fd) = 0;
  virtual int GetLine(int fd, LineState* line) = 0;
  // Applies a text such as "baud=9600 parity=N data=8 stop=1" to the line;
  // EINVAL when the text is not understood.
  virtual int BuildLine(const std::string& lineDef, LineState* line) = 0;
  virtual int SetLine(int fd, const LineState& line) = 0;
  // Discards the device's input queue, or both queues.
  virtual int Purge(int fd, Queues which) = 0;
  // Bytes waiting in the device's input queue.
  virtual int InputQueue(int fd, size_t* count) = 0;
  virtual int Read(int fd, std::span<uint8_t> into, size_t* got) = 0;
  // One non-blocking write; *put may be short, EAGAIN when nothing fitted.
  virtual int Write(int fd, std::span<const uint8_t> from, size_t* put) = 0;
  // Waits without limit until the device takes more output; ECANCELED once
  // `cancel` is set, so that a stuck line cannot keep a close waiting.
  virtual int WaitWritable(int fd, const Event& cancel) = 0;
  // Waits without limit until what was written has left the port (the
  // output queue is empty); ECANCELED once `cancel` is set. A device
  // without an output queue of its own counts as drained at once.
  virtual int WaitDrained(int fd, const Event& cancel) = 0;

  virtual int NewEvent(bool manualReset, Event* event) = 0;
  virtual void SetEvent(const Event& event) = 0;
  virtual void ResetEvent(const Event& event) = 0;
  virtual void CloseEvent(Event* event) = 0;
  // Waits until the event is set or timeoutMs passes (0xFFFFFFFF: no limit).
  virtual int WaitEvent(const Event& event, uint32_t timeoutMs, bool* signalled) = 0;
  virtual int OpenWaitSet(const Event& shutdown, const Event& transmit, int fd,
                          WaitSet* set) = 0;
  virtual void CloseWaitSet(WaitSet* set) = 0;
  // Waits without limit for shutdown, transmit or the device; the first of
  // them that is ready wins. With deviceReady the device counts as ready at
  // once. For the device, *hangup tells that it hung up or reported an error.
  virtual int WaitForWork(WaitSet& set, bool deviceReady, Work* which, bool* hangup) = 0;
  // A device that hung up is not waited for again.
  virtual void UnwatchDevice(WaitSet& set) = 0;
  // Lets a caller serve transmit and the device; false where they cannot
  // be served from another thread (a network stream's own wait). The
  // worker may still be woken for them while the caller is not waiting,
  // and then leaves them alone until they are given back.
  virtual bool YieldDevice(WaitSet& set) = 0;
  // Gives them back; `wake` wakes the worker for what the caller left
  // (which the worker was not woken for, the caller having been).
  virtual void ReclaimDevice(WaitSet& set, bool wake) = 0;
  // Wakes a caller waiting in WaitDevice, which then returns kWake: what
  // the worker was woken for may not have woken the caller.
  virtual void WakeCaller(WaitSet& set) = 0;
  // For a caller that took the device: waits until shutdown, transmit or
  // the device is ready, the worker wakes it (kWake), or the deadline passes
  // (ETIMEDOUT).
  virtual int WaitDevice(const WaitSet& set, std::chrono::steady_clock::time_point deadline,
                         bool forever, Work* which, bool* hangup) = 0;
  // Whether what was written has left the port.
  virtual bool Drained(int fd) = 0;

  virtual int StartThread(std::function<void()> body, std::thread* thread) = 0;
  // Raises the calling thread above normal priority where that is allowed.
  virtual void RaiseThreadPriority() = 0;

  virtual std::string ErrorText(int err) = 0;

  // Why opening `path` failed with `err`: at the open itself when `step` is
  // null, else at the set-up step it names, after the device had opened.
  // Looks at the device node and at who holds it, never opens it. Where a
  // system knows no better, the reason is kOther with the error's text.
  virtual void ExplainOpenFailure(const std::string& path, const char* step, int err,
                                  OpenFailure* why);
  // The levels of the modem lines, as kLine* bits. ENOTSUP where the device
  // has no modem lines (a pseudo-terminal, a network stream).
  virtual int GetModemLines(int fd, uint32_t* lines);
  // Holds the line in the break condition for `ms` milliseconds, then
  // releases it; blocks for that long. ENOTSUP where the device cannot.
  virtual int SendBreak(int fd, uint32_t ms);
  // The serial devices present, in a stable order. ENOTSUP where the system
  // cannot tell.
  virtual int ListSerialDevices(std::vector<SerialDeviceInfo>* found);

  static Platform& Default();  // the local kernel's; lives until exit
};

// Forwards every call. Tests derive from it and override what they disturb.
class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform& target) : target(target) {}
  int OpenDevice(const std::string& path, int* fd) override { return target.OpenDevice(path, fd); }
  void CloseDevice(int fd) override { target.CloseDevice(fd); }
  int SetTimeouts(int fd) override { return target.SetTimeouts(fd); }
  int GetLine(int fd, LineState* line) override { return target.GetLine(fd, line); }
  int BuildLine(const std::string& lineDef, LineState* line) override {
    return target.BuildLine(lineDef, line);
  }
  int SetLine(int fd, const LineState& line) override { return target.SetLine(fd, line); }
  int Purge(int fd, Queues which) override { return target.Purge(fd, which); }
  int InputQueue(int fd, size_t* count) override { return target.InputQueue(fd, count); }
  int Read(int fd, std::span<uint8_t> into, size_t* got) override {
    return target.Read(fd, into, got);
  }
  int Write(int fd, std::span<const uint8_t> from, size_t* put) override {
    return target.Write(fd, from, put);
  }
  int WaitWritable(int fd, const Event& cancel) override {
    return target.WaitWritable(fd, cancel);
  }
  int WaitDrained(int fd, const Event& cancel) override { return target.WaitDrained(fd, cancel); }
  int NewEvent(bool manualReset, Event* event) override {
    return target.NewEvent(manualReset, event);
  }
  void SetEvent(const Event& event) override { target.SetEvent(event); }
  void ResetEvent(const Event& event) override { target.ResetEvent(event); }
  void CloseEvent(Event* event) override { target.CloseEvent(event); }
  int WaitEvent(const Event& event, uint32_t timeoutMs, bool* signalled) override {
    return target.WaitEvent(event, timeoutMs, signalled);
  }
  int OpenWaitSet(const Event& shutdown, const Event& transmit, int fd, WaitSet* set) override {
    return target.OpenWaitSet(shutdown, transmit, fd, set);
  }
  void CloseWaitSet(WaitSet* set) override { target.CloseWaitSet(set); }
  int WaitForWork(WaitSet& set, bool deviceReady, Work* which, bool* hangup) override {
    return target.WaitForWork(set, deviceReady, which, hangup);
  }
  void UnwatchDevice(WaitSet& set) override { target.UnwatchDevice(set); }
  bool YieldDevice(WaitSet& set) override { return target.YieldDevice(set); }
  void ReclaimDevice(WaitSet& set, bool wake) override { target.ReclaimDevice(set, wake); }
  void WakeCaller(WaitSet& set) override { target.WakeCaller(set); }
  int WaitDevice(const WaitSet& set, std::chrono::steady_clock::time_point deadline, bool forever,
                 Work* which, bool* hangup) override {
    return target.WaitDevice(set, deadline, forever, which, hangup);
  }
  bool Drained(int fd) override { return target.Drained(fd); }
  int StartThread(std::function<void()> body, std::thread* thread) override {
    return target.StartThread(std::move(body), thread);
  }
  void RaiseThreadPriority() override { target.RaiseThreadPriority(); }
  std::string ErrorText(int err) override { return target.ErrorText(err); }
  void ExplainOpenFailure(const std::string& path, const char* step, int err,
                          OpenFailure* why) override {
    target.ExplainOpenFailure(path, step, err, why);
  }
  int GetModemLines(int fd, uint32_t* lines) override { return target.GetModemLines(fd, lines); }
  int SendBreak(int fd, uint32_t ms) override { return target.SendBreak(fd, ms); }
  int ListSerialDevices(std::vector<SerialDeviceInfo>* found) override {
    return target.ListSerialDevices(found);
  }

 private:
  Platform& target;
};

// A mutex the thread-safety analysis can follow.
class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() { mutex.lock(); }
  void Unlock() RELEASE() { mutex.unlock(); }

 private:
  std::mutex mutex;
};

// The port lock: recursive, as a call-out from a thread that holds it may
// come back into the same port.
class CAPABILITY("mutex") PortLock {
 public:
  void Lock() ACQUIRE() {
    if (mutex.try_lock()) return;  // free: nobody to count as waiting
    waiting.fetch_add(1, std::memory_order_relaxed);
    // Holders keep it for microseconds: a short spin saves the sleep and
    // wake-up that a caller and the worker handing work over would cost.
    for (int spin = 0; spin < kSpins; ++spin) {
      if (mutex.try_lock()) {
        waiting.fetch_sub(1, std::memory_order_relaxed);
        return;
      }
      Pause();
    }
    mutex.lock();
    waiting.fetch_sub(1, std::memory_order_relaxed);
  }
  void Unlock() RELEASE() { mutex.unlock(); }
  // Another thread waits for the lock: a holder working through a batch
  // lets it in before going on.
  bool Contended() const { return waiting.load(std::memory_order_relaxed) > 0; }

  // For std::condition_variable_any, which releases the lock while it waits.
  void lock() ACQUIRE() { Lock(); }
  void unlock() RELEASE() { Unlock(); }

 private:
  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }

  static constexpr int kSpins = 200;
  std::recursive_mutex mutex;
  std::atomic<int> waiting{0};
};

// Holds any of the locks above for a scope.
template <typename Lockable>
class SCOPED_CAPABILITY Holder {
 public:
  explicit Holder(Lockable& lock) ACQUIRE(lock) : lock(lock) { lock.Lock(); }
  ~Holder() RELEASE() { lock.Unlock(); }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

 private:
  Lockable& lock;
};

using PortLockHolder = Holder<PortLock>;

}  // namespace ktcomm::platform
