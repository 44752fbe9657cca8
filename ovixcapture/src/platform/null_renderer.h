// The null renderer: ends a stream, accepting any type and discarding every
// buffer.
#pragma once

#include "platform/filter_graph.h"

namespace ovix::platform {

class NullRendererFilter final : public GraphFilter {
 public:
  NullRendererFilter() : input_(*this) {}
  std::vector<Pin*> Pins() override { return {&input_}; }

 private:
  class InputPin final : public GraphInputPin {
   public:
    explicit InputPin(NullRendererFilter& renderer) : GraphInputPin(renderer), renderer_(renderer) {}
    HRESULT QueryAccept(const MediaType&) override { return S_OK; }
    HRESULT Receive(const uint8_t* data, size_t length, int64_t sampleTime) override;

   private:
    NullRendererFilter& renderer_;
  };

  InputPin input_;
};

}  // namespace ovix::platform
