// Checks on a 16550A under the 8250 driver: line settings and modem lines at
// the registers, request and response through the UART's own loopback, an
// idle port's CPU, and output that must leave the UART whole.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "api/ktcomm.h"
#include "tests/uart/uart_lane.h"

namespace ktcomm::uart {
namespace {

constexpr int kRates[] = {300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr uint32_t kKeep = 0xFFFFFFFF;

std::string Definition(int baud, int parity, int dataBits, int stopBits) {
  char text[64];
  std::snprintf(text, sizeof text, "%d %c%d%d", baud, parity > 0x20 ? parity : '?', dataBits,
                stopBits);
  return text;
}

// The UART under test: the library's port, a second descriptor on its device
// and, where allowed, its registers.
struct Bench {
  const Options& options;
  int port;
  std::string path;
  ControlFd control;
  Uart16550 registers;
  bool registersReadable = false;

  explicit Bench(const Options& options)
      : options(options),
        port(options.uartPort),
        path(DevicePath(options.uartPort)),
        control(path),
        registers(0) {
    unsigned long io = control.Ok() ? control.IoPort() : 0;
    if (io != 0 && io < 0x10000 && geteuid() == 0) {
      registers = Uart16550(static_cast<unsigned>(io));
      registersReadable = registers.Enable();
    }
  }

  // The modem control register's DTR and RTS, or the driver's view of them
  // where the registers cannot be read.
  std::pair<bool, bool> DtrRts() {
    if (registersReadable) {
      uint8_t mcr = registers.Mcr();
      return {(mcr & 0x01) != 0, (mcr & 0x02) != 0};
    }
    int bits = control.ModemBits();
    return {(bits & TIOCM_DTR) != 0, (bits & TIOCM_RTS) != 0};
  }
};

// What the LCR must hold for a definition; with parity off the even-parity
// bit is the driver's to choose, so `mask` leaves it out.
void ExpectedLcr(int parity, int dataBits, int stopBits, uint8_t* lcr, uint8_t* mask) {
  char p = static_cast<char>(std::toupper(parity));
  *lcr = static_cast<uint8_t>(dataBits - 5);
  if (stopBits == 2) *lcr |= 0x04;
  if (p != 'N') *lcr |= 0x08;
  if (p == 'E' || p == 'S') *lcr |= 0x10;
  if (p == 'M' || p == 'S') *lcr |= 0x20;
  *mask = p == 'N' ? 0xEF : 0xFF;
}

// What the termios must hold, checked where the registers cannot be read.
std::string TermiosMismatch(const std::string& path, int baud, int parity, int dataBits,
                            int stopBits) {
  termios tio{};
  if (!ReadTermios(path, &tio)) return " unreadable";
  char p = static_cast<char>(std::toupper(parity));
  tcflag_t parityBits = 0;
  if (p == 'E') parityBits = PARENB;
  if (p == 'O') parityBits = PARENB | PARODD;
  if (p == 'M') parityBits = PARENB | PARODD | CMSPAR;
  if (p == 'S') parityBits = PARENB | CMSPAR;
  std::string wrong;
  if (DataBitsOf(tio) != dataBits) wrong += " size";
  if (((tio.c_cflag & CSTOPB) != 0) != (stopBits == 2)) wrong += " stop";
  if ((tio.c_cflag & (PARENB | PARODD | CMSPAR)) != parityBits) wrong += " parity";
  if (BaudOf(tio) != static_cast<uint32_t>(baud)) wrong += " speed";
  return wrong;
}

void CheckLineDefinitions(Bench& bench, Report& report) {
  const std::string name = "line definitions at the LCR and divisor latch";
  RecordingWindow window;
  std::vector<std::string> problems;
  int opened = 0;
  for (int baud : kRates) {
    for (char parity : std::string("NEOMSneoms")) {
      for (int dataBits = 5; dataBits <= 8; ++dataBits) {
        for (int stopBits = 1; stopBits <= 2; ++stopBits) {
          std::string what = Definition(baud, parity, dataBits, stopBits);
          int result = KTOpenPort(&window, bench.port, 64, 256, baud, parity, dataBits,
                                  stopBits, 1);
          if (result != 0) {
            problems.push_back(what + ": KTOpenPort returned " + std::to_string(result));
            continue;
          }
          opened += 1;
          if (bench.registersReadable) {
            uint8_t lcr = bench.registers.Lcr();
            uint16_t divisor = bench.registers.Divisor();
            uint8_t expected, mask;
            ExpectedLcr(parity, dataBits, stopBits, &expected, &mask);
            char text[96];
            if ((lcr & mask) != expected) {
              std::snprintf(text, sizeof text, "%s: LCR %02X, expected %02X", what.c_str(), lcr,
                            expected);
              problems.push_back(text);
            }
            if (divisor != 115200 / baud) {
              std::snprintf(text, sizeof text, "%s: divisor %u, expected %d", what.c_str(),
                            divisor, 115200 / baud);
              problems.push_back(text);
            }
          } else {
            std::string wrong = TermiosMismatch(bench.path, baud, parity, dataBits, stopBits);
            if (!wrong.empty()) problems.push_back(what + ": termios" + wrong);
          }
          KTClosePort(bench.port);
        }
      }
    }
  }
  if (!window.alerts().empty()) problems.push_back("alert: " + window.alerts().front());
  report.Verdict(1, name, problems,
                 std::to_string(opened) + " definitions opened, " +
                     (bench.registersReadable ? "LCR and divisor read at the UART"
                                              : "termios checked (no register access)"));
}

void CheckRefusedDefinitions(Bench& bench, Report& report) {
  struct Refused {
    int baud, parity, dataBits, stopBits;
  };
  const Refused refused[] = {{9600, 'X', 8, 1}, {9600, 0, 8, 1},   {9600, 'N', 4, 1},
                             {9600, 'N', 9, 1}, {9600, 'N', 8, 0}, {9600, 'N', 8, 3},
                             {0, 'N', 8, 1},    {-9600, 'N', 8, 1}};
  std::vector<std::string> problems;
  for (const Refused& r : refused) {
    RecordingWindow window;
    std::string what = Definition(r.baud, r.parity, r.dataBits, r.stopBits);
    int result = KTOpenPort(&window, bench.port, 64, 256, r.baud, r.parity, r.dataBits,
                            r.stopBits, 1);
    auto alerts = window.alerts();
    if (result != 3) problems.push_back(what + ": KTOpenPort returned " + std::to_string(result));
    if (alerts.size() != 1 || CountContaining(alerts, "BuildCommDCB()") != 1) {
      problems.push_back(what + ": " + std::to_string(alerts.size()) +
                         " alerts, none or more than one naming BuildCommDCB()");
    }
    unsigned char byte = 0;
    if (KTSendData(bench.port, &byte, 1) != 5) problems.push_back(what + ": port left open");
    KTClosePort(bench.port);
  }
  report.Verdict(1, "refused definitions", problems,
                 std::to_string(std::size(refused)) + " refused with 3 and one BuildCommDCB() report");
}

void CheckModemLines(Bench& bench, Report& report) {
  const std::string name = "DTR/RTS modes at the MCR";
  RecordingWindow window;
  if (KTOpenPort(&window, bench.port, 64, 256, 9600, 'N', 8, 1, 1) != 0) {
    report.Fail(2, name, "KTOpenPort failed");
    return;
  }
  struct Step {
    uint32_t dtr, rts;
    bool dtrOn, rtsOn;
  };
  const Step steps[] = {{0, 0, false, false},       {1, kKeep, true, false},
                        {kKeep, 1, true, true},     {0, kKeep, false, true},
                        {kKeep, 0, false, false},   {1, 1, true, true},
                        {kKeep, kKeep, true, true}, {0, 1, false, true},
                        {1, 0, true, false}};
  std::vector<std::string> problems;
  auto label = [](uint32_t mode) { return mode == kKeep ? std::string("keep") : std::to_string(mode); };
  for (const Step& step : steps) {
    std::string what = "DTR " + label(step.dtr) + ", RTS " + label(step.rts);
    if (KTSetFlowControl(bench.port, step.dtr, step.rts) == 0) {
      problems.push_back(what + ": refused");
      continue;
    }
    auto [dtr, rts] = bench.DtrRts();
    if (dtr != step.dtrOn || rts != step.rtsOn) {
      problems.push_back(what + ": DTR " + std::to_string(dtr) + " RTS " + std::to_string(rts));
    }
    if (bench.control.HardwareHandshake()) problems.push_back(what + ": CRTSCTS on");
  }
  // The handshake mode: CRTSCTS on, DTR kept, RTS raised so the peer may send.
  for (bool dtrBefore : {true, false}) {
    KTSetFlowControl(bench.port, dtrBefore ? 1 : 0, 1);
    std::string what = std::string("RTS 2 after DTR ") + (dtrBefore ? "1" : "0");
    if (KTSetFlowControl(bench.port, kKeep, 2) == 0) {
      problems.push_back(what + ": refused");
      continue;
    }
    auto [dtr, rts] = bench.DtrRts();
    if (!bench.control.HardwareHandshake()) problems.push_back(what + ": CRTSCTS off");
    if (dtr != dtrBefore) problems.push_back(what + ": DTR changed");
    if (!rts) problems.push_back(what + ": RTS low");
    KTSetFlowControl(bench.port, kKeep, 1);
    if (bench.control.HardwareHandshake()) problems.push_back(what + ": CRTSCTS kept by RTS 1");
  }
  // From RTS off, the handshake mode leaves RTS as it was: shown, not judged,
  // as a peer that honours the handshake then never sends.
  KTSetFlowControl(bench.port, kKeep, 0);
  KTSetFlowControl(bench.port, kKeep, 2);
  if (!bench.DtrRts().second) {
    report.Note(2, "RTS 2 after RTS 0 keeps RTS low: a peer that honours the handshake never sends");
  }
  KTSetFlowControl(bench.port, kKeep, 1);
  // DTR handshake is refused and leaves the lines as they were.
  KTSetFlowControl(bench.port, 1, 0);
  if (KTSetFlowControl(bench.port, 2, kKeep) != 0) problems.push_back("DTR 2: accepted");
  auto [dtr, rts] = bench.DtrRts();
  if (!dtr || rts) problems.push_back("DTR 2: lines changed");
  KTClosePort(bench.port);
  report.Verdict(2, name, problems,
                 std::string("0, 1, keep for DTR and RTS, RTS 2, DTR 2 refused; ") +
                     (bench.registersReadable ? "read at the MCR" : "read with TIOCMGET"));
}

// In the UART's loopback CTS follows RTS: with RTS low and the handshake on,
// nothing may leave; switching the handshake off lets it go.
void CheckHandshakeHolds(Bench& bench, Report& report) {
  const std::string name = "RTS handshake holds output while CTS is low";
  RecordingWindow window;
  if (!bench.control.SetLoopback(true)) {
    report.Skip(2, name, "no loopback on this device");
    return;
  }
  if (KTOpenPort(&window, bench.port, 64, 256, 115200, 'N', 8, 1, 1) != 0) {
    report.Fail(2, name, "KTOpenPort failed");
    return;
  }
  std::vector<std::string> problems;
  unsigned char command = 0, data[64];
  uint32_t length = sizeof data;
  const unsigned char probe[] = {0x01, 0x02};
  // The modes reach the UART's inputs: DSR follows DTR, CTS follows RTS.
  for (uint32_t level : {0u, 1u}) {
    KTSetFlowControl(bench.port, level, level);
    int bits = bench.control.ModemBits();
    if (((bits & TIOCM_DSR) != 0) != (level == 1) || ((bits & TIOCM_CTS) != 0) != (level == 1)) {
      problems.push_back("DTR/RTS " + std::to_string(level) + " not seen at DSR/CTS");
    }
  }
  // CTS high: the handshake lets a command through.
  KTSetFlowControl(bench.port, 1, 1);
  KTSetFlowControl(bench.port, kKeep, 2);
  if (KTSendCommandAndWait(bench.port, 0x1A, probe, 2, 2000, &command, data, &length) != 0) {
    problems.push_back("no answer with CTS high");
  }
  // Switching to the handshake from RTS off raises RTS: the receiver has room.
  KTSetFlowControl(bench.port, kKeep, 0);
  KTSetFlowControl(bench.port, kKeep, 2);
  if (!(bench.control.ModemBits() & TIOCM_CTS)) problems.push_back("RTS left low by the handshake");
  // CTS low (RTS dropped from outside, as a throttle would): held.
  bench.control.SetRts(false);
  if (bench.control.ModemBits() & TIOCM_CTS) problems.push_back("CTS high with RTS low");
  window.Clear();
  const unsigned char held[] = {0x11, 0x22, 0x33};
  KTSendCommand(bench.port, 0x1A, 3, held);
  if (window.WaitPosts(1, 700)) problems.push_back("a frame left while CTS was low");
  int queued = bench.control.OutputQueue();
  if (queued <= 0) problems.push_back("output queue " + std::to_string(queued) + " while held");
  // Handshake off: the held frame goes out and comes back.
  KTSetFlowControl(bench.port, kKeep, 1);
  if (!window.WaitPosts(1, 3000)) {
    problems.push_back("held frame not sent after the handshake went off");
  } else if (window.posts().front().data != std::vector<uint8_t>(held, held + 3)) {
    problems.push_back("held frame came back changed");
  }
  KTClosePort(bench.port);
  report.Verdict(2, name, problems,
                 "held " + std::to_string(queued) + " bytes with CTS low, sent once released");
}

// Round trips of `count` frames; problems collected.
void RoundTrips(int port, int protocol, int count, std::vector<std::string>* problems) {
  int wrong = 0;
  for (int i = 0; i < count && wrong < 5; ++i) {
    std::vector<uint8_t> data = Pattern(protocol == 1 ? 1 + i % 200 : i * 7 % 400, i);
    uint8_t sentCommand = protocol == 1 ? 0x1A : static_cast<uint8_t>(i * 13);
    unsigned char command = 0;
    std::vector<uint8_t> answer(512);
    uint32_t length = static_cast<uint32_t>(answer.size());
    int result;
    if (protocol == 1) {
      result = KTSendCommandAndWait(port, sentCommand, data.data(),
                                    static_cast<uint32_t>(data.size()), 2000, &command,
                                    answer.data(), &length);
    } else {
      auto frame = Protocol2Frame(sentCommand, data);
      result = KTSendDataAndWait(port, frame.data(), static_cast<uint32_t>(frame.size()), 2000,
                                 &command, answer.data(), &length);
    }
    answer.resize(result == 0 ? length : 0);
    if (result != 0 || command != sentCommand || answer != data) {
      wrong += 1;
      problems->push_back("protocol " + std::to_string(protocol) + " exchange " +
                          std::to_string(i) + ": result " + std::to_string(result) + ", " +
                          std::to_string(answer.size()) + " of " + std::to_string(data.size()) +
                          " bytes");
    }
  }
}

// Frames sent without waiting come back as notifications.
void Notifications(int port, int protocol, int count, RecordingWindow& window,
                   std::vector<std::string>* problems) {
  window.Clear();
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> data = Pattern(1 + i * 11 % 150, 1000 + i);
    uint8_t sentCommand = protocol == 1 ? 0x1A : static_cast<uint8_t>(0x40 + i);
    if (protocol == 1) {
      KTSendCommand(port, sentCommand, static_cast<uint32_t>(data.size()), data.data());
    } else {
      auto frame = Protocol2Frame(sentCommand, data);
      frame.push_back(0x00);  // a frame with data is posted when one more byte arrives
      KTSendData(port, frame.data(), static_cast<uint32_t>(frame.size()));
    }
    if (!window.WaitPosts(static_cast<size_t>(i + 1), 2000)) {
      problems->push_back("protocol " + std::to_string(protocol) + " notification " +
                          std::to_string(i) + " missing");
      return;
    }
    Posted post = window.posts().back();
    if (post.message != WM_PORT_MESSAGE || post.command() != sentCommand ||
        post.port() != port || post.data != data) {
      problems->push_back("protocol " + std::to_string(protocol) + " notification " +
                          std::to_string(i) + " wrong");
    }
  }
  if (window.posts().size() != static_cast<size_t>(count)) {
    problems->push_back("protocol " + std::to_string(protocol) + ": " +
                        std::to_string(window.posts().size()) + " notifications for " +
                        std::to_string(count) + " frames");
  }
}

// The traffic log of `count` loopback exchanges: each written frame, then the
// same bytes read back, nothing else.
void LoggedExchanges(int port, const std::string& logPath, int count,
                     std::vector<std::string>* problems) {
  std::vector<std::string> expected;
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> data = Pattern(5 + i, 2000 + i);
    unsigned char command = 0, answer[64];
    uint32_t length = sizeof answer;
    if (KTSendCommandAndWait(port, 0x1A, data.data(), static_cast<uint32_t>(data.size()), 2000,
                             &command, answer, &length) != 0) {
      problems->push_back("logged exchange " + std::to_string(i) + " failed");
    }
    std::string hex = Hex(Protocol1Frame(0x1A, data));
    expected.push_back("Writing: " + hex);
    expected.push_back("Reading: " + hex);
  }
  KTClosePort(port);
  std::ifstream in(logPath);
  std::stringstream text;
  text << in.rdbuf();
  std::vector<std::string> found;
  std::string line;
  while (std::getline(text, line)) {
    if (line.rfind("Writing: ", 0) == 0 || line.rfind("Reading: ", 0) == 0) found.push_back(line);
  }
  if (found != expected) {
    size_t first = 0;
    while (first < found.size() && first < expected.size() && found[first] == expected[first]) {
      ++first;
    }
    problems->push_back("log differs from entry " + std::to_string(first) + " (" +
                        std::to_string(found.size()) + " entries, " +
                        std::to_string(expected.size()) + " expected)");
  }
  if (text.str().find("COM" + std::to_string(port) + " closed") == std::string::npos) {
    problems->push_back("log without its closing line");
  }
}

void CheckLoopbackExchanges(Bench& bench, Report& report) {
  const std::string name = "request/response through the UART in loopback";
  if (!bench.control.SetLoopback(true)) {
    report.Skip(3, name, "no loopback on this device");
    return;
  }
  RecordingWindow window;
  std::vector<std::string> problems;
  int64_t start = NowMs();
  if (KTOpenPort(&window, bench.port, 1024, 1024, 115200, 'N', 8, 1, 1) != 0) {
    report.Fail(3, name, "KTOpenPort failed");
    return;
  }
  RoundTrips(bench.port, 1, 500, &problems);
  int64_t protocol1Ms = NowMs() - start;
  Notifications(bench.port, 1, 20, window, &problems);
  if (KTOpenPort(&window, bench.port, 1024, 1024, 115200, 'N', 8, 1, 2) != 0) {
    report.Fail(3, name, "KTOpenPort (protocol 2) failed");
    return;
  }
  RoundTrips(bench.port, 2, 100, &problems);
  Notifications(bench.port, 2, 20, window, &problems);
  // Logging stays on for the rest of the process once switched on: last here.
  std::string logPath = bench.options.scratch + "/ktcomm_uart_traffic.log";
  KTOpenPort(&window, bench.port, 1024, 1024, 115200, 'N', 8, 1, 1);
  if (KTSetLogFileName(logPath.c_str()) == 0 || KTEnableLogging(1, "w") == 0) {
    problems.push_back("logging could not be switched on");
  }
  LoggedExchanges(bench.port, logPath, 30, &problems);
  for (const auto& alert : window.alerts()) problems.push_back("alert: " + alert);
  report.Verdict(3, name, problems,
                 "500 protocol 1 round trips in " + std::to_string(protocol1Ms) +
                     " ms, 100 protocol 2, 20+20 notifications, 30 logged exchanges");
}

void CheckIdleCpu(Bench& bench, Report& report) {
  const std::string name = "CPU of an open idle port";
  RecordingWindow window;
  bench.control.SetLoopback(true);
  if (KTOpenPort(&window, bench.port, 64, 256, 115200, 'N', 8, 1, 1) != 0) {
    report.Fail(5, name, "KTOpenPort failed");
    return;
  }
  int64_t before = ProcessCpuMicros();
  std::this_thread::sleep_for(std::chrono::seconds(2));  // the measured interval
  int64_t used = ProcessCpuMicros() - before;
  KTClosePort(bench.port);
  std::vector<std::string> problems;
  if (used > 20000) problems.push_back(std::to_string(used / 1000) + " ms of CPU in 2 s");
  report.Verdict(5, name, problems, std::to_string(used) + " us of CPU over 2 s");
}

// A send queued while an earlier, longer one is still leaving must not cut
// the earlier one short. The host stops reading the UART's far end, so that
// the first send's tail waits in the driver; then a second send is queued,
// the host reads everything and answers with a frame: 1A 01 when it got the
// first send whole and then the second whole, 1A 00 otherwise.
void CheckDrainBeforeNextWrite(Bench& bench, Report& report) {
  const std::string name = "a queued send waits for the earlier one to leave";
  if (!bench.options.host.Present()) {
    report.Skip(4, name, "needs a host that holds the far end (--host)");
    return;
  }
  bench.control.SetLoopback(false);
  RecordingWindow window;
  if (KTOpenPort(&window, bench.port, 8192, 256, 115200, 'N', 8, 1, 1) != 0) {
    report.Fail(4, name, "KTOpenPort failed");
    return;
  }
  std::vector<std::string> problems;
  Host host = bench.options.host;
  if (!host.Ask("drain-hold", 10000)) problems.push_back("host did not hold the line");
  std::vector<uint8_t> first = Pattern(6000, 4), second = Pattern(500, 5);
  KTSendData(bench.port, first.data(), static_cast<uint32_t>(first.size()));
  // The first send's tail waits in the driver once the far end stops taking it.
  int held = -1;
  for (int64_t deadline = NowMs() + 5000; NowMs() < deadline;) {
    int queued = bench.control.OutputQueue();
    if (queued > 0 && queued == held) break;
    held = queued;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  if (held <= 0) problems.push_back("the first send did not wait in the driver");
  // Queuing must not wait for the line: only the worker waits for it.
  auto queuing = std::async(std::launch::async, [&] {
    return KTSendData(bench.port, second.data(), static_cast<uint32_t>(second.size()));
  });
  if (queuing.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
    problems.push_back("KTSendData blocked while the earlier send was leaving");
  }
  // A purge would show at once as a queue holding only the second send.
  int after = held;
  for (int64_t deadline = NowMs() + 500; NowMs() < deadline && after == held;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    after = bench.control.OutputQueue();
  }
  window.Clear();
  if (!host.Ask("drain-read", 10000)) problems.push_back("host did not read");
  queuing.wait();  // returns once the host reads, if it had blocked
  if (!window.WaitPosts(1, 15000)) {
    problems.push_back("no verdict from the host");
  } else {
    Posted verdict = window.posts().front();
    if (verdict.command() != 0x1A || verdict.data != std::vector<uint8_t>{1}) {
      problems.push_back("the far end did not get the first send whole, then the second");
    }
  }
  KTClosePort(bench.port);
  report.Verdict(4, name, problems,
                 "6000 then 500 bytes reached the far end whole; " + std::to_string(held) +
                     " bytes were still queued when the second was sent");
  if (!problems.empty()) {
    std::printf("      queue: %d bytes of the first send held, %d after the second was queued\n",
                held, after);
  }
}

// The library asks the driver for low latency while the port is open and
// gives back the earlier setting at close.
void CheckLowLatencyFlag(Bench& bench, Report& report) {
  const std::string name = "low latency while open, earlier setting after close (8250)";
  auto flag = [&]() {
    serial_struct info{};
    int fd = open(bench.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    bool on = fd >= 0 && ioctl(fd, TIOCGSERIAL, &info) == 0 && (info.flags & ASYNC_LOW_LATENCY);
    if (fd >= 0) close(fd);
    return on;
  };
  std::vector<std::string> problems;
  bool before = flag();
  RecordingWindow window;
  if (KTOpenPort(&window, bench.port, 64, 256, 9600, 'N', 8, 1, 1) != 0) {
    report.Fail(8, name, "KTOpenPort failed");
    return;
  }
  if (!flag()) problems.push_back("ASYNC_LOW_LATENCY off while open");
  KTClosePort(bench.port);
  if (flag() != before) problems.push_back("setting not restored at close");
  report.Verdict(8, name, problems, std::string("was ") + (before ? "on" : "off") +
                                        ", on while open, restored");
}

// A rate the UART cannot make (its clock gives 115200 at most) is one the
// driver would quietly replace: the open is refused at "SetCommState()".
void CheckUnmadeRateRefused(Bench& bench, Report& report) {
  RecordingWindow window;
  int result = KTOpenPort(&window, bench.port, 64, 256, 230400, 'N', 8, 1, 1);
  std::vector<std::string> problems;
  if (result != 3) problems.push_back("KTOpenPort at 230400 returned " + std::to_string(result));
  auto alerts = window.alerts();
  if (alerts.size() != 1 || alerts[0].find("SetCommState()") == std::string::npos) {
    problems.push_back("expected one SetCommState() report, got " +
                       std::to_string(alerts.size()));
  }
  KTClosePort(bench.port);
  report.Verdict(1, "unmade rate refused", problems, "230400 refused with SetCommState()");
}

}  // namespace

void RunUartChecks(const Options& options, Report& report) {
  Bench bench(options);
  if (!bench.control.Ok()) {
    report.Fail(1, "16550 checks", bench.path + " cannot be opened");
    return;
  }
  CheckLineDefinitions(bench, report);
  CheckRefusedDefinitions(bench, report);
  CheckModemLines(bench, report);
  CheckHandshakeHolds(bench, report);
  CheckLoopbackExchanges(bench, report);
  CheckDrainBeforeNextWrite(bench, report);
  CheckIdleCpu(bench, report);
  CheckLowLatencyFlag(bench, report);
  CheckUnmadeRateRefused(bench, report);
  bench.control.SetLoopback(false);
}

}  // namespace ktcomm::uart
