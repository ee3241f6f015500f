#include "bench/support/stream_runner.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "bench/support/measure.h"

namespace ktcomm::bench {
namespace {

using Clock = std::chrono::steady_clock;

// Long enough for a line that filled while nobody read to be drained and
// for the receiver to reach its steady state.
constexpr auto kWarmUp = std::chrono::milliseconds(200);
// The feed: 910 frames (32,760 bytes) every 100 us, some 330 MB/s offered,
// well above what a pty carries (a raw reader on two CPUs takes some 150).
// The device's 64 KiB outbox holds two such chunks.
constexpr int kFeedFrames = 910;
constexpr int kFeedPeriodUs = 100;

void Count(KTWindow* window, uint32_t message, uint32_t wParam, uintptr_t) {
  if (message != WM_PORT_MESSAGE) return;
  StreamClient* client = reinterpret_cast<CountingWindow*>(window)->client;
  client->frames.fetch_add(1, std::memory_order_relaxed);
  if ((wParam >> 16) != kStreamDataBytes) client->bad.fetch_add(1, std::memory_order_relaxed);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

struct Round {
  double framesPerSecond;
  double cpuSecondsPerMegabyte;
};

// One client's turn: false when it did not start.
bool Measure(StreamClient* client, const std::string& path, double seconds, Round* round) {
  if (!client->Start(path)) return false;
  std::this_thread::sleep_for(kWarmUp);
  uint64_t framesBefore = client->frames.load();
  double cpuBefore = ProcessCpuSeconds();
  Clock::time_point start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  uint64_t frames = client->frames.load() - framesBefore;
  double cpu = ProcessCpuSeconds() - cpuBefore;
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  client->Stop();
  double megabytes = static_cast<double>(frames * kStreamFrameBytes) / 1e6;
  round->framesPerSecond = static_cast<double>(frames) / elapsed;
  round->cpuSecondsPerMegabyte = megabytes > 0 ? cpu / megabytes : NAN;
  return true;
}

}  // namespace

Feed StreamingFeed() {
  sim::Frame frame{1, 0x1A, std::vector<uint8_t>(kStreamDataBytes)};
  for (size_t i = 0; i < frame.data.size(); ++i) frame.data[i] = static_cast<uint8_t>(0x40 + i);
  std::vector<uint8_t> bytes = sim::Encode(frame);
  Feed feed;
  for (int i = 0; i < kFeedFrames; ++i) {
    feed.chunk.insert(feed.chunk.end(), bytes.begin(), bytes.end());
  }
  feed.periodUs = kFeedPeriodUs;
  return feed;
}

CountingWindow::CountingWindow(StreamClient* client) : window{Count, nullptr}, client(client) {}

bool RawStreamClient::Start(const std::string& path) {
  Stop();
  if (client.Open(path) != 0) return false;
  stopEvent = eventfd(0, EFD_CLOEXEC);
  if (stopEvent < 0) {
    client.Close();
    return false;
  }
  thread = std::thread([this] {
    RaiseToWorkerPriority();
    client.Stream(stopEvent, kStreamDataBytes, &frames, &bad);
  });
  return true;
}

void RawStreamClient::Stop() {
  if (thread.joinable()) {
    uint64_t one = 1;
    (void)!write(stopEvent, &one, sizeof one);
    thread.join();
  }
  if (stopEvent >= 0) close(stopEvent);
  stopEvent = -1;
  client.Close();
}

std::vector<StreamFigures> RunStream(const std::string& path,
                                     std::span<StreamClient* const> clients, int rounds,
                                     double seconds) {
  std::vector<std::vector<Round>> measured(clients.size());
  std::vector<StreamFigures> figures(clients.size());
  for (int r = 0; r < rounds; ++r) {
    for (size_t c = 0; c < clients.size(); ++c) {
      Round round;
      if (!Measure(clients[c], path, seconds, &round)) return figures;
      measured[c].push_back(round);
    }
  }
  for (size_t c = 0; c < clients.size(); ++c) {
    std::vector<double> rates, costs;
    for (const Round& round : measured[c]) {
      rates.push_back(round.framesPerSecond);
      costs.push_back(round.cpuSecondsPerMegabyte);
    }
    figures[c].framesPerSecond = Median(rates);
    figures[c].megabytesPerSecond = figures[c].framesPerSecond * kStreamFrameBytes / 1e6;
    figures[c].cpuSecondsPerMegabyte = Median(costs);
    figures[c].bad = clients[c]->bad.load();
    figures[c].ok = true;
  }
  return figures;
}

}  // namespace ktcomm::bench
