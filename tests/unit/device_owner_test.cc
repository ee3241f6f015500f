// The rules of who serves a port's device, on the state machine alone.
#include "port/device_owner.h"

#include <gtest/gtest.h>

namespace ktcomm {
namespace {

using State = DeviceOwner::State;
using Woken = DeviceOwner::Woken;
using Tell = DeviceOwner::Tell;

// Stand-ins for two waiting calls; only their addresses are used.
const WaitCall* const kFirst = reinterpret_cast<const WaitCall*>(0x1000);
const WaitCall* const kSecond = reinterpret_cast<const WaitCall*>(0x2000);

HandBack Writing() {
  HandBack back;
  back.writing = true;
  back.transmission.length = 200000;
  back.transmission.done = 13840;
  return back;
}

TEST(DeviceOwnerTest, ACallTakesOnlyAnIdleWorkersDevice) {
  DeviceOwner owner;
  EXPECT_FALSE(owner.CallerTakes(kFirst));  // the worker has not gone idle yet
  ASSERT_TRUE(owner.WorkerIdles());
  ASSERT_TRUE(owner.CallerTakes(kFirst));
  EXPECT_TRUE(owner.ServedBy(kFirst));
  EXPECT_FALSE(owner.ServedBy(kSecond));
  EXPECT_FALSE(owner.CallerTakes(kSecond));  // one server at a time
  EXPECT_EQ(owner.CallerGivesBack(kSecond, Writing()), Tell::kNobody);  // not its to give
  EXPECT_TRUE(owner.ServedBy(kFirst));

  // Given back with nothing owed, the next call takes it without the worker.
  EXPECT_EQ(owner.CallerGivesBack(kFirst, HandBack{}), Tell::kNobody);
  EXPECT_EQ(owner.state(), State::kIdle);
  EXPECT_TRUE(owner.CallerTakes(kSecond));
}

// A write handed back unfinished is the worker's before anyone else's: the
// next call cannot take the device and overwrite or overtake it.
TEST(DeviceOwnerTest, AHandBackIsFinishedBeforeAnyoneServes) {
  DeviceOwner owner;
  owner.WorkerIdles();
  ASSERT_TRUE(owner.CallerTakes(kFirst));
  EXPECT_EQ(owner.CallerGivesBack(kFirst, Writing()), Tell::kWakeWorker);
  EXPECT_EQ(owner.state(), State::kOwed);
  EXPECT_FALSE(owner.CallerTakes(kSecond));
  EXPECT_FALSE(owner.WorkerIdles());  // not before the worker has taken it

  HandBack back;
  ASSERT_TRUE(owner.WorkerTakesHandBack(&back));
  EXPECT_TRUE(back.writing);
  EXPECT_EQ(back.transmission.done, 13840u);
  EXPECT_FALSE(owner.WorkerTakesHandBack(&back));  // taken once
  EXPECT_FALSE(owner.CallerTakes(kSecond));        // the worker is at it
  ASSERT_TRUE(owner.WorkerIdles());
  EXPECT_TRUE(owner.CallerTakes(kSecond));
}

// The worker woken while a call serves waits for it, and then owes the
// device a look even when the call left nothing: it may have been woken alone.
TEST(DeviceOwnerTest, AWorkerWokenWhileACallServesLooksAfterIt) {
  DeviceOwner owner;
  owner.WorkerIdles();
  uint64_t epoch = owner.Epoch();
  ASSERT_TRUE(owner.CallerTakes(kFirst));
  EXPECT_EQ(owner.WorkerWakes(epoch), Woken::kCallerServes);
  EXPECT_TRUE(owner.CallerServes());
  EXPECT_EQ(owner.CallerGivesBack(kFirst, HandBack{}), Tell::kWaiter);
  HandBack back;
  ASSERT_TRUE(owner.WorkerTakesHandBack(&back));
  EXPECT_TRUE(back.look);
  EXPECT_FALSE(back.writing);
}

// What the worker's wait saw before a call served and gave the device back
// may be gone: it waits again rather than act on it.
TEST(DeviceOwnerTest, AWakeFromBeforeAGiveBackIsStale) {
  DeviceOwner owner;
  owner.WorkerIdles();
  uint64_t epoch = owner.Epoch();
  ASSERT_TRUE(owner.CallerTakes(kFirst));
  owner.CallerGivesBack(kFirst, HandBack{});
  EXPECT_EQ(owner.WorkerWakes(epoch), Woken::kStale);
  EXPECT_EQ(owner.state(), State::kIdle);
  EXPECT_EQ(owner.WorkerWakes(owner.Epoch()), Woken::kServe);
  EXPECT_EQ(owner.state(), State::kWorker);
  EXPECT_FALSE(owner.CallerTakes(kFirst));  // the worker serves now
}

TEST(DeviceOwnerTest, AStoppingWorkerWaitsForTheCallAndLetsNoneTakeOver) {
  DeviceOwner owner;
  owner.WorkerIdles();
  ASSERT_TRUE(owner.CallerTakes(kFirst));
  owner.WorkerStops();
  EXPECT_TRUE(owner.CallerServes());
  EXPECT_EQ(owner.CallerGivesBack(kFirst, HandBack{}), Tell::kWaiter);
  EXPECT_FALSE(owner.CallerServes());
  EXPECT_FALSE(owner.CallerTakes(kSecond));
  HandBack back;
  owner.WorkerTakesHandBack(&back);
  EXPECT_EQ(owner.state(), State::kWorker);
  EXPECT_FALSE(owner.CallerTakes(kSecond));

  owner.WorkerStarts();  // a reopen's worker
  owner.WorkerIdles();
  EXPECT_TRUE(owner.CallerTakes(kSecond));
}

}  // namespace
}  // namespace ktcomm
