#include "platform/services.h"

#include <mutex>

#include "platform/fault_points.h"
#include "platform/virtual/virtual_devices.h"

namespace ovix::platform {
namespace {

std::mutex g_mutex;

std::vector<CaptureDeviceProvider*>& RealCapture() {
  static std::vector<CaptureDeviceProvider*> v;
  return v;
}
std::vector<AudioEndpointProvider*>& RealAudio() {
  static std::vector<AudioEndpointProvider*> v;
  return v;
}

class ChainedDeviceEnumerator final : public CaptureDeviceEnumerator {
 public:
  explicit ChainedDeviceEnumerator(std::vector<std::unique_ptr<CaptureDeviceEnumerator>> parts)
      : parts_(std::move(parts)) {}
  HRESULT Next(std::unique_ptr<CaptureMoniker>& out) override {
    while (current_ < parts_.size()) {
      HRESULT hr = parts_[current_]->Next(out);
      if (hr == S_OK && out) return S_OK;
      ++current_;  // end of this provider's list, or it failed mid-way
    }
    out.reset();
    return S_FALSE;
  }

 private:
  std::vector<std::unique_ptr<CaptureDeviceEnumerator>> parts_;
  size_t current_ = 0;
};

class ChainedEndpointCollection final : public AudioEndpointCollection {
 public:
  explicit ChainedEndpointCollection(std::vector<std::unique_ptr<AudioEndpointCollection>> parts) {
    for (auto& p : parts) {
      uint32_t n = 0;
      if (Succeeded(p->GetCount(n)) && n > 0) parts_.push_back({std::move(p), n});
    }
  }
  HRESULT GetCount(uint32_t& count) override {
    count = 0;
    for (auto& p : parts_) count += p.count;
    return S_OK;
  }
  HRESULT Item(uint32_t index, std::unique_ptr<AudioEndpoint>& out) override {
    for (auto& p : parts_) {
      if (index < p.count) return p.collection->Item(index, out);
      index -= p.count;
    }
    out.reset();
    return E_INVALIDARG;
  }

 private:
  struct Part {
    std::unique_ptr<AudioEndpointCollection> collection;
    uint32_t count;
  };
  std::vector<Part> parts_;
};

}  // namespace

void RegisterCaptureDeviceProvider(CaptureDeviceProvider* provider) {
  std::lock_guard lock(g_mutex);
  RealCapture().push_back(provider);
}

void RegisterAudioEndpointProvider(AudioEndpointProvider* provider) {
  std::lock_guard lock(g_mutex);
  RealAudio().push_back(provider);
}

std::vector<CaptureDeviceProvider*> CaptureDeviceProviders() {
  std::lock_guard lock(g_mutex);
  std::vector<CaptureDeviceProvider*> all = RealCapture();
  all.push_back(&virt::VirtualCaptureProvider());
  return all;
}

std::vector<AudioEndpointProvider*> AudioEndpointProviders() {
  std::lock_guard lock(g_mutex);
  std::vector<AudioEndpointProvider*> all = RealAudio();
  all.push_back(&virt::VirtualAudioProvider());
  return all;
}

HRESULT EnumerateAllVideoDevices(std::unique_ptr<CaptureDeviceEnumerator>& out) {
  std::vector<std::unique_ptr<CaptureDeviceEnumerator>> parts;
  HRESULT last = E_FAIL;
  for (CaptureDeviceProvider* p : CaptureDeviceProviders()) {
    std::unique_ptr<CaptureDeviceEnumerator> e;
    HRESULT hr = p->EnumerateVideoDevices(e);
    if (Succeeded(hr) && e) parts.push_back(std::move(e));
    else last = Failed(hr) ? hr : E_FAIL;
  }
  if (parts.empty()) {
    out.reset();
    return last;
  }
  out = std::make_unique<ChainedDeviceEnumerator>(std::move(parts));
  return S_OK;
}

HRESULT AudioDeviceEnumerator::Create(std::unique_ptr<AudioDeviceEnumerator>& out) {
  out.reset();
  if (HRESULT hr = FaultCheck("MMDeviceEnumerator"); Failed(hr)) return hr;
  out = std::make_unique<AudioDeviceEnumerator>();
  return S_OK;
}

HRESULT AudioDeviceEnumerator::EnumAudioEndpoints(AudioFlow flow, std::unique_ptr<AudioEndpointCollection>& out) {
  std::vector<std::unique_ptr<AudioEndpointCollection>> parts;
  HRESULT last = E_FAIL;
  for (AudioEndpointProvider* p : AudioEndpointProviders()) {
    std::unique_ptr<AudioEndpointCollection> c;
    HRESULT hr = p->EnumerateEndpoints(flow, c);
    if (Succeeded(hr) && c) parts.push_back(std::move(c));
    else last = Failed(hr) ? hr : E_FAIL;
  }
  if (parts.empty()) {
    out.reset();
    return last;
  }
  out = std::make_unique<ChainedEndpointCollection>(std::move(parts));
  return S_OK;
}

HRESULT AudioDeviceEnumerator::GetDefaultAudioEndpoint(AudioFlow flow, std::unique_ptr<AudioEndpoint>& out) {
  out.reset();
  if (HRESULT hr = FaultCheck("GetDefaultAudioEndpoint"); Failed(hr)) return hr;
  for (AudioEndpointProvider* p : AudioEndpointProviders()) {
    if (Succeeded(p->GetDefaultEndpoint(flow, out)) && out) return S_OK;
    out.reset();
  }
  return E_NOTFOUND;
}

HRESULT AudioDeviceEnumerator::GetDevice(const std::string& id, std::unique_ptr<AudioEndpoint>& out) {
  out.reset();
  if (HRESULT hr = FaultCheck("GetDevice"); Failed(hr)) return hr;
  for (AudioEndpointProvider* p : AudioEndpointProviders()) {
    if (Succeeded(p->GetDevice(id, out)) && out) return S_OK;
    out.reset();
  }
  return E_NOTFOUND;
}

}  // namespace ovix::platform
