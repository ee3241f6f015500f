// The extension on real drivers: the modem lines through the 16550's
// loopback, where DTR, RTS, OUT1 and OUT2 come back as DSR, CTS, RI and DCD;
// a break as the UART's break condition; and the device list and the
// adapter's modem lines and break under ftdi_sio.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <thread>

#include "api/ktcomm_ext.h"
#include "tests/uart/uart_lane.h"

// The UART's extra outputs and its loopback bit of TIOCMSET; the kernel's
// termios header has them, glibc's may not.
#ifndef TIOCM_OUT1
#define TIOCM_OUT1 0x2000
#endif
#ifndef TIOCM_OUT2
#define TIOCM_OUT2 0x4000
#endif
#ifndef TIOCM_LOOP
#define TIOCM_LOOP 0x8000
#endif

namespace ktcomm::uart {
namespace {

constexpr uint8_t kLcrBreak = 0x40;
constexpr uint32_t kBreakMs = 300;

// "CTS+DSR" for the bits set.
std::string Lines(uint32_t lines) {
  std::string text;
  const char* names[] = {"CTS", "DSR", "DCD", "RI", "DTR", "RTS"};
  for (int bit = 0; bit < 6; ++bit) {
    if (lines & (1u << bit)) text += (text.empty() ? "" : "+") + std::string(names[bit]);
  }
  return text.empty() ? "none" : text;
}

// Every level of DTR, RTS, OUT1 and OUT2, set from a second descriptor with
// the loopback on, read back through the port.
void CheckModemLinesInLoopback(const Options& options, Report& report) {
  const std::string name = "modem lines through the UART's loopback";
  ControlFd control(DevicePath(options.uartPort));
  RecordingWindow window;
  if (!control.Ok() || !control.SetLoopback(true)) {
    report.Fail(9, name, "no loopback on this device");
    return;
  }
  if (KTOpenPort(&window, options.uartPort, 64, 256, 115200, 'N', 8, 1, 1) != 0) {
    report.Fail(9, name, "KTOpenPort failed");
    return;
  }
  std::vector<std::string> problems;
  for (int levels = 0; levels < 16; ++levels) {
    bool dtr = levels & 1, rts = levels & 2, out1 = levels & 4, out2 = levels & 8;
    int bits = TIOCM_LOOP | (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0) |
               (out1 ? TIOCM_OUT1 : 0) | (out2 ? TIOCM_OUT2 : 0);
    if (!control.SetModemBits(bits)) {
      problems.push_back("TIOCMSET " + std::to_string(levels) + " refused");
      continue;
    }
    uint32_t lines = 0;
    int result = KTXGetModemLines(options.uartPort, &lines);
    uint32_t expected = (rts ? KTX_LINE_CTS : 0) | (dtr ? KTX_LINE_DSR : 0) |
                        (out2 ? KTX_LINE_DCD : 0) | (out1 ? KTX_LINE_RI : 0) |
                        (dtr ? KTX_LINE_DTR : 0) | (rts ? KTX_LINE_RTS : 0);
    if (result != 0) {
      problems.push_back("KTXGetModemLines returned " + std::to_string(result));
    } else if (lines != expected) {
      problems.push_back("DTR " + std::to_string(dtr) + " RTS " + std::to_string(rts) +
                         " OUT1 " + std::to_string(out1) + " OUT2 " + std::to_string(out2) +
                         ": read " + Lines(lines) + ", expected " + Lines(expected));
    }
  }
  // The driver raises OUT2 to let the UART interrupt; give it back.
  control.SetModemBits(TIOCM_LOOP | TIOCM_DTR | TIOCM_RTS | TIOCM_OUT2);
  // The port still exchanges frames through the loopback afterwards.
  const unsigned char probe[] = {0x42};
  unsigned char command = 0, data[8];
  uint32_t length = sizeof data;
  if (KTSendCommandAndWait(options.uartPort, 0x1A, probe, 1, 2000, &command, data, &length) != 0) {
    problems.push_back("no round trip after the modem lines changed");
  }
  for (const auto& alert : window.alerts()) problems.push_back("alert: " + alert);
  KTClosePort(options.uartPort);
  report.Verdict(9, name, problems,
                 "16 levels of DTR, RTS, OUT1, OUT2 read back as DSR, CTS, RI, DCD");
}

// The break condition is the LCR's break bit, set for the break's length
// and cleared after it; where the registers cannot be read, its length.
void CheckBreak(const Options& options, Report& report) {
  const std::string name = "a break holds the UART's break condition for its length";
  std::string path = DevicePath(options.uartPort);
  ControlFd control(path);
  Uart16550 registers(0);
  bool readable = false;
  unsigned long io = control.Ok() ? control.IoPort() : 0;
  if (io != 0 && io < 0x10000 && geteuid() == 0) {
    registers = Uart16550(static_cast<unsigned>(io));
    readable = registers.Enable();
  }
  control.SetLoopback(true);  // nothing of the break leaves the machine
  RecordingWindow window;
  if (KTOpenPort(&window, options.uartPort, 64, 256, 9600, 'N', 8, 1, 1) != 0) {
    report.Fail(10, name, "KTOpenPort failed");
    return;
  }
  std::vector<std::string> problems;
  if (readable && (registers.Lcr() & kLcrBreak)) problems.push_back("break set before the call");
  int64_t start = NowMs();
  auto sending = std::async(std::launch::async, [&] {
    return KTXSendBreak(options.uartPort, kBreakMs);
  });
  int samples = 0, seen = 0;
  while (sending.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready &&
         NowMs() - start < 5000) {
    if (!readable) continue;
    samples += 1;
    if (registers.Lcr() & kLcrBreak) seen += 1;
  }
  int result = sending.get();
  int64_t took = NowMs() - start;
  if (result != 0) problems.push_back("KTXSendBreak returned " + std::to_string(result));
  if (took < kBreakMs || took > kBreakMs + 1000) {
    problems.push_back("the call took " + std::to_string(took) + " ms");
  }
  if (readable && seen == 0) problems.push_back("LCR break bit never seen in " +
                                                std::to_string(samples) + " samples");
  if (readable && (registers.Lcr() & kLcrBreak)) problems.push_back("break still set after");
  if (KTXSendBreak(options.uartPort, 0) != KTX_BAD_ARGUMENT) problems.push_back("0 ms accepted");
  for (const auto& alert : window.alerts()) problems.push_back("alert: " + alert);
  KTClosePort(options.uartPort);
  control.SetLoopback(false);
  char detail[128];
  if (readable) {
    std::snprintf(detail, sizeof detail, "%u ms break, LCR break bit in %d of %d samples, %lld ms",
                  kBreakMs, seen, samples, static_cast<long long>(took));
  } else {
    std::snprintf(detail, sizeof detail, "%u ms break took %lld ms (no register access)", kBreakMs,
                  static_cast<long long>(took));
  }
  report.Verdict(10, name, problems, detail);
}

// The list has the adapter with its USB ids and the UART with its type,
// and no ttyS line without a UART; the adapter has modem lines and sends a
// break.
void CheckListAndAdapter(const Options& options, Report& report) {
  const std::string name = "device list, and the adapter's modem lines and break";
  std::vector<KTXDevice> devices(32);
  uint32_t count = 0;
  std::vector<std::string> problems;
  int listed = KTXListDevices(devices.data(), static_cast<uint32_t>(devices.size()), &count);
  if (listed != 0) problems.push_back("KTXListDevices returned " + std::to_string(listed));
  devices.resize(listed == 0 ? count : 0);
  std::string uart = DevicePath(options.uartPort), usb = DevicePath(options.usbPort);
  std::string found;
  bool uartListed = false, usbListed = false;
  for (const KTXDevice& device : devices) {
    found += std::string(found.empty() ? "" : ", ") + device.path;
    if (device.tty == uart) uartListed = device.uartType != 0 && !device.usb;
    if (device.tty == usb) {
      char ids[16];
      std::snprintf(ids, sizeof ids, "%04x:%04x", device.vendorId, device.productId);
      found += std::string(" ") + ids + " \"" + device.product + "\"";
      usbListed = device.usb && device.vendorId == 0x0403 && device.productId == 0x6001;
    }
    // The 8250 driver registers lines without a UART behind them.
    if (!device.usb && device.uartType == 0) {
      problems.push_back(std::string(device.path) + " listed without a UART");
    }
  }
  if (options.uart && !uartListed) problems.push_back(uart + " not listed as a UART");
  if (options.usb && !usbListed) problems.push_back(usb + " not listed with FTDI's ids");

  if (options.usb) {
    RecordingWindow window;
    if (KTOpenPort(&window, options.usbPort, 64, 256, 115200, 'N', 8, 1, 1) != 0) {
      problems.push_back("KTOpenPort on the adapter failed");
    } else {
      uint32_t lines = 0;
      int result = KTXGetModemLines(options.usbPort, &lines);
      if (result != 0) problems.push_back("adapter modem lines: " + std::to_string(result));
      if (result == 0 && !(lines & KTX_LINE_DTR)) problems.push_back("DTR low on an open adapter");
      result = KTXSendBreak(options.usbPort, 50);
      if (result != 0) problems.push_back("adapter break: " + std::to_string(result));
      for (const auto& alert : window.alerts()) problems.push_back("alert: " + alert);
      KTClosePort(options.usbPort);
    }
  }
  report.Verdict(11, name, problems, "listed: " + found);
}

}  // namespace

void RunExtChecks(const Options& options, Report& report) {
  if (options.uart) {
    CheckModemLinesInLoopback(options, report);
    CheckBreak(options, report);
  }
  CheckListAndAdapter(options, report);
}

}  // namespace ktcomm::uart
