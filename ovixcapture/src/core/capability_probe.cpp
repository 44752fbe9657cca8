// Which formats a video device can deliver: a small probe graph around the
// device reads its stream capabilities once per device and enumeration; and
// the device's and its crossbar's property pages.
#include <cstring>

#include "capture/format_score.h"
#include "capture/pixel_format.h"
#include "core/api_guard.h"
#include "core/device_registry.h"
#include "core/library_state.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "ovixcapture.h"
#include "platform/capture_graph.h"

using namespace ovix;

namespace {

// The rate a capability states: from the capability structure when it
// allows more than the average frame time says, else from the frame time.
int32_t ProbeFps(const platform::MediaType& type, const platform::StreamCaps* caps) {
  const int64_t a = type.avgTimePerFrame < 1 ? 0 : RateFromFrameTime(type.avgTimePerFrame);
  int64_t b = 0;
  if (caps) {
    const int64_t interval = caps->minFrameInterval >= 1 ? caps->minFrameInterval : caps->maxFrameInterval;
    b = interval >= 1 ? RateFromFrameTime(interval) : 0;
  }
  return static_cast<int32_t>(b > 0 && a < b ? b : a);
}

void RemoveAllFilters(platform::FilterGraph& graph) {
  for (const auto& f : graph.EnumFilters()) graph.RemoveFilter(*f);
}

bool Probe(OvixDeviceRegistry& registry, int device, std::vector<OvixVideoCapability>& out) {
  out.clear();
  std::unique_ptr<platform::CaptureMoniker> moniker;
  if (registry.FindVideoDevice(device, moniker) != OVIX_OK || !moniker) return false;
  std::shared_ptr<platform::Filter> filter;
  if (Failed(moniker->BindToFilter(filter)) || !filter) return false;
  std::unique_ptr<platform::FilterGraph> graph;
  std::unique_ptr<platform::CaptureGraphBuilder> builder;
  if (Failed(platform::CreateFilterGraph(graph)) || !graph) return false;
  if (Failed(platform::CreateCaptureGraphBuilder(builder)) || !builder) return false;
  builder->SetFiltergraph(graph.get());
  graph->AddFilter(filter, "OVIX Capability Probe");

  platform::StreamConfig* config = nullptr;
  if (Failed(builder->FindStreamConfig(*filter, config)) || !config) {
    RemoveAllFilters(*graph);
    return false;
  }
  int count = 0, size = 0;
  if (Succeeded(config->GetNumberOfCapabilities(count, size)) && count > 0 && size > 0) {
    for (int i = 0; i < count; ++i) {
      std::unique_ptr<platform::MediaType> type;
      platform::StreamCaps caps;
      if (Failed(config->GetStreamCaps(i, type, caps)) || !type) continue;
      if (!type->HasReadableVideoBlock()) continue;
      OvixVideoCapability c{};
      c.width = type->width;
      c.height = type->height < 0 ? -type->height : type->height;
      c.fps = ProbeFps(*type, size >= platform::kStreamConfigCapsSize ? &caps : nullptr);
      c.reserved = 1;
      c.format = SubtypeToPixelFormat(type->subtype);
      if (c.width > 0 && c.height > 0 && c.format >= OVIX_FORMAT_YUY2 && c.format <= OVIX_FORMAT_H264)
        out.push_back(c);
    }
  }
  RemoveAllFilters(*graph);
  return true;
}

// The device's capability list, probing it when it has not been probed
// since the last enumeration. Null when the lookup fails.
const std::vector<OvixVideoCapability>* CapabilityLookup(int device) {
  if (!library_state::IsInitialised()) return nullptr;
  OvixDeviceRegistry& registry = device_registry::Get();
  if (device < 0 || device >= registry.VideoCount()) return nullptr;
  if (registry.CapabilityLists().size() != static_cast<size_t>(registry.VideoCount())) registry.ResetCapabilityCache();
  auto& list = registry.CapabilityLists()[static_cast<size_t>(device)];
  if (registry.ProbedFlags()[static_cast<size_t>(device)]) return &list;
  OVIX_LOG(kTagCore, "Video capability probe begin device=%d", device);
  std::vector<OvixVideoCapability> probed;
  const bool ok = Probe(registry, device, probed);
  registry.ProbedFlags()[static_cast<size_t>(device)] = true;
  if (!ok) {
    list.clear();
    OVIX_LOG(kTagCore, "Video capability probe failed device=%d", device);
    return nullptr;
  }
  list = std::move(probed);
  OVIX_LOG(kTagCore, "Video capability cached device=%d count=%d", device, static_cast<int>(list.size()));
  return &list;
}

int CapabilityCount(int device) {
  const auto* list = CapabilityLookup(device);
  if (!list) return 0;
  const int n = static_cast<int>(list->size());
  OVIX_LOG(kTagCore, "Video capability count device=%d count=%d", device, n);
  return n;
}

int CapabilityAt(int device, int index, OvixVideoCapability* out) {
  if (!library_state::IsInitialised()) return OVIX_ERR_NOT_INITIALIZED;
  if (!out || index < 0) return OVIX_ERR_INVALID_ARG;
  const auto* list = CapabilityLookup(device);
  if (!list || static_cast<size_t>(index) >= list->size()) return OVIX_ERR_INVALID_ARG;
  *out = (*list)[static_cast<size_t>(index)];
  return OVIX_OK;
}

int ShowPages(void* parent, int device, bool crossbar) {
  if (!library_state::IsInitialised()) return OVIX_ERR_NOT_INITIALIZED;
  std::unique_ptr<platform::CaptureMoniker> moniker;
  if (device_registry::Get().FindVideoDevice(device, moniker) != OVIX_OK || !moniker) return OVIX_ERR_INVALID_ARG;
  std::shared_ptr<platform::Filter> filter;
  if (Failed(moniker->BindToFilter(filter)) || !filter) return OVIX_ERR_FAILED;

  std::unique_ptr<platform::FilterGraph> graph;
  std::shared_ptr<platform::PropertyPages> crossbarPages;
  platform::PropertyPages* pages = nullptr;
  if (!crossbar) {
    pages = filter->GetPropertyPages();
  } else {
    std::unique_ptr<platform::CaptureGraphBuilder> builder;
    if (Succeeded(platform::CreateFilterGraph(graph)) && graph) {
      graph->AddFilter(filter, "OVIX Property Probe");
      if (Succeeded(platform::CreateCaptureGraphBuilder(builder)) && builder) {
        builder->SetFiltergraph(graph.get());
        if (Succeeded(builder->FindCrossbar(*filter, crossbarPages))) pages = crossbarPages.get();
      }
    }
  }
  int result = OVIX_ERR_UNSUPPORTED;
  if (pages) {
    int count = 0;
    const HRESULT hr = pages->GetPages(count);
    if (hr == E_NOINTERFACE) result = OVIX_ERR_UNSUPPORTED;  // nothing that specifies pages
    else if (Failed(hr)) result = OVIX_ERR_FAILED;
    else if (count <= 0) result = OVIX_ERR_UNSUPPORTED;
    else {
      pages->Show(parent, 30, 30, crossbar ? "OVIX Crossbar" : "OVIX Video Device");
      result = OVIX_OK;
    }
  }
  if (graph) RemoveAllFilters(*graph);
  return result;
}

}  // namespace

extern "C" {

int OVIX_GetVideoCapabilityCount(int device) {
  return Guarded(0, [&]() -> int { return CapabilityCount(device); });
}

int OVIX_GetVideoCapability(int device, int index, OvixVideoCapability* out) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int { return CapabilityAt(device, index, out); });
}

int OVIX_GetVideoFormatCount(int device) {
  return Guarded(0, [&]() -> int { return CapabilityCount(device); });
}

int OVIX_GetVideoFormatInfo(int device, int index, OvixVideoCapability* out) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int { return CapabilityAt(device, index, out); });
}

int OVIX_ShowVideoDevicePropertyPage(void* parent, int device) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int { return ShowPages(parent, device, false); });
}

int OVIX_ShowVideoCrossbarPropertyPage(void* parent, int device) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int { return ShowPages(parent, device, true); });
}

}  // extern "C"
