// The virtual platform's device providers, always listed after the real ones.
#pragma once

#include "platform/audio_endpoint_provider.h"
#include "platform/capture_device_provider.h"

namespace ovix::virt {

platform::CaptureDeviceProvider& VirtualCaptureProvider();
platform::AudioEndpointProvider& VirtualAudioProvider();

}  // namespace ovix::virt
