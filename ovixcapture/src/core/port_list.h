// An ordered list of destination ports under its own lock. It is held only to
// add, remove or copy entries, never while a destination runs.
#pragma once

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace ovix {

class OvixPortBase;

class PortList {
 public:
  // Appends dst unless it is already listed.
  void Add(OvixPortBase* dst) {
    std::lock_guard lock(mutex_);
    if (std::find(ports_.begin(), ports_.end(), dst) == ports_.end()) ports_.push_back(dst);
  }
  // Removes every occurrence of dst; the others keep their order.
  void Remove(const OvixPortBase* dst) {
    std::lock_guard lock(mutex_);
    ports_.erase(std::remove(ports_.begin(), ports_.end(), dst), ports_.end());
  }
  std::vector<OvixPortBase*> Snapshot() const {
    std::lock_guard lock(mutex_);
    return ports_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    ports_.clear();
    ports_.shrink_to_fit();
  }
  // Runs fn(list) under the lock; fn must not call out of the library.
  template <typename Fn>
  auto WithLock(Fn&& fn) {
    std::lock_guard lock(mutex_);
    return fn(ports_);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<OvixPortBase*> ports_;
};

// The second output list of a port that has one (the overlay port's list for
// the overlaid picture), with the count of deliveries to it in progress.
struct SecondOutput {
  PortList list;
  std::atomic<int> inFlight{0};
};

}  // namespace ovix
