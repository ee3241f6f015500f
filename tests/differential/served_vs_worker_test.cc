// A waiting call that serves the device itself must give what the worker
// gives: generated exchanges run twice on ptys, once with the calls serving
// and once with the worker doing all the I/O, and everything a user sees is
// compared: each call's result and frame, the frames posted, the reports,
// the bytes on the line and the traffic log. Scenarios mix both protocols,
// sends up to and beyond the transmit buffer, replies in pieces, overflows,
// short caller buffers, and a close from another thread during a wait.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "port/comm_port.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kPort = 3;
constexpr int kTxSize = 64;
constexpr uint32_t kTimeoutMs = 100;  // only steps that get no frame wait it out

// One waiting call and what the device does about it.
struct Step {
  enum Kind { kCommand, kData, kWait } kind = kWait;
  uint8_t command = 0;
  Bytes send;          // the command's data, or the raw bytes (may not fit)
  Bytes reply;         // written once the request is in
  // Where the device pauses within the reply. Only ahead of the end of the
  // answer: what follows the answer comes in the write that ends it, so
  // that which of it goes with the answer does not hang on timing.
  std::vector<size_t> cuts;
  uint32_t capacity = 0;  // of the caller's buffer
};

struct Scenario {
  uint32_t seed = 0;
  int protocol = 1;
  int rxSize = 64;
  std::vector<Step> steps;
  // The port is closed from another thread during the last step, which
  // gets no reply and would wait long.
  bool closeInLastStep = false;
};

// Everything a user sees of a run.
struct Seen {
  std::vector<std::string> results;
  std::vector<std::string> posts;
  std::vector<std::string> alerts;
  Bytes line;
  std::string log;
  bool operator==(const Seen&) const = default;
};

std::string Hex(const Bytes& bytes) {
  std::string text;
  char hex[4];
  for (uint8_t byte : bytes) {
    std::snprintf(hex, sizeof hex, "%02x ", byte);
    text += hex;
  }
  return text;
}

// Frames, broken frames and noise, in the layouts of either protocol.
class Generator {
 public:
  explicit Generator(uint32_t seed) : random(seed) {}

  Scenario Make(uint32_t seed) {
    Scenario scenario;
    scenario.seed = seed;
    scenario.protocol = Pick(2) + 1;
    const int sizes[] = {3, 8, 64, 300};
    scenario.rxSize = sizes[Pick(4)];
    rxSize = scenario.rxSize;
    idle = true;
    const int count = 6 + Pick(6);
    for (int i = 0; i < count; ++i) scenario.steps.push_back(MakeStep(scenario.protocol));
    if (Chance(25)) {
      scenario.closeInLastStep = true;
      scenario.steps.back().reply.clear();
      scenario.steps.back().cuts.clear();
    }
    return scenario;
  }

 private:
  int Pick(int n) { return static_cast<int>(random() % static_cast<uint32_t>(n)); }
  bool Chance(int percent) { return Pick(100) < percent; }
  Bytes Noise(int protocol, int most) {
    Bytes noise(static_cast<size_t>(Pick(most + 1)));
    const uint8_t lead = protocol == 1 ? 0x00 : 0x1B;
    for (uint8_t& byte : noise) {
      byte = static_cast<uint8_t>(Pick(256));
      if (byte == lead) byte ^= 0x40;
    }
    return noise;
  }

  Bytes Frame(int protocol) {
    static const uint8_t kCommands[] = {0x10, 0x1A, 0x1F, 0xCE, 0x05, 0x5A, 0x3E, 0x3C, 0x24};
    uint8_t command = protocol == 1 || Chance(50) ? kCommands[Pick(9)] : static_cast<uint8_t>(Pick(256));
    if (Chance(5)) command = 0x77;  // not a protocol-1 command
    size_t length = command == 0x1A || protocol == 2 ? static_cast<size_t>(Pick(40)) : Pick(2);
    if (Chance(5)) length = 2;  // too long for its command under protocol 1
    Bytes frame;
    if (protocol == 1) {
      frame = {0x00};
      if (Chance(20)) frame.push_back(0x00);  // more lead bytes
      if (Chance(70)) {
        frame.insert(frame.end(), {0x80, static_cast<uint8_t>(length + 1)});
      } else {
        frame.insert(frame.end(), {0x81, static_cast<uint8_t>(length + 1), 0x00});
      }
    } else {
      frame = {0x1B, 0xF3, static_cast<uint8_t>(length + 1), 0x00};
    }
    frame.push_back(command);
    for (size_t i = 0; i < length; ++i) frame.push_back(static_cast<uint8_t>(Pick(256)));
    const bool cut = Chance(10);
    if (cut) frame.resize(frame.size() - 1 - static_cast<size_t>(Pick(static_cast<int>(frame.size()) - 1)));
    // Delivered as it stands, leaving the decoder idle: protocol 2 needs a
    // byte after data to deliver, and a dropped protocol-1 frame's data is
    // read again as the start of others.
    frameWhole = protocol == 1 && !cut && command != 0x77 && (length <= 1 || command == 0x1A) &&
                 static_cast<int>(frame.size()) <= rxSize;
    return frame;
  }

  // *answerEnd: where the answer ends, if it is known to be the first
  // frame (0 if not); *clean: nothing follows it.
  Bytes Reply(int protocol, size_t* answerEnd, bool* clean) {
    Bytes reply = Noise(protocol, Chance(70) ? 0 : 4);
    frameWhole = false;
    if (Chance(85)) {
      Bytes frame = Frame(protocol);
      reply.insert(reply.end(), frame.begin(), frame.end());
    }
    *answerEnd = idle && frameWhole ? reply.size() : 0;
    const size_t answered = reply.size();
    // What follows the answer in the same write.
    for (int extra = Chance(40) ? 1 + Pick(3) : 0; extra > 0; --extra) {
      Bytes more = Chance(60) ? Frame(protocol) : Noise(protocol, 6);
      reply.insert(reply.end(), more.begin(), more.end());
    }
    *clean = frameWhole && reply.size() == answered;
    return reply;
  }

  Step MakeStep(int protocol) {
    Step step;
    step.kind = static_cast<Step::Kind>(Pick(3));
    step.command = static_cast<uint8_t>(Pick(256));
    // Raw data is never empty: an empty send purges nothing the device can
    // wait for, so when its purge falls is up to the scheduler.
    size_t sendSize = static_cast<size_t>(Chance(20) ? Pick(kTxSize + 1) : Pick(8));
    if (step.kind == Step::kData) sendSize = std::max<size_t>(sendSize, 1);
    if (step.kind == Step::kData && Chance(10)) sendSize = kTxSize + 1;  // refused, reported
    step.send.resize(sendSize);
    for (uint8_t& byte : step.send) byte = static_cast<uint8_t>(Pick(256));
    size_t answerEnd = 0;
    bool clean = false;
    if (Chance(90)) step.reply = Reply(protocol, &answerEnd, &clean);
    for (int cut = Chance(60) ? 1 + Pick(3) : 0; cut > 0 && answerEnd > 1; --cut) {
      step.cuts.push_back(1 + static_cast<size_t>(Pick(static_cast<int>(answerEnd) - 1)));
    }
    std::sort(step.cuts.begin(), step.cuts.end());
    // A command too big to send returns at once: nobody would wait for a reply.
    if (step.kind == Step::kCommand && step.send.size() + 4 > kTxSize) {
      step.reply.clear();
      step.cuts.clear();
    }
    if (!step.reply.empty()) idle = clean;
    step.capacity = Chance(85) ? 300 : static_cast<uint32_t>(Pick(3));
    return step;
  }

  std::mt19937 random;
  int rxSize = 0;
  // The decoder holds nothing when the next step begins: only then are the
  // bytes up to the end of its answer known, and may come in pieces.
  bool idle = true;
  bool frameWhole = false;
};

// The scenario, to reproduce a failure by hand.
std::string Describe(const Scenario& scenario) {
  std::string text;
  for (const Step& step : scenario.steps) {
    const char* kinds[] = {"command", "data", "wait"};
    text += std::string("\n  ") + kinds[step.kind] + " " + std::to_string(step.command) + " [" +
            Hex(step.send) + "] capacity " + std::to_string(step.capacity) + ", reply [" +
            Hex(step.reply) + "]";
    for (size_t cut : step.cuts) text += " cut " + std::to_string(cut);
  }
  if (scenario.closeInLastStep) text += "\n  closed during the last step";
  return text;
}

// The request a step puts on the line; empty when it sends nothing.
Bytes Request(const Step& step) {
  switch (step.kind) {
    case Step::kCommand: {
      if (step.send.size() + 4 > kTxSize) return {};  // refused
      Bytes frame(step.send.size() + 4);
      frame[1] = 0x80;
      frame[2] = static_cast<uint8_t>(step.send.size() + 1);
      frame[3] = step.command;
      std::copy(step.send.begin(), step.send.end(), frame.begin() + 4);
      return frame;
    }
    case Step::kData:
      return step.send.size() <= kTxSize ? step.send : Bytes{};
    case Step::kWait:
      return {};
  }
  return {};
}

// Counts the writes made on threads other than the worker: a served run
// must have some, a worker's run none.
class CountingPlatform : public platform::PlatformWrapper {
 public:
  CountingPlatform() : PlatformWrapper(platform::Platform::Default()) {}
  int Write(platform::DeviceRef device, std::span<const uint8_t> from, size_t* put) override {
    if (std::this_thread::get_id() == caller) callerWrites += 1;
    return PlatformWrapper::Write(device, from, put);
  }
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<int> callerWrites{0};
};

class ServedVsWorkerTest : public testing::Test {
 protected:
  Seen Run(const Scenario& scenario, bool serve, int* callerWrites) {
    Seen seen;
    PtyPair pty;
    EXPECT_TRUE(pty.ok());
    setenv(("KTCOMM_COM" + std::to_string(kPort)).c_str(), pty.secondaryPath().c_str(), 1);
    const std::string path = testing::TempDir() + "ktcomm_differential_" +
                             std::to_string(getpid()) + (serve ? "_served" : "_worker");
    std::remove(path.c_str());
    RecordingWindow window;
    CountingPlatform counting;
    {
      CommPort port(counting);
      port.SetLogFileName(path.c_str());
      port.EnableLogging(0, "w");
      EXPECT_EQ(port.Open({.window = &window, .portNumber = kPort, .baud = 115200,
                           .txSize = kTxSize, .rxSize = scenario.rxSize,
                           .protocol = scenario.protocol}),
                1);
      EXPECT_TRUE(port.PrepareCommandBuffer(kTxSize));
      EXPECT_EQ(port.StartWorker(), 1);
      for (size_t i = 0; i < scenario.steps.size(); ++i) {
        const bool close = scenario.closeInLastStep && i + 1 == scenario.steps.size();
        seen.results.push_back(RunStep(port, pty, scenario.steps[i], serve, close, &seen.line));
      }
      port.Close();  // joins the worker: every post and report is in
    }
    *callerWrites = counting.callerWrites;
    for (const Posted& post : window.posts()) {
      seen.posts.push_back(std::to_string(post.command()) + " " + std::to_string(post.length()) +
                           " " + Hex(post.data));
    }
    seen.alerts = window.alerts();
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    seen.log = text.str();
    std::remove(path.c_str());
    return seen;
  }

  // The reply in pieces, a pause at each cut.
  static void WriteReply(const PtyPair& pty, const Step& step) {
    size_t from = 0;
    for (size_t cut : step.cuts) {
      if (cut > from) pty.Write(Bytes(step.reply.begin() + from, step.reply.begin() + cut));
      from = cut;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pty.Write(Bytes(step.reply.begin() + from, step.reply.end()));
  }

  static std::string RunStep(CommPort& port, const PtyPair& pty, const Step& step, bool serve,
                             bool close, Bytes* line) {
    const Bytes request = Request(step);
    Bytes got;
    std::jthread device;
    if (close) {
      device = std::jthread([&] {
        if (!request.empty()) got = pty.Read(request.size(), 3000);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        port.ClosePort();
      });
    } else if (!request.empty()) {
      device = std::jthread([&] {
        got = pty.Read(request.size(), 3000);
        if (got.size() == request.size()) WriteReply(pty, step);
      });
    }
    uint8_t command = 0xEE;
    uint8_t data[300];
    uint32_t length = step.capacity;
    WaitCall call(port, {step.kind == Step::kData, &command, data, &length});
    EXPECT_TRUE(port.BeginWait(call, serve));
    if (step.kind == Step::kCommand) port.SendCommand(step.command, step.send, &call);
    if (step.kind == Step::kData) port.SendRaw(step.send, &call);
    if (request.empty()) WriteReply(pty, step);
    auto outcome = port.FinishWait(call, close ? 10000 : kTimeoutMs);
    if (device.joinable()) device.join();
    line->insert(line->end(), got.begin(), got.end());
    std::string result = std::to_string(static_cast<int>(outcome));
    if (outcome == CommPort::WaitOutcome::kFrame) {
      result += " " + std::to_string(command) + " " + Hex(Bytes(data, data + length));
    }
    return result;
  }
};

TEST_F(ServedVsWorkerTest, GeneratedExchangesLookTheSame) {
  // KTCOMM_SCENARIOS runs more, or other ones: "N" or "FIRST-LAST".
  uint32_t first = 1;
  uint32_t last = 24;
  if (const char* range = std::getenv("KTCOMM_SCENARIOS")) {
    if (std::sscanf(range, "%u-%u", &first, &last) != 2) {
      first = 1;
      last = static_cast<uint32_t>(std::strtoul(range, nullptr, 10));
    }
  }
  int servedWrites = 0;
  for (uint32_t seed = first; seed <= last; ++seed) {
    Generator generator(seed);
    Scenario scenario = generator.Make(seed);
    SCOPED_TRACE("scenario seed " + std::to_string(seed) + ", protocol " +
                 std::to_string(scenario.protocol) + ", rxSize " +
                 std::to_string(scenario.rxSize) + Describe(scenario));
    int callerWrites = 0;
    Seen worker = Run(scenario, false, &callerWrites);
    EXPECT_EQ(callerWrites, 0);
    Seen served = Run(scenario, true, &callerWrites);
    servedWrites += callerWrites;
    EXPECT_EQ(served.results, worker.results);
    EXPECT_EQ(served.posts, worker.posts);
    EXPECT_EQ(served.alerts, worker.alerts);
    EXPECT_EQ(Hex(served.line), Hex(worker.line));
    EXPECT_EQ(served.log, worker.log);
    // The close, not the long time-out, ended the last call.
    const std::string timedOut = std::to_string(static_cast<int>(CommPort::WaitOutcome::kTimedOut));
    if (scenario.closeInLastStep) {
      EXPECT_NE(worker.results.back(), timedOut);
    }
  }
  // The calls did serve the device, most of the time.
  EXPECT_GT(servedWrites, 0);
}

}  // namespace
}  // namespace ktcomm::test
