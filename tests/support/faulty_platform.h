// A platform that fails chosen calls: the nth next call of a kind, once or
// from then on, with the errno the test picks. Everything else goes through
// to the real platform.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "net/default_platform.h"
#include "platform/platform.h"

namespace ktcomm::test {

enum class Call {
  kOpenDevice, kSetTimeouts, kGetLine, kBuildLine, kSetLine, kPurge, kInputQueue, kRead,
  kWrite, kWaitWritable, kWaitDrained, kNewEvent, kWaitEvent, kWaitForWork, kStartThread,
  kWaitDevice,
};

class FaultyPlatform : public platform::PlatformWrapper {
 public:
  using DeviceRef = platform::DeviceRef;

  FaultyPlatform() : PlatformWrapper(net::DefaultPlatform()) {}

  // The nth next call of this kind (1 = the next one) fails with err; with
  // persistent, every call from then on fails too.
  void FailNth(Call call, int nth, int err, bool persistent = false) {
    std::lock_guard<std::mutex> hold(mutex);
    faults[call] = Fault{nth, err, persistent};
  }
  // The nth next call of this kind throws, as an allocation deep inside it
  // might.
  void ThrowNth(Call call, int nth) { FailNth(call, nth, kThrow); }
  void Heal() {
    std::lock_guard<std::mutex> hold(mutex);
    faults.clear();
  }
  // A serving caller's wait does not hear the device, as when the kernel
  // wakes the worker for it instead: it returns only when the worker wakes
  // the caller, or at its deadline.
  void DeafCaller(bool deaf) { deafCaller = deaf; }
  // Writes take at most this many bytes per call (0: no limit).
  void LimitWrites(size_t maxBytes) { writeLimit = maxBytes; }
  // Each write takes this long to leave the port (0: at once).
  void SlowDrain(int ms) { drainMs = ms; }
  // Each write returns this much later (0: at once), so that an answer may
  // come before the writer waits for it.
  void PauseAfterWrites(int ms) { writePauseMs = ms; }
  // The worker acts this long after its wait saw the device ready (0: at
  // once), so that a waiting caller may serve the device meanwhile.
  void SlowToActOnDevice(int ms) { deviceActMs = ms; }
  // A drain wait is in progress.
  bool Draining() const { return draining > 0; }
  // Purges, writes and drains in the order they were made.
  std::vector<std::string> Journal() {
    std::lock_guard<std::mutex> hold(mutex);
    return journal;
  }
  // How often a kind of call was made.
  int Count(Call call) {
    std::lock_guard<std::mutex> hold(mutex);
    return counts[call];
  }

  void CloseDevice(DeviceRef device) override {
    if (writing > 0) Note("device closed under a write");
    PlatformWrapper::CloseDevice(device);
  }
  int OpenDevice(const std::string& path, DeviceRef* device) override {
    if (int err = Due(Call::kOpenDevice)) return err;
    return PlatformWrapper::OpenDevice(path, device);
  }
  int SetTimeouts(DeviceRef device) override {
    if (int err = Due(Call::kSetTimeouts)) return err;
    return PlatformWrapper::SetTimeouts(device);
  }
  int GetLine(DeviceRef device, platform::LineState* line) override {
    if (int err = Due(Call::kGetLine)) return err;
    return PlatformWrapper::GetLine(device, line);
  }
  int BuildLine(const std::string& lineDef, platform::LineState* line) override {
    if (int err = Due(Call::kBuildLine)) return err;
    lastLineDef = lineDef;
    return PlatformWrapper::BuildLine(lineDef, line);
  }
  int SetLine(DeviceRef device, const platform::LineState& line) override {
    if (int err = Due(Call::kSetLine)) return err;
    lastLine = line;
    if (!acceptModemLines) return PlatformWrapper::SetLine(device, line);
    // Stand in for a UART: the modem-line and RS-485 requests are taken as
    // done, the termios part (hardware handshake included) goes to the pty.
    // A mode no UART offers goes through, for the platform to refuse.
    platform::LineState termiosOnly = line;
    if (line.dtrControl <= 1) termiosOnly.dtrControl = platform::kKeepControl;
    if (line.rtsControl <= 1 || line.rtsControl == 3) {
      termiosOnly.rtsControl = platform::kKeepControl;
    }
    return PlatformWrapper::SetLine(device, termiosOnly);
  }
  int Purge(DeviceRef device, platform::Queues which) override {
    if (int err = Due(Call::kPurge)) return err;
    Note(which == platform::Queues::kBoth ? "purge both" : "purge input");
    return PlatformWrapper::Purge(device, which);
  }
  int InputQueue(DeviceRef device, size_t* count) override {
    if (int err = Due(Call::kInputQueue)) return err;
    return PlatformWrapper::InputQueue(device, count);
  }
  int Read(DeviceRef device, std::span<uint8_t> into, size_t* got) override {
    if (int err = Due(Call::kRead)) return err;
    return PlatformWrapper::Read(device, into, got);
  }
  int Write(DeviceRef device, std::span<const uint8_t> from, size_t* put) override {
    if (int err = Due(Call::kWrite)) return err;
    size_t limit = writeLimit;
    if (limit != 0 && from.size() > limit) from = from.first(limit);
    writing += 1;
    int err = PlatformWrapper::Write(device, from, put);
    if (err == 0) Note("write " + std::to_string(*put));
    if (int ms = writePauseMs; ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    writing -= 1;
    return err;
  }
  int WaitWritable(DeviceRef device, const platform::Event& cancel) override {
    if (int err = Due(Call::kWaitWritable)) return err;
    return PlatformWrapper::WaitWritable(device, cancel);
  }
  // With SlowDrain, what was written takes that long to leave the port, as
  // on a slow line; the cancel event still ends the wait.
  int WaitDrained(DeviceRef device, const platform::Event& cancel) override {
    if (int err = Due(Call::kWaitDrained)) return err;
    draining += 1;
    int err = 0;
    if (int ms = drainMs; ms > 0) {
      bool cancelled = false;
      PlatformWrapper::WaitEvent(cancel, static_cast<uint32_t>(ms), &cancelled);
      if (cancelled) err = platform::kCancelled;
    }
    if (err == 0) err = PlatformWrapper::WaitDrained(device, cancel);
    Note(err == 0 ? "drained" : "drain cut short");
    draining -= 1;
    return err;
  }
  int NewEvent(bool manualReset, platform::Event* event) override {
    if (int err = Due(Call::kNewEvent)) return err;
    return PlatformWrapper::NewEvent(manualReset, event);
  }
  int WaitEvent(const platform::Event& event, uint32_t timeoutMs, bool* signalled) override {
    if (int err = Due(Call::kWaitEvent)) {
      *signalled = false;
      return err;
    }
    return PlatformWrapper::WaitEvent(event, timeoutMs, signalled);
  }
  int WaitForWork(platform::WaitSet& set, bool deviceReady, platform::Work* which,
                  bool* hangup) override {
    if (int err = Due(Call::kWaitForWork)) return err;
    int err = PlatformWrapper::WaitForWork(set, deviceReady, which, hangup);
    if (int ms = deviceActMs; err == 0 && ms > 0 && *which == platform::Work::kDevice) {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    return err;
  }
  void WakeCaller(platform::WaitSet& set) override {
    callerWoken = true;
    PlatformWrapper::WakeCaller(set);
  }
  int WaitDevice(const platform::WaitSet& set, std::chrono::steady_clock::time_point deadline,
                 bool forever, platform::Work* which, bool* hangup) override {
    if (int err = Due(Call::kWaitDevice)) return err;
    if (deafCaller) {
      // Not in the kernel's wait meanwhile, so that the device wakes the worker.
      while (!callerWoken.exchange(false)) {
        if (!forever && std::chrono::steady_clock::now() >= deadline) return platform::kTimedOut;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      deadline = std::chrono::steady_clock::now();
      forever = false;
    }
    return PlatformWrapper::WaitDevice(set, deadline, forever, which, hangup);
  }
  // A slow line is not drained at once: a caller serving the device hands
  // the wait to the worker.
  bool Drained(DeviceRef device) override {
    return drainMs == 0 && PlatformWrapper::Drained(device);
  }
  int StartThread(std::function<void()> body, std::thread* thread) override {
    if (int err = Due(Call::kStartThread)) return err;
    return PlatformWrapper::StartThread(std::move(body), thread);
  }

  // A pty refuses modem-line ioctls; with this set they count as done.
  std::atomic<bool> acceptModemLines{false};
  // The last line written by SetLine and the definition it was built from.
  platform::LineState lastLine;
  std::string lastLineDef;

 private:
  struct Fault {
    int nth = 0;
    int err = 0;
    bool persistent = false;
  };

  void Note(std::string what) {
    std::lock_guard<std::mutex> hold(mutex);
    journal.push_back(std::move(what));
  }

  // 0, or the errno this call is to fail with.
  int Due(Call call) {
    std::lock_guard<std::mutex> hold(mutex);
    counts[call] += 1;
    auto found = faults.find(call);
    if (found == faults.end()) return 0;
    Fault& fault = found->second;
    if (fault.nth > 1) {
      fault.nth -= 1;
      return 0;
    }
    int err = fault.err;
    if (!fault.persistent) faults.erase(found);
    if (err == kThrow) throw std::bad_alloc();
    return err;
  }

  static constexpr int kThrow = -1;  // a fault that throws instead of failing

  std::mutex mutex;
  std::map<Call, Fault> faults;
  std::map<Call, int> counts;
  std::atomic<size_t> writeLimit{0};
  std::atomic<int> drainMs{0};
  std::atomic<int> writePauseMs{0};
  std::atomic<int> deviceActMs{0};
  std::atomic<int> draining{0};
  std::atomic<int> writing{0};
  std::atomic<bool> deafCaller{false};
  std::atomic<bool> callerWoken{false};
  std::vector<std::string> journal;
};

}  // namespace ktcomm::test
