// Control API of the virtual platform, for the tests: define virtual cameras
// and audio endpoints with any name and identity, and make any named platform
// call fail. Internal: never exported from the shared library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_endpoint_provider.h"
#include "platform/wave_format.h"
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
  // What GetMixFormat reports; a capture stream hands out packets in it.
  platform::WaveFormat mixFormat = platform::FloatWaveFormat(48000, 2);
  // Capture: a sine sweep in the mix format, one packet of 10 ms per period,
  // paced in real time while the stream runs (the built-in test tone).
  // Otherwise packets arrive only through PushCapturePacket.
  bool realTime = false;
  // Render: the stream buffer in frames; 0: the requested buffer duration at
  // the stream's rate.
  uint32_t bufferFrames = 0;
  // Render: the padding the stream reports; none: the speaker plays what it
  // is given at once (padding 0).
  std::optional<uint32_t> padding;
  // The virtual default endpoint of its flow; without one, the first
  // endpoint of the flow is the default.
  bool isDefault = false;
};

// The spec of the built-in test tone: 48 kHz float stereo, real time.
EndpointSpec TestToneSpec();
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

// Queues one capture packet (frames frames of the mix format, copied; data
// may be null for a packet without data) with its buffer flags, for the
// endpoint's newest initialised capture stream, and sets that stream's event.
// E_UNEXPECTED when the endpoint has no initialised capture stream.
HRESULT PushCapturePacket(const std::string& endpointId, const void* data, uint32_t frames, uint32_t flags = 0);
// Waits until the endpoint's newest initialised capture stream is started
// and not stopped since; false when timeoutMs passed first.
bool WaitForCaptureStart(const std::string& endpointId, int timeoutMs);
// Packets pushed but not yet taken by GetBuffer.
size_t PendingCapturePackets(const std::string& endpointId);

// What the render streams of one endpoint were given, since the last Reset.
struct RenderedAudio {
  std::vector<platform::WaveFormat> initialized;  // the format of every successful Initialize, in order
  std::vector<uint8_t> bytes;  // every released frame in order; silent releases as zeros
  uint64_t frames = 0;         // frames released
  uint64_t silentFrames = 0;   // of those, released with the silent flag
  int starts = 0, stops = 0, resets = 0;
  int openStreams = 0;         // streams initialised and not yet released
  bool running = false;        // the newest stream is started
};
RenderedAudio RenderedOf(const std::string& endpointId);
// Changes the padding the endpoint's render streams report (none: 0).
void SetRenderPadding(const std::string& endpointId, std::optional<uint32_t> padding);

// Makes the named platform call fail with hr at its nth use from now on,
// for `times` consecutive uses (0: every use). Names used so far:
//   "CoInitializeEx", "MFStartup",
//   "SystemDeviceEnum", "CreateClassEnumerator", "GetDisplayName", "ReadFriendlyName",
//   "MMDeviceEnumerator", "EnumAudioEndpoints", "Item", "GetId", "OpenPropertyStore",
//   "BindToFilter", "GetNumberOfCapabilities", "GetStreamCaps", "SetFormat", "GetFormat",
//   "EnumMediaTypes", "GetPages", and those of the capture graph (platform/capture_graph.h);
// audio: "GetDefaultAudioEndpoint", "GetDevice", "Activate", "GetMixFormat",
//   "Initialize", "SetEventHandle", "GetService", "GetBufferSize", "GetCurrentPadding",
//   "AudioClientStart", "AudioClientStop", "AudioClientReset", "GetNextPacketSize",
//   "CaptureGetBuffer", "CaptureReleaseBuffer", "RenderGetBuffer", "RenderReleaseBuffer",
//   "CreateEvent", "WaitForSingleObject", "CoTaskMemAlloc", "CoInitializeEx(MTA)",
//   "CreateThread";
// audio encoders (platform/audio_encoder_transform.h): "MFTEnumEx", "ActivateObject",
//   "GetStreamCount", "GetStreamIDs", "SetInputType", "SetOutputType",
//   "GetOutputStreamInfo", "ProcessInput", "ProcessOutput".
void FailCall(const char* call, HRESULT hr, int nth = 1, int times = 1);
// Counts the uses of a call from now on; CallUses reads the count.
void CountCall(const char* call);
int CallUses(const char* call);

}  // namespace ovix::virt
