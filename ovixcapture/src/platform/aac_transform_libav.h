// The built-in AAC encoder transform: libavcodec's native AAC-LC encoder
// behind the audio encoder transform interface (16-bit PCM in, raw AAC
// frames out, one per 1024 samples).
#pragma once

#include <memory>

#include "platform/audio_encoder_transform.h"

namespace ovix::platform {

// Whether libavcodec has its native AAC encoder.
bool LibavAacEncoderAvailable();
std::unique_ptr<AudioEncoderTransform> CreateLibavAacTransform();

}  // namespace ovix::platform
