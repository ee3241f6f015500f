// What the fault tests share: a port on the failing double, a pty for it,
// and what a failed open must not leave behind; the steps of Open that
// report when they fail; two frames to send.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "port/comm_port.h"
#include "tests/support/faulty_platform.h"
#include "tests/support/process_counts.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_window.h"

namespace ktcomm::test {

// A request and an answer: 00 80 <length+1> <command> <data>.
inline const std::vector<uint8_t> kFrameA = {0x00, 0x80, 0x02, 0x10, 0xA1};
inline const std::vector<uint8_t> kFrameB = {0x00, 0x80, 0x03, 0x1A, 0xB1, 0xB2};

// A step of Open failed through the double: the call, the operation its
// report names, and the error it fails with.
struct OpenFault {
  Call call;
  const char* step;
  int err;
};

// The steps of Open that report when they fail, in the order Open makes
// them; the line is refused with `setLineErr`.
inline std::vector<OpenFault> ReportedOpenFaults(int setLineErr) {
  return {{Call::kSetTimeouts, "SetCommTimeouts()", EIO},
          {Call::kGetLine, "GetCommState()", EACCES},
          {Call::kBuildLine, "BuildCommDCB()", EINVAL},
          {Call::kSetLine, "SetCommState()", setLineErr}};
}

// A port on the double, numbered `number` and mapped to a device path, and
// a pty that outlives it. Test fixtures derive from it beside testing::Test.
class FaultyPort {
 protected:
  explicit FaultyPort(int number) : number(number) {}

  // Maps the port to `path` and notes the descriptors and threads there
  // are, for ExpectNothingLeft.
  void MapTo(const std::string& path) {
    setenv(("KTCOMM_COM" + std::to_string(number)).c_str(), path.c_str(), 1);
    SettleRuntimeThreads();
    fdsBefore = OpenFdCount();
    threadsBefore = ThreadIds();
  }

  int Open() { return port.Open({.window = &window, .portNumber = number}); }
  // What KTOpenPort does: open, command buffer, worker.
  bool OpenAndStart() { return Open() && port.PrepareCommandBuffer(64) && port.StartWorker(); }

  void ExpectNothingLeft() {
    EXPECT_EQ(OpenFdCount(), fdsBefore);
    EXPECT_TRUE(WaitThreadsSince(threadsBefore, 0));
  }

  // Each step failing in turn ends the open with one report that names it
  // and quotes the error, and leaves nothing behind; the port then opens.
  void ExpectEachReportedStepEndsTheOpen(int setLineErr) {
    for (const OpenFault& fault : ReportedOpenFaults(setLineErr)) {
      SCOPED_TRACE(fault.step);
      window.Clear();
      faulty.FailNth(fault.call, 1, fault.err);
      EXPECT_EQ(Open(), 0);
      EXPECT_FALSE(port.IsOpen());
      EXPECT_EQ(window.alerts(), std::vector<std::string>{
                                     ErrorAlert(fault.step, std::strerror(fault.err), number)});
      ExpectNothingLeft();
    }
    // Each failure gave the device back.
    window.Clear();
    ASSERT_TRUE(OpenAndStart());
    port.Close();
    EXPECT_TRUE(window.alerts().empty());
    ExpectNothingLeft();
  }

  // A waiting call as the exports make one: begun, sent for, finished.
  bool BeginWait(bool serve = false) {
    answerCommand = 0;
    answerLength = sizeof answerData;
    call.emplace(port, WaitOutputs{false, &answerCommand, answerData, &answerLength});
    return port.BeginWait(*call, serve);
  }
  void SendForCall(const std::vector<uint8_t>& bytes) { port.SendRaw(bytes, &*call); }

  // What FinishWait gave: the outcome and, for a frame, its command and data.
  struct Answer {
    CommPort::WaitOutcome outcome;
    uint8_t command = 0;
    std::vector<uint8_t> data;
  };
  Answer FinishWait(uint32_t timeoutMs) {
    Answer answer{};
    answer.outcome = port.FinishWait(*call, timeoutMs);
    answer.command = answerCommand;
    answer.data.assign(answerData, answerData + answerLength);
    call.reset();
    return answer;
  }

  const int number;
  PtyPair pty;
  FaultyPlatform faulty;
  RecordingWindow window;
  CommPort port{faulty};
  // The waiting call in progress, and where its frame goes.
  uint8_t answerCommand = 0;
  uint8_t answerData[8] = {};
  uint32_t answerLength = 0;
  std::optional<WaitCall> call;
  int fdsBefore = 0;
  std::set<int> threadsBefore;
};

}  // namespace ktcomm::test
