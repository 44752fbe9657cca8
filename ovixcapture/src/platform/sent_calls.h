// Sent calls: a thread may block-send a call to another thread; the library's
// waits on a thread run the calls sent to it while they wait, so a thread that
// waits for a worker never deadlocks with a worker that needs it to run
// something (an application callback, a window operation) first.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace ovix::platform {

struct Mailbox;

// A waitable flag, manual-reset or auto-reset.
class Event {
 public:
  explicit Event(bool manualReset = true) : manualReset_(manualReset) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Plain wait without running sent calls; timeoutMs < 0 waits for ever.
  bool Wait(int timeoutMs);

 private:
  friend bool WaitPumping(Event& event, int timeoutMs, unsigned* pumped);
  bool ConsumeLocked();

  const bool manualReset_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool signaled_ = false;
  std::vector<Mailbox*> pumpingWaiters_;
};

// Runs call on the thread with the given id and returns when it has run.
// While the sender waits it runs the calls sent to it. A call to the calling
// thread runs at once. Returns false, without running it, when the target
// thread ends before it pumped.
bool SendCall(uint32_t threadId, std::function<void()> call);

// Runs every call that has been sent to the calling thread; returns how many.
unsigned PumpSentCalls();

// Waits until event is set or timeoutMs has passed (< 0: for ever), running
// calls sent to this thread meanwhile (their number is added to *pumped).
// True when the event was set.
bool WaitPumping(Event& event, int timeoutMs, unsigned* pumped = nullptr);

}  // namespace ovix::platform
