#include "capture/capture_registry.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "capture/video_input.h"
#include "core/log.h"
#include "core/log_tags.h"

namespace ovix {

namespace {

std::mutex g_mutex;  // the capture subsystem's global lock; always exists
std::unique_ptr<OvixCaptureRegistry> g_registry;

OvixCaptureRegistry& Maps() {
  if (!g_registry) g_registry = std::make_unique<OvixCaptureRegistry>();
  return *g_registry;
}

void RemoveRequest(OvixCaptureRegistry& r, int32_t device, OvixVideoInput* input) {
  auto it = r.requests.find(device);
  if (it == r.requests.end()) return;
  auto& list = it->second;
  list.erase(std::remove(list.begin(), list.end(), input), list.end());
  if (list.empty()) r.requests.erase(it);
}

void AddRequest(OvixCaptureRegistry& r, int32_t device, OvixVideoInput* input) {
  auto& list = r.requests[device];
  if (std::find(list.begin(), list.end(), input) == list.end()) list.push_back(input);
}

}  // namespace

AggregatedRequest Aggregate(const std::vector<CaptureRequest>& requests) {
  AggregatedRequest out;
  bool h264 = false, mjpg = false, yuy2 = false, nv12 = false, rgb = false;
  for (const CaptureRequest& q : requests) {
    if (static_cast<int64_t>(q.width) * q.height > static_cast<int64_t>(out.width) * out.height) {
      out.width = q.width;
      out.height = q.height;
    }
    out.fps = std::max(out.fps, q.fps);
    switch (q.format) {
      case OVIX_FORMAT_H264: h264 = true; break;
      case OVIX_FORMAT_MJPG: mjpg = true; break;
      case OVIX_FORMAT_YUY2: yuy2 = true; break;
      case OVIX_FORMAT_NV12: nv12 = true; break;
      case OVIX_FORMAT_RGB24:
      case OVIX_FORMAT_RGB32: rgb = true; break;
      default: break;
    }
  }
  if (out.width <= 0) out.width = 1280;
  if (out.height <= 0) out.height = 720;
  if (out.fps <= 0) out.fps = 30;
  out.format = h264 ? OVIX_FORMAT_H264
               : mjpg ? OVIX_FORMAT_MJPG
               : yuy2 ? OVIX_FORMAT_YUY2
               : nv12 ? OVIX_FORMAT_NV12
               : rgb  ? OVIX_FORMAT_RGB32
                      : OVIX_FORMAT_YUY2;
  return out;
}

namespace capture_registry {

void Create() {
  std::lock_guard lock(g_mutex);
  Maps();
}

void Destroy() {
  std::lock_guard lock(g_mutex);
  g_registry.reset();
}

OvixVideoInput* FindActiveVideoSource(int32_t device) {
  std::lock_guard lock(g_mutex);
  auto& r = Maps();
  auto it = r.activeSources.find(device);
  return it == r.activeSources.end() ? nullptr : it->second;
}

void RegisterActiveVideoDevice(int32_t device, OvixVideoInput* input) {
  std::lock_guard lock(g_mutex);
  auto& r = Maps();
  r.activeSources[device] = input;
  AddRequest(r, device, input);
  OVIX_LOG(kTagVideoInput, "Register active video device index=%d source=%p", device, static_cast<void*>(input));
}

void UnregisterActiveVideoDevice(int32_t device, OvixVideoInput* input) {
  std::lock_guard lock(g_mutex);
  auto& r = Maps();
  auto it = r.activeSources.find(device);
  if (it != r.activeSources.end() && it->second == input) {
    r.activeSources.erase(it);
    OVIX_LOG(kTagVideoInput, "Unregister active video device index=%d source=%p", device, static_cast<void*>(input));
  }
  RemoveRequest(r, device, input);
}

void RegisterSharedRequest(int32_t device, OvixVideoInput* input) {
  if (!input) return;
  std::lock_guard lock(g_mutex);
  AddRequest(Maps(), device, input);
  OVIX_LOG(kTagVideoInput, "Register shared request device=%d input=%p request=%dx%d fps=%d fmt=%d", device,
           static_cast<void*>(input), input->requestedWidth, input->requestedHeight, input->requestedFps,
           input->requestedFormat);
}

void UnregisterSharedRequest(int32_t device, OvixVideoInput* input) {
  std::lock_guard lock(g_mutex);
  RemoveRequest(Maps(), device, input);
}

void AggregateCaptureRequests(int32_t device, int32_t* width, int32_t* height, int32_t* fps, int32_t* format) {
  if (!width || !height || !fps || !format) return;
  std::vector<CaptureRequest> list;
  {
    std::lock_guard lock(g_mutex);
    auto& r = Maps();
    auto it = r.requests.find(device);
    if (it != r.requests.end())
      for (OvixVideoInput* in : it->second)
        if (in) list.push_back({in->requestedWidth, in->requestedHeight, in->requestedFps, in->requestedFormat});
  }
  const AggregatedRequest a = Aggregate(list);
  *width = a.width;
  *height = a.height;
  *fps = a.fps;
  *format = a.format;
}

std::vector<OvixVideoInput*> Requests(int32_t device) {
  std::lock_guard lock(g_mutex);
  auto& r = Maps();
  auto it = r.requests.find(device);
  return it == r.requests.end() ? std::vector<OvixVideoInput*>{} : it->second;
}

}  // namespace capture_registry
}  // namespace ovix
