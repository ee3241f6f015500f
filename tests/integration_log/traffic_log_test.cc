// The traffic log through the exports. Logging, once on, stays on for the
// whole process, so these tests have a binary of their own; each test uses
// ports of its own, as the last logged direction outlives a close.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/ktcomm.h"
#include "tests/support/pty_pair.h"
#include "tests/support/pty_port.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kFrame = {0x00, 0x80, 0x01, 0x10};

class LoggingTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
    path = testing::TempDir() + "ktcomm_log_" + std::to_string(getpid()) + "_" +
           testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    std::remove(path.c_str());
  }
  void TearDown() override { std::remove(path.c_str()); }

  // Names this test's log file and switches logging on.
  void StartLog(int openNow, const char* mode) {
    ASSERT_EQ(KTSetLogFileName(path.c_str()), 1);
    ASSERT_EQ(KTEnableLogging(openNow, mode), 1);
  }
  bool Exists() const { return access(path.c_str(), F_OK) == 0; }
  std::string Contents() const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // The device sends a frame; once it is posted, its bytes have been logged.
  void Receive(const PtyPair& device) {
    size_t before = window.posts().size();
    ASSERT_TRUE(device.Write(kFrame));
    ASSERT_TRUE(window.WaitPosts(before + 1));
  }
  // The app sends bytes; once the device has them, the write has been logged
  // or is being logged under the port lock, which a close waits for.
  void Send(const PtyPair& device, int port, const Bytes& bytes) {
    ASSERT_EQ(KTSendData(port, bytes.data(), bytes.size()), 0);
    ASSERT_EQ(device.Read(bytes.size()), bytes);
  }

  PtyPair pty;
  RecordingWindow window;
  std::string path;
};

// Runs first: nothing has named the log yet.
TEST_F(LoggingTest, NothingWithoutAName) {
  EXPECT_EQ(KTSetLogFileName(""), 0);
  EXPECT_EQ(KTSetLogFileName(nullptr), 0);
  EXPECT_EQ(KTEnableLogging(1, "a"), 0);

  // Logging stayed off: naming the file now does not start it.
  ASSERT_EQ(KTSetLogFileName(path.c_str()), 1);
  PortCloser closer(7);
  ASSERT_EQ(OpenOnPty(pty, &window, 7, 16, 16, 1), 0);
  Receive(pty);
  KTClosePort(7);
  EXPECT_FALSE(Exists());
}

TEST_F(LoggingTest, ExactTextOfAnExchange) {
  ASSERT_NO_FATAL_FAILURE(StartLog(1, "w"));
  ASSERT_TRUE(Exists());
  EXPECT_EQ(Contents(), "");

  PortCloser closer(3);
  ASSERT_EQ(OpenOnPty(pty, &window, 3, 16, 16, 1), 0);
  const uint8_t data[] = {0x05};
  ASSERT_EQ(KTSendCommand(3, 0x10, 1, data), 0);
  ASSERT_EQ(pty.Read(5), (Bytes{0x00, 0x80, 0x02, 0x10, 0x05}));
  Receive(pty);
  KTClosePort(3);
  EXPECT_EQ(Contents(),
            "\n COM3 opened\n\nCOM3 \nWriting: 00 80 02 10 05 \nCOM3 \nReading: 00 80 01 10 "
            "\n COM3 closed\n");
}

TEST_F(LoggingTest, HeaderOnlyOnAChangeOfDirectionAcrossReopens) {
  ASSERT_NO_FATAL_FAILURE(StartLog(0, "a"));
  PortCloser closer(4);

  ASSERT_EQ(OpenOnPty(pty, &window, 4, 16, 16, 1), 0);
  Receive(pty);
  KTClosePort(4);

  ASSERT_EQ(OpenOnPty(pty, &window, 4, 16, 16, 1), 0);
  Receive(pty);
  Send(pty, 4, {0x01, 0x02});
  KTClosePort(4);

  ASSERT_EQ(OpenOnPty(pty, &window, 4, 16, 16, 1), 0);
  Send(pty, 4, {0x03});
  Receive(pty);
  KTClosePort(4);

  EXPECT_EQ(Contents(),
            "\n COM4 opened\n\nCOM4 \nReading: 00 80 01 10 \n COM4 closed\n"
            "\n COM4 opened\n00 80 01 10 \nCOM4 \nWriting: 01 02 \n COM4 closed\n"
            "\n COM4 opened\n03 \nCOM4 \nReading: 00 80 01 10 \n COM4 closed\n");
}

// A send made just before a close goes out with the close, and its bytes are
// logged before the closing line.
TEST_F(LoggingTest, SendThenCloseLogsTheBytesBeforeTheClosingLine) {
  ASSERT_NO_FATAL_FAILURE(StartLog(0, "a"));
  PortCloser closer(9);
  std::string expected;
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(OpenOnPty(pty, &window, 9, 16, 16, 1), 0);
    const uint8_t data[] = {static_cast<uint8_t>(round)};
    ASSERT_EQ(KTSendCommand(9, 0x10, 1, data), 0);
    KTClosePort(9);
    ASSERT_EQ(pty.Read(5), (Bytes{0x00, 0x80, 0x02, 0x10, data[0]})) << round;
    char bytes[32];
    std::snprintf(bytes, sizeof bytes, "00 80 02 10 %02x ", data[0]);
    expected += std::string("\n COM9 opened\n") + (round == 0 ? "\nCOM9 \nWriting: " : "") +
                bytes + "\n COM9 closed\n";
  }
  EXPECT_EQ(Contents(), expected);
}

TEST_F(LoggingTest, InvalidModeIsRefused) {
  ASSERT_EQ(KTSetLogFileName(path.c_str()), 1);
  EXPECT_EQ(KTEnableLogging(1, "zz"), 0);
  // The C library refuses a character set it does not know, or none.
  EXPECT_EQ(KTEnableLogging(1, "a,ccs="), 0);
  EXPECT_EQ(KTEnableLogging(1, "a,ccs=NO-SUCH-SET"), 0);
  EXPECT_FALSE(Exists());
  // A known one is taken; the hex text is still written as bytes.
  ASSERT_EQ(KTEnableLogging(1, "a,ccs=UTF-8"), 1);
  PortCloser closer(9);
  ASSERT_EQ(OpenOnPty(pty, &window, 9, 16, 16, 1), 0);
  Receive(pty);
  KTClosePort(9);
  EXPECT_NE(Contents().find("Reading: 00 80 01 10"), std::string::npos) << Contents();
}

// Two open ports log into one file through streams of their own; in append
// mode neither overwrites the other. Each port's text is shorter than a
// stream buffer, so each reaches the file whole when its port closes.
TEST_F(LoggingTest, TwoPortsAppendToOneFile) {
  constexpr int kFrames = 100;
  ASSERT_NO_FATAL_FAILURE(StartLog(0, "a"));
  PtyPair other;
  ASSERT_TRUE(other.ok());
  PortCloser closeFive(5), closeSix(6);
  ASSERT_EQ(OpenOnPty(pty, &window, 5, 16, 16, 1), 0);
  ASSERT_EQ(OpenOnPty(other, &window, 6, 16, 16, 1), 0);

  std::string expected[2];
  {
    std::vector<std::jthread> devices;
    for (int i = 0; i < 2; ++i) {
      const PtyPair& device = i == 0 ? pty : other;
      int port = 5 + i;
      expected[i] = "\n COM" + std::to_string(port) + " opened\n\nCOM" + std::to_string(port) +
                    " \nReading: ";
      Bytes line;
      for (int k = 0; k < kFrames; ++k) {
        Bytes frame = {0x00, 0x80, 0x02, 0x10, static_cast<uint8_t>(k * 2 + i)};
        line.insert(line.end(), frame.begin(), frame.end());
      }
      for (uint8_t byte : line) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x ", byte);
        expected[i] += hex;
      }
      expected[i] += "\n COM" + std::to_string(port) + " closed\n";
      devices.emplace_back([&device, line] { device.Write(line); });
    }
  }
  ASSERT_TRUE(window.WaitPosts(2 * kFrames));
  KTClosePort(5);
  KTClosePort(6);
  EXPECT_EQ(Contents(), expected[0] + expected[1]);
}

// Bytes that come with the answer to a waiting call are logged as read,
// whichever thread read them, before the next call's purge could drop them;
// the closing line waits for the last of them.
TEST_F(LoggingTest, BytesReadWithAnAnswerAreLogged) {
  constexpr int kExchanges = 50;
  ASSERT_NO_FATAL_FAILURE(StartLog(0, "a"));
  PortCloser closer(8);
  ASSERT_EQ(OpenOnPty(pty, &window, 8, 16, 16, 1), 0);
  const Bytes answer = {0x00, 0x80, 0x02, 0x10, 0x42, 0xAA, 0xBB};
  std::string expected = "\n COM8 opened\n";
  for (int i = 0; i < kExchanges; ++i) {
    std::jthread device([&] {
      if (pty.Read(1).size() == 1) pty.Write(answer);
    });
    const uint8_t request = static_cast<uint8_t>(i);
    uint8_t command = 0;
    uint8_t data[8];
    uint32_t length = sizeof data;
    ASSERT_EQ(KTSendDataAndWait(8, &request, 1, 3000, &command, data, &length), 0);
    char bytes[64];
    std::snprintf(bytes, sizeof bytes,
                  "\nCOM8 \nWriting: %02x \nCOM8 \nReading: 00 80 02 10 42 aa bb ", request);
    expected += bytes;
  }
  KTClosePort(8);
  expected += "\n COM8 closed\n";
  EXPECT_EQ(Contents(), expected);
}

}  // namespace
}  // namespace ktcomm::test
