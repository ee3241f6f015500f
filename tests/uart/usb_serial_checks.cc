// Checks on a USB serial adapter (ftdi_sio in the lane): open, line settings
// and round trips through a far end that echoes, the latency timer while
// open, and the adapter unplugged under an open port and a waiting call.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

#include "api/ktcomm.h"
#include "tests/uart/uart_lane.h"

namespace ktcomm::uart {
namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

bool WaitForDevice(const std::string& path, bool present, int timeoutMs) {
  for (int64_t deadline = NowMs() + timeoutMs; NowMs() < deadline;) {
    if (Exists(path) == present) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return Exists(path) == present;
}

// The adapter's latency_timer in sysfs; empty where there is none.
std::string LatencyTimerPath(const std::string& device) {
  char resolved[PATH_MAX];
  if (realpath(device.c_str(), resolved) == nullptr) return "";
  std::string name = resolved;
  name = name.substr(name.rfind('/') + 1);
  std::string path = "/sys/bus/usb-serial/devices/" + name + "/latency_timer";
  return Exists(path) ? path : "";
}

int ReadNumber(const std::string& path) {
  std::ifstream in(path);
  int value = -1;
  in >> value;
  return value;
}

// `count` protocol 1 round trips through the far end; problems collected.
void EchoRoundTrips(int port, int count, std::vector<std::string>* problems) {
  int wrong = 0;
  for (int i = 0; i < count && wrong < 3; ++i) {
    std::vector<uint8_t> data = Pattern(1 + i * 37 % 250, 3000 + i);
    unsigned char command = 0;
    std::vector<uint8_t> answer(512);
    uint32_t length = static_cast<uint32_t>(answer.size());
    int result = KTSendCommandAndWait(port, 0x1A, data.data(), static_cast<uint32_t>(data.size()),
                                      3000, &command, answer.data(), &length);
    answer.resize(result == 0 ? length : 0);
    if (result != 0 || command != 0x1A || answer != data) {
      wrong += 1;
      problems->push_back("round trip " + std::to_string(i) + ": result " +
                          std::to_string(result));
    }
  }
}

void CheckOpenLineRoundTrip(int port, const std::string& path, Report& report) {
  const std::string name = "open, line settings and round trips on " + path;
  std::vector<std::string> problems;
  RecordingWindow window;
  // ftdi_sio takes 7 and 8 data bits only.
  struct Line {
    int baud, parity, dataBits, stopBits;
    speed_t speed;
    tcflag_t cflag;
  };
  const Line lines[] = {{9600, 'E', 7, 1, B9600, CS7 | PARENB},
                        {19200, 'o', 8, 2, B19200, CS8 | PARENB | PARODD | CSTOPB},
                        {57600, 'M', 8, 1, B57600, CS8 | PARENB | PARODD | CMSPAR},
                        {115200, 'N', 8, 1, B115200, CS8}};
  for (const Line& line : lines) {
    if (KTOpenPort(&window, port, 512, 512, line.baud, line.parity, line.dataBits, line.stopBits,
                   1) != 0) {
      problems.push_back("open at " + std::to_string(line.baud) + " failed");
      continue;
    }
    termios tio{};
    if (!ReadTermios(path, &tio)) {
      problems.push_back("termios unreadable");
    } else if (cfgetospeed(&tio) != line.speed ||
               (tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)) != line.cflag) {
      problems.push_back("line at " + std::to_string(line.baud) + " not as asked");
    }
    EchoRoundTrips(port, 10, &problems);
  }
  EchoRoundTrips(port, 40, &problems);
  KTClosePort(port);
  for (const auto& alert : window.alerts()) problems.push_back("alert: " + alert);
  report.Verdict(6, name, problems, "4 line settings, 80 round trips through the far end");
}

// ftdi_sio takes 7 and 8 data bits only and keeps the earlier size for
// others: shown, not judged.
void NoteUnmadeDataBits(int port, const std::string& path, Report& report) {
  RecordingWindow window;
  for (int asked : {5, 6}) {
    int result = KTOpenPort(&window, port, 64, 256, 9600, 'N', asked, 1, 1);
    termios tio{};
    if (result == 0 && ReadTermios(path, &tio) && DataBitsOf(tio) != asked) {
      report.Note(6, "KTOpenPort with " + std::to_string(asked) + " data bits returned 0; "
                     "the driver kept " + std::to_string(DataBitsOf(tio)));
    }
    KTClosePort(port);
  }
}

void CheckLatencyTimer(int port, const std::string& path, Report& report) {
  const std::string name = "latency_timer 1 while open, earlier value after close";
  std::string timer = LatencyTimerPath(path);
  if (timer.empty()) {
    report.Skip(8, name, "no latency_timer for " + path);
    return;
  }
  std::vector<std::string> problems;
  // The driver's default, which the emulated adapter may not report.
  { std::ofstream(timer) << 16; }
  int before = ReadNumber(timer);
  RecordingWindow window;
  if (KTOpenPort(&window, port, 64, 256, 115200, 'N', 8, 1, 1) != 0) {
    report.Fail(8, name, "KTOpenPort failed");
    return;
  }
  int open = ReadNumber(timer);
  KTClosePort(port);
  int after = ReadNumber(timer);
  if (open != 1) problems.push_back("latency_timer " + std::to_string(open) + " while open");
  if (after != before) {
    problems.push_back("latency_timer " + std::to_string(after) + " after close, " +
                       std::to_string(before) + " before");
  }
  report.Verdict(8, name, problems,
                 std::to_string(before) + " -> " + std::to_string(open) + " -> " +
                     std::to_string(after));
}

// The host unplugs the adapter while the port is open and a waiting call runs,
// then plugs it in again once the port is closed.
void CheckUnplug(const Options& options, const std::string& path, Report& report) {
  const std::string name = "unplugged while open and waiting, then plugged in again";
  if (!options.host.Present()) {
    report.Skip(7, name, "needs a host that unplugs the adapter (--host)");
    return;
  }
  Host host = options.host;
  int port = options.usbPort;
  std::vector<std::string> problems;
  RecordingWindow window;
  if (KTOpenPort(&window, port, 64, 256, 115200, 'N', 8, 1, 1) != 0) {
    report.Fail(7, name, "KTOpenPort failed");
    return;
  }
  constexpr int kWaitMs = 4000;
  int64_t waitStart = NowMs();
  auto waiting = std::async(std::launch::async, [port] {
    unsigned char command = 0, data[64];
    uint32_t length = sizeof data;
    int result = KTWaitForMessage(port, kWaitMs, &command, data, &length);
    return std::make_pair(result, NowMs());
  });
  if (!host.Ask("unplug", 15000)) problems.push_back("host did not unplug");
  if (!WaitForDevice(path, false, 5000)) problems.push_back(path + " still there");
  if (!window.WaitAlerts(1, 3000)) problems.push_back("no report of the hang-up");
  if (waiting.wait_for(std::chrono::milliseconds(kWaitMs + 3000)) != std::future_status::ready) {
    problems.push_back("waiting call did not return");
    KTClosePort(port);
    report.Verdict(7, name, problems, "");
    waiting.wait();
    return;
  }
  auto [result, end] = waiting.get();
  int64_t waitedMs = end - waitStart;
  if (result != -1) problems.push_back("waiting call returned " + std::to_string(result));
  if (waitedMs < kWaitMs - 50 || waitedMs > kWaitMs + 1000) {
    problems.push_back("waiting call returned after " + std::to_string(waitedMs) + " ms");
  }
  int64_t cpuBefore = ProcessCpuMicros();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // the measured interval
  int64_t cpuUsed = ProcessCpuMicros() - cpuBefore;
  if (cpuUsed > 20000) problems.push_back(std::to_string(cpuUsed / 1000) + " ms CPU in 1 s");
  auto alerts = window.alerts();
  if (alerts.size() != 1 || CountContaining(alerts, "WaitCommEvent()") != 1) {
    problems.push_back(std::to_string(alerts.size()) + " reports, expected one WaitCommEvent()");
  }
  int64_t closeStart = NowMs();
  if (KTClosePort(port) != 1) problems.push_back("KTClosePort failed");
  int64_t closeMs = NowMs() - closeStart;
  if (closeMs > 500) problems.push_back("KTClosePort took " + std::to_string(closeMs) + " ms");

  if (!host.Ask("replug", 15000)) problems.push_back("host did not plug the adapter in");
  if (!WaitForDevice(path, true, 15000)) {
    problems.push_back(path + " did not come back");
  } else {
    window.Clear();
    // The device node appears before the driver has finished with it.
    int result = 3;
    for (int64_t deadline = NowMs() + 5000; result != 0 && NowMs() < deadline;) {
      result = KTOpenPort(&window, port, 512, 512, 115200, 'N', 8, 1, 1);
      if (result != 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (result != 0) {
      problems.push_back("reopen returned " + std::to_string(result));
    } else {
      EchoRoundTrips(port, 10, &problems);
      KTClosePort(port);
    }
  }
  report.Verdict(7, name, problems,
                 "one WaitCommEvent() report, wait returned -1 after " +
                     std::to_string(waitedMs) + " ms, " + std::to_string(cpuUsed) +
                     " us CPU in the next second, close in " + std::to_string(closeMs) +
                     " ms, reopened after re-plugging");
}

}  // namespace

void RunUsbChecks(const Options& options, Report& report) {
  std::string path = DevicePath(options.usbPort);
  if (!WaitForDevice(path, true, 15000)) {
    report.Fail(6, "USB serial checks", path + " did not appear");
    return;
  }
  CheckLatencyTimer(options.usbPort, path, report);
  CheckOpenLineRoundTrip(options.usbPort, path, report);
  NoteUnmadeDataBits(options.usbPort, path, report);
  CheckUnplug(options, path, report);
}

}  // namespace ktcomm::uart
