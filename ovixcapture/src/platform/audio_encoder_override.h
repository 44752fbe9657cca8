// For the tests: encoders that EnumAudioEncoders lists in front of, or
// instead of, the built-in ones while the override lives. Overrides nest;
// the newest one wins. Nothing in the library itself uses this.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/audio_encoder_transform.h"

namespace ovix::platform {

class ScopedAudioEncoderOverride {
 public:
  // Called by ActivateObject; a null transform makes activation fail with
  // E_NOINTERFACE.
  using Factory = std::function<std::unique_ptr<AudioEncoderTransform>()>;
  enum class Mode { Replace, Prepend };

  explicit ScopedAudioEncoderOverride(std::vector<Factory> encoders, Mode mode = Mode::Replace);
  ~ScopedAudioEncoderOverride();
  ScopedAudioEncoderOverride(const ScopedAudioEncoderOverride&) = delete;
  ScopedAudioEncoderOverride& operator=(const ScopedAudioEncoderOverride&) = delete;

  const std::vector<Factory>& encoders() const { return encoders_; }
  Mode mode() const { return mode_; }

 private:
  std::vector<Factory> encoders_;
  Mode mode_;
  ScopedAudioEncoderOverride* previous_;
};

}  // namespace ovix::platform
