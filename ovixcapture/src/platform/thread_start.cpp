#include "platform/thread_start.h"

#include <cerrno>
#include <system_error>

#include "platform/fault_points.h"

namespace ovix::platform {

int StartThread(std::thread& out, std::function<void()> body) {
  if (HRESULT hr = FaultCheck("CreateThread"); Failed(hr))
    return IsErrnoHr(hr) ? static_cast<int>(static_cast<uint32_t>(hr) & 0xFFFFu) : EAGAIN;
  try {
    out = std::thread(std::move(body));
    return 0;
  } catch (const std::system_error& e) {
    return e.code().value() != 0 ? e.code().value() : EAGAIN;
  } catch (...) {
    return ENOMEM;
  }
}

}  // namespace ovix::platform
