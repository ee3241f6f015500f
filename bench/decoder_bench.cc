// ktcomm_bench_decoder: bytes a second through the library's frame decoder
// for realistic mixes of frames, in-process and without I/O, beside the
// reference client's minimal decoder on the same bytes. The library is driven
// as its receive path drives it: reads of up to 4096 bytes fed in runs that
// end at each frame, which is captured and delivered; once without the port
// lock, once taking it as the receive path does (again after each posted
// frame). Feeding byte by byte, the decoder's reference semantics, is shown
// beside them.
// Usage: ktcomm_bench_decoder [--quick] [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "bench/support/minimal_decoder.h"
#include "bench/support/table.h"
#include "platform/platform.h"
#include "port/frame_decoder.h"
#include "tools/sim/sim_frames.h"

namespace ktcomm::bench {
namespace {

// Receive and message buffers as large as a port would have them.
constexpr size_t kRxSize = 4096;
// Bytes per mix: large enough to hold thousands of frames, small enough to
// stay in cache, as bytes do that were just read from the device.
constexpr size_t kMixBytes = 256 * 1024;

struct Mix {
  std::string name;
  int protocol;
  std::vector<uint8_t> bytes;
};

// Builds a mix from frames chosen by `next` until kMixBytes are filled; with
// noise, garbage and broken frames go before some frames.
template <typename Next>
Mix Build(std::string name, int protocol, bool noise, Next next) {
  static const std::vector<std::vector<uint8_t>> kBroken1 = {{0x00, 0x7F},
                                                             {0x00, 0x80, 0x00},
                                                             {0x00, 0x80, 0x02, 0x77, 0x05},
                                                             {0x00, 0x80, 0x03, 0x10, 0x01, 0x02}};
  static const std::vector<std::vector<uint8_t>> kBroken2 = {{0x1B, 0x7F},
                                                             {0x1B, 0xF3, 0x00, 0x00}};
  std::mt19937 random(7);
  Mix mix{std::move(name), protocol, {}};
  while (mix.bytes.size() < kMixBytes) {
    if (noise && random() % 5 == 0) {
      for (int count = 1 + random() % 3; count > 0; --count) {
        uint8_t byte;
        do {
          byte = static_cast<uint8_t>(random());
        } while (byte == sim::kLead1 || byte == sim::kLead2);
        mix.bytes.push_back(byte);
      }
    }
    if (noise && random() % 20 == 0) {
      const auto& broken = protocol == 1 ? kBroken1 : kBroken2;
      const auto& frame = broken[random() % broken.size()];
      mix.bytes.insert(mix.bytes.end(), frame.begin(), frame.end());
    }
    std::vector<uint8_t> frame = sim::Encode(next(random));
    mix.bytes.insert(mix.bytes.end(), frame.begin(), frame.end());
  }
  return mix;
}

std::vector<uint8_t> Data(std::mt19937& random, size_t size) {
  std::vector<uint8_t> data(size);
  for (uint8_t& byte : data) byte = static_cast<uint8_t>(random());
  return data;
}

std::vector<Mix> Mixes() {
  constexpr uint8_t kCommands[] = {0x10, 0x1A, 0x1F, 0xCE, 0x05, 0x5A, 0x3E, 0x3C, 0x24};
  auto reply = [&](std::mt19937& random) {
    return sim::Frame{1, kCommands[random() % 9], Data(random, 1)};
  };
  std::vector<Mix> mixes;
  // The streaming benchmark's frame, back to back.
  mixes.push_back(Build("p1 36-byte stream", 1, false, [](std::mt19937& random) {
    return sim::Frame{1, 0x1A, Data(random, 32)};
  }));
  // Answers to commands: 5 bytes each.
  mixes.push_back(Build("p1 5-byte replies", 1, false, reply));
  // Replies, medium and long 0x1A frames (two-byte lengths), line noise.
  mixes.push_back(Build("p1 mixed, noise", 1, true, [&](std::mt19937& random) {
    unsigned kind = random() % 10;
    if (kind < 6) return reply(random);
    size_t size = kind < 9 ? 2 + random() % 63 : 200 + random() % 800;
    return sim::Frame{1, 0x1A, Data(random, size)};
  }));
  // Protocol 2: any command, short and medium data, trailers, line noise.
  mixes.push_back(Build("p2 mixed, noise", 2, true, [](std::mt19937& random) {
    size_t size = random() % 4 == 0 ? 0 : 1 + random() % 64;
    uint8_t command = static_cast<uint8_t>(random());
    return sim::Frame{2, command, Data(random, size)};
  }));
  return mixes;
}

// The receive path's staging buffer: what one read hands the decoder.
constexpr size_t kStagedBytes = 4096;

// How the library's decoder is driven.
enum class Driving {
  kRuns,        // FeedRun over each read, delivering at each event
  kRunsLocked,  // the same, holding the port lock as the receive path does
  kBytes,       // Feed byte by byte
};

// The library's decoder as the receive path drives it: a finished frame is
// captured into the message buffer, then delivered; a trigger posts the
// stored frame.
template <Driving kDriving>
void LibraryDecoder(benchmark::State& state, const Mix& mix) {
  const FrameFormat* format = FormatFor(static_cast<uint8_t>(mix.protocol));
  std::vector<uint8_t> rxBuf(kRxSize), msgBuf(kRxSize);
  platform::PortLock lock;
  Decoder decoder;
  uint64_t frames = 0;
  // True when a frame is to be posted, which the receive path does with the
  // port lock released.
  auto deliver = [&](Decoder::Step step) {
    switch (step) {
      case Decoder::Step::kFrame: {
        std::memcpy(msgBuf.data(), rxBuf.data(), static_cast<size_t>(decoder.rxPos));
        ++frames;
        return decoder.Complete(*format, false) == Decoder::Delivery::kPost;
      }
      case Decoder::Step::kTrigger:
        decoder.Restart();
        return true;
      default:
        return false;
    }
  };
  for (auto _ : state) {
    for (size_t read = 0; read < mix.bytes.size(); read += kStagedBytes) {
      std::span<const uint8_t> staged(mix.bytes.data() + read,
                                      std::min(kStagedBytes, mix.bytes.size() - read));
      if constexpr (kDriving == Driving::kBytes) {
        for (uint8_t byte : staged) deliver(decoder.Feed(format, byte, rxBuf));
        continue;
      }
      while (!staged.empty()) {
        bool post = false;
        auto decodeUntilPost = [&] {
          do {
            Decoder::Run run = decoder.FeedRun(format, staged, rxBuf);
            staged = staged.subspan(run.consumed);
            post = deliver(run.step);
          } while (!post && !staged.empty());
        };
        if constexpr (kDriving == Driving::kRunsLocked) {
          platform::PortLockHolder holder(lock);
          decodeUntilPost();
        } else {
          decodeUntilPost();
        }
        if (post) benchmark::DoNotOptimize(msgBuf.data());
      }
    }
    benchmark::DoNotOptimize(msgBuf.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(mix.bytes.size()));
  state.counters["frames"] = static_cast<double>(frames / state.iterations());
}

void ReferenceDecoder(benchmark::State& state, const Mix& mix) {
  MinimalDecoder decoder(mix.protocol == 1 ? kShape1 : kShape2);
  uint64_t frames = 0;
  for (auto _ : state) {
    decoder.Feed(mix.bytes, [&](uint8_t, std::span<const uint8_t> data) {
      benchmark::DoNotOptimize(data.data());
      ++frames;
    });
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(mix.bytes.size()));
  state.counters["frames"] = static_cast<double>(frames / state.iterations());
}

// Prints the runs as rows of the results table: per mix the library's
// decoder in runs, with the port lock, and byte by byte, each beside the
// minimal decoder.
class TableReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) megabytesPerSecond[run.benchmark_name()] = rate->second / 1e6;
    }
  }

  void Finalize() override {
    Table table;
    table.Section("Decoder throughput in-process, MB/s", "KTcomm", "minimal");
    for (const Mix& mix : mixes) {
      double reference = Figure(mix, "minimal");
      table.Row(mix.name, Figure(mix, "library"), reference, 1, {Target::kRatioAtLeast, 0.5});
      table.Row(mix.name + ", with the port lock", Figure(mix, "library+lock"), reference, 1);
      table.Row(mix.name + ", byte by byte", Figure(mix, "bytes"), reference, 1);
    }
  }

  std::vector<Mix> mixes;

 private:
  double Figure(const Mix& mix, const std::string& variant) const {
    auto found = megabytesPerSecond.find("decoder/" + mix.name + "/" + variant);
    return found == megabytesPerSecond.end() ? kNoFigure : found->second;
  }

  std::map<std::string, double> megabytesPerSecond;
};

}  // namespace
}  // namespace ktcomm::bench

int main(int argc, char** argv) {
  using namespace ktcomm::bench;
  // Short by default: each figure settles within a fraction of a second.
  std::vector<char*> args = {argv[0]};
  std::string minTime = "--benchmark_min_time=0.2";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      minTime = "--benchmark_min_time=0.01";
    } else {
      args.push_back(argv[i]);
    }
  }
  args.insert(args.begin() + 1, minTime.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

  TableReporter reporter;
  reporter.mixes = Mixes();
  for (const Mix& mix : reporter.mixes) {
    std::string prefix = "decoder/" + mix.name + "/";
    benchmark::RegisterBenchmark((prefix + "library").c_str(), LibraryDecoder<Driving::kRuns>,
                                 mix);
    benchmark::RegisterBenchmark((prefix + "library+lock").c_str(),
                                 LibraryDecoder<Driving::kRunsLocked>, mix);
    benchmark::RegisterBenchmark((prefix + "bytes").c_str(), LibraryDecoder<Driving::kBytes>, mix);
    benchmark::RegisterBenchmark((prefix + "minimal").c_str(), ReferenceDecoder, mix);
  }
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
