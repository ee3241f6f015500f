// The POSIX implementation of the platform seam: termios devices, eventfd
// events, poll-based waits.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "api/ktcomm.h"  // the KTWindow receiver, this platform's window
#include "platform/line_definition.h"
#include "platform/platform.h"
#include "platform/posix/baud_rates.h"
#include "platform/posix/custom_baud.h"
#include "platform/posix/modem_lines.h"
#include "platform/posix/open_diagnosis.h"
#include "platform/posix/posix_device.h"
#include "platform/posix/serial_devices.h"

namespace ktcomm::platform {
namespace {

// Drivers that hold received bytes back for a while (a USB adapter keeps
// them for its latency timer, 16 ms on FTDI chips) hand them on at once in
// low-latency mode. False, with nothing changed, where the driver has no
// serial_struct (ptys) or refuses the change; `wasOn` says whether it was on.
bool SetLowLatency(int fd, bool on, bool* wasOn) {
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
  *wasOn = (info.flags & ASYNC_LOW_LATENCY) != 0;
  if (*wasOn == on) return true;
  info.flags = on ? info.flags | ASYNC_LOW_LATENCY : info.flags & ~ASYNC_LOW_LATENCY;
  return ioctl(fd, TIOCSSERIAL, &info) == 0;
}

// Raw: no echo, no line editing, no translation, no software flow control;
// receiver on and modem-control lines ignored, so an open never waits for
// carrier. Hardware flow control starts off; it is a flow-control mode.
// The read timeouts are SetTimeouts' to set.
void MakeRaw(termios* tio) {
  tio->c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                    IXANY | INPCK | IUCLC | IMAXBEL);
  tio->c_oflag &= ~OPOST;
  tio->c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  tio->c_cflag |= CLOCAL | CREAD;
  tio->c_cflag &= ~CRTSCTS;
}

void ApplyParity(char parity, termios* tio) {
  tio->c_cflag &= ~(PARENB | PARODD | CMSPAR);
  switch (parity) {
    case 'E': tio->c_cflag |= PARENB; break;
    case 'O': tio->c_cflag |= PARENB | PARODD; break;
    case 'M': tio->c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 'S': tio->c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
}

int ModemLine(int fd, int bit, bool on) {
  int bits = bit;
  if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0) return errno;
  return 0;
}

// Switches RS-485 direction control on (RTS asserted while sending) or off.
// Off needs nothing on a driver without RS-485, or with it already off.
int SetRs485(int fd, bool on) {
  serial_rs485 rs485{};
  if (ioctl(fd, TIOCGRS485, &rs485) != 0) return on ? errno : 0;
  if (on) {
    rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    rs485.flags &= ~SER_RS485_RTS_AFTER_SEND;
  } else {
    if (!(rs485.flags & SER_RS485_ENABLED)) return 0;
    rs485.flags &= ~SER_RS485_ENABLED;
  }
  if (ioctl(fd, TIOCSRS485, &rs485) != 0) return errno;
  return 0;
}

int ApplyControls(int fd, const LineState& line) {
  switch (line.dtrControl) {
    case kKeepControl: break;
    case 0:
    case 1:
      if (int err = ModemLine(fd, TIOCM_DTR, line.dtrControl == 1)) return err;
      break;
    default: return EINVAL;  // no DTR handshake on this platform
  }
  switch (line.rtsControl) {
    case kKeepControl: break;
    case 0:
    case 1:
      if (int err = SetRs485(fd, false)) return err;
      if (int err = ModemLine(fd, TIOCM_RTS, line.rtsControl == 1)) return err;
      break;
    case 2:  // CRTSCTS went with the termios
      if (int err = SetRs485(fd, false)) return err;
      // The handshake starts with room to receive: a line left low by mode
      // 0 would keep the peer silent until the driver first throttled. A
      // device without modem lines has nothing to raise.
      ModemLine(fd, TIOCM_RTS, true);
      break;
    case 3:
      if (int err = SetRs485(fd, true)) return err;
      break;
    default: return EINVAL;
  }
  return 0;
}

// What SetLine may change, read before it changes anything, so that a part
// the driver refuses undoes the parts already applied.
struct SavedLine {
  termios tio{};
  uint32_t baud = 0;  // the exact rate, for a line on a custom one
  bool haveModem = false;
  int modem = 0;
  bool haveRs485 = false;
  serial_rs485 rs485{};
};

int SaveLine(int fd, SavedLine* saved) {
  if (tcgetattr(fd, &saved->tio) != 0) return errno;
  if (OutputBaud(fd, &saved->baud) != 0) saved->baud = 0;
  saved->haveModem = ioctl(fd, TIOCMGET, &saved->modem) == 0;
  saved->haveRs485 = ioctl(fd, TIOCGRS485, &saved->rs485) == 0;
  return 0;
}

void RestoreLine(int fd, const SavedLine& saved) {
  tcsetattr(fd, TCSANOW, &saved.tio);
  if (RateOf(cfgetospeed(&saved.tio)) == 0 && saved.baud != 0) SetCustomBaud(fd, saved.baud);
  if (saved.haveRs485) ioctl(fd, TIOCSRS485, &saved.rs485);
  if (saved.haveModem) {
    ModemLine(fd, TIOCM_DTR, (saved.modem & TIOCM_DTR) != 0);
    ModemLine(fd, TIOCM_RTS, (saved.modem & TIOCM_RTS) != 0);
  }
}

// How long `count` bytes take to leave at the line's rate, start, parity
// and stop bits included. A rate that cannot be read counts as slow.
std::chrono::nanoseconds SendTime(int fd, size_t count) {
  int bits = 10;
  termios tio;
  if (tcgetattr(fd, &tio) == 0) {
    static constexpr int kDataBits[] = {5, 6, 7, 8};
    bits = 1 + kDataBits[(tio.c_cflag & CSIZE) >> 4] + (tio.c_cflag & PARENB ? 1 : 0) +
           (tio.c_cflag & CSTOPB ? 2 : 1);
  }
  uint32_t baud = 0;
  if (OutputBaud(fd, &baud) != 0 || baud == 0) baud = 300;
  return std::chrono::nanoseconds(static_cast<int64_t>(count) * bits * 1000000000 / baud);
}

// A driver that cannot run the line at the rate asked falls back to
// another one and still reports success; read back, the rate tells.
int CheckRate(int fd, uint32_t asked) {
  uint32_t running = 0;
  if (asked == 0 || OutputBaud(fd, &running) != 0) return 0;
  return running == asked ? 0 : EINVAL;
}

// Bytes written but not yet sent; 0 for a device that has no such queue.
size_t OutputQueue(int fd) {
  int queued = 0;
  if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return static_cast<size_t>(queued);
}

// Remaining time of a deadline as a timespec for ppoll; null waits forever.
const timespec* Remaining(std::chrono::steady_clock::time_point deadline, bool forever,
                          timespec* ts) {
  if (forever) return nullptr;
  auto left = deadline - std::chrono::steady_clock::now();
  if (left < std::chrono::nanoseconds(0)) left = std::chrono::nanoseconds(0);
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  ts->tv_sec = ns / 1000000000;
  ts->tv_nsec = ns % 1000000000;
  return ts;
}

// epoll_wait to a deadline as exact as ppoll's, where the kernel has it;
// else in milliseconds, rounded up so that the wait never ends early.
int WaitUntil(int poller, epoll_event* events, int count, const timespec* left) {
  static std::atomic<bool> precise{true};
  if (precise.load(std::memory_order_relaxed)) {
    int n = epoll_pwait2(poller, events, count, left, nullptr);
    if (n >= 0 || errno != ENOSYS) return n;
    precise = false;
  }
  int ms = -1;
  if (left != nullptr) {
    ms = static_cast<int>(std::min<long long>(left->tv_sec * 1000LL + (left->tv_nsec + 999999) / 1000000,
                                              1 << 30));
  }
  return epoll_wait(poller, events, count, ms);
}

// Sets an eventfd, and takes its count back.
void Signal(int eventFd) {
  uint64_t one = 1;
  while (::write(eventFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Consume(int eventFd) {
  uint64_t value;
  while (::read(eventFd, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

// Adds fd to an epoll set, to report readiness as `id`. An exclusive watch
// is woken only when no exclusive watch added before it took the wake-up,
// which one does when a thread waits on its set.
int Watch(int poller, int fd, Work id, uint32_t exclusive = 0) {
  epoll_event event{};
  event.events = EPOLLIN | exclusive;
  event.data.u32 = static_cast<uint32_t>(id);
  return epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event) == 0 ? 0 : errno;
}

// A pseudo-terminal passes what is written straight to its other side: it
// has no output queue, and asking for one would cost a system call per write.
bool IsPseudoTerminal(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  unsigned int kind = major(st.st_rdev);
  return (kind >= 136 && kind <= 143) || kind == 3;  // Unix 98 slaves; the old BSD ones
}

// Output still leaving the port may finish while it keeps moving, for a
// few seconds at most; a line that stopped (its handshake held low) is
// cut off at once. The kernel would otherwise hold the close for as long
// as half a minute.
void DrainBeforeClose(int fd) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kStalled = std::chrono::milliseconds(250);
  constexpr auto kLongest = std::chrono::seconds(5);
  auto start = Clock::now();
  auto moved = start;
  size_t last = 0;
  for (size_t queued = OutputQueue(fd); queued > 0; queued = OutputQueue(fd)) {
    auto now = Clock::now();
    if (queued != last) moved = now;
    if (now - moved > kStalled || now - start > kLongest) {
      tcflush(fd, TCOFLUSH);
      return;
    }
    last = queued;
    auto pause = std::clamp<std::chrono::nanoseconds>(SendTime(fd, queued),
                                                      std::chrono::milliseconds(1),
                                                      std::chrono::milliseconds(50));
    std::this_thread::sleep_for(pause);
  }
}

class PosixPlatform final : public Platform {
 public:
  // Port n is the device named by KTCOMM_COM<n>, else /dev/ttyS<n-1>. The
  // path is used whole: names under /dev/serial/by-id run long.
  std::string DevicePath(int portNumber) override {
    std::string variable = "KTCOMM_COM" + std::to_string(portNumber);
    const char* mapped = std::getenv(variable.c_str());
    if (mapped != nullptr && *mapped != '\0') return mapped;
    return "/dev/ttyS" + std::to_string(portNumber - 1);
  }

  // Read-write, non-blocking, no controlling terminal, close-on-exec,
  // TIOCEXCL and a non-blocking flock.
  int OpenDevice(const std::string& path, DeviceRef* device) override {
    int opened = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (opened < 0) return errno;
    ioctl(opened, TIOCEXCL);  // not a tty: the configuration will say so
    // TIOCEXCL does not stop a privileged opener, nor a second open from
    // this process; the flock is what keeps a second opener of this device out.
    if (flock(opened, LOCK_EX | LOCK_NB) != 0) {
      int err = errno == EWOULDBLOCK ? EBUSY : errno;
      ::close(opened);
      return err;
    }
    auto* made = new (std::nothrow) Device(opened);
    if (made == nullptr) {
      ::close(opened);
      return ENOMEM;
    }
    // Low latency by default; a driver without it is no open failure.
    bool wasOn = true;
    made->lowLatencySet = SetLowLatency(opened, true, &wasOn) && !wasOn;
    made->queueless = IsPseudoTerminal(opened);
    *device = made;
    return 0;
  }

  void CloseDevice(DeviceRef device) override {
    if (device == nullptr) return;
    const int fd = device->fd;
    bool wasOn;
    if (device->lowLatencySet) SetLowLatency(fd, false, &wasOn);
    DrainBeforeClose(fd);
    ioctl(fd, TIOCNXCL);  // the flag outlives our descriptor on some ttys
    ::close(fd);
    delete device;
  }

  int SetTimeouts(DeviceRef device) override {
    const int fd = device->fd;
    termios tio;
    if (tcgetattr(fd, &tio) != 0) return errno;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return errno;
    return 0;
  }

  int GetLine(DeviceRef device, LineState* line) override {
    LineState read;
    if (tcgetattr(device->fd, &read.native.tio) != 0) return errno;
    // BuildLine makes the termios raw again, which drops CRTSCTS: report the
    // handshake as the RTS mode, so that a caller keeping RTS keeps it.
    if (read.native.tio.c_cflag & CRTSCTS) read.rtsControl = 2;
    *line = read;
    return 0;
  }

  int BuildLine(const std::string& lineDef, LineState* line) override {
    auto settings = ParseLineDefinition(lineDef);
    if (!settings) return EINVAL;
    termios tio = line->native.tio;
    uint32_t custom = line->native.baud;
    MakeRaw(&tio);
    if (settings->baud) {
      custom = 0;
      speed_t code = B0;
      for (const Rate& rate : kRates) {
        if (rate.baud == *settings->baud) code = rate.code;
      }
      if (code == B0) {
        custom = *settings->baud;
        code = B38400;  // placeholder until termios2 sets the exact rate
      }
      cfsetispeed(&tio, code);
      cfsetospeed(&tio, code);
    }
    if (settings->parity) ApplyParity(*settings->parity, &tio);
    if (settings->dataBits) {
      static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
      tio.c_cflag = (tio.c_cflag & ~CSIZE) | kSizes[*settings->dataBits - 5];
    }
    if (settings->stopBits) {
      if (*settings->stopBits == 2) {
        tio.c_cflag |= CSTOPB;
      } else {
        tio.c_cflag &= ~CSTOPB;
      }
    }
    line->native.tio = tio;
    line->native.baud = custom;
    return 0;
  }

  // All or nothing: a part the driver refuses (a modem line or RS-485 on a
  // device without them) restores what the earlier parts had changed.
  int SetLine(DeviceRef device, const LineState& line) override {
    const int fd = device->fd;
    const uint32_t baud = line.native.baud;
    SavedLine saved;
    if (int err = SaveLine(fd, &saved)) return err;
    termios tio = line.native.tio;
    if (line.rtsControl == 2) tio.c_cflag |= CRTSCTS;
    if (line.rtsControl < 2) tio.c_cflag &= ~CRTSCTS;
    int err = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) err = errno;
    if (err == 0 && baud != 0) err = SetCustomBaud(fd, baud);
    if (err == 0) err = CheckRate(fd, baud != 0 ? baud : RateOf(cfgetospeed(&tio)));
    if (err == 0) err = ApplyControls(fd, line);
    if (err != 0) {
      RestoreLine(fd, saved);
      return err;
    }
    return 0;
  }

  int Purge(DeviceRef device, Queues which) override {
    return tcflush(device->fd, which == Queues::kInput ? TCIFLUSH : TCIOFLUSH) == 0 ? 0 : errno;
  }

  int InputQueue(DeviceRef device, size_t* count) override {
    int n = 0;
    if (ioctl(device->fd, FIONREAD, &n) != 0) return errno;
    *count = n > 0 ? static_cast<size_t>(n) : 0;
    return 0;
  }

  int Read(DeviceRef device, std::span<uint8_t> into, size_t* got) override {
    *got = 0;
    for (;;) {
      ssize_t n = ::read(device->fd, into.data(), into.size());
      if (n >= 0) {
        *got = static_cast<size_t>(n);
        return 0;
      }
      if (errno != EINTR) return errno;
    }
  }

  int Write(DeviceRef device, std::span<const uint8_t> from, size_t* put) override {
    *put = 0;
    for (;;) {
      ssize_t n = ::write(device->fd, from.data(), from.size());
      if (n >= 0) {
        *put = static_cast<size_t>(n);
        return 0;
      }
      if (errno != EINTR) return errno;
    }
  }

  int WaitWritable(DeviceRef device, const Event& cancel) override {
    pollfd fds[2] = {{cancel.native.fd, POLLIN, 0}, {device->fd, POLLOUT, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (fds[0].revents & POLLIN) return ECANCELED;
      if (fds[1].revents & POLLOUT) return 0;
      if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) return EIO;
    }
  }

  // Looks again when the queue should have emptied at the line's rate; a
  // queue that does not shrink (a handshake holding the line) is looked at
  // less and less often, ten times a second at most.
  int WaitDrained(DeviceRef device, const Event& cancel) override {
    using std::chrono::nanoseconds;
    constexpr nanoseconds kMinPause = std::chrono::microseconds(100);
    constexpr nanoseconds kMaxPause = std::chrono::milliseconds(100);
    const int fd = device->fd;
    size_t last = 0;
    nanoseconds pause = kMinPause;
    if (device->queueless) return 0;
    for (;;) {
      size_t queued = OutputQueue(fd);
      if (queued == 0) return 0;
      pause = queued < last || last == 0 ? SendTime(fd, queued) : pause * 2;
      pause = std::clamp(pause, kMinPause, kMaxPause);
      last = queued;
      pollfd pfd{cancel.native.fd, POLLIN, 0};
      timespec ts{static_cast<time_t>(pause.count() / 1000000000),
                  static_cast<long>(pause.count() % 1000000000)};
      int n = ::ppoll(&pfd, 1, &ts, nullptr);
      if (n < 0 && errno != EINTR) return errno;
      if (n > 0) return ECANCELED;
    }
  }

  int NewEvent(bool manualReset, Event* event) override {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return errno;
    event->native.fd = fd;
    event->manualReset = manualReset;
    return 0;
  }

  void SetEvent(const Event& event) override { Signal(event.native.fd); }

  void ResetEvent(const Event& event) override { Consume(event.native.fd); }

  void CloseEvent(Event* event) override {
    if (event->native.fd < 0) return;
    ::close(event->native.fd);
    event->native.fd = -1;
  }

  int WaitEvent(const Event& event, uint32_t timeoutMs, bool* signalled) override {
    *signalled = false;
    bool forever = timeoutMs == 0xFFFFFFFF;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      pollfd pfd{event.native.fd, POLLIN, 0};
      timespec ts;
      int n = ::ppoll(&pfd, 1, Remaining(deadline, forever, &ts), nullptr);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (n == 0) {
        if (!forever && std::chrono::steady_clock::now() >= deadline) return 0;
        continue;
      }
      if (pfd.revents & POLLNVAL) return EBADF;
      if (event.manualReset) {
        *signalled = true;
        return 0;
      }
      // Auto reset: the read that takes the count is the wait that wins.
      uint64_t value;
      ssize_t got = ::read(event.native.fd, &value, sizeof value);
      if (got == sizeof value) {
        *signalled = true;
        return 0;
      }
      if (got < 0 && errno != EAGAIN && errno != EINTR) return errno;
    }
  }

  // Two epoll sets, one inside the other: a caller takes transmit and the
  // device out of the worker's wait with one call, without waking it.
  int OpenWaitSet(const Event& shutdown, const Event& transmit, DeviceRef device,
                  WaitSet* set) override {
    WaitSet opened;
    NativeWaitSet& made = opened.native;
    const int fd = device != nullptr ? device->fd : -1;
    made.shutdown = shutdown.native.fd;
    made.transmit = transmit.native.fd;
    made.device = fd;
    made.poller = epoll_create1(EPOLL_CLOEXEC);
    int err = made.poller < 0 ? errno : 0;
    if (err == 0 && (made.served = epoll_create1(EPOLL_CLOEXEC)) < 0) err = errno;
    if (err == 0 && (made.caller = epoll_create1(EPOLL_CLOEXEC)) < 0) err = errno;
    if (err == 0 && (made.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0) err = errno;
    if (err == 0 && (made.kick = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0) err = errno;
    // The caller's watches of transmit and the device come first: while a
    // serving caller waits, they take the wake-up and the worker sleeps on,
    // so that handing the device over costs no system call. Shutdown wakes both.
    if (err == 0) err = Watch(made.caller, made.shutdown, Work::kShutdown);
    if (err == 0) err = Watch(made.caller, made.kick, Work::kWake);
    if (err == 0) err = Watch(made.caller, made.transmit, Work::kTransmit, EPOLLEXCLUSIVE);
    if (err == 0 && fd >= 0) err = Watch(made.caller, fd, Work::kDevice, EPOLLEXCLUSIVE);
    if (err == 0) err = Watch(made.served, made.transmit, Work::kTransmit, EPOLLEXCLUSIVE);
    if (err == 0 && fd >= 0) err = Watch(made.served, fd, Work::kDevice, EPOLLEXCLUSIVE);
    if (err == 0) err = Watch(made.poller, made.shutdown, Work::kShutdown);
    if (err == 0) err = Watch(made.poller, made.wake, Work::kWake);
    if (err == 0) err = Watch(made.poller, made.served, Work::kDevice);
    if (err != 0) {
      CloseWaitSet(&opened);
      return err;
    }
    *set = opened;
    return 0;
  }

  void CloseWaitSet(WaitSet* set) override {
    const NativeWaitSet& made = set->native;
    for (int fd : {made.poller, made.served, made.caller, made.wake, made.kick}) {
      if (fd >= 0) ::close(fd);
    }
    *set = WaitSet{};
  }

  int WaitForWork(WaitSet& waitSet, bool deviceReady, Work* which, bool* hangup) override {
    const NativeWaitSet& set = waitSet.native;
    *hangup = false;
    for (;;) {
      epoll_event events[3];
      int n = epoll_wait(set.poller, events, 3, deviceReady ? 0 : -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      bool ready[4] = {};
      for (int i = 0; i < n; ++i) ready[events[i].data.u32] = true;
      if (ready[static_cast<size_t>(Work::kWake)]) Consume(set.wake);
      if (ready[static_cast<size_t>(Work::kDevice)]) {
        // Which of the served part is ready; it may have been taken meanwhile.
        ready[static_cast<size_t>(Work::kDevice)] = false;
        n = epoll_wait(set.served, events, 2, 0);
        for (int i = 0; i < n; ++i) {
          ready[events[i].data.u32] = true;
          if (events[i].data.u32 == static_cast<uint32_t>(Work::kDevice)) {
            *hangup = (events[i].events & (EPOLLHUP | EPOLLERR)) != 0;
          }
        }
      }
      for (Work work : {Work::kShutdown, Work::kTransmit, Work::kDevice, Work::kWake}) {
        if (ready[static_cast<size_t>(work)]) {
          *which = work;
          return 0;
        }
      }
      if (deviceReady) {
        *which = Work::kDevice;
        return 0;
      }
    }
  }

  void UnwatchDevice(WaitSet& set) override {
    const NativeWaitSet& made = set.native;
    if (set.watched && made.device >= 0) {
      epoll_ctl(made.served, EPOLL_CTL_DEL, made.device, nullptr);
      epoll_ctl(made.caller, EPOLL_CTL_DEL, made.device, nullptr);
    }
    set.watched = false;
  }

  // Nothing to change: the order of the watches does it (see OpenWaitSet).
  bool YieldDevice(WaitSet& set) override { return set.native.caller >= 0; }

  void ReclaimDevice(WaitSet& set, bool wake) override {
    if (wake) Signal(set.native.wake);
  }

  void WakeCaller(WaitSet& set) override { Signal(set.native.kick); }

  int WaitDevice(const WaitSet& waitSet, std::chrono::steady_clock::time_point deadline,
                 bool forever, Work* which, bool* hangup) override {
    const NativeWaitSet& set = waitSet.native;
    *hangup = false;
    for (;;) {
      epoll_event events[3];
      timespec ts;
      int n = WaitUntil(set.caller, events, 3, Remaining(deadline, forever, &ts));
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (n == 0) {
        if (!forever && std::chrono::steady_clock::now() >= deadline) return ETIMEDOUT;
        continue;
      }
      Work first = Work::kWake;
      for (int i = 0; i < n; ++i) {
        auto work = static_cast<Work>(events[i].data.u32);
        if (work < first) first = work;
        if (work == Work::kDevice) *hangup = (events[i].events & (EPOLLHUP | EPOLLERR)) != 0;
        if (work == Work::kWake) Consume(set.kick);
      }
      *which = first;
      return 0;
    }
  }

  bool Drained(DeviceRef device) override {
    return device->queueless || OutputQueue(device->fd) == 0;
  }

  int StartThread(std::function<void()> body, std::thread* thread) override {
    try {
      *thread = std::thread(std::move(body));
      return 0;
    } catch (const std::system_error& error) {
      return error.code().value();
    }
  }

  void RaiseThreadPriority() override {
    // Nice values are per thread on Linux. Never a real-time policy: a
    // runaway worker must not be able to starve the machine.
    setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), -10);
  }

  // At exit the workers still run, and the ports close as at any time.
  bool ProcessEnding() override { return false; }

  std::string ErrorText(int err) override {
    char buffer[256];
    return strerror_r(err, buffer, sizeof buffer);
  }

  void PostFrame(Window window, uint32_t message, uint32_t wParam, uintptr_t lParam) override {
    if (window != nullptr && window->post != nullptr) window->post(window, message, wParam, lParam);
  }

  // Through the receiver's alert; without one, the caption and the text go
  // to standard error as one block.
  void ShowError(Window window, const char* caption, const char* text) override {
    if (window != nullptr && window->alert != nullptr) {
      window->alert(window, caption, text);
      return;
    }
    std::string block = std::string(caption) + ": " + text;
    std::fwrite(block.data(), 1, block.size(), stderr);
    std::fflush(stderr);
  }

  void ExplainOpenFailure(const std::string& path, const char* step, int err,
                          OpenFailure* why) override {
    *why = posix::ExplainOpenFailure(path, step, err, ErrorText(err));
  }

  int GetModemLines(DeviceRef device, uint32_t* lines) override {
    return posix::ReadModemLines(device->fd, lines);
  }

  // A pseudo-terminal takes the break request and does nothing with it.
  int SendBreak(DeviceRef device, uint32_t ms) override {
    return device->queueless ? kNotSupported : posix::HoldBreak(device->fd, ms);
  }

  int ListSerialDevices(std::vector<SerialDeviceInfo>* found) override {
    *found = posix::FindSerialDevices(posix::DeviceRoots{});
    return 0;
  }
};

}  // namespace

// Outlives every port.
Platform& Platform::Default() {
  static Platform* platform = new PosixPlatform;
  return *platform;
}

}  // namespace ktcomm::platform
