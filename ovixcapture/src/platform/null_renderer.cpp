#include "platform/null_renderer.h"

namespace ovix::platform {

HRESULT NullRendererFilter::InputPin::Receive(const uint8_t*, size_t, int64_t) {
  if (!renderer_.IsRunning()) return kVfwWrongState;
  return ConnectedTo() ? S_OK : VFW_E_NOT_CONNECTED;
}

}  // namespace ovix::platform
