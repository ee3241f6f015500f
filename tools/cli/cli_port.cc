#include "tools/cli/cli_port.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ktcomm_ext.h"
#include "tools/common/hex.h"

namespace ktcomm::cli {
namespace {

// The library's error texts span lines; a tool says each in one.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

}  // namespace

int ExitCodeFor(int result) {
  switch (result) {
    case KT_OK: return kExitOk;
    case KT_TIMED_OUT: return kExitTimedOut;
    case KT_OPEN_FAILED: return kExitOpenFailed;
    case KT_NOT_OPEN: return kExitNotOpen;
    case KT_TOO_SMALL: return kExitSize;
    case KT_BAD_PORT: return kExitBadPort;
    default: return kExitFailed;
  }
}

std::string DevicePath(int port) {
  std::string name = "KTCOMM_COM" + std::to_string(port);
  const char* device = std::getenv(name.c_str());
  if (device != nullptr && *device != '\0') return device;
  return "/dev/ttyS" + std::to_string(port - 1);
}

std::string DescribeFrame(uint8_t command, const std::vector<uint8_t>& data) {
  char head[32];
  std::snprintf(head, sizeof head, "cmd=%02x len=%zu data=", command, data.size());
  return head + hex::Format(data);
}

Port::Port() : receiver{{&Port::Post, &Port::Alert}, this} {
  framesEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  hangUpEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Port::~Port() {
  // The worker has stopped once KTClosePort returns; nothing posts after it.
  if (number != 0) KTClosePort(number);
  if (framesEvent >= 0) close(framesEvent);
  if (hangUpEvent >= 0) close(hangUpEvent);
}

int Port::OpenQuietly() {
  hungUp = false;
  uint64_t count;
  (void)!read(hangUpEvent, &count, sizeof count);
  opening = true;
  int result =
      KTOpenPort(&receiver.window, options.port, options.txSize, options.rxSize, options.baud,
                 options.parity, options.dataBits, options.stopBits, options.protocol);
  opening = false;
  if (result == KT_OK) number = options.port;
  return result;
}

int Port::Open(const LineOptions& lineOptions) {
  options = lineOptions;
  if (framesEvent < 0 || hangUpEvent < 0) {
    std::perror("ktcomm: eventfd");
    return kExitFailed;
  }
  if (!options.device.empty()) {
    std::string name = "KTCOMM_COM" + std::to_string(options.port);
    setenv(name.c_str(), options.device.c_str(), 1);
  }
  if (!options.logFile.empty()) {
    // Opening it now finds an unwritable file before the port is opened.
    if (!KTSetLogFileName(options.logFile.c_str()) || !KTEnableLogging(1, "a")) {
      std::fprintf(stderr, "ktcomm: cannot write the log file %s\n", options.logFile.c_str());
      return kExitFailed;
    }
  }
  int result = OpenQuietly();
  switch (result) {
    case KT_OK: return kExitOk;
    case KT_BAD_PORT:
      std::fprintf(stderr, "ktcomm: %d is not a port number (1 to 10)\n", options.port);
      break;
    case KT_TOO_SMALL:
      std::fprintf(stderr, "ktcomm: --tx-size must be at least 4 and --rx-size at least 0\n");
      break;
    default: {
      std::string device = DevicePath(options.port);
      std::string why = "the device refused the line settings or did not answer";
      KTXOpenError failure;
      if (KTXGetOpenError(options.port, &failure) == KT_OK && failure.reason != KTX_OPEN_OK) {
        if (failure.device[0] != '\0') device = failure.device;
        why = failure.text;
        if (failure.reason == KTX_OPEN_NO_DEVICE) {
          why += " (ktcomm list shows the devices there are)";
        }
      }
      std::fprintf(stderr, "ktcomm: cannot open port %d on %s: %s\n", options.port,
                   device.c_str(), why.c_str());
      break;
    }
  }
  return ExitCodeFor(result);
}

bool Port::Reopen() {
  if (number != 0) KTClosePort(number);
  number = 0;
  return OpenQuietly() == KT_OK;
}

std::vector<ReceivedFrame> Port::TakeFrames() {
  uint64_t count;
  // Read before taking, so that a frame posted in between wakes poll again.
  (void)!read(framesEvent, &count, sizeof count);
  std::lock_guard<std::mutex> hold(lock);
  std::vector<ReceivedFrame> taken(std::make_move_iterator(frames.begin()),
                                   std::make_move_iterator(frames.end()));
  frames.clear();
  return taken;
}

std::vector<std::string> Port::TakeAlerts() {
  std::lock_guard<std::mutex> hold(lock);
  std::vector<std::string> taken = std::move(heldAlerts);
  heldAlerts.clear();
  return taken;
}

// Runs on the port's worker. The data lives in the port's buffer only until
// the next frame, so it is copied here.
void Port::Post(KTWindow* window, uint32_t message, uint32_t wParam, uintptr_t lParam) {
  if (message != WM_PORT_MESSAGE) return;
  Port* port = reinterpret_cast<Receiver*>(window)->port;
  ReceivedFrame frame;
  frame.when = std::chrono::system_clock::now();
  frame.command = static_cast<uint8_t>(wParam & 0xFF);
  frame.port = static_cast<int>((wParam >> 8) & 0xFF);
  size_t length = wParam >> 16;
  if (lParam != 0) {
    const auto* data = reinterpret_cast<const uint8_t*>(lParam);
    frame.data.assign(data, data + length);
  }
  {
    std::lock_guard<std::mutex> hold(port->lock);
    port->frames.push_back(std::move(frame));
  }
  port->Wake();
}

// Runs on the port's worker, or on the opening thread during KTOpenPort.
void Port::Alert(KTWindow* window, const char* caption, const char* text) {
  Port* port = reinterpret_cast<Receiver*>(window)->port;
  std::string line = OneLine(std::string(caption) + ": " + text);
  // The library counts the port as lost before it reports why: the device
  // hung up or its server closed the connection. The port delivers nothing
  // more until it is reopened.
  KTXPortStatus status;
  bool hangUp = KTXGetPortStatus(port->options.port, &status) == KT_OK && status.lost &&
                !port->hungUp.exchange(true);
  // The open's own reports: the tool says why in its words once it fails.
  if (port->opening && !hangUp) return;
  port->errors += 1;
  if (port->holdAlerts) {
    std::lock_guard<std::mutex> hold(port->lock);
    port->heldAlerts.push_back(line);
  } else {
    std::fprintf(stderr, "ktcomm: %s\n", line.c_str());
  }
  if (hangUp) {
    uint64_t one = 1;
    (void)!write(port->hangUpEvent, &one, sizeof one);
  }
  if (hangUp || port->holdAlerts) port->Wake();
}

void Port::Wake() {
  uint64_t one = 1;
  (void)!write(framesEvent, &one, sizeof one);
}

HangUpGuard::HangUpGuard(Port& port, int stopFd) {
  stopEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // Without its event the guard cannot be stopped, so it does not start;
  // the call then ends at its time-out as the library's own would.
  if (stopEvent < 0) return;
  int number = port.Number();
  int hangUp = port.HangUpFd();
  watcher = std::thread([this, number, hangUp, stopFd] {
    std::array<pollfd, 3> fds = {
        {{stopEvent, POLLIN, 0}, {hangUp, POLLIN, 0}, {stopFd, POLLIN, 0}}};
    while (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno != EINTR) return;
    }
    if (fds[0].revents & POLLIN) return;
    closed = true;
    KTClosePort(number);
  });
}

HangUpGuard::~HangUpGuard() {
  if (watcher.joinable()) {
    uint64_t one = 1;
    (void)!write(stopEvent, &one, sizeof one);
    watcher.join();
  }
  if (stopEvent >= 0) close(stopEvent);
}

}  // namespace ktcomm::cli
