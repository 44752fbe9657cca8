#include "platform/virtual/virtual_devices.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/fault_points.h"
#include "platform/virtual/control.h"
#include "platform/virtual/virtual_audio.h"
#include "platform/virtual/virtual_camera.h"

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
    cameras = {TestPatternSpec()};
    EndpointSpec speaker;
    speaker.flow = AudioFlow::Render;
    speaker.id = kNullSpeakerId;
    speaker.friendlyName = kNullSpeakerName;
    endpoints = {TestToneSpec(), std::move(speaker)};
  }
};

DeviceTable& Table() {
  static DeviceTable table;
  return table;
}

// The filters bound for each camera id (weakly: their users own them), the
// connect fault armed for the id, and the property pages shown.
struct LiveCameras {
  struct Camera {
    std::shared_ptr<ConnectFault> fault = std::make_shared<ConnectFault>();
    std::vector<std::weak_ptr<VirtualCamera>> filters;
  };
  std::mutex mutex;
  std::map<std::string, Camera, std::less<>> byId;
  int pagesShown = 0;
  std::string lastCaption;

  // Under mutex.
  Camera& Of(const std::string& id) { return byId[id]; }
};

LiveCameras& Live() {
  static LiveCameras live;
  return live;
}

// The live filters of a camera, newest first; the registry drops the dead.
std::vector<std::shared_ptr<VirtualCamera>> FiltersOf(const std::string& id) {
  std::vector<std::shared_ptr<VirtualCamera>> out;
  std::lock_guard lock(Live().mutex);
  auto it = Live().byId.find(id);
  if (it == Live().byId.end()) return out;
  auto& filters = it->second.filters;
  std::erase_if(filters, [](const std::weak_ptr<VirtualCamera>& w) { return w.expired(); });
  for (auto f = filters.rbegin(); f != filters.rend(); ++f)
    if (auto p = f->lock()) out.push_back(std::move(p));
  return out;
}

std::shared_ptr<VirtualCamera> RunningFilterOf(const std::string& id) {
  for (auto& f : FiltersOf(id))
    if (f->IsRunning()) return f;
  return nullptr;
}

void NotePagesShown(const std::string& caption) {
  std::lock_guard lock(Live().mutex);
  ++Live().pagesShown;
  Live().lastCaption = caption;
}

std::shared_ptr<VirtualCamera> BindCamera(CameraSpec spec) {
  if (spec.capabilities.empty()) spec.capabilities = TestPatternSpec().capabilities;
  std::shared_ptr<ConnectFault> fault;
  {
    std::lock_guard lock(Live().mutex);
    fault = Live().Of(spec.id).fault;
  }
  const std::string id = spec.id;
  auto camera = std::make_shared<VirtualCamera>(std::move(spec), std::move(fault), NotePagesShown);
  std::lock_guard lock(Live().mutex);
  Live().Of(id).filters.push_back(camera);
  return camera;
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
  HRESULT BindToFilter(std::shared_ptr<platform::Filter>& out) override {
    out.reset();
    if (HRESULT hr = FaultCheck("BindToFilter"); Failed(hr)) return hr;
    out = BindCamera(spec_);
    return S_OK;
  }

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
  HRESULT Activate(std::unique_ptr<platform::AudioClient>& out) override {
    out.reset();
    if (HRESULT hr = FaultCheck("Activate"); Failed(hr)) return hr;
    out = OpenAudioStream(spec_);
    return S_OK;
  }

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

  HRESULT GetDefaultEndpoint(AudioFlow flow, std::unique_ptr<AudioEndpoint>& out) override {
    out.reset();
    std::lock_guard lock(Table().mutex);
    const EndpointSpec* chosen = nullptr;
    for (const EndpointSpec& e : Table().endpoints) {
      if (e.flow != flow) continue;
      if (!chosen) chosen = &e;
      if (e.isDefault) {
        chosen = &e;
        break;
      }
    }
    if (!chosen) return platform::E_NOTFOUND;
    out = std::make_unique<VirtualEndpoint>(*chosen);
    return S_OK;
  }

  HRESULT GetDevice(const std::string& id, std::unique_ptr<AudioEndpoint>& out) override {
    out.reset();
    std::lock_guard lock(Table().mutex);
    for (const EndpointSpec& e : Table().endpoints) {
      if (e.id != id) continue;
      out = std::make_unique<VirtualEndpoint>(e);
      return S_OK;
    }
    return platform::E_NOTFOUND;
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

VirtualCapability Capability(uint32_t subtype, int32_t width, int32_t height, int fps) {
  const int64_t frameTime = fps > 0 ? 10'000'000 / fps : 0;
  return VirtualCapability{platform::VideoType(subtype, width, height, frameTime), {frameTime, frameTime}};
}

EndpointSpec TestToneSpec() {
  EndpointSpec tone;
  tone.flow = AudioFlow::Capture;
  tone.id = kTestToneId;
  tone.friendlyName = kTestToneName;
  tone.mixFormat = platform::FloatWaveFormat(48000, 2);
  tone.realTime = true;
  return tone;
}

CameraSpec TestPatternSpec() {
  namespace st = platform::subtype;
  struct Variant {
    uint32_t subtype;
    bool topDown;
  };
  const Variant variants[] = {{st::kYUY2, false},  {st::kNV12, false}, {st::kRGB24, false}, {st::kRGB24, true},
                              {st::kRGB32, false}, {st::kMJPG, false}, {st::kH264, false}};
  struct Size {
    int32_t width, height;
  };
  const Size sizes[] = {{640, 480}, {1280, 720}, {1920, 1080}};

  CameraSpec spec;
  spec.id = kTestPatternId;
  spec.friendlyName = kTestPatternName;
  spec.realTime = true;
  spec.hasPropertyPages = true;
  for (const Variant& v : variants) {
    for (const Size& s : sizes) {
      std::vector<int> rates = {30};
      if (s.width == 1280 && (v.subtype == st::kYUY2 || v.subtype == st::kNV12 || v.subtype == st::kMJPG)) rates.push_back(60);
      if (s.width == 640 && v.subtype == st::kYUY2) rates.push_back(15);
      for (int fps : rates) {
        VirtualCapability c = Capability(v.subtype, s.width, v.topDown ? -s.height : s.height, fps);
        if (v.subtype == st::kH264) {  // compressed formats come with the longer header
          c.type.formatType = platform::FormatKind::VideoInfo2;
          c.type.cbFormat = platform::kVideoInfo2Size;
        }
        spec.capabilities.push_back(c);
      }
    }
  }
  return spec;
}

void Reset() {
  platform::ClearFaults();
  std::vector<std::shared_ptr<VirtualCamera>> running;
  {
    std::lock_guard lock(Live().mutex);
    for (auto& [id, camera] : Live().byId) {
      camera.fault->Disarm();
      for (auto& w : camera.filters)
        if (auto f = w.lock()) running.push_back(std::move(f));
    }
    Live().byId.clear();
    Live().pagesShown = 0;
    Live().lastCaption.clear();
  }
  // Outside the lock: stopping joins streaming threads that may be calling out.
  for (auto& f : running) f->Stop();
  running.clear();
  ResetAudio();  // also outside every lock: it joins test tone threads
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

HRESULT DeliverBuffer(const std::string& cameraId, const uint8_t* data, size_t length) {
  auto f = RunningFilterOf(cameraId);
  return f ? f->DeliverBuffer(data, length) : E_UNEXPECTED;
}

HRESULT DeliverFrames(const std::string& cameraId, int count) {
  auto f = RunningFilterOf(cameraId);
  return f ? f->DeliverFrames(count) : E_UNEXPECTED;
}

bool IsStreaming(const std::string& cameraId) { return RunningFilterOf(cameraId) != nullptr; }

std::optional<platform::MediaType> ConnectedType(const std::string& cameraId) {
  // The running filter's connection first: a probe may hold another filter.
  if (auto f = RunningFilterOf(cameraId)) return f->ConnectedType();
  for (auto& f : FiltersOf(cameraId))
    if (auto t = f->ConnectedType()) return t;
  return std::nullopt;
}

void RaiseFaultInConnect(const std::string& cameraId, uint32_t code, int nth, bool intelligent) {
  std::lock_guard lock(Live().mutex);
  Live().Of(cameraId).fault->Arm(code, nth, intelligent);
}

int PropertyPagesShown() {
  std::lock_guard lock(Live().mutex);
  return Live().pagesShown;
}

std::string LastPropertyPageCaption() {
  std::lock_guard lock(Live().mutex);
  return Live().lastCaption;
}

void FailCall(const char* call, HRESULT hr, int nth, int times) { platform::ArmFault(call, nth, hr, times); }
void CountCall(const char* call) { platform::CountUses(call); }
int CallUses(const char* call) { return platform::FaultUses(call); }

}  // namespace ovix::virt
