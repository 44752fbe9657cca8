// A capture device written against the pin protocol alone, the way a
// device backend writes it: one capture-category output pin (optionally
// behind a preview pin) with a list of preferred types, optional refusal of
// typed connects, a fault raised inside a connect on demand, and buffers
// pushed through its connection on the calling thread. It refuses to
// disconnect while running.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/capture_filter.h"
#include "platform/capture_graph.h"

namespace ovix::test {

class FakeCaptureFilter final : public platform::Filter {
 public:
  using MediaType = platform::MediaType;
  using Pin = platform::Pin;

  explicit FakeCaptureFilter(std::vector<MediaType> preferred, bool refuseTypedConnect = false,
                             bool previewPinFirst = false)
      : capture_(*this, std::move(preferred), refuseTypedConnect, true), preview_(*this, {}, false, false),
        previewFirst_(previewPinFirst) {}

  std::vector<Pin*> Pins() override {
    if (previewFirst_) return {&preview_, &capture_};
    return {&capture_};
  }
  Pin& Output() { return capture_; }

  // The next connect of the capture pin raises a device fault with code,
  // before offering a type to the peer or after the peer accepted it.
  void FaultInNextConnect(uint32_t code, bool afterPeerAccepted = false) {
    capture_.faultCode = code;
    capture_.faultAfterAccept = afterPeerAccepted;
  }
  // Whether the last connect of the capture pin ran inside an intelligent
  // connect.
  bool LastConnectWasIntelligent() const { return capture_.lastIntelligent; }

  // One buffer through the connection, as the streaming thread does.
  HRESULT Push(const uint8_t* data, size_t length, int64_t sampleTime = 0) {
    Pin* peer = capture_.ConnectedTo();
    if (!peer) return VFW_E_NOT_CONNECTED;
    return peer->Receive(data, length, sampleTime);
  }
  HRESULT Push(const std::vector<uint8_t>& bytes, int64_t sampleTime = 0) {
    return Push(bytes.data(), bytes.size(), sampleTime);
  }

  // Actions the device takes as the graph starts and stops it: a device
  // that delivers as soon as it runs, and one that flushes a last buffer
  // before its Stop returns.
  std::function<void()> onRun, onStop;
  std::atomic<int> runs{0}, stops{0};
  platform::StreamConfig* streamConfig = nullptr;
  std::shared_ptr<platform::PropertyPages> crossbar;

  platform::StreamConfig* GetStreamConfig() override { return streamConfig; }
  std::shared_ptr<platform::PropertyPages> FindCrossbar() override { return crossbar; }
  HRESULT Run() override {
    ++runs;
    running_ = true;
    if (onRun) onRun();
    return S_OK;
  }
  HRESULT Stop() override {
    if (onStop) onStop();
    running_ = false;
    ++stops;
    return S_OK;
  }

 private:
  class OutputPin final : public Pin {
   public:
    OutputPin(FakeCaptureFilter& owner, std::vector<MediaType> preferred, bool refuseTyped, bool capture)
        : owner_(owner), preferred_(std::move(preferred)), refuseTyped_(refuseTyped), capture_(capture) {}

    platform::PinDirection Direction() const override { return platform::PinDirection::Output; }
    platform::Filter& Owner() override { return owner_; }
    bool IsCaptureCategory() const override { return capture_; }
    HRESULT EnumMediaTypes(std::vector<MediaType>& out) override {
      out = preferred_;
      return S_OK;
    }
    HRESULT QueryAccept(const MediaType&) override { return S_FALSE; }

    HRESULT Connect(Pin& peer, const MediaType* type) override {
      lastIntelligent = platform::InIntelligentConnect();
      if (faultCode && !faultAfterAccept) throw platform::DeviceFault{std::exchange(faultCode, 0)};
      if (ConnectedTo()) return MakeHr(0x80040204u);  // already connected
      if (type && refuseTyped_) return VFW_E_NO_ACCEPTABLE_TYPES;
      std::vector<MediaType> candidates = type ? std::vector<MediaType>{*type} : preferred_;
      HRESULT result = VFW_E_NO_ACCEPTABLE_TYPES;
      for (const MediaType& candidate : candidates) {
        if (!type && peer.QueryAccept(candidate) != S_OK) continue;
        if (HRESULT hr = peer.ReceiveConnection(*this, candidate); Failed(hr)) {
          if (type) result = hr;  // a named type: the peer's answer
          continue;
        }
        // The peer already holds the link when this fault is raised.
        if (faultCode) throw platform::DeviceFault{std::exchange(faultCode, 0)};
        std::lock_guard lock(mutex_);
        peer_ = &peer;
        type_ = candidate;
        return S_OK;
      }
      return result;
    }
    HRESULT ReceiveConnection(Pin&, const MediaType&) override { return E_UNEXPECTED; }
    // Like a device whose streaming thread holds the link while it runs.
    HRESULT Disconnect() override {
      if (owner_.running_) return MakeHr(0x80040224u);  // not stopped
      std::lock_guard lock(mutex_);
      if (!peer_) return S_FALSE;
      peer_ = nullptr;
      return S_OK;
    }
    Pin* ConnectedTo() override {
      std::lock_guard lock(mutex_);
      return peer_;
    }
    HRESULT ConnectionMediaType(MediaType& out) override {
      std::lock_guard lock(mutex_);
      if (!peer_) return VFW_E_NOT_CONNECTED;
      out = type_;
      return S_OK;
    }
    HRESULT Receive(const uint8_t*, size_t, int64_t) override { return E_UNEXPECTED; }

    uint32_t faultCode = 0;
    bool faultAfterAccept = false;
    bool lastIntelligent = false;

   private:
    FakeCaptureFilter& owner_;
    const std::vector<MediaType> preferred_;
    const bool refuseTyped_;
    const bool capture_;
    std::mutex mutex_;
    Pin* peer_ = nullptr;
    MediaType type_;
  };

  std::atomic<bool> running_{false};
  OutputPin capture_;
  OutputPin preview_;
  const bool previewFirst_;
};

}  // namespace ovix::test
