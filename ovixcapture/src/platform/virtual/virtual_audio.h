// The virtual audio streams: a capture stream fed by the tests' pushed
// packets or by the real-time test tone, and a render stream that records
// what it is given. Streams of one endpoint id share that endpoint's state
// (pushed packets go to its newest stream, rendered audio accumulates across
// reopened streams) until ResetAudio.
#pragma once

#include <memory>

#include "platform/audio_client.h"
#include "platform/virtual/control.h"

namespace ovix::virt {

// A new, uninitialised stream of the endpoint's flow.
std::unique_ptr<platform::AudioClient> OpenAudioStream(const EndpointSpec& spec);

// Stops every live stream (joining tone threads) and forgets all endpoint
// state. Takes no lock of the device table.
void ResetAudio();

}  // namespace ovix::virt
