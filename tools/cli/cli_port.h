// What the ktcomm commands share: the line settings, one open port with the
// frames its worker posts, and the mapping of result codes to exit codes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ktcomm.h"

namespace ktcomm::cli {

// Exit codes; the library's result codes KT_OPEN_FAILED to KT_BAD_PORT keep
// their numbers.
enum ExitCode {
  kExitOk = 0,
  kExitFailed = 1,  // anything else, a receive overflow included
  kExitUsage = 2,
  kExitOpenFailed = 3,
  kExitTimedOut = 4,
  kExitNotOpen = 5,
  kExitSize = 6,
  kExitBadPort = 7,
};

// Frames the library builds have one length byte, which counts the command
// byte too; past this much data it would wrap and the frame go out broken.
constexpr size_t kMaxCommandData = 254;

// A library result code as an exit code.
int ExitCodeFor(int result);

struct LineOptions {
  int port = 0;
  std::string device;  // empty: whatever KTCOMM_COM<port> already says
  int baud = 115200;
  char parity = 'N';
  int dataBits = 8;
  int stopBits = 1;
  int txSize = 256;
  int rxSize = 256;
  int protocol = 1;
  std::string logFile;  // appended to when set
};

struct ReceivedFrame {
  std::chrono::system_clock::time_point when;
  int port = 0;
  uint8_t command = 0;
  std::vector<uint8_t> data;
};

// One open port. Frames the worker posts are queued and announced on an
// eventfd, so that the main thread can wait for them in poll; a hang-up
// report is announced there too. Used by the main thread; the worker only
// calls Post and Alert.
class Port {
 public:
  Port();
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  ~Port();

  // Points the port at its device, sets up the log and opens. Returns the
  // exit code; says why on standard error when it is not kExitOk.
  int Open(const LineOptions& options);
  // Closes and opens again with the settings of the last Open, quietly;
  // whether it opened.
  bool Reopen();
  int Number() const { return number; }
  const LineOptions& Options() const { return options; }

  // Readable while frames or held alerts are queued or a hang-up is
  // unread; for poll.
  int FramesFd() const { return framesEvent; }
  // Readable from a hang-up until the port is opened again; for a thread
  // that must learn of the hang-up and of nothing else.
  int HangUpFd() const { return hangUpEvent; }
  // Every frame queued so far, oldest first.
  std::vector<ReceivedFrame> TakeFrames();
  // From now on the library's reports are queued for TakeAlerts instead of
  // written at once from the worker: a session that draws on the terminal
  // writes them itself, between its own lines.
  void HoldAlerts() { holdAlerts = true; }
  // The reports held so far, each one line without "ktcomm: ", oldest first.
  std::vector<std::string> TakeAlerts();
  // Whether the library found the device gone (hung up, or the server's
  // connection closed) since the last open; the port delivers nothing more
  // until reopened.
  bool HungUp() const { return hungUp.load(); }
  // Error reports the library made while the port was open.
  int Errors() const { return errors.load(); }

 private:
  // The library hands back the KTWindow it was given; it must come first.
  struct Receiver {
    KTWindow window;
    Port* port;
  };
  static void Post(KTWindow* window, uint32_t message, uint32_t wParam, uintptr_t lParam);
  static void Alert(KTWindow* window, const char* caption, const char* text);
  // KTOpenPort with the stored options; the library's texts of a failure
  // are not shown: Open says why in its own words.
  int OpenQuietly();
  void Wake();

  Receiver receiver;
  LineOptions options;
  int number = 0;
  int framesEvent = -1;
  int hangUpEvent = -1;

  // Set while KTOpenPort runs: the reports it makes are not shown, as the
  // tool says why in its own words.
  std::atomic<bool> opening{false};

  std::atomic<bool> hungUp{false};
  std::atomic<int> errors{0};
  std::atomic<bool> holdAlerts{false};

  // Filled by the worker in Post and Alert, emptied by the main thread.
  std::mutex lock;
  std::deque<ReceivedFrame> frames;
  std::vector<std::string> heldAlerts;
};

// Ends a waiting call at a hang-up, or when `stopFd` (a signalfd, say)
// turns readable: the library's waits keep their time-out whatever the line
// does, and closing the port from another thread is what ends one at once
// (with KT_NOT_OPEN). Watches from construction to destruction on a thread
// of its own; the port must outlive it. Nothing is read from either.
class HangUpGuard {
 public:
  explicit HangUpGuard(Port& port, int stopFd = -1);
  HangUpGuard(const HangUpGuard&) = delete;
  HangUpGuard& operator=(const HangUpGuard&) = delete;
  ~HangUpGuard();
  // Whether it closed the port.
  bool Closed() const { return closed.load(); }

 private:
  int stopEvent = -1;
  std::atomic<bool> closed{false};
  std::thread watcher;
};

// The device the library will open for `port`.
std::string DevicePath(int port);

// "cmd=10 len=1 data=05".
std::string DescribeFrame(uint8_t command, const std::vector<uint8_t>& data);

}  // namespace ktcomm::cli
