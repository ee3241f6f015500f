// Log names that are no regular file: a FIFO nobody reads, a directory, a
// character device. Each fails like a file that cannot be written, without
// blocking the call or the ports. Each case runs in a child process, as
// logging, once on, stays on.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/hostile/scenario.h"
#include "tests/support/pty_pair.h"

namespace ktcomm::test {
namespace {

// A folder of its own under the test's temporary folder.
std::string MakeFolder() {
  std::string pattern = testing::TempDir() + "ktcomm_logname_XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  return mkdtemp(name.data()) != nullptr ? std::string(name.data()) : std::string();
}

// KTEnableLogging on a thread of its own; its result once it returns within
// 1 s. When it does not, `unblock` is called so that the thread can still be
// joined, and the result is -1.
template <typename Unblock>
int EnableWithin1s(int openNow, Unblock unblock) {
  std::atomic<bool> returned{false};
  std::atomic<int> result{-1};
  std::thread enabler([&] {
    result = KTEnableLogging(openNow, "w");
    returned = true;
  });
  auto start = Clock::now();
  while (!returned && MsSince(start) < 1000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // polling the call
  }
  bool inTime = returned;
  if (!inTime) unblock();
  enabler.join();
  return inTime ? result.load() : -1;
}

TEST(LogNameTest, FifoWithoutReaderFailsWithoutBlocking) {
  RunScenario(15000, [](Steps& steps) {
    std::string folder = MakeFolder();
    ASSERT_FALSE(folder.empty());
    std::string fifo = folder + "/log.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(KTSetLogFileName(fifo.c_str()), 1);

    // A reader that comes along lets a blocked open finish.
    int reader = -1;
    auto openReader = [&] { reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); };
    steps.Now("KTEnableLogging(1) on a FIFO without a reader");
    EXPECT_EQ(EnableWithin1s(1, openReader), 0) << "-1: blocked for 1 s";

    // Logging is on now, with the FIFO as its name: every open tries it.
    PtyPair pty;
    if (reader < 0 && pty.ok()) {
      MapPort(1, pty.secondaryPath());
      steps.Now("KTOpenPort with a FIFO as the log");
      long openMs = ElapsedMs([] { EXPECT_EQ(OpenPort(nullptr, 1, 64), 0); });
      EXPECT_LT(openMs, 1000);
      steps.Now("a frame out with a FIFO as the log");
      const unsigned char data[1] = {0x07};
      EXPECT_EQ(KTSendCommand(1, 0x10, 1, data), 0);
      EXPECT_EQ(pty.Read(5, 2000), (std::vector<uint8_t>{0x00, 0x80, 0x02, 0x10, 0x07}));
      steps.Now("KTClosePort with a FIFO as the log");
      long closeMs = ElapsedMs([] { EXPECT_EQ(KTClosePort(1), 1); });
      EXPECT_LT(closeMs, 1000);
    }
    if (reader >= 0) ::close(reader);
    unlink(fifo.c_str());
    rmdir(folder.c_str());
  });
}

TEST(LogNameTest, DirectoryAndDeviceNodeFailLikeUnwritableFiles) {
  RunScenario(15000, [](Steps& steps) {
    std::string folder = MakeFolder();
    ASSERT_FALSE(folder.empty());
    steps.Now("KTEnableLogging(1) on a directory");
    ASSERT_EQ(KTSetLogFileName(folder.c_str()), 1);
    EXPECT_EQ(EnableWithin1s(1, [] {}), 0) << "a directory as the log";
    rmdir(folder.c_str());

    // A character device takes writes but is no log: nothing could be read back.
    steps.Now("KTEnableLogging(1) on /dev/null");
    ASSERT_EQ(KTSetLogFileName("/dev/null"), 1);
    EXPECT_EQ(EnableWithin1s(1, [] {}), 0) << "/dev/null as the log";
  });
}

}  // namespace
}  // namespace ktcomm::test
