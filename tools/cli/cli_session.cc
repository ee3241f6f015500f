#include "tools/cli/cli_session.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "tools/cli/log_tap.h"
#include "tools/common/hex.h"
#include "tools/common/stop_signals.h"

namespace ktcomm::cli {
namespace {

using Clock = SessionClock;
using std::chrono::milliseconds;

// How often listen reads the traffic log: it only counts the bytes, and
// each read reopens the log of every port.
constexpr int kListenTapPeriodMs = 500;
// Bytes without a frame for this long suggest the wrong protocol.
constexpr auto kHintAfter = std::chrono::seconds(3);
// Between attempts to reopen a port whose device went away.
constexpr int kReopenPeriodMs = 500;

int MsUntil(Clock::time_point when) {
  auto left = std::chrono::ceil<milliseconds>(when - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for the device (or server) to come back and reopens the port with
// the same settings. False when SIGINT or SIGTERM came first.
bool Reconnect(Port& port, Screen& screen, int signals) {
  int number = port.Options().port;
  std::string device = DevicePath(number);
  screen.Say("port " + std::to_string(number) + " lost " + device +
             "; waiting for it to come back");
  for (;;) {
    if (port.Reopen()) {
      screen.Say("port " + std::to_string(number) + " reopened on " + device);
      return true;
    }
    pollfd p{signals, POLLIN, 0};
    int ready = poll(&p, 1, kReopenPeriodMs);
    if (ready > 0) return false;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// listen --stats: rates over the last second and totals, on standard error.
// On a terminal it is one line rewritten in place below the frames;
// elsewhere a line a second.
class StatsLine : public LiveLine {
 public:
  explicit StatsLine(bool enabled)
      : enabled(enabled), live(enabled && isatty(2) != 0), next(Clock::now() + kPeriod) {}

  std::optional<Clock::time_point> Due() const {
    return enabled ? std::optional(next) : std::nullopt;
  }
  bool IsDue() const { return enabled && Clock::now() >= next; }
  void Count(size_t newFrames, size_t newBytes) {
    frames += newFrames;
    bytes += newBytes;
  }
  // Call when IsDue, with the counts brought up to now.
  void Update(int errorCount) {
    Clock::time_point now = Clock::now();
    double seconds = std::chrono::duration<double>(now - last).count();
    char line[160];
    std::snprintf(line, sizeof line,
                  "ktcomm: %.1f frames/s, %.0f bytes/s, %d errors; %zu frames, %zu bytes",
                  (frames - framesAtLast) / seconds, (bytes - bytesAtLast) / seconds, errorCount,
                  frames, bytes);
    text = line;
    framesAtLast = frames;
    bytesAtLast = bytes;
    last = now;
    next = now + kPeriod;
    if (live) {
      Hide();
      Show();
    } else {
      std::fprintf(stderr, "%s\n", text.c_str());
      std::fflush(stderr);
    }
  }
  void Hide() override {
    if (!live || text.empty()) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
  }
  void Show() override {
    if (!live || text.empty()) return;
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
  }
  // Leaves the last counters on the screen.
  void End() {
    if (live && !text.empty()) std::fputc('\n', stderr);
    live = false;
  }

 private:
  static constexpr auto kPeriod = std::chrono::seconds(1);
  bool enabled;
  bool live;
  Clock::time_point next;
  Clock::time_point last = Clock::now();
  std::string text;
  size_t frames = 0;
  size_t bytes = 0;
  size_t framesAtLast = 0;
  size_t bytesAtLast = 0;
};

size_t BytesRead(const std::vector<LogTap::Chunk>& chunks) {
  size_t count = 0;
  for (const LogTap::Chunk& chunk : chunks) {
    if (chunk.reading) count += chunk.bytes.size();
  }
  return count;
}

// Says once when bytes keep coming and no frame does.
class ProtocolHint {
 public:
  explicit ProtocolHint(int protocol) : protocol(protocol) {}
  bool Done() const { return done; }
  void SawFrame() { done = true; }
  void SawBytes(size_t count, Screen& screen) {
    if (done || count == 0) return;
    if (bytes == 0) firstBytes = Clock::now();
    bytes += count;
    if (Clock::now() - firstBytes < kHintAfter) return;
    screen.Say(std::to_string(bytes) + " bytes in " + std::to_string(kHintAfter.count()) +
               " s and no frame: does the device speak --protocol " + std::to_string(protocol) +
               "? (the other is " + std::to_string(3 - protocol) + "; or check --baud)");
    done = true;
  }

 private:
  int protocol;
  bool done = false;
  size_t bytes = 0;
  Clock::time_point firstBytes;
};

}  // namespace

Screen::Screen() : outTerminal(isatty(1) != 0), errTerminal(isatty(2) != 0) {}

void Screen::Write(FILE* stream, bool terminal, const std::string& line) {
  // What is written to a file need not move the live line.
  bool moves = live != nullptr && terminal;
  if (moves) live->Hide();
  std::fputs(line.c_str(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
  if (moves) live->Show();
}

int TimeoutFor(std::initializer_list<std::optional<Clock::time_point>> moments) {
  int timeoutMs = -1;
  for (const auto& moment : moments) {
    if (!moment) continue;
    int ms = MsUntil(*moment);
    timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
  }
  return timeoutMs;
}

int AfterHangUp(Port& port, Screen& screen, int signals, bool reconnect) {
  ShowAlerts(port, screen);
  if (!reconnect) {
    screen.Say("port " + std::to_string(port.Options().port) +
               " lost its device (--reconnect waits for it)");
    return kExitFailed;
  }
  return Reconnect(port, screen, signals) ? -1 : kExitOk;
}

void ShowAlerts(Port& port, Screen& screen) {
  for (const std::string& alert : port.TakeAlerts()) screen.Say(alert);
}

std::string FrameLine(const ReceivedFrame& frame, bool withText) {
  std::string line = Timestamp(frame.when) + " COM" + std::to_string(frame.port) + " " +
                     DescribeFrame(frame.command, frame.data);
  if (withText && !frame.data.empty()) line += "  " + Printable(frame.data);
  return line;
}

std::string Timestamp(std::chrono::system_clock::time_point when) {
  auto sinceEpoch = when.time_since_epoch();
  time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count() % 1000;
  tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03lld", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<long long>(ms));
  return text;
}

std::string Printable(const std::vector<uint8_t>& bytes) {
  std::string text = "|";
  for (uint8_t byte : bytes) text += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
  return text + "|";
}

// Prints frames as they come until SIGINT or SIGTERM, the count, the
// duration or (without --reconnect) a hang-up.
int RunListen(const SessionOptions& options) {
  // Blocked before the port's worker starts, so that it inherits the mask
  // and the signals reach only the signalfd.
  int signals = tools::BlockStopSignals();
  if (signals < 0) {
    std::fprintf(stderr, "ktcomm: signalfd: %s\n", std::strerror(errno));
    return kExitFailed;
  }
  Port port;
  int code = port.Open(options.line);
  port.HoldAlerts();
  Screen screen;
  // The raw bytes, for the protocol hint and the byte rate.
  LogTap tap;
  ProtocolHint hint(options.line.protocol);
  StatsLine stats(options.stats);
  screen.SetLive(&stats);
  if (code == kExitOk && !tap.Start(options.line.logFile)) hint.SawFrame();
  std::optional<Clock::time_point> end;
  if (options.durationMs > 0) end = Clock::now() + milliseconds(options.durationMs);
  auto nextTap = Clock::now() + milliseconds(kListenTapPeriodMs);
  int printed = 0;
  auto readTap = [&] {
    size_t bytes = BytesRead(tap.Take());
    hint.SawBytes(bytes, screen);
    stats.Count(0, bytes);
    nextTap = Clock::now() + milliseconds(kListenTapPeriodMs);
  };
  while (code == kExitOk && (options.count == 0 || printed < options.count)) {
    if (end && Clock::now() >= *end) break;
    std::optional<Clock::time_point> tapDue;
    if (tap.Active()) tapDue = nextTap;
    std::array<pollfd, 2> fds = {{{port.FramesFd(), POLLIN, 0}, {signals, POLLIN, 0}}};
    if (poll(fds.data(), fds.size(), TimeoutFor({end, tapDue, stats.Due()})) < 0) {
      if (errno == EINTR) continue;
      screen.Say(std::string("poll: ") + std::strerror(errno));
      code = kExitFailed;
      break;
    }
    if (fds[1].revents & POLLIN) break;
    if (fds[0].revents & POLLIN) {
      std::vector<ReceivedFrame> frames = port.TakeFrames();
      for (const ReceivedFrame& frame : frames) {
        if (options.count != 0 && printed == options.count) break;
        screen.Out(FrameLine(frame, false));
        ++printed;
      }
      ShowAlerts(port, screen);
      stats.Count(frames.size(), 0);
      if (!frames.empty()) hint.SawFrame();
    }
    // The counters take the log as it stands, so that each second counts
    // the bytes of its own frames.
    if (tap.Active() && (Clock::now() >= nextTap || stats.IsDue())) {
      readTap();
      if (hint.Done() && !options.stats) tap.Stop();
    }
    if (stats.IsDue()) stats.Update(port.Errors());
    if (port.HungUp()) {
      int after = AfterHangUp(port, screen, signals, options.reconnect);
      if (after >= 0) {
        code = after;
        break;
      }
    }
  }
  ShowAlerts(port, screen);
  stats.End();
  screen.SetLive(nullptr);
  close(signals);
  return code;
}

bool ParseTermLine(std::string_view text, std::optional<TermLine>* line, std::string* error) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  line->reset();
  if (text.empty() || text.front() == '#') return true;
  TermLine parsed;
  size_t colon = text.find(':');
  std::string_view data = text;
  if (colon != std::string_view::npos) {
    std::string_view command = text.substr(0, colon);
    while (!command.empty() && command.back() == ' ') command.remove_suffix(1);
    if (!hex::ParseByte(command, &parsed.commandByte)) {
      // Appended rather than "'" + ...: g++ 12 at -O3 warns of an overlap
      // it imagines in the operator+ form (-Wrestrict).
      *error = std::string("'").append(command).append("' is not one hex byte (CMD:HEX)");
      return false;
    }
    parsed.command = true;
    data = text.substr(colon + 1);
  }
  if (!hex::Parse(data, &parsed.bytes)) {
    *error = std::string("'").append(data).append("' is not hex bytes");
    return false;
  }
  if (!parsed.command && parsed.bytes.empty()) {
    *error = "nothing to send";
    return false;
  }
  *line = std::move(parsed);
  return true;
}

}  // namespace ktcomm::cli
