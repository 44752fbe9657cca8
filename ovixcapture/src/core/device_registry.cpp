#include "core/device_registry.h"

#include <cstring>
#include <mutex>

#include "platform/services.h"
#include "platform/sys.h"

namespace ovix {

namespace device_registry {
namespace {
// The registry itself has no lock (its users do not run concurrently); this
// only guards creating and destroying it.
std::mutex g_mutex;
std::unique_ptr<OvixDeviceRegistry> g_registry;
}  // namespace

OvixDeviceRegistry& Get() {
  std::lock_guard lock(g_mutex);
  if (!g_registry) g_registry = std::make_unique<OvixDeviceRegistry>();
  return *g_registry;
}

void Destroy() {
  std::lock_guard lock(g_mutex);
  g_registry.reset();
}

void CopyText(char* field, size_t size, const std::string& text) {
  std::memset(field, 0, size);
  if (!sys::IsValidUtf8(text)) return;
  std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

}  // namespace device_registry

void OvixDeviceRegistry::Enumerate() {
  EnumerateVideo();
  EnumerateAudio(true);
  EnumerateAudio(false);
  ResetCapabilityCache();
}

void OvixDeviceRegistry::EnumerateVideo() {
  video_.clear();
  std::unique_ptr<platform::CaptureDeviceEnumerator> devices;
  if (Failed(platform::EnumerateAllVideoDevices(devices)) || !devices) return;
  std::unique_ptr<platform::CaptureMoniker> moniker;
  while (devices->Next(moniker) == S_OK && moniker) {
    std::string displayName, friendlyName;
    if (Failed(moniker->GetDisplayName(displayName))) displayName.clear();
    if (moniker->ReadFriendlyName(friendlyName) != S_OK) friendlyName.clear();
    OvixDeviceInfo info{};
    device_registry::CopyText(info.name, sizeof info.name, friendlyName);
    device_registry::CopyText(info.id, sizeof info.id, displayName);
    if (info.name[0] == '\0') device_registry::CopyText(info.name, sizeof info.name, "Unknown Device");
    info.index = static_cast<int32_t>(video_.size());
    video_.push_back(info);
  }
}

void OvixDeviceRegistry::EnumerateAudio(bool capture) {
  std::vector<OvixDeviceInfo>& list = capture ? audioInput_ : audioRender_;
  list.clear();
  std::unique_ptr<platform::AudioEndpointCollection> endpoints;
  const auto flow = capture ? platform::AudioFlow::Capture : platform::AudioFlow::Render;
  std::unique_ptr<platform::AudioDeviceEnumerator> enumerator;
  if (Failed(platform::AudioDeviceEnumerator::Create(enumerator)) || !enumerator) return;
  if (Failed(enumerator->EnumAudioEndpoints(flow, endpoints)) || !endpoints) return;
  uint32_t count = 0;
  if (Failed(endpoints->GetCount(count))) return;
  for (uint32_t i = 0; i < count; ++i) {
    std::unique_ptr<platform::AudioEndpoint> endpoint;
    if (Failed(endpoints->Item(i, endpoint)) || !endpoint) continue;  // leaves a gap in the indices
    std::string name, id;
    if (endpoint->ReadFriendlyName(name) != S_OK) name.clear();
    if (Failed(endpoint->GetId(id))) id.clear();
    OvixDeviceInfo info{};
    info.index = static_cast<int32_t>(i);
    device_registry::CopyText(info.name, sizeof info.name, name);
    device_registry::CopyText(info.id, sizeof info.id, id);
    if (info.name[0] == '\0') device_registry::CopyText(info.name, sizeof info.name, "Unknown Audio Device");
    list.push_back(info);
  }
}

void OvixDeviceRegistry::ResetCapabilityCache() {
  capabilities_.assign(video_.size(), {});
  probed_.assign(video_.size(), false);
}

int OvixDeviceRegistry::FindVideoDevice(int index, std::unique_ptr<platform::CaptureMoniker>& out) const {
  out.reset();
  const OvixDeviceInfo* info = Video(index);
  if (!info) return OVIX_ERR_INVALID_ARG;
  std::unique_ptr<platform::CaptureDeviceEnumerator> devices;
  if (Failed(platform::EnumerateAllVideoDevices(devices)) || !devices) return OVIX_ERR_FAILED;
  const size_t idLength = ::strnlen(info->id, sizeof info->id);
  std::unique_ptr<platform::CaptureMoniker> moniker;
  while (devices->Next(moniker) == S_OK && moniker) {
    std::string displayName;
    if (Failed(moniker->GetDisplayName(displayName))) continue;
    if (displayName.size() == idLength && std::memcmp(displayName.data(), info->id, idLength) == 0) {
      out = std::move(moniker);
      return OVIX_OK;
    }
  }
  return OVIX_ERR_INVALID_ARG;
}

}  // namespace ovix
