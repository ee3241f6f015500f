// The traffic log through ser2net: the same text as for a local device.
// Only data bytes are logged: no telnet byte, and 0xFF once. Logging stays
// on for the rest of the process, into /dev/null.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/remote/remote_device.h"

namespace ktcomm::test {
namespace {

class RemoteLogTest : public RemoteTest {
 protected:
  void SetUp() override {
    RemoteTest::SetUp();
    path = testing::TempDir() + "ktcomm_remote_log_" + std::to_string(getpid()) + ".txt";
  }
  void TearDown() override {
    RemoteTest::TearDown();
    KTSetLogFileName("/dev/null");
    std::remove(path.c_str());
  }
  std::string Contents() const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string path;
};
INSTANTIATE_TEST_SUITE_P(Schemes, RemoteLogTest, testing::Bool(), SchemeName);

TEST_P(RemoteLogTest, ExactTextOfAnExchange) {
  // A port of its own per scheme: the last logged direction outlives a close.
  const int port = GetParam() ? 8 : 9;
  ASSERT_EQ(KTSetLogFileName(path.c_str()), 1);
  ASSERT_EQ(KTEnableLogging(1, "w"), 1);
  ASSERT_EQ(Open(port, 16, 16, 1), 0);
  const uint8_t data[] = {0xFF, 0x05};
  ASSERT_EQ(KTSendCommand(port, 0x10, 2, data), 0);
  ASSERT_EQ(pty.Read(6), (Bytes{0x00, 0x80, 0x03, 0x10, 0xFF, 0x05}));
  ASSERT_TRUE(pty.Write({0x00, 0x80, 0x02, 0x10, 0xFF}));
  ASSERT_TRUE(window.WaitPosts(1));
  KTClosePort(port);
  const std::string com = "COM" + std::to_string(port);
  EXPECT_EQ(Contents(), "\n " + com + " opened\n\n" + com + " \nWriting: 00 80 03 10 ff 05 \n" +
                            com + " \nReading: 00 80 02 10 ff \n " + com + " closed\n");
}

}  // namespace
}  // namespace ktcomm::test
