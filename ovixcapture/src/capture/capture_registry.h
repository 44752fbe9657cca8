// The process-wide capture registry: which input owns each device's graph
// (the active source), and which inputs request frames from each device.
// Every operation holds the registry's mutex for its whole duration and
// calls out only to the log.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace ovix {

class OvixVideoInput;

struct AggregatedRequest {
  int32_t width = 0, height = 0, fps = 0, format = 0;
};

class OvixCaptureRegistry {
 public:
  std::map<int32_t, OvixVideoInput*> activeSources;
  std::map<int32_t, std::vector<OvixVideoInput*>> requests;
};

namespace capture_registry {

// OVIX_Init and OVIX_Shutdown: create (if absent) and destroy the maps.
void Create();
void Destroy();

OvixVideoInput* FindActiveVideoSource(int32_t device);
void RegisterActiveVideoDevice(int32_t device, OvixVideoInput* input);
void UnregisterActiveVideoDevice(int32_t device, OvixVideoInput* input);
void RegisterSharedRequest(int32_t device, OvixVideoInput* input);
void UnregisterSharedRequest(int32_t device, OvixVideoInput* input);
// The largest requested picture, the highest rate and one preferred format.
void AggregateCaptureRequests(int32_t device, int32_t* width, int32_t* height, int32_t* fps, int32_t* format);
std::vector<OvixVideoInput*> Requests(int32_t device);

}  // namespace capture_registry

// The aggregation rule itself, over a list of (width, height, fps, format).
struct CaptureRequest {
  int32_t width, height, fps, format;
};
AggregatedRequest Aggregate(const std::vector<CaptureRequest>& requests);

}  // namespace ovix
