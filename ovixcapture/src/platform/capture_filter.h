// A capture device bound to a filter: its pins, its stream configuration,
// its crossbar and property pages, and the pin protocol the capture graph
// connects through. Devices implement the output side; the graph's own
// filters (the sample grabber, the null renderer, decoders) implement both.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/hresult.h"
#include "platform/media_type.h"

namespace ovix::platform {

class Filter;

enum class PinDirection { Input, Output };

// One pin. Pins are owned by their filter; the graph holds filters by shared
// ownership, so a pin lives as long as its filter.
class Pin {
 public:
  virtual ~Pin() = default;
  virtual PinDirection Direction() const = 0;
  virtual Filter& Owner() = 0;
  // Output pins of a capture device: the capture category.
  virtual bool IsCaptureCategory() const { return false; }

  // The types this pin prefers, best first (IPin::EnumMediaTypes).
  virtual HRESULT EnumMediaTypes(std::vector<MediaType>& out) = 0;
  // Input pins: whether a connection with this type would be accepted.
  virtual HRESULT QueryAccept(const MediaType& mt) = 0;

  // Connection bookkeeping, driven by the graph: an output pin is asked to
  // connect to a peer with a type (or with one it chooses when type is null);
  // it offers the type to the input pin with ReceiveConnection.
  virtual HRESULT Connect(Pin& peer, const MediaType* type) = 0;
  virtual HRESULT ReceiveConnection(Pin& peer, const MediaType& type) = 0;
  virtual HRESULT Disconnect() = 0;
  virtual Pin* ConnectedTo() = 0;
  virtual HRESULT ConnectionMediaType(MediaType& out) = 0;

  // Input pins: one buffer of the stream, on the upstream streaming thread.
  virtual HRESULT Receive(const uint8_t* data, size_t length, int64_t sampleTime) = 0;
};

// The stream configuration of a capture pin (IAMStreamConfig).
class StreamConfig {
 public:
  virtual ~StreamConfig() = default;
  virtual HRESULT GetNumberOfCapabilities(int& count, int& size) = 0;
  // The index-th capability; caps is filled when the structure size is at
  // least kStreamConfigCapsSize.
  virtual HRESULT GetStreamCaps(int index, std::unique_ptr<MediaType>& type, StreamCaps& caps) = 0;
  virtual HRESULT SetFormat(const MediaType& type) = 0;
  virtual HRESULT GetFormat(std::unique_ptr<MediaType>& type) = 0;
};

// Something that can show property pages (ISpecifyPropertyPages).
class PropertyPages {
 public:
  virtual ~PropertyPages() = default;
  virtual HRESULT GetPages(int& count) = 0;
  // Shows the pages modally, owned by parent, with the caption; returns when
  // the user closes them.
  virtual HRESULT Show(void* parent, int x, int y, const char* caption) = 0;
};

enum class FilterState { Stopped, Running };

class Filter {
 public:
  virtual ~Filter() = default;
  virtual std::vector<Pin*> Pins() = 0;
  // Capture devices: their stream configuration on the capture pin, or null.
  virtual StreamConfig* GetStreamConfig() { return nullptr; }
  // The filter's own property pages, or null when it has none.
  virtual PropertyPages* GetPropertyPages() { return nullptr; }
  // The crossbar upstream of a capture device; null when there is none.
  virtual std::shared_ptr<PropertyPages> FindCrossbar() { return nullptr; }
  // Graph state changes. A capture device starts its streaming thread on
  // Run and ends it (joined) before Stop returns.
  virtual HRESULT Run() { return S_OK; }
  virtual HRESULT Stop() { return S_OK; }
};

// A fault raised inside a device during a platform call (a driver crash in
// the connect path). The capture graph contains it: the call ends with
// E_UNEXPECTED and the code is handed to the caller for its log line.
struct DeviceFault {
  uint32_t code;  // e.g. 0xC0000005, an access violation
};

}  // namespace ovix::platform
