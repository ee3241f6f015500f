// Servers that flood: negotiations without end on an open port, data
// without end instead of the answers an open waits for. Memory stays
// bounded, the open keeps its time limit, the flood ends as a hang-up and
// the port closes promptly.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "tests/hostile/scenario.h"
#include "tests/support/hostile_server.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

// Watches resident memory until `done` or the deadline; stops the server
// once growth passes the limit, so that a library that hoards does not take
// the machine down with it. The largest growth seen, in MiB.
template <typename Done>
long WatchMemory(long baseMiB, long limitMiB, Clock::time_point deadline, HostileServer& server,
                 Done done) {
  long peak = 0;
  while (Clock::now() < deadline && !done()) {
    peak = std::max(peak, ResidentMiB() - baseMiB);
    if (peak >= limitMiB) {
      server.Stop();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // sampling
  }
  return peak;
}

long AlertsNaming(RecordingWindow& window, const std::string& step) {
  auto alerts = window.alerts();
  return std::count_if(alerts.begin(), alerts.end(), [&](const std::string& alert) {
    return alert.find(step) != std::string::npos;
  });
}

TEST(FloodTest, NegotiationFloodOnAnOpenPortEndsAsOneHangUp) {
  RunScenario(20000, [](Steps& steps) {
    constexpr int kPort = 1;
    HostileServer server(HostileServer::Mode::kNegotiationFlood);
    RecordingWindow window;
    ASSERT_EQ(OpenOnServer(steps, server, &window, kPort, 256), 0);
    EXPECT_GE(server.answered(), 5);  // the line and the purges were asked for

    long base = ResidentMiB();
    ASSERT_TRUE(server.Misbehave());
    steps.Now("4 s of IAC DO <option> without end");
    auto start = Clock::now();
    long peak = WatchMemory(base, 200, start + std::chrono::seconds(4), server, [] { return false; });
    EXPECT_LT(peak, 200) << "MiB of growth in 4 s of negotiation flood";

    steps.Now("waiting for the hang-up report");
    auto reported = [&] { return AlertsNaming(window, "WaitCommEvent()") > 0; };
    while (!reported() && MsSince(start) < 7000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // polling the alerts
    }
    EXPECT_TRUE(reported()) << "no hang-up report within 7 s of the flood's start";

    // A hung-up device stays readable for ever: the worker must not spin on it.
    long cpuBefore = ProcessCpuMs();
    EXPECT_EQ(ShortWait(kPort), -1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // an idle stretch to measure
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 200) << "ms of CPU in 400 ms after the hang-up";

    steps.Now("KTClosePort after the flood");
    long closeMs = ElapsedMs([&] { EXPECT_EQ(KTClosePort(kPort), 1); });
    EXPECT_LT(closeMs, 1000);
    EXPECT_EQ(AlertsNaming(window, "WaitCommEvent()"), 1);
  });
}

TEST(FloodTest, DataFloodDuringTheOpenFailsItInTimeWithMemoryFlat) {
  RunScenario(20000, [](Steps& steps) {
    constexpr int kPort = 2;
    HostileServer server(HostileServer::Mode::kDataFlood);
    ASSERT_TRUE(server.ok());
    MapPort(kPort, server.Url());
    RecordingWindow window;

    long base = ResidentMiB();
    std::atomic<bool> returned{false};
    std::atomic<int> result{-100};
    auto start = Clock::now();
    std::atomic<long> openMs{0};
    steps.Now("KTOpenPort against a data flood");
    std::thread opener([&] {
      result = OpenPort(&window, kPort, 256);
      openMs = MsSince(start);
      returned = true;
    });
    long peak = WatchMemory(base, 100, start + std::chrono::milliseconds(8000), server,
                            [&] { return returned.load(); });
    opener.join();
    EXPECT_EQ(result.load(), 3);
    EXPECT_LT(openMs.load(), 3600) << "ms for an open whose server never answers";
    EXPECT_LT(peak, 100) << "MiB of growth during the open";
    KTClosePort(kPort);
  });
}

}  // namespace
}  // namespace ktcomm::test
