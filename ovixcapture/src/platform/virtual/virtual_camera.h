// A virtual camera bound to a filter: one capture-category output pin with
// its stream configuration, optional property pages and crossbar, and a
// stream of buffers that is either paced in real time by a streaming thread
// of its own or pushed on demand by the control API.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/capture_filter.h"
#include "platform/virtual/control.h"

namespace ovix::virt {

class TestPattern;

// A driver fault armed for the connects of one camera, shared by every
// filter bound for it. It counts the calls of the capture pin's Connect of
// one kind: those made inside the graph's intelligent connect, or all the
// others (explicit connects). One intelligent connect may call the pin
// several times (direct, each offered type, through a decoder); each call
// counts.
class ConnectFault {
 public:
  // The nth matching call from now on raises the fault, once.
  void Arm(uint32_t code, int nth, bool intelligent);
  void Disarm();
  // Called first thing in every Connect of the camera's pin; throws
  // platform::DeviceFault when this is the armed call.
  void OnConnect(bool intelligent);

 private:
  std::mutex mutex_;
  bool armed_ = false;
  bool intelligent_ = false;
  int remaining_ = 0;
  uint32_t code_ = 0;
};

// Where "shown" property pages are reported: the caption of each.
using PagesShownSink = std::function<void(const std::string& caption)>;

class VirtualCamera final : public platform::Filter {
 public:
  // spec.capabilities must be complete (the built-in list already filled in).
  VirtualCamera(CameraSpec spec, std::shared_ptr<ConnectFault> fault, PagesShownSink pagesShown);
  ~VirtualCamera() override;

  std::vector<platform::Pin*> Pins() override;
  platform::StreamConfig* GetStreamConfig() override;
  platform::PropertyPages* GetPropertyPages() override;
  std::shared_ptr<platform::PropertyPages> FindCrossbar() override;
  HRESULT Run() override;
  HRESULT Stop() override;

  // Control API. Both push on the calling thread to the connected peer of
  // the running filter; E_UNEXPECTED when it is not running or not connected.
  HRESULT DeliverBuffer(const uint8_t* data, size_t length);
  HRESULT DeliverFrames(int count);
  bool IsRunning() const;
  std::optional<platform::MediaType> ConnectedType() const;

 private:
  class CapturePin;
  class Config;
  class Pages;
  struct Streamer;

  // One delivery to the peer: while it is open the peer stays connected and
  // Stop waits for it to close; an opened delivery closes itself.
  struct Delivery {
    VirtualCamera* owner = nullptr;  // set once opened
    platform::Pin* peer = nullptr;
    std::shared_ptr<TestPattern> pattern;
    int64_t sampleTime = 0;
    Delivery() = default;
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;
    ~Delivery() {
      if (owner) owner->CloseDelivery();
    }
  };
  HRESULT OpenDelivery(Delivery& d);
  void CloseDelivery();
  // Waits, with mutex_ held by lock, until no delivery but the calling
  // thread's own is in flight.
  void WaitDeliveriesIdle(std::unique_lock<std::mutex>& lock);
  // Joins a streaming thread that a stop from inside its own delivery left.
  void EndLingeringThread();

  const CameraSpec spec_;
  const std::shared_ptr<ConnectFault> fault_;
  std::unique_ptr<CapturePin> pin_;
  std::unique_ptr<Config> config_;
  std::unique_ptr<Pages> pages_;
  std::shared_ptr<Pages> crossbar_;

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  // Guarded by mutex_.
  std::optional<platform::MediaType> format_;  // set with SetFormat
  platform::Pin* peer_ = nullptr;
  platform::MediaType connection_;
  bool connecting_ = false;
  bool running_ = false;
  int inFlight_ = 0;
  int64_t runStartNs_ = 0;
  std::shared_ptr<TestPattern> pattern_;
  std::shared_ptr<Streamer> streamer_;
  std::shared_ptr<Streamer> lingering_;
};

}  // namespace ovix::virt
