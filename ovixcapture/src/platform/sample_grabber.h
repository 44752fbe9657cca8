// The sample grabber: an in-place filter that hands every buffer reaching
// its input to a callback, on the upstream streaming thread, and passes it
// on unchanged through its output.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/filter_graph.h"

namespace ovix::platform {

class SampleGrabberFilter final : public GraphFilter, public SampleGrabber {
 public:
  SampleGrabberFilter() : input_(*this), output_(*this) {}

  std::vector<Pin*> Pins() override { return {&input_, &output_}; }

  HRESULT SetMediaType(const MediaType& type) override;
  HRESULT SetOneShot(bool oneShot) override;
  HRESULT SetBufferSamples(bool buffer) override;
  HRESULT SetCallback(std::shared_ptr<SampleGrabberCallback> callback, int which) override;
  HRESULT GetConnectedMediaType(MediaType& out) override;

 private:
  class InputPin final : public GraphInputPin {
   public:
    explicit InputPin(SampleGrabberFilter& grabber) : GraphInputPin(grabber), grabber_(grabber) {}
    HRESULT QueryAccept(const MediaType& type) override;
    HRESULT Receive(const uint8_t* data, size_t length, int64_t sampleTime) override;

   private:
    SampleGrabberFilter& grabber_;
  };

  // Offers exactly the input's connected type: the buffers pass unchanged.
  class OutputPin final : public GraphOutputPin {
   public:
    explicit OutputPin(SampleGrabberFilter& grabber) : GraphOutputPin(grabber), grabber_(grabber) {}
    HRESULT EnumMediaTypes(std::vector<MediaType>& out) override;
    HRESULT QueryAccept(const MediaType& type) override;

   private:
    SampleGrabberFilter& grabber_;
  };

  bool Accepts(const MediaType& type) const;
  HRESULT OnReceive(const uint8_t* data, size_t length, int64_t sampleTime);

  InputPin input_;
  OutputPin output_;

  mutable std::mutex mutex_;
  std::condition_variable retiredIdle_;
  MediaType requested_;  // all wildcard until SetMediaType
  bool oneShot_ = false;
  bool bufferSamples_ = false;
  std::shared_ptr<SampleGrabberCallback> callback_;
  int which_ = 0;
  // Calls in progress into the installed callback, and into callbacks
  // replaced while those calls were under way; SetCallback waits for the
  // latter. A call counts itself under the generation it started in.
  uint64_t generation_ = 0;
  int currentCalls_ = 0;
  int retiredCalls_ = 0;
};

}  // namespace ovix::platform
