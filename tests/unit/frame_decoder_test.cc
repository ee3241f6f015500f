#include "port/frame_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

namespace ktcomm {
namespace {

using Bytes = std::vector<uint8_t>;

struct Frame {
  uint8_t command;
  Bytes data;
  bool operator==(const Frame&) const = default;
};

// Runs the decoder the way the port's receive loop does: a completed frame is
// captured, then held, stored or posted; a trigger posts the stored frame.
class Harness {
 public:
  Harness(const FrameFormat* format, size_t rxSize) : format(format), rxBuf(rxSize) {}

  void Feed(const Bytes& bytes) {
    for (uint8_t byte : bytes) Handle(decoder.Feed(format, byte, rxBuf), 1);
  }

  // The same bytes through FeedRun, as the receive path feeds what it read:
  // each run delivers its event, then the rest of the bytes go in.
  void FeedRuns(const Bytes& bytes) {
    std::span<const uint8_t> rest(bytes);
    while (!rest.empty()) {
      Decoder::Run run = decoder.FeedRun(format, rest, rxBuf);
      // A run uses up something, and stops early only at an event.
      ASSERT_GE(run.consumed, 1u);
      ASSERT_TRUE(run.step != Decoder::Step::kNone || run.consumed == rest.size());
      Handle(run.step, run.consumed);
      rest = rest.subspan(run.consumed);
    }
  }

  // Where each event fell: the stream offset of its byte and its step.
  struct Event {
    size_t offset;
    Decoder::Step step;
    bool operator==(const Event&) const = default;
  };

  Decoder decoder;
  bool responseWanted = false;
  std::vector<Frame> posted;
  std::vector<Frame> held;
  std::vector<Event> events;
  int overflows = 0;
  size_t fed = 0;

  // rxBuf's data bytes, including those piled up behind a held frame.
  Bytes Stored() const { return Bytes(rxBuf.begin(), rxBuf.begin() + decoder.rxPos); }

 private:
  void Handle(Decoder::Step step, size_t count) {
    fed += count;
    if (step != Decoder::Step::kNone) events.push_back({fed - 1, step});
    switch (step) {
      case Decoder::Step::kNone:
        break;
      case Decoder::Step::kOverflow:
        overflows += 1;
        break;
      case Decoder::Step::kFrame:
        stored = {decoder.frameCommand, Bytes(rxBuf.begin(), rxBuf.begin() + decoder.rxPos)};
        switch (decoder.Complete(*format, responseWanted)) {
          case Decoder::Delivery::kHold: held.push_back(stored); break;
          case Decoder::Delivery::kStore: break;
          case Decoder::Delivery::kPost: posted.push_back(stored); break;
        }
        break;
      case Decoder::Step::kTrigger:
        posted.push_back(stored);
        decoder.Restart();
        break;
    }
  }

  const FrameFormat* format;
  Bytes rxBuf;
  Frame stored{};
};

struct Case {
  const char* what;
  Bytes line;
  std::vector<Frame> posted;
  int32_t endState;
};

void RunCases(const FrameFormat& format, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h(&format, 512);
    h.Feed(c.line);
    EXPECT_EQ(h.posted, c.posted);
    EXPECT_EQ(h.decoder.state, c.endState);
    EXPECT_EQ(h.overflows, 0);
  }
}

TEST(FrameDecoder, Protocol1) {
  const Bytes big = [] {
    Bytes data(258);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    return data;
  }();
  Bytes longFrame = {0x00, 0x81, 0x03, 0x01, 0x1A};  // length 0x103: command and 258 bytes
  longFrame.insert(longFrame.end(), big.begin(), big.end());

  RunCases(kProtocol1, {
      {"no data", {0x00, 0x80, 0x01, 0x10}, {{0x10, {}}}, kIdle},
      {"long form, extra leads", {0x00, 0x00, 0x00, 0x81, 0x03, 0x00, 0x1A, 0xAA, 0xBB},
       {{0x1A, {0xAA, 0xBB}}}, kIdle},
      {"length high byte", longFrame, {{0x1A, big}}, kIdle},
      {"one data byte", {0x00, 0x80, 0x02, 0xCE, 0x09}, {{0xCE, {0x09}}}, kIdle},
      {"two data bytes on a one-byte command", {0x00, 0x80, 0x03, 0x10, 0x01, 0x02}, {}, kIdle},
      {"unknown command", {0x00, 0x80, 0x02, 0x77, 0x05}, {}, kIdle},
      {"zero short length", {0x00, 0x80, 0x00}, {}, kIdle},
      {"zero long length", {0x00, 0x81, 0x00, 0x00}, {}, kIdle},
      {"unknown type", {0x00, 0xF3, 0x01, 0x10}, {}, kIdle},
      {"partial frame", {0x00, 0x00, 0x80, 0x03, 0x1A, 0x01}, {}, kData},
      {"noise first", {0x10, 0x80, 0xFF, 0x1A, 0x00, 0x55, 0x00, 0x80, 0x01, 0x10},
       {{0x10, {}}}, kIdle},
      {"back to back",
       {0x00, 0x80, 0x01, 0x10, 0x00, 0x80, 0x02, 0x05, 0x01, 0x00, 0x81, 0x03, 0x00, 0x1A,
        0xAA, 0xBB},
       {{0x10, {}}, {0x05, {0x01}}, {0x1A, {0xAA, 0xBB}}}, kIdle},
      {"dropped, then good", {0x00, 0x80, 0x03, 0x10, 0x01, 0x02, 0x00, 0x80, 0x01, 0x24},
       {{0x24, {}}}, kIdle},
      {"zero length, then good", {0x00, 0x80, 0x00, 0x00, 0x80, 0x02, 0x10, 0x07},
       {{0x10, {0x07}}}, kIdle},
  });
}

TEST(FrameDecoder, Protocol2) {
  RunCases(kProtocol2, {
      {"data waits for one more byte", {0x1B, 0xF3, 0x03, 0x00, 0x42, 0x01, 0x02}, {}, kStored},
      {"any byte posts it", {0x1B, 0xF3, 0x03, 0x00, 0x42, 0x01, 0x02, 0x99},
       {{0x42, {0x01, 0x02}}}, kIdle},
      {"no data posts at once", {0x1B, 0xF3, 0x01, 0x00, 0x42}, {{0x42, {}}}, kIdle},
      {"no command table, any length", {0x1B, 0x1B, 0xF3, 0x04, 0x00, 0x77, 1, 2, 3, 0x00},
       {{0x77, {1, 2, 3}}}, kIdle},
      {"the trigger eats the next lead",
       {0x1B, 0xF3, 0x02, 0x00, 0x42, 0x07, 0x1B, 0xF3, 0x01, 0x00, 0x43},
       {{0x42, {0x07}}}, kIdle},
      {"a second lead survives it",
       {0x1B, 0xF3, 0x02, 0x00, 0x42, 0x07, 0x1B, 0x1B, 0xF3, 0x01, 0x00, 0x43},
       {{0x42, {0x07}}, {0x43, {}}}, kIdle},
      {"zero length, then good", {0x1B, 0xF3, 0x00, 0x00, 0x1B, 0xF3, 0x01, 0x00, 0x44},
       {{0x44, {}}}, kIdle},
      {"no short form", {0x1B, 0x00, 0x01, 0x10, 0x1B, 0x80, 0x01, 0x10}, {}, kIdle},
      {"protocol-1 frame", {0x00, 0x80, 0x01, 0x10}, {}, kIdle},
  });
}

// A frame handed to a waiting caller is held: later bytes pile up behind its
// data and never complete a frame, until the buffer overflows.
TEST(FrameDecoder, HoldsForAWaitingCaller) {
  struct HoldCase {
    const FrameFormat* format;
    Bytes frame;
    Frame expected;
  };
  for (const HoldCase& c : {HoldCase{&kProtocol1, {0x00, 0x80, 0x02, 0x10, 0x05}, {0x10, {5}}},
                            HoldCase{&kProtocol2, {0x1B, 0xF3, 0x03, 0x00, 0x42, 1, 2},
                                     {0x42, {1, 2}}}}) {
    SCOPED_TRACE(c.format == &kProtocol1 ? "protocol 1" : "protocol 2");
    const size_t rxSize = 12;
    Harness h(c.format, rxSize);
    h.responseWanted = true;
    h.Feed(c.frame);
    ASSERT_EQ(h.held, std::vector<Frame>{c.expected});
    EXPECT_EQ(h.decoder.state, kData);

    h.responseWanted = false;
    const Bytes again = c.frame;
    size_t room = rxSize - c.expected.data.size();
    for (size_t i = 0; i < room; ++i) h.Feed({again[i % again.size()]});
    EXPECT_EQ(h.decoder.state, kData);
    EXPECT_EQ(h.decoder.rxPos, static_cast<int32_t>(rxSize));
    EXPECT_TRUE(h.posted.empty());
    EXPECT_EQ(h.held.size(), 1u);
    EXPECT_EQ(h.overflows, 0);

    h.Feed({0x00});
    EXPECT_EQ(h.overflows, 1);
    EXPECT_EQ(h.decoder.state, kOverflowed);
    EXPECT_EQ(h.decoder.rxPos, 0);

    // After the overflow the next frame is decoded from data position zero.
    h.Feed(c.frame);
    EXPECT_EQ(h.held.size(), 1u);
    h.Feed({0xFF});
    EXPECT_EQ(h.posted, std::vector<Frame>{c.expected});
  }
}

// The room test comes before decoding, whatever the state: a full buffer
// drops the byte and the frame, and the next lead starts afresh.
TEST(FrameDecoder, OverflowComesBeforeDecodingInEveryState) {
  for (const FrameFormat* format : {&kProtocol1, &kProtocol2}) {
    for (int32_t state = kIdle; state <= kOverflowed; ++state) {
      SCOPED_TRACE(testing::Message() << "lead " << int{format->lead} << " state " << state);
      Harness h(format, 4);
      h.decoder.state = state;
      h.decoder.frameLength = 9;
      h.decoder.rxPos = 4;
      h.Feed({format->lead});
      EXPECT_EQ(h.overflows, 1);
      EXPECT_EQ(h.decoder.state, kOverflowed);
      EXPECT_EQ(h.decoder.rxPos, 0);
      EXPECT_TRUE(h.posted.empty());
      h.Feed({format->lead});
      EXPECT_EQ(h.decoder.state, kLeadSeen);
    }
  }
}

TEST(FrameDecoder, FrameExactlyFillingTheBuffer) {
  // Protocol 1 completes at its last data byte.
  Harness one(&kProtocol1, 3);
  one.Feed({0x00, 0x80, 0x04, 0x1A, 1, 2, 3});
  EXPECT_EQ(one.posted, (std::vector<Frame>{{0x1A, {1, 2, 3}}}));
  EXPECT_EQ(one.overflows, 0);
  one.Feed({0x00, 0x80, 0x05, 0x1A, 1, 2, 3, 4});
  EXPECT_EQ(one.overflows, 1);
  EXPECT_EQ(one.posted.size(), 1u);

  // Protocol 2 is stored full, so the byte that would post it overflows.
  Harness two(&kProtocol2, 3);
  two.Feed({0x1B, 0xF3, 0x04, 0x00, 0x42, 1, 2, 3});
  EXPECT_EQ(two.decoder.state, kStored);
  two.Feed({0xFF});
  EXPECT_EQ(two.overflows, 1);
  EXPECT_EQ(two.decoder.state, kOverflowed);
  EXPECT_TRUE(two.posted.empty());
  two.Feed({0x1B, 0xF3, 0x01, 0x00, 0x43});
  EXPECT_EQ(two.posted, (std::vector<Frame>{{0x43, {}}}));
}

TEST(FrameDecoder, NoProtocolDecodesNothingButStillOverflows) {
  EXPECT_EQ(FormatFor(0), nullptr);
  EXPECT_EQ(FormatFor(3), nullptr);
  const Bytes line = {0x00, 0x80, 0x01, 0x10, 0x1B, 0xF3, 0x01, 0x00, 0x42};

  Harness roomy(nullptr, 16);
  roomy.Feed(line);
  EXPECT_EQ(roomy.decoder.state, kIdle);
  EXPECT_EQ(roomy.overflows, 0);

  Harness none(nullptr, 0);
  none.Feed(line);
  EXPECT_EQ(none.overflows, static_cast<int>(line.size()));
  EXPECT_EQ(none.decoder.state, kOverflowed);
}

// FeedRun must be Feed in bulk: the same frames, overflows and end state,
// each event on the same byte, wherever the bytes are split into reads.
void ExpectRunsMatchBytes(const FrameFormat* format, size_t rxSize, const Bytes& line,
                          bool responseWanted) {
  Harness bytewise(format, rxSize);
  bytewise.responseWanted = responseWanted;
  bytewise.Feed(line);
  for (size_t split = 0; split <= line.size(); ++split) {
    SCOPED_TRACE(testing::Message() << "split at " << split);
    Harness runs(format, rxSize);
    runs.responseWanted = responseWanted;
    runs.FeedRuns(Bytes(line.begin(), line.begin() + split));
    runs.FeedRuns(Bytes(line.begin() + split, line.end()));
    EXPECT_EQ(runs.events, bytewise.events);
    EXPECT_EQ(runs.posted, bytewise.posted);
    EXPECT_EQ(runs.held, bytewise.held);
    EXPECT_EQ(runs.overflows, bytewise.overflows);
    EXPECT_EQ(runs.decoder.state, bytewise.decoder.state);
    EXPECT_EQ(runs.Stored(), bytewise.Stored());
    EXPECT_EQ(runs.decoder.holding, bytewise.decoder.holding);
  }
}

TEST(FrameDecoderRun, MatchesFeedSplitAtEveryPosition) {
  struct Line {
    const char* what;
    const FrameFormat* format;
    size_t rxSize;
    Bytes bytes;
  };
  Bytes longFrame = {0x55, 0x00, 0x81, 0x2D, 0x00, 0x1A};  // 44 data bytes
  for (int i = 0; i < 44; ++i) longFrame.push_back(static_cast<uint8_t>(i * 13));
  const std::vector<Line> lines = {
      {"p1 one frame", &kProtocol1, 64, {0x00, 0x80, 0x04, 0x1A, 0x00, 0x00, 0x80}},
      {"p1 noise, then frames back to back", &kProtocol1, 64,
       {0x10, 0x80, 0xFF, 0x1A, 0x55, 0x00, 0x80, 0x01, 0x10, 0x00, 0x80, 0x02, 0x05, 0x01,
        0x00, 0x00, 0x81, 0x03, 0x00, 0x1A, 0xAA, 0xBB, 0x42}},
      {"p1 rejected frames between good ones", &kProtocol1, 64,
       {0x00, 0x80, 0x03, 0x10, 0x01, 0x02, 0x00, 0x80, 0x00, 0x00, 0x81, 0x00, 0x00, 0x00,
        0x7F, 0x00, 0x80, 0x02, 0x24, 0x00}},
      {"p1 long frame in a small buffer", &kProtocol1, 20, longFrame},
      {"p1 long frame", &kProtocol1, 64, longFrame},
      {"p2 frames, triggers and noise", &kProtocol2, 64,
       {0x42, 0x1B, 0xF3, 0x03, 0x00, 0x42, 0x01, 0x1B, 0x1B, 0x1B, 0xF3, 0x01, 0x00, 0x43,
        0x00, 0x1B, 0x1B, 0xF3, 0x02, 0x00, 0x44, 0x1B, 0x1B, 0xF3, 0x00, 0x00}},
      {"p2 frame filling the buffer, then its trigger", &kProtocol2, 3,
       {0x1B, 0xF3, 0x04, 0x00, 0x42, 1, 2, 3, 0xFF, 0x1B, 0xF3, 0x02, 0x00, 0x43, 9, 0x00}},
      {"no protocol", nullptr, 4, {0x00, 0x80, 0x01, 0x10, 0x1B, 0xF3}},
      {"no protocol, no room", nullptr, 0, {0x00, 0x80, 0x01, 0x10}},
  };
  for (const Line& line : lines) {
    for (bool responseWanted : {false, true}) {
      SCOPED_TRACE(testing::Message() << line.what << (responseWanted ? ", held" : ""));
      ExpectRunsMatchBytes(line.format, line.rxSize, line.bytes, responseWanted);
    }
  }
}

// The receive path delivers between runs, so each run ends on its event.
TEST(FrameDecoderRun, StopsRightAfterEachEvent) {
  Decoder decoder;
  Bytes rxBuf(64);
  const Bytes line = {0x00, 0x80, 0x03, 0x1A, 7, 8, 0x00, 0x80, 0x01, 0x10, 0x33, 0x44};
  std::span<const uint8_t> rest(line);

  Decoder::Run run = decoder.FeedRun(&kProtocol1, rest, rxBuf);
  EXPECT_EQ(run.consumed, 6u);
  EXPECT_EQ(run.step, Decoder::Step::kFrame);
  EXPECT_EQ(Bytes(rxBuf.begin(), rxBuf.begin() + decoder.rxPos), (Bytes{7, 8}));
  decoder.Complete(kProtocol1, false);

  run = decoder.FeedRun(&kProtocol1, rest.subspan(6), rxBuf);
  EXPECT_EQ(run.consumed, 4u);
  EXPECT_EQ(run.step, Decoder::Step::kFrame);
  EXPECT_EQ(decoder.frameCommand, 0x10);
  decoder.Complete(kProtocol1, false);

  run = decoder.FeedRun(&kProtocol1, rest.subspan(10), rxBuf);
  EXPECT_EQ(run.consumed, 2u);
  EXPECT_EQ(run.step, Decoder::Step::kNone);

  run = decoder.FeedRun(&kProtocol1, {}, rxBuf);
  EXPECT_EQ(run.consumed, 0u);
  EXPECT_EQ(run.step, Decoder::Step::kNone);
}

// A data run is cut where the buffer fills: the byte after the last that
// fits overflows, whether the frame is being collected or held.
TEST(FrameDecoderRun, OverflowsOnTheByteThatFindsTheBufferFull) {
  for (const FrameFormat* format : {&kProtocol1, &kProtocol2}) {
    SCOPED_TRACE(format == &kProtocol1 ? "protocol 1" : "protocol 2");
    const Bytes header = format == &kProtocol1 ? Bytes{0x00, 0x81, 0x10, 0x00, 0x1A}
                                               : Bytes{0x1B, 0xF3, 0x10, 0x00, 0x1A};
    for (bool holding : {false, true}) {
      SCOPED_TRACE(holding ? "held frame" : "long frame");
      Decoder decoder;
      Bytes rxBuf(6);
      Bytes line = header;
      if (holding) {
        // A one-byte frame handed over, then more bytes than there is room.
        line = format == &kProtocol1 ? Bytes{0x00, 0x80, 0x01, 0x10}
                                     : Bytes{0x1B, 0xF3, 0x01, 0x00, 0x10};
        Decoder::Run run = decoder.FeedRun(format, line, rxBuf);
        ASSERT_EQ(run.step, Decoder::Step::kFrame);
        decoder.Complete(*format, true);
      } else {
        ASSERT_EQ(decoder.FeedRun(format, header, rxBuf).step, Decoder::Step::kNone);
      }
      const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9};
      Decoder::Run run = decoder.FeedRun(format, data, rxBuf);
      EXPECT_EQ(run.consumed, 7u);
      EXPECT_EQ(run.step, Decoder::Step::kOverflow);
      EXPECT_EQ(Bytes(rxBuf.begin(), rxBuf.end()), (Bytes{1, 2, 3, 4, 5, 6}));
      EXPECT_EQ(decoder.state, kOverflowed);
      EXPECT_EQ(decoder.rxPos, 0);
      EXPECT_FALSE(decoder.holding);
    }
  }
}

// The room test comes first in every state, as for Feed.
TEST(FrameDecoderRun, OverflowComesBeforeDecodingInEveryState) {
  for (const FrameFormat* format : {&kProtocol1, &kProtocol2}) {
    for (int32_t state = kIdle; state <= kOverflowed; ++state) {
      SCOPED_TRACE(testing::Message() << "lead " << int{format->lead} << " state " << state);
      Decoder decoder;
      Bytes rxBuf(4);
      decoder.state = state;
      decoder.frameLength = 9;
      decoder.rxPos = 4;
      const Bytes leads = {format->lead, format->lead};
      Decoder::Run run = decoder.FeedRun(format, leads, rxBuf);
      EXPECT_EQ(run.consumed, 1u);
      EXPECT_EQ(run.step, Decoder::Step::kOverflow);
      EXPECT_EQ(decoder.state, kOverflowed);
      run = decoder.FeedRun(format, std::span(leads).subspan(1), rxBuf);
      EXPECT_EQ(run.step, Decoder::Step::kNone);
      EXPECT_EQ(decoder.state, kLeadSeen);
    }
  }
}

}  // namespace
}  // namespace ktcomm
