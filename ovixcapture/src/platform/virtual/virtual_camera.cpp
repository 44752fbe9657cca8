#include "platform/virtual/virtual_camera.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "platform/capture_graph.h"
#include "platform/fault_points.h"
#include "platform/virtual/test_pattern.h"

namespace ovix::virt {
namespace {

using platform::FaultCheck;
using platform::MediaType;
using platform::Pin;

constexpr HRESULT kInvalidMediaType = MakeHr(0x80040200u);  // VFW_E_INVALIDMEDIATYPE
constexpr HRESULT kAlreadyConnected = MakeHr(0x80040204u);  // VFW_E_ALREADY_CONNECTED
constexpr HRESULT kNotStopped = MakeHr(0x80040224u);        // VFW_E_NOT_STOPPED

using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;  // 100 ns
constexpr int64_t kDefaultFrameTime = 333'333;                            // 30 frames a second

// The deliveries this thread has open, so that a Stop issued from inside a
// delivery (a consumer stopping the device) does not wait for itself.
thread_local std::vector<const VirtualCamera*> t_openDeliveries;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool SameSize(const MediaType& a, const MediaType& b) {
  return a.width == b.width && std::abs(a.height) == std::abs(b.height);
}

}  // namespace

// --- ConnectFault -------------------------------------------------------

void ConnectFault::Arm(uint32_t code, int nth, bool intelligent) {
  std::lock_guard lock(mutex_);
  armed_ = true;
  code_ = code;
  remaining_ = std::max(1, nth);
  intelligent_ = intelligent;
}

void ConnectFault::Disarm() {
  std::lock_guard lock(mutex_);
  armed_ = false;
}

void ConnectFault::OnConnect(bool intelligent) {
  uint32_t code = 0;
  {
    std::lock_guard lock(mutex_);
    if (!armed_ || intelligent != intelligent_) return;
    if (--remaining_ > 0) return;
    armed_ = false;
    code = code_;
  }
  throw platform::DeviceFault{code};
}

// --- the streaming thread -------------------------------------------------

struct VirtualCamera::Streamer {
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;

  bool Stopped() {
    std::lock_guard lock(mutex);
    return stop;
  }

  // Holds only what it shares with the filter, so that it may outlive a
  // filter released from inside its own delivery. The peer stays valid
  // until Stop has joined this thread.
  static void Loop(std::shared_ptr<Streamer> self, Pin* peer, std::shared_ptr<TestPattern> pattern, int64_t frameTime) {
    using Clock = std::chrono::steady_clock;
    const Ticks interval(frameTime);
    Clock::time_point start = Clock::now();
    std::vector<uint8_t> frame;
    for (int64_t n = 0;; ++n) {
      {
        std::unique_lock lock(self->mutex);
        if (self->wake.wait_until(lock, start + n * interval, [&] { return self->stop; })) return;
      }
      if (Failed(pattern->Next(frame))) return;  // e.g. no encoder: the device stays silent
      if (frame.empty()) continue;
      if (self->Stopped()) return;
      peer->Receive(frame.data(), frame.size(), n * frameTime);
      // A consumer that fell behind gets the next frame at once, not a burst.
      const auto now = Clock::now();
      if (now > start + (n + 2) * interval)
        start = now - (n + 1) * std::chrono::duration_cast<Clock::duration>(interval);
    }
  }
};

// --- the capture pin ------------------------------------------------------

class VirtualCamera::CapturePin final : public Pin {
 public:
  explicit CapturePin(VirtualCamera& camera) : cam_(camera) {}

  platform::PinDirection Direction() const override { return platform::PinDirection::Output; }
  platform::Filter& Owner() override { return cam_; }
  bool IsCaptureCategory() const override { return true; }

  HRESULT EnumMediaTypes(std::vector<MediaType>& out) override {
    out.clear();
    if (HRESULT hr = FaultCheck("EnumMediaTypes"); Failed(hr)) return hr;
    out = PreferredTypes();
    return S_OK;
  }

  HRESULT QueryAccept(const MediaType& mt) override { return Resolve(mt) ? S_OK : S_FALSE; }

  HRESULT Connect(Pin& peer, const MediaType* type) override {
    cam_.fault_->OnConnect(platform::InIntelligentConnect());  // a driver crash, before anything changed

    std::vector<MediaType> candidates;
    {
      std::lock_guard lock(cam_.mutex_);
      if (cam_.running_) return kNotStopped;
      if (cam_.peer_ || cam_.connecting_) return kAlreadyConnected;
      if (!type) candidates = cam_.format_ ? std::vector<MediaType>{*cam_.format_} : PreferredTypes();
      cam_.connecting_ = true;
    }
    HRESULT hr = VFW_E_NO_ACCEPTABLE_TYPES;
    std::optional<MediaType> chosen;
    try {
      if (type) {
        std::optional<MediaType> resolved = cam_.spec_.refuseTypedConnect ? std::nullopt : Resolve(*type);
        if (resolved) {
          hr = peer.ReceiveConnection(*this, *resolved);
          if (Succeeded(hr)) chosen = resolved;
        }
      } else {
        for (const MediaType& t : candidates) {
          if (peer.QueryAccept(t) != S_OK) continue;
          hr = peer.ReceiveConnection(*this, t);
          if (Succeeded(hr)) {
            chosen = t;
            break;
          }
        }
        if (!chosen) hr = VFW_E_NO_ACCEPTABLE_TYPES;
      }
    } catch (...) {
      std::lock_guard lock(cam_.mutex_);
      cam_.connecting_ = false;
      throw;
    }
    std::lock_guard lock(cam_.mutex_);
    cam_.connecting_ = false;
    if (chosen) {
      cam_.peer_ = &peer;
      cam_.connection_ = *chosen;
      return S_OK;
    }
    return hr;
  }

  HRESULT ReceiveConnection(Pin&, const MediaType&) override { return E_UNEXPECTED; }

  HRESULT Disconnect() override {
    std::lock_guard lock(cam_.mutex_);
    // The streaming thread holds the peer while running.
    if (cam_.running_) return kNotStopped;
    if (!cam_.peer_) return S_FALSE;
    cam_.peer_ = nullptr;
    cam_.connection_ = MediaType{};
    return S_OK;
  }

  Pin* ConnectedTo() override {
    std::lock_guard lock(cam_.mutex_);
    return cam_.peer_;
  }

  HRESULT ConnectionMediaType(MediaType& out) override {
    std::lock_guard lock(cam_.mutex_);
    out = cam_.peer_ ? cam_.connection_ : MediaType{};
    return cam_.peer_ ? S_OK : VFW_E_NOT_CONNECTED;
  }

  HRESULT Receive(const uint8_t*, size_t, int64_t) override { return E_UNEXPECTED; }

 private:
  std::vector<MediaType> PreferredTypes() const {
    if (!cam_.spec_.preferredTypes.empty()) return cam_.spec_.preferredTypes;
    std::vector<MediaType> types;
    for (const VirtualCapability& c : cam_.spec_.capabilities) types.push_back(c.type);
    return types;
  }

  // The type a connect asking for mt is made with: mt itself when it is a
  // complete video type of one of the device's formats; a capability of its
  // subtype when it names only the subtype (no format block).
  std::optional<MediaType> Resolve(const MediaType& mt) const {
    if (mt.major != platform::MajorType::Video && mt.major != platform::MajorType::Null) return std::nullopt;
    for (const VirtualCapability& c : cam_.spec_.capabilities) {
      if (c.type.subtype != mt.subtype) continue;
      if (!mt.hasFormatBlock) return c.type;
      if (mt.HasReadableVideoBlock() && SameSize(c.type, mt)) {
        MediaType t = mt;
        t.major = platform::MajorType::Video;
        return t;
      }
    }
    return std::nullopt;
  }

  VirtualCamera& cam_;
};

// --- stream configuration -------------------------------------------------

class VirtualCamera::Config final : public platform::StreamConfig {
 public:
  explicit Config(VirtualCamera& camera) : cam_(camera) {}

  HRESULT GetNumberOfCapabilities(int& count, int& size) override {
    count = size = 0;
    if (HRESULT hr = FaultCheck("GetNumberOfCapabilities"); Failed(hr)) return hr;
    count = static_cast<int>(cam_.spec_.capabilities.size());
    size = cam_.spec_.capsStructSize;
    return S_OK;
  }

  HRESULT GetStreamCaps(int index, std::unique_ptr<MediaType>& type, platform::StreamCaps& caps) override {
    type.reset();
    if (HRESULT hr = FaultCheck("GetStreamCaps"); Failed(hr)) return hr;
    const auto& list = cam_.spec_.capabilities;
    if (index < 0 || static_cast<size_t>(index) >= list.size()) return E_INVALIDARG;
    type = std::make_unique<MediaType>(list[index].type);
    // A structure shorter than the capability record carries nothing readable.
    if (cam_.spec_.capsStructSize >= platform::kStreamConfigCapsSize) caps = list[index].caps;
    return S_OK;
  }

  HRESULT SetFormat(const MediaType& type) override {
    if (HRESULT hr = FaultCheck("SetFormat"); Failed(hr)) return hr;
    const auto& list = cam_.spec_.capabilities;
    const bool known = std::any_of(list.begin(), list.end(), [&](const VirtualCapability& c) {
      return c.type.subtype == type.subtype && SameSize(c.type, type);
    });
    if (!known) return kInvalidMediaType;
    std::lock_guard lock(cam_.mutex_);
    if (cam_.running_) return kNotStopped;
    cam_.format_ = type;
    return S_OK;
  }

  HRESULT GetFormat(std::unique_ptr<MediaType>& type) override {
    type.reset();
    if (HRESULT hr = FaultCheck("GetFormat"); Failed(hr)) return hr;
    std::lock_guard lock(cam_.mutex_);
    if (cam_.format_)
      type = std::make_unique<MediaType>(*cam_.format_);
    else if (!cam_.spec_.capabilities.empty())
      type = std::make_unique<MediaType>(cam_.spec_.capabilities.front().type);
    else
      return E_FAIL;
    return S_OK;
  }

 private:
  VirtualCamera& cam_;
};

// --- property pages -------------------------------------------------------

class VirtualCamera::Pages final : public platform::PropertyPages {
 public:
  explicit Pages(PagesShownSink sink) : sink_(std::move(sink)) {}
  HRESULT GetPages(int& count) override {
    count = 0;
    if (HRESULT hr = FaultCheck("GetPages"); Failed(hr)) return hr;
    count = 1;
    return S_OK;
  }
  // Nothing to draw: "showing" is recording, and the user closes at once.
  HRESULT Show(void*, int, int, const char* caption) override {
    if (sink_) sink_(caption ? caption : "");
    return S_OK;
  }

 private:
  PagesShownSink sink_;
};

// --- the filter -----------------------------------------------------------

VirtualCamera::VirtualCamera(CameraSpec spec, std::shared_ptr<ConnectFault> fault, PagesShownSink pagesShown)
    : spec_(std::move(spec)),
      fault_(fault ? std::move(fault) : std::make_shared<ConnectFault>()),
      pin_(std::make_unique<CapturePin>(*this)),
      config_(std::make_unique<Config>(*this)) {
  if (spec_.hasPropertyPages) pages_ = std::make_unique<Pages>(pagesShown);
  if (spec_.hasCrossbar && spec_.crossbarHasPropertyPages) crossbar_ = std::make_shared<Pages>(pagesShown);
}

VirtualCamera::~VirtualCamera() {
  Stop();
  // Released from inside its own streaming thread's delivery: that thread
  // owns what it still uses and ends on its own.
  if (lingering_) lingering_->thread.detach();
}

std::vector<Pin*> VirtualCamera::Pins() { return {pin_.get()}; }
platform::StreamConfig* VirtualCamera::GetStreamConfig() { return spec_.hasStreamConfig ? config_.get() : nullptr; }
platform::PropertyPages* VirtualCamera::GetPropertyPages() { return pages_.get(); }
// A crossbar without property pages looks, to its users, like no crossbar.
std::shared_ptr<platform::PropertyPages> VirtualCamera::FindCrossbar() { return crossbar_; }

HRESULT VirtualCamera::Run() {
  EndLingeringThread();
  std::lock_guard lock(mutex_);
  if (running_) return S_OK;
  running_ = true;
  runStartNs_ = NowNs();
  pattern_ = peer_ ? std::make_shared<TestPattern>(connection_) : nullptr;
  if (spec_.realTime && peer_) {
    const int64_t frameTime = connection_.avgTimePerFrame > 0 ? connection_.avgTimePerFrame : kDefaultFrameTime;
    streamer_ = std::make_shared<Streamer>();
    streamer_->thread = std::thread(&Streamer::Loop, streamer_, peer_, pattern_, frameTime);
  }
  return S_OK;
}

HRESULT VirtualCamera::Stop() {
  std::unique_lock lock(mutex_);
  running_ = false;  // no delivery opens from here on
  std::shared_ptr<Streamer> streamer = std::move(streamer_);
  lock.unlock();
  if (streamer) {
    {
      std::lock_guard slock(streamer->mutex);
      streamer->stop = true;
    }
    streamer->wake.notify_all();
    if (streamer->thread.get_id() == std::this_thread::get_id()) {
      // Stopped from inside its own delivery: it ends when that returns, and
      // the next Stop or Run from another thread joins it.
      lock.lock();
      lingering_ = std::move(streamer);
      lock.unlock();
    } else {
      streamer->thread.join();
    }
  }
  EndLingeringThread();
  lock.lock();
  WaitDeliveriesIdle(lock);
  pattern_.reset();
  return S_OK;
}

void VirtualCamera::EndLingeringThread() {
  std::shared_ptr<Streamer> lingering;
  {
    std::lock_guard lock(mutex_);
    if (!lingering_ || lingering_->thread.get_id() == std::this_thread::get_id()) return;
    lingering = std::move(lingering_);
  }
  lingering->thread.join();
}

HRESULT VirtualCamera::OpenDelivery(Delivery& d) {
  std::lock_guard lock(mutex_);
  if (!running_ || !peer_ || !pattern_) return E_UNEXPECTED;
  ++inFlight_;
  t_openDeliveries.push_back(this);
  d.owner = this;
  d.peer = peer_;
  d.pattern = pattern_;
  d.sampleTime = (NowNs() - runStartNs_) / 100;
  return S_OK;
}

void VirtualCamera::CloseDelivery() {
  {
    std::lock_guard lock(mutex_);
    --inFlight_;
    auto it = std::find(t_openDeliveries.rbegin(), t_openDeliveries.rend(), this);
    if (it != t_openDeliveries.rend()) t_openDeliveries.erase(std::next(it).base());
  }
  idle_.notify_all();
}

void VirtualCamera::WaitDeliveriesIdle(std::unique_lock<std::mutex>& lock) {
  const auto own = std::count(t_openDeliveries.begin(), t_openDeliveries.end(), this);
  idle_.wait(lock, [&] { return inFlight_ <= own; });
}

HRESULT VirtualCamera::DeliverBuffer(const uint8_t* data, size_t length) {
  if (!data && length > 0) return E_POINTER;
  Delivery d;
  if (HRESULT hr = OpenDelivery(d); Failed(hr)) return hr;
  return d.peer->Receive(data, length, d.sampleTime);
}

HRESULT VirtualCamera::DeliverFrames(int count) {
  if (count < 0) return E_INVALIDARG;
  std::vector<uint8_t> frame;
  HRESULT result = S_OK;
  for (int i = 0; i < count; ++i) {
    // One delivery per frame, so that a Stop waits for one frame, not all.
    Delivery d;
    if (HRESULT hr = OpenDelivery(d); Failed(hr)) return hr;
    HRESULT hr = d.pattern->Next(frame);
    if (Failed(hr)) return hr;
    if (frame.empty()) continue;  // an encoder holding the picture back
    hr = d.peer->Receive(frame.data(), frame.size(), d.sampleTime);
    if (Failed(hr)) result = hr;
  }
  return result;
}

bool VirtualCamera::IsRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

std::optional<MediaType> VirtualCamera::ConnectedType() const {
  std::lock_guard lock(mutex_);
  if (!peer_) return std::nullopt;
  return connection_;
}

}  // namespace ovix::virt
