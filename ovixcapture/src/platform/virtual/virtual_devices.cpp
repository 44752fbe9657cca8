#include "platform/virtual/virtual_devices.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/fault_points.h"
#include "platform/virtual/control.h"

namespace ovix::virt {
namespace {

using platform::AudioEndpoint;
using platform::AudioEndpointCollection;
using platform::AudioFlow;
using platform::CaptureDeviceEnumerator;
using platform::CaptureMoniker;
using platform::FaultCheck;

struct DeviceTable {
  std::mutex mutex;
  std::vector<CameraSpec> cameras;
  std::vector<EndpointSpec> endpoints;

  DeviceTable() { LoadBuiltIns(); }
  void LoadBuiltIns() {
    cameras = {CameraSpec{kTestPatternId, std::string(kTestPatternName)}};
    endpoints = {EndpointSpec{AudioFlow::Capture, kTestToneId, std::string(kTestToneName)},
                 EndpointSpec{AudioFlow::Render, kNullSpeakerId, std::string(kNullSpeakerName)}};
  }
};

DeviceTable& Table() {
  static DeviceTable table;
  return table;
}

HRESULT ReadName(const std::optional<std::string>& name, std::string& out, const char* fault) {
  out.clear();
  if (HRESULT hr = FaultCheck(fault); Failed(hr)) return hr;
  if (!name) return S_FALSE;
  out = *name;
  return S_OK;
}

class VirtualMoniker final : public CaptureMoniker {
 public:
  explicit VirtualMoniker(CameraSpec spec) : spec_(std::move(spec)) {}
  HRESULT GetDisplayName(std::string& out) override {
    out.clear();
    if (HRESULT hr = FaultCheck("GetDisplayName"); Failed(hr)) return hr;
    out = spec_.id;
    return S_OK;
  }
  HRESULT ReadFriendlyName(std::string& out) override { return ReadName(spec_.friendlyName, out, "ReadFriendlyName"); }

 private:
  CameraSpec spec_;
};

class VirtualDeviceEnumerator final : public CaptureDeviceEnumerator {
 public:
  explicit VirtualDeviceEnumerator(std::vector<CameraSpec> cameras) : cameras_(std::move(cameras)) {}
  HRESULT Next(std::unique_ptr<CaptureMoniker>& out) override {
    if (next_ >= cameras_.size()) {
      out.reset();
      return S_FALSE;
    }
    out = std::make_unique<VirtualMoniker>(cameras_[next_++]);
    return S_OK;
  }

 private:
  std::vector<CameraSpec> cameras_;
  size_t next_ = 0;
};

class VirtualCaptureProviderImpl final : public platform::CaptureDeviceProvider {
 public:
  HRESULT EnumerateVideoDevices(std::unique_ptr<CaptureDeviceEnumerator>& out) override {
    out.reset();
    if (HRESULT hr = FaultCheck("SystemDeviceEnum"); Failed(hr)) return hr;
    if (HRESULT hr = FaultCheck("CreateClassEnumerator"); Failed(hr)) return hr;
    std::lock_guard lock(Table().mutex);
    out = std::make_unique<VirtualDeviceEnumerator>(Table().cameras);
    return S_OK;
  }
};

class VirtualEndpoint final : public AudioEndpoint {
 public:
  explicit VirtualEndpoint(EndpointSpec spec) : spec_(std::move(spec)) {}
  HRESULT GetId(std::string& out) override {
    out.clear();
    if (HRESULT hr = FaultCheck("GetId"); Failed(hr)) return hr;
    out = spec_.id;
    return S_OK;
  }
  HRESULT ReadFriendlyName(std::string& out) override { return ReadName(spec_.friendlyName, out, "OpenPropertyStore"); }

 private:
  EndpointSpec spec_;
};

class VirtualEndpointCollection final : public AudioEndpointCollection {
 public:
  explicit VirtualEndpointCollection(std::vector<EndpointSpec> endpoints) : endpoints_(std::move(endpoints)) {}
  HRESULT GetCount(uint32_t& count) override {
    count = static_cast<uint32_t>(endpoints_.size());
    return S_OK;
  }
  HRESULT Item(uint32_t index, std::unique_ptr<AudioEndpoint>& out) override {
    out.reset();
    if (HRESULT hr = FaultCheck("Item"); Failed(hr)) return hr;
    if (index >= endpoints_.size()) return E_INVALIDARG;
    out = std::make_unique<VirtualEndpoint>(endpoints_[index]);
    return S_OK;
  }

 private:
  std::vector<EndpointSpec> endpoints_;
};

class VirtualAudioProviderImpl final : public platform::AudioEndpointProvider {
 public:
  HRESULT EnumerateEndpoints(AudioFlow flow, std::unique_ptr<AudioEndpointCollection>& out) override {
    out.reset();
    if (HRESULT hr = FaultCheck("MMDeviceEnumerator"); Failed(hr)) return hr;
    if (HRESULT hr = FaultCheck("EnumAudioEndpoints"); Failed(hr)) return hr;
    std::vector<EndpointSpec> selected;
    {
      std::lock_guard lock(Table().mutex);
      for (const EndpointSpec& e : Table().endpoints)
        if (e.flow == flow) selected.push_back(e);
    }
    out = std::make_unique<VirtualEndpointCollection>(std::move(selected));
    return S_OK;
  }
};

}  // namespace

platform::CaptureDeviceProvider& VirtualCaptureProvider() {
  static VirtualCaptureProviderImpl provider;
  return provider;
}

platform::AudioEndpointProvider& VirtualAudioProvider() {
  static VirtualAudioProviderImpl provider;
  return provider;
}

void Reset() {
  platform::ClearFaults();
  std::lock_guard lock(Table().mutex);
  Table().LoadBuiltIns();
}

void ClearDevices() {
  std::lock_guard lock(Table().mutex);
  Table().cameras.clear();
  Table().endpoints.clear();
}

void AddCamera(CameraSpec spec) {
  std::lock_guard lock(Table().mutex);
  Table().cameras.push_back(std::move(spec));
}

bool RemoveCamera(const std::string& id) {
  std::lock_guard lock(Table().mutex);
  auto& v = Table().cameras;
  auto it = std::find_if(v.begin(), v.end(), [&](const CameraSpec& c) { return c.id == id; });
  if (it == v.end()) return false;
  v.erase(it);
  return true;
}

void AddEndpoint(EndpointSpec spec) {
  std::lock_guard lock(Table().mutex);
  Table().endpoints.push_back(std::move(spec));
}

bool RemoveEndpoint(const std::string& id) {
  std::lock_guard lock(Table().mutex);
  auto& v = Table().endpoints;
  auto it = std::find_if(v.begin(), v.end(), [&](const EndpointSpec& e) { return e.id == id; });
  if (it == v.end()) return false;
  v.erase(it);
  return true;
}

void FailCall(const char* call, HRESULT hr, int nth, int times) { platform::ArmFault(call, nth, hr, times); }
void CountCall(const char* call) { platform::CountUses(call); }
int CallUses(const char* call) { return platform::FaultUses(call); }

}  // namespace ovix::virt
