#include "tools/sim/sim_frames.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tools/common/hex.h"

namespace ktcomm::sim {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(EncodeTest, FramesAsTheLibraryExpectsThem) {
  EXPECT_EQ(Encode({1, 0x10, {0x05}}), (Bytes{0x00, 0x80, 0x02, 0x10, 0x05}));
  EXPECT_EQ(Encode({1, 0x10, {}}), (Bytes{0x00, 0x80, 0x01, 0x10}));
  EXPECT_EQ(Encode({1, 0x1A, {0xAA, 0xBB}}, {.extraLeads = 2, .longLength = true}),
            (Bytes{0x00, 0x00, 0x00, 0x81, 0x03, 0x00, 0x1A, 0xAA, 0xBB}));
  // Protocol 2: the trailer follows data only.
  EXPECT_EQ(Encode({2, 0x42, {0x01, 0x02}}),
            (Bytes{0x1B, 0xF3, 0x03, 0x00, 0x42, 0x01, 0x02, 0x0D}));
  EXPECT_EQ(Encode({2, 0x42, {}}), (Bytes{0x1B, 0xF3, 0x01, 0x00, 0x42}));
  EXPECT_EQ(Encode({2, 0x42, {0x07}}, {.trailer = 0x1B}).back(), 0x1B);
}

TEST(EncodeTest, SwitchesToTwoLengthBytesWhenOneIsNotEnough) {
  Bytes bytes = Encode({1, 0x1A, Bytes(254, 0x55)});
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 3), (Bytes{0x00, 0x80, 0xFF}));
  bytes = Encode({1, 0x1A, Bytes(255, 0x55)});
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4), (Bytes{0x00, 0x81, 0x00, 0x01}));
  EXPECT_EQ(bytes.size(), 5u + 255u);
}

TEST(EncodeTest, RefusesWhatNoFrameCanCarry) {
  EXPECT_THROW(Encode({3, 0x10, {}}), std::invalid_argument);
  EXPECT_THROW(Encode({2, 0x10, Bytes(kMaxData + 1)}), std::invalid_argument);
  EXPECT_NO_THROW(Encode({2, 0x10, Bytes(kMaxData)}));
}

// Frames of every form survive encoding and parsing, fed in two pieces split
// at every position.
TEST(FrameParserTest, ParsesEveryFormSplitAnywhere) {
  const std::vector<std::pair<Frame, EncodeOptions>> cases = {
      {{1, 0x10, {}}, {}},
      {{1, 0x10, {0x05}}, {}},
      {{1, 0x1A, {0xAA, 0xBB}}, {.extraLeads = 3, .longLength = true}},
      {{1, 0x1A, Bytes(300, 0x80)}, {}},
      {{2, 0x42, {}}, {}},
      {{2, 0x42, {0x1B, 0xF3, 0x00}}, {.extraLeads = 1}},
  };
  for (const auto& [frame, options] : cases) {
    Bytes bytes = Encode(frame, options);
    for (size_t split = 0; split <= bytes.size(); ++split) {
      SCOPED_TRACE(hex::Format(bytes) + " split at " + std::to_string(split));
      FrameParser parser;
      std::vector<Frame> got = parser.Feed({bytes.data(), split});
      std::vector<Frame> rest = parser.Feed({bytes.data() + split, bytes.size() - split});
      got.insert(got.end(), rest.begin(), rest.end());
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0], frame);
      EXPECT_EQ(parser.Rejected(), 0u);
    }
  }
}

TEST(FrameParserTest, FindsFramesBetweenNoiseAndBackToBack) {
  Bytes line = {0x55, 0x80, 0xF3, 0xFF};  // no lead byte: ignored
  for (const Frame& frame :
       {Frame{1, 0x10, {0x05}}, Frame{2, 0x42, {0x01}}, Frame{1, 0x05, {}}, Frame{2, 0x43, {}}}) {
    Bytes bytes = Encode(frame);
    line.insert(line.end(), bytes.begin(), bytes.end());
  }
  FrameParser parser;
  std::vector<Frame> got = parser.Feed(line);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], (Frame{1, 0x10, {0x05}}));
  EXPECT_EQ(got[1], (Frame{2, 0x42, {0x01}}));
  EXPECT_EQ(got[2], (Frame{1, 0x05, {}}));
  EXPECT_EQ(got[3], (Frame{2, 0x43, {}}));
  EXPECT_EQ(parser.Rejected(), 0u);
}

TEST(FrameParserTest, GivesUpOnBrokenFramesAndReadsTheNextOne) {
  const Bytes good = Encode({1, 0x10, {0x05}});
  const std::vector<Bytes> broken = {
      {0x00, 0x7F},              // unknown type
      {0x00, 0x80, 0x00},        // zero length
      {0x00, 0x81, 0x00, 0x00},  // zero two-byte length
      {0x1B, 0xF3, 0x00, 0x00},  // zero length, protocol 2
      {0x1B, 0x80},              // protocol 1's type after protocol 2's lead
      {0x00, 0x80, 0x06, 0x1A},  // over maxData, rejected at its length
  };
  for (const Bytes& bad : broken) {
    SCOPED_TRACE(hex::Format(bad));
    FrameParser parser(/*maxData=*/4);
    Bytes line = bad;
    line.insert(line.end(), good.begin(), good.end());
    std::vector<Frame> got = parser.Feed(line);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Frame{1, 0x10, {0x05}}));
    EXPECT_EQ(parser.Rejected(), 1u);
  }
}

TEST(FrameParserTest, TakesABadTypeByteAsTheNextLead) {
  FrameParser parser;
  std::vector<Frame> got = parser.Feed(Bytes{0x00, 0x1B, 0xF3, 0x01, 0x00, 0x42});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], (Frame{2, 0x42, {}}));
}

// The byte after a protocol-2 frame with data is its trailer, whatever it
// is; a frame sent without one loses its lead to it, as in the library.
TEST(FrameParserTest, SkipsExactlyOneTrailerByte) {
  FrameParser parser;
  Bytes line = {0x1B, 0xF3, 0x02, 0x00, 0x42, 0x07};
  Bytes next = Encode({2, 0x43, {}});
  line.insert(line.end(), next.begin(), next.end());
  line.insert(line.end(), next.begin(), next.end());
  std::vector<Frame> got = parser.Feed(line);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], (Frame{2, 0x42, {0x07}}));
  EXPECT_EQ(got[1], (Frame{2, 0x43, {}}));
}

TEST(FrameParserTest, ResetDropsAFramePartlyRead) {
  FrameParser parser;
  EXPECT_TRUE(parser.Feed(Bytes{0x00, 0x80, 0x03, 0x1A, 0x01}).empty());
  parser.Reset();
  std::vector<Frame> got = parser.Feed(Encode({1, 0x05, {}}));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].command, 0x05);
}

TEST(ReplyTableTest, EchoesProtocol1CommandsByDefault) {
  ReplyTable table;
  EXPECT_EQ(table.ReplyTo({1, 0x10, {0x05}}, 1), (Frame{1, 0x10, {0x05}}));
  EXPECT_EQ(table.ReplyTo({1, 0x1A, {1, 2, 3}}, 2), (Frame{2, 0x1A, {1, 2, 3}}));
  EXPECT_EQ(table.ReplyTo({1, 0x77, {}}, 1), std::nullopt);
}

TEST(ReplyTableTest, RulesReplaceTheDefault) {
  ReplyTable table;
  std::string error;
  ASSERT_TRUE(table.AddRule("10=1105", &error)) << error;
  ASSERT_TRUE(table.AddRule("0x3c=", &error)) << error;
  ASSERT_TRUE(table.AddRule("77=78 de ad", &error)) << error;
  EXPECT_EQ(table.ReplyTo({1, 0x10, {0x99}}, 1), (Frame{1, 0x11, {0x05}}));
  EXPECT_EQ(table.ReplyTo({1, 0x3C, {}}, 1), std::nullopt);
  EXPECT_EQ(table.ReplyTo({2, 0x77, {}}, 2), (Frame{2, 0x78, {0xDE, 0xAD}}));
  EXPECT_EQ(table.ReplyTo({1, 0x05, {}}, 1), (Frame{1, 0x05, {}}));
}

TEST(ReplyTableTest, RefusesMalformedRules) {
  for (const char* rule : {"10", "=10", "zz=10", "100=10", "10=1", "10=xy"}) {
    ReplyTable table;
    std::string error;
    EXPECT_FALSE(table.AddRule(rule, &error)) << rule;
    EXPECT_NE(error.find(rule), std::string::npos) << error;
    EXPECT_EQ(table.ReplyTo({1, 0x10, {}}, 1), (Frame{1, 0x10, {}})) << rule;
  }
}

TEST(HexTest, ParsesAndFormats) {
  Bytes bytes;
  EXPECT_TRUE(hex::Parse("0xDEad be:ef-01", &bytes));
  EXPECT_EQ(bytes, (Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x01}));
  EXPECT_EQ(hex::Format(bytes), "de ad be ef 01");
  EXPECT_EQ(hex::Format(bytes, 0), "deadbeef01");
  EXPECT_TRUE(hex::Parse("", &bytes));
  for (const char* bad : {"1", "abc", "0x1", "1g", "12 3"}) {
    EXPECT_FALSE(hex::Parse(bad, &bytes)) << bad;
  }
  EXPECT_EQ(bytes.size(), 5u);  // failures leave the output alone

  uint8_t byte = 0;
  EXPECT_TRUE(hex::ParseByte("5", &byte));
  EXPECT_EQ(byte, 0x05);
  EXPECT_TRUE(hex::ParseByte("0xCE", &byte));
  EXPECT_EQ(byte, 0xCE);
  for (const char* bad : {"", "0x", "100", "g1", "-1"}) {
    EXPECT_FALSE(hex::ParseByte(bad, &byte)) << bad;
  }
}

}  // namespace
}  // namespace ktcomm::sim
