// A shared-mode render stream on an ALSA PCM, opened through the plug layer
// so that any integer or float PCM layout plays (kStreamFlagsAutoConvertPcm).
// Padding is the buffer less what the device has room for. Stop pauses a
// device that can pause (keeping what is buffered); one that cannot is
// dropped, losing it. The event, when set, is signalled at Start and after
// each release: the stream has no thread of its own to wake once per period.
#pragma once

#include <memory>
#include <string>

#include "platform/audio_client.h"

namespace ovix::platform::alsa {

// A new, uninitialised render stream on the named PCM.
std::unique_ptr<AudioClient> MakeRenderStream(std::string pcmName);

}  // namespace ovix::platform::alsa
