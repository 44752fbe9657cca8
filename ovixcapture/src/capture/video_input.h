// The source port that reads a video capture device. The first input that
// starts on a device builds the capture graph and becomes the device's
// source; every further input on that device becomes a shared client fed by
// the source's dispatch thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "capture/shared_client_slot.h"
#include "core/port_base.h"
#include "platform/capture_graph.h"
#include "platform/sent_calls.h"

namespace ovix {

class OvixSampleGrabberCallback;

// A frame waiting for the dispatch thread, with the bytes it points into.
struct QueuedVideoFrame {
  OvixVideoFrame frame{};
  std::unique_ptr<uint8_t[]> bytes;
};

class OvixVideoInput final : public OvixPortBase {
 public:
  OvixVideoInput();
  ~OvixVideoInput() override;

  int Start() override;
  int Stop() override;
  int OnVideoFrame(const OvixVideoFrame* frame) override;
  int SetVideoFrameCallback(OvixVideoFrameCallback fn, void* user) override;

  // Configuration (the exported setters).
  int32_t deviceIndex = 0;
  int32_t selectedWidth = 1280, selectedHeight = 720, selectedFps = 30, selectedFormat = OVIX_FORMAT_RGB32;
  int32_t requestedWidth = 1280, requestedHeight = 720, requestedFps = 30, requestedFormat = OVIX_FORMAT_RGB32;
  int32_t colorSpace = 0, range = 0, buffers = 4;

  bool IsRunning() const { return running_.load(std::memory_order_acquire); }
  bool IsSharedClient() const { return sharedClient_.load(std::memory_order_acquire); }
  OvixVideoInput* SharedSource() const { return sharedSource_.load(std::memory_order_acquire); }
  bool BottomUp() const { return bottomUp_; }

  // For the tests: the slot a shared client holds, and a registration.
  std::shared_ptr<SharedClientSlot> SlotForTest() {
    std::lock_guard lock(slotMemberMutex_);
    return slot_;
  }
  int RegisterSharedClientForTest(OvixVideoInput* client, std::shared_ptr<SharedClientSlot>& out) {
    return RegisterSharedClient(client, out);
  }

  // Capture intake, called by the callback object on the device's streaming
  // thread.
  void OnCapturedBuffer(const uint8_t* buffer, long length);

 private:
  friend class CaptureGraphAccess;

  // Graph build and teardown.
  int StartDirectShow();
  int StopDirectShow();
  bool JoinDispatchThread();
  HRESULT ConnectCaptureGraph(platform::Filter& capture, platform::Filter& grabberFilter, platform::Filter& renderer,
                              const platform::MediaType& requested, bool allowIntelligent);
  HRESULT ConnectSafePinMedia(platform::Pin& capturePin, platform::Pin& grabberIn, const platform::MediaType& requested);
  HRESULT ConnectGrabberToRenderer(platform::Pin& capturePin, platform::Pin& grabberIn, platform::Pin& grabberOut,
                                   platform::Pin& rendererIn, const char* message);
  HRESULT GuardedConnectDirect(platform::Pin& out, platform::Pin& in, const platform::MediaType* type);
  HRESULT GuardedConnect(platform::Pin& out, platform::Pin& in);
  void NegotiateCaptureFormat(platform::Filter& capture);
  void DisconnectAllPins();
  void TearDownGraph();

  // Intake and dispatch.
  void EnqueueFrame(const OvixVideoFrame& frame, const uint8_t* bytes, size_t byteCount);
  void DispatchThreadMain();
  void DispatchToDownstream(const OvixVideoFrame* frame);
  void DispatchToSharedClients(const OvixVideoFrame* frame);

  // Sharing.
  int AttachToSharedSource();
  int RegisterSharedClient(OvixVideoInput* client, std::shared_ptr<SharedClientSlot>& out);
  void DetachSharedClient();
  void CloseSlotAndWait(const std::shared_ptr<SharedClientSlot>& slot, bool removeFromList);
  void WaitSlotIdle(const std::shared_ptr<SharedClientSlot>& slot, OvixVideoInput* source, const char* reason);
  int RestartSharedSourceIfNeeded();
  std::vector<OvixVideoInput*> PrepareSourceHandoff();
  void CompleteSourceHandoff(const std::vector<OvixVideoInput*>& clients);
  void ClearSharedState();
  bool DeliveringOnThisThread();
  void StopInternal(int* result);
  int StartLocked();
  // Takes the lifecycle lock; on a thread that is delivering this input's
  // frames only when it is free (waiting there could wait for itself).
  bool LockLifecycle(std::unique_lock<std::mutex>& lock);

  // The connected layout the intake works with, fixed when the graph is
  // built; the setters never change it under a running graph.
  std::atomic<int32_t> intakeWidth_{0}, intakeHeight_{0}, intakeFormat_{0};
  std::atomic<bool> intakeBottomUp_{false};

  // Serialises Start and Stop of this input, which the application and a
  // source handing its clients over may call from different threads.
  std::mutex lifecycleMutex_;
  // Set while a handoff of this input's source means to restart it; a stop
  // of this input meanwhile cancels that.
  std::atomic<bool> handoffPending_{false};

  std::atomic<bool> running_{false};
  std::thread dispatchThread_;
  platform::Event dispatchEnded_{true};  // set by the dispatch thread as it ends
  std::atomic<uint32_t> dispatchThreadId_{0};
  int64_t frameCounter_ = 0;

  // The graph while one exists.
  std::unique_ptr<platform::FilterGraph> graph_;
  std::unique_ptr<platform::CaptureGraphBuilder> builder_;
  bool mediaControl_ = false;
  std::shared_ptr<platform::SampleGrabber> grabber_;
  std::shared_ptr<OvixSampleGrabberCallback> callbackObject_;

  bool bottomUp_ = false;
  std::atomic<bool> sharedClient_{false};
  std::atomic<OvixVideoInput*> sharedSource_{nullptr};
  std::shared_ptr<SharedClientSlot> slot_;
  std::mutex slotMemberMutex_;  // guards slot_ against a handoff running on another thread

  std::vector<uint8_t> flipBuffer_;

  std::mutex callbackMutex_;  // guards the frame callback, serialises the intake
  OvixVideoFrameCallback frameCallback_ = nullptr;
  void* frameCallbackUser_ = nullptr;

  std::atomic<int32_t> captureInFlight_{0};
  std::atomic<uint32_t> callbackTid_{0};
  std::atomic<uint64_t> callbackStartMs_{0};

  std::mutex slotListMutex_;
  std::vector<std::shared_ptr<SharedClientSlot>> slots_;

  std::mutex queueMutex_;
  std::condition_variable queueCv_;
  std::deque<QueuedVideoFrame> queue_;
  bool stopFlag_ = false;

  std::atomic<int32_t> dispatchStage_{0};
  std::atomic<uint32_t> dispatchTid_{0};
  std::atomic<uint64_t> dispatchStartMs_{0};
  std::atomic<OvixPortBase*> dispatchTarget_{nullptr};
  std::atomic<int32_t> dispatchTargetType_{0};
};

// The capture graph's callback object: hands every buffer of the sample
// grabber to its input's intake.
class OvixSampleGrabberCallback final : public platform::SampleGrabberCallback {
 public:
  explicit OvixSampleGrabberCallback(OvixVideoInput* owner) : owner_(owner) {}
  HRESULT BufferCB(double sampleTime, uint8_t* buffer, long length) override {
    (void)sampleTime;
    if (owner_ && buffer && length > 0) owner_->OnCapturedBuffer(buffer, length);
    return S_OK;
  }

 private:
  OvixVideoInput* owner_;
};

}  // namespace ovix
