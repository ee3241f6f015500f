// A traffic log that cannot be written: a missing directory, a mode the
// system rejects, a file that may not grow. Logging is refused or fails
// quietly; opening, sending and receiving go on as without it. Logging stays
// on after this test, so a test that needs it off must run before it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "api/ktcomm.h"
#include "tests/support/pty_pair.h"
#include "tests/support/pty_port.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kPort = 8;

// Opens the port, sends frames both ways and closes it again.
void Exchange(const PtyPair& pty, RecordingWindow& window, int frames) {
  ASSERT_EQ(OpenOnPty(pty, &window, kPort, 16, 16, 1), 0);
  PortCloser closer(kPort);
  for (int i = 0; i < frames; ++i) {
    const uint8_t data[] = {static_cast<uint8_t>(i)};
    ASSERT_EQ(KTSendCommand(kPort, 0x10, 1, data), 0);
    ASSERT_EQ(pty.Read(5), (Bytes{0x00, 0x80, 0x02, 0x10, data[0]}));
    size_t before = window.posts().size();
    ASSERT_TRUE(pty.Write({0x00, 0x80, 0x02, 0x10, data[0]}));
    ASSERT_TRUE(window.WaitPosts(before + 1));
    EXPECT_EQ(window.posts().back().data, Bytes{data[0]});
  }
}

TEST(UnwritableLogTest, PortsWorkWhateverTheLogCannotDo) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal";
  RecordingWindow window;

  ASSERT_EQ(KTSetLogFileName("/nonexistent/dir/x.log"), 1);
  EXPECT_EQ(KTEnableLogging(1, "w"), 0);
  Exchange(pty, window, 2);
  // Switched on without opening: every open tries the file and goes on.
  EXPECT_EQ(KTEnableLogging(0, "w"), 1);
  Exchange(pty, window, 2);

  std::string path = testing::TempDir() + "ktcomm_unwritable_" + std::to_string(getpid());
  ASSERT_EQ(KTSetLogFileName(path.c_str()), 1);
  EXPECT_EQ(KTEnableLogging(0, "zz"), 1);  // kept for the opens, which it fails
  Exchange(pty, window, 2);
  EXPECT_NE(access(path.c_str(), F_OK), 0);

  // Opens, but every write that reaches it fails: far more text than a
  // stream buffer holds, to a file that may not grow.
  ASSERT_EQ(KTSetLogFileName(path.c_str()), 1);
  EXPECT_EQ(KTEnableLogging(1, "w"), 1);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
  rlimit tiny = saved;
  tiny.rlim_cur = 16;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
  Exchange(pty, window, 1000);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, SIG_DFL);
  EXPECT_TRUE(window.alerts().empty());
  unlink(path.c_str());
}

}  // namespace
}  // namespace ktcomm::test
