// Audio endpoints as the platform lists them: the active capture or playback
// endpoints in a stable order, each with an endpoint id and a friendly name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

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
  // Stands for creating the endpoint enumerator and listing the active
  // endpoints of one data flow.
  virtual HRESULT EnumerateEndpoints(AudioFlow flow, std::unique_ptr<AudioEndpointCollection>& out) = 0;
};

}  // namespace ovix::platform
