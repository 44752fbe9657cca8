// Audio endpoints as the platform lists them: the active capture or playback
// endpoints in a stable order, each with an endpoint id and a friendly name,
// and the stream that opens on it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio_client.h"
#include "platform/hresult.h"

namespace ovix::platform {

enum class AudioFlow { Capture, Render };

class AudioEndpoint {
 public:
  virtual ~AudioEndpoint() = default;
  // The endpoint id, UTF-8.
  virtual HRESULT GetId(std::string& out) = 0;
  // The friendly name from the endpoint's property store, UTF-8. S_FALSE when
  // the store holds no text under that key.
  virtual HRESULT ReadFriendlyName(std::string& out) = 0;
  // A new, uninitialised stream on the endpoint.
  virtual HRESULT Activate(std::unique_ptr<AudioClient>& out) = 0;
};

class AudioEndpointCollection {
 public:
  virtual ~AudioEndpointCollection() = default;
  virtual HRESULT GetCount(uint32_t& count) = 0;
  virtual HRESULT Item(uint32_t index, std::unique_ptr<AudioEndpoint>& out) = 0;
};

class AudioEndpointProvider {
 public:
  virtual ~AudioEndpointProvider() = default;
  // Lists the active endpoints of one data flow.
  virtual HRESULT EnumerateEndpoints(AudioFlow flow, std::unique_ptr<AudioEndpointCollection>& out) = 0;
  // The provider's default endpoint of a flow; E_NOTFOUND when it has none.
  virtual HRESULT GetDefaultEndpoint(AudioFlow flow, std::unique_ptr<AudioEndpoint>& out) = 0;
  // The active endpoint with this id; E_NOTFOUND when the provider has none.
  virtual HRESULT GetDevice(const std::string& id, std::unique_ptr<AudioEndpoint>& out) = 0;
};

// The endpoint enumerator over every provider, real endpoints first.
class AudioDeviceEnumerator {
 public:
  // Stands for creating the multimedia device enumerator. Fault point
  // "MMDeviceEnumerator".
  static HRESULT Create(std::unique_ptr<AudioDeviceEnumerator>& out);

  // A provider whose enumeration fails contributes nothing; the result fails
  // only when every provider failed.
  HRESULT EnumAudioEndpoints(AudioFlow flow, std::unique_ptr<AudioEndpointCollection>& out);
  // The first provider's default endpoint that has one (the real ones first).
  // Fault point "GetDefaultAudioEndpoint".
  HRESULT GetDefaultAudioEndpoint(AudioFlow flow, std::unique_ptr<AudioEndpoint>& out);
  // Fault point "GetDevice".
  HRESULT GetDevice(const std::string& id, std::unique_ptr<AudioEndpoint>& out);
};

}  // namespace ovix::platform
