// Control API of the virtual platform, for the tests: define virtual cameras
// and audio endpoints with any name and identity, and make any named platform
// call fail. Internal: never exported from the shared library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_endpoint_provider.h"
#include "platform/hresult.h"
#include "platform/media_type.h"

namespace ovix::virt {

inline constexpr const char kTestPatternName[] = "ovixcapture Test Pattern";
inline constexpr const char kTestPatternId[] = "ovix:virtual:video:test-pattern";
inline constexpr const char kTestToneName[] = "ovixcapture Test Tone";
inline constexpr const char kTestToneId[] = "ovix:virtual:audio-capture:test-tone";
inline constexpr const char kNullSpeakerName[] = "ovixcapture Null Speaker";
inline constexpr const char kNullSpeakerId[] = "ovix:virtual:audio-render:null-speaker";

// One capability as the camera reports it: the exact media type (subtype,
// format block kind and declared length, width, signed height, average
// frame time) and its capability structure.
struct VirtualCapability {
  platform::MediaType type;
  platform::StreamCaps caps;
};

// A capability with a VIDEOINFOHEADER block at fps (0: no frame time and
// no intervals), its intervals allowing exactly that rate.
VirtualCapability Capability(uint32_t subtype, int32_t width, int32_t height, int fps);

struct CameraSpec {
  std::string id;                           // identity string (display name)
  std::optional<std::string> friendlyName;  // none: the property bag has no name
  // The capability list; empty: the built-in test pattern's list.
  std::vector<VirtualCapability> capabilities;
  int capsStructSize = platform::kStreamConfigCapsSize;  // as GetNumberOfCapabilities reports it
  bool hasStreamConfig = true;
  // The capture pin's preferred types (EnumMediaTypes); empty: the types of
  // the capabilities, in order.
  std::vector<platform::MediaType> preferredTypes;
  // Explicit connects that name a media type are refused
  // (VFW_E_NO_ACCEPTABLE_TYPES); connects without one still work.
  bool refuseTypedConnect = false;
  bool hasPropertyPages = false;
  bool hasCrossbar = false;
  bool crossbarHasPropertyPages = true;
  // Paced in real time at the connected rate while the graph runs; otherwise
  // buffers arrive only through DeliverBuffer / DeliverFrames.
  bool realTime = false;
};

// The built-in test pattern camera's spec: YUY2, NV12, RGB24 (bottom-up and
// top-down), RGB32, MJPG and H.264 at 640x480, 1280x720 and 1920x1080 and
// 15, 30 and 60 frames a second, paced in real time.
CameraSpec TestPatternSpec();

struct EndpointSpec {
  platform::AudioFlow flow = platform::AudioFlow::Capture;
  std::string id;
  std::optional<std::string> friendlyName;
};

// Back to the built-in devices only, every fault cleared.
void Reset();
// No virtual devices at all (the real backends still list theirs).
void ClearDevices();

void AddCamera(CameraSpec spec);
bool RemoveCamera(const std::string& id);
void AddEndpoint(EndpointSpec spec);
bool RemoveEndpoint(const std::string& id);

// Buffers on demand, delivered on the calling thread as if it were the
// device's streaming thread, through the camera's connected output. The
// camera must be bound and its graph running; E_UNEXPECTED otherwise.
HRESULT DeliverBuffer(const std::string& cameraId, const uint8_t* data, size_t length);
// count generated frames (the moving test pattern with its frame counter)
// in the connected format, on the calling thread.
HRESULT DeliverFrames(const std::string& cameraId, int count);
// Whether the camera's graph is running (its filter is bound and running).
bool IsStreaming(const std::string& cameraId);
// The format the camera's capture pin is connected with.
std::optional<platform::MediaType> ConnectedType(const std::string& cameraId);

// Makes the next connect into the named camera raise a device fault with
// code (explicit connects of its capture pin at their nth use from now on;
// intelligent connects when intelligent is true).
void RaiseFaultInConnect(const std::string& cameraId, uint32_t code, int nth = 1, bool intelligent = false);

// Property pages shown so far (the virtual camera "shows" them by counting),
// with the caption of the last.
int PropertyPagesShown();
std::string LastPropertyPageCaption();

// Makes the named platform call fail with hr at its nth use from now on,
// for `times` consecutive uses (0: every use). Names used so far:
//   "CoInitializeEx", "MFStartup",
//   "SystemDeviceEnum", "CreateClassEnumerator", "GetDisplayName", "ReadFriendlyName",
//   "MMDeviceEnumerator", "EnumAudioEndpoints", "Item", "GetId", "OpenPropertyStore",
//   "BindToFilter", "GetNumberOfCapabilities", "GetStreamCaps", "SetFormat", "GetFormat",
//   "EnumMediaTypes", "GetPages", and those of the capture graph (platform/capture_graph.h).
void FailCall(const char* call, HRESULT hr, int nth = 1, int times = 1);
// Counts the uses of a call from now on; CallUses reads the count.
void CountCall(const char* call);
int CallUses(const char* call);

}  // namespace ovix::virt
