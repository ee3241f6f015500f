// Random bytes through both decoders. Invariants: the receive position never
// passes the buffer, the state stays 0 to 8, and with no caller waiting every
// delivered frame and overflow matches the reference decoder.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "port/frame_decoder.h"
#include "tests/fuzz/reference_decoder.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using ktcomm::Decoder;
  if (size < 2) return 0;
  const int protocol = (data[0] & 1) + 1;
  const bool waiting = (data[0] & 2) != 0;  // a caller waits for every frame
  const int rxSize = data[1] % 64;
  std::vector<uint8_t> stream(data + 2, data + size);

  const ktcomm::FrameFormat* format = ktcomm::FormatFor(static_cast<uint8_t>(protocol));
  std::vector<uint8_t> rxBuf(rxSize);
  Decoder decoder;
  ktcomm::reference::Result got;
  std::vector<uint8_t> stored;
  uint8_t storedCommand = 0;
  for (uint8_t byte : stream) {
    auto step = decoder.Feed(format, byte, rxBuf);
    Check(decoder.rxPos >= 0 && decoder.rxPos <= rxSize);
    Check(decoder.state >= 0 && decoder.state <= 8 && decoder.state != ktcomm::kUnused);
    if (step == Decoder::Step::kOverflow) {
      ++got.overflows;
    } else if (step == Decoder::Step::kFrame) {
      stored.assign(rxBuf.begin(), rxBuf.begin() + decoder.rxPos);
      storedCommand = decoder.frameCommand;
      bool withData = !stored.empty();
      auto delivery = decoder.Complete(*format, waiting);
      if (delivery == Decoder::Delivery::kPost) got.frames.push_back({storedCommand, withData, stored});
      if (delivery == Decoder::Delivery::kHold) Check(decoder.state == ktcomm::kData);
    } else if (step == Decoder::Step::kTrigger) {
      got.frames.push_back({storedCommand, true, stored});
      decoder.Restart();
    }
  }
  if (!waiting) {
    auto expected = ktcomm::reference::Decode(protocol, stream, rxSize);
    Check(got.frames == expected.frames);
    Check(got.overflows == expected.overflows);
  }
  return 0;
}
