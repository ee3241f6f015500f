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

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often the traffic log is read: term --raw shows the bytes, listen
// only counts them, and each read reopens the log of every port.
constexpr int kTapPeriodMs = 100;
constexpr int kListenTapPeriodMs = 500;
// Bytes without a frame for this long suggest the wrong protocol.
constexpr auto kHintAfter = std::chrono::seconds(3);
// Between attempts to reopen a port whose device went away.
constexpr int kReopenPeriodMs = 500;

int MsUntil(Clock::time_point when) {
  auto left = std::chrono::ceil<milliseconds>(when - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The poll time-out that wakes at the earliest of the given moments; -1 for
// none.
int TimeoutFor(std::initializer_list<std::optional<Clock::time_point>> moments) {
  int timeoutMs = -1;
  for (const auto& moment : moments) {
    if (!moment) continue;
    int ms = MsUntil(*moment);
    timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
  }
  return timeoutMs;
}

// After a hang-up: says so, waits for the device (or server) to come back
// and reopens the port with the same settings. False when SIGINT or SIGTERM
// came first.
bool Reconnect(Port& port, int signals) {
  int number = port.Options().port;
  std::string device = DevicePath(number);
  std::fprintf(stderr, "ktcomm: port %d lost %s; waiting for it to come back\n", number,
               device.c_str());
  for (;;) {
    if (port.Reopen()) {
      std::fprintf(stderr, "ktcomm: port %d reopened on %s\n", number, device.c_str());
      return true;
    }
    pollfd p{signals, POLLIN, 0};
    int ready = poll(&p, 1, kReopenPeriodMs);
    if (ready > 0) return false;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// Ends the session after a hang-up unless it reconnects; the exit code to
// end with, or -1 to go on.
int AfterHangUp(Port& port, int signals, bool reconnect) {
  if (!reconnect) {
    std::fprintf(stderr, "ktcomm: port %d lost its device (--reconnect waits for it)\n",
                 port.Options().port);
    return kExitFailed;
  }
  return Reconnect(port, signals) ? -1 : kExitOk;
}

// The live line of --stats: rates over the last second and totals.
class StatsLine {
 public:
  explicit StatsLine(bool enabled)
      : enabled(enabled), live(isatty(2) != 0), next(Clock::now() + std::chrono::seconds(1)) {}

  std::optional<Clock::time_point> Due() const {
    return enabled ? std::optional(next) : std::nullopt;
  }
  void Count(size_t newFrames, size_t newBytes) {
    frames += newFrames;
    bytes += newBytes;
  }
  void PrintIfDue(int errors) {
    if (!enabled || Clock::now() < next) return;
    double seconds = std::chrono::duration<double>(Clock::now() - last).count();
    // A terminal gets one line rewritten in place, a file a line a second.
    std::fprintf(stderr, "%sktcomm: %.1f frames/s, %.0f bytes/s, %d errors; %zu frames, %zu bytes%s",
                 live ? "\r" : "", (frames - framesAtLast) / seconds,
                 (bytes - bytesAtLast) / seconds, errors, frames, bytes, live ? "  " : "\n");
    std::fflush(stderr);
    framesAtLast = frames;
    bytesAtLast = bytes;
    last = Clock::now();
    next = last + std::chrono::seconds(1);
  }
  void End() {
    if (enabled && live) std::fputc('\n', stderr);
  }

 private:
  bool enabled;
  bool live;
  Clock::time_point next;
  Clock::time_point last = Clock::now();
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
  void SawBytes(size_t count) {
    if (done || count == 0) return;
    if (bytes == 0) firstBytes = Clock::now();
    bytes += count;
    if (Clock::now() - firstBytes < kHintAfter) return;
    std::fprintf(stderr,
                 "ktcomm: %zu bytes in %lld s and no frame: does the device speak --protocol %d? "
                 "(the other is %d; or check --baud)\n",
                 bytes, static_cast<long long>(kHintAfter.count()), protocol, 3 - protocol);
    done = true;
  }

 private:
  int protocol;
  bool done = false;
  size_t bytes = 0;
  Clock::time_point firstBytes;
};

std::string FrameLine(const ReceivedFrame& frame, bool withText) {
  std::string line = Timestamp(frame.when) + " COM" + std::to_string(frame.port) + " " +
                     DescribeFrame(frame.command, frame.data);
  if (withText && !frame.data.empty()) line += "  " + Printable(frame.data);
  return line;
}

}  // namespace

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
  // The raw bytes, for the protocol hint and the byte rate.
  LogTap tap;
  ProtocolHint hint(options.line.protocol);
  StatsLine stats(options.stats);
  if (code == kExitOk && !tap.Start(options.line.logFile)) hint.SawFrame();
  std::optional<Clock::time_point> end;
  if (options.durationMs > 0) end = Clock::now() + milliseconds(options.durationMs);
  auto nextTap = Clock::now() + milliseconds(kListenTapPeriodMs);
  int printed = 0;
  while (code == kExitOk && (options.count == 0 || printed < options.count)) {
    if (end && Clock::now() >= *end) break;
    std::optional<Clock::time_point> tapDue;
    if (tap.Active()) tapDue = nextTap;
    std::array<pollfd, 2> fds = {{{port.FramesFd(), POLLIN, 0}, {signals, POLLIN, 0}}};
    if (poll(fds.data(), fds.size(), TimeoutFor({end, tapDue, stats.Due()})) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "ktcomm: poll: %s\n", std::strerror(errno));
      code = kExitFailed;
      break;
    }
    if (fds[1].revents & POLLIN) break;
    if (fds[0].revents & POLLIN) {
      std::vector<ReceivedFrame> frames = port.TakeFrames();
      for (const ReceivedFrame& frame : frames) {
        if (options.count != 0 && printed == options.count) break;
        std::printf("%s\n", FrameLine(frame, false).c_str());
        ++printed;
      }
      std::fflush(stdout);
      stats.Count(frames.size(), 0);
      if (!frames.empty()) hint.SawFrame();
    }
    if (tap.Active() && Clock::now() >= nextTap) {
      size_t bytes = BytesRead(tap.Take());
      hint.SawBytes(bytes);
      stats.Count(0, bytes);
      nextTap = Clock::now() + milliseconds(kListenTapPeriodMs);
      if (hint.Done() && !options.stats) tap.Stop();
    }
    stats.PrintIfDue(port.Errors());
    if (port.HungUp()) {
      int after = AfterHangUp(port, signals, options.reconnect);
      if (after >= 0) {
        code = after;
        break;
      }
    }
  }
  stats.End();
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
      *error = "'" + std::string(command) + "' is not one hex byte (CMD:HEX)";
      return false;
    }
    parsed.command = true;
    data = text.substr(colon + 1);
  }
  if (!hex::Parse(data, &parsed.bytes)) {
    *error = "'" + std::string(data) + "' is not hex bytes";
    return false;
  }
  if (!parsed.command && parsed.bytes.empty()) {
    *error = "nothing to send";
    return false;
  }
  *line = std::move(parsed);
  return true;
}

namespace {

// One term session: the port, stdin and what is shown.
class Term {
 public:
  Term(const SessionOptions& options, int signals) : options(options), signals(signals) {}
  int Run();

 private:
  void ShowFrames();
  void ShowRaw();
  void ReadInput();
  void ExecutePending();
  void Execute(std::string_view text);

  const SessionOptions& options;
  int signals;
  Port port;
  LogTap tap;
  std::string pending;  // input up to the next newline
  bool inputEnded = false;
  int lineNumber = 0;
};

void Term::ShowFrames() {
  for (const ReceivedFrame& frame : port.TakeFrames()) {
    std::printf("%s\n", FrameLine(frame, true).c_str());
  }
  std::fflush(stdout);
}

void Term::ShowRaw() {
  if (!tap.Active()) return;
  std::string when = Timestamp(std::chrono::system_clock::now());
  for (const LogTap::Chunk& chunk : tap.Take()) {
    std::printf("%s COM%d %s %s  %s\n", when.c_str(), port.Options().port,
                chunk.reading ? "read " : "wrote", hex::Format(chunk.bytes).c_str(),
                Printable(chunk.bytes).c_str());
  }
  std::fflush(stdout);
}

// Sends the line and waits for its answer: the port has one transmit slot,
// and a next line sent before the worker wrote this one would replace it.
// (A frame that comes first, unasked, ends the wait as well.)
void Term::Execute(std::string_view text) {
  ++lineNumber;
  std::optional<TermLine> line;
  std::string error;
  if (!ParseTermLine(text, &line, &error)) {
    std::fprintf(stderr, "ktcomm: line %d: %s; write HEX or CMD:HEX\n", lineNumber,
                 error.c_str());
    return;
  }
  if (!line) return;
  size_t frameSize = line->bytes.size() + (line->command ? 4 : 0);
  if (frameSize > static_cast<size_t>(options.line.txSize)) {
    std::fprintf(stderr, "ktcomm: line %d: %zu bytes do not fit --tx-size %d\n", lineNumber,
                 frameSize, options.line.txSize);
    return;
  }
  ReceivedFrame answer;
  std::vector<uint8_t> data(std::max(options.line.rxSize, 1));
  uint32_t length = static_cast<uint32_t>(data.size());
  int result;
  if (line->command) {
    result = KTSendCommandAndWait(port.Number(), line->commandByte, line->bytes.data(),
                                  static_cast<uint32_t>(line->bytes.size()), options.waitMs,
                                  &answer.command, data.data(), &length);
  } else {
    result = KTSendDataAndWait(port.Number(), line->bytes.data(),
                               static_cast<uint32_t>(line->bytes.size()), options.waitMs,
                               &answer.command, data.data(), &length);
  }
  answer.when = std::chrono::system_clock::now();
  // Frames posted before the answer came are shown before it.
  ShowRaw();
  ShowFrames();
  if (result == KT_OK) {
    answer.port = port.Number();
    answer.data.assign(data.begin(), data.begin() + length);
    std::printf("%s\n", FrameLine(answer, true).c_str());
    std::fflush(stdout);
  } else if (result == KT_OVERFLOW) {
    std::fprintf(stderr, "ktcomm: the receive buffer overflowed (see --rx-size)\n");
  } else if (result != KT_TIMED_OUT) {
    std::fprintf(stderr, "ktcomm: line %d: the library returned %d\n", lineNumber, result);
  }
}

void Term::ReadInput() {
  char buffer[4096];
  ssize_t got = read(0, buffer, sizeof buffer);
  if (got < 0 && errno == EINTR) return;
  if (got <= 0) {
    inputEnded = true;
  } else {
    pending.append(buffer, static_cast<size_t>(got));
  }
  ExecutePending();
}

// Runs the complete lines read so far, and at the end of input the rest;
// stops at a hang-up, so that what is left goes to the reopened port.
void Term::ExecutePending() {
  for (size_t newline; !port.HungUp() && (newline = pending.find('\n')) != std::string::npos;) {
    std::string text = pending.substr(0, newline);
    pending.erase(0, newline + 1);
    Execute(text);
  }
  if (inputEnded && !port.HungUp() && !pending.empty()) {
    Execute(pending);
    pending.clear();
  }
}

int Term::Run() {
  if (int code = port.Open(options.line)) return code;
  if (options.raw && !tap.Start(options.line.logFile)) {
    std::fprintf(stderr, "ktcomm: --raw needs the traffic log, which cannot be written\n");
    return kExitFailed;
  }
  auto nextTap = Clock::now() + milliseconds(kTapPeriodMs);
  std::optional<Clock::time_point> end;
  for (;;) {
    std::optional<Clock::time_point> tapDue;
    if (tap.Active()) tapDue = nextTap;
    std::array<pollfd, 3> fds = {{{port.FramesFd(), POLLIN, 0},
                                  {signals, POLLIN, 0},
                                  {inputEnded ? -1 : 0, POLLIN, 0}}};
    if (poll(fds.data(), fds.size(), TimeoutFor({end, tapDue})) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "ktcomm: poll: %s\n", std::strerror(errno));
      return kExitFailed;
    }
    if (fds[1].revents & POLLIN) return kExitOk;
    if (fds[0].revents & POLLIN) ShowFrames();
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
      ReadInput();
      if (inputEnded && !end) end = Clock::now() + milliseconds(options.graceMs);
    }
    if (tap.Active() && Clock::now() >= nextTap) {
      ShowRaw();
      nextTap = Clock::now() + milliseconds(kTapPeriodMs);
    }
    if (port.HungUp()) {
      ShowRaw();
      ShowFrames();
      int after = AfterHangUp(port, signals, options.reconnect);
      if (after >= 0) return after;
      ExecutePending();
    }
    if (end && Clock::now() >= *end) {
      ShowRaw();
      ShowFrames();
      return kExitOk;
    }
  }
}

}  // namespace

// Sends the lines read from standard input and shows what arrives, until
// SIGINT or SIGTERM, the end of the input (after a grace period), or
// (without --reconnect) a hang-up.
int RunTerm(const SessionOptions& options) {
  int signals = tools::BlockStopSignals();
  if (signals < 0) {
    std::fprintf(stderr, "ktcomm: signalfd: %s\n", std::strerror(errno));
    return kExitFailed;
  }
  int code = Term(options, signals).Run();
  close(signals);
  return code;
}

}  // namespace ktcomm::cli
