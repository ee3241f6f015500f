// The Win32 implementation of the platform seam: COM ports through the
// communications interface with overlapped I/O, Win32 events, the window
// manager's posting and message boxes, the system's error texts.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <system_error>

#include "platform/platform.h"
#include "platform/win32/com_ports.h"
#include "platform/win32/win32_device.h"
#include "platform/win32/win32_events.h"
#include "platform/win32/win32_ui.h"

namespace ktcomm::platform {
namespace {

class Win32Platform final : public Platform {
 public:
  std::string DevicePath(int portNumber) override { return Device::PathFor(portNumber); }

  int OpenDevice(const std::string& path, DeviceRef* device) override {
    std::unique_ptr<Device> opened;
    if (DWORD err = Device::Open(path, &opened)) return Code(err);
    *device = opened.release();
    return 0;
  }

  void CloseDevice(DeviceRef device) override { delete device; }

  int SetTimeouts(DeviceRef device) override { return Code(device->SetTimeouts()); }
  int GetLine(DeviceRef device, LineState* line) override { return Code(device->GetLine(line)); }
  int BuildLine(const std::string& lineDef, LineState* line) override {
    return Code(Device::BuildLine(lineDef, line));
  }
  int SetLine(DeviceRef device, const LineState& line) override {
    return Code(device->SetLine(line));
  }
  int Purge(DeviceRef device, Queues which) override { return Code(device->Purge(which)); }
  int InputQueue(DeviceRef device, size_t* count) override {
    return Code(device->InputQueue(count));
  }

  // A device that has gone answers in many ways; the port knows one.
  int Read(DeviceRef device, std::span<uint8_t> into, size_t* got) override {
    DWORD err = device->Read(into, got);
    return win32::IsHangup(err) ? kHungUp : Code(err);
  }

  int Write(DeviceRef device, std::span<const uint8_t> from, size_t* put) override {
    return Code(device->Write(from, put));
  }
  int WaitWritable(DeviceRef device, const Event& cancel) override {
    return Code(device->WaitWritable(cancel.native.handle));
  }
  int WaitDrained(DeviceRef device, const Event& cancel) override {
    return Code(device->WaitDrained(cancel.native.handle));
  }
  bool Drained(DeviceRef device) override { return device->Drained(); }

  int NewEvent(bool manualReset, Event* event) override {
    HANDLE made = win32::NewEvent(manualReset);
    if (made == nullptr) return Code(GetLastError());
    event->native.handle = made;
    event->manualReset = manualReset;
    return 0;
  }
  void SetEvent(const Event& event) override { ::SetEvent(event.native.handle); }
  void ResetEvent(const Event& event) override { ::ResetEvent(event.native.handle); }
  void CloseEvent(Event* event) override { win32::CloseEvent(&event->native.handle); }
  int WaitEvent(const Event& event, uint32_t timeoutMs, bool* signalled) override {
    return Code(win32::WaitEvent(event.native.handle, timeoutMs, signalled));
  }

  // Nothing to make: the events and the device's own line-event wait are
  // the set.
  int OpenWaitSet(const Event& shutdown, const Event& transmit, DeviceRef device,
                  WaitSet* set) override {
    *set = WaitSet{};
    set->native = {shutdown.native.handle, transmit.native.handle, device};
    return 0;
  }
  void CloseWaitSet(WaitSet* set) override { *set = WaitSet{}; }

  int WaitForWork(WaitSet& set, bool deviceReady, Work* which, bool* hangup) override {
    DWORD err = Wait(set, deviceReady ? 0 : INFINITE, which, hangup);
    if (err == WAIT_TIMEOUT && deviceReady) {
      *which = Work::kDevice;
      return 0;
    }
    return Code(err);
  }

  void UnwatchDevice(WaitSet& set) override { set.watched = false; }

  // The device's overlapped records belong to the worker: a waiting call
  // never serves it here, so the worker does all the I/O.
  bool YieldDevice(WaitSet&) override { return false; }
  void ReclaimDevice(WaitSet&, bool) override {}
  void WakeCaller(WaitSet&) override {}

  // Never reached while YieldDevice refuses; a plain wait to the deadline.
  int WaitDevice(const WaitSet& set, std::chrono::steady_clock::time_point deadline, bool forever,
                 Work* which, bool* hangup) override {
    DWORD timeoutMs = INFINITE;
    if (!forever) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      timeoutMs = left > 0 ? static_cast<DWORD>(std::min<long long>(left, INFINITE - 1)) : 0;
    }
    return Code(Wait(set, timeoutMs, which, hangup));
  }

  int StartThread(std::function<void()> body, std::thread* thread) override {
    try {
      *thread = std::thread(std::move(body));
      return 0;
    } catch (const std::system_error&) {
      return ERROR_NOT_ENOUGH_MEMORY;  // the system's code is not kept
    }
  }

  void RaiseThreadPriority() override { win32::RaiseThreadPriority(); }
  bool ProcessEnding() override { return win32::ProcessEnding(); }

  std::string ErrorText(int err) override { return win32::ErrorText(static_cast<DWORD>(err)); }

  void PostFrame(Window window, uint32_t message, uint32_t wParam, uintptr_t lParam) override {
    win32::PostFrame(window, message, wParam, lParam);
  }

  // Owned by no window, whatever the port was opened with.
  void ShowError(Window, const char* caption, const char* text) override {
    win32::ShowErrorBox(caption, text);
  }

  void ExplainOpenFailure(const std::string&, const char* step, int err,
                          OpenFailure* why) override {
    *why = win32::ExplainComFailure(step, static_cast<DWORD>(err), ErrorText(err));
  }

  int GetModemLines(DeviceRef device, uint32_t* lines) override {
    return Refused(device->ModemLines(lines));
  }

  int SendBreak(DeviceRef device, uint32_t ms) override { return Refused(device->HoldBreak(ms)); }

  // The system's serial-port map, and COM names it lacks; USB ids, makers
  // and serial numbers are not looked for.
  int ListSerialDevices(std::vector<SerialDeviceInfo>* found) override {
    *found = win32::MergeComNames(win32::ReadSerialCommMap(), win32::ReadDosComNames());
    return 0;
  }

 private:
  static int Code(DWORD err) { return static_cast<int>(err); }

  // A driver without modem lines or break refuses the request itself.
  static int Refused(DWORD err) {
    return err == ERROR_NOT_SUPPORTED || err == ERROR_INVALID_FUNCTION ? kNotSupported : Code(err);
  }

  static DWORD Wait(const WaitSet& set, DWORD timeoutMs, Work* which, bool* hangup) {
    const NativeWaitSet& handles = set.native;
    *hangup = false;
    if (handles.device == nullptr) return ERROR_INVALID_HANDLE;
    return handles.device->WaitForWork(handles.shutdown, handles.transmit, set.watched, timeoutMs,
                                       which, hangup);
  }
};

}  // namespace

// Outlives every port.
Platform& Platform::Default() {
  static Platform* platform = new Win32Platform;
  return *platform;
}

}  // namespace ktcomm::platform
