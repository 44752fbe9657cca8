// The registry through which the core reaches its platform services. Real
// backends register themselves when the shared library loads; the virtual
// devices are always present and listed after the real ones.
#pragma once

#include <memory>
#include <vector>

#include "platform/audio_endpoint_provider.h"
#include "platform/capture_device_provider.h"

namespace ovix::platform {

// Adds a real backend. Called from static initialisers of the backends that
// the shared library links in; the order of registration is the listing order.
void RegisterCaptureDeviceProvider(CaptureDeviceProvider* provider);
void RegisterAudioEndpointProvider(AudioEndpointProvider* provider);

// All capture device providers: the real ones, then the virtual one.
std::vector<CaptureDeviceProvider*> CaptureDeviceProviders();
std::vector<AudioEndpointProvider*> AudioEndpointProviders();

// One enumeration over every provider, real devices first. A provider whose
// enumeration fails contributes nothing; the result fails only when every
// provider failed.
HRESULT EnumerateAllVideoDevices(std::unique_ptr<CaptureDeviceEnumerator>& out);

}  // namespace ovix::platform
