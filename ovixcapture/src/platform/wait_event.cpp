#include "platform/wait_event.h"

#include <cerrno>
#include <chrono>

#include "platform/fault_points.h"

namespace ovix::platform {
namespace {

int ErrorOf(HRESULT hr) { return IsErrnoHr(hr) ? static_cast<int>(static_cast<uint32_t>(hr) & 0xFFFFu) : EINVAL; }

}  // namespace

int WaitEvent::Create(std::shared_ptr<WaitEvent>& out) {
  out.reset();
  if (HRESULT hr = FaultCheck("CreateEvent"); Failed(hr)) return ErrorOf(hr);
  out = std::make_shared<WaitEvent>();
  return 0;
}

void WaitEvent::Set() {
  {
    std::lock_guard lock(mutex_);
    signaled_ = true;
  }
  cv_.notify_one();
}

WaitEvent::Result WaitEvent::Wait(int timeoutMs, int& error) {
  error = 0;
  if (HRESULT hr = FaultCheck("WaitForSingleObject"); Failed(hr)) {
    error = ErrorOf(hr);
    return Result::Failed;
  }
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs), [&] { return signaled_; }))
    return Result::Timeout;
  signaled_ = false;
  return Result::Signaled;
}

}  // namespace ovix::platform
