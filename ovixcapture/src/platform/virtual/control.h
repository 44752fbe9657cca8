// Control API of the virtual platform, for the tests: define virtual cameras
// and audio endpoints with any name and identity, and make any named platform
// call fail. Internal: never exported from the shared library.
#pragma once

#include <optional>
#include <string>

#include "platform/audio_endpoint_provider.h"
#include "platform/hresult.h"

namespace ovix::virt {

inline constexpr const char kTestPatternName[] = "ovixcapture Test Pattern";
inline constexpr const char kTestPatternId[] = "ovix:virtual:video:test-pattern";
inline constexpr const char kTestToneName[] = "ovixcapture Test Tone";
inline constexpr const char kTestToneId[] = "ovix:virtual:audio-capture:test-tone";
inline constexpr const char kNullSpeakerName[] = "ovixcapture Null Speaker";
inline constexpr const char kNullSpeakerId[] = "ovix:virtual:audio-render:null-speaker";

struct CameraSpec {
  std::string id;                           // identity string (display name)
  std::optional<std::string> friendlyName;  // none: the property bag has no name
};

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

// Makes the named platform call fail with hr at its nth use from now on,
// for `times` consecutive uses (0: every use). Names used so far:
//   "CoInitializeEx", "MFStartup",
//   "SystemDeviceEnum", "CreateClassEnumerator", "GetDisplayName", "ReadFriendlyName",
//   "MMDeviceEnumerator", "EnumAudioEndpoints", "Item", "GetId", "OpenPropertyStore".
void FailCall(const char* call, HRESULT hr, int nth = 1, int times = 1);
// Counts the uses of a call from now on; CallUses reads the count.
void CountCall(const char* call);
int CallUses(const char* call);

}  // namespace ovix::virt
