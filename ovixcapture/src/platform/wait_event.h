// An auto-reset event that a platform stream sets and a library thread waits
// for, with the three outcomes of a system wait: set, timed out or failed.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

namespace ovix::platform {

class WaitEvent {
 public:
  enum class Result { Signaled, Timeout, Failed };

  // A new, unsignalled event; 0, or the system error when it cannot be made.
  // Fault point "CreateEvent".
  static int Create(std::shared_ptr<WaitEvent>& out);

  void Set();
  // Waits up to timeoutMs; a signalled wait resets the event. On Failed,
  // error holds the system error. Fault point "WaitForSingleObject".
  Result Wait(int timeoutMs, int& error);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signaled_ = false;
};

}  // namespace ovix::platform
