// Sent calls and events: a call sent to a thread runs there, waits that pump
// run the calls sent to the waiter, crossed sends do not deadlock, and a send
// to a thread that is gone fails instead of hanging.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/sent_calls.h"
#include "platform/sys.h"

namespace ovix::test {
namespace {

using platform::Event;
using platform::PumpSentCalls;
using platform::SendCall;
using platform::WaitPumping;

// A thread that runs calls sent to it until it is told to stop.
class PumpingThread {
 public:
  PumpingThread()
      : thread_([this] {
          id_ = sys::CurrentThreadId();
          started_.Set();
          result_ = WaitPumping(stop_, -1);
        }) {
    started_.Wait(-1);
  }
  ~PumpingThread() { Stop(); }
  uint32_t Id() const { return id_; }
  // True when the wait ended because the stop event was set.
  bool Stop() {
    if (thread_.joinable()) {
      stop_.Set();
      thread_.join();
    }
    return result_;
  }

 private:
  Event started_, stop_;
  uint32_t id_ = 0;
  bool result_ = false;
  std::thread thread_;
};

TEST(SendCall, RunsOnTheTargetThreadAndReturnsAfterItRan) {
  PumpingThread target;
  Event inCall, release;
  std::thread releaser([&] {
    inCall.Wait(-1);
    release.Set();
  });

  uint32_t ranOn = 0;
  bool finished = false;
  EXPECT_TRUE(SendCall(target.Id(), [&] {
    ranOn = sys::CurrentThreadId();
    inCall.Set();
    release.Wait(-1);
    finished = true;
  }));
  EXPECT_TRUE(finished);
  EXPECT_EQ(ranOn, target.Id());
  EXPECT_NE(ranOn, sys::CurrentThreadId());
  releaser.join();
  EXPECT_TRUE(target.Stop());
}

TEST(SendCall, ToTheCallingThreadRunsAtOnce) {
  uint32_t ranOn = 0;
  EXPECT_TRUE(SendCall(sys::CurrentThreadId(), [&] { ranOn = sys::CurrentThreadId(); }));
  EXPECT_EQ(ranOn, sys::CurrentThreadId());
}

TEST(SendCall, WaiterRunsSentCallsAndStillSeesItsEvent) {
  for (const int timeoutMs : {-1, 600000}) {
    SCOPED_TRACE(timeoutMs);
    Event started, done;
    uint32_t waiterId = 0;
    bool result = false;
    std::thread waiter([&] {
      waiterId = sys::CurrentThreadId();
      started.Set();
      result = WaitPumping(done, timeoutMs);
    });
    started.Wait(-1);

    int ranOnWaiter = 0;
    for (int i = 0; i < 3; ++i)
      EXPECT_TRUE(SendCall(waiterId, [&] { ranOnWaiter += sys::CurrentThreadId() == waiterId; }));
    EXPECT_EQ(ranOnWaiter, 3);
    done.Set();
    waiter.join();
    EXPECT_TRUE(result);
  }
}

TEST(SendCall, WaitPumpingTimesOutWhenTheEventStaysClear) {
  Event never;
  EXPECT_FALSE(WaitPumping(never, 0));
  EXPECT_FALSE(WaitPumping(never, 20));
  Event already;
  already.Set();
  EXPECT_TRUE(WaitPumping(already, 0));
}

// The call run on the target sends a call back to the original sender, which
// is blocked in SendCall: the sender runs it while it waits.
TEST(SendCall, CallSentBackToTheWaitingSenderRuns) {
  PumpingThread target;
  const uint32_t self = sys::CurrentThreadId();
  uint32_t innerRanOn = 0;
  bool innerResult = false;
  EXPECT_TRUE(SendCall(target.Id(), [&] {
    innerResult = SendCall(self, [&] { innerRanOn = sys::CurrentThreadId(); });
  }));
  EXPECT_TRUE(innerResult);
  EXPECT_EQ(innerRanOn, self);
  EXPECT_TRUE(target.Stop());
}

// Two threads send to each other at the same moment; each runs the other's
// call while it waits for its own.
TEST(SendCall, CrossedSendsDoNotDeadlock) {
  std::atomic<uint32_t> ids[2] = {0, 0};
  std::atomic<int> ready{0};
  uint32_t ranOn[2] = {0, 0};
  bool results[2] = {false, false};
  Event doneWaiting[2];
  auto body = [&](int me) {
    const int other = 1 - me;
    ids[me] = sys::CurrentThreadId();
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    results[me] = SendCall(ids[other], [&, other] { ranOn[other] = sys::CurrentThreadId(); });
    // Stay reachable until the other thread's call ran here too.
    doneWaiting[me].Set();
    WaitPumping(doneWaiting[other], -1);
  };
  std::thread a(body, 0), b(body, 1);
  a.join();
  b.join();
  EXPECT_TRUE(results[0]);
  EXPECT_TRUE(results[1]);
  // The call sent by thread `me` runs on the other thread.
  EXPECT_EQ(ranOn[1], ids[1].load());
  EXPECT_EQ(ranOn[0], ids[0].load());
}

TEST(SendCall, PumpSentCallsRunsQueuedCalls) {
  Event started, sent;
  std::atomic<uint32_t> targetId{0};
  std::atomic<bool> ran{false};
  std::thread target([&] {
    targetId = sys::CurrentThreadId();
    PumpSentCalls();  // nothing queued yet: returns at once
    started.Set();
    while (!ran.load()) PumpSentCalls();
  });
  started.Wait(-1);
  uint32_t ranOn = 0;
  EXPECT_TRUE(SendCall(targetId, [&] {
    ranOn = sys::CurrentThreadId();
    ran = true;
  }));
  target.join();
  EXPECT_EQ(ranOn, targetId.load());
}

// A send to a thread that ends without pumping fails and does not hang,
// whether the thread used sent calls before or not, and whether it ended
// before or during the send.
TEST(SendCall, ToAThreadThatEndsWithoutPumpingFails) {
  const struct {
    const char* name;
    bool usedSentCalls;
    bool endedBeforeSend;
  } cases[] = {
      {"pumped once, ends during the send", true, false},
      {"never pumped, ends during the send", false, false},
      {"pumped once, ended before the send", true, true},
      {"never pumped, ended before the send", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Event started, leave;
    std::atomic<uint32_t> targetId{0};
    std::thread target([&] {
      targetId = sys::CurrentThreadId();
      if (c.usedSentCalls) PumpSentCalls();
      started.Set();
      leave.Wait(-1);
    });
    started.Wait(-1);
    std::thread leaver;
    if (c.endedBeforeSend) {
      leave.Set();
      target.join();
    } else {
      leaver = std::thread([&] { leave.Set(); });
    }
    bool ran = false;
    EXPECT_FALSE(SendCall(targetId, [&] { ran = true; }));
    EXPECT_FALSE(ran);
    if (leaver.joinable()) leaver.join();
    if (target.joinable()) target.join();
  }
}

TEST(Event, AutoResetIsConsumedByOneWait) {
  Event autoReset(false);
  autoReset.Set();
  EXPECT_TRUE(autoReset.IsSet());
  EXPECT_TRUE(autoReset.Wait(0));
  EXPECT_FALSE(autoReset.IsSet());
  EXPECT_FALSE(autoReset.Wait(0));

  autoReset.Set();
  EXPECT_TRUE(WaitPumping(autoReset, 0));
  EXPECT_FALSE(WaitPumping(autoReset, 0));

  // One set wakes one of two waiters; the second needs a second set.
  std::atomic<int> woken{0};
  auto waiter = [&] {
    if (autoReset.Wait(-1)) woken.fetch_add(1);
  };
  std::thread w1(waiter), w2(waiter);
  autoReset.Set();
  while (woken.load() < 1) std::this_thread::yield();
  EXPECT_FALSE(autoReset.IsSet()) << "the first set was consumed by its waiter";
  autoReset.Set();
  w1.join();
  w2.join();
  EXPECT_EQ(woken.load(), 2);
  EXPECT_FALSE(autoReset.IsSet());
}

TEST(Event, ManualResetStaysSetUntilReset) {
  Event manual;
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(-1));
  EXPECT_TRUE(WaitPumping(manual, 0));
  EXPECT_TRUE(manual.IsSet());
  manual.Reset();
  EXPECT_FALSE(manual.IsSet());
  EXPECT_FALSE(manual.Wait(0));
}

}  // namespace
}  // namespace ovix::test
