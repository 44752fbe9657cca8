// The capture graph over a device written against the pin protocol alone:
// explicit and intelligent connects, contained device faults, the MJPG
// decoder, the sample grabber's callback and its detachment, the run order,
// the builder's look-ups and the fault points of every graph call.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fake_capture_filter.h"
#include "platform/capture_graph.h"
#include "platform/fault_points.h"
#include "platform/filter_graph.h"

namespace ovix::test {
namespace {

using platform::CaptureGraphBuilder;
using platform::Filter;
using platform::FilterGraph;
using platform::FirstPin;
using platform::FormatKind;
using platform::MajorType;
using platform::MediaType;
using platform::Pin;
using platform::PinDirection;
using platform::SampleGrabber;
using platform::SampleGrabberCallback;
using platform::VideoType;
namespace subtype = platform::subtype;

constexpr uint32_t kAccessViolation = 0xC0000005u;

// What the grabber is asked to accept; Null and 0 leave a field open.
MediaType Requested(MajorType major, uint32_t sub, FormatKind kind) {
  MediaType t;
  t.major = major;
  t.subtype = sub;
  t.formatType = kind;
  return t;
}
MediaType RequestedVideo(uint32_t sub) { return Requested(MajorType::Video, sub, FormatKind::VideoInfo); }

// A device, a sample grabber asking for a type and a null renderer, all in
// one graph.
struct Rig {
  std::unique_ptr<FilterGraph> graph;
  std::shared_ptr<FakeCaptureFilter> device;
  std::shared_ptr<Filter> grabberFilter;
  std::shared_ptr<SampleGrabber> grabber;
  std::shared_ptr<Filter> renderer;
  uint32_t faultCode = 0xFFFFFFFFu;  // each connect must overwrite it

  Rig(std::vector<MediaType> preferred, const MediaType& grabberType, bool refuseTyped = false)
      : device(std::make_shared<FakeCaptureFilter>(std::move(preferred), refuseTyped)) {
    EXPECT_EQ(platform::CreateFilterGraph(graph), S_OK);
    EXPECT_EQ(platform::CreateSampleGrabber(grabberFilter), S_OK);
    EXPECT_EQ(platform::QuerySampleGrabber(grabberFilter, grabber), S_OK);
    EXPECT_EQ(platform::CreateNullRenderer(renderer), S_OK);
    EXPECT_EQ(grabber->SetMediaType(grabberType), S_OK);
    EXPECT_EQ(graph->AddFilter(device, "Capture"), S_OK);
    EXPECT_EQ(graph->AddFilter(grabberFilter, "Sample Grabber"), S_OK);
    EXPECT_EQ(graph->AddFilter(renderer, "Null Renderer"), S_OK);
  }

  Pin& Out() { return device->Output(); }
  Pin& GrabberIn() { return *FirstPin(*grabberFilter, PinDirection::Input); }
  Pin& GrabberOut() { return *FirstPin(*grabberFilter, PinDirection::Output); }
  Pin& RendererIn() { return *FirstPin(*renderer, PinDirection::Input); }

  HRESULT ConnectDirect(const MediaType* type) { return graph->ConnectDirect(Out(), GrabberIn(), type, &faultCode); }
  HRESULT ConnectIntelligent() { return graph->Connect(Out(), GrabberIn(), &faultCode); }
  HRESULT ConnectRenderer() { return graph->ConnectDirect(GrabberOut(), RendererIn(), nullptr, &faultCode); }

  // The filter intelligent connect added, if any.
  std::shared_ptr<Filter> Inserted() {
    for (const auto& f : graph->EnumFilters()) {
      if (f != device && f != grabberFilter && f != renderer) return f;
    }
    return nullptr;
  }
};

void ExpectType(const MediaType& got, uint32_t sub, int32_t width, int32_t height) {
  EXPECT_EQ(got.major, MajorType::Video);
  EXPECT_EQ(got.subtype, sub);
  EXPECT_EQ(got.width, width);
  EXPECT_EQ(got.height, height);
}

// Both ends record the same link.
void ExpectLinked(Pin& out, Pin& in, uint32_t sub, int32_t width, int32_t height) {
  EXPECT_EQ(out.ConnectedTo(), &in);
  EXPECT_EQ(in.ConnectedTo(), &out);
  MediaType a, b;
  EXPECT_EQ(out.ConnectionMediaType(a), S_OK);
  EXPECT_EQ(in.ConnectionMediaType(b), S_OK);
  ExpectType(a, sub, width, height);
  ExpectType(b, sub, width, height);
}

// The device feeds the grabber directly, and the grabber reports the type.
void ExpectGrabberLinked(Rig& rig, uint32_t sub, int32_t width, int32_t height) {
  ExpectLinked(rig.Out(), rig.GrabberIn(), sub, width, height);
  MediaType t;
  EXPECT_EQ(rig.grabber->GetConnectedMediaType(t), S_OK);
  ExpectType(t, sub, width, height);
}

void ExpectUnlinked(Rig& rig) {
  EXPECT_EQ(rig.Out().ConnectedTo(), nullptr);
  EXPECT_EQ(rig.GrabberIn().ConnectedTo(), nullptr);
  MediaType t;
  EXPECT_EQ(rig.grabber->GetConnectedMediaType(t), VFW_E_NOT_CONNECTED);
}

class RecordingCallback final : public SampleGrabberCallback {
 public:
  HRESULT SampleCB(double sampleTime) override {
    std::lock_guard lock(mutex_);
    sampleTimes_.push_back(sampleTime);
    return S_OK;
  }
  HRESULT BufferCB(double sampleTime, uint8_t* buffer, long length) override {
    std::lock_guard lock(mutex_);
    bufferTimes_.push_back(sampleTime);
    buffers_.emplace_back(buffer, buffer + length);
    return S_OK;
  }
  std::vector<std::vector<uint8_t>> Buffers() const {
    std::lock_guard lock(mutex_);
    return buffers_;
  }
  std::vector<double> BufferTimes() const {
    std::lock_guard lock(mutex_);
    return bufferTimes_;
  }
  std::vector<double> SampleTimes() const {
    std::lock_guard lock(mutex_);
    return sampleTimes_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::vector<uint8_t>> buffers_;
  std::vector<double> bufferTimes_, sampleTimes_;
};

// Records what the grabber passes downstream.
class RecordingSink final : public platform::GraphFilter {
 public:
  RecordingSink() : input_(*this) {}
  std::vector<Pin*> Pins() override { return {&input_}; }
  std::vector<std::vector<uint8_t>> Received() {
    std::lock_guard lock(input_.mutex);
    return input_.received;
  }

 private:
  struct InputPin final : platform::GraphInputPin {
    explicit InputPin(Filter& owner) : GraphInputPin(owner) {}
    HRESULT QueryAccept(const MediaType&) override { return S_OK; }
    HRESULT Receive(const uint8_t* data, size_t length, int64_t) override {
      std::lock_guard lock(mutex);
      received.emplace_back(data, data + length);
      return S_OK;
    }
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> received;
  };
  InputPin input_;
};

struct Rgb {
  uint8_t r, g, b;
};

// Top half red | blue, bottom half green | white.
Rgb QuadrantColour(int x, int y, int width, int height) {
  const bool right = x >= width / 2;
  if (y < height / 2) return right ? Rgb{0, 0, 255} : Rgb{255, 0, 0};
  return right ? Rgb{255, 255, 255} : Rgb{0, 255, 0};
}

std::vector<uint8_t> EncodeQuadrantsJpeg(int width, int height) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgb c = QuadrantColour(x, y, width, height);
      uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
    }
  }
  tjhandle encoder = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  const int rc = tjCompress2(encoder, rgb.data(), width, width * 3, height, TJPF_RGB, &jpeg, &size, TJSAMP_444, 95, 0);
  EXPECT_EQ(rc, 0) << tjGetErrorStr2(encoder);
  std::vector<uint8_t> out(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(encoder);
  return out;
}

// ---- explicit connect ----

TEST(CaptureGraphConnect, ExplicitConnectAgreesOnATypeOrRefusesIt) {
  const MediaType yuy2 = VideoType(subtype::kYUY2, 640, 480);
  const MediaType rgb32 = VideoType(subtype::kRGB32, 320, 240);
  const MediaType h264 = VideoType(subtype::kH264, 1280, 720);
  MediaType yuy2Info2 = yuy2;
  yuy2Info2.formatType = FormatKind::VideoInfo2;
  yuy2Info2.cbFormat = platform::kVideoInfo2Size;
  const MediaType anyVideo = Requested(MajorType::Video, subtype::kNull, FormatKind::Null);

  const struct {
    const char* name;
    std::vector<MediaType> offered;
    bool refuseTyped;
    MediaType grabberType;
    std::optional<MediaType> connectType;
    HRESULT expected;
    uint32_t sub;
    int32_t width, height;
  } cases[] = {
      {"no type: the pin picks the first the grabber accepts", {yuy2, rgb32}, false, RequestedVideo(subtype::kRGB32),
       std::nullopt, S_OK, subtype::kRGB32, 320, 240},
      {"the given type", {yuy2, rgb32}, false, RequestedVideo(subtype::kYUY2), yuy2, S_OK, subtype::kYUY2, 640, 480},
      {"a type the grabber refuses", {yuy2, rgb32}, false, RequestedVideo(subtype::kRGB32), yuy2,
       platform::kVfwTypeNotAccepted, 0, 0, 0},
      {"a device refusing typed connects, typed", {rgb32}, true, RequestedVideo(subtype::kRGB32), rgb32,
       VFW_E_NO_ACCEPTABLE_TYPES, 0, 0, 0},
      {"a device refusing typed connects, untyped", {rgb32}, true, RequestedVideo(subtype::kRGB32), std::nullopt, S_OK,
       subtype::kRGB32, 320, 240},
      {"no type in common", {yuy2}, false, RequestedVideo(subtype::kNV12), std::nullopt, VFW_E_NO_ACCEPTABLE_TYPES, 0, 0, 0},
      {"the wildcard takes H264", {h264}, false, anyVideo, h264, S_OK, subtype::kH264, 1280, 720},
      {"open subtype, format kind still checked", {yuy2Info2}, false, RequestedVideo(subtype::kNull), yuy2Info2,
       platform::kVfwTypeNotAccepted, 0, 0, 0},
      {"major type checked", {yuy2}, false, Requested(MajorType::Audio, subtype::kNull, FormatKind::Null), yuy2,
       platform::kVfwTypeNotAccepted, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.offered, c.grabberType, c.refuseTyped);
    EXPECT_EQ(rig.ConnectDirect(c.connectType ? &*c.connectType : nullptr), c.expected);
    EXPECT_EQ(rig.faultCode, 0u);
    if (Succeeded(c.expected)) {
      ExpectGrabberLinked(rig, c.sub, c.width, c.height);
    } else {
      ExpectUnlinked(rig);
    }
  }
}

TEST(CaptureGraphConnect, GrabberPassesItsInputTypeToTheNullRenderer) {
  Rig rig({VideoType(subtype::kNV12, 1280, 720)}, RequestedVideo(subtype::kNV12));
  EXPECT_EQ(rig.ConnectRenderer(), VFW_E_NO_ACCEPTABLE_TYPES) << "nothing to offer before the input is connected";
  ASSERT_EQ(rig.ConnectDirect(nullptr), S_OK);
  EXPECT_EQ(rig.ConnectRenderer(), S_OK);
  EXPECT_EQ(rig.RendererIn().ConnectedTo(), &rig.GrabberOut());
  MediaType t;
  EXPECT_EQ(rig.RendererIn().ConnectionMediaType(t), S_OK);
  ExpectType(t, subtype::kNV12, 1280, 720);
}

TEST(CaptureGraphConnect, DisconnectEitherSideUnlinksBothAndRepeatsSafely) {
  const MediaType small = VideoType(subtype::kRGB32, 320, 240);
  const MediaType large = VideoType(subtype::kRGB32, 640, 480);
  for (bool fromInput : {false, true}) {
    SCOPED_TRACE(fromInput ? "from the input" : "from the output");
    Rig rig({small, large}, RequestedVideo(subtype::kRGB32));
    ASSERT_EQ(rig.ConnectDirect(&small), S_OK);
    Pin& first = fromInput ? rig.GrabberIn() : rig.Out();
    Pin& other = fromInput ? rig.Out() : rig.GrabberIn();
    EXPECT_EQ(rig.graph->Disconnect(first), S_OK);
    ExpectUnlinked(rig);
    EXPECT_EQ(rig.graph->Disconnect(first), S_FALSE);
    EXPECT_EQ(rig.graph->Disconnect(other), S_FALSE);
    EXPECT_EQ(rig.ConnectDirect(&large), S_OK);
    ExpectGrabberLinked(rig, subtype::kRGB32, 640, 480);
  }
}

TEST(CaptureGraphConnect, DeviceRefusingToDisconnectKeepsBothEnds) {
  Rig rig({VideoType(subtype::kYUY2, 640, 480)}, RequestedVideo(subtype::kYUY2));
  ASSERT_EQ(rig.ConnectDirect(nullptr), S_OK);
  ASSERT_EQ(rig.graph->Run(), S_OK);
  EXPECT_EQ(rig.graph->Disconnect(rig.Out()), platform::kVfwNotStopped);
  ExpectGrabberLinked(rig, subtype::kYUY2, 640, 480);
  ASSERT_EQ(rig.graph->Stop(), S_OK);
  EXPECT_EQ(rig.graph->Disconnect(rig.Out()), S_OK);
  ExpectUnlinked(rig);
}

TEST(CaptureGraphConnect, GraphRulesForPinsAndFilters) {
  Rig rig({VideoType(subtype::kYUY2, 640, 480)}, RequestedVideo(subtype::kYUY2));
  EXPECT_EQ(rig.graph->EnumFilters(), (std::vector<std::shared_ptr<Filter>>{rig.device, rig.grabberFilter, rig.renderer}));
  EXPECT_EQ(rig.graph->AddFilter(rig.renderer, "again"), E_INVALIDARG);
  EXPECT_EQ(rig.graph->AddFilter(nullptr, "none"), E_POINTER);

  EXPECT_EQ(rig.graph->ConnectDirect(rig.GrabberIn(), rig.Out(), nullptr, nullptr), platform::kVfwInvalidDirection);
  auto stray = std::make_shared<FakeCaptureFilter>(std::vector<MediaType>{VideoType(subtype::kYUY2, 640, 480)});
  EXPECT_EQ(rig.graph->ConnectDirect(stray->Output(), rig.GrabberIn(), nullptr, nullptr), platform::kVfwNotInGraph);

  // Removing a filter breaks its links on both sides.
  ASSERT_EQ(rig.ConnectDirect(nullptr), S_OK);
  ASSERT_EQ(rig.ConnectRenderer(), S_OK);
  EXPECT_EQ(rig.graph->RemoveFilter(*rig.grabberFilter), S_OK);
  EXPECT_EQ(rig.graph->RemoveFilter(*rig.grabberFilter), E_INVALIDARG);
  EXPECT_EQ(rig.Out().ConnectedTo(), nullptr);
  EXPECT_EQ(rig.RendererIn().ConnectedTo(), nullptr);
  EXPECT_EQ(rig.graph->EnumFilters().size(), 2u);
}

// ---- device faults ----

TEST(CaptureGraphConnect, DeviceFaultInsideAConnectIsContained) {
  const struct {
    const char* name;
    bool intelligent;
    bool afterPeerAccepted;
  } cases[] = {
      {"explicit, before offering a type", false, false},
      {"explicit, after the grabber accepted", false, true},
      {"intelligent, before offering a type", true, false},
      {"intelligent, after the decoder accepted", true, true},
  };
  const MediaType yuy2 = VideoType(subtype::kYUY2, 640, 480);
  const MediaType mjpg = VideoType(subtype::kMJPG, 64, 48);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The intelligent cases fault on an MJPG device, where a decoder is in play.
    Rig rig({c.intelligent ? mjpg : yuy2}, RequestedVideo(c.intelligent ? subtype::kRGB32 : subtype::kYUY2));
    rig.device->FaultInNextConnect(kAccessViolation, c.afterPeerAccepted);
    const HRESULT hr = c.intelligent ? rig.ConnectIntelligent() : rig.ConnectDirect(&yuy2);
    EXPECT_EQ(hr, E_UNEXPECTED);
    EXPECT_EQ(rig.faultCode, kAccessViolation);
    EXPECT_EQ(rig.device->LastConnectWasIntelligent(), c.intelligent);
    ExpectUnlinked(rig);
    EXPECT_EQ(rig.Inserted(), nullptr) << "no decoder left behind";

    // The fault is spent: the same connect now works and reports none.
    EXPECT_EQ(c.intelligent ? rig.ConnectIntelligent() : rig.ConnectDirect(&yuy2), S_OK);
    EXPECT_EQ(rig.faultCode, 0u);
  }
  // The fault code is optional.
  Rig rig({yuy2}, RequestedVideo(subtype::kYUY2));
  rig.device->FaultInNextConnect(kAccessViolation);
  EXPECT_EQ(rig.graph->ConnectDirect(rig.Out(), rig.GrabberIn(), &yuy2, nullptr), E_UNEXPECTED);
}

// ---- intelligent connect ----

TEST(CaptureGraphConnect, IntelligentConnectLinksDirectlyOrThroughTheMjpgDecoder) {
  const struct {
    const char* name;
    std::vector<MediaType> offered;
    bool refuseTyped;
    uint32_t requested;
    HRESULT expected;
    bool decoder;
    uint32_t sub;  // what the grabber is connected with
    int32_t width, height;
  } cases[] = {
      {"a type in common", {VideoType(subtype::kMJPG, 640, 480), VideoType(subtype::kYUY2, 320, 240)}, false,
       subtype::kYUY2, S_OK, false, subtype::kYUY2, 320, 240},
      {"a device refusing typed connects", {VideoType(subtype::kYUY2, 320, 240)}, true, subtype::kYUY2, S_OK, false,
       subtype::kYUY2, 320, 240},
      {"MJPG asked for MJPG", {VideoType(subtype::kMJPG, 64, 48)}, false, subtype::kMJPG, S_OK, false, subtype::kMJPG,
       64, 48},
      {"MJPG only, RGB32 asked: the decoder, bottom-up", {VideoType(subtype::kMJPG, 64, 48)}, false, subtype::kRGB32,
       S_OK, true, subtype::kRGB32, 64, 48},
      {"MJPG only, RGB32 asked, typed connects refused", {VideoType(subtype::kMJPG, 64, 48)}, true, subtype::kRGB32,
       S_OK, true, subtype::kRGB32, 64, 48},
      {"MJPG only, YUY2 asked: the decoder cannot help", {VideoType(subtype::kMJPG, 64, 48)}, false, subtype::kYUY2,
       VFW_E_CANNOT_CONNECT, false, 0, 0, 0},
      {"H264 only, RGB32 asked", {VideoType(subtype::kH264, 64, 48)}, false, subtype::kRGB32, VFW_E_CANNOT_CONNECT,
       false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(c.offered, RequestedVideo(c.requested), c.refuseTyped);
    EXPECT_EQ(rig.ConnectIntelligent(), c.expected);
    EXPECT_EQ(rig.faultCode, 0u);
    const std::shared_ptr<Filter> decoder = rig.Inserted();
    EXPECT_EQ(decoder != nullptr, c.decoder);
    EXPECT_EQ(rig.graph->EnumFilters().size(), c.decoder ? 4u : 3u);
    if (Failed(c.expected)) {
      ExpectUnlinked(rig);
      continue;
    }
    if (!decoder) {
      ExpectGrabberLinked(rig, c.sub, c.width, c.height);
      continue;
    }
    ExpectLinked(rig.Out(), *FirstPin(*decoder, PinDirection::Input), subtype::kMJPG, c.width, c.height);
    ExpectLinked(*FirstPin(*decoder, PinDirection::Output), rig.GrabberIn(), c.sub, c.width, c.height);
    MediaType t;
    ASSERT_EQ(rig.grabber->GetConnectedMediaType(t), S_OK);
    EXPECT_EQ(t.formatType, FormatKind::VideoInfo);
    EXPECT_TRUE(t.HasReadableVideoBlock());
    EXPECT_GT(t.height, 0) << "positive height: bottom-up rows";
  }
}

TEST(CaptureGraphConnect, DecoderDeliversBottomUpBgraAndDropsBadJpegs) {
  constexpr int kW = 64, kH = 48;
  Rig rig({VideoType(subtype::kMJPG, kW, kH, 333333)}, RequestedVideo(subtype::kRGB32));
  ASSERT_EQ(rig.ConnectIntelligent(), S_OK);
  ASSERT_EQ(rig.ConnectRenderer(), S_OK);
  auto callback = std::make_shared<RecordingCallback>();
  ASSERT_EQ(rig.grabber->SetCallback(callback, 1), S_OK);
  ASSERT_EQ(rig.graph->Run(), S_OK);

  const std::vector<uint8_t> jpeg = EncodeQuadrantsJpeg(kW, kH);
  EXPECT_EQ(rig.device->Push(jpeg, 5000000), S_OK);
  std::vector<std::vector<uint8_t>> got = callback->Buffers();
  ASSERT_EQ(got.size(), 1u);
  ASSERT_EQ(got[0].size(), static_cast<size_t>(kW) * kH * 4);
  EXPECT_DOUBLE_EQ(callback->BufferTimes()[0], 0.5);
  // The first row in memory is the bottom row of the picture.
  for (const auto& [x, y] : {std::pair{16, 12}, std::pair{48, 12}, std::pair{16, 36}, std::pair{48, 36}}) {
    SCOPED_TRACE(testing::Message() << "picture point " << x << "," << y);
    const Rgb want = QuadrantColour(x, y, kW, kH);
    const uint8_t* px = &got[0][(static_cast<size_t>(kH - 1 - y) * kW + x) * 4];
    EXPECT_NEAR(px[0], want.b, 16);
    EXPECT_NEAR(px[1], want.g, 16);
    EXPECT_NEAR(px[2], want.r, 16);
    EXPECT_EQ(px[3], 255);
  }

  std::vector<uint8_t> truncated(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() / 2));
  std::vector<uint8_t> badScan = jpeg;
  for (size_t i = jpeg.size() / 2; i < jpeg.size() / 2 + 64; ++i) badScan[i] = 0xFF;
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
  } bad[] = {
      {"not a JPEG", std::vector<uint8_t>(200, 0x5A)},
      {"a start marker, then noise", {0xFF, 0xD8, 0x12, 0x34, 0x56, 0x78}},
      {"truncated", truncated},
      {"markers in the scan data", badScan},
      {"another size", EncodeQuadrantsJpeg(32, 24)},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.name);
    rig.device->Push(b.bytes);
    EXPECT_EQ(callback->Buffers().size(), 1u) << "dropped";
  }
  const uint8_t none = 0;
  rig.device->Push(&none, 0);
  EXPECT_EQ(callback->Buffers().size(), 1u) << "an empty buffer is dropped";

  EXPECT_EQ(rig.device->Push(jpeg), S_OK);
  EXPECT_EQ(callback->Buffers().size(), 2u) << "the decoder goes on after bad input";
  EXPECT_EQ(rig.graph->Stop(), S_OK);
}

// ---- the sample grabber ----

TEST(SampleGrabberCallback, HandsEachBufferToTheSelectedCallbackThenDownstream) {
  const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  for (int which : {0, 1}) {
    SCOPED_TRACE(testing::Message() << "which=" << which);
    Rig rig({VideoType(subtype::kYUY2, 4, 2)}, RequestedVideo(subtype::kYUY2));
    auto sink = std::make_shared<RecordingSink>();
    ASSERT_EQ(rig.graph->AddFilter(sink, "Sink"), S_OK);
    ASSERT_EQ(rig.ConnectDirect(nullptr), S_OK);
    ASSERT_EQ(rig.graph->ConnectDirect(rig.GrabberOut(), *FirstPin(*sink, PinDirection::Input), nullptr, nullptr), S_OK);
    auto callback = std::make_shared<RecordingCallback>();
    ASSERT_EQ(rig.grabber->SetCallback(callback, which), S_OK);

    EXPECT_EQ(rig.device->Push(bytes), platform::kVfwWrongState) << "not running yet";
    ASSERT_EQ(rig.graph->Run(), S_OK);
    EXPECT_EQ(rig.device->Push(bytes, 12345678), S_OK);
    ASSERT_EQ(rig.graph->Stop(), S_OK);
    EXPECT_EQ(rig.device->Push(bytes), platform::kVfwWrongState) << "stopped";

    const auto buffers = callback->Buffers();
    const auto samples = callback->SampleTimes();
    ASSERT_EQ(buffers.size(), which == 1 ? 1u : 0u);
    ASSERT_EQ(samples.size(), which == 0 ? 1u : 0u);
    if (which == 1) {
      EXPECT_EQ(buffers[0], bytes);
      EXPECT_DOUBLE_EQ(callback->BufferTimes()[0], 1.2345678);
    } else {
      EXPECT_DOUBLE_EQ(samples[0], 1.2345678);
    }
    EXPECT_EQ(sink->Received(), std::vector<std::vector<uint8_t>>{bytes});
  }
}

TEST(SampleGrabberCallback, RunStartsDownstreamFirstAndStopStopsTheDeviceFirst) {
  const std::vector<uint8_t> bytes(16, 0x80);
  Rig rig({VideoType(subtype::kYUY2, 4, 2)}, RequestedVideo(subtype::kYUY2));
  ASSERT_EQ(rig.ConnectDirect(nullptr), S_OK);
  ASSERT_EQ(rig.ConnectRenderer(), S_OK);
  auto callback = std::make_shared<RecordingCallback>();
  ASSERT_EQ(rig.grabber->SetCallback(callback, 1), S_OK);
  // A device that delivers as soon as it runs, and flushes one last buffer
  // while it stops: both must find the whole chain running.
  HRESULT onRun = E_FAIL, onStop = E_FAIL;
  rig.device->onRun = [&] { onRun = rig.device->Push(bytes); };
  rig.device->onStop = [&] { onStop = rig.device->Push(bytes); };
  ASSERT_EQ(rig.graph->Run(), S_OK);
  EXPECT_EQ(onRun, S_OK);
  EXPECT_EQ(callback->Buffers().size(), 1u);
  ASSERT_EQ(rig.graph->Stop(), S_OK);
  EXPECT_EQ(onStop, S_OK);
  EXPECT_EQ(callback->Buffers().size(), 2u);
  EXPECT_EQ(rig.device->runs, 1);
  EXPECT_EQ(rig.device->stops, 1);
}

// Blocks inside BufferCB until released.
class BlockingCallback final : public SampleGrabberCallback {
 public:
  HRESULT BufferCB(double, uint8_t*, long) override {
    ++calls;
    std::unique_lock lock(mutex_);
    entered_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return released_; });
    finished = true;
    return S_OK;
  }
  void WaitEntered() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return entered_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    cv_.notify_all();
  }
  std::atomic<int> calls{0};
  std::atomic<bool> finished{false};

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool entered_ = false, released_ = false;
};

TEST(SampleGrabberCallback, DetachWaitsForTheCallInProgressAndDropsTheCallback) {
  const std::vector<uint8_t> bytes(16, 0x10);
  Rig rig({VideoType(subtype::kYUY2, 4, 2)}, RequestedVideo(subtype::kYUY2));
  ASSERT_EQ(rig.ConnectDirect(nullptr), S_OK);
  ASSERT_EQ(rig.graph->Run(), S_OK);
  auto callback = std::make_shared<BlockingCallback>();
  ASSERT_EQ(rig.grabber->SetCallback(callback, 1), S_OK);

  std::thread streaming([&] { rig.device->Push(bytes); });
  callback->WaitEntered();
  platform::CountUses("SetCallback");
  std::atomic<bool> detached{false};
  bool finishedWhenDetached = false;
  long referencesWhenDetached = 0;
  std::thread detacher([&] {
    EXPECT_EQ(rig.grabber->SetCallback(nullptr, 0), S_OK);
    finishedWhenDetached = callback->finished.load();
    referencesWhenDetached = callback.use_count();
    detached = true;
  });
  // Once the detacher is inside SetCallback, give an early return the
  // chance to show itself before the callback is let go.
  for (int i = 0; i < 1000000 && platform::FaultUses("SetCallback") == 0; ++i) std::this_thread::yield();
  for (int i = 0; i < 20000 && !detached; ++i) std::this_thread::yield();
  EXPECT_FALSE(detached.load());
  callback->Release();
  streaming.join();
  detacher.join();
  EXPECT_TRUE(finishedWhenDetached);
  EXPECT_EQ(referencesWhenDetached, 1) << "neither the grabber nor its streaming call holds it once detached";

  EXPECT_EQ(rig.device->Push(bytes), S_OK);
  EXPECT_EQ(callback->calls, 1) << "no callback after detaching";
  EXPECT_EQ(rig.graph->Stop(), S_OK);
}

TEST(SampleGrabberCallback, CallbackMayDetachItself) {
  const std::vector<uint8_t> bytes(16, 0x20);
  Rig rig({VideoType(subtype::kYUY2, 4, 2)}, RequestedVideo(subtype::kYUY2));
  ASSERT_EQ(rig.ConnectDirect(nullptr), S_OK);
  ASSERT_EQ(rig.graph->Run(), S_OK);
  struct SelfDetaching final : SampleGrabberCallback {
    SampleGrabber* grabber = nullptr;
    int calls = 0;
    HRESULT detach = E_FAIL;
    HRESULT BufferCB(double, uint8_t*, long) override {
      ++calls;
      detach = grabber->SetCallback(nullptr, 1);
      return S_OK;
    }
  };
  auto callback = std::make_shared<SelfDetaching>();
  callback->grabber = rig.grabber.get();
  ASSERT_EQ(rig.grabber->SetCallback(callback, 1), S_OK);
  EXPECT_EQ(rig.device->Push(bytes), S_OK);
  EXPECT_EQ(rig.device->Push(bytes), S_OK);
  EXPECT_EQ(callback->detach, S_OK);
  EXPECT_EQ(callback->calls, 1);
  EXPECT_EQ(rig.graph->Stop(), S_OK);
}

class CountingCallback final : public SampleGrabberCallback {
 public:
  HRESULT BufferCB(double, uint8_t* buffer, long length) override {
    ++inside;
    ++calls;
    unsigned sum = 0;
    for (long i = 0; i < length; ++i) sum += buffer[i];
    checksum.store(sum, std::memory_order_relaxed);
    --inside;
    return S_OK;
  }
  std::atomic<int> inside{0}, calls{0};
  std::atomic<unsigned> checksum{0};
};

TEST(SampleGrabberCallback, ReplacedCallbackNeverRunsAfterSetCallbackReturns) {
  const std::vector<uint8_t> bytes(4096, 0x33);
  Rig rig({VideoType(subtype::kYUY2, 64, 32)}, RequestedVideo(subtype::kYUY2));
  ASSERT_EQ(rig.ConnectDirect(nullptr), S_OK);
  ASSERT_EQ(rig.graph->Run(), S_OK);
  auto a = std::make_shared<CountingCallback>();
  auto b = std::make_shared<CountingCallback>();
  ASSERT_EQ(rig.grabber->SetCallback(a, 1), S_OK);

  std::atomic<bool> stop{false};
  std::thread streaming([&] {
    while (!stop) rig.device->Push(bytes);
  });
  for (int i = 0; i < 1000000 && a->calls == 0; ++i) std::this_thread::yield();

  std::shared_ptr<CountingCallback> installed = a;
  int stillRunning = 0;
  for (int i = 0; i < 300; ++i) {
    const std::shared_ptr<CountingCallback> next = i % 3 == 0 ? nullptr : i % 3 == 1 ? b : a;
    ASSERT_EQ(rig.grabber->SetCallback(next, 1), S_OK);
    if (installed && installed != next && installed->inside != 0) ++stillRunning;
    installed = next;
  }
  stop = true;
  streaming.join();
  EXPECT_EQ(stillRunning, 0);
  EXPECT_GT(a->calls + b->calls, 0);
  EXPECT_EQ(rig.graph->Stop(), S_OK);
}

// ---- the builder and the factories ----

class NoStreamConfig final : public platform::StreamConfig {
 public:
  HRESULT GetNumberOfCapabilities(int&, int&) override { return E_NOTIMPL; }
  HRESULT GetStreamCaps(int, std::unique_ptr<MediaType>&, platform::StreamCaps&) override { return E_NOTIMPL; }
  HRESULT SetFormat(const MediaType&) override { return E_NOTIMPL; }
  HRESULT GetFormat(std::unique_ptr<MediaType>&) override { return E_NOTIMPL; }
};

class NoPages final : public platform::PropertyPages {
 public:
  HRESULT GetPages(int& count) override {
    count = 0;
    return S_OK;
  }
  HRESULT Show(void*, int, int, const char*) override { return S_OK; }
};

TEST(CaptureGraphBuilderTest, FindsTheCapturePinAndTheDeviceInterfaces) {
  std::unique_ptr<CaptureGraphBuilder> builder;
  ASSERT_EQ(platform::CreateCaptureGraphBuilder(builder), S_OK);
  std::unique_ptr<FilterGraph> graph;
  ASSERT_EQ(platform::CreateFilterGraph(graph), S_OK);
  EXPECT_EQ(builder->SetFiltergraph(graph.get()), S_OK);

  FakeCaptureFilter device({VideoType(subtype::kYUY2, 640, 480)}, false, /*previewPinFirst=*/true);
  EXPECT_EQ(builder->FindCapturePin(device), &device.Output());
  EXPECT_NE(FirstPin(device, PinDirection::Output), &device.Output()) << "the preview pin comes first";
  std::shared_ptr<Filter> grabber;
  ASSERT_EQ(platform::CreateSampleGrabber(grabber), S_OK);
  EXPECT_EQ(builder->FindCapturePin(*grabber), nullptr);
  EXPECT_NE(FirstPin(*grabber, PinDirection::Input), nullptr);
  EXPECT_NE(FirstPin(*grabber, PinDirection::Output), FirstPin(*grabber, PinDirection::Input));
  std::shared_ptr<Filter> renderer;
  ASSERT_EQ(platform::CreateNullRenderer(renderer), S_OK);
  EXPECT_EQ(FirstPin(*renderer, PinDirection::Output), nullptr);
  std::shared_ptr<SampleGrabber> notAGrabber;
  EXPECT_EQ(platform::QuerySampleGrabber(renderer, notAGrabber), E_NOINTERFACE);
  EXPECT_EQ(notAGrabber, nullptr);

  platform::StreamConfig* config = reinterpret_cast<platform::StreamConfig*>(&device);
  EXPECT_EQ(builder->FindStreamConfig(device, config), E_NOINTERFACE);
  EXPECT_EQ(config, nullptr);
  NoStreamConfig deviceConfig;
  device.streamConfig = &deviceConfig;
  EXPECT_EQ(builder->FindStreamConfig(device, config), S_OK);
  EXPECT_EQ(config, &deviceConfig);

  std::shared_ptr<platform::PropertyPages> crossbar = std::make_shared<NoPages>();
  EXPECT_EQ(builder->FindCrossbar(device, crossbar), VFW_E_NOT_FOUND);
  EXPECT_EQ(crossbar, nullptr);
  device.crossbar = std::make_shared<NoPages>();
  EXPECT_EQ(builder->FindCrossbar(device, crossbar), S_OK);
  EXPECT_EQ(crossbar, device.crossbar);
}

TEST(CaptureGraphFaults, EachNamedCallFailsWithTheArmedResultOnce) {
  const HRESULT kArmed = E_OUTOFMEMORY;
  const MediaType yuy2 = VideoType(subtype::kYUY2, 640, 480);
  const struct {
    const char* call;
    std::function<HRESULT(Rig&)> use;
  } cases[] = {
      {"CreateFilterGraph",
       [](Rig&) {
         std::unique_ptr<FilterGraph> g = platform::MakeFilterGraph();
         const HRESULT hr = platform::CreateFilterGraph(g);
         EXPECT_EQ(g == nullptr, Failed(hr));
         return hr;
       }},
      {"CreateCaptureGraphBuilder",
       [](Rig&) {
         std::unique_ptr<CaptureGraphBuilder> b;
         const HRESULT hr = platform::CreateCaptureGraphBuilder(b);
         EXPECT_EQ(b == nullptr, Failed(hr));
         return hr;
       }},
      {"CreateSampleGrabber",
       [](Rig& r) {
         std::shared_ptr<Filter> f = r.renderer;
         const HRESULT hr = platform::CreateSampleGrabber(f);
         EXPECT_EQ(f == nullptr, Failed(hr));
         return hr;
       }},
      {"QuerySampleGrabber",
       [](Rig& r) {
         std::shared_ptr<SampleGrabber> g = r.grabber;
         const HRESULT hr = platform::QuerySampleGrabber(r.grabberFilter, g);
         EXPECT_EQ(g == nullptr, Failed(hr));
         return hr;
       }},
      {"CreateNullRenderer",
       [](Rig& r) {
         std::shared_ptr<Filter> f = r.renderer;
         const HRESULT hr = platform::CreateNullRenderer(f);
         EXPECT_EQ(f == nullptr, Failed(hr));
         return hr;
       }},
      {"AddFilter",
       [](Rig& r) {
         std::shared_ptr<Filter> extra;
         EXPECT_EQ(platform::CreateNullRenderer(extra), S_OK);
         return r.graph->AddFilter(extra, "Extra");
       }},
      {"ConnectDirect", [&](Rig& r) { return r.ConnectDirect(&yuy2); }},
      {"Connect", [](Rig& r) { return r.ConnectIntelligent(); }},
      {"QueryMediaControl", [](Rig& r) { return r.graph->QueryMediaControl(); }},
      {"Run", [](Rig& r) { return r.graph->Run(); }},
      {"SetMediaType", [](Rig& r) { return r.grabber->SetMediaType(RequestedVideo(subtype::kYUY2)); }},
      {"SetCallback", [](Rig& r) { return r.grabber->SetCallback(std::make_shared<RecordingCallback>(), 1); }},
      {"GetConnectedMediaType",
       [&](Rig& r) {
         if (!r.GrabberIn().ConnectedTo()) {
           EXPECT_EQ(r.graph->ConnectDirect(r.Out(), r.GrabberIn(), &yuy2, nullptr), S_OK);
         }
         MediaType t;
         return r.grabber->GetConnectedMediaType(t);
       }},
      {"SetFiltergraph",
       [](Rig& r) {
         std::unique_ptr<CaptureGraphBuilder> b;
         EXPECT_EQ(platform::CreateCaptureGraphBuilder(b), S_OK);
         return b->SetFiltergraph(r.graph.get());
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    Rig rig({yuy2}, RequestedVideo(subtype::kYUY2));
    platform::ArmFault(c.call, 1, kArmed);
    EXPECT_EQ(c.use(rig), kArmed);
    EXPECT_EQ(c.use(rig), S_OK) << "only the armed use fails";
    platform::ClearFaults();
  }
}

}  // namespace
}  // namespace ovix::test
