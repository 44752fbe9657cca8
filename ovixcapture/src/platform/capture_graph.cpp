#include "platform/capture_graph.h"

#include "platform/fault_points.h"
#include "platform/filter_graph.h"
#include "platform/null_renderer.h"
#include "platform/sample_grabber.h"

namespace ovix::platform {
namespace {

class CaptureGraphBuilderImpl final : public CaptureGraphBuilder {
 public:
  HRESULT SetFiltergraph(FilterGraph* graph) override {
    if (HRESULT hr = FaultCheck("SetFiltergraph"); Failed(hr)) return hr;
    if (!graph) return E_POINTER;
    graph_ = graph;
    return S_OK;
  }

  // The category alone decides: asking the pin for its types here would
  // count as a use of the device's type enumeration.
  Pin* FindCapturePin(Filter& filter) override {
    for (Pin* pin : filter.Pins()) {
      if (pin && pin->Direction() == PinDirection::Output && pin->IsCaptureCategory()) return pin;
    }
    return nullptr;
  }

  HRESULT FindStreamConfig(Filter& filter, StreamConfig*& out) override {
    out = filter.GetStreamConfig();
    return out ? S_OK : E_NOINTERFACE;
  }

  HRESULT FindCrossbar(Filter& filter, std::shared_ptr<PropertyPages>& out) override {
    out = filter.FindCrossbar();
    return out ? S_OK : VFW_E_NOT_FOUND;
  }

 private:
  FilterGraph* graph_ = nullptr;  // not owned, as the builder only refers to it
};

}  // namespace

HRESULT CreateFilterGraph(std::unique_ptr<FilterGraph>& out) {
  out.reset();
  if (HRESULT hr = FaultCheck("CreateFilterGraph"); Failed(hr)) return hr;
  out = MakeFilterGraph();
  return S_OK;
}

HRESULT CreateCaptureGraphBuilder(std::unique_ptr<CaptureGraphBuilder>& out) {
  out.reset();
  if (HRESULT hr = FaultCheck("CreateCaptureGraphBuilder"); Failed(hr)) return hr;
  out = std::make_unique<CaptureGraphBuilderImpl>();
  return S_OK;
}

HRESULT CreateSampleGrabber(std::shared_ptr<Filter>& out) {
  out.reset();
  if (HRESULT hr = FaultCheck("CreateSampleGrabber"); Failed(hr)) return hr;
  out = std::make_shared<SampleGrabberFilter>();
  return S_OK;
}

HRESULT QuerySampleGrabber(const std::shared_ptr<Filter>& filter, std::shared_ptr<SampleGrabber>& out) {
  out.reset();
  if (HRESULT hr = FaultCheck("QuerySampleGrabber"); Failed(hr)) return hr;
  if (!filter) return E_POINTER;
  out = std::dynamic_pointer_cast<SampleGrabber>(filter);
  return out ? S_OK : E_NOINTERFACE;
}

HRESULT CreateNullRenderer(std::shared_ptr<Filter>& out) {
  out.reset();
  if (HRESULT hr = FaultCheck("CreateNullRenderer"); Failed(hr)) return hr;
  out = std::make_shared<NullRendererFilter>();
  return S_OK;
}

Pin* FirstPin(Filter& filter, PinDirection direction) {
  for (Pin* pin : filter.Pins()) {
    if (pin && pin->Direction() == direction) return pin;
  }
  return nullptr;
}

}  // namespace ovix::platform
