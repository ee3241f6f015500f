#include "platform/line_definition.h"

#include <gtest/gtest.h>

namespace ktcomm::platform {
namespace {

TEST(LineDefinitionTest, ReadsEverySettingInAnyCase) {
  struct Case {
    const char* text;
    uint32_t baud;
    char parity;
    int dataBits, stopBits;
  };
  const Case cases[] = {
      {"baud=9600 parity=N data=8 stop=1", 9600, 'N', 8, 1},
      {"baud=1 parity=e data=5 stop=2", 1, 'E', 5, 2},
      {"baud=12345 parity=o data=6 stop=1", 12345, 'O', 6, 1},
      {"BAUD=4000000 Parity=m DATA=7 Stop=2", 4000000, 'M', 7, 2},
      {"  stop=1   data=8 parity=s baud=300 ", 300, 'S', 8, 1},
  };
  for (const Case& c : cases) {
    auto line = ParseLineDefinition(c.text);
    ASSERT_TRUE(line.has_value()) << c.text;
    EXPECT_EQ(line->baud, c.baud) << c.text;
    EXPECT_EQ(line->parity, c.parity) << c.text;
    EXPECT_EQ(line->dataBits, c.dataBits) << c.text;
    EXPECT_EQ(line->stopBits, c.stopBits) << c.text;
  }
}

TEST(LineDefinitionTest, RefusesWhatItDoesNotUnderstand) {
  const char* refused[] = {
      "baud=0 parity=N data=8 stop=1",
      "baud=-9600 parity=N data=8 stop=1",
      "baud=96x0 parity=N data=8 stop=1",
      "baud=99999999999 parity=N data=8 stop=1",
      "baud=9600 parity=X data=8 stop=1",
      "baud=9600 parity=NN data=8 stop=1",
      "baud=9600 parity=N data=4 stop=1",
      "baud=9600 parity=N data=9 stop=1",
      "baud=9600 parity=N data=8 stop=0",
      "baud=9600 parity=N data=8 stop=3",
      "baud=9600 parity=N data=8 stop=1.5",
      "baud=9600 parity=N data=8 stop=1 xon=on",
      "baud=9600 parity N",
      "baud=9600 baud=9600",
      // What the port builds from a parity of 0: the text ends at "parity=".
      "baud=9600 parity=",
  };
  for (const char* text : refused) {
    EXPECT_FALSE(ParseLineDefinition(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace ktcomm::platform
