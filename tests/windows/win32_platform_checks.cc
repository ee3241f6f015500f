// The Win32 side of the platform seam under Wine, on COM ports that the
// lane maps to pseudo-terminals whose other sides tests/windows/
// pty_device.py holds. Usage: ktcomm_win32_platform_checks --control PORT
// (COM1 to COM3 mapped). Prints one line per check and "N passed, N failed".
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "platform/log_file.h"
#include "platform/win32/win32_device.h"
#include "platform/win32/win32_events.h"
#include "platform/win32/win32_ui.h"
#include "tests/windows/support.h"

namespace ktcomm::wintest {
namespace {

namespace w32 = ktcomm::platform::win32;

Checks checks;
DeviceSide device;

// An open, configured device on COM `port`, or null (the failure recorded).
std::unique_ptr<w32::SerialDevice> OpenConfigured(int port, const char* lineDef) {
  std::unique_ptr<w32::SerialDevice> serial;
  DWORD err = w32::SerialDevice::Open(w32::SerialDevice::PathFor(port), &serial);
  if (!EXPECT(checks, err == 0, "open error " + std::to_string(err))) return nullptr;
  w32::Line line;
  EXPECT(checks, serial->SetTimeouts() == 0, "");
  EXPECT(checks, serial->GetLine(&line) == 0, "");
  line.rtsControl = w32::kKeepControl;
  EXPECT(checks, serial->BuildLine(lineDef, &line) == 0, "");
  EXPECT(checks, serial->SetLine(line) == 0, "");
  serial->Purge(w32::Queues::kBoth);
  return serial;
}

// As a flow-control change does: a mode given replaces the one in force.
DWORD ApplyLine(w32::SerialDevice& serial, const std::string& lineDef, uint32_t rts) {
  w32::Line line;
  if (DWORD err = serial.GetLine(&line)) return err;
  if (rts != w32::kKeepControl) line.rtsControl = rts;
  if (DWORD err = serial.BuildLine(lineDef, &line)) return err;
  return serial.SetLine(line);
}

void DeviceNames() {
  EXPECT(checks, w32::SerialDevice::PathFor(1) == "\\\\.\\COM1", "");
  EXPECT(checks, w32::SerialDevice::PathFor(10) == "\\\\.\\COM10", "");
  std::unique_ptr<w32::SerialDevice> serial;
  DWORD err = w32::SerialDevice::Open(w32::SerialDevice::PathFor(9), &serial);  // not mapped
  EXPECT(checks, err != 0 && !serial, "COM9 opened");
}

void OpensExclusively() {
  auto first = OpenConfigured(1, "baud=9600 parity=N data=8 stop=1");
  std::unique_ptr<w32::SerialDevice> second;
  DWORD err = w32::SerialDevice::Open(w32::SerialDevice::PathFor(1), &second);
  EXPECT(checks, err != 0 && !second, "a second open of COM1 succeeded");
  first.reset();
  err = w32::SerialDevice::Open(w32::SerialDevice::PathFor(1), &second);
  EXPECT(checks, err == 0, "reopen after close: " + std::to_string(err));
}

void LineSettingsOnThePty() {
  auto serial = OpenConfigured(1, "baud=9600 parity=N data=8 stop=1");
  if (!serial) return;
  auto attr = device.Attr(1);
  EXPECT(checks, attr["baud"] == "9600" && attr["stop"] == "1", attr["baud"] + " " + attr["stop"]);
  EXPECT(checks, attr["raw"] == "1" && attr["crtscts"] == "0", "not raw");
  EXPECT(checks, ApplyLine(*serial, "baud=115200 parity=E data=7 stop=2", w32::kKeepControl) == 0, "");
  attr = device.Attr(1);
  EXPECT(checks, attr["baud"] == "115200" && attr["stop"] == "2", attr["baud"] + " " + attr["stop"]);
  // Refused texts change nothing.
  for (const char* bad : {"baud=9600 parity=X data=8 stop=1", "baud=9600 parity=N data=9 stop=1",
                          "baud=9600 parity=N data=8 stop=3", "speed=9600"}) {
    EXPECT(checks, ApplyLine(*serial, bad, w32::kKeepControl) == ERROR_INVALID_PARAMETER, bad);
  }
  // A rate the driver replaces with another is refused, and the line stays.
  EXPECT(checks, ApplyLine(*serial, "baud=12345 parity=N data=8 stop=1", w32::kKeepControl) != 0, "");
  attr = device.Attr(1);
  EXPECT(checks, attr["baud"] == "115200" && attr["stop"] == "2", "line changed: " + attr["baud"]);
}

void HandshakeModes() {
  auto serial = OpenConfigured(1, "baud=9600 parity=N data=8 stop=1");
  if (!serial) return;
  const std::string def = "baud=9600 parity=N data=8 stop=1";
  EXPECT(checks, ApplyLine(*serial, def, RTS_CONTROL_HANDSHAKE) == 0, "");
  EXPECT(checks, device.Attr(1)["crtscts"] == "1", "handshake not on");
  // Keeping the mode keeps the handshake, though the definition drops it.
  EXPECT(checks, ApplyLine(*serial, def, w32::kKeepControl) == 0, "");
  EXPECT(checks, device.Attr(1)["crtscts"] == "1", "handshake lost by keep");
  EXPECT(checks, ApplyLine(*serial, def, RTS_CONTROL_ENABLE) == 0, "");
  EXPECT(checks, device.Attr(1)["crtscts"] == "0", "handshake not off");
  // A freshly built line starts without it, as an open does.
  ApplyLine(*serial, def, RTS_CONTROL_HANDSHAKE);
  w32::Line line;
  serial->GetLine(&line);
  line.rtsControl = w32::kKeepControl;
  serial->BuildLine(def, &line);
  EXPECT(checks, serial->SetLine(line) == 0 && device.Attr(1)["crtscts"] == "0", "");
}

void BytesPassUntouched() {
  auto serial = OpenConfigured(1, "baud=115200 parity=N data=8 stop=1");
  if (!serial) return;
  device.Discard(1);
  // XON, XOFF, CR, LF, ^C and DEL would be taken or changed by a tty that
  // is not raw.
  const Bytes bytes = {0x00, 0x11, 0x13, 0x0d, 0x0a, 0x03, 0x7f, 0xff, 0x80};
  size_t put = 0;
  EXPECT(checks, serial->Write(bytes, &put) == 0 && put == bytes.size(), "");
  EXPECT(checks, serial->WaitDrained(nullptr) == 0, "");
  Bytes sent = device.Expect(1, bytes.size());
  EXPECT(checks, sent == bytes, Hex(sent));
  device.Write(1, bytes);
  Bytes got(64);
  Bytes all;
  auto deadline = Clock::now() + std::chrono::seconds(3);
  while (all.size() < bytes.size() && Clock::now() < deadline) {
    size_t count = 0;
    if (serial->Read(got, &count) != 0) break;
    all.insert(all.end(), got.begin(), got.begin() + static_cast<ptrdiff_t>(count));
    if (count == 0) Sleep(5);
  }
  EXPECT(checks, all == bytes, Hex(all));
}

void ReadsNeverWait() {
  auto serial = OpenConfigured(1, "baud=9600 parity=N data=8 stop=1");
  if (!serial) return;
  Bytes into(16);
  size_t got = 99;
  auto start = Clock::now();
  EXPECT(checks, serial->Read(into, &got) == 0 && got == 0, "");
  EXPECT(checks, SecondsSince(start) < 0.5, "an empty read waited");
  // Input is purged; a count says what is left.
  device.Write(1, {1, 2, 3});
  size_t queued = 0;
  for (int i = 0; i < 300 && queued < 3; ++i, Sleep(10)) serial->InputQueue(&queued);
  EXPECT(checks, queued == 3, std::to_string(queued));
  EXPECT(checks, serial->Purge(w32::Queues::kInput) == 0, "");
  serial->InputQueue(&queued);
  EXPECT(checks, queued == 0, std::to_string(queued));
}

void WaitOrderAndIdle() {
  auto serial = OpenConfigured(1, "baud=9600 parity=N data=8 stop=1");
  if (!serial) return;
  HANDLE shutdown = w32::NewEvent(true);
  HANDLE transmit = w32::NewEvent(true);
  w32::Ready which = w32::Ready::kDevice;
  bool hangup = false;
  // Idle: neither the wait's own ends nor an empty queue count as work.
  std::thread later([&] {
    Sleep(300);
    SetEvent(shutdown);
  });
  auto start = Clock::now();
  DWORD err = serial->WaitForWork(shutdown, transmit, true, false, &which, &hangup);
  later.join();
  EXPECT(checks, err == 0 && which == w32::Ready::kShutdown, "woke for " +
                                                               std::to_string(static_cast<int>(which)));
  EXPECT(checks, SecondsSince(start) >= 0.25, "woke early");
  // All three ready: shutdown, then transmit, then the device.
  device.Write(1, {0x42});
  size_t queued = 0;
  for (int i = 0; i < 300 && queued == 0; ++i, Sleep(10)) serial->InputQueue(&queued);
  SetEvent(transmit);
  serial->WaitForWork(shutdown, transmit, true, false, &which, &hangup);
  EXPECT(checks, which == w32::Ready::kShutdown, "");
  ResetEvent(shutdown);
  serial->WaitForWork(shutdown, transmit, true, false, &which, &hangup);
  EXPECT(checks, which == w32::Ready::kTransmit, "");
  ResetEvent(transmit);
  err = serial->WaitForWork(shutdown, transmit, true, false, &which, &hangup);
  EXPECT(checks, err == 0 && which == w32::Ready::kDevice && !hangup, "");
  serial->Purge(w32::Queues::kInput);
  // A byte that comes while the worker waits wakes it.
  std::thread byte([] {
    Sleep(100);
    device.Write(1, {0x43});
  });
  std::thread guard([&] {  // a lost wake-up must fail the check, not hang it
    if (WaitForSingleObject(transmit, 5000) == WAIT_TIMEOUT) SetEvent(shutdown);
  });
  err = serial->WaitForWork(shutdown, transmit, true, false, &which, &hangup);
  SetEvent(transmit);
  byte.join();
  guard.join();
  EXPECT(checks, err == 0 && which == w32::Ready::kDevice, "no wake for a byte");
  w32::CloseEvent(&shutdown);
  w32::CloseEvent(&transmit);
}

void HangupIsSeenOnce() {
  auto serial = OpenConfigured(3, "baud=9600 parity=N data=8 stop=1");
  if (!serial) return;
  HANDLE shutdown = w32::NewEvent(true);
  HANDLE transmit = w32::NewEvent(true);
  std::thread guard([&] {
    if (WaitForSingleObject(transmit, 5000) == WAIT_TIMEOUT) SetEvent(shutdown);
  });
  device.Hangup(3);
  w32::Ready which = w32::Ready::kShutdown;
  bool hangup = false;
  DWORD err = serial->WaitForWork(shutdown, transmit, true, false, &which, &hangup);
  EXPECT(checks, err == 0 && which == w32::Ready::kDevice && hangup, "hang-up not seen");
  size_t queued = 0;
  DWORD queueErr = serial->InputQueue(&queued);
  EXPECT(checks, queueErr != 0 && w32::IsHangup(queueErr), std::to_string(queueErr));
  // Unwatched, the device no longer wakes the worker.
  std::thread later([&] {
    Sleep(200);
    SetEvent(transmit);
  });
  err = serial->WaitForWork(shutdown, transmit, false, false, &which, &hangup);
  later.join();
  guard.join();
  EXPECT(checks, err == 0 && which == w32::Ready::kTransmit, "");
  w32::CloseEvent(&shutdown);
  w32::CloseEvent(&transmit);
}

void StuckWriteIsCutOff() {
  auto serial = OpenConfigured(2, "baud=115200 parity=N data=8 stop=1");
  if (!serial) return;
  HANDLE cancel = w32::NewEvent(true);
  // Nobody reads the pty: the write stays pending once its buffer is full.
  Bytes big(256 * 1024, 0x55);
  size_t put = 0;
  EXPECT(checks, serial->Write(big, &put) == 0 && put == big.size(), "");
  EXPECT(checks, !serial->Drained(), "drained with nobody reading");
  size_t again = 0;
  EXPECT(checks, serial->Write(big, &again) == ERROR_BUSY && again == 0, "");
  std::thread later([&] {
    Sleep(200);
    SetEvent(cancel);
  });
  EXPECT(checks, serial->WaitDrained(cancel) == ERROR_OPERATION_ABORTED, "");
  later.join();
  auto start = Clock::now();
  serial.reset();  // the close must not wait for the line
  EXPECT(checks, SecondsSince(start) < 2, "close held by a stuck line");
  device.Discard(2);
  w32::CloseEvent(&cancel);
}

void TimedWaitsKeepTheirTime() {
  HANDLE event = w32::NewEvent(false);
  bool signalled = true;
  auto start = Clock::now();
  EXPECT(checks, w32::WaitEvent(event, 120, &signalled) == 0 && !signalled, "");
  EXPECT(checks, SecondsSince(start) >= 0.120, "ended early");
  SetEvent(event);
  EXPECT(checks, w32::WaitEvent(event, 0, &signalled) == 0 && signalled, "");
  // Auto reset: the wait that saw it consumed it.
  EXPECT(checks, w32::WaitEvent(event, 0, &signalled) == 0 && !signalled, "");
  w32::CloseEvent(&event);
  EXPECT(checks, event == nullptr, "");
}

void ErrorTexts() {
  std::string text = w32::ErrorText(ERROR_ACCESS_DENIED);
  EXPECT(checks, !text.empty() && text.back() == '\n', text);
  EXPECT(checks, w32::ErrorText(0x1234567).empty(), "");
}

void FramesReachAWindow() {
  FrameWindow window;
  static const uint8_t data[] = {0xAA, 0xBB};
  uint32_t first = 0x1A | 3 << 8 | 2 << 16;
  std::thread poster([&] {
    w32::PostFrame(window.Handle(), 0x040A, first, reinterpret_cast<uintptr_t>(data));
  });
  poster.join();
  Frame frame;
  EXPECT(checks, window.Pump(3000, &frame), "no frame");
  EXPECT(checks, frame.wParam == first && frame.lParam == reinterpret_cast<LPARAM>(data), "");
  EXPECT(checks, frame.data == Bytes({0xAA, 0xBB}), Hex(frame.data));
  // Without a window nothing lands in the posting thread's own queue.
  w32::PostFrame(nullptr, 0x040A, first, 0);
  MSG message;
  EXPECT(checks, !PeekMessageA(&message, nullptr, 0x040A, 0x040A, PM_REMOVE), "posted to no window");
}

void ErrorBoxOnScreen() {
  BoxWatcher watcher;
  const char* text = "WARNING:  WriteFile() Failed with the following error: \nAccess denied.\n\nPort: 3\n";
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    w32::ShowErrorBox("Application Error", text);
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
  auto serial = OpenConfigured(1, "baud=9600 parity=N data=8 stop=1");
  for (const char* name : {"NUL", "COM1", "\\\\.\\COM2", "CON"}) {
    FILE* file = platform::OpenRegularFile(name, "w");
    EXPECT(checks, file == nullptr, name);
    if (file) std::fclose(file);
  }
  std::unique_ptr<w32::SerialDevice> second;
  DWORD err = w32::SerialDevice::Open(w32::SerialDevice::PathFor(2), &second);
  EXPECT(checks, err == 0, "COM2 was taken by a log open");
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
  checks.Run("stuck write is cut off", StuckWriteIsCutOff);
  checks.Run("timed waits keep their time", TimedWaitsKeepTheirTime);
  checks.Run("error texts", ErrorTexts);
  checks.Run("frames reach a window", FramesReachAWindow);
  checks.Run("error box on screen", ErrorBoxOnScreen);
  checks.Run("log files", LogFiles);
  checks.Run("hang-up is seen", HangupIsSeenOnce);  // last: the pty is gone after it
  return checks.Summary();
}
