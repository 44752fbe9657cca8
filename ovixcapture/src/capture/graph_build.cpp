// Building the capture graph of an input that owns its device: the capture
// filter, a sample grabber that hands every buffer to the intake, and a null
// renderer that ends the stream, connected by an ordered list of strategies
// that survive misbehaving drivers.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <system_error>

#include "capture/capture_registry.h"
#include "capture/pixel_format.h"
#include "capture/video_input.h"
#include "core/device_registry.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "platform/fault_points.h"

namespace ovix {

namespace {

using platform::MediaType;
using platform::Pin;
using platform::PinDirection;

bool IsVirtualCameraName(const std::string& name) {
  static const char kObs[] = "obs virtual camera";
  if (name.size() == sizeof kObs - 1) {
    bool equal = true;
    for (size_t i = 0; i < name.size() && equal; ++i)
      equal = std::tolower(static_cast<unsigned char>(name[i])) == kObs[i];
    if (equal) return true;
  }
  return name.find("OBS") != std::string::npos && name.find("Virtual Camera") != std::string::npos;
}

bool IsSafeSubtype(uint32_t sub) {
  const int32_t f = SubtypeToPixelFormat(sub);
  return f == OVIX_FORMAT_YUY2 || f == OVIX_FORMAT_NV12 || f == OVIX_FORMAT_RGB24 || f == OVIX_FORMAT_RGB32 ||
         f == OVIX_FORMAT_H264;
}

}  // namespace

HRESULT OvixVideoInput::GuardedConnectDirect(Pin& out, Pin& in, const MediaType* type) {
  uint32_t fault = 0;
  const HRESULT hr = graph_->ConnectDirect(out, in, type, &fault);
  if (fault != 0)
    OVIX_LOG(kTagVideoInput, "DirectShow explicit connect trapped device exception=0x%08X", fault);
  return hr;
}

HRESULT OvixVideoInput::GuardedConnect(Pin& out, Pin& in) {
  uint32_t fault = 0;
  const HRESULT hr = graph_->Connect(out, in, &fault);
  if (fault != 0)
    OVIX_LOG(kTagVideoInput, "DirectShow intelligent connect trapped device exception=0x%08X", fault);
  return hr;
}

HRESULT OvixVideoInput::ConnectGrabberToRenderer(Pin& capturePin, Pin& grabberIn, Pin& grabberOut, Pin& rendererIn,
                                                 const char* message) {
  OVIX_LOG(kTagVideoInput, "%s", message);
  const HRESULT hr = GuardedConnectDirect(grabberOut, rendererIn, nullptr);
  if (Failed(hr)) {
    graph_->Disconnect(capturePin);
    graph_->Disconnect(grabberIn);
  }
  return hr;
}

HRESULT OvixVideoInput::ConnectSafePinMedia(Pin& capturePin, Pin& grabberIn, const MediaType& requested) {
  std::vector<MediaType> offered;
  if (HRESULT hr = capturePin.EnumMediaTypes(offered); Failed(hr)) return hr;
  struct Candidate {
    MediaType type;
    int64_t score;
    int32_t width, height;
  };
  std::vector<Candidate> candidates;
  for (const MediaType& t : offered) {
    if (t.major != platform::MajorType::Video || !IsSafeSubtype(t.subtype)) continue;
    int32_t w = 0, h = 0;
    const bool sized = t.hasFormatBlock && ((t.formatType == platform::FormatKind::VideoInfo &&
                                             t.cbFormat >= platform::kVideoInfoSize) ||
                                            (t.formatType == platform::FormatKind::VideoInfo2 &&
                                             t.cbFormat >= platform::kVideoInfo2Size));
    if (sized) {
      w = t.width;
      h = t.height < 0 ? -t.height : t.height;
    }
    int64_t score = 0;
    if (requested.subtype != platform::subtype::kNull && requested.subtype == t.subtype) score += 1'000'000'000'000;
    const int32_t sw = selectedWidth, sh = selectedHeight;
    if (sw > 0 && sh > 0) {
      if (w == sw && h == sh) score += 1'000'000'000;
      else if (w >= sw && h >= sh) score += 1'000'000;
    }
    score += static_cast<int64_t>(w) * h;
    candidates.push_back({t, score, w, h});
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
  if (candidates.empty()) return VFW_E_NO_ACCEPTABLE_TYPES;

  HRESULT hr = E_FAIL;
  unsigned attempt = 0;
  for (const Candidate& c : candidates) {
    ++attempt;
    MediaType grab;
    grab.major = platform::MajorType::Video;
    grab.subtype = c.type.subtype;
    grab.formatType = platform::FormatKind::Null;
    hr = grabber_->SetMediaType(grab);
    if (Succeeded(hr)) {
      OVIX_LOG(kTagVideoInput, "DirectShow safe pin-media attempt=%u subtype=0x%08X size=%dx%d", attempt,
               c.type.subtype, c.width, c.height);
      hr = GuardedConnectDirect(capturePin, grabberIn, &c.type);
      if (Succeeded(hr)) break;
    }
    graph_->Disconnect(capturePin);
    graph_->Disconnect(grabberIn);
  }
  if (Succeeded(hr)) OVIX_LOG(kTagVideoInput, "DirectShow safe pin-media connection succeeded");
  else OVIX_LOG(kTagVideoInput, "DirectShow safe pin-media connection failed hr=0x%08X", static_cast<unsigned>(hr));
  return hr;
}

HRESULT OvixVideoInput::ConnectCaptureGraph(platform::Filter& capture, platform::Filter& grabberFilter,
                                            platform::Filter& renderer, const MediaType& requested,
                                            bool allowIntelligent) {
  if (!graph_ || !builder_ || !grabber_) return E_POINTER;
  Pin* capturePin = builder_->FindCapturePin(capture);
  if (!capturePin) capturePin = platform::FirstPin(capture, PinDirection::Output);
  Pin* grabberIn = platform::FirstPin(grabberFilter, PinDirection::Input);
  Pin* grabberOut = platform::FirstPin(grabberFilter, PinDirection::Output);
  Pin* rendererIn = platform::FirstPin(renderer, PinDirection::Input);
  if (!capturePin || !grabberIn || !grabberOut || !rendererIn) return E_FAIL;

  auto disconnectAll = [&] {
    for (Pin* p : {capturePin, grabberIn, grabberOut, rendererIn}) graph_->Disconnect(*p);
  };
  static const char kNullToRenderer[] = "DirectShow connect: sample grabber -> null renderer using NULL media type";

  // 1. The negotiated format, as the capture pin reports it now.
  HRESULT hr = E_FAIL;
  platform::StreamConfig* config = capturePin->Owner().GetStreamConfig();
  std::unique_ptr<MediaType> current;
  if (config && Succeeded(config->GetFormat(current)) && current) {
    if (current->subtype != platform::subtype::kMJPG) {
      OVIX_LOG(kTagVideoInput, "DirectShow connect: capture -> sample grabber using selected AM_MEDIA_TYPE");
      hr = GuardedConnectDirect(*capturePin, *grabberIn, current.get());
    } else if (allowIntelligent) {
      OVIX_LOG(kTagVideoInput, "DirectShow connect: MJPG capture -> sample grabber using intelligent connect");
      hr = GuardedConnect(*capturePin, *grabberIn);
    } else {
      OVIX_LOG(kTagVideoInput, "DirectShow MJPG intelligent connect skipped for OBS Virtual Camera");
      hr = E_FAIL;
    }
    if (Succeeded(hr)) {
      hr = ConnectGrabberToRenderer(*capturePin, *grabberIn, *grabberOut, *rendererIn, kNullToRenderer);
      if (Succeeded(hr)) return hr;
    }
  }

  // 2. The pin's own preferred types, best match first.
  disconnectAll();
  hr = ConnectSafePinMedia(*capturePin, *grabberIn, requested);
  if (Succeeded(hr)) {
    hr = ConnectGrabberToRenderer(*capturePin, *grabberIn, *grabberOut, *rendererIn, kNullToRenderer);
    if (Succeeded(hr)) return hr;
  }

  // 3. Let the graph find a path, decoders included.
  if (!allowIntelligent) {
    OVIX_LOG(kTagVideoInput, "DirectShow intelligent connect skipped for OBS Virtual Camera hr=0x%08X",
             static_cast<unsigned>(hr));
    return hr;
  }
  disconnectAll();
  OVIX_LOG(kTagVideoInput, "DirectShow connect fallback: capture -> sample grabber using intelligent connect");
  hr = GuardedConnect(*capturePin, *grabberIn);
  if (Succeeded(hr))
    hr = ConnectGrabberToRenderer(*capturePin, *grabberIn, *grabberOut, *rendererIn,
                                  "DirectShow connect fallback: sample grabber -> null renderer using NULL media type");
  return hr;
}

int OvixVideoInput::StartDirectShow() {
  StopDirectShow();

  HRESULT hr = platform::CreateFilterGraph(graph_);
  if (Failed(hr) || !graph_) {
    graph_.reset();
    OVIX_LOG(kTagVideoInput, "Create FilterGraph failed hr=0x%08X", static_cast<unsigned>(hr));
    return OVIX_ERR_FAILED;
  }
  auto fail = [&](int result) {
    StopDirectShow();
    return result;
  };
  hr = platform::CreateCaptureGraphBuilder(builder_);
  if (Failed(hr) || !builder_) {
    builder_.reset();
    OVIX_LOG(kTagVideoInput, "Create CaptureGraphBuilder2 failed hr=0x%08X", static_cast<unsigned>(hr));
    return fail(OVIX_ERR_FAILED);
  }
  builder_->SetFiltergraph(graph_.get());

  std::unique_ptr<platform::CaptureMoniker> moniker;
  const int found = device_registry::Get().FindVideoDevice(deviceIndex, moniker);
  if (found != OVIX_OK || !moniker) {
    OVIX_LOG(kTagVideoInput, "Video device moniker not found index=%d", deviceIndex);
    return fail(found != OVIX_OK ? found : OVIX_ERR_FAILED);
  }

  std::string friendlyName;
  const bool virtualCamera = moniker->ReadFriendlyName(friendlyName) == S_OK && IsVirtualCameraName(friendlyName);
  if (virtualCamera) OVIX_LOG(kTagVideoInput, "OBS Virtual Camera detected; unsafe intelligent connect fallback disabled");
  const bool allowIntelligent = !virtualCamera;

  std::shared_ptr<platform::Filter> capture;
  hr = moniker->BindToFilter(capture);
  moniker.reset();
  if (Failed(hr) || !capture) {
    OVIX_LOG(kTagVideoInput, "Bind video capture filter failed hr=0x%08X", static_cast<unsigned>(hr));
    return fail(OVIX_ERR_FAILED);
  }
  hr = graph_->AddFilter(capture, "OVIX Video Capture");
  if (Failed(hr)) {
    OVIX_LOG(kTagVideoInput, "Add capture filter failed hr=0x%08X", static_cast<unsigned>(hr));
    return fail(OVIX_ERR_FAILED);
  }

  NegotiateCaptureFormat(*capture);

  std::shared_ptr<platform::Filter> grabberFilter;
  hr = platform::CreateSampleGrabber(grabberFilter);
  if (Failed(hr) || !grabberFilter) {
    OVIX_LOG(kTagVideoInput, "Create SampleGrabber failed hr=0x%08X", static_cast<unsigned>(hr));
    return fail(OVIX_ERR_FAILED);
  }
  hr = platform::QuerySampleGrabber(grabberFilter, grabber_);
  if (Failed(hr) || !grabber_) {
    grabber_.reset();
    OVIX_LOG(kTagVideoInput, "Query ISampleGrabber failed hr=0x%08X", static_cast<unsigned>(hr));
    return fail(OVIX_ERR_FAILED);
  }

  MediaType requested;
  requested.major = platform::MajorType::Video;
  const bool wildcardH264 = selectedFormat == OVIX_FORMAT_H264;
  if (!wildcardH264) {
    requested.formatType = platform::FormatKind::VideoInfo;
    requested.subtype = PixelFormatToSubtype(selectedFormat);
    if (requested.subtype == platform::subtype::kNull || requested.subtype == platform::subtype::kMJPG)
      requested.subtype = platform::subtype::kRGB32;
  }
  hr = grabber_->SetMediaType(requested);
  OVIX_LOG(kTagVideoInput, "SampleGrabber requested subtype fmt=%d wildcardH264=%d hr=0x%08X",
           wildcardH264 ? 0 : SubtypeToPixelFormat(requested.subtype), wildcardH264 ? 1 : 0,
           static_cast<unsigned>(hr));
  if (Failed(hr)) return fail(OVIX_ERR_FAILED);

  grabber_->SetOneShot(false);
  grabber_->SetBufferSamples(false);
  hr = graph_->AddFilter(grabberFilter, "OVIX Sample Grabber");
  if (Failed(hr)) {
    OVIX_LOG(kTagVideoInput, "Add SampleGrabber failed hr=0x%08X", static_cast<unsigned>(hr));
    return fail(OVIX_ERR_FAILED);
  }

  std::shared_ptr<platform::Filter> renderer;
  hr = platform::CreateNullRenderer(renderer);
  if (Failed(hr) || !renderer) {
    OVIX_LOG(kTagVideoInput, "Create NullRenderer failed hr=0x%08X", static_cast<unsigned>(hr));
    return fail(OVIX_ERR_FAILED);
  }
  hr = graph_->AddFilter(renderer, "OVIX Null Renderer");
  if (Failed(hr)) {
    OVIX_LOG(kTagVideoInput, "Add NullRenderer failed hr=0x%08X", static_cast<unsigned>(hr));
    return fail(OVIX_ERR_FAILED);
  }

  hr = ConnectCaptureGraph(*capture, *grabberFilter, *renderer, requested, allowIntelligent);
  if (Failed(hr)) {
    OVIX_LOG(kTagVideoInput, "Manual video graph connect failed hr=0x%08X", static_cast<unsigned>(hr));
    return fail(OVIX_ERR_FAILED);
  }

  MediaType connected;
  if (Succeeded(grabber_->GetConnectedMediaType(connected))) {
    if (connected.HasReadableVideoBlock() && connected.formatType != platform::FormatKind::Null) {
      selectedWidth = connected.width;
      selectedHeight = connected.height < 0 ? -connected.height : connected.height;
      bottomUp_ = connected.height > 0;
    }
    selectedFormat = SubtypeToPixelFormat(connected.subtype);
    if (selectedFormat == OVIX_FORMAT_UNKNOWN) selectedFormat = OVIX_FORMAT_RGB32;
    if (selectedFormat != OVIX_FORMAT_RGB24 && selectedFormat != OVIX_FORMAT_RGB32) bottomUp_ = false;
    OVIX_LOG(kTagVideoInput, "Connected media type %dx%d bottomUp=%d fmt=%d", selectedWidth, selectedHeight,
             bottomUp_ ? 1 : 0, selectedFormat);
  }
  intakeWidth_.store(selectedWidth, std::memory_order_release);
  intakeHeight_.store(selectedHeight, std::memory_order_release);
  intakeFormat_.store(selectedFormat, std::memory_order_release);
  intakeBottomUp_.store(bottomUp_, std::memory_order_release);

  callbackObject_ = std::make_shared<OvixSampleGrabberCallback>(this);
  hr = grabber_->SetCallback(callbackObject_, 1);
  if (Failed(hr)) {
    OVIX_LOG(kTagVideoInput, "Set SampleGrabber callback failed hr=0x%08X", static_cast<unsigned>(hr));
    callbackObject_.reset();
    return fail(OVIX_ERR_FAILED);
  }

  hr = graph_->QueryMediaControl();
  if (Failed(hr)) {
    OVIX_LOG(kTagVideoInput, "Query IMediaControl failed hr=0x%08X", static_cast<unsigned>(hr));
    return fail(OVIX_ERR_FAILED);
  }
  mediaControl_ = true;

  {
    std::lock_guard lock(queueMutex_);
    queue_.clear();
    stopFlag_ = false;
  }
  // A dispatch thread left over from a stop that was refused as a self-join
  // cannot be replaced: the start fails with the graph torn down.
  if (dispatchThread_.joinable()) {
    OVIX_LOG(kTagVideoInput, "Video dispatch thread still attached device=%d input=%p; start refused", deviceIndex,
             static_cast<void*>(this));
    return fail(OVIX_ERR_FAILED);
  }
  try {
    if (HRESULT fault = platform::FaultCheck("CreateDispatchThread"); Failed(fault))
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    dispatchEnded_.Reset();
    dispatchThread_ = std::thread([this] {
      DispatchThreadMain();
      dispatchEnded_.Set();
    });
  } catch (const std::system_error& e) {
    OVIX_LOG(kTagVideoInput, "Create video dispatch thread failed device=%d input=%p error=%d", deviceIndex,
             static_cast<void*>(this), e.code().value());
    return fail(OVIX_ERR_FAILED);
  }

  // running is set before the graph runs so that the first buffers are kept.
  running_.store(true, std::memory_order_release);
  hr = graph_->Run();
  if (Failed(hr)) {
    OVIX_LOG(kTagVideoInput, "DirectShow graph Run failed hr=0x%08X", static_cast<unsigned>(hr));
    return fail(OVIX_ERR_FAILED);
  }
  OVIX_LOG(kTagVideoInput, "DirectShow capture graph started");
  return OVIX_OK;
}

}  // namespace ovix
