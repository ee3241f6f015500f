// ktcomm term: sends each line it reads and shows what arrives. A person at
// a terminal gets a banner and a line editor with the frames shown above
// the line being typed; a pipe's lines are read as they come.
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "tools/cli/cli_session.h"
#include "tools/cli/line_editor.h"
#include "tools/cli/log_tap.h"
#include "tools/common/hex.h"
#include "tools/common/stop_signals.h"

namespace ktcomm::cli {
namespace {

using Clock = SessionClock;
using std::chrono::milliseconds;

// How often term --raw reads the traffic log; each read reopens the log of
// every port.
constexpr int kTapPeriodMs = 100;

class Term {
 public:
  Term(const SessionOptions& options, int signals) : options(options), signals(signals) {}
  int Run();

 private:
  int RunPiped();
  int RunAtTerminal();
  void Banner();
  // Shows what came meanwhile. False when the session ends, with `code`
  // set: a signal, or a hang-up it does not ride out.
  bool Serve(bool signalled);
  // Shows frames until the grace after the end of input is over.
  int Linger();
  void ShowFrames();
  void ShowRaw();
  void ReadInput();
  void ExecutePending();
  void Execute(std::string_view text);

  const SessionOptions& options;
  int signals;
  Port port;
  Screen screen;
  LogTap tap;
  Clock::time_point nextTap;
  int code = kExitOk;
  std::string pending;  // piped input up to the next newline
  bool inputEnded = false;
  int lineNumber = 0;
  bool stopping = false;  // a signal ended a line's wait
};

void Term::ShowFrames() {
  for (const ReceivedFrame& frame : port.TakeFrames()) screen.Out(FrameLine(frame, true));
  ShowAlerts(port, screen);
}

void Term::ShowRaw() {
  if (!tap.Active()) return;
  std::string when = Timestamp(std::chrono::system_clock::now());
  for (const LogTap::Chunk& chunk : tap.Take()) {
    screen.Out(when + " COM" + std::to_string(port.Options().port) +
               (chunk.reading ? " read  " : " wrote ") + hex::Format(chunk.bytes) + "  " +
               Printable(chunk.bytes));
  }
  nextTap = Clock::now() + milliseconds(kTapPeriodMs);
}

// Sends the line and waits for its answer: the port has one transmit slot,
// and a next line sent before the worker wrote this one would replace it.
// (A frame that comes first, unasked, ends the wait as well.)
void Term::Execute(std::string_view text) {
  ++lineNumber;
  std::string where = "line " + std::to_string(lineNumber) + ": ";
  std::optional<TermLine> line;
  std::string error;
  if (!ParseTermLine(text, &line, &error)) {
    screen.Say(where + error + "; write HEX or CMD:HEX");
    return;
  }
  if (!line) return;
  if (line->command && line->bytes.size() > kMaxCommandData) {
    screen.Say(where + "a command frame carries at most " + std::to_string(kMaxCommandData) +
               " data bytes, not " + std::to_string(line->bytes.size()));
    return;
  }
  size_t frameSize = line->bytes.size() + (line->command ? 4 : 0);
  if (frameSize > static_cast<size_t>(options.line.txSize)) {
    screen.Say(where + std::to_string(frameSize) + " bytes do not fit --tx-size " +
               std::to_string(options.line.txSize));
    return;
  }
  ReceivedFrame answer;
  std::vector<uint8_t> data(std::max(options.line.rxSize, 1));
  uint32_t length = static_cast<uint32_t>(data.size());
  int result;
  bool closed;
  {
    // A signal ends the wait too, so that Ctrl-C is not held up by --wait.
    HangUpGuard guard(port, signals);
    if (line->command) {
      result = KTSendCommandAndWait(port.Number(), line->commandByte, line->bytes.data(),
                                    static_cast<uint32_t>(line->bytes.size()), options.waitMs,
                                    &answer.command, data.data(), &length);
    } else {
      result = KTSendDataAndWait(port.Number(), line->bytes.data(),
                                 static_cast<uint32_t>(line->bytes.size()), options.waitMs,
                                 &answer.command, data.data(), &length);
    }
    closed = guard.Closed();
  }
  if (closed && !port.HungUp()) {
    // The session ends at the signal, which is still there to be read.
    stopping = true;
    return;
  }
  answer.when = std::chrono::system_clock::now();
  // Frames posted before the answer came are shown before it.
  ShowRaw();
  ShowFrames();
  if (result == KT_OK) {
    answer.port = port.Number();
    answer.data.assign(data.begin(), data.begin() + length);
    screen.Out(FrameLine(answer, true));
  } else if (port.HungUp()) {
    // Said by the session, which decides whether to wait for the device.
  } else if (result == KT_TIMED_OUT) {
    screen.Say(where + "no answer within " + std::to_string(options.waitMs) + " ms");
  } else if (result == KT_OVERFLOW) {
    screen.Say(where + "the receive buffer overflowed (see --rx-size)");
  } else {
    screen.Say(where + "the library returned " + std::to_string(result));
  }
}

bool Term::Serve(bool signalled) {
  if (signalled) {
    code = kExitOk;
    return false;
  }
  ShowFrames();
  if (tap.Active() && Clock::now() >= nextTap) ShowRaw();
  if (port.HungUp()) {
    ShowRaw();
    ShowFrames();
    int after = AfterHangUp(port, screen, signals, options.reconnect);
    if (after >= 0) {
      code = after;
      return false;
    }
  }
  return true;
}

int Term::Linger() {
  auto end = Clock::now() + milliseconds(options.graceMs);
  for (;;) {
    std::optional<Clock::time_point> tapDue;
    if (tap.Active()) tapDue = nextTap;
    std::array<pollfd, 2> fds = {{{port.FramesFd(), POLLIN, 0}, {signals, POLLIN, 0}}};
    if (poll(fds.data(), fds.size(), TimeoutFor({end, tapDue})) < 0 && errno != EINTR) {
      screen.Say(std::string("poll: ") + std::strerror(errno));
      return kExitFailed;
    }
    if (!Serve((fds[1].revents & POLLIN) != 0)) return code;
    if (Clock::now() >= end) {
      ShowRaw();
      ShowFrames();
      return kExitOk;
    }
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
  for (size_t newline;
       !stopping && !port.HungUp() && (newline = pending.find('\n')) != std::string::npos;) {
    std::string text = pending.substr(0, newline);
    pending.erase(0, newline + 1);
    Execute(text);
  }
  if (inputEnded && !stopping && !port.HungUp() && !pending.empty()) {
    Execute(pending);
    pending.clear();
  }
}

int Term::RunPiped() {
  for (;;) {
    std::optional<Clock::time_point> tapDue;
    if (tap.Active()) tapDue = nextTap;
    std::array<pollfd, 3> fds = {
        {{port.FramesFd(), POLLIN, 0}, {signals, POLLIN, 0}, {0, POLLIN, 0}}};
    if (poll(fds.data(), fds.size(), TimeoutFor({tapDue})) < 0) {
      if (errno == EINTR) continue;
      screen.Say(std::string("poll: ") + std::strerror(errno));
      return kExitFailed;
    }
    if (fds[1].revents & POLLIN) return kExitOk;
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) ReadInput();
    bool hungUp = port.HungUp();
    if (!Serve(false)) return code;
    // Lines held back at the hang-up go to the reopened port.
    if (hungUp) ExecutePending();
    if (inputEnded) return Linger();
  }
}

void Term::Banner() {
  const LineOptions& line = options.line;
  char settings[128];
  std::snprintf(settings, sizeof settings, "%d baud %d%c%d, protocol %d", line.baud, line.dataBits,
                line.parity, line.stopBits, line.protocol);
  screen.Out("ktcomm term: port " + std::to_string(line.port) + " on " + DevicePath(line.port) +
             ", " + settings);
  screen.Out("Lines: HEX sends bytes as they are, CMD:HEX a command frame (waits " +
             std::to_string(options.waitMs) + " ms).");
  screen.Out("Ctrl-D or Ctrl-C quits; arrow keys edit the line and recall earlier ones.");
}

int Term::RunAtTerminal() {
  // For libedit: what the keyboard sends is text in the user's encoding.
  std::setlocale(LC_CTYPE, "");
  LineEditor::Idle idle;
  idle.fds = {port.FramesFd(), signals};
  idle.timeoutMs = [this] {
    return tap.Active() ? TimeoutFor({nextTap}) : -1;
  };
  idle.serve = [this](const std::vector<short>& revents) {
    return Serve((revents[1] & POLLIN) != 0);
  };
  LineEditor editor("COM" + std::to_string(options.line.port) + "> ", std::move(idle));
  if (!editor.Ready()) {
    screen.Say("cannot set up the line editor");
    return kExitFailed;
  }
  Banner();
  screen.SetLive(&editor);
  int result = kExitOk;
  for (bool going = true; going;) {
    std::string text;
    switch (editor.Read(&text)) {
      case LineEditor::Result::kLine:
        Execute(text);
        if (port.HungUp() && !Serve(false)) {
          result = code;
          going = false;
        }
        break;
      case LineEditor::Result::kEnd:
        result = Linger();
        going = false;
        break;
      case LineEditor::Result::kStopped:
        result = code;
        going = false;
        break;
    }
  }
  screen.SetLive(nullptr);
  return result;
}

int Term::Run() {
  if (int openCode = port.Open(options.line)) return openCode;
  port.HoldAlerts();
  if (options.raw && !tap.Start(options.line.logFile)) {
    screen.Say("--raw needs the traffic log, which cannot be written");
    return kExitFailed;
  }
  nextTap = Clock::now() + milliseconds(kTapPeriodMs);
  if (isatty(0) && isatty(1)) return RunAtTerminal();
  return RunPiped();
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
