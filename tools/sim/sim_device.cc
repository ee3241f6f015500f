#include "tools/sim/sim_device.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <system_error>

namespace ktcomm::sim {
namespace {

// A client that never reads must not make the device grow without bound;
// past this, queued bytes are dropped whole.
constexpr size_t kOutboxLimit = 64 * 1024;
// A stream that fell behind (the device thread was not scheduled) catches up
// by at most this many frames at once rather than flooding the line.
constexpr uint64_t kMaxCatchUp = 16;

int SetFlags(int fd, int fdFlags, int statusFlags) {
  int fdOld = fcntl(fd, F_GETFD);
  int statusOld = fcntl(fd, F_GETFL);
  if (fdOld < 0 || statusOld < 0) return errno;
  if (fcntl(fd, F_SETFD, fdOld | fdFlags) < 0) return errno;
  if (fcntl(fd, F_SETFL, statusOld | statusFlags) < 0) return errno;
  return 0;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Broken frames the library's decoder gives up on by their type, length or
// command, before any data byte; what follows them is read afresh.
const std::vector<std::vector<uint8_t>>& BrokenFrames(int protocol) {
  static const std::vector<std::vector<uint8_t>> kProtocol1 = {
      {0x00, 0x7F},                          // unknown type
      {0x00, 0x80, 0x00},                    // zero length
      {0x00, 0x81, 0x00, 0x00},              // zero two-byte length
      {0x00, 0x80, 0x02, 0x77, 0x05},        // unknown command
      {0x00, 0x80, 0x03, 0x10, 0x01, 0x02},  // two data bytes for 0x10
  };
  static const std::vector<std::vector<uint8_t>> kProtocol2 = {
      {0x1B, 0x7F},
      {0x1B, 0x1B, 0x42},
      {0x1B, 0xF3, 0x00, 0x00},
  };
  return protocol == 2 ? kProtocol2 : kProtocol1;
}

}  // namespace

int Device::Start(DeviceOptions startOptions) {
  if (thread.joinable()) return EBUSY;
  if (startOptions.protocol != 1 && startOptions.protocol != 2) return EINVAL;
  if (!(startOptions.streamRate >= 0) || std::isinf(startOptions.streamRate)) return EINVAL;
  options = std::move(startOptions);
  parser.Reset();
  streamSequence = 0;
  {
    std::lock_guard<std::mutex> hold(lock);
    receivedFrames.clear();
    outbox.clear();
    random.seed(options.seed);
  }
  stopping = false;
  hungUp = false;

  int err = OpenLine();
  if (err == 0) err = ArmStream();
  if (err == 0 && options.endOnHangup) err = WatchForClient();
  if (err == 0) {
    wakeEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    endedEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeEvent < 0 || endedEvent < 0) err = errno;
  }
  if (err == 0) {
    try {
      thread = std::thread(&Device::Run, this);
    } catch (const std::system_error& e) {
      err = e.code().value() ? e.code().value() : EAGAIN;
    }
  }
  if (err != 0) CloseAll();
  return err;
}

int Device::OpenLine() {
  // Raw on both sides: an echoing secondary would hand the device its own
  // replies back before the client has set the line up.
  termios raw{};
  cfmakeraw(&raw);
  if (openpty(&primary, &heldSecondary, nullptr, &raw, nullptr) != 0) {
    int err = errno;
    primary = heldSecondary = -1;
    return err;
  }
  // Close-on-exec, or a child the test starts keeps the line open and the
  // device never sees its client hang up.
  if (int err = SetFlags(primary, FD_CLOEXEC, O_NONBLOCK)) return err;
  if (int err = SetFlags(heldSecondary, FD_CLOEXEC, 0)) return err;
  termios tio{};
  if (tcgetattr(primary, &tio) != 0) return errno;
  cfmakeraw(&tio);
  if (tcsetattr(primary, TCSANOW, &tio) != 0) return errno;
  char name[128];
  if (int err = ptsname_r(primary, name, sizeof name)) return err;
  path = name;
  return 0;
}

int Device::ArmStream() {
  if (options.streamRate == 0) return 0;
  streamTimer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (streamTimer < 0) return errno;
  auto periodNs = static_cast<int64_t>(std::llround(1e9 / options.streamRate));
  if (periodNs < 1) periodNs = 1;
  itimerspec spec{};
  spec.it_interval.tv_sec = periodNs / 1000000000;
  spec.it_interval.tv_nsec = periodNs % 1000000000;
  spec.it_value = spec.it_interval;
  if (timerfd_settime(streamTimer, 0, &spec, nullptr) != 0) return errno;
  return 0;
}

int Device::WatchForClient() {
  // The secondary was opened before the watch exists, so every open it
  // reports is a client's.
  clientWatch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (clientWatch < 0) return errno;
  if (inotify_add_watch(clientWatch, path.c_str(), IN_OPEN) < 0) return errno;
  return 0;
}

void Device::Stop() {
  if (thread.joinable()) {
    stopping = true;
    Wake();
    thread.join();
  }
  CloseAll();
}

void Device::CloseAll() {
  CloseFd(clientWatch);
  CloseFd(streamTimer);
  CloseFd(wakeEvent);
  CloseFd(endedEvent);
  CloseFd(heldSecondary);
  CloseFd(primary);
}

void Device::Wake() {
  uint64_t one = 1;
  // Only fails when the counter is saturated, and then the thread wakes anyway.
  (void)!write(wakeEvent, &one, sizeof one);
}

void Device::Run() {
  while (!stopping.load() && Iterate()) {
  }
  if (!stopping.load()) {
    uint64_t one = 1;
    (void)!write(endedEvent, &one, sizeof one);
  }
}

// One wait and what it found. Returns false when the thread should end.
bool Device::Iterate() {
  bool pendingOutput;
  {
    std::lock_guard<std::mutex> hold(lock);
    pendingOutput = !outbox.empty();
  }
  std::array<pollfd, 4> fds = {{
      {wakeEvent, POLLIN, 0},
      {primary, static_cast<short>(POLLIN | (pendingOutput ? POLLOUT : 0)), 0},
      {streamTimer, POLLIN, 0},  // poll skips a negative descriptor
      {clientWatch, POLLIN, 0},
  }};
  if (poll(fds.data(), fds.size(), -1) < 0) return errno == EINTR;

  if (fds[0].revents & POLLIN) {
    uint64_t count;
    (void)!read(wakeEvent, &count, sizeof count);
  }
  if (fds[3].revents & POLLIN) OnClientOpened();
  if (fds[1].revents & POLLIN) {
    if (!ReadLine()) return false;
  } else if (fds[1].revents & (POLLHUP | POLLERR)) {
    // Seen only once nobody holds the secondary open: the client has gone.
    hungUp = true;
    return false;
  }
  if (fds[2].revents & POLLIN) Stream();
  WriteLine();
  return true;
}

bool Device::ReadLine() {
  std::array<uint8_t, 4096> bytes;
  ssize_t got = read(primary, bytes.data(), bytes.size());
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (got <= 0) {
    // EIO: the last opener of the secondary closed it.
    hungUp = true;
    return false;
  }
  for (const Frame& frame : parser.Feed({bytes.data(), static_cast<size_t>(got)})) {
    HandleFrame(frame);
  }
  return true;
}

void Device::HandleFrame(const Frame& frame) {
  std::optional<Frame> reply = options.replies.ReplyTo(frame, options.protocol);
  if (reply) QueueFrame(*reply);
  {
    std::lock_guard<std::mutex> hold(lock);
    receivedFrames.push_back(frame);
  }
  receivedChanged.notify_all();
  if (options.onFrame) options.onFrame(frame, reply);
}

void Device::WriteLine() {
  std::lock_guard<std::mutex> hold(lock);
  while (!outbox.empty()) {
    ssize_t put = write(primary, outbox.data(), outbox.size());
    if (put > 0) {
      outbox.erase(outbox.begin(), outbox.begin() + put);
    } else if (put < 0 && errno == EINTR) {
      continue;
    } else {
      // EAGAIN: the client's input is full and POLLOUT will say when it has
      // room. Anything else is a hang-up, which the read side reports.
      return;
    }
  }
}

void Device::Stream() {
  uint64_t expirations = 0;
  if (read(streamTimer, &expirations, sizeof expirations) != sizeof expirations) return;
  for (uint64_t i = 0; i < std::min(expirations, kMaxCatchUp); ++i) {
    Frame frame{options.protocol, options.streamCommand, {}};
    if (options.streamData) {
      frame.data = *options.streamData;
    } else {
      frame.data = {static_cast<uint8_t>(streamSequence++)};
    }
    QueueFrame(frame);
  }
}

void Device::OnClientOpened() {
  alignas(inotify_event) std::array<char, 4096> events;
  // Any event the watch delivers is an open; what it says does not matter.
  if (read(clientWatch, events.data(), events.size()) <= 0) return;
  // From now on the client's close is the last close, which the primary
  // reports as a hang-up.
  CloseFd(heldSecondary);
  CloseFd(clientWatch);
}

void Device::SendBytes(std::span<const uint8_t> bytes) {
  {
    std::lock_guard<std::mutex> hold(lock);
    QueueBytesLocked(bytes);
  }
  Wake();
}

void Device::Send(const Frame& frame) {
  QueueFrame(frame);
  Wake();
}

void Device::QueueFrame(const Frame& frame) {
  std::vector<uint8_t> bytes = Encode(frame);
  std::lock_guard<std::mutex> hold(lock);
  if (options.noise) QueueNoiseLocked();
  QueueBytesLocked(bytes);
}

void Device::QueueNoiseLocked() {
  std::vector<uint8_t> noise;
  for (int count = std::uniform_int_distribution<int>(0, 3)(random); count > 0; --count) {
    // A lead byte in the noise could open a frame that swallows the next one.
    uint8_t byte;
    do {
      byte = static_cast<uint8_t>(random());
    } while (byte == kLead1 || byte == kLead2);
    noise.push_back(byte);
  }
  if (random() % 4 == 0) {
    const auto& broken = BrokenFrames(options.protocol);
    const auto& frame = broken[random() % broken.size()];
    noise.insert(noise.end(), frame.begin(), frame.end());
  }
  QueueBytesLocked(noise);
}

void Device::QueueBytesLocked(std::span<const uint8_t> bytes) {
  if (outbox.size() + bytes.size() > kOutboxLimit) return;
  outbox.insert(outbox.end(), bytes.begin(), bytes.end());
}

std::vector<Frame> Device::Received() const {
  std::lock_guard<std::mutex> hold(lock);
  return receivedFrames;
}

bool Device::WaitForReceived(size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> hold(lock);
  return receivedChanged.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                  [&] { return receivedFrames.size() >= count; });
}

}  // namespace ktcomm::sim
