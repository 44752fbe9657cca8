// The audio playback port: writes every PCM block it receives straight into
// an output endpoint's shared-mode stream on the delivering thread, opening
// the endpoint lazily for the incoming layout, applying volume and mute, and
// dropping what does not fit.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/port_base.h"
#include "platform/audio_endpoint_provider.h"

namespace ovix {

class OvixAudioRender final : public OvixPortBase {
 public:
  OvixAudioRender() : OvixPortBase(OVIX_PORT_AUDIO_RENDER) {}
  ~OvixAudioRender() override;

  int Start() override;
  int Stop() override;
  int Flush() override;
  int SetPaused(bool paused) override;
  int OnAudioFrame(const OvixAudioFrame* frame) override;

  // The exported setters; index is checked against the device list by the caller.
  int UseDefaultDevice();
  int SelectDevice(int index, const std::string& id, const std::string& name);
  int SetVolume(float volume);
  int SetMute(bool mute);

 private:
  int OpenRenderEndpoint();
  void CloseRenderEndpoint();
  // Under mutex_.
  int StopLocked();

  std::mutex mutex_;
  bool running_ = false;
  int32_t selectedDevice_ = -1;  // -1: the platform's default output endpoint
  std::string deviceId_;
  std::unique_ptr<platform::AudioEndpoint> endpoint_;
  std::unique_ptr<platform::AudioClient> client_;
  std::unique_ptr<platform::AudioRenderClient> writer_;
  std::unique_ptr<platform::WaveFormat> streamFormat_;
  int32_t sourceRate_ = 48000;
  int32_t sourceChannels_ = 2;
  int32_t sourceBits_ = 16;
  uint32_t bufferFrames_ = 0;
  bool clientStarted_ = false;
  bool paused_ = false;
  float volume_ = 1.0f;
  bool mute_ = false;
  uint64_t statsTickMs_ = 0;
  uint64_t receivedFrames_ = 0, writtenFrames_ = 0, droppedFrames_ = 0, silenceFrames_ = 0;
};

}  // namespace ovix
