// The capture graph: one implementation over any capture filter. A graph
// holds filters and connects their pins, explicitly with or without a media
// type, or intelligently (inserting an MJPG -> RGB32 decoder when the
// capture pin and the destination have no type in common). Its own filters
// are the sample grabber, which hands every buffer to a callback on the
// device's streaming thread and passes it on, and the null renderer, which
// ends the stream.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/capture_filter.h"

namespace ovix::platform {

// Receives every buffer that reaches the sample grabber (ISampleGrabberCB).
class SampleGrabberCallback {
 public:
  virtual ~SampleGrabberCallback() = default;
  virtual HRESULT SampleCB(double sampleTime) {
    (void)sampleTime;
    return S_OK;
  }
  virtual HRESULT BufferCB(double sampleTime, uint8_t* buffer, long length) = 0;
};

class SampleGrabber {
 public:
  virtual ~SampleGrabber() = default;
  // The media type its input pin accepts: major type, and subtype and format
  // kind unless they are the wildcard.
  virtual HRESULT SetMediaType(const MediaType& type) = 0;
  virtual HRESULT SetOneShot(bool oneShot) = 0;
  virtual HRESULT SetBufferSamples(bool buffer) = 0;
  // which: 0 SampleCB, 1 BufferCB. A null callback detaches; once it returns
  // no callback is running or will begin.
  virtual HRESULT SetCallback(std::shared_ptr<SampleGrabberCallback> callback, int which) = 0;
  // The type its input pin is connected with.
  virtual HRESULT GetConnectedMediaType(MediaType& out) = 0;
};

class FilterGraph {
 public:
  virtual ~FilterGraph() = default;
  virtual HRESULT AddFilter(std::shared_ptr<Filter> filter, const std::string& name) = 0;
  virtual HRESULT RemoveFilter(Filter& filter) = 0;
  // The filters in the graph, in the order they were added.
  virtual std::vector<std::shared_ptr<Filter>> EnumFilters() = 0;

  // Explicit connect (IFilterGraph::ConnectDirect), type may be null. A
  // fault raised inside the device ends it with E_UNEXPECTED and its code in
  // *faultCode (0 when none).
  virtual HRESULT ConnectDirect(Pin& out, Pin& in, const MediaType* type, uint32_t* faultCode) = 0;
  // Intelligent connect (IGraphBuilder::Connect): may add a decoder filter.
  virtual HRESULT Connect(Pin& out, Pin& in, uint32_t* faultCode) = 0;
  virtual HRESULT Disconnect(Pin& pin) = 0;

  // The media control (IMediaControl) of the graph.
  virtual HRESULT QueryMediaControl() = 0;
  virtual HRESULT Run() = 0;
  virtual HRESULT Stop() = 0;
};

class CaptureGraphBuilder {
 public:
  virtual ~CaptureGraphBuilder() = default;
  virtual HRESULT SetFiltergraph(FilterGraph* graph) = 0;
  // The capture-category video output pin of the filter (FindPin, index 0),
  // or null.
  virtual Pin* FindCapturePin(Filter& filter) = 0;
  // The stream configuration of the capture pin (FindInterface for
  // IAMStreamConfig); the pointer stays owned by the filter.
  virtual HRESULT FindStreamConfig(Filter& filter, StreamConfig*& out) = 0;
  // The crossbar upstream of the filter (FindInterface, look upstream only).
  virtual HRESULT FindCrossbar(Filter& filter, std::shared_ptr<PropertyPages>& out) = 0;
};

// The graph objects (CoCreateInstance of each class). Fault points
// "CreateFilterGraph", "CreateCaptureGraphBuilder", "CreateSampleGrabber",
// "QuerySampleGrabber", "CreateNullRenderer", and in the graph
// "AddFilter", "ConnectDirect", "Connect", "QueryMediaControl", "Run",
// "SetMediaType", "SetCallback", "GetConnectedMediaType", "SetFiltergraph".
HRESULT CreateFilterGraph(std::unique_ptr<FilterGraph>& out);
HRESULT CreateCaptureGraphBuilder(std::unique_ptr<CaptureGraphBuilder>& out);
HRESULT CreateSampleGrabber(std::shared_ptr<Filter>& out);
HRESULT QuerySampleGrabber(const std::shared_ptr<Filter>& filter, std::shared_ptr<SampleGrabber>& out);
HRESULT CreateNullRenderer(std::shared_ptr<Filter>& out);

// The first pin of a direction on a filter (IBaseFilter::EnumPins), or null.
Pin* FirstPin(Filter& filter, PinDirection direction);

// Whether the calling thread is inside FilterGraph::Connect, so that a
// device can tell an intelligent connect from an explicit one.
bool InIntelligentConnect();

}  // namespace ovix::platform
