// Traffic on ten ports at once, each with a simulated device of its own:
// waiting round trips, then streams of unsolicited frames (the two interfere
// by design, as a write purges unread input and a waiter takes the next
// frame), then a port reopened again and again while frames stream in.
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/soak/soak.h"
#include "tools/sim/sim_device.h"

namespace ktcomm::soak {
namespace {

constexpr int kPorts = 10;
constexpr uint32_t kCallTimeoutMs = 5000;
constexpr int kProgressTimeoutMs = 10000;

// 0x1A is the one protocol-1 command that carries several data bytes.
constexpr uint8_t kDataCommand = 0x1A;

// The port's own byte and a sequence number: five data bytes.
std::array<uint8_t, 5> Tagged(int port, uint32_t sequence) {
  return {static_cast<uint8_t>(port), static_cast<uint8_t>(sequence),
          static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence >> 16),
          static_cast<uint8_t>(sequence >> 24)};
}

uint32_t SequenceOf(std::span<const uint8_t> data) {
  return data[1] | data[2] << 8 | data[3] << 16 | static_cast<uint32_t>(data[4]) << 24;
}

int ProtocolOf(int port) { return port % 2 == 1 ? 1 : 2; }

// Ten devices, started, with ports 1..10 mapped and opened on them.
struct TenPorts {
  SoakWindow window;
  std::array<sim::Device, kPorts> devices;

  // Protocol 1 on odd ports and 2 on even ones; with noise, ports 6 to 10
  // put garbage and broken frames before every frame they send.
  bool Open(PhaseResult* result, bool noise) {
    for (int port = 1; port <= kPorts; ++port) {
      sim::DeviceOptions options;
      options.protocol = ProtocolOf(port);
      options.noise = noise && port > 5;
      options.seed = static_cast<uint32_t>(port);
      if (int err = devices[port - 1].Start(options)) {
        result->notes.push_back("device " + std::to_string(port) +
                                " did not start: " + std::strerror(err));
        return false;
      }
      MapPort(port, devices[port - 1].Path());
      if (int code = OpenPort(&window, port, 64, options.protocol)) {
        result->notes.push_back("port " + std::to_string(port) +
                                " did not open: " + std::to_string(code));
        return false;
      }
    }
    return true;
  }
  ~TenPorts() {
    for (int port = 1; port <= kPorts; ++port) KTClosePort(port);
  }
};

}  // namespace

// Each port's caller sends its own byte and a sequence number and must get
// exactly those back; an answer that is posted instead, times out or carries
// another port's byte is a loss.
PhaseResult RoundTripsOnTenPorts(const Scale& scale) {
  PhaseResult result("round trips, 10 ports", "trips");
  TenPorts ports;  // no handlers: an answer posted instead of returned counts as unhandled
  if (!ports.Open(&result, false)) {
    result.losses = 1;
    return result;
  }

  struct Tally {
    uint64_t answered = 0, timedOut = 0, crossed = 0, wrong = 0, failed = 0;
  };
  std::array<Tally, kPorts> tallies{};
  auto start = Clock::now();
  {
    std::vector<std::jthread> callers;
    for (int port = 1; port <= kPorts; ++port) {
      callers.emplace_back([&scale, &tallies, port] {
        Tally& tally = tallies[port - 1];
        for (int i = 0; i < scale.roundTrips; ++i) {
          auto sent = Tagged(port, static_cast<uint32_t>(i));
          uint8_t command = 0;
          uint8_t answer[64];
          uint32_t length = sizeof answer;
          int code = KTSendCommandAndWait(port, kDataCommand, sent.data(), sent.size(),
                                          kCallTimeoutMs, &command, answer, &length);
          if (code == -1) {
            tally.timedOut += 1;
          } else if (code != 0) {
            tally.failed += 1;
          } else if (length >= 1 && answer[0] != port) {
            tally.crossed += 1;
          } else if (command != kDataCommand || length != sent.size() ||
                     std::memcmp(answer, sent.data(), sent.size()) != 0) {
            tally.wrong += 1;
          } else {
            tally.answered += 1;
          }
        }
      });
    }
  }
  result.seconds = SecondsSince(start);

  Tally total;
  for (int port = 1; port <= kPorts; ++port) {
    const Tally& tally = tallies[port - 1];
    total.answered += tally.answered;
    total.timedOut += tally.timedOut;
    total.crossed += tally.crossed;
    total.wrong += tally.wrong;
    total.failed += tally.failed;
    size_t requests = ports.devices[port - 1].Received().size();
    if (requests != static_cast<size_t>(scale.roundTrips)) {
      result.losses += 1;
      result.notes.push_back("device " + std::to_string(port) + " saw " + std::to_string(requests) +
                             " requests");
    }
  }
  uint64_t stray = ports.window.Unhandled();
  uint64_t alerts = ports.window.Alerts();
  result.handled = total.answered;
  result.losses += total.timedOut + total.crossed + total.wrong + total.failed + stray + alerts;
  if (result.losses != 0) {
    result.notes.push_back("timed out " + std::to_string(total.timedOut) + ", crossed " +
                           std::to_string(total.crossed) + ", wrong " +
                           std::to_string(total.wrong) + ", failed " +
                           std::to_string(total.failed) + ", posted instead " +
                           std::to_string(stray) + ", alerts " + std::to_string(alerts));
  }
  return result;
}

// Each device sends frames carrying its port's byte and a 32-bit sequence
// number, half of them with noise in between. The feeder keeps at most a
// window of frames in flight per port, far below what the simulator holds,
// so that every frame sent reaches the line.
PhaseResult StreamOnTenPorts(const Scale& scale) {
  constexpr uint64_t kInFlight = 256;
  constexpr uint64_t kBatch = 32;
  PhaseResult result("stream, 10 ports", "frames");

  struct Stream {
    std::mutex mutex;
    uint32_t next = 0;  // the sequence number due
    uint64_t lost = 0, repeated = 0, malformed = 0;
  };
  std::array<Stream, kPorts> streams;
  Counter received;  // all ports together, so that one wait covers the feeder
  std::array<std::atomic<uint64_t>, kPorts> receivedOn{};
  TenPorts ports;  // after what its handlers use, so that it closes the ports first
  for (int port = 1; port <= kPorts; ++port) {
    Stream& stream = streams[port - 1];
    ports.window.SetHandler(port, [&, port](uint8_t, std::span<const uint8_t> data, bool) {
      {
        std::lock_guard<std::mutex> hold(stream.mutex);
        if (data.size() != 5 || data[0] != port) {
          stream.malformed += 1;
        } else if (uint32_t sequence = SequenceOf(data); sequence == stream.next) {
          stream.next += 1;
        } else if (sequence > stream.next) {
          stream.lost += sequence - stream.next;
          stream.next = sequence + 1;
        } else {
          stream.repeated += 1;
        }
      }
      receivedOn[port - 1] += 1;
      received.Add();
    });
  }
  if (!ports.Open(&result, true)) {
    result.losses = 1;
    return result;
  }

  const uint64_t perPort = static_cast<uint64_t>(scale.streamFrames);
  std::array<uint64_t, kPorts> sent{};
  auto start = Clock::now();
  bool stalled = false;
  while (!stalled) {
    bool done = true;
    bool fed = false;
    for (int port = 1; port <= kPorts; ++port) {
      uint64_t& count = sent[port - 1];
      if (count == perPort) continue;
      done = false;
      uint64_t arrived = receivedOn[port - 1].load();
      if (count > arrived && count - arrived + kBatch > kInFlight) continue;
      for (uint64_t k = 0; k < kBatch && count < perPort; ++k, ++count) {
        auto data = Tagged(port, static_cast<uint32_t>(count));
        ports.devices[port - 1].Send({ProtocolOf(port), kDataCommand, {data.begin(), data.end()}});
      }
      fed = true;
    }
    if (done) break;
    // Nothing had room: wait until some port's frames have come in.
    if (!fed && !received.WaitFor(received.Get() + 1, kProgressTimeoutMs)) stalled = true;
  }
  uint64_t total = perPort * kPorts;
  if (stalled || !received.WaitFor(total, kProgressTimeoutMs)) {
    result.notes.push_back("stream stalled at " + std::to_string(received.Get()) + " of " +
                           std::to_string(total));
  }
  result.seconds = SecondsSince(start);
  for (int port = 1; port <= kPorts; ++port) KTClosePort(port);

  uint64_t lost = 0, repeated = 0, malformed = 0;
  for (int port = 1; port <= kPorts; ++port) {
    Stream& stream = streams[port - 1];
    std::lock_guard<std::mutex> hold(stream.mutex);
    lost += stream.lost + (perPort - stream.next);  // a missing tail is lost too
    repeated += stream.repeated;
    malformed += stream.malformed;
  }
  result.handled = received.Get();
  result.losses = lost + repeated + malformed + ports.window.Unhandled() + ports.window.Alerts();
  if (result.losses != 0) {
    result.notes.push_back("lost " + std::to_string(lost) + ", repeated or out of order " +
                           std::to_string(repeated) + ", malformed " + std::to_string(malformed) +
                           ", alerts " + std::to_string(ports.window.Alerts()));
  }
  return result;
}

// The device streams at a steady rate (a one-byte sequence number that
// wraps); the port is reopened over and over, alternating its receive buffer
// size (each change keeps the old pair for posts that may point into it, a
// few hundred bytes here). Frames in flight at a reopen may go, as the
// reopen purges the line; between reopens none may, every post must be a
// whole stream frame, and frames must flow again after every reopen.
PhaseResult ReopenWhileStreaming(const Scale& scale) {
  constexpr int kPort = 4;
  constexpr int kFramesPerReopen = 3;
  PhaseResult result("reopen while streaming", "reopens");

  struct Session {
    std::mutex mutex;
    bool started = false;
    uint8_t next = 0;
    bool gapAllowed = false;  // one break in the sequence per reopen
    uint64_t frames = 0, lost = 0, malformed = 0;
  } session;
  Counter posts;
  SoakWindow window;  // after what its handler uses, so that it closes the port first
  sim::Device device;
  window.SetHandler(kPort, [&](uint8_t command, std::span<const uint8_t> data, bool withData) {
    {
      std::lock_guard<std::mutex> hold(session.mutex);
      session.frames += 1;
      if (command != kDataCommand || !withData || data.size() != 1) {
        session.malformed += 1;
      } else {
        if (session.started && data[0] != session.next) {
          if (session.gapAllowed) {
            session.gapAllowed = false;
          } else {
            session.lost += 1;
          }
        }
        session.started = true;
        session.next = static_cast<uint8_t>(data[0] + 1);
      }
    }
    posts.Add();
  });

  sim::DeviceOptions options;
  options.streamRate = 4000;
  if (int err = device.Start(options)) {
    result.notes.push_back(std::string("device did not start: ") + std::strerror(err));
    result.losses = 1;
    return result;
  }
  MapPort(kPort, device.Path());
  auto start = Clock::now();
  uint64_t stalls = 0;
  for (int i = 0; i <= scale.reopens; ++i) {
    {
      std::lock_guard<std::mutex> hold(session.mutex);
      session.gapAllowed = true;
    }
    if (int code = OpenPort(&window, kPort, i % 2 == 0 ? 64 : 128, 1)) {
      result.notes.push_back("reopen " + std::to_string(i) + " failed: " + std::to_string(code));
      result.losses += 1;
      break;
    }
    if (!posts.WaitFor(posts.Get() + kFramesPerReopen, kProgressTimeoutMs)) stalls += 1;
    if (i > 0) result.handled += 1;
  }
  result.seconds = SecondsSince(start);
  KTClosePort(kPort);
  device.Stop();

  std::lock_guard<std::mutex> hold(session.mutex);
  result.faults = result.handled;
  result.losses += session.lost + session.malformed + stalls + window.Alerts() + window.Unhandled();
  result.notes.push_back(std::to_string(session.frames) + " frames received");
  if (result.losses != 0) {
    result.notes.push_back("lost within a session " + std::to_string(session.lost) +
                           ", malformed " + std::to_string(session.malformed) + ", stalls " +
                           std::to_string(stalls) + ", alerts " + std::to_string(window.Alerts()));
  }
  return result;
}

}  // namespace ktcomm::soak
