#include "platform/line_definition.h"

#include <gtest/gtest.h>

#include <string>

namespace ktcomm::platform {
namespace {

TEST(LineDefinitionTest, ReadsEverySettingInAnyCase) {
  struct Case {
    const char* text;
    uint32_t baud;
    char parity;
    int dataBits;
    int stopBits;
  };
  const Case cases[] = {
      {"baud=9600 parity=N data=8 stop=1", 9600, 'N', 8, 1},
      {"baud=115200 parity=e data=7 stop=2", 115200, 'E', 7, 2},
      {"baud=1 parity=o data=5 stop=1", 1, 'O', 5, 1},
      {"baud=12345 parity=M data=6 stop=2", 12345, 'M', 6, 2},
      {"baud=4000000 parity=s data=8 stop=1", 4000000, 'S', 8, 1},
      {"BAUD=300 Parity=N DATA=8 Stop=1", 300, 'N', 8, 1},
      {"  stop=2   data=7 parity=E baud=2400 ", 2400, 'E', 7, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto line = ParseLineDefinition(c.text);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->baud, c.baud);
    EXPECT_EQ(line->parity, c.parity);
    EXPECT_EQ(line->dataBits, c.dataBits);
    EXPECT_EQ(line->stopBits, c.stopBits);
  }
}

TEST(LineDefinitionTest, LeavesSettingsItDoesNotNameUnset) {
  auto line = ParseLineDefinition("baud=19200");
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(line->baud, 19200u);
  EXPECT_FALSE(line->parity.has_value());
  EXPECT_FALSE(line->dataBits.has_value());
  EXPECT_FALSE(line->stopBits.has_value());
}

TEST(LineDefinitionTest, RefusesWhatItDoesNotUnderstand) {
  const char* refused[] = {
      // Values out of range or malformed.
      "baud=0 parity=N data=8 stop=1",
      "baud=-9600 parity=N data=8 stop=1",
      "baud=+9600 parity=N data=8 stop=1",
      "baud=96x0 parity=N data=8 stop=1",
      "baud=99999999999 parity=N data=8 stop=1",
      "baud= parity=N data=8 stop=1",
      "baud=9600 parity=X data=8 stop=1",
      "baud=9600 parity=NN data=8 stop=1",
      "baud=9600 parity= data=8 stop=1",
      "baud=9600 parity=N data=4 stop=1",
      "baud=9600 parity=N data=9 stop=1",
      "baud=9600 parity=N data=8 stop=0",
      "baud=9600 parity=N data=8 stop=3",
      "baud=9600 parity=N data=8 stop=1.5",
      // Unknown keys, pairs without '=', keys given twice.
      "baud=9600 parity=N data=8 stop=1 xon=on",
      "rate=9600",
      "baud=9600 parity N",
      "baud 9600",
      "baud=9600 baud=9600",
      "parity=N parity=E",
      "data=8 data=8",
      "stop=1 stop=1",
      // What the port builds from a parity of 0: the text ends at "parity=".
      "baud=9600 parity=",
  };
  for (const char* text : refused) {
    EXPECT_FALSE(ParseLineDefinition(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace ktcomm::platform
