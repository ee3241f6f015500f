#include "diag/traffic_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ktcomm::diag {
namespace {

class TrafficLogTest : public testing::Test {
 protected:
  void SetUp() override {
    path = testing::TempDir() + "traffic_log_" + std::to_string(getpid()) + "_" +
           testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
  }
  void TearDown() override { std::remove(path.c_str()); }

  std::string Contents() {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string path;
};

TEST_F(TrafficLogTest, HeadersOnlyWhenTheDirectionChanges) {
  TrafficLog log;
  ASSERT_EQ(log.SetFileName(path.c_str()), 1);
  ASSERT_EQ(log.Open("w"), 1);
  log.enabled = true;
  const uint8_t written[] = {0x00, 0x80, 0x02};
  const uint8_t more[] = {0xAB};
  const uint8_t read[] = {0xFF, 0x0A};
  EXPECT_EQ(log.LogData(written, 3, TrafficLog::kWriting, 3), 1);
  EXPECT_EQ(log.LogData(more, 1, TrafficLog::kWriting, 3), 1);
  EXPECT_EQ(log.LogData(read, 2, TrafficLog::kReading, 3), 1);
  EXPECT_EQ(log.LogText("-"), 1);
  EXPECT_EQ(log.LogData(read, 1, TrafficLog::kReading, 3), 1);
  // Nothing written in a new direction still writes its header.
  EXPECT_EQ(log.LogData(nullptr, 0, TrafficLog::kWriting, 3), 1);
  log.Close();
  const std::string first =
      "\nCOM3 \nWriting: 00 80 02 ab \nCOM3 \nReading: ff 0a -ff \nCOM3 \nWriting: ";
  EXPECT_EQ(Contents(), first);

  // The last direction outlives the stream, and the port number only shows
  // in headers.
  ASSERT_EQ(log.Open("a"), 1);
  EXPECT_EQ(log.LogData(more, 1, TrafficLog::kWriting, 7), 1);
  EXPECT_EQ(log.LogData(more, 1, TrafficLog::kReading, 7), 1);
  log.Close();
  EXPECT_EQ(Contents(), first + "ab \nCOM7 \nReading: ab ");
}

// Without a stream nothing is written; while off, data is not logged but
// text is. Refused names keep the stored one; modes are kept to 15 characters.
TEST_F(TrafficLogTest, StreamNameAndMode) {
  TrafficLog log;
  const uint8_t byte[] = {0x10};
  EXPECT_EQ(log.LogText("x"), 0);
  EXPECT_EQ(log.LogData(byte, 1, TrafficLog::kReading, 1), 0);
  EXPECT_EQ(log.Open("w"), 0);  // no name yet

  ASSERT_EQ(log.SetFileName(path.c_str()), 1);
  EXPECT_EQ(log.SetFileName(""), 0);
  EXPECT_EQ(log.SetFileName(nullptr), 0);
  EXPECT_EQ(log.Open("zz"), 0);
  ASSERT_EQ(log.Open("w"), 1);
  EXPECT_EQ(log.LogData(byte, 1, TrafficLog::kReading, 1), 0);
  EXPECT_EQ(log.LogData(byte, 0, TrafficLog::kReading, 1), 1);
  EXPECT_EQ(log.LogText("\n COM1 opened\n"), 1);
  log.Close();
  EXPECT_EQ(Contents(), "\n COM1 opened\n");

  log.SetMode("abcdefghijklmnopqrstuvwxyz");
  EXPECT_STREQ(log.Mode(), "abcdefghijklmno");
  log.SetMode(nullptr);
  EXPECT_STREQ(log.Mode(), "");
}

// A long run is written as if byte by byte: every value, across the places
// where the text is cut into writes.
TEST_F(TrafficLogTest, LongRunsReadAsSingleBytes) {
  TrafficLog log;
  ASSERT_EQ(log.SetFileName(path.c_str()), 1);
  ASSERT_EQ(log.Open("w"), 1);
  log.enabled = true;
  std::vector<uint8_t> run(1300);
  for (size_t i = 0; i < run.size(); ++i) run[i] = static_cast<uint8_t>(i * 37 + i / 256);
  EXPECT_EQ(log.LogData(run.data(), static_cast<int32_t>(run.size()), TrafficLog::kReading, 2), 1);
  log.Close();
  std::string expected = "\nCOM2 \nReading: ";
  for (uint8_t byte : run) {
    char text[4];
    std::snprintf(text, sizeof text, "%02x ", byte);
    expected += text;
  }
  EXPECT_EQ(Contents(), expected);
}

}  // namespace
}  // namespace ktcomm::diag
