// Random valid and broken frames of both protocols, cut into writes of
// random size, go to a protocol-1 port and a protocol-2 port; what each port
// posts, and how many overflows it reports, must be what the reference
// decoder finds in the same bytes.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "tests/fuzz/reference_decoder.h"
#include "tests/soak/soak.h"
#include "tests/support/pty_pair.h"
#include "tools/sim/sim_frames.h"

namespace ktcomm::soak {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kRxSize = 64;
constexpr int kSettleTimeoutMs = 60000;
constexpr uint8_t kKnown[] = {0x10, 0x1A, 0x1F, 0xCE, 0x05, 0x5A, 0x3E, 0x3C, 0x24};

class FrameMaker {
 public:
  FrameMaker(int protocol, uint32_t seed) : own(protocol), random(seed) {}

  // One frame, valid for one of the protocols or broken on purpose.
  Bytes Next() {
    int protocol = Pick(4) == 0 ? 3 - own : own;
    switch (Pick(20)) {
      case 0:
        return Garbage();
      case 1:
        return {Lead(protocol), Byte()};  // any type byte
      case 2:
        return {Lead(protocol), protocol == 1 ? uint8_t{0x80} : uint8_t{0xF3}, 0, 0};
      case 3: {  // cut short
        Bytes bytes = Valid(protocol);
        bytes.resize(1 + Pick(bytes.size() - 1));
        return bytes;
      }
      case 4:
        return Encode(protocol, Byte(), Data(kRxSize + 1 + Pick(40)));  // too long
      case 5:
        return Encode(protocol, Byte(), Data(1 + Pick(3)));  // any command
      default:
        return Valid(protocol);
    }
  }

 private:
  Bytes Valid(int protocol) {
    if (protocol == 2) return Encode(2, Byte(), Data(Pick(kRxSize)));
    uint8_t command = kKnown[Pick(sizeof kKnown)];
    size_t length = command == 0x1A ? Pick(kRxSize + 1) : Pick(2);
    return Encode(1, command, Data(length));
  }
  Bytes Encode(int protocol, uint8_t command, Bytes data) {
    sim::EncodeOptions options;
    options.extraLeads = Pick(8) == 0 ? 1 + Pick(3) : 0;
    options.longLength = Pick(3) == 0;
    options.trailer = Byte();
    return sim::Encode({protocol, command, std::move(data)}, options);
  }
  Bytes Garbage() {
    Bytes bytes(1 + Pick(8));
    for (uint8_t& byte : bytes) byte = Byte();
    return bytes;
  }
  Bytes Data(size_t length) {
    Bytes bytes(length);
    for (uint8_t& byte : bytes) byte = Byte();
    return bytes;
  }
  static uint8_t Lead(int protocol) { return protocol == 1 ? sim::kLead1 : sim::kLead2; }
  size_t Pick(size_t below) { return random() % below; }
  uint8_t Byte() { return static_cast<uint8_t>(random()); }

  int own;
  std::mt19937 random;
};

struct Run {
  int port;
  int protocol;
  Bytes line;
  reference::Result expected;
  test::PtyPair pty;
  std::mutex mutex;
  std::vector<reference::Frame> posted;
  Counter posts;
};

// The random frames, then bytes that end whatever frame is left open (no
// lead byte, more of them than the receive buffer holds), then a marker
// frame that must be the last one posted.
void MakeLine(Run& run, int frames, uint32_t seed) {
  FrameMaker maker(run.protocol, seed);
  for (int i = 0; i < frames; ++i) {
    Bytes frame = maker.Next();
    run.line.insert(run.line.end(), frame.begin(), frame.end());
  }
  run.line.insert(run.line.end(), kRxSize + 8, 0x55);
  Bytes marker = sim::Encode({run.protocol, 0x3C, {}});
  run.line.insert(run.line.end(), marker.begin(), marker.end());
  run.expected = reference::Decode(run.protocol, run.line, kRxSize);
}

// Writes of 1 to 512 bytes. A pty takes them as the port reads and never
// drops: a full one makes the writer wait, here with a deadline, so that a
// port that stopped reading cannot hold the soak. False when it ran out.
bool Feed(Run& run, uint32_t seed) {
  std::mt19937 random(seed);
  const int fd = run.pty.fd();
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) return false;
  auto deadline = Clock::now() + std::chrono::milliseconds(kSettleTimeoutMs);
  size_t done = 0;
  while (done < run.line.size()) {
    size_t size = std::min<size_t>(1 + random() % 512, run.line.size() - done);
    while (size > 0) {
      ssize_t put = write(fd, run.line.data() + done, size);
      if (put > 0) {
        done += static_cast<size_t>(put);
        size -= static_cast<size_t>(put);
        continue;
      }
      if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd writable{fd, POLLOUT, 0};
      if (left.count() <= 0 || poll(&writable, 1, static_cast<int>(left.count())) < 0) {
        return false;
      }
    }
  }
  return true;
}

// How far the posts are from the reference, and where they first differ.
uint64_t Differences(Run& run, std::string* first) {
  std::lock_guard<std::mutex> hold(run.mutex);
  const auto& want = run.expected.frames;
  const auto& got = run.posted;
  uint64_t differences = std::max(want.size(), got.size()) - std::min(want.size(), got.size());
  for (size_t i = 0; i < std::min(want.size(), got.size()); ++i) {
    if (want[i] == got[i]) continue;
    if (differences == 0) {
      *first = "port " + std::to_string(run.port) + " frame " + std::to_string(i) + ": command " +
               std::to_string(got[i].command) + " length " + std::to_string(got[i].data.size()) +
               ", expected command " + std::to_string(want[i].command) + " length " +
               std::to_string(want[i].data.size());
    }
    differences += 1;
  }
  return differences;
}

}  // namespace

PhaseResult RandomFramesAgainstReference(const Scale& scale) {
  PhaseResult result("random frames vs reference", "frames");
  Run runs[2];
  runs[0].port = 6;
  runs[0].protocol = 1;
  runs[1].port = 7;
  runs[1].protocol = 2;
  SoakWindow window;  // after the runs its handlers use, so that it closes the ports first

  for (Run& run : runs) {
    if (!run.pty.ok()) {
      result.notes.push_back("no pseudo-terminal");
      result.losses = 1;
      return result;
    }
    MakeLine(run, scale.randomFrames / 2, 1000 + run.port);
    window.SetHandler(run.port,
                      [&run](uint8_t command, std::span<const uint8_t> data, bool withData) {
                        {
                          std::lock_guard<std::mutex> hold(run.mutex);
                          run.posted.push_back({command, withData, {data.begin(), data.end()}});
                        }
                        run.posts.Add();
                      });
    MapPort(run.port, run.pty.secondaryPath());
    if (int code = OpenPort(&window, run.port, kRxSize, run.protocol)) {
      result.notes.push_back("port " + std::to_string(run.port) +
                             " did not open: " + std::to_string(code));
      result.losses = 1;
      return result;
    }
  }

  auto start = Clock::now();
  std::atomic<bool> fed[2] = {false, false};
  {
    std::jthread feeders[2] = {std::jthread([&] { fed[0] = Feed(runs[0], 7); }),
                               std::jthread([&] { fed[1] = Feed(runs[1], 8); })};
  }
  for (int i = 0; i < 2; ++i) {
    if (fed[i]) continue;
    result.notes.push_back("port " + std::to_string(runs[i].port) + " stopped taking bytes");
    result.losses += 1;
  }
  for (Run& run : runs) {
    // The marker is the last frame: once it is posted, every byte before it
    // has been decoded.
    const auto& want = run.expected;
    if (want.frames.empty() || want.frames.back().command != 0x3C) {
      result.notes.push_back("the marker does not end port " + std::to_string(run.port) +
                             "'s line");
      result.losses += 1;
    }
    if (!run.posts.WaitFor(want.frames.size(), kSettleTimeoutMs) ||
        !window.WaitAlerts(run.port, static_cast<size_t>(want.overflows), kSettleTimeoutMs)) {
      result.notes.push_back("port " + std::to_string(run.port) + " fell short");
    }
  }
  result.seconds = SecondsSince(start);
  for (Run& run : runs) KTClosePort(run.port);

  uint64_t overflows = 0;
  for (Run& run : runs) {
    std::string first;
    uint64_t differences = Differences(run, &first);
    if (!first.empty()) result.notes.push_back(first);
    size_t alerts = window.Alerts(run.port);
    size_t expectedAlerts = static_cast<size_t>(run.expected.overflows);
    differences += alerts > expectedAlerts ? alerts - expectedAlerts : expectedAlerts - alerts;
    result.losses += differences;
    result.handled += scale.randomFrames / 2;
    overflows += expectedAlerts;
    std::lock_guard<std::mutex> hold(run.mutex);
    result.notes.push_back("port " + std::to_string(run.port) + " (protocol " +
                           std::to_string(run.protocol) + "): " + std::to_string(run.line.size()) +
                           " bytes, " + std::to_string(run.posted.size()) + " posts, " +
                           std::to_string(alerts) + " overflows, " + std::to_string(differences) +
                           " differences");
  }
  result.faults = overflows;
  result.losses += window.Unhandled();
  return result;
}

}  // namespace ktcomm::soak
