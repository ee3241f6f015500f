// The ktcomm-sim executable, with the ktcomm tool as its client.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/tests/child_process.h"

namespace ktcomm::test_support {
namespace {

constexpr int kDeadlineMs = 10000;

// Starts the simulator and reads the path it prints first.
std::string StartSim(ChildProcess& sim) {
  if (!sim.WaitForOutput("\n", kDeadlineMs)) return "";
  return sim.Out().substr(0, sim.Out().find('\n'));
}

TEST(SimToolTest, AnswersByItsRulesAndEndsWhenTheClientHangsUp) {
  ChildProcess sim({KTCOMM_SIM_PATH, "--export", "3", "--reply", "10=2477", "--exit-on-hangup"});
  std::string path = StartSim(sim);
  ASSERT_FALSE(path.empty()) << sim.Err();
  ASSERT_TRUE(sim.WaitForOutput("KTCOMM_COM3=" + path + "\n", kDeadlineMs)) << sim.Out();

  Outcome call =
      RunToEnd({KTCOMM_CLI_PATH, "call", "3", "10", "05"}, {"KTCOMM_COM3=" + path}, kDeadlineMs);
  EXPECT_EQ(call.exitCode, 0) << call.err;
  EXPECT_EQ(call.out, "cmd=24 len=1 data=77\n");

  ASSERT_TRUE(sim.Finish(kDeadlineMs));
  EXPECT_EQ(sim.ExitCode(), 0);
  EXPECT_NE(sim.Out().find("<- 10 05\n-> 24 77\n"), std::string::npos) << sim.Out();
  EXPECT_EQ(sim.Err(), "ktcomm-sim: the client closed the line\n");
}

TEST(SimToolTest, StreamsWhatItIsToldUntilTerminated) {
  ChildProcess sim({KTCOMM_SIM_PATH, "--stream", "200:1a:0102", "--quiet"});
  std::string path = StartSim(sim);
  ASSERT_FALSE(path.empty()) << sim.Err();
  Outcome listen =
      RunToEnd({KTCOMM_CLI_PATH, "listen", "1", "--count", "3", "--device", path}, {}, kDeadlineMs);
  EXPECT_EQ(listen.exitCode, 0) << listen.err;
  EXPECT_NE(listen.out.find(" COM1 cmd=1a len=2 data=01 02\n"), std::string::npos) << listen.out;

  // Without --exit-on-hangup it outlives its client, until a signal.
  EXPECT_FALSE(sim.Finish(50));
  sim.Signal(SIGTERM);
  ASSERT_TRUE(sim.Finish(kDeadlineMs));
  EXPECT_EQ(sim.ExitCode(), 0) << sim.Err();
}

// --link keeps one name across restarts, so that a client riding out the
// restart with --reconnect finds the new device under it.
TEST(SimToolTest, LinkKeepsOnePathAcrossRestarts) {
  std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                 ("ktcomm-sim-link-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  std::string link = (folder / "device").string();

  ChildProcess first({KTCOMM_SIM_PATH, "--link", link, "--export", "2", "--stream", "50:1a:01"});
  ASSERT_EQ(StartSim(first), link) << first.Err();
  ASSERT_TRUE(first.WaitForOutput("KTCOMM_COM2=" + link + "\n", kDeadlineMs));
  std::string firstTarget = std::filesystem::read_symlink(link).string();
  EXPECT_EQ(firstTarget.rfind("/dev/pts/", 0), 0u) << firstTarget;

  ChildProcess listen({KTCOMM_CLI_PATH, "listen", "2", "--reconnect"}, {"KTCOMM_COM2=" + link});
  ASSERT_TRUE(listen.WaitForOutput(" COM2 cmd=1a len=1 data=01", kDeadlineMs)) << listen.Err();
  first.Signal(SIGTERM);
  ASSERT_TRUE(first.Finish(kDeadlineMs));
  EXPECT_EQ(first.ExitCode(), 0) << first.Err();
  EXPECT_FALSE(std::filesystem::is_symlink(link));  // gone with its device
  ASSERT_TRUE(listen.WaitForError("waiting for it to come back", kDeadlineMs)) << listen.Err();

  // An earlier run's link that was left behind is replaced.
  std::filesystem::create_symlink("/nonexistent", link);
  ChildProcess second({KTCOMM_SIM_PATH, "--link", link, "--stream", "50:24:02", "--quiet"});
  ASSERT_EQ(StartSim(second), link) << second.Err();
  ASSERT_TRUE(listen.WaitForOutput(" COM2 cmd=24 len=1 data=02", kDeadlineMs)) << listen.Err();
  EXPECT_NE(listen.Err().find("ktcomm: port 2 reopened on " + link), std::string::npos);
  listen.Signal(SIGINT);
  ASSERT_TRUE(listen.Finish(kDeadlineMs));
  EXPECT_EQ(listen.ExitCode(), 0) << listen.Err();
  second.Signal(SIGTERM);
  ASSERT_TRUE(second.Finish(kDeadlineMs));
  EXPECT_FALSE(std::filesystem::is_symlink(link));

  // A file that is not a link is never replaced.
  { std::ofstream(link) << "keep"; }
  Outcome refused = RunToEnd({KTCOMM_SIM_PATH, "--link", link}, {}, kDeadlineMs);
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "ktcomm-sim: " + link + " exists and is not a link; not replacing it\n");
  std::ifstream kept(link);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
  std::filesystem::remove_all(folder);
}

// The README's restart: the old simulator ends while the new one already
// holds the name, which must stay the new one's.
TEST(SimToolTest, AnEndingSimulatorLeavesANewerLinkAlone) {
  std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                 ("ktcomm-sim-newer-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  std::string link = (folder / "device").string();
  ChildProcess older({KTCOMM_SIM_PATH, "--link", link, "--quiet"});
  ASSERT_EQ(StartSim(older), link) << older.Err();
  ChildProcess newer({KTCOMM_SIM_PATH, "--link", link, "--quiet"});
  ASSERT_EQ(StartSim(newer), link) << newer.Err();
  std::filesystem::path newerDevice = std::filesystem::read_symlink(link);
  older.Signal(SIGTERM);
  ASSERT_TRUE(older.Finish(kDeadlineMs));
  ASSERT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(std::filesystem::read_symlink(link), newerDevice);
  Outcome call = RunToEnd({KTCOMM_CLI_PATH, "call", "1", "10", "05", "--device", link}, {},
                          kDeadlineMs);
  EXPECT_EQ(call.out, "cmd=10 len=1 data=05\n") << call.err;
  newer.Signal(SIGTERM);
  ASSERT_TRUE(newer.Finish(kDeadlineMs));
  EXPECT_EQ(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator());
  std::filesystem::remove_all(folder);
}

TEST(SimToolTest, RefusesBadOptions) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--reply", "10"},
                                        {"--stream", "fast"},
                                        {"--stream", "10:1a:0"},
                                        {"--protocol", "3"},
                                        {"--export", "11"}}) {
    args.insert(args.begin(), KTCOMM_SIM_PATH);
    Outcome run = RunToEnd(args, {}, kDeadlineMs);
    EXPECT_EQ(run.exitCode, 2) << args[1] << " " << args[2];
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("ktcomm-sim: ", 0), 0u) << run.err;
  }
}

}  // namespace
}  // namespace ktcomm::test_support
