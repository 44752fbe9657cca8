// Choosing the capture format of a device for the aggregate of every input
// that requests frames from it, and setting it on the capture pin.
#include "capture/capture_registry.h"
#include "capture/format_score.h"
#include "capture/video_input.h"
#include "core/log.h"
#include "core/log_tags.h"

namespace ovix {

void OvixVideoInput::NegotiateCaptureFormat(platform::Filter& capture) {
  platform::StreamConfig* config = nullptr;
  const HRESULT hrFind = builder_->FindStreamConfig(capture, config);
  if (Failed(hrFind) || !config) {
    OVIX_LOG(kTagVideoInput, "IAMStreamConfig not available hr=0x%08X", static_cast<unsigned>(hrFind));
    return;
  }
  int count = 0, size = 0;
  const HRESULT hrCount = config->GetNumberOfCapabilities(count, size);
  if (Failed(hrCount) || count <= 0 || size <= 0) {
    OVIX_LOG(kTagVideoInput, "GetNumberOfCapabilities failed hr=0x%08X count=%d size=%d",
             static_cast<unsigned>(hrCount), count, size);
    return;
  }

  AggregatedRequest req;
  req.format = OVIX_FORMAT_YUY2;
  capture_registry::AggregateCaptureRequests(deviceIndex, &req.width, &req.height, &req.fps, &req.format);
  OVIX_LOG(kTagVideoInput, "Capture format negotiation device=%d requested=%dx%d fps=%d preferredFmt=%d", deviceIndex,
           req.width, req.height, req.fps, req.format);

  std::unique_ptr<platform::MediaType> best;
  CapabilityScore bestScore;
  int64_t bestValue = -1;
  for (int i = 0; i < count; ++i) {
    std::unique_ptr<platform::MediaType> type;
    platform::StreamCaps caps;
    if (Failed(config->GetStreamCaps(i, type, caps)) || !type) continue;
    const CapabilityScore s = ScoreCapability(*type, size >= platform::kStreamConfigCapsSize ? &caps : nullptr, req);
    const bool better = s.usable && s.score > bestValue;
    OVIX_LOG(kTagVideoInput, "Caps[%d] %dx%d fps=%d subtypeFmt=%d usable=%d score=%lld better=%d", i, s.width,
             s.height, s.fps, s.format, s.usable ? 1 : 0, static_cast<long long>(s.score), better ? 1 : 0);
    if (better) {
      best = std::move(type);
      bestScore = s;
      bestValue = s.score;
    }
  }

  if (!best) {
    OVIX_LOG(kTagVideoInput, "No preferred capture format found. DirectShow will choose the nearest format.");
    return;
  }
  if (best->HasReadableVideoBlock() && bestScore.fps > 0) best->avgTimePerFrame = 10'000'000 / bestScore.fps;
  const HRESULT hrSet = config->SetFormat(*best);
  OVIX_LOG(kTagVideoInput,
           "Preferred capture format set hr=0x%08X requested=%dx%d fps=%d selected=%dx%d fps=%d fmt=%d "
           "policy=request-max,H264,MJPG,YUY2,NV12,RGB",
           static_cast<unsigned>(hrSet), req.width, req.height, req.fps, bestScore.width, bestScore.height,
           bestScore.fps, bestScore.format);
  if (Succeeded(hrSet)) {
    selectedWidth = bestScore.width;
    selectedHeight = bestScore.height;
    selectedFps = bestScore.fps;
    selectedFormat = bestScore.format;
  }
}

}  // namespace ovix
