// The virtual cameras, driven through their filter and pin interfaces with a
// recording input pin: the capabilities they report, format setting, the
// connect protocol and its faults, buffers on demand and in real time, the
// test pattern in every format, and property pages.
#include <gtest/gtest.h>
#include <turbojpeg.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/capture_filter.h"
#include "platform/fault_points.h"
#include "platform/virtual/control.h"
#include "platform/virtual/virtual_devices.h"

namespace ovix::test {
namespace {

using platform::Filter;
using platform::FormatKind;
using platform::MediaType;
using platform::Pin;
using platform::PinDirection;
using platform::StreamCaps;
using platform::VideoType;
using virt::CameraSpec;
using virt::Capability;
namespace st = platform::subtype;

constexpr char kCam[] = "test:camera";
constexpr auto kPatience = std::chrono::seconds(20);  // only ever waited out on failure

// A filter with one input pin that accepts what `accept` allows (everything
// by default) and records every buffer with the thread that delivered it.
class SinkFilter final : public Filter {
 public:
  struct Buffer {
    std::vector<uint8_t> bytes;
    std::thread::id thread;
    int64_t time;
  };

  std::vector<Pin*> Pins() override { return {&pin_}; }
  Pin& In() { return pin_; }

  std::function<bool(const MediaType&)> accept = [](const MediaType&) { return true; };
  // Runs on the delivering thread after a buffer was recorded.
  std::function<void(size_t count)> onBuffer;

  size_t Count() const {
    std::lock_guard lock(mutex_);
    return buffers_.size();
  }
  std::vector<Buffer> Buffers() const {
    std::lock_guard lock(mutex_);
    return buffers_;
  }
  bool WaitFor(size_t n) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, kPatience, [&] { return buffers_.size() >= n; });
  }
  // Whether a buffer arrives within the time, for checks that none does.
  bool ArrivesWithin(size_t after, std::chrono::milliseconds time) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, time, [&] { return buffers_.size() > after; });
  }
  int InReceive() const { return inReceive_.load(); }
  std::optional<MediaType> type() const {
    std::lock_guard lock(mutex_);
    return type_;
  }

 private:
  class InPin final : public Pin {
   public:
    explicit InPin(SinkFilter& f) : f_(f) {}
    PinDirection Direction() const override { return PinDirection::Input; }
    Filter& Owner() override { return f_; }
    HRESULT EnumMediaTypes(std::vector<MediaType>& out) override {
      out.clear();
      return S_OK;
    }
    HRESULT QueryAccept(const MediaType& mt) override { return f_.accept(mt) ? S_OK : S_FALSE; }
    HRESULT Connect(Pin&, const MediaType*) override { return E_UNEXPECTED; }
    HRESULT ReceiveConnection(Pin& peer, const MediaType& type) override {
      if (!f_.accept(type)) return VFW_E_NO_ACCEPTABLE_TYPES;
      std::lock_guard lock(f_.mutex_);
      f_.peer_ = &peer;
      f_.type_ = type;
      return S_OK;
    }
    HRESULT Disconnect() override {
      std::lock_guard lock(f_.mutex_);
      f_.peer_ = nullptr;
      f_.type_.reset();
      return S_OK;
    }
    Pin* ConnectedTo() override {
      std::lock_guard lock(f_.mutex_);
      return f_.peer_;
    }
    HRESULT ConnectionMediaType(MediaType& out) override {
      std::lock_guard lock(f_.mutex_);
      if (!f_.type_) return VFW_E_NOT_CONNECTED;
      out = *f_.type_;
      return S_OK;
    }
    HRESULT Receive(const uint8_t* data, size_t length, int64_t time) override {
      f_.inReceive_.fetch_add(1);
      size_t count;
      {
        std::lock_guard lock(f_.mutex_);
        f_.buffers_.push_back({std::vector<uint8_t>(data, data + length), std::this_thread::get_id(), time});
        count = f_.buffers_.size();
      }
      f_.arrived_.notify_all();
      if (f_.onBuffer) f_.onBuffer(count);
      f_.inReceive_.fetch_sub(1);
      return S_OK;
    }

   private:
    SinkFilter& f_;
  };

  InPin pin_{*this};
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Buffer> buffers_;
  Pin* peer_ = nullptr;
  std::optional<MediaType> type_;
  std::atomic<int> inReceive_{0};
};

CameraSpec Spec(std::vector<virt::VirtualCapability> caps, const char* id = kCam) {
  CameraSpec s;
  s.id = id;
  s.friendlyName = "Test Camera";
  s.capabilities = std::move(caps);
  return s;
}

// Binds the listed camera with that identity, as the library does.
std::shared_ptr<Filter> Bind(const std::string& id) {
  std::unique_ptr<platform::CaptureDeviceEnumerator> devices;
  if (Failed(virt::VirtualCaptureProvider().EnumerateVideoDevices(devices))) return nullptr;
  std::unique_ptr<platform::CaptureMoniker> m;
  while (devices->Next(m) == S_OK) {
    std::string name;
    m->GetDisplayName(name);
    if (name != id) continue;
    std::shared_ptr<Filter> f;
    return Succeeded(m->BindToFilter(f)) ? f : nullptr;
  }
  return nullptr;
}

Pin& CapturePin(Filter& f) { return *f.Pins().at(0); }

// A bound camera connected to a sink with type.
struct Rig {
  std::shared_ptr<SinkFilter> sink = std::make_shared<SinkFilter>();
  std::shared_ptr<Filter> camera;
  HRESULT connected = E_FAIL;

  explicit Rig(CameraSpec spec, const MediaType* type = nullptr) {
    const std::string id = spec.id;
    virt::AddCamera(std::move(spec));
    camera = Bind(id);
    if (camera) connected = CapturePin(*camera).Connect(sink->In(), type);
  }
  ~Rig() {
    if (camera) camera->Stop();
  }
};

void ExpectSameType(const MediaType& got, const MediaType& want) {
  EXPECT_EQ(got.major, want.major);
  EXPECT_EQ(got.subtype, want.subtype);
  EXPECT_EQ(got.formatType, want.formatType);
  EXPECT_EQ(got.cbFormat, want.cbFormat);
  EXPECT_EQ(got.hasFormatBlock, want.hasFormatBlock);
  EXPECT_EQ(got.width, want.width);
  EXPECT_EQ(got.height, want.height);
  EXPECT_EQ(got.avgTimePerFrame, want.avgTimePerFrame);
}

// ---- capabilities ----------------------------------------------------------

TEST(VirtualCameraCaps, TestPatternReportsItsFormatList) {
  struct Row {
    uint32_t subtype;
    int32_t width, height;
    int fps;
  };
  const Row rows[] = {
      {st::kYUY2, 640, 480, 30},   {st::kYUY2, 640, 480, 15},    {st::kYUY2, 1280, 720, 30},
      {st::kYUY2, 1280, 720, 60},  {st::kYUY2, 1920, 1080, 30},  {st::kNV12, 640, 480, 30},
      {st::kNV12, 1280, 720, 30},  {st::kNV12, 1280, 720, 60},   {st::kNV12, 1920, 1080, 30},
      {st::kRGB24, 640, 480, 30},  {st::kRGB24, 1280, 720, 30},  {st::kRGB24, 1920, 1080, 30},
      {st::kRGB24, 640, -480, 30}, {st::kRGB24, 1280, -720, 30}, {st::kRGB24, 1920, -1080, 30},
      {st::kRGB32, 640, 480, 30},  {st::kRGB32, 1280, 720, 30},  {st::kRGB32, 1920, 1080, 30},
      {st::kMJPG, 640, 480, 30},   {st::kMJPG, 1280, 720, 30},   {st::kMJPG, 1280, 720, 60},
      {st::kMJPG, 1920, 1080, 30}, {st::kH264, 640, 480, 30},    {st::kH264, 1280, 720, 30},
      {st::kH264, 1920, 1080, 30},
  };
  const CameraSpec spec = virt::TestPatternSpec();
  EXPECT_EQ(spec.id, virt::kTestPatternId);
  EXPECT_EQ(spec.friendlyName, virt::kTestPatternName);
  EXPECT_TRUE(spec.realTime);

  // The built-in device is that camera.
  std::shared_ptr<Filter> f = Bind(virt::kTestPatternId);
  ASSERT_TRUE(f);
  platform::StreamConfig* config = f->GetStreamConfig();
  ASSERT_TRUE(config);
  int count = 0, size = 0;
  ASSERT_EQ(config->GetNumberOfCapabilities(count, size), S_OK);
  ASSERT_EQ(count, static_cast<int>(std::size(rows)));
  EXPECT_EQ(size, platform::kStreamConfigCapsSize);
  for (int i = 0; i < count; ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE(testing::Message() << "capability " << i << ": " << r.width << "x" << r.height << "@" << r.fps);
    std::unique_ptr<MediaType> type;
    StreamCaps caps;
    ASSERT_EQ(config->GetStreamCaps(i, type, caps), S_OK);
    ASSERT_TRUE(type);
    MediaType want = VideoType(r.subtype, r.width, r.height, 10'000'000 / r.fps);
    if (r.subtype == st::kH264) want.formatType = FormatKind::VideoInfo2, want.cbFormat = platform::kVideoInfo2Size;
    ExpectSameType(*type, want);
    EXPECT_EQ(caps.minFrameInterval, 10'000'000 / r.fps);
    EXPECT_EQ(caps.maxFrameInterval, 10'000'000 / r.fps);
    ExpectSameType(spec.capabilities.at(i).type, want);
  }
}

TEST(VirtualCameraCaps, DefinedCapabilitiesAreReportedExactly) {
  auto mpeg2 = Capability(st::kavc1, 1280, 720, 25);
  mpeg2.type.formatType = FormatKind::Mpeg2Video;
  mpeg2.type.cbFormat = 144;
  auto shortBlock = Capability(st::kYUY2, 320, 240, 30);
  shortBlock.type.cbFormat = 40;
  auto noBlock = Capability(st::kNV12, 320, 240, 30);
  noBlock.type.hasFormatBlock = false;
  CameraSpec spec = Spec({Capability(st::kI420, 640, -480, 0), mpeg2, shortBlock, noBlock});
  spec.capsStructSize = 64;  // too short to carry intervals
  virt::AddCamera(spec);
  std::shared_ptr<Filter> f = Bind(kCam);
  ASSERT_TRUE(f);
  platform::StreamConfig* config = f->GetStreamConfig();
  int count = 0, size = 0;
  ASSERT_EQ(config->GetNumberOfCapabilities(count, size), S_OK);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(size, 64);
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    std::unique_ptr<MediaType> type;
    StreamCaps caps{-7, -7};
    ASSERT_EQ(config->GetStreamCaps(i, type, caps), S_OK);
    ExpectSameType(*type, spec.capabilities[i].type);
    EXPECT_EQ(caps.minFrameInterval, -7) << "a short structure is left as it was";
  }
  for (int bad : {-1, 4}) {
    std::unique_ptr<MediaType> type = std::make_unique<MediaType>();
    StreamCaps caps;
    EXPECT_EQ(config->GetStreamCaps(bad, type, caps), E_INVALIDARG);
    EXPECT_FALSE(type);
  }

  // The helper: a frame time of 10^7 / fps and both intervals at it.
  const auto c25 = Capability(st::kYUY2, 640, 480, 25);
  EXPECT_EQ(c25.type.avgTimePerFrame, 400'000);
  EXPECT_EQ(c25.caps.minFrameInterval, 400'000);
  EXPECT_EQ(c25.caps.maxFrameInterval, 400'000);
  EXPECT_EQ(c25.type.formatType, FormatKind::VideoInfo);
  EXPECT_EQ(c25.type.cbFormat, platform::kVideoInfoSize);
  const auto c0 = Capability(st::kYUY2, 640, 480, 0);
  EXPECT_EQ(c0.type.avgTimePerFrame, 0);
  EXPECT_EQ(c0.caps.minFrameInterval, 0);
  EXPECT_EQ(c0.caps.maxFrameInterval, 0);

  // No capabilities given: the test pattern's list.
  virt::AddCamera(Spec({}, "test:default-list"));
  std::shared_ptr<Filter> g = Bind("test:default-list");
  ASSERT_TRUE(g);
  ASSERT_EQ(g->GetStreamConfig()->GetNumberOfCapabilities(count, size), S_OK);
  EXPECT_EQ(count, static_cast<int>(virt::TestPatternSpec().capabilities.size()));
}

TEST(VirtualCameraCaps, ArmedCallsFailOnceWithTheirResult) {
  CameraSpec spec = Spec({Capability(st::kYUY2, 640, 480, 30)});
  spec.hasPropertyPages = true;
  virt::AddCamera(spec);
  std::shared_ptr<Filter> f = Bind(kCam);
  ASSERT_TRUE(f);
  platform::StreamConfig& config = *f->GetStreamConfig();
  const struct {
    const char* call;
    std::function<HRESULT()> use;
  } cases[] = {
      {"GetNumberOfCapabilities",
       [&] {
         int c, s;
         return config.GetNumberOfCapabilities(c, s);
       }},
      {"GetStreamCaps",
       [&] {
         std::unique_ptr<MediaType> t;
         StreamCaps c;
         return config.GetStreamCaps(0, t, c);
       }},
      {"SetFormat", [&] { return config.SetFormat(VideoType(st::kYUY2, 640, 480)); }},
      {"GetFormat",
       [&] {
         std::unique_ptr<MediaType> t;
         return config.GetFormat(t);
       }},
      {"EnumMediaTypes",
       [&] {
         std::vector<MediaType> v;
         return CapturePin(*f).EnumMediaTypes(v);
       }},
      {"GetPages",
       [&] {
         int n;
         return f->GetPropertyPages()->GetPages(n);
       }},
      {"BindToFilter", [&] { return Bind(kCam) ? S_OK : E_FAIL; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    virt::FailCall(c.call, E_ACCESSDENIED);
    const HRESULT armed = c.use();
    if (std::string(c.call) == "BindToFilter")
      EXPECT_EQ(armed, E_FAIL);
    else
      EXPECT_EQ(armed, E_ACCESSDENIED);
    EXPECT_EQ(c.use(), S_OK) << "only the armed use fails";
  }
}

// ---- format ------------------------------------------------------------------

TEST(VirtualCameraFormat, SetFormatKeepsTheTypeOfADeviceFormat) {
  virt::AddCamera(Spec({Capability(st::kYUY2, 640, 480, 30), Capability(st::kRGB24, 1280, 720, 30)}));
  std::shared_ptr<Filter> f = Bind(kCam);
  ASSERT_TRUE(f);
  platform::StreamConfig& config = *f->GetStreamConfig();
  std::unique_ptr<MediaType> current;
  ASSERT_EQ(config.GetFormat(current), S_OK);
  ExpectSameType(*current, Capability(st::kYUY2, 640, 480, 30).type);  // none set: the first

  // Top-down asked of a bottom-up format, at another rate: kept as asked.
  const MediaType asked = VideoType(st::kRGB24, 1280, -720, 666'666);
  ASSERT_EQ(config.SetFormat(asked), S_OK);
  ASSERT_EQ(config.GetFormat(current), S_OK);
  ExpectSameType(*current, asked);

  for (const MediaType& refused : {VideoType(st::kNV12, 1280, 720), VideoType(st::kRGB24, 1280, 480),
                                   VideoType(st::kRGB24, 640, 720), MediaType{}}) {
    SCOPED_TRACE(testing::Message() << refused.width << "x" << refused.height);
    EXPECT_TRUE(Failed(config.SetFormat(refused)));
    ASSERT_EQ(config.GetFormat(current), S_OK);
    ExpectSameType(*current, asked);
  }

  CameraSpec bare = Spec({Capability(st::kYUY2, 640, 480, 30)}, "test:bare");
  bare.hasStreamConfig = false;
  virt::AddCamera(bare);
  std::shared_ptr<Filter> b = Bind("test:bare");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->GetStreamConfig(), nullptr);
  EXPECT_TRUE(CapturePin(*b).IsCaptureCategory());
  EXPECT_EQ(CapturePin(*b).Direction(), PinDirection::Output);
  EXPECT_EQ(&CapturePin(*b).Owner(), b.get());
}

// ---- connect -----------------------------------------------------------------

TEST(VirtualCameraConnect, TypedConnectNeedsOneOfTheDeviceFormats) {
  const auto yuy2 = Capability(st::kYUY2, 640, 480, 30);
  MediaType subtypeOnly;
  subtypeOnly.major = platform::MajorType::Video;
  subtypeOnly.subtype = st::kYUY2;
  const struct {
    const char* what;
    bool refuseTyped;
    MediaType type;
    HRESULT result;
    MediaType connected;
  } cases[] = {
      {"a device format", false, VideoType(st::kYUY2, 640, 480, 666'666), S_OK,
       VideoType(st::kYUY2, 640, 480, 666'666)},
      {"only its subtype", false, subtypeOnly, S_OK, yuy2.type},
      {"another size", false, VideoType(st::kYUY2, 320, 240), VFW_E_NO_ACCEPTABLE_TYPES, {}},
      {"another subtype", false, VideoType(st::kNV12, 640, 480), VFW_E_NO_ACCEPTABLE_TYPES, {}},
      {"a refusing device", true, yuy2.type, VFW_E_NO_ACCEPTABLE_TYPES, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    virt::Reset();
    CameraSpec spec = Spec({yuy2});
    spec.refuseTypedConnect = c.refuseTyped;
    Rig rig(spec, &c.type);
    EXPECT_EQ(rig.connected, c.result);
    Pin& pin = CapturePin(*rig.camera);
    MediaType mt;
    if (Succeeded(c.result)) {
      EXPECT_EQ(pin.ConnectedTo(), &rig.sink->In());
      ASSERT_EQ(pin.ConnectionMediaType(mt), S_OK);
      ExpectSameType(mt, c.connected);
      ExpectSameType(*rig.sink->type(), c.connected);
      ASSERT_TRUE(virt::ConnectedType(kCam));
      ExpectSameType(*virt::ConnectedType(kCam), c.connected);
    } else {
      EXPECT_EQ(pin.ConnectedTo(), nullptr);
      EXPECT_EQ(pin.ConnectionMediaType(mt), VFW_E_NOT_CONNECTED);
      EXPECT_FALSE(virt::ConnectedType(kCam));
      // Without a type the pin picks its own, even on a refusing device.
      EXPECT_EQ(pin.Connect(rig.sink->In(), nullptr), S_OK);
    }
  }
}

TEST(VirtualCameraConnect, UntypedConnectOffersTheSetFormatElseThePreferredTypes) {
  const auto a = Capability(st::kYUY2, 640, 480, 30), b = Capability(st::kNV12, 640, 480, 30),
             c = Capability(st::kRGB32, 640, 480, 30);
  CameraSpec spec = Spec({a, b, c});
  spec.preferredTypes = {c.type, b.type, a.type};
  Rig rig(spec, nullptr);
  ASSERT_EQ(rig.connected, S_OK);
  ExpectSameType(*rig.sink->type(), c.type);  // the first preferred type the sink takes

  Pin& pin = CapturePin(*rig.camera);
  std::vector<MediaType> offered;
  ASSERT_EQ(pin.EnumMediaTypes(offered), S_OK);
  ASSERT_EQ(offered.size(), 3u);
  for (size_t i = 0; i < offered.size(); ++i) ExpectSameType(offered[i], spec.preferredTypes[i]);

  EXPECT_TRUE(Failed(pin.Connect(rig.sink->In(), nullptr))) << "already connected";
  EXPECT_EQ(pin.Disconnect(), S_OK);
  EXPECT_EQ(pin.Disconnect(), S_FALSE);
  EXPECT_EQ(pin.ConnectedTo(), nullptr);
  rig.sink->In().Disconnect();

  // Preferred types the sink refuses are passed over, in order.
  rig.sink->accept = [](const MediaType& t) { return t.subtype != st::kRGB32; };
  ASSERT_EQ(pin.Connect(rig.sink->In(), nullptr), S_OK);
  ExpectSameType(*rig.sink->type(), b.type);
  pin.Disconnect();
  rig.sink->In().Disconnect();

  // After SetFormat only that format is offered.
  ASSERT_EQ(rig.camera->GetStreamConfig()->SetFormat(a.type), S_OK);
  rig.sink->accept = [](const MediaType& t) { return t.subtype == st::kNV12; };
  EXPECT_EQ(pin.Connect(rig.sink->In(), nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
  rig.sink->accept = [](const MediaType&) { return true; };
  ASSERT_EQ(pin.Connect(rig.sink->In(), nullptr), S_OK);
  ExpectSameType(*rig.sink->type(), a.type);
  pin.Disconnect();

  // Without preferred types the capabilities are the preferred types.
  virt::AddCamera(Spec({a, b}, "test:plain"));
  std::shared_ptr<Filter> plain = Bind("test:plain");
  ASSERT_EQ(CapturePin(*plain).EnumMediaTypes(offered), S_OK);
  ASSERT_EQ(offered.size(), 2u);
  ExpectSameType(offered[0], a.type);
  ExpectSameType(offered[1], b.type);
}

TEST(VirtualCameraConnect, RaisedFaultHitsTheNthExplicitConnectOfTheCamera) {
  const auto yuy2 = Capability(st::kYUY2, 640, 480, 30);
  virt::AddCamera(Spec({yuy2}));
  SinkFilter sink;
  std::shared_ptr<Filter> first = Bind(kCam), second = Bind(kCam);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second) << "a filter per bind";

  // Counted over every filter of the camera, typed or not.
  virt::RaiseFaultInConnect(kCam, 0xC0000005u, 3);
  EXPECT_EQ(CapturePin(*first).Connect(sink.In(), &yuy2.type), S_OK);
  CapturePin(*first).Disconnect();
  EXPECT_EQ(CapturePin(*second).Connect(sink.In(), nullptr), S_OK);
  CapturePin(*second).Disconnect();
  try {
    CapturePin(*first).Connect(sink.In(), &yuy2.type);
    ADD_FAILURE() << "the third connect returned";
  } catch (const platform::DeviceFault& fault) {
    EXPECT_EQ(fault.code, 0xC0000005u);
  }
  EXPECT_EQ(CapturePin(*first).ConnectedTo(), nullptr) << "the fault came before any change";
  EXPECT_EQ(CapturePin(*first).Connect(sink.In(), &yuy2.type), S_OK) << "raised once";
  CapturePin(*first).Disconnect();

  // A fault meant for intelligent connects spares explicit ones.
  virt::RaiseFaultInConnect(kCam, 0xC0000005u, 1, true);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(CapturePin(*first).Connect(sink.In(), &yuy2.type), S_OK);
    CapturePin(*first).Disconnect();
  }

  // Reset disarms it.
  virt::RaiseFaultInConnect(kCam, 0xC0000005u, 1);
  virt::Reset();
  EXPECT_EQ(CapturePin(*first).Connect(sink.In(), &yuy2.type), S_OK);
}

// ---- delivery ----------------------------------------------------------------

TEST(VirtualCameraDelivery, DeliverBufferPassesExactlyTheBytesOnTheCallingThread) {
  const std::vector<uint8_t> bytes = {0, 1, 2, 3, 250, 251, 252, 7, 8, 9, 10};
  EXPECT_EQ(virt::DeliverBuffer(kCam, bytes.data(), bytes.size()), E_UNEXPECTED) << "not bound";

  Rig rig(Spec({Capability(st::kYUY2, 640, 480, 30)}));
  ASSERT_EQ(rig.connected, S_OK);
  EXPECT_FALSE(virt::IsStreaming(kCam));
  EXPECT_EQ(virt::DeliverBuffer(kCam, bytes.data(), bytes.size()), E_UNEXPECTED) << "not running";

  ASSERT_EQ(rig.camera->Run(), S_OK);
  EXPECT_TRUE(virt::IsStreaming(kCam));
  EXPECT_EQ(virt::DeliverBuffer(kCam, bytes.data(), bytes.size()), S_OK);
  std::thread::id other;
  std::thread([&] {
    other = std::this_thread::get_id();
    EXPECT_EQ(virt::DeliverBuffer(kCam, bytes.data(), 4), S_OK);
  }).join();

  const auto got = rig.sink->Buffers();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].bytes, bytes);
  EXPECT_EQ(got[0].thread, std::this_thread::get_id());
  EXPECT_EQ(got[1].bytes, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4));
  EXPECT_EQ(got[1].thread, other);
  EXPECT_EQ(rig.sink->Count(), 2u) << "a camera that is not real-time adds nothing of its own";

  ASSERT_EQ(rig.camera->Stop(), S_OK);
  EXPECT_FALSE(virt::IsStreaming(kCam));
  EXPECT_EQ(virt::DeliverBuffer(kCam, bytes.data(), bytes.size()), E_UNEXPECTED);
  EXPECT_EQ(virt::DeliverFrames(kCam, 1), E_UNEXPECTED);

  // Running but not connected: nowhere to deliver.
  virt::AddCamera(Spec({Capability(st::kYUY2, 640, 480, 30)}, "test:unconnected"));
  std::shared_ptr<Filter> lone = Bind("test:unconnected");
  ASSERT_EQ(lone->Run(), S_OK);
  EXPECT_TRUE(virt::IsStreaming("test:unconnected"));
  EXPECT_EQ(virt::DeliverBuffer("test:unconnected", bytes.data(), bytes.size()), E_UNEXPECTED);
  lone->Stop();
}

TEST(VirtualCameraDelivery, DeliverFramesGivesWholeMovingFramesInEveryFormat) {
  const struct {
    uint32_t subtype;
    int32_t width, height;
    size_t bytes;  // 0: compressed, any length
    bool moves = true;
  } cases[] = {
      {st::kYUY2, 640, 480, 614'400},
      {st::kNV12, 1920, 1080, 3'110'400},
      {st::kNV12, 640, 481, 462'080},
      {st::kRGB24, 640, 480, 921'600},
      {st::kRGB24, 640, -480, 921'600},
      {st::kRGB32, 1280, 720, 3'686'400},
      {st::kI420, 320, 240, 115'200},
      {st::kYUY2, 34, 6, 408},
      {st::kMJPG, 640, 480, 0},
      {st::kH264, 320, 240, 0},
      // Too small to show anything, still whole frames.
      {st::kRGB32, 1, 1, 4, false},
      {st::kNV12, 3, 3, 15, false},
      {st::kMJPG, 3, 1, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.subtype << std::dec << " " << c.width << "x" << c.height);
    virt::Reset();
    Rig rig(Spec({Capability(c.subtype, c.width, c.height, 30)}));
    ASSERT_EQ(rig.connected, S_OK);
    ASSERT_EQ(rig.camera->Run(), S_OK);
    ASSERT_EQ(virt::DeliverFrames(kCam, 2), S_OK);
    const auto got = rig.sink->Buffers();
    ASSERT_EQ(got.size(), 2u);
    for (const auto& b : got) {
      if (c.bytes)
        EXPECT_EQ(b.bytes.size(), c.bytes);
      else
        EXPECT_GT(b.bytes.size(), 0u);
      EXPECT_EQ(b.thread, std::this_thread::get_id());
    }
    if (c.moves) {
      EXPECT_NE(got[0].bytes, got[1].bytes) << "the picture moves";
    }
  }
}

// ---- the picture -------------------------------------------------------------

std::vector<uint8_t> FirstFrame(const MediaType& type, const char* id) {
  CameraSpec spec = Spec({Capability(type.subtype, type.width, type.height, 30)}, id);
  virt::AddCamera(spec);
  SinkFilter sink;
  std::shared_ptr<Filter> f = Bind(id);
  if (!f || Failed(CapturePin(*f).Connect(sink.In(), &type)) || Failed(f->Run())) return {};
  virt::DeliverFrames(id, 1);
  f->Stop();
  return sink.Count() ? sink.Buffers()[0].bytes : std::vector<uint8_t>{};
}

TEST(VirtualCameraPattern, BottomUpRgbIsTheTopDownPictureRowReversed) {
  constexpr int w = 640, h = 480, stride = w * 3;
  const auto up = FirstFrame(VideoType(st::kRGB24, w, h), "test:bottom-up");
  const auto down = FirstFrame(VideoType(st::kRGB24, w, -h), "test:top-down");
  ASSERT_EQ(up.size(), size_t{stride} * h);
  ASSERT_EQ(down.size(), up.size());
  EXPECT_NE(std::vector<uint8_t>(down.begin(), down.begin() + stride),
            std::vector<uint8_t>(down.end() - stride, down.end()))
      << "top and bottom differ, so a reversal shows";
  for (int y = 0; y < h; ++y) {
    ASSERT_TRUE(
        std::equal(down.begin() + y * stride, down.begin() + (y + 1) * stride, up.begin() + (h - 1 - y) * stride))
        << "row " << y;
  }
  // The top-left corner is the first (75% white) bar, in B, G, R order.
  EXPECT_EQ(std::vector<uint8_t>(down.begin(), down.begin() + 3), (std::vector<uint8_t>{191, 191, 191}));
  // The second bar (yellow: no blue) begins a seventh of the way across.
  const int x = w / 7 + 1;
  EXPECT_EQ(std::vector<uint8_t>(down.begin() + 3 * x, down.begin() + 3 * x + 3), (std::vector<uint8_t>{0, 191, 191}));
}

TEST(VirtualCameraPattern, MjpgFramesDecodeToTheConnectedSize) {
  for (const auto& [w, h] : {std::pair{640, 480}, std::pair{1280, 720}}) {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    const auto jpeg = FirstFrame(VideoType(st::kMJPG, w, h), w == 640 ? "test:mjpg-vga" : "test:mjpg-hd");
    ASSERT_GT(jpeg.size(), 2u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    tjhandle tj = tjInitDecompress();
    ASSERT_TRUE(tj);
    int jw = 0, jh = 0, sub = 0, cs = 0;
    ASSERT_EQ(tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &jw, &jh, &sub, &cs), 0) << tjGetErrorStr2(tj);
    EXPECT_EQ(jw, w);
    EXPECT_EQ(jh, h);
    std::vector<uint8_t> rgb(size_t{3} * w * h);
    ASSERT_EQ(tjDecompress2(tj, jpeg.data(), jpeg.size(), rgb.data(), w, 0, h, TJPF_RGB, 0), 0);
    tjDestroy(tj);
    // Deep inside the first bar the decoded colour is its 75% white.
    const size_t at = 3 * (static_cast<size_t>(w) * (h / 2) + w / 20);
    for (int ch = 0; ch < 3; ++ch) EXPECT_NEAR(rgb[at + ch], 191, 6);
  }
}

// The NAL unit types of an Annex B stream, in order.
std::vector<int> NalTypes(const std::vector<uint8_t>& s) {
  std::vector<int> types;
  for (size_t i = 0; i + 3 < s.size(); ++i) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      types.push_back(s[i + 3] & 0x1F);
      i += 2;
    }
  }
  return types;
}

TEST(VirtualCameraPattern, H264FramesCarryParameterSetsBeforeEveryIdr) {
  constexpr int w = 640, h = 480;
  Rig rig(Spec({Capability(st::kH264, w, h, 30)}));
  ASSERT_EQ(rig.connected, S_OK);
  ASSERT_EQ(rig.camera->Run(), S_OK);
  ASSERT_EQ(virt::DeliverFrames(kCam, 31), S_OK);
  const auto got = rig.sink->Buffers();
  ASSERT_EQ(got.size(), 31u) << "one access unit per frame";

  const auto& first = got[0].bytes;
  ASSERT_GE(first.size(), 4u);
  EXPECT_TRUE((first[0] == 0 && first[1] == 0 && first[2] == 0 && first[3] == 1) ||
              (first[0] == 0 && first[1] == 0 && first[2] == 1));
  for (size_t idr : {size_t{0}, size_t{30}}) {  // an IDR every second
    SCOPED_TRACE(idr);
    const auto types = NalTypes(got[idr].bytes);
    const auto sps = std::find(types.begin(), types.end(), 7), pps = std::find(types.begin(), types.end(), 8),
               pic = std::find(types.begin(), types.end(), 5);
    ASSERT_NE(pic, types.end());
    EXPECT_LT(sps, pps);
    EXPECT_LT(pps, pic);
  }
  for (size_t i = 1; i < 30; ++i) {
    const auto types = NalTypes(got[i].bytes);
    EXPECT_EQ(std::count(types.begin(), types.end(), 5), 0) << "frame " << i;
  }

  // The first buffer decodes on its own to a picture of the connected size.
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  ASSERT_TRUE(codec);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ASSERT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  pkt->data = const_cast<uint8_t*>(first.data());
  pkt->size = static_cast<int>(first.size());
  EXPECT_EQ(avcodec_send_packet(ctx, pkt), 0);
  avcodec_send_packet(ctx, nullptr);  // drain: no reordering to wait for
  EXPECT_EQ(avcodec_receive_frame(ctx, frame), 0);
  EXPECT_EQ(frame->width, w);
  EXPECT_EQ(frame->height, h);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
}

// ---- real time and stopping --------------------------------------------------

TEST(VirtualCameraStreaming, RealTimeCameraStreamsUntilStopHasJoinedItsThread) {
  CameraSpec spec = Spec({Capability(st::kYUY2, 160, 120, 60)});
  spec.realTime = true;
  Rig rig(spec);
  ASSERT_EQ(rig.connected, S_OK);
  // A slow consumer, so that Stop is likely to meet a delivery in progress.
  rig.sink->onBuffer = [](size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(3)); };

  for (int round = 0; round < 2; ++round) {  // and again after a stop
    SCOPED_TRACE(round);
    const size_t before = rig.sink->Count();
    ASSERT_EQ(rig.camera->Run(), S_OK);
    ASSERT_TRUE(rig.sink->WaitFor(before + 4));
    ASSERT_EQ(rig.camera->Stop(), S_OK);
    EXPECT_EQ(rig.sink->InReceive(), 0) << "Stop returned during a delivery";
    const size_t after = rig.sink->Count();
    EXPECT_FALSE(rig.sink->ArrivesWithin(after, std::chrono::milliseconds(100))) << "a frame after Stop";

    const auto got = rig.sink->Buffers();
    for (size_t i = before; i < got.size(); ++i) {
      EXPECT_EQ(got[i].bytes.size(), 160u * 120 * 2);
      EXPECT_NE(got[i].thread, std::this_thread::get_id());
      if (i > before) {
        EXPECT_GT(got[i].time, got[i - 1].time);
      }
    }
  }
}

TEST(VirtualCameraStreaming, DeliveriesRacingStopNeverReachAStoppedPeer) {
  Rig rig(Spec({Capability(st::kYUY2, 64, 48, 30)}));
  ASSERT_EQ(rig.connected, S_OK);
  ASSERT_EQ(rig.camera->Run(), S_OK);
  std::atomic<size_t> delivered{0};
  std::thread pusher([&] {
    const std::vector<uint8_t> bytes(64 * 48 * 2, 0x5A);
    while (virt::DeliverBuffer(kCam, bytes.data(), bytes.size()) == S_OK) delivered.fetch_add(1);
  });
  std::thread framer([&] {
    while (virt::DeliverFrames(kCam, 1) == S_OK) delivered.fetch_add(1);
  });
  ASSERT_TRUE(rig.sink->WaitFor(50));
  ASSERT_EQ(rig.camera->Stop(), S_OK);
  const size_t atStop = rig.sink->Count();
  EXPECT_EQ(rig.sink->InReceive(), 0);
  pusher.join();
  framer.join();
  EXPECT_EQ(rig.sink->Count(), atStop) << "a delivery after Stop returned";
  EXPECT_EQ(delivered.load(), atStop);
}

TEST(VirtualCameraStreaming, ConsumerMayStopTheCameraFromInsideADelivery) {
  for (bool realTime : {false, true}) {
    SCOPED_TRACE(realTime ? "streaming thread" : "delivering thread");
    virt::Reset();
    CameraSpec spec = Spec({Capability(st::kYUY2, 64, 48, 60)});
    spec.realTime = realTime;
    Rig rig(spec);
    ASSERT_EQ(rig.connected, S_OK);
    std::mutex m;
    std::condition_variable cv;
    bool stopped = false;
    Filter* camera = rig.camera.get();
    rig.sink->onBuffer = [&](size_t n) {
      if (n != 2) return;
      EXPECT_EQ(camera->Stop(), S_OK);
      std::lock_guard lock(m);
      stopped = true;
      cv.notify_all();
    };
    ASSERT_EQ(rig.camera->Run(), S_OK);
    if (!realTime) {
      EXPECT_EQ(virt::DeliverFrames(kCam, 3), E_UNEXPECTED) << "stopped after the second";
    }
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, kPatience, [&] { return stopped; }));
    lock.unlock();
    EXPECT_FALSE(virt::IsStreaming(kCam));
    // From another thread Stop joins what the stop from inside left behind.
    EXPECT_EQ(rig.camera->Stop(), S_OK);
    EXPECT_EQ(rig.sink->InReceive(), 0);
    const size_t after = rig.sink->Count();
    EXPECT_EQ(after, 2u);
    EXPECT_EQ(virt::DeliverFrames(kCam, 1), E_UNEXPECTED);
  }
}

// ---- property pages and control --------------------------------------------

TEST(VirtualCameraPages, ShowingPagesCountsThemAndKeepsTheCaption) {
  const struct {
    bool pages, crossbar, crossbarPages;
  } cases[] = {{true, true, true}, {true, true, false}, {false, false, true}, {false, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pages << c.crossbar << c.crossbarPages);
    virt::Reset();
    CameraSpec spec = Spec({Capability(st::kYUY2, 640, 480, 30)});
    spec.hasPropertyPages = c.pages;
    spec.hasCrossbar = c.crossbar;
    spec.crossbarHasPropertyPages = c.crossbarPages;
    virt::AddCamera(spec);
    std::shared_ptr<Filter> f = Bind(kCam);
    ASSERT_TRUE(f);
    int shown = 0;
    if (platform::PropertyPages* pages = f->GetPropertyPages()) {
      int count = 0;
      EXPECT_EQ(pages->GetPages(count), S_OK);
      EXPECT_EQ(count, 1);
      EXPECT_EQ(pages->Show(nullptr, 30, 30, "OVIX Video Device"), S_OK);
      EXPECT_EQ(virt::PropertyPagesShown(), ++shown);
      EXPECT_EQ(virt::LastPropertyPageCaption(), "OVIX Video Device");
    } else {
      EXPECT_FALSE(c.pages);
    }
    if (std::shared_ptr<platform::PropertyPages> crossbar = f->FindCrossbar()) {
      EXPECT_TRUE(c.crossbar && c.crossbarPages);
      EXPECT_EQ(crossbar->Show(nullptr, 30, 30, "OVIX Crossbar"), S_OK);
      EXPECT_EQ(virt::PropertyPagesShown(), ++shown);
      EXPECT_EQ(virt::LastPropertyPageCaption(), "OVIX Crossbar");
    } else {
      EXPECT_FALSE(c.crossbar && c.crossbarPages);
    }
  }
  virt::Reset();
  EXPECT_EQ(virt::PropertyPagesShown(), 0);
  EXPECT_EQ(virt::LastPropertyPageCaption(), "");
}

TEST(VirtualCameraControl, ResetStopsAndForgetsBoundCameras) {
  CameraSpec spec = Spec({Capability(st::kYUY2, 64, 48, 30)});
  spec.realTime = true;
  Rig rig(spec);
  ASSERT_EQ(rig.connected, S_OK);
  ASSERT_EQ(rig.camera->Run(), S_OK);
  ASSERT_TRUE(rig.sink->WaitFor(1));
  EXPECT_TRUE(virt::IsStreaming(kCam));
  virt::Reset();
  EXPECT_FALSE(virt::IsStreaming(kCam));
  EXPECT_FALSE(virt::ConnectedType(kCam));
  EXPECT_EQ(rig.sink->InReceive(), 0);
  const size_t after = rig.sink->Count();
  EXPECT_FALSE(rig.sink->ArrivesWithin(after, std::chrono::milliseconds(100)));
}

}  // namespace
}  // namespace ovix::test
