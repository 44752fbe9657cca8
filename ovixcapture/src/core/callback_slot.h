// A (callback, user pointer) pair that frame paths read without a lock while
// another thread may replace it. A reader never combines the callback of one
// setting with the user pointer of another: the pair is published under a
// sequence counter, and a reader that saw the counter move reads again.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace ovix {

template <typename Fn>
class CallbackSlot {
 public:
  struct Pair {
    Fn fn = nullptr;
    void* user = nullptr;
  };

  void Set(Fn fn, void* user) {
    // Writers exclude each other by taking the counter from even to odd.
    uint32_t s = seq_.load(std::memory_order_relaxed);
    for (;;) {
      if ((s & 1u) == 0 &&
          seq_.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed))
        break;
      std::this_thread::yield();
      s = seq_.load(std::memory_order_relaxed);
    }
    fn_.store(fn, std::memory_order_relaxed);
    user_.store(user, std::memory_order_relaxed);
    seq_.store(s + 2, std::memory_order_release);
  }

  Pair Get() const {
    for (;;) {
      const uint32_t before = seq_.load(std::memory_order_acquire);
      if (before & 1u) {
        std::this_thread::yield();
        continue;
      }
      Pair p{fn_.load(std::memory_order_acquire), user_.load(std::memory_order_acquire)};
      if (seq_.load(std::memory_order_acquire) == before) return p;
    }
  }

 private:
  std::atomic<uint32_t> seq_{0};
  std::atomic<Fn> fn_{nullptr};
  std::atomic<void*> user_{nullptr};
};

}  // namespace ovix
