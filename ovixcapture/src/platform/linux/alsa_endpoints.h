// The ALSA PCMs as audio endpoints: the device name hints, filtered to the
// PCMs that are devices in their own right, in hint order.
//
// A hint is listed unless its base name (the part before ':') is one of
//   null                               discards or yields zeros, no device
//   surround*, upmix, vdownmix         channel-layout views of a card
//   iec958, spdif                      the digital-passthrough view of a card
//   dmix, dsnoop, plughw               sharing and conversion layers over a card
//   lavrate, samplerate, speexrate     rate-conversion layers
//   usbstream                          a transport helper of some USB cards
// since each of those reaches a device already listed under another name
// (sysdefault, front, hw, default) or none at all. "default" stays: it is the
// user's chosen device. A name listed twice keeps its first place.
//
// Endpoint ids are "alsa:" + the PCM name; the flow comes from the hint's
// IOID ("Input": capture only, "Output": render only, none: both). An id
// names a PCM, not a flow: GetDevice resolves a PCM that plays both ways to
// its render endpoint (enumerated items keep their flow).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/audio_endpoint_provider.h"

namespace ovix::platform::alsa {

inline constexpr std::string_view kIdPrefix = "alsa:";
inline constexpr const char* kDefaultPcm = "default";

struct PcmHint {
  std::string name;
  std::string description;  // lines joined with ", "
  bool hasDescription = false;
  bool capture = true;
  bool render = true;
};

// Whether a hinted PCM name is listed (the rule above).
bool IsListedPcm(std::string_view name);
// A multi-line hint description as one line: "a\nb" -> "a, b".
std::string JoinDescription(std::string_view description);

// The listed hints now; 0 or a negative ALSA code.
int ListPcmHints(std::vector<PcmHint>& out);

// The provider the shared library registers.
AudioEndpointProvider& AlsaEndpointProvider();

}  // namespace ovix::platform::alsa
