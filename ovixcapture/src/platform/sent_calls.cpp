#include "platform/sent_calls.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/sys.h"

namespace ovix::platform {

struct PendingCall {
  std::function<void()> fn;
  std::shared_ptr<Mailbox> sender;
  bool done = false;  // guarded by sender->mutex
  bool ran = false;
};

struct Mailbox {
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::shared_ptr<PendingCall>> queue;
  bool woken = false;
  bool closed = false;

  void Wake() {
    std::lock_guard lock(mutex);
    woken = true;
    cv.notify_all();
  }
};

namespace {

std::mutex g_mapMutex;
std::map<uint32_t, std::shared_ptr<Mailbox>>& Mailboxes() {
  static auto* boxes = new std::map<uint32_t, std::shared_ptr<Mailbox>>();  // outlives thread exits at process end
  return *boxes;
}

void Complete(const std::shared_ptr<PendingCall>& call, bool ran) {
  std::lock_guard lock(call->sender->mutex);
  call->done = true;
  call->ran = ran;
  call->sender->cv.notify_all();
}

std::shared_ptr<Mailbox> MailboxOf(uint32_t tid) {
  std::lock_guard lock(g_mapMutex);
  auto& slot = Mailboxes()[tid];
  if (!slot) slot = std::make_shared<Mailbox>();
  return slot;
}

// Owned by each thread that used the facility; closes its mailbox at exit.
struct ThreadMailbox {
  uint32_t tid = sys::CurrentThreadId();
  std::shared_ptr<Mailbox> box = MailboxOf(tid);
  ~ThreadMailbox() {
    {
      std::lock_guard lock(g_mapMutex);
      auto it = Mailboxes().find(tid);
      if (it != Mailboxes().end() && it->second == box) Mailboxes().erase(it);
    }
    std::deque<std::shared_ptr<PendingCall>> left;
    {
      std::lock_guard lock(box->mutex);
      box->closed = true;
      left.swap(box->queue);
    }
    for (auto& call : left) Complete(call, false);
  }
};

// Whether a thread of this process with the given id still runs. A thread
// that never used sent calls has no mailbox to close when it ends, so a
// sender asks the system instead.
bool ThreadRuns(uint32_t tid) {
  return ::syscall(SYS_tgkill, static_cast<pid_t>(::getpid()), static_cast<pid_t>(tid), 0) == 0;
}

// How often a waiting sender checks that its target still runs.
constexpr auto kLivenessPoll = std::chrono::milliseconds(20);

// Takes a call back out of the queue of a thread that ended; true when it was
// still there. The mailbox made for the ended thread is forgotten.
bool Withdraw(uint32_t tid, const std::shared_ptr<Mailbox>& box, const std::shared_ptr<PendingCall>& call) {
  bool found = false;
  {
    std::lock_guard lock(box->mutex);
    auto it = std::find(box->queue.begin(), box->queue.end(), call);
    if (it != box->queue.end()) {
      box->queue.erase(it);
      found = true;
    }
  }
  std::lock_guard lock(g_mapMutex);
  auto it = Mailboxes().find(tid);
  if (it != Mailboxes().end() && it->second == box) Mailboxes().erase(it);
  return found;
}

const std::shared_ptr<Mailbox>& Current() {
  thread_local ThreadMailbox mine;
  return mine.box;
}

unsigned PumpInto(Mailbox& box) {
  unsigned ran = 0;
  for (;;) {
    std::shared_ptr<PendingCall> call;
    {
      std::lock_guard lock(box.mutex);
      if (box.queue.empty()) return ran;
      call = std::move(box.queue.front());
      box.queue.pop_front();
    }
    call->fn();
    Complete(call, true);
    ++ran;
  }
}

}  // namespace

void Event::Set() {
  std::lock_guard lock(mutex_);
  signaled_ = true;
  for (Mailbox* m : pumpingWaiters_) m->Wake();
  cv_.notify_all();
}

void Event::Reset() {
  std::lock_guard lock(mutex_);
  signaled_ = false;
}

bool Event::IsSet() const {
  std::lock_guard lock(mutex_);
  return signaled_;
}

bool Event::ConsumeLocked() {
  if (!signaled_) return false;
  if (!manualReset_) signaled_ = false;
  return true;
}

bool Event::Wait(int timeoutMs) {
  std::unique_lock lock(mutex_);
  auto ready = [&] { return signaled_; };
  if (timeoutMs < 0) cv_.wait(lock, ready);
  else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) return false;
  return ConsumeLocked();
}

bool SendCall(uint32_t threadId, std::function<void()> call) {
  if (threadId == sys::CurrentThreadId()) {
    call();
    return true;
  }
  if (!ThreadRuns(threadId)) return false;
  const std::shared_ptr<Mailbox>& self = Current();
  auto pending = std::make_shared<PendingCall>();
  pending->fn = std::move(call);
  pending->sender = self;
  std::shared_ptr<Mailbox> target = MailboxOf(threadId);
  {
    std::lock_guard lock(target->mutex);
    if (target->closed) return false;
    target->queue.push_back(pending);
    target->woken = true;
    target->cv.notify_all();
  }
  for (;;) {
    PumpInto(*self);
    std::unique_lock lock(self->mutex);
    if (pending->done) return pending->ran;
    if (self->cv.wait_for(lock, kLivenessPoll, [&] { return pending->done || !self->queue.empty(); })) {
      if (pending->done) return pending->ran;
      continue;
    }
    lock.unlock();
    // The target ended without closing its mailbox (it never used sent calls,
    // or it had ended before the call was queued in a fresh one).
    if (!ThreadRuns(threadId) && Withdraw(threadId, target, pending)) return false;
  }
}

unsigned PumpSentCalls() { return PumpInto(*Current()); }

bool WaitPumping(Event& event, int timeoutMs, unsigned* pumped) {
  const std::shared_ptr<Mailbox>& self = Current();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  {
    std::lock_guard lock(event.mutex_);
    event.pumpingWaiters_.push_back(self.get());
  }
  bool result = false;
  for (;;) {
    const unsigned ran = PumpInto(*self);
    if (pumped) *pumped += ran;
    {
      std::lock_guard lock(event.mutex_);
      if (event.ConsumeLocked()) {
        result = true;
        break;
      }
    }
    std::unique_lock lock(self->mutex);
    auto ready = [&] { return self->woken || !self->queue.empty(); };
    if (timeoutMs < 0) {
      self->cv.wait(lock, ready);
    } else if (!self->cv.wait_until(lock, deadline, ready)) {
      lock.unlock();
      std::lock_guard elock(event.mutex_);
      result = event.ConsumeLocked();
      break;
    }
    self->woken = false;
  }
  std::lock_guard lock(event.mutex_);
  auto& w = event.pumpingWaiters_;
  w.erase(std::find(w.begin(), w.end(), self.get()));
  return result;
}

}  // namespace ovix::platform
