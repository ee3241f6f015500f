// The real-driver checks: the library on a 16550A under the 8250 driver and
// on a USB serial adapter under ftdi_sio, through the exported functions only.
// The QEMU lane (scripts/run-uart-tests.sh) runs them as root in a guest; on a
// desk they run against the devices KTCOMM_COM<n> names, skipping what needs
// register access or a host that answers.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/recording_window.h"

namespace ktcomm::uart {

using test::Posted;
using test::RecordingWindow;

// One line per check, and the count at the end.
class Report {
 public:
  void Pass(int number, const std::string& name, const std::string& detail);
  void Fail(int number, const std::string& name, const std::string& detail);
  void Skip(int number, const std::string& name, const std::string& why);
  // Something seen on the way that is not what a check judges.
  void Note(int number, const std::string& text);
  // Pass when `problems` is empty, else Fail with the first few of them.
  void Verdict(int number, const std::string& name, const std::vector<std::string>& problems,
               const std::string& detail);
  int failed() const { return failedCount; }
  void Summary() const;

 private:
  int passedCount = 0;
  int failedCount = 0;
  int skippedCount = 0;
};

// What the guest tells the host and waits for, over the console: a line
// "@@<what>" out, a line "go" back. Without a host nothing is asked.
class Host {
 public:
  explicit Host(bool present) : present(present) {}
  bool Present() const { return present; }
  // False when the host did not answer within timeoutMs.
  bool Ask(const std::string& what, int timeoutMs);

 private:
  bool present;
};

// A second descriptor on the port's device, for what the library does not
// offer: the UART's loopback, modem lines as the driver sees them, the output
// queue, the driver's serial_struct. It keeps the tty open between the
// library's opens, so that the loopback stays set.
class ControlFd {
 public:
  explicit ControlFd(const std::string& path);
  ~ControlFd();
  ControlFd(const ControlFd&) = delete;
  ControlFd& operator=(const ControlFd&) = delete;

  bool Ok() const { return fd >= 0; }
  bool SetLoopback(bool on);
  // Drives RTS as the far end's flow control would see it (in loopback,
  // CTS follows).
  bool SetRts(bool on);
  // Sets every modem-control output at once (TIOCMSET), loopback included.
  bool SetModemBits(int bits);
  int ModemBits();        // TIOCM_* bits, -1 on failure
  int OutputQueue();      // bytes not yet sent, -1 on failure
  bool HardwareHandshake();  // CRTSCTS in the termios
  // The I/O port of a UART; 0 when the driver does not say (not a UART).
  unsigned long IoPort();

 private:
  int fd = -1;
};

// Register access to the 16550 at a fixed I/O port (ioperm + inb/outb):
// root only, and only where the device really is that UART.
class Uart16550 {
 public:
  explicit Uart16550(unsigned base) : base(base) {}
  bool Enable();  // ioperm; false when not permitted
  uint8_t Lcr();
  uint8_t Mcr();
  // Sets DLAB for the two reads and restores the LCR: call with the port idle.
  uint16_t Divisor();

 private:
  unsigned base;
};

// The device a port number opens, as the library resolves it.
std::string DevicePath(int port);

// How many of the texts contain `part`.
size_t CountContaining(const std::vector<std::string>& texts, const std::string& part);

// Microseconds of CPU this process has used, user and system.
int64_t ProcessCpuMicros();
int64_t NowMs();

// Protocol 1 command frame 00 80 <len+1> <cmd> <data...>, and protocol 2
// frame 1B F3 <len lo> <len hi> <cmd> <data...> (len counts the command).
std::vector<uint8_t> Protocol1Frame(uint8_t command, const std::vector<uint8_t>& data);
std::vector<uint8_t> Protocol2Frame(uint8_t command, const std::vector<uint8_t>& data);
std::string Hex(const std::vector<uint8_t>& bytes);
// The line as the driver keeps it: its termios, data bits and output rate
// (0 where not one of the usual rates).
bool ReadTermios(const std::string& path, termios* tio);
int DataBitsOf(const termios& tio);
uint32_t BaudOf(const termios& tio);  // "00 80 02 " as the traffic log writes
std::vector<uint8_t> Pattern(size_t size, uint32_t seed);

struct Options {
  int uartPort = 2;   // KTCOMM_COM2=/dev/ttyS1 in the lane
  int usbPort = 3;    // KTCOMM_COM3=/dev/ttyUSB0
  bool uart = true;
  bool usb = true;
  Host host{false};
  std::string scratch = "/tmp";  // for the traffic log
};

void RunUartChecks(const Options& options, Report& report);
void RunUsbChecks(const Options& options, Report& report);
// The extension: modem lines and break on the UART, the list and the adapter.
void RunExtChecks(const Options& options, Report& report);

}  // namespace ktcomm::uart
