// A shared-mode capture stream on an ALSA PCM: the endpoint's mix format is
// what the device offers nearest to 48 kHz stereo; a reader thread reads one
// period at a time into packets and sets the stream's event for each.
#pragma once

#include <memory>
#include <string>

#include "platform/audio_client.h"

namespace ovix::platform::alsa {

// A new, uninitialised capture stream on the named PCM. Nothing is opened
// until GetMixFormat or Initialize.
std::unique_ptr<AudioClient> MakeCaptureStream(std::string pcmName);

}  // namespace ovix::platform::alsa
