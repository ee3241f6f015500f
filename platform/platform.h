// The platform seam: every kernel call the library makes goes through
// Platform, so that a test can stand in between and fail any one of them.
// Its types say what the library needs; each system's header fills in their
// insides (platform/posix/, platform/win32/), which nothing above this layer
// looks at.
#pragma once

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

#if defined(_WIN32)
#include "platform/win32/native_types.h"
#else
#include "platform/posix/native_types.h"
#endif

namespace ktcomm::platform {

// An open serial device; each system defines it. Null: no device.
class Device;
using DeviceRef = Device*;

// Who is told of frames and errors: an HWND on Windows, the application's
// KTWindow on Linux. May be null.
using Window = NativeWindow;

// Conditions the layers above tell apart. Each is one of the system's own
// error values, so that ErrorText quotes it.
inline constexpr int kWouldBlock = NativeErrors::kWouldBlock;  // a write took nothing
inline constexpr int kHungUp = NativeErrors::kHungUp;          // the device has gone
inline constexpr int kCancelled = NativeErrors::kCancelled;    // a wait's cancel event was set
inline constexpr int kTimedOut = NativeErrors::kTimedOut;      // a deadline passed
inline constexpr int kNoMemory = NativeErrors::kNoMemory;
inline constexpr int kNotSupported = NativeErrors::kNotSupported;  // the device has no such thing

// A DTR or RTS control value that leaves the line's current mode alone.
inline constexpr uint32_t kKeepControl = 0xFFFFFFFF;

// The line as read from the device, edited, and written back: the system's
// own settings, and the DTR and RTS modes to apply with them.
struct LineState {
  NativeLine native;
  uint32_t dtrControl = kKeepControl;
  uint32_t rtsControl = kKeepControl;
};

// An event as Win32 has them. A manual-reset event stays set until reset;
// an auto-reset one is consumed by the wait that sees it.
struct Event {
  NativeEvent native;
  bool manualReset = true;
  explicit operator bool() const { return native.Made(); }
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
  NativeWaitSet native;
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

// What the library asks of the kernel. Each call returns 0 or the system's
// error value for the call that failed, taken where it failed; nothing
// above this layer reads errno or the last error. Safe to call from any
// thread.
class Platform {
 public:
  virtual ~Platform() = default;

  // The device that port n (1 to 10) opens.
  virtual std::string DevicePath(int portNumber) = 0;
  // Opens a serial device exclusively, for reading and writing without
  // waiting; a second opener fails.
  virtual int OpenDevice(const std::string& path, DeviceRef* device) = 0;
  virtual void CloseDevice(DeviceRef device) = 0;
  // Reads return at once with what has arrived; writes have no time limit.
  // The line that BuildLine makes leaves these as they are.
  virtual int SetTimeouts(DeviceRef device) = 0;
  virtual int GetLine(DeviceRef device, LineState* line) = 0;
  // Applies a text such as "baud=9600 parity=N data=8 stop=1" to the line;
  // fails when the text is not understood.
  virtual int BuildLine(const std::string& lineDef, LineState* line) = 0;
  virtual int SetLine(DeviceRef device, const LineState& line) = 0;
  // Discards the device's input queue, or both queues.
  virtual int Purge(DeviceRef device, Queues which) = 0;
  // Bytes waiting in the device's input queue.
  virtual int InputQueue(DeviceRef device, size_t* count) = 0;
  // What has arrived, up to into.size(); kHungUp once the device has gone.
  virtual int Read(DeviceRef device, std::span<uint8_t> into, size_t* got) = 0;
  // One write that does not wait; *put may be short, kWouldBlock when
  // nothing fitted.
  virtual int Write(DeviceRef device, std::span<const uint8_t> from, size_t* put) = 0;
  // Waits without limit until the device takes more output; kCancelled once
  // `cancel` is set, so that a stuck line cannot keep a close waiting.
  virtual int WaitWritable(DeviceRef device, const Event& cancel) = 0;
  // Waits without limit until what was written has left the port (the
  // output queue is empty); kCancelled once `cancel` is set. A device
  // without an output queue of its own counts as drained at once.
  virtual int WaitDrained(DeviceRef device, const Event& cancel) = 0;

  virtual int NewEvent(bool manualReset, Event* event) = 0;
  virtual void SetEvent(const Event& event) = 0;
  virtual void ResetEvent(const Event& event) = 0;
  virtual void CloseEvent(Event* event) = 0;
  // Waits until the event is set or timeoutMs passes (0xFFFFFFFF: no limit).
  virtual int WaitEvent(const Event& event, uint32_t timeoutMs, bool* signalled) = 0;
  virtual int OpenWaitSet(const Event& shutdown, const Event& transmit, DeviceRef device,
                          WaitSet* set) = 0;
  virtual void CloseWaitSet(WaitSet* set) = 0;
  // Waits without limit for shutdown, transmit or the device; the first of
  // them that is ready wins. With deviceReady the device counts as ready at
  // once. For the device, *hangup tells that it hung up or reported an error.
  virtual int WaitForWork(WaitSet& set, bool deviceReady, Work* which, bool* hangup) = 0;
  // A device that hung up is not waited for again.
  virtual void UnwatchDevice(WaitSet& set) = 0;
  // Lets a caller serve transmit and the device; false where they cannot
  // be served from another thread (a network stream's own wait, a Win32
  // device's overlapped records). The worker may still be woken for them
  // while the caller is not waiting, and then leaves them alone until they
  // are given back.
  virtual bool YieldDevice(WaitSet& set) = 0;
  // Gives them back; `wake` wakes the worker for what the caller left
  // (which the worker was not woken for, the caller having been).
  virtual void ReclaimDevice(WaitSet& set, bool wake) = 0;
  // Wakes a caller waiting in WaitDevice, which then returns kWake: what
  // the worker was woken for may not have woken the caller.
  virtual void WakeCaller(WaitSet& set) = 0;
  // For a caller that took the device: waits until shutdown, transmit or
  // the device is ready, the worker wakes it (kWake), or the deadline passes
  // (kTimedOut).
  virtual int WaitDevice(const WaitSet& set, std::chrono::steady_clock::time_point deadline,
                         bool forever, Work* which, bool* hangup) = 0;
  // Whether what was written has left the port.
  virtual bool Drained(DeviceRef device) = 0;

  virtual int StartThread(std::function<void()> body, std::thread* thread) = 0;
  // Raises the calling thread above normal priority where that is allowed.
  virtual void RaiseThreadPriority() = 0;
  // The process is ending with the library still loaded, its other threads
  // already gone (Windows ends them before it unloads a library): what they
  // held stays held, so a port then neither waits nor locks anything.
  virtual bool ProcessEnding() = 0;

  virtual std::string ErrorText(int err) = 0;

  // Hands a frame notification to the window and returns at once; without
  // a window it is dropped.
  virtual void PostFrame(Window window, uint32_t message, uint32_t wParam, uintptr_t lParam) = 0;
  // Shows the text to a person under the caption and returns once it has
  // been dismissed; the calling thread waits meanwhile, so no lock may be
  // held across it.
  virtual void ShowError(Window window, const char* caption, const char* text) = 0;

  // Why opening `path` failed with `err`: at the open itself when `step` is
  // null, else at the set-up step it names, after the device had opened.
  // Looks at the device node and at who holds it, never opens it.
  virtual void ExplainOpenFailure(const std::string& path, const char* step, int err,
                                  OpenFailure* why) = 0;
  // The levels of the modem lines, as kLine* bits. kNotSupported where the
  // device has no modem lines (a pseudo-terminal, a network stream).
  virtual int GetModemLines(DeviceRef device, uint32_t* lines) = 0;
  // Holds the line in the break condition for `ms` milliseconds, then
  // releases it; blocks for that long. kNotSupported where the device cannot.
  virtual int SendBreak(DeviceRef device, uint32_t ms) = 0;
  // The serial devices present, in a stable order. kNotSupported where the
  // system cannot tell.
  virtual int ListSerialDevices(std::vector<SerialDeviceInfo>* found) = 0;

  static Platform& Default();  // the local kernel's; lives until exit
};

// Forwards every call. Tests derive from it and override what they disturb.
class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform& target) : target(target) {}
  std::string DevicePath(int portNumber) override { return target.DevicePath(portNumber); }
  int OpenDevice(const std::string& path, DeviceRef* device) override {
    return target.OpenDevice(path, device);
  }
  void CloseDevice(DeviceRef device) override { target.CloseDevice(device); }
  int SetTimeouts(DeviceRef device) override { return target.SetTimeouts(device); }
  int GetLine(DeviceRef device, LineState* line) override { return target.GetLine(device, line); }
  int BuildLine(const std::string& lineDef, LineState* line) override {
    return target.BuildLine(lineDef, line);
  }
  int SetLine(DeviceRef device, const LineState& line) override {
    return target.SetLine(device, line);
  }
  int Purge(DeviceRef device, Queues which) override { return target.Purge(device, which); }
  int InputQueue(DeviceRef device, size_t* count) override {
    return target.InputQueue(device, count);
  }
  int Read(DeviceRef device, std::span<uint8_t> into, size_t* got) override {
    return target.Read(device, into, got);
  }
  int Write(DeviceRef device, std::span<const uint8_t> from, size_t* put) override {
    return target.Write(device, from, put);
  }
  int WaitWritable(DeviceRef device, const Event& cancel) override {
    return target.WaitWritable(device, cancel);
  }
  int WaitDrained(DeviceRef device, const Event& cancel) override {
    return target.WaitDrained(device, cancel);
  }
  int NewEvent(bool manualReset, Event* event) override {
    return target.NewEvent(manualReset, event);
  }
  void SetEvent(const Event& event) override { target.SetEvent(event); }
  void ResetEvent(const Event& event) override { target.ResetEvent(event); }
  void CloseEvent(Event* event) override { target.CloseEvent(event); }
  int WaitEvent(const Event& event, uint32_t timeoutMs, bool* signalled) override {
    return target.WaitEvent(event, timeoutMs, signalled);
  }
  int OpenWaitSet(const Event& shutdown, const Event& transmit, DeviceRef device,
                  WaitSet* set) override {
    return target.OpenWaitSet(shutdown, transmit, device, set);
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
  bool Drained(DeviceRef device) override { return target.Drained(device); }
  int StartThread(std::function<void()> body, std::thread* thread) override {
    return target.StartThread(std::move(body), thread);
  }
  void RaiseThreadPriority() override { target.RaiseThreadPriority(); }
  bool ProcessEnding() override { return target.ProcessEnding(); }
  std::string ErrorText(int err) override { return target.ErrorText(err); }
  void PostFrame(Window window, uint32_t message, uint32_t wParam, uintptr_t lParam) override {
    target.PostFrame(window, message, wParam, lParam);
  }
  void ShowError(Window window, const char* caption, const char* text) override {
    target.ShowError(window, caption, text);
  }
  void ExplainOpenFailure(const std::string& path, const char* step, int err,
                          OpenFailure* why) override {
    target.ExplainOpenFailure(path, step, err, why);
  }
  int GetModemLines(DeviceRef device, uint32_t* lines) override {
    return target.GetModemLines(device, lines);
  }
  int SendBreak(DeviceRef device, uint32_t ms) override { return target.SendBreak(device, ms); }
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
