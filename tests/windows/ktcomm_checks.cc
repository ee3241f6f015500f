// ktcomm.dll under Wine, through its public header and import library only,
// on COM1 to COM6 mapped to pseudo-terminals whose other sides
// tests/windows/pty_device.py holds (COM8 maps to a regular file, the rest
// to nothing).
// Usage: ktcomm_windows_checks --control PORT [--linux-log PATH]
//        ktcomm_windows_checks --log-session LOG MODE PORT   (a child run)
// Prints one line per check and "N passed, N failed".
#include "ktcomm.h"
#include "ktcomm_ext.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "tests/windows/log_session.h"
#include "tests/windows/support.h"

namespace ktcomm::wintest {
namespace {

Checks checks;
DeviceSide device;

constexpr uint32_t kForever = 0xFFFFFFFF;

// Every port the checks use, its device side, and what it is for.
constexpr int kLinePort = 1;     // line settings, frames on the line, waits
constexpr int kWindowPort = 2;   // frames posted to a window, protocol 1
constexpr int kSecondPort = 3;   // protocol 2, and a wait beside a box
constexpr int kLogPort = 4;      // the log session, echoing
constexpr int kBoxPort = 5;      // error boxes
constexpr int kHangupPort = 6;   // hung up at the end
constexpr int kUnmappedPort = 7;
constexpr int kFilePort = 8;     // a regular file behind the name

int Open(HWND window, int port, int rxSize = 64, int protocol = 1, int baud = 9600,
         int parity = 'N', int stopBits = 1) {
  return KTOpenPort(window, port, 64, rxSize, baud, parity, 8, stopBits, protocol);
}

void Exports() {
  HMODULE module = GetModuleHandleA("ktcomm.dll");
  if (!EXPECT(checks, module != nullptr, "ktcomm.dll not loaded")) return;
  for (const char* name : {"KTOpenPort", "KTClosePort", "KTGetDllVersion", "KTSendData",
                           "KTSendCommand", "KTSendCommandAndWait", "KTSendDataAndWait",
                           "KTWaitForMessage", "KTSetLogFileName", "KTEnableLogging",
                           "?KTSetFlowControl@@YAHHII@Z", "_Z16KTSetFlowControlijj"}) {
    EXPECT(checks, GetProcAddress(module, name) != nullptr, name);
  }
  // An application built with Microsoft's compiler reaches the function by
  // its decorated name: the same function, the same answers.
  using FlowControl = int (*)(int, unsigned int, unsigned int);
  // Through void*: FARPROC's own type says nothing of the arguments.
  auto byMsvcName = reinterpret_cast<FlowControl>(
      reinterpret_cast<void*>(GetProcAddress(module, "?KTSetFlowControl@@YAHHII@Z")));
  EXPECT(checks, reinterpret_cast<void*>(byMsvcName) ==
                     reinterpret_cast<void*>(GetProcAddress(module, "_Z16KTSetFlowControlijj")),
         "two different functions");
  if (byMsvcName != nullptr) {
    EXPECT(checks, byMsvcName(11, 0, 0) == 0, "");
    EXPECT(checks, byMsvcName(kUnmappedPort, 0, 0) == 0, "a closed port");
  }
}

void VersionText() {
  char buffer[32];
  int length = 15;
  EXPECT(checks, KTGetDllVersion(buffer, &length) == 0, "");
  EXPECT(checks, std::string(buffer) == "1.41 Release" && length == 4, buffer);
  length = 14;
  KTGetDllVersion(buffer, &length);
  EXPECT(checks, std::string(buffer) == "1.41" && length == 4, buffer);
  length = 3;
  KTGetDllVersion(buffer, &length);
  EXPECT(checks, std::string(buffer) == "1." && length == 2, buffer);
  buffer[0] = 'x';
  length = 0;
  KTGetDllVersion(buffer, &length);
  EXPECT(checks, buffer[0] == 'x' && length == 0, "");
}

void ResultCodes() {
  uint8_t command = 0, data[8];
  uint32_t capacity = sizeof data;
  EXPECT(checks, KTOpenPort(nullptr, 0, 3, 64, 9600, 'N', 8, 1, 1) == KT_TOO_SMALL, "");
  EXPECT(checks, KTOpenPort(nullptr, 11, 4, 64, 9600, 'N', 8, 1, 1) == KT_BAD_PORT, "");
  EXPECT(checks, KTClosePort(0) == 0 && KTSetFlowControl(11, 0, 0) == 0, "");
  EXPECT(checks, KTClosePort(kUnmappedPort) == 1, "closing a port never opened");
  EXPECT(checks, KTSendData(kUnmappedPort, data, 1) == KT_NOT_OPEN, "");
  EXPECT(checks, KTSendCommand(-1, 0x10, 0, nullptr) == KT_BAD_PORT, "");
  EXPECT(checks, KTWaitForMessage(kUnmappedPort, 10, &command, data, &capacity) == KT_NOT_OPEN, "");
  EXPECT(checks, KTSetLogFileName("") == 0, "");
  // A device that does not exist fails the open without a box.
  BoxWatcher watcher;
  EXPECT(checks, Open(nullptr, kUnmappedPort) == KT_OPEN_FAILED, "");
  Sleep(300);
  EXPECT(checks, watcher.Seen() == 0, "a box for a missing device");
}

void LineSettings() {
  EXPECT(checks, Open(nullptr, kLinePort, 64, 1, 9600, 'N', 1) == KT_OK, "");
  auto attr = device.Attr(kLinePort);
  EXPECT(checks, attr["baud"] == "9600" && attr["stop"] == "1", attr["baud"]);
  EXPECT(checks, attr["raw"] == "1" && attr["crtscts"] == "0", "");
  // Reopening an open port applies the new settings.
  EXPECT(checks, Open(nullptr, kLinePort, 64, 1, 115200, 'N', 2) == KT_OK, "");
  attr = device.Attr(kLinePort);
  EXPECT(checks, attr["baud"] == "115200" && attr["stop"] == "2", attr["baud"]);
  EXPECT(checks, KTSetFlowControl(kLinePort, 0xFFFFFFFF, 2) != 0, "");
  EXPECT(checks, device.Attr(kLinePort)["crtscts"] == "1", "");
  EXPECT(checks, KTSetFlowControl(kLinePort, 0xFFFFFFFF, 0xFFFFFFFF) != 0, "");
  EXPECT(checks, device.Attr(kLinePort)["crtscts"] == "1", "keep dropped the handshake");
  EXPECT(checks, KTSetFlowControl(kLinePort, 0xFFFFFFFF, 1) != 0, "");
  EXPECT(checks, device.Attr(kLinePort)["crtscts"] == "0", "");
  // A mode the driver refuses (RTS toggle, on a pty) changes nothing.
  KTSetFlowControl(kLinePort, 0xFFFFFFFF, 2);
  EXPECT(checks, KTSetFlowControl(kLinePort, 0xFFFFFFFF, 3) == 0, "toggle taken by a pty");
  EXPECT(checks, device.Attr(kLinePort)["crtscts"] == "1", "a refused change dropped the handshake");
  // An open starts without the handshake whatever the last one left.
  KTSetFlowControl(kLinePort, 0xFFFFFFFF, 2);
  EXPECT(checks, Open(nullptr, kLinePort) == KT_OK && device.Attr(kLinePort)["crtscts"] == "0", "");
}

void FramesOnTheLine() {
  device.Discard(kLinePort);
  static const uint8_t five[] = {0x05};
  EXPECT(checks, KTSendCommand(kLinePort, 0x10, 1, five) == KT_OK, "");
  Bytes line = device.Expect(kLinePort, 5);
  EXPECT(checks, line == Bytes({0x00, 0x80, 0x02, 0x10, 0x05}), Hex(line));
  // Raw bytes pass as they are, flow-control and line-end bytes included.
  const Bytes raw = {0x11, 0x13, 0x0d, 0x0a, 0x00, 0xff, 0x1b};
  EXPECT(checks, KTSendData(kLinePort, raw.data(), static_cast<uint32_t>(raw.size())) == KT_OK, "");
  line = device.Expect(kLinePort, raw.size());
  EXPECT(checks, line == raw, Hex(line));
  // A command frame larger than the command buffer is refused whole.
  Bytes big(61, 0x01);
  EXPECT(checks, KTSendCommand(kLinePort, 0x1A, 61, big.data()) == KT_TOO_SMALL, "");
  EXPECT(checks, KTSendCommand(kLinePort, 0x1A, 60, big.data()) == KT_OK, "");
  line = device.Expect(kLinePort, 64);
  EXPECT(checks, line.size() == 64 && line[2] == 61 && line[3] == 0x1A, Hex(line));
}

void FramesInAMessageLoop() {
  FrameWindow window;
  EXPECT(checks, Open(window.Handle(), kWindowPort) == KT_OK, "");
  device.Write(kWindowPort, {0x00, 0x80, 0x01, 0x10});
  Frame frame;
  if (EXPECT(checks, window.Pump(5000, &frame), "no frame without data")) {
    EXPECT(checks, frame.wParam == (0x10 | kWindowPort << 8) && frame.lParam == 0, "");
  }
  device.Write(kWindowPort, {0x00, 0x00, 0x00, 0x81, 0x03, 0x00, 0x1A, 0xAA, 0xBB});
  if (EXPECT(checks, window.Pump(5000, &frame), "no frame with data")) {
    EXPECT(checks, frame.wParam == (0x1A | kWindowPort << 8 | 2 << 16), "");
    EXPECT(checks, frame.lParam != 0 && frame.data == Bytes({0xAA, 0xBB}), Hex(frame.data));
  }
  // Dropped frames post nothing: a command with too much data, an unknown one.
  device.Write(kWindowPort, {0x00, 0x80, 0x03, 0x10, 0x01, 0x02, 0x00, 0x80, 0x02, 0x77, 0x05,
                             0x00, 0x80, 0x01, 0x24});
  if (EXPECT(checks, window.Pump(5000, &frame), "")) {
    EXPECT(checks, frame.wParam == (0x24 | kWindowPort << 8), "a dropped frame was posted");
  }
  // Protocol 2: a frame with data is posted when one more byte comes.
  EXPECT(checks, Open(window.Handle(), kSecondPort, 64, 2) == KT_OK, "");
  device.Write(kSecondPort, {0x1B, 0xF3, 0x03, 0x00, 0x42, 0x01, 0x02});
  EXPECT(checks, !window.Pump(300, &frame), "posted before its trigger byte");
  device.Write(kSecondPort, {0x0D});
  if (EXPECT(checks, window.Pump(5000, &frame), "no protocol-2 frame")) {
    EXPECT(checks, frame.wParam == (0x42 | kSecondPort << 8 | 2 << 16), "");
    EXPECT(checks, frame.data == Bytes({0x01, 0x02}), Hex(frame.data));
  }
  KTClosePort(kWindowPort);
  KTClosePort(kSecondPort);
}

void WaitingCalls() {
  uint8_t command = 0, data[8];
  uint32_t length = sizeof data;
  device.Discard(kLinePort);
  device.Echo(kLinePort, true);
  static const uint8_t five[] = {0x05};
  EXPECT(checks, KTSendCommandAndWait(kLinePort, 0x10, five, 1, 5000, &command, data, &length) ==
                     KT_OK,
         "");
  EXPECT(checks, command == 0x10 && length == 1 && data[0] == 0x05, "");
  static const uint8_t frame[] = {0x00, 0x80, 0x01, 0x24};
  length = sizeof data;
  EXPECT(checks, KTSendDataAndWait(kLinePort, frame, 4, 5000, &command, data, &length) == KT_OK &&
                     command == 0x24 && length == 0,
         "an answer without data");
  // An answer larger than the caller's buffer: 6, the buffer untouched.
  static const uint8_t four[] = {1, 2, 3, 4};
  length = 3;
  data[0] = 0xEE;
  EXPECT(checks, KTSendCommandAndWait(kLinePort, 0x1A, four, 4, 5000, &command, data, &length) ==
                     KT_TOO_SMALL,
         "");
  EXPECT(checks, length == 3 && data[0] == 0xEE, "");
  device.Echo(kLinePort, false);
  // A silent line: each call keeps its time-out and reports it.
  for (int which = 0; which < 3; ++which) {
    length = sizeof data;
    auto start = Clock::now();
    int result = which == 0   ? KTWaitForMessage(kLinePort, 150, &command, data, &length)
                 : which == 1 ? KTSendCommandAndWait(kLinePort, 0x10, five, 1, 150, &command, data,
                                                     &length)
                              : KTSendDataAndWait(kLinePort, frame, 4, 150, &command, data, &length);
    double took = SecondsSince(start);
    EXPECT(checks, result == KT_TIMED_OUT && length == 0, "call " + std::to_string(which));
    EXPECT(checks, took >= 0.150 && took < 5, "call " + std::to_string(which) + " took " +
                                                 std::to_string(took));
  }
  device.Discard(kLinePort);
  // Two waits in a row, each with a frame arriving while it waits.
  for (uint8_t answer : {0x3E, 0x3C}) {
    std::thread later([answer] {
      Sleep(100);
      device.Write(kLinePort, {0x00, 0x80, 0x02, answer, 0x07});
    });
    length = sizeof data;
    int result = KTWaitForMessage(kLinePort, 5000, &command, data, &length);
    later.join();
    EXPECT(checks, result == KT_OK && command == answer && length == 1 && data[0] == 7, "");
  }
}

void CloseDuringAWait() {
  EXPECT(checks, Open(nullptr, kSecondPort) == KT_OK, "");
  std::atomic<int> result{99};
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    uint8_t command, data[8];
    uint32_t length = sizeof data;
    result = KTWaitForMessage(kSecondPort, kForever, &command, data, &length);
    done = true;
  });
  Sleep(200);
  auto start = Clock::now();
  EXPECT(checks, KTClosePort(kSecondPort) == 1, "");
  for (int i = 0; i < 500 && !done; ++i) Sleep(10);
  EXPECT(checks, done && result == KT_NOT_OPEN, "result " + std::to_string(result.load()));
  EXPECT(checks, SecondsSince(start) < 5, "");
  if (!done) {
    // Nothing else can end it: let the process end it instead of hanging.
    std::printf("     the wait did not end; leaving it behind\n");
    waiter.detach();
  } else {
    waiter.join();
  }
}

std::string Unix(const std::string& text) {
  std::string plain;
  for (char c : text) {
    if (c != '\r') plain += c;
  }
  return plain;
}

void ErrorBoxes() {
  BoxWatcher watcher;
  // A line definition the platform refuses: the open fails after the box.
  EXPECT(checks, Open(nullptr, kBoxPort, 64, 1, 9600, 'X') == KT_OPEN_FAILED, "");
  EXPECT(checks, watcher.WaitFor(1, 5000), "no box");
  auto boxes = watcher.Boxes();
  if (!boxes.empty()) {
    const std::string text = Unix(boxes[0].text);
    EXPECT(checks, text.rfind("WARNING:  BuildCommDCB() Failed with the following error: \n", 0) == 0,
           text);
    EXPECT(checks, text.size() > 9 && text.substr(text.size() - 9) == "\nPort: 5\n", text);
    EXPECT(checks, !boxes[0].owned && boxes[0].icon, "");
  }
  KTXOpenError why{};
  EXPECT(checks, KTXGetOpenError(kBoxPort, &why) == KT_OK && why.reason == KTX_OPEN_SETUP_REFUSED,
         why.text);
  const std::string refused = "the device refused its set-up: BuildCommDCB() failed: ";
  EXPECT(checks, std::string(why.text).rfind(refused, 0) == 0 &&
                     std::string(why.device) == "\\\\.\\COM5",
         why.text);
  // On the application's thread: more than the transmit buffer holds. The
  // call returns once the box is dismissed, having queued nothing.
  EXPECT(checks, Open(nullptr, kBoxPort, 64) == KT_OK, "");
  device.Discard(kBoxPort);
  Bytes tooMuch(65, 0x42);
  EXPECT(checks, KTSendData(kBoxPort, tooMuch.data(), 65) == KT_OK, "");
  EXPECT(checks, watcher.WaitFor(2, 5000), "no box for a send too large");
  boxes = watcher.Boxes();
  if (boxes.size() >= 2) {
    const std::string text = Unix(boxes[1].text);
    EXPECT(checks, text.rfind("WARNING:  KTcomm: write buffer overflow 2 !!! Failed", 0) == 0, text);
    EXPECT(checks, text.size() > 9 && text.substr(text.size() - 9) == "\nPort: 5\n", text);
  }
  EXPECT(checks, device.Read(kBoxPort, 1, 300).empty(), "a refused send reached the line");
  KTClosePort(kBoxPort);
  // A box on the worker blocks that port alone: waits on other threads keep
  // their time-outs, sends still queue, and other ports go on.
  watcher.Hold();
  EXPECT(checks, Open(nullptr, kBoxPort, 2) == KT_OK, "");
  EXPECT(checks, Open(nullptr, kLinePort) == KT_OK, "");
  device.Write(kBoxPort, {0x00, 0x80, 0x04, 0x1A, 1, 2, 3});  // 3 bytes into 2
  EXPECT(checks, watcher.WaitFor(3, 5000), "no overflow box");
  uint8_t command, data[8];
  uint32_t length = sizeof data;
  auto start = Clock::now();
  EXPECT(checks, KTWaitForMessage(kBoxPort, 200, &command, data, &length) == KT_TIMED_OUT, "");
  EXPECT(checks, SecondsSince(start) < 3, "a wait froze behind the box");
  start = Clock::now();
  EXPECT(checks, KTSendData(kBoxPort, data, 1) == KT_OK && SecondsSince(start) < 1, "");
  device.Echo(kLinePort, true);
  static const uint8_t five[] = {0x05};
  length = sizeof data;
  EXPECT(checks, KTSendCommandAndWait(kLinePort, 0x10, five, 1, 5000, &command, data, &length) ==
                     KT_OK,
         "another port stopped behind the box");
  device.Echo(kLinePort, false);
  boxes = watcher.Boxes();
  if (boxes.size() >= 3) {
    EXPECT(checks, Unix(boxes[2].text).find("KTcomm: Incoming buffer overflow !!!") != std::string::npos,
           boxes[2].text);
  }
  watcher.Release();
  for (int i = 0; i < 300 && watcher.Showing() > 0; ++i) Sleep(10);
  EXPECT(checks, KTClosePort(kBoxPort) == 1, "");
}

void Hangup() {
  BoxWatcher watcher;
  EXPECT(checks, Open(nullptr, kHangupPort) == KT_OK, "");
  std::atomic<int> result{99};
  std::atomic<double> took{0};
  std::thread waiter([&] {
    uint8_t command, data[8];
    uint32_t length = sizeof data;
    auto start = Clock::now();
    result = KTWaitForMessage(kHangupPort, 1000, &command, data, &length);
    took = SecondsSince(start);
  });
  Sleep(100);
  device.Hangup(kHangupPort);
  waiter.join();
  EXPECT(checks, result == KT_TIMED_OUT && took >= 1.0 && took < 6, "");
  EXPECT(checks, watcher.WaitFor(1, 5000), "no box for the hang-up");
  Sleep(500);  // a second report would come meanwhile
  auto boxes = watcher.Boxes();
  EXPECT(checks, boxes.size() == 1, std::to_string(boxes.size()) + " boxes");
  if (!boxes.empty()) {
    EXPECT(checks, Unix(boxes[0].text).rfind("WARNING:  WaitCommEvent() Failed", 0) == 0, boxes[0].text);
  }
  // The port stays open, lost, with the box's text; the device fails what
  // is asked of it.
  KTXPortStatus status{};
  EXPECT(checks, KTXGetPortStatus(kHangupPort, &status) == KT_OK && status.open == 1 &&
                     status.lost == 1 && status.reports == 1,
         std::to_string(status.lost) + " " + std::to_string(status.reports));
  if (!boxes.empty()) {
    const std::string report = status.lastReport;
    EXPECT(checks, Unix(boxes[0].text) == Unix(report) &&
                       report.rfind("WARNING:  WaitCommEvent() Failed", 0) == 0,
           status.lastReport);
  }
  uint32_t lines = 0;
  EXPECT(checks, KTXGetModemLines(kHangupPort, &lines) == KTX_DEVICE_FAILED, "");
  EXPECT(checks, KTXSendBreak(kHangupPort, 10) == KTX_DEVICE_FAILED, "");
  auto start = Clock::now();
  EXPECT(checks, KTClosePort(kHangupPort) == 1 && SecondsSince(start) < 3, "");
  EXPECT(checks, KTXGetPortStatus(kHangupPort, &status) == KT_OK && status.open == 0, "");
}

int RunChild(std::string command);

// Tries to open a port another process holds; the reason found, plus 20
// for a wrong text or device, 40 for a holder named.
int TryOpen(int port) {
  if (Open(nullptr, port) == KT_OK) return 99;
  KTXOpenError why{};
  if (KTXGetOpenError(port, &why) != KT_OK) return 98;
  int code = why.reason;
  if (std::string(why.text) != "in use by another program" ||
      std::string(why.device) != "\\\\.\\COM" + std::to_string(port)) {
    code += 20;
  }
  if (why.holderPid != 0) code += 40;
  return code;
}

// The extension calls on COM ports: why opens failed, modem lines and break
// on a pty (which has neither, as on Linux), and the ports present.
void ExtensionCalls(const char* self) {
  KTXOpenError why{};
  EXPECT(checks, Open(nullptr, kUnmappedPort) == KT_OPEN_FAILED, "");
  EXPECT(checks, KTXGetOpenError(kUnmappedPort, &why) == KT_OK &&
                     why.reason == KTX_OPEN_NO_DEVICE &&
                     why.holderPid == 0 && why.systemError != 0 && why.truncated == 0,
         why.text);
  EXPECT(checks, std::string(why.device) == "\\\\.\\COM7", why.device);
  EXPECT(checks, Open(nullptr, kFilePort) == KT_OPEN_FAILED, "");
  EXPECT(checks, KTXGetOpenError(kFilePort, &why) == KT_OK && why.reason == KTX_OPEN_NOT_SERIAL,
         why.text);
  // Another process cannot have a port this one holds.
  EXPECT(checks, Open(nullptr, kLinePort) == KT_OK, "");
  int code = RunChild(std::string("\"") + self + "\" --try-open " + std::to_string(kLinePort));
  EXPECT(checks, code == KTX_OPEN_IN_USE, "child's code " + std::to_string(code));

  device.Discard(kLinePort);
  uint32_t lines = 0x5A5A;
  EXPECT(checks, KTXGetModemLines(kLinePort, &lines) == KTX_NOT_SUPPORTED && lines == 0x5A5A, "");
  auto start = Clock::now();
  EXPECT(checks, KTXSendBreak(kLinePort, 2000) == KTX_NOT_SUPPORTED && SecondsSince(start) < 1, "");
  EXPECT(checks, device.Read(kLinePort, 1, 200).empty(), "a refused break reached the line");
  KTClosePort(kLinePort);

  KTXDevice found[16];
  uint32_t count = 0;
  std::memset(found, 0x7F, sizeof found);
  EXPECT(checks, KTXListDevices(found, 3, &count) == KT_TOO_SMALL && count >= 10,
         std::to_string(count));
  EXPECT(checks, std::string(found[0].path) == "\\\\.\\COM1" &&
                     std::string(found[2].path) == "\\\\.\\COM3" && found[2].usb == 0 &&
                     found[2].manufacturer[0] == '\0' && found[2].truncated == 0,
         found[0].path);
  EXPECT(checks, static_cast<unsigned char>(found[3].path[0]) == 0x7F, "wrote past the capacity");
  if (count <= 16) {
    EXPECT(checks, KTXListDevices(found, 16, &count) == KT_OK, "");
    EXPECT(checks, std::string(found[9].path) == "\\\\.\\COM10" &&
                       std::string(found[9].tty).rfind("\\Device\\", 0) == 0,
           found[9].tty);
  }
}

std::string ReadFileText(const std::string& path) {
  std::string all;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[512];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) all.append(buffer, got);
    std::fclose(file);
  }
  return all;
}

// Runs this program again with other arguments; its exit code, or -1.
int RunChild(std::string command) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -1;
  }
  DWORD code = 1;
  if (WaitForSingleObject(process.hProcess, 30000) == WAIT_TIMEOUT) {
    TerminateProcess(process.hProcess, 99);
  }
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return static_cast<int>(code);
}

// A program that ends with a port still open: the library's unload closes
// it. Returns the exit code.
int ExitWithPortOpen(int port) {
  if (Open(nullptr, port) != KT_OK) return 1;
  static const uint8_t five[] = {0x05};
  if (KTSendCommand(port, 0x10, 1, five) != KT_OK) return 2;
  uint8_t command, data[8];
  uint32_t length = sizeof data;
  if (KTWaitForMessage(port, 100, &command, data, &length) != KT_TIMED_OUT) return 3;
  return 0;
}

void ExitWithAPortOpen(const char* self) {
  std::string command = std::string("\"") + self + "\" --exit-open " + std::to_string(kSecondPort);
  auto start = Clock::now();
  int code = RunChild(command);
  EXPECT(checks, code == 0, "exit code " + std::to_string(code));
  EXPECT(checks, SecondsSince(start) < 10, "the exit took " + std::to_string(SecondsSince(start)));
  // The port is free again for the next program.
  EXPECT(checks, Open(nullptr, kSecondPort) == KT_OK, "");
  KTClosePort(kSecondPort);
}

// The log is a file: a name that is a device is refused at once, and the
// device stays free.
void LogNeverTakesADevice() {
  EXPECT(checks, KTSetLogFileName("COM3") == 1, "");
  for (const char* mode : {"w", "a"}) {
    auto start = Clock::now();
    EXPECT(checks, KTEnableLogging(1, mode) == 0, mode);
    EXPECT(checks, SecondsSince(start) < 2, "");
  }
  EXPECT(checks, Open(nullptr, kSecondPort) == KT_OK, "the log took COM3");
  KTClosePort(kSecondPort);
}

void TrafficLog(const char* self, const std::string& linuxLogPath) {
  std::string linux = ReadFileText(linuxLogPath);
  if (!EXPECT(checks, !linux.empty(), "no Linux log at " + linuxLogPath)) return;
  device.Echo(kLogPort, true);
  char folder[MAX_PATH];
  GetTempPathA(sizeof folder, folder);
  std::string path = std::string(folder) + "ktcomm_windows_session.log";
  // Text mode writes each line end as CR LF; binary mode as the Linux one.
  std::string crlf;
  for (char c : linux) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const char* mode : {"w", "wb"}) {
    DeleteFileA(path.c_str());
    // In a process of its own: logging, once on, stays on.
    int code = RunChild(std::string("\"") + self + "\" --log-session \"" + path + "\" " + mode +
                        " " + std::to_string(kLogPort));
    EXPECT(checks, code == 0, std::string("session in mode ") + mode + " failed at step " +
                                 std::to_string(code));
    std::string windows = ReadFileText(path);
    EXPECT(checks, windows == (mode[1] == 'b' ? linux : crlf),
           std::string("mode ") + mode + ":\n" + windows);
  }
  DeleteFileA(path.c_str());
  device.Echo(kLogPort, false);
}

}  // namespace
}  // namespace ktcomm::wintest

int main(int argc, char** argv) {
  using namespace ktcomm::wintest;
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc == 5 && std::string(argv[1]) == "--log-session") {
    return RunLogSession(argv[2], argv[3], std::atoi(argv[4]));
  }
  if (argc == 3 && std::string(argv[1]) == "--exit-open") return ExitWithPortOpen(std::atoi(argv[2]));
  if (argc == 3 && std::string(argv[1]) == "--try-open") return TryOpen(std::atoi(argv[2]));
  std::string linuxLog;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--linux-log") linuxLog = argv[i + 1];
  }
  if (!device.Connect(ControlPort(argc, argv))) {
    std::printf("no device side: run with --control PORT of tests/windows/pty_device.py\n");
    std::printf("0 passed, 1 failed\n");
    return 1;
  }
  checks.Run("exports", Exports);
  checks.Run("version text", VersionText);
  checks.Run("result codes", ResultCodes);
  checks.Run("line settings on the pty", LineSettings);
  checks.Run("command frames byte-exact", FramesOnTheLine);
  checks.Run("frames in a message loop", FramesInAMessageLoop);
  checks.Run("waiting calls and time-outs", WaitingCalls);
  checks.Run("close during a wait", CloseDuringAWait);
  checks.Run("error boxes", ErrorBoxes);
  checks.Run("extension calls", [&] { ExtensionCalls(argv[0]); });
  checks.Run("hang-up", Hangup);
  checks.Run("exit with a port open", [&] { ExitWithAPortOpen(argv[0]); });
  if (!linuxLog.empty()) checks.Run("traffic log as on Linux", [&] { TrafficLog(argv[0], linuxLog); });
  checks.Run("the log never takes a device", LogNeverTakesADevice);  // last: it names a log
  for (int port = 1; port <= 10; ++port) KTClosePort(port);
  return checks.Summary();
}
