// Random bytes through both decoders, byte by byte with Feed and in runs with
// FeedRun over the same bytes split at random points. Invariants: the
// receive position never passes the buffer, the state stays 0 to 8, a run
// uses up all its bytes or stops right after an event; both ways give the
// same events on the same bytes and the same end state; and with no caller
// waiting every posted frame and overflow matches the reference decoder.
//
// Input: flags, receive buffer size, then the line. Flags: bit 0 protocol 1
// or 2; bit 1 a caller waits for some frames and the decoder is restarted
// (a write, a release) at some splits; bits 2 and 3 both set: no protocol;
// bits 4 to 7, with the size byte's top bits, seed the splits.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "port/frame_decoder.h"
#include "tests/fuzz/reference_decoder.h"

namespace {

using ktcomm::Decoder;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Splits and restarts, drawn once and followed by both ways of feeding.
struct Plan {
  std::vector<size_t> cuts;      // chunk starts, ascending, from 0
  std::vector<bool> restartAt;   // per chunk: restart before its first byte
  uint32_t holdPattern = 0;      // bit k: a caller waits for the k-th frame
};

uint32_t Next(uint32_t& x) {
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return x;
}

Plan MakePlan(uint32_t seed, size_t length, bool waiting) {
  Plan plan;
  uint32_t x = seed * 2654435761u + static_cast<uint32_t>(length) + 1;
  for (size_t at = 0; at < length; at += 1 + Next(x) % 24) {
    plan.cuts.push_back(at);
    plan.restartAt.push_back(waiting && Next(x) % 5 == 0);
  }
  plan.holdPattern = waiting ? Next(x) : 0;
  return plan;
}

struct Event {
  size_t offset;
  Decoder::Step step;
  int32_t state;
  std::vector<uint8_t> data;  // the frame's data, for frames and triggers
  bool operator==(const Event&) const = default;
};

// Drives a decoder as the receive path does: a completed frame is captured,
// then held, stored or posted; a trigger posts the stored frame.
class Driver {
 public:
  Driver(const ktcomm::FrameFormat* format, int rxSize, const Plan& plan)
      : format(format), rxBuf(static_cast<size_t>(rxSize)), plan(plan) {}

  void FeedBytes(std::span<const uint8_t> line) {
    size_t chunk = 0;
    for (size_t i = 0; i < line.size(); ++i) {
      if (chunk < plan.cuts.size() && plan.cuts[chunk] == i) {
        if (plan.restartAt[chunk]) decoder.Restart();
        ++chunk;
      }
      Deliver(decoder.Feed(format, line[i], rxBuf), i);
    }
  }

  void FeedRuns(std::span<const uint8_t> line) {
    for (size_t chunk = 0; chunk < plan.cuts.size(); ++chunk) {
      if (plan.restartAt[chunk]) decoder.Restart();
      size_t at = plan.cuts[chunk];
      const size_t end = chunk + 1 < plan.cuts.size() ? plan.cuts[chunk + 1] : line.size();
      while (at < end) {
        Decoder::Run run = decoder.FeedRun(format, line.subspan(at, end - at), rxBuf);
        Check(run.consumed >= 1 && run.consumed <= end - at);
        Check(run.step != Decoder::Step::kNone || run.consumed == end - at);
        at += run.consumed;
        Deliver(run.step, at - 1);
      }
    }
  }

  Decoder decoder;
  std::vector<Event> events;
  ktcomm::reference::Result posted;

 private:
  void Deliver(Decoder::Step step, size_t offset) {
    Check(decoder.rxPos >= 0 && decoder.rxPos <= static_cast<int32_t>(rxBuf.size()));
    Check(decoder.state >= 0 && decoder.state <= 8 && decoder.state != ktcomm::kUnused);
    if (step == Decoder::Step::kNone) return;
    if (step == Decoder::Step::kOverflow) {
      ++posted.overflows;
    } else if (step == Decoder::Step::kFrame) {
      stored.assign(rxBuf.begin(), rxBuf.begin() + decoder.rxPos);
      storedCommand = decoder.frameCommand;
      const bool withData = !stored.empty();
      const bool waited = (plan.holdPattern >> (frames++ % 32) & 1) != 0;
      auto delivery = decoder.Complete(*format, waited);
      if (delivery == Decoder::Delivery::kPost) {
        posted.frames.push_back({storedCommand, withData, stored});
      }
      if (delivery == Decoder::Delivery::kHold) Check(decoder.state == ktcomm::kData);
    } else if (step == Decoder::Step::kTrigger) {
      posted.frames.push_back({storedCommand, true, stored});
      decoder.Restart();
    }
    events.push_back({offset, step, decoder.state,
                      step == Decoder::Step::kOverflow ? std::vector<uint8_t>{} : stored});
  }

  const ktcomm::FrameFormat* format;
  std::vector<uint8_t> rxBuf;
  const Plan& plan;
  std::vector<uint8_t> stored;
  uint8_t storedCommand = 0;
  uint32_t frames = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int protocol = (data[0] & 1) + 1;
  const bool waiting = (data[0] & 2) != 0;
  const bool noProtocol = (data[0] & 0x0C) == 0x0C;
  const int rxSize = data[1] % 64;
  const uint32_t seed = static_cast<uint32_t>(data[0] >> 4 | (data[1] >> 6) << 4);
  const std::vector<uint8_t> line(data + 2, data + size);

  const ktcomm::FrameFormat* format =
      noProtocol ? nullptr : ktcomm::FormatFor(static_cast<uint8_t>(protocol));
  const Plan plan = MakePlan(seed, line.size(), waiting);
  Driver bytes(format, rxSize, plan);
  bytes.FeedBytes(line);
  Driver runs(format, rxSize, plan);
  runs.FeedRuns(line);

  Check(runs.events == bytes.events);
  Check(runs.decoder.state == bytes.decoder.state);
  Check(runs.decoder.rxPos == bytes.decoder.rxPos);
  Check(runs.decoder.holding == bytes.decoder.holding);
  if (format != nullptr && !waiting) {
    auto expected = ktcomm::reference::Decode(protocol, line, rxSize);
    Check(bytes.posted.frames == expected.frames);
    Check(bytes.posted.overflows == expected.overflows);
  }
  return 0;
}
