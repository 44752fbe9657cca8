// The process-wide registry of devices: video capture devices, audio capture
// endpoints and audio playback endpoints, with one capability list per video
// device, cached until the next enumeration.
#pragma once

#include <memory>
#include <vector>

#include "ovixcapture.h"
#include "platform/capture_device_provider.h"

namespace ovix {

class OvixDeviceRegistry {
 public:
  // Refills all three lists and resets the capability cache.
  void Enumerate();

  int VideoCount() const { return static_cast<int>(video_.size()); }
  int AudioInputCount() const { return static_cast<int>(audioInput_.size()); }
  int AudioRenderCount() const { return static_cast<int>(audioRender_.size()); }
  const OvixDeviceInfo* Video(int index) const { return At(video_, index); }
  const OvixDeviceInfo* AudioInput(int index) const { return At(audioInput_, index); }
  const OvixDeviceInfo* AudioRender(int index) const { return At(audioRender_, index); }

  // The platform's device object for a video device index, found again by
  // its identity string so the index stays valid while devices come and go.
  // 0, -2 (index out of range or device gone) or -1 (enumeration failed).
  int FindVideoDevice(int index, std::unique_ptr<platform::CaptureMoniker>& out) const;

  // The capability cache: one list and one probed flag per video device.
  void ResetCapabilityCache();
  std::vector<std::vector<OvixVideoCapability>>& CapabilityLists() { return capabilities_; }
  std::vector<bool>& ProbedFlags() { return probed_; }

 private:
  static const OvixDeviceInfo* At(const std::vector<OvixDeviceInfo>& v, int index) {
    return index >= 0 && static_cast<size_t>(index) < v.size() ? &v[static_cast<size_t>(index)] : nullptr;
  }
  void EnumerateVideo();
  void EnumerateAudio(bool capture);

  std::vector<OvixDeviceInfo> video_;
  std::vector<OvixDeviceInfo> audioInput_;
  std::vector<OvixDeviceInfo> audioRender_;
  std::vector<std::vector<OvixVideoCapability>> capabilities_;
  std::vector<bool> probed_;
};

namespace device_registry {

// The registry, created empty on first use.
OvixDeviceRegistry& Get();
// Destroys it (OVIX_Shutdown); the next use creates a fresh one.
void Destroy();

// Copies platform text into a fixed field: text that is not well-formed
// UTF-8 becomes empty; the rest is cut at size - 1 bytes and terminated.
void CopyText(char* field, size_t size, const std::string& text);

}  // namespace device_registry

}  // namespace ovix
