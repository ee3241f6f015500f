// The Win32 side of the platform seam under Wine, through the Platform
// interface as the port uses it, on COM ports that the lane maps to
// pseudo-terminals whose other sides tests/windows/pty_device.py holds.
// Usage: ktcomm_win32_platform_checks --control PORT (COM1 to COM3 mapped).
// Prints one line per check and "N passed, N failed".
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "platform/log_file.h"
#include "platform/platform.h"
#include "platform/win32/com_ports.h"
#include "tests/windows/support.h"

namespace ktcomm::wintest {
namespace {

using platform::DeviceRef;
using platform::Event;
using platform::LineState;
using platform::Queues;
using platform::WaitSet;
namespace win32 = platform::win32;
using platform::Work;

constexpr uint32_t kKeep = platform::kKeepControl;

Checks checks;
DeviceSide device;
platform::Platform& os = platform::Platform::Default();

// A device the check owns: closed through the platform when it goes.
struct Closer {
  void operator()(platform::Device* opened) const { os.CloseDevice(opened); }
};
using Opened = std::unique_ptr<platform::Device, Closer>;

// An event the check owns.
struct OwnedEvent {
  explicit OwnedEvent(bool manualReset) { os.NewEvent(manualReset, &event); }
  ~OwnedEvent() { os.CloseEvent(&event); }
  Event event;
};

// An open, configured device on COM `port`, as a port's open makes it, or
// null (the failure recorded).
Opened OpenConfigured(int port, const char* lineDef) {
  DeviceRef made = nullptr;
  int err = os.OpenDevice(os.DevicePath(port), &made);
  if (!EXPECT(checks, err == 0 && made != nullptr, "open error " + std::to_string(err))) {
    return nullptr;
  }
  Opened opened(made);
  LineState line;
  EXPECT(checks, os.SetTimeouts(made) == 0, "");
  EXPECT(checks, os.GetLine(made, &line) == 0, "");
  line.rtsControl = kKeep;
  EXPECT(checks, os.BuildLine(lineDef, &line) == 0, "");
  EXPECT(checks, os.SetLine(made, line) == 0, "");
  os.Purge(made, Queues::kBoth);
  return opened;
}

// As a flow-control change does: a mode given replaces the one in force.
int ApplyLine(DeviceRef serial, const std::string& lineDef, uint32_t rts) {
  LineState line;
  if (int err = os.GetLine(serial, &line)) return err;
  if (rts != kKeep) line.rtsControl = rts;
  if (int err = os.BuildLine(lineDef, &line)) return err;
  return os.SetLine(serial, line);
}

void DeviceNames() {
  EXPECT(checks, os.DevicePath(1) == "\\\\.\\COM1", os.DevicePath(1));
  EXPECT(checks, os.DevicePath(10) == "\\\\.\\COM10", os.DevicePath(10));
  DeviceRef made = nullptr;
  int err = os.OpenDevice(os.DevicePath(9), &made);  // not mapped
  EXPECT(checks, err != 0 && made == nullptr, "COM9 opened");
}

void OpensExclusively() {
  Opened first = OpenConfigured(1, "baud=9600 parity=N data=8 stop=1");
  DeviceRef second = nullptr;
  int err = os.OpenDevice(os.DevicePath(1), &second);
  EXPECT(checks, err != 0 && second == nullptr, "a second open of COM1 succeeded");
  first.reset();
  err = os.OpenDevice(os.DevicePath(1), &second);
  EXPECT(checks, err == 0, "reopen after close: " + std::to_string(err));
  os.CloseDevice(second);
}

void LineSettingsOnThePty() {
  Opened serial = OpenConfigured(1, "baud=9600 parity=N data=8 stop=1");
  if (!serial) return;
  auto attr = device.Attr(1);
  EXPECT(checks, attr["baud"] == "9600" && attr["stop"] == "1", attr["baud"] + " " + attr["stop"]);
  EXPECT(checks, attr["raw"] == "1" && attr["crtscts"] == "0", "not raw");
  EXPECT(checks, ApplyLine(serial.get(), "baud=115200 parity=E data=7 stop=2", kKeep) == 0, "");
  attr = device.Attr(1);
  EXPECT(checks, attr["baud"] == "115200" && attr["stop"] == "2", attr["baud"] + " " + attr["stop"]);
  // Refused texts change nothing.
  for (const char* bad : {"baud=9600 parity=X data=8 stop=1", "baud=9600 parity=N data=9 stop=1",
                          "baud=9600 parity=N data=8 stop=3", "speed=9600"}) {
    EXPECT(checks, ApplyLine(serial.get(), bad, kKeep) == ERROR_INVALID_PARAMETER, bad);
  }
  // A rate the driver replaces with another is refused, and the line stays.
  EXPECT(checks, ApplyLine(serial.get(), "baud=12345 parity=N data=8 stop=1", kKeep) != 0, "");
  attr = device.Attr(1);
  EXPECT(checks, attr["baud"] == "115200" && attr["stop"] == "2", "line changed: " + attr["baud"]);
}

void HandshakeModes() {
  Opened serial = OpenConfigured(1, "baud=9600 parity=N data=8 stop=1");
  if (!serial) return;
  const std::string def = "baud=9600 parity=N data=8 stop=1";
  EXPECT(checks, ApplyLine(serial.get(), def, RTS_CONTROL_HANDSHAKE) == 0, "");
  EXPECT(checks, device.Attr(1)["crtscts"] == "1", "handshake not on");
  // Keeping the mode keeps the handshake, though the definition drops it.
  EXPECT(checks, ApplyLine(serial.get(), def, kKeep) == 0, "");
  EXPECT(checks, device.Attr(1)["crtscts"] == "1", "handshake lost by keep");
  EXPECT(checks, ApplyLine(serial.get(), def, RTS_CONTROL_ENABLE) == 0, "");
  EXPECT(checks, device.Attr(1)["crtscts"] == "0", "handshake not off");
  // A mode the driver refuses changes nothing.
  EXPECT(checks, ApplyLine(serial.get(), def, RTS_CONTROL_TOGGLE) != 0, "toggle taken by a pty");
  EXPECT(checks, device.Attr(1)["crtscts"] == "0", "a refused mode changed the line");
  // A freshly built line starts without it, as an open does.
  ApplyLine(serial.get(), def, RTS_CONTROL_HANDSHAKE);
  LineState line;
  os.GetLine(serial.get(), &line);
  line.rtsControl = kKeep;
  os.BuildLine(def, &line);
  EXPECT(checks, os.SetLine(serial.get(), line) == 0 && device.Attr(1)["crtscts"] == "0", "");
}

void BytesPassUntouched() {
  Opened serial = OpenConfigured(1, "baud=115200 parity=N data=8 stop=1");
  if (!serial) return;
  OwnedEvent cancel(true);
  device.Discard(1);
  // XON, XOFF, CR, LF, ^C and DEL would be taken or changed by a tty that
  // is not raw.
  const Bytes bytes = {0x00, 0x11, 0x13, 0x0d, 0x0a, 0x03, 0x7f, 0xff, 0x80};
  size_t put = 0;
  EXPECT(checks, os.Write(serial.get(), bytes, &put) == 0 && put == bytes.size(), "");
  EXPECT(checks, os.WaitDrained(serial.get(), cancel.event) == 0, "");
  EXPECT(checks, os.Drained(serial.get()), "");
  Bytes sent = device.Expect(1, bytes.size());
  EXPECT(checks, sent == bytes, Hex(sent));
  device.Write(1, bytes);
  Bytes got(64);
  Bytes all;
  auto deadline = Clock::now() + std::chrono::seconds(3);
  while (all.size() < bytes.size() && Clock::now() < deadline) {
    size_t count = 0;
    if (os.Read(serial.get(), got, &count) != 0) break;
    all.insert(all.end(), got.begin(), got.begin() + static_cast<ptrdiff_t>(count));
    if (count == 0) Sleep(5);
  }
  EXPECT(checks, all == bytes, Hex(all));
}

void ReadsNeverWait() {
  Opened serial = OpenConfigured(1, "baud=9600 parity=N data=8 stop=1");
  if (!serial) return;
  Bytes into(16);
  size_t got = 99;
  auto start = Clock::now();
  EXPECT(checks, os.Read(serial.get(), into, &got) == 0 && got == 0, "");
  EXPECT(checks, SecondsSince(start) < 0.5, "an empty read waited");
  // Input is purged; a count says what is left.
  device.Write(1, {1, 2, 3});
  size_t queued = 0;
  for (int i = 0; i < 300 && queued < 3; ++i, Sleep(10)) os.InputQueue(serial.get(), &queued);
  EXPECT(checks, queued == 3, std::to_string(queued));
  // A read asking for less leaves the rest queued.
  EXPECT(checks, os.Read(serial.get(), std::span<uint8_t>(into).first(1), &got) == 0 && got == 1 &&
                     into[0] == 1,
         "");
  EXPECT(checks, os.InputQueue(serial.get(), &queued) == 0 && queued == 2, std::to_string(queued));
  EXPECT(checks, os.Purge(serial.get(), Queues::kInput) == 0, "");
  os.InputQueue(serial.get(), &queued);
  EXPECT(checks, queued == 0, std::to_string(queued));
}

// A worker's wait set over the device, with its two events.
struct WorkerSet {
  explicit WorkerSet(DeviceRef serial) {
    EXPECT(checks, os.OpenWaitSet(shutdown.event, transmit.event, serial, &set) == 0, "");
  }
  ~WorkerSet() { os.CloseWaitSet(&set); }
  // The next work, or the error of the wait.
  int Next(Work* which, bool* hangup) { return os.WaitForWork(set, false, which, hangup); }
  OwnedEvent shutdown{true};
  OwnedEvent transmit{true};
  WaitSet set;
};

// Sets the event unless `done` is set within 5 s: a lost wake-up fails a
// check instead of hanging it.
class Guard {
 public:
  explicit Guard(const Event& event)
      : thread([this, &event] {
          if (os.WaitEvent(done.event, 5000, &fired) == 0 && !fired) os.SetEvent(event);
        }) {}
  ~Guard() {
    os.SetEvent(done.event);
    thread.join();
  }

 private:
  OwnedEvent done{true};
  bool fired = false;
  std::thread thread;
};

void WaitOrderAndIdle() {
  Opened serial = OpenConfigured(1, "baud=9600 parity=N data=8 stop=1");
  if (!serial) return;
  WorkerSet worker(serial.get());
  EXPECT(checks, !os.YieldDevice(worker.set), "a caller may serve the device");
  Work which = Work::kDevice;
  bool hangup = false;
  // Idle: neither the line-event wait's own ends nor an empty queue count as work.
  std::thread later([&] {
    Sleep(300);
    os.SetEvent(worker.shutdown.event);
  });
  auto start = Clock::now();
  int err = worker.Next(&which, &hangup);
  later.join();
  EXPECT(checks, err == 0 && which == Work::kShutdown,
         "woke for " + std::to_string(static_cast<int>(which)));
  EXPECT(checks, SecondsSince(start) >= 0.25, "woke early");
  // All three ready: shutdown, then transmit, then the device.
  device.Write(1, {0x42});
  size_t queued = 0;
  for (int i = 0; i < 300 && queued == 0; ++i, Sleep(10)) os.InputQueue(serial.get(), &queued);
  os.SetEvent(worker.transmit.event);
  worker.Next(&which, &hangup);
  EXPECT(checks, which == Work::kShutdown, "");
  os.ResetEvent(worker.shutdown.event);
  worker.Next(&which, &hangup);
  EXPECT(checks, which == Work::kTransmit, "");
  os.ResetEvent(worker.transmit.event);
  err = worker.Next(&which, &hangup);
  EXPECT(checks, err == 0 && which == Work::kDevice && !hangup, "");
  os.Purge(serial.get(), Queues::kInput);
  // With deviceReady nothing is waited for; a caller's wait keeps its deadline.
  start = Clock::now();
  err = os.WaitForWork(worker.set, true, &which, &hangup);
  EXPECT(checks, err == 0 && which == Work::kDevice && SecondsSince(start) < 0.5, "");
  start = Clock::now();
  err = os.WaitDevice(worker.set, Clock::now() + std::chrono::milliseconds(150), false, &which,
                      &hangup);
  EXPECT(checks, err == platform::kTimedOut && SecondsSince(start) >= 0.150,
         std::to_string(err) + " after " + std::to_string(SecondsSince(start)));
  // A byte that comes while the worker waits wakes it.
  std::thread byte([] {
    Sleep(100);
    device.Write(1, {0x43});
  });
  {
    Guard guard(worker.shutdown.event);
    err = worker.Next(&which, &hangup);
  }
  byte.join();
  EXPECT(checks, err == 0 && which == Work::kDevice, "no wake for a byte");
}

void HangupIsSeenOnce() {
  Opened serial = OpenConfigured(3, "baud=9600 parity=N data=8 stop=1");
  if (!serial) return;
  WorkerSet worker(serial.get());
  Work which = Work::kShutdown;
  bool hangup = false;
  int err;
  {
    Guard guard(worker.shutdown.event);
    device.Hangup(3);
    err = worker.Next(&which, &hangup);
  }
  EXPECT(checks, err == 0 && which == Work::kDevice && hangup, "hang-up not seen");
  // However the device says it has gone, the port reads it as a hang-up.
  Bytes into(16);
  size_t got = 0;
  err = os.Read(serial.get(), into, &got);
  EXPECT(checks, err == platform::kHungUp && got == 0, std::to_string(err));
  // Modem lines and break fail, and neither claims the device cannot.
  uint32_t lines = 0;
  err = os.GetModemLines(serial.get(), &lines);
  EXPECT(checks, err != 0 && err != platform::kNotSupported, std::to_string(err));
  err = os.SendBreak(serial.get(), 50);
  EXPECT(checks, err != 0 && err != platform::kNotSupported, std::to_string(err));
  // Unwatched, the device no longer wakes the worker.
  os.UnwatchDevice(worker.set);
  std::thread later([&] {
    Sleep(200);
    os.SetEvent(worker.transmit.event);
  });
  {
    Guard guard(worker.shutdown.event);
    err = worker.Next(&which, &hangup);
  }
  later.join();
  EXPECT(checks, err == 0 && which == Work::kTransmit, "");
  auto start = Clock::now();
  serial.reset();
  EXPECT(checks, SecondsSince(start) < 2, "close of a hung-up device waited");
}

platform::OpenFailure WhyNotOpened(const std::string& path) {
  DeviceRef made = nullptr;
  int err = os.OpenDevice(path, &made);
  platform::OpenFailure why;
  if (!EXPECT(checks, err != 0 && made == nullptr, path + " opened")) {
    os.CloseDevice(made);
    return why;
  }
  os.ExplainOpenFailure(path, nullptr, err, &why);
  return why;
}

// What each way an open of a COM port fails is taken for: the real opens
// the lane can make, then the codes only Windows gives.
void OpenFailuresExplained() {
  using platform::OpenReason;
  using win32::ExplainComFailure;
  // No such name at all.
  platform::OpenFailure why = WhyNotOpened("\\\\.\\COM40");
  EXPECT(checks, why.reason == OpenReason::kNoDevice && why.text == "no such device" &&
                     why.err == ERROR_FILE_NOT_FOUND,
         why.text);
  // COM9 maps to a path that does not exist: Wine opens the name, then the
  // device answers nothing.
  why = WhyNotOpened(os.DevicePath(9));
  EXPECT(checks, why.reason == OpenReason::kNoDevice, why.text);
  EXPECT(checks, why.text.rfind("no device behind the name (", 0) == 0 && why.text.back() == ')' &&
                     why.text.find('\r') == std::string::npos,
         why.text);
  // COM8 maps to a regular file.
  why = WhyNotOpened(os.DevicePath(8));
  EXPECT(checks, why.reason == OpenReason::kNotSerial && why.err == ERROR_NOT_SUPPORTED, why.text);
  // A second opener of COM1 meets the first one's claim.
  {
    Opened first = OpenConfigured(1, "baud=9600 parity=N data=8 stop=1");
    why = WhyNotOpened(os.DevicePath(1));
    EXPECT(checks, why.reason == OpenReason::kInUse && why.holderPid == 0 &&
                       why.text == "in use by another program",
           why.text);
  }
  // What Wine cannot give: Windows' own answer to a second opener, and a
  // code without a system text.
  why = ExplainComFailure(nullptr, ERROR_ACCESS_DENIED, "Access denied.\r\n");
  EXPECT(checks, why.reason == OpenReason::kInUse && why.err == 5, why.text);
  why = ExplainComFailure(nullptr, ERROR_DEVICE_REMOVED, "");
  EXPECT(checks, why.text == "no device behind the name (error 1617)", why.text);
  // After the open: a driver that does not know the request is no serial
  // driver; one that refuses the values refused the set-up. The step is
  // named either way.
  why = ExplainComFailure("GetCommState()", ERROR_INVALID_FUNCTION, "Invalid function.\r\n");
  EXPECT(checks, why.reason == OpenReason::kNotSerial &&
                     why.text == "not a serial device (GetCommState() failed: Invalid function.)",
         why.text);
  why = ExplainComFailure("SetCommState()", ERROR_NOT_SUPPORTED, "Not supported.\r\n");
  EXPECT(checks, why.reason == OpenReason::kSetupRefused &&
                     why.text ==
                         "the device refused its set-up: SetCommState() failed: Not supported.",
         why.text);
  why = ExplainComFailure("SetCommState()", ERROR_FILE_NOT_FOUND, "File not found.");
  EXPECT(checks, why.reason == OpenReason::kSetupRefused, "a set-up step read as the name missing");
}

// A pty has no modem lines: both calls say not supported, as on Linux, and
// neither waits nor touches the line. The levels come from the driver's
// bits and the control block's modes.
void ModemLinesAndBreak() {
  {
    Opened serial = OpenConfigured(2, "baud=9600 parity=N data=8 stop=1");
    if (!serial) return;
    device.Discard(2);
    uint32_t lines = 0xABCD;
    EXPECT(checks, os.GetModemLines(serial.get(), &lines) == platform::kNotSupported &&
                       lines == 0xABCD,
           "");
    auto start = Clock::now();
    EXPECT(checks, os.SendBreak(serial.get(), 1000) == platform::kNotSupported, "");
    EXPECT(checks, SecondsSince(start) < 0.5, "a refused break waited");
    EXPECT(checks, device.Read(2, 1, 200).empty(), "a break put bytes on the line");
  }
  // Carrier detect is RLSD; an output under a handshake is up, a toggled
  // RTS idles low.
  using win32::ModemLevels;
  EXPECT(checks, ModemLevels(MS_RLSD_ON, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE) ==
                     (platform::kLineDcd | platform::kLineDtr),
         "");
}

// The lane maps all ten ports; each is listed once, by number, as a port
// names it. Wine adds the machine's own serial lines after them (COM11 for
// /dev/ttyS0, ...). The merge on its own: names in any case, names that are
// not ports (the parsing is fuzzed: com_names_fuzz).
void ComPortList() {
  std::vector<platform::SerialDeviceInfo> found;
  EXPECT(checks, os.ListSerialDevices(&found) == 0, "");
  std::string listed;
  for (const auto& port : found) listed += port.path + "=" + port.tty + " ";
  bool inOrder = found.size() >= 10;
  for (size_t i = 0; inOrder && i < 10; ++i) {
    inOrder = found[i].path == os.DevicePath(static_cast<int>(i) + 1) && !found[i].tty.empty() &&
              !found[i].usb && found[i].vendorId == 0 && found[i].manufacturer.empty();
  }
  for (size_t i = 10; inOrder && i < found.size(); ++i) {
    inOrder = win32::ComNumber(found[i].path.substr(4)) > 10;
  }
  EXPECT(checks, inOrder, listed);

  using win32::ComName;
  auto merged = win32::MergeComNames(
      {{"COM10", "\\Device\\Serial9"}, {"COM2", "\\Device\\Serial1"}, {"", "\\Device\\X"},
       {"CNCA0", "\\Device\\com0com10"}},
      {{"com2", "\\Device\\Other"}, {"COM3", ""}, {"COM10", "\\Device\\Serial9"}});
  std::string names;
  for (const auto& port : merged) names += port.path + "=" + port.tty + " ";
  EXPECT(checks, names == "\\\\.\\COM2=\\Device\\Serial1 \\\\.\\COM3=COM3 "
                          "\\\\.\\COM10=\\Device\\Serial9 \\\\.\\CNCA0=\\Device\\com0com10 ",
         names);
  for (const char* bad : {"COM0", "COM01", "COM256", "COM1a"}) {
    EXPECT(checks, win32::ComNumber(bad) == 0, bad);
  }
}

// The purge before a write discards input only: an earlier write still on
// its way out stays whole.
void InputPurgeSparesAPendingWrite() {
  Opened serial = OpenConfigured(2, "baud=115200 parity=N data=8 stop=1");
  if (!serial) return;
  OwnedEvent cancel(true);
  device.Discard(2);
  // More than the pty holds while nobody reads: the write stays pending.
  Bytes bytes(32 * 1024);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  size_t put = 0;
  EXPECT(checks, os.Write(serial.get(), bytes, &put) == 0 && put == bytes.size(), "");
  EXPECT(checks, !os.Drained(serial.get()), "the write did not stay pending");
  device.Write(2, {1, 2, 3});
  size_t queued = 0;
  for (int i = 0; i < 300 && queued < 3; ++i, Sleep(10)) os.InputQueue(serial.get(), &queued);
  EXPECT(checks, os.Purge(serial.get(), Queues::kInput) == 0, "");
  os.InputQueue(serial.get(), &queued);
  EXPECT(checks, queued == 0, "input left: " + std::to_string(queued));
  Bytes sent = device.Expect(2, bytes.size(), 10000);
  EXPECT(checks, sent == bytes, std::to_string(sent.size()) + " bytes arrived");
  EXPECT(checks, os.WaitDrained(serial.get(), cancel.event) == 0, "");
}

void StuckWriteIsCutOff() {
  Opened serial = OpenConfigured(2, "baud=115200 parity=N data=8 stop=1");
  if (!serial) return;
  OwnedEvent cancel(true);
  // Nobody reads the pty: the write stays pending once its buffer is full.
  Bytes big(256 * 1024, 0x55);
  size_t put = 0;
  EXPECT(checks, os.Write(serial.get(), big, &put) == 0 && put == big.size(), "");
  EXPECT(checks, !os.Drained(serial.get()), "drained with nobody reading");
  size_t again = 0;
  EXPECT(checks, os.Write(serial.get(), big, &again) == platform::kWouldBlock && again == 0, "");
  std::thread later([&] {
    Sleep(200);
    os.SetEvent(cancel.event);
  });
  EXPECT(checks, os.WaitWritable(serial.get(), cancel.event) == platform::kCancelled, "");
  EXPECT(checks, os.WaitDrained(serial.get(), cancel.event) == platform::kCancelled, "");
  later.join();
  auto start = Clock::now();
  serial.reset();  // the close must not wait for the line
  EXPECT(checks, SecondsSince(start) < 2, "close held by a stuck line");
  device.Discard(2);
}

void TimedWaitsKeepTheirTime() {
  OwnedEvent automatic(false);
  const Event& event = automatic.event;
  bool signalled = true;
  auto start = Clock::now();
  EXPECT(checks, os.WaitEvent(event, 120, &signalled) == 0 && !signalled, "");
  EXPECT(checks, SecondsSince(start) >= 0.120, "ended early");
  os.SetEvent(event);
  EXPECT(checks, os.WaitEvent(event, 0, &signalled) == 0 && signalled, "");
  // Auto reset: the wait that saw it consumed it.
  EXPECT(checks, os.WaitEvent(event, 0, &signalled) == 0 && !signalled, "");
  // Manual reset: it stays set until reset.
  OwnedEvent manual(true);
  os.SetEvent(manual.event);
  os.WaitEvent(manual.event, 0, &signalled);
  EXPECT(checks, os.WaitEvent(manual.event, 0, &signalled) == 0 && signalled, "");
  os.ResetEvent(manual.event);
  EXPECT(checks, os.WaitEvent(manual.event, 0, &signalled) == 0 && !signalled, "");
  os.CloseEvent(&manual.event);
  EXPECT(checks, !manual.event, "");
}

void ErrorTexts() {
  std::string text = os.ErrorText(ERROR_ACCESS_DENIED);
  EXPECT(checks, !text.empty() && text.back() == '\n', text);
  EXPECT(checks, os.ErrorText(0x1234567).empty(), "");
  EXPECT(checks, !os.ErrorText(platform::kHungUp).empty(), "");
}

void FramesReachAWindow() {
  FrameWindow window;
  static const uint8_t data[] = {0xAA, 0xBB};
  uint32_t first = 0x1A | 3 << 8 | 2 << 16;
  std::thread poster([&] {
    os.PostFrame(window.Handle(), 0x040A, first, reinterpret_cast<uintptr_t>(data));
  });
  poster.join();
  Frame frame;
  EXPECT(checks, window.Pump(3000, &frame), "no frame");
  EXPECT(checks, frame.wParam == first && frame.lParam == reinterpret_cast<LPARAM>(data), "");
  EXPECT(checks, frame.data == Bytes({0xAA, 0xBB}), Hex(frame.data));
  // Without a window nothing lands in the posting thread's own queue.
  os.PostFrame(nullptr, 0x040A, first, 0);
  MSG message;
  EXPECT(checks, !PeekMessageA(&message, nullptr, 0x040A, 0x040A, PM_REMOVE), "posted to no window");
}

void ErrorBoxOnScreen() {
  BoxWatcher watcher;
  FrameWindow window;  // given, but the box has no owner all the same
  const char* text = "WARNING:  WriteFile() Failed with the following error: \nAccess denied.\n\nPort: 3\n";
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    os.ShowError(window.Handle(), "Application Error", text);
    returned = true;
  });
  EXPECT(checks, watcher.WaitFor(1, 5000), "no box found");
  for (int i = 0; i < 500 && !returned; ++i) Sleep(10);
  EXPECT(checks, returned, "the box did not return once dismissed");
  worker.join();
  auto boxes = watcher.Boxes();
  if (!boxes.empty()) {
    // The box shows CR LF where the text has LF.
    std::string shown;
    for (char c : boxes[0].text) {
      if (c != '\r') shown += c;
    }
    EXPECT(checks, shown == text, boxes[0].text);
    EXPECT(checks, !boxes[0].owned, "owned by a window");
    EXPECT(checks, boxes[0].icon, "no icon");
  }
}

std::string ReadAll(const char* path) {
  std::string all;
  if (FILE* file = std::fopen(path, "rb")) {
    char buffer[256];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) all.append(buffer, got);
    std::fclose(file);
  }
  return all;
}

void LogFiles() {
  char folder[MAX_PATH];
  GetTempPathA(sizeof folder, folder);
  std::string path = std::string(folder) + "ktcomm_log_file_check.txt";
  for (const char* mode : {"w", "wb"}) {
    FILE* file = platform::OpenRegularFile(path.c_str(), mode);
    if (!EXPECT(checks, file != nullptr, mode)) continue;
    std::fputs("\n COM1 opened\n", file);
    std::fclose(file);
    std::string expected = mode[1] == 'b' ? "\n COM1 opened\n" : "\r\n COM1 opened\r\n";
    EXPECT(checks, ReadAll(path.c_str()) == expected, std::string("mode ") + mode);
  }
  // Two streams on one file at once, as two ports logging.
  FILE* one = platform::OpenRegularFile(path.c_str(), "ab");
  FILE* two = platform::OpenRegularFile(path.c_str(), "ab");
  EXPECT(checks, one != nullptr && two != nullptr, "a second stream refused");
  if (one) std::fclose(one);
  if (two) std::fclose(two);
  // A folder or a device is no log, and naming one takes nothing.
  EXPECT(checks, platform::OpenRegularFile(folder, "a") == nullptr, "a folder opened");
  Opened serial = OpenConfigured(1, "baud=9600 parity=N data=8 stop=1");
  for (const char* name : {"NUL", "COM1", "\\\\.\\COM2", "CON"}) {
    FILE* file = platform::OpenRegularFile(name, "w");
    EXPECT(checks, file == nullptr, name);
    if (file) std::fclose(file);
  }
  DeviceRef second = nullptr;
  int err = os.OpenDevice(os.DevicePath(2), &second);
  EXPECT(checks, err == 0, "COM2 was taken by a log open");
  os.CloseDevice(second);
  EXPECT(checks, platform::OpenRegularFile(path.c_str(), "q") == nullptr, "mode q");
  DeleteFileA(path.c_str());
}

}  // namespace
}  // namespace ktcomm::wintest

int main(int argc, char** argv) {
  using namespace ktcomm::wintest;
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (!device.Connect(ControlPort(argc, argv))) {
    std::printf("no device side: run with --control PORT of tests/windows/pty_device.py\n");
    std::printf("0 passed, 1 failed\n");
    return 1;
  }
  checks.Run("device names", DeviceNames);
  checks.Run("opens exclusively", OpensExclusively);
  checks.Run("line settings on the pty", LineSettingsOnThePty);
  checks.Run("handshake modes", HandshakeModes);
  checks.Run("bytes pass untouched", BytesPassUntouched);
  checks.Run("reads never wait", ReadsNeverWait);
  checks.Run("wait order and idle", WaitOrderAndIdle);
  checks.Run("input purge spares a pending write", InputPurgeSparesAPendingWrite);
  checks.Run("stuck write is cut off", StuckWriteIsCutOff);
  checks.Run("timed waits keep their time", TimedWaitsKeepTheirTime);
  checks.Run("error texts", ErrorTexts);
  checks.Run("frames reach a window", FramesReachAWindow);
  checks.Run("error box on screen", ErrorBoxOnScreen);
  checks.Run("log files", LogFiles);
  checks.Run("open failures explained", OpenFailuresExplained);
  checks.Run("modem lines and break on a pty", ModemLinesAndBreak);
  checks.Run("COM port list", ComPortList);
  checks.Run("hang-up is seen", HangupIsSeenOnce);  // last: the pty is gone after it
  return checks.Summary();
}
