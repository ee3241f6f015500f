// The worker and the transmit path through the exports: what reaches the
// device side, refusals, the purge before each write, ten ports at once, and
// a worker that stays idle, also after its device hung up.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/ktcomm.h"
#include "tests/support/process_counts.h"
#include "tests/support/pty_test.h"

namespace ktcomm::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

using TransmitTest = PtyTest;

// Opens `port` on the pty; returns the one thread the open started.
int OpenWithWorker(KTWindow* window, int port, const PtyPair& pty, int txSize = 64) {
  SettleRuntimeThreads();
  auto before = ThreadIds();
  if (OpenOnPty(pty, window, port, txSize, 64, 1) != 0) return -1;
  auto started = ThreadsSince(before);
  return started.size() == 1 ? *started.begin() : -1;
}

// CPU ticks the thread uses over `ms`; a worker that waits properly uses none.
long TicksOver(int tid, int ms) {
  long start = ThreadCpuTicks(tid);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));  // the measured span
  return ThreadCpuTicks(tid) - start;
}

TEST_F(TransmitTest, CommandFramesOnTheWire) {
  PortCloser closer(1);
  Bytes data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);

  ASSERT_GT(OpenWithWorker(&window, 1, pty, 10), 0);
  const unsigned char five[] = {0x05};
  ASSERT_EQ(KTSendCommand(1, 0x10, 1, five), 0);
  EXPECT_EQ(pty.Read(5), (Bytes{0x00, 0x80, 0x02, 0x10, 0x05}));
  ASSERT_EQ(KTSendCommand(1, 0x1FF, 0, nullptr), 0);  // the command's low byte
  EXPECT_EQ(pty.Read(4), (Bytes{0x00, 0x80, 0x01, 0xFF}));
  // A 10-byte frame fills the 10-byte buffer; one byte more is refused.
  ASSERT_EQ(KTSendCommand(1, 0x1A, 6, data.data()), 0);
  EXPECT_EQ(pty.Read(10), (Bytes{0x00, 0x80, 0x07, 0x1A, 0, 7, 14, 21, 28, 35}));
  EXPECT_EQ(KTSendCommand(1, 0x1A, 7, data.data()), 6);
  EXPECT_EQ(KTSendCommand(1, 0x1A, 0xFFFFFFFF, data.data()), 6);
  EXPECT_EQ(KTSendCommand(1, 0x1A, 1, nullptr), 6);
  EXPECT_TRUE(pty.Drain().empty());

  // The length byte counts the command and keeps its low 8 bits.
  ASSERT_EQ(OpenOnPty(pty, &window, 1, 260, 64, 1), 0);
  for (uint32_t length : {254u, 255u, 256u}) {
    ASSERT_EQ(KTSendCommand(1, 0x1A, length, data.data()), 0);
    Bytes got = pty.Read(length + 4);
    ASSERT_EQ(got.size(), length + 4);
    EXPECT_EQ(got[2], static_cast<uint8_t>(length + 1));
    EXPECT_TRUE(std::equal(got.begin() + 4, got.end(), data.begin())) << length;
  }
  EXPECT_TRUE(window.alerts().empty());
}

TEST_F(TransmitTest, RawSends) {
  PortCloser closer(2);
  ASSERT_GT(OpenWithWorker(&window, 2, pty, 8), 0);

  Bytes raw = {0x00, 0x0A, 0x0D, 0x11, 0x13, 0x7F, 0xFF, 0x1B};  // nothing translated
  ASSERT_EQ(KTSendData(2, raw.data(), 8), 0);
  EXPECT_EQ(pty.Read(8), raw);
  // Longer than the transmit buffer: reported, nothing written, still 0.
  Bytes nine(9, 0x42);
  EXPECT_EQ(KTSendData(2, nine.data(), 9), 0);
  ASSERT_TRUE(window.WaitAlerts(1));
  std::string alert = window.alerts()[0];
  EXPECT_TRUE(alert.starts_with("Application Error|WARNING:  KTcomm: write buffer overflow 2 "
                                "!!! Failed with the following error: \n")) << alert;
  EXPECT_TRUE(alert.ends_with("\nPort: 2\n")) << alert;
  EXPECT_TRUE(pty.Drain().empty());

  EXPECT_EQ(KTSendData(2, nullptr, 1), 6);
  EXPECT_EQ(KTSendData(2, nullptr, 0), 0);
  KTClosePort(2);
  EXPECT_EQ(KTSendData(2, raw.data(), 1), 5);
  EXPECT_EQ(KTSendCommand(2, 0x10, 0, nullptr), 5);
  EXPECT_EQ(window.alerts().size(), 1u);
}

// Reads the primary side in packet mode until the secondary side flushes its
// queues, as the worker does before every write.
bool WaitForPurge(int primary) {
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < deadline) {
    pollfd pfd{primary, POLLIN, 0};
    uint8_t packet[256];
    if (::poll(&pfd, 1, 20) > 0 && ::read(primary, packet, sizeof packet) > 0 &&
        (packet[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE))) {
      return true;
    }
  }
  return false;
}

// A write starts from a clean line, even a write of nothing: a half-received
// frame is dropped, so its remainder completes nothing.
TEST_F(TransmitTest, ZeroByteSendStillDropsUnreadInput) {
  PortCloser closer(3);
  ASSERT_GT(OpenWithWorker(&window, 3, pty), 0);
  int on = 1;
  ASSERT_EQ(ioctl(pty.fd(), TIOCPKT, &on), 0);

  // A whole frame, then the same frame without its data byte.
  ASSERT_TRUE(pty.Write({0x00, 0x80, 0x02, 0x10, 0x05, 0x00, 0x80, 0x02, 0x10}));
  ASSERT_TRUE(window.WaitPosts(1));
  ASSERT_EQ(KTSendData(3, nullptr, 0), 0);
  ASSERT_TRUE(WaitForPurge(pty.fd()));
  // The missing data byte, then a frame without data as a marker.
  ASSERT_TRUE(pty.Write({0x05, 0x00, 0x80, 0x01, 0x1F}));
  ASSERT_TRUE(window.WaitPosts(2));
  auto posts = window.posts();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0].data, Bytes{0x05});
  EXPECT_EQ(posts[1].command(), 0x1F);
  EXPECT_TRUE(window.alerts().empty());
}

// Each sender waits for its frame before the next: a later send replaces one
// the worker has not taken, and each write purges what the device side has
// not read yet.
TEST_F(TransmitTest, TenPortsSendConcurrently) {
  constexpr int kPorts = 10;
  std::vector<std::unique_ptr<PtyPair>> ptys;
  std::vector<std::unique_ptr<PortCloser>> closers;
  SettleRuntimeThreads();
  auto threadsBefore = ThreadIds();
  for (int port = 1; port <= kPorts; ++port) {
    ptys.push_back(std::make_unique<PtyPair>());
    if (!ptys.back()->ok()) GTEST_SKIP() << "no pseudo-terminal";
    closers.push_back(std::make_unique<PortCloser>(port));
    ASSERT_GT(OpenWithWorker(&window, port, *ptys.back()), 0) << port;
  }

  std::atomic<int> wrong[kPorts] = {};
  std::vector<std::thread> senders;
  for (int port = 1; port <= kPorts; ++port) {
    senders.emplace_back([&, port] {
      for (int i = 0; i < 1000 && wrong[port - 1] == 0; ++i) {
        uint8_t data[3] = {static_cast<uint8_t>(port), static_cast<uint8_t>(i >> 8),
                           static_cast<uint8_t>(i)};
        Bytes expected = {0x00, 0x80, 0x04, 0x1A, data[0], data[1], data[2]};
        if (KTSendCommand(port, 0x1A, 3, data) != 0 || ptys[port - 1]->Read(7) != expected) {
          wrong[port - 1] += 1;
        }
      }
    });
  }
  for (auto& sender : senders) sender.join();
  for (int port = 1; port <= kPorts; ++port) {
    EXPECT_EQ(wrong[port - 1], 0) << "port " << port;
    EXPECT_TRUE(ptys[port - 1]->Drain(20).empty()) << port;
    KTClosePort(port);
  }
  EXPECT_TRUE(WaitThreadsSince(threadsBefore, 0));
  EXPECT_TRUE(window.alerts().empty());
}

// A hung-up device stays readable for ever; a worker that kept watching it
// would spin.
TEST_F(TransmitTest, WorkerIdlesAlsoAfterAHangUp) {
  PortCloser closer(4);
  int worker = OpenWithWorker(&window, 4, pty);
  ASSERT_GT(worker, 0);
  EXPECT_LE(TicksOver(worker, 1000), 2);

  pty.ClosePrimary();
  ASSERT_TRUE(window.WaitAlerts(1));
  std::string alert = window.alerts()[0];
  EXPECT_TRUE(alert.starts_with("Application Error|WARNING:  WaitCommEvent() Failed")) << alert;
  EXPECT_TRUE(alert.ends_with("\nPort: 4\n")) << alert;
  EXPECT_LE(TicksOver(worker, 500), 5);
  EXPECT_EQ(window.alerts().size(), 1u);

  auto start = Clock::now();
  EXPECT_EQ(KTClosePort(4), 1);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace ktcomm::test
