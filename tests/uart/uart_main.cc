// The real-driver checks' entry point and their shared helpers.
//
//   ktcomm_uart_checks [--uart-port N] [--usb-port N] [--no-uart] [--no-usb]
//                      [--host] [--scratch DIR]
//
// --host: a host drives the other end through the console (the QEMU lane);
// without it the checks that need one are skipped.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define KTCOMM_PORT_IO 1
#endif
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/uart/uart_lane.h"

// The UART's loopback bit of TIOCMSET/TIOCMBIS; the kernel's termios header
// has it, glibc's does not.
#ifndef TIOCM_LOOP
#define TIOCM_LOOP 0x8000
#endif

namespace ktcomm::uart {

void Report::Pass(int number, const std::string& name, const std::string& detail) {
  passedCount += 1;
  std::printf("ok    %d %s: %s\n", number, name.c_str(), detail.c_str());
  std::fflush(stdout);
}

void Report::Fail(int number, const std::string& name, const std::string& detail) {
  failedCount += 1;
  std::printf("FAIL  %d %s: %s\n", number, name.c_str(), detail.c_str());
  std::fflush(stdout);
}

void Report::Skip(int number, const std::string& name, const std::string& why) {
  skippedCount += 1;
  std::printf("skip  %d %s: %s\n", number, name.c_str(), why.c_str());
  std::fflush(stdout);
}

void Report::Note(int number, const std::string& text) {
  std::printf("note  %d %s\n", number, text.c_str());
  std::fflush(stdout);
}

void Report::Verdict(int number, const std::string& name,
                     const std::vector<std::string>& problems, const std::string& detail) {
  if (problems.empty()) {
    Pass(number, name, detail);
    return;
  }
  std::string text = std::to_string(problems.size()) + " problem(s): ";
  for (size_t i = 0; i < problems.size() && i < 4; ++i) text += (i ? "; " : "") + problems[i];
  Fail(number, name, text);
}

void Report::Summary() const {
  std::printf("%d passed, %d failed, %d skipped\n", passedCount, failedCount, skippedCount);
  std::fflush(stdout);
}

bool Host::Ask(const std::string& what, int timeoutMs) {
  if (!present) return false;
  std::printf("@@%s\n", what.c_str());
  std::fflush(stdout);
  int64_t deadline = NowMs() + timeoutMs;
  std::string line;
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd pfd{0, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
    char c;
    if (read(0, &c, 1) != 1) return false;
    if (c == '\r') continue;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line == "go") return true;
    line.clear();  // anything else (an echo, noise) is not the answer
  }
}

ControlFd::ControlFd(const std::string& path)
    : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}

ControlFd::~ControlFd() {
  if (fd >= 0) close(fd);
}

bool ControlFd::SetLoopback(bool on) {
  int bits = TIOCM_LOOP;
  return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

bool ControlFd::SetRts(bool on) {
  int bits = TIOCM_RTS;
  return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

bool ControlFd::SetModemBits(int bits) { return ioctl(fd, TIOCMSET, &bits) == 0; }

int ControlFd::ModemBits() {
  int bits = 0;
  return ioctl(fd, TIOCMGET, &bits) == 0 ? bits : -1;
}

int ControlFd::OutputQueue() {
  int count = 0;
  return ioctl(fd, TIOCOUTQ, &count) == 0 ? count : -1;
}

bool ControlFd::HardwareHandshake() {
  termios tio{};
  return tcgetattr(fd, &tio) == 0 && (tio.c_cflag & CRTSCTS) != 0;
}

unsigned long ControlFd::IoPort() {
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) != 0) return 0;
  return info.port;
}

#ifdef KTCOMM_PORT_IO
bool Uart16550::Enable() { return ioperm(base, 8, 1) == 0; }

uint8_t Uart16550::Lcr() { return inb(base + 3); }

uint8_t Uart16550::Mcr() { return inb(base + 4); }

uint16_t Uart16550::Divisor() {
  uint8_t lcr = inb(base + 3);
  outb(lcr | 0x80, base + 3);
  uint16_t divisor = static_cast<uint16_t>(inb(base) | inb(base + 1) << 8);
  outb(lcr, base + 3);
  return divisor;
}
#else
// No I/O port instructions here: the checks fall back to the termios.
bool Uart16550::Enable() { return false; }
uint8_t Uart16550::Lcr() { return 0; }
uint8_t Uart16550::Mcr() { return 0; }
uint16_t Uart16550::Divisor() { return 0; }
#endif

size_t CountContaining(const std::vector<std::string>& texts, const std::string& part) {
  size_t count = 0;
  for (const auto& text : texts) count += text.find(part) != std::string::npos;
  return count;
}

std::string DevicePath(int port) {
  std::string variable = "KTCOMM_COM" + std::to_string(port);
  const char* mapped = std::getenv(variable.c_str());
  if (mapped != nullptr && *mapped != '\0') return mapped;
  return "/dev/ttyS" + std::to_string(port - 1);
}

int64_t ProcessCpuMicros() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto micros = [](const timeval& tv) { return int64_t{tv.tv_sec} * 1000000 + tv.tv_usec; };
  return micros(usage.ru_utime) + micros(usage.ru_stime);
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::vector<uint8_t> Protocol1Frame(uint8_t command, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> frame = {0x00, 0x80, static_cast<uint8_t>(data.size() + 1), command};
  frame.insert(frame.end(), data.begin(), data.end());
  return frame;
}

std::vector<uint8_t> Protocol2Frame(uint8_t command, const std::vector<uint8_t>& data) {
  size_t length = data.size() + 1;
  std::vector<uint8_t> frame = {0x1B, 0xF3, static_cast<uint8_t>(length & 0xFF),
                                static_cast<uint8_t>(length >> 8), command};
  frame.insert(frame.end(), data.begin(), data.end());
  return frame;
}

bool ReadTermios(const std::string& path, termios* tio) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = tcgetattr(fd, tio) == 0;
  close(fd);
  return ok;
}

int DataBitsOf(const termios& tio) {
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  for (int bits = 5; bits <= 8; ++bits) {
    if ((tio.c_cflag & CSIZE) == kSizes[bits - 5]) return bits;
  }
  return 0;
}

uint32_t BaudOf(const termios& tio) {
  static const std::pair<speed_t, uint32_t> kSpeeds[] = {
      {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
      {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
      {B38400, 38400},   {B57600, 57600},   {B115200, 115200}, {B230400, 230400},
      {B460800, 460800}, {B921600, 921600}};
  for (auto [code, rate] : kSpeeds) {
    if (cfgetospeed(&tio) == code) return rate;
  }
  return 0;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : bytes) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0F];
    text += ' ';
  }
  return text;
}

// Deterministic bytes that avoid both protocols' lead bytes, so that a
// payload never looks like the start of a frame.
std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(0x20 + (state >> 16) % 0x5F);
  }
  return bytes;
}

}  // namespace ktcomm::uart

int main(int argc, char** argv) {
  using namespace ktcomm::uart;
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--uart-port") {
      options.uartPort = std::atoi(next());
    } else if (arg == "--usb-port") {
      options.usbPort = std::atoi(next());
    } else if (arg == "--no-uart") {
      options.uart = false;
    } else if (arg == "--no-usb") {
      options.usb = false;
    } else if (arg == "--host") {
      options.host = Host(true);
    } else if (arg == "--scratch") {
      options.scratch = next();
    } else {
      std::fprintf(stderr, "usage: %s [--uart-port N] [--usb-port N] [--no-uart] [--no-usb] "
                   "[--host] [--scratch DIR]\n", argv[0]);
      return 2;
    }
  }
  Report report;
  if (options.uart) RunUartChecks(options, report);
  if (options.usb) RunUsbChecks(options, report);
  RunExtChecks(options, report);
  report.Summary();
  return report.failed() == 0 ? 0 : 1;
}
