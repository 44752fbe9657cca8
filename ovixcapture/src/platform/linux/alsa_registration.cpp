// Lists the ALSA endpoints ahead of the virtual ones in the shared library.
// Kept out of the backend's static library, so that the core the unit tests
// link lists only what they register themselves.
#include "platform/linux/alsa_endpoints.h"
#include "platform/services.h"

namespace {

const bool g_registered = [] {
  ovix::platform::RegisterAudioEndpointProvider(&ovix::platform::alsa::AlsaEndpointProvider());
  return true;
}();

}  // namespace
