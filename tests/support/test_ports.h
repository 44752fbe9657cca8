// Ports for the tests: they record what reaches them, can act during a
// delivery, and can refuse to stop.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/port_base.h"
#include "core/port_registry.h"

namespace ovix::test {

// One record of who received which frame, shared by several ports.
class Journal {
 public:
  void Add(std::string who, int64_t frameIndex) {
    std::lock_guard lock(mutex_);
    entries_.push_back({std::move(who), frameIndex});
  }
  struct Entry {
    std::string who;
    int64_t frameIndex;
    bool operator==(const Entry&) const = default;
  };
  std::vector<Entry> Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  std::vector<int64_t> FramesOf(const std::string& who) const;

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

// A port of any type that records each frame it receives and then, if set,
// runs an action on the delivering thread.
class RecordingPort : public OvixPortBase {
 public:
  RecordingPort(int32_t type, std::string name, Journal* journal, bool withSecondOutput = false)
      : OvixPortBase(type, withSecondOutput), name_(std::move(name)), journal_(journal) {}

  int OnVideoFrame(const OvixVideoFrame* frame) override;
  int OnAudioFrame(const OvixAudioFrame* frame) override;
  int Stop() override {
    stops_.fetch_add(1);
    return stopResult_.load();
  }

  void SetAction(std::function<void(const OvixVideoFrame*)> action) { action_ = std::move(action); }
  void SetStopResult(int r) { stopResult_.store(r); }
  int Stops() const { return stops_.load(); }
  int VideoFrames() const { return videoFrames_.load(); }
  int AudioFrames() const { return audioFrames_.load(); }
  const void* LastVideoRecord() const { return lastVideo_.load(); }

  // Lets a test act as a source or an overlay port.
  void Emit(const OvixVideoFrame* f) { DeliverVideo(f); }
  void EmitAudio(const OvixAudioFrame* f) { DeliverAudio(f); }
  void EmitSecond(const OvixVideoFrame* f) { DeliverSecondOutput(f); }

 private:
  std::string name_;
  Journal* journal_;
  std::function<void(const OvixVideoFrame*)> action_;
  std::atomic<int> stopResult_{0};
  std::atomic<int> stops_{0};
  std::atomic<int> videoFrames_{0};
  std::atomic<int> audioFrames_{0};
  std::atomic<const void*> lastVideo_{nullptr};
};

// Creates a registered recording port; the test destroys it through
// OVIX_DestroyPort like any other.
RecordingPort* MakeRecordingPort(int32_t type, std::string name = {}, Journal* journal = nullptr,
                                 bool withSecondOutput = false);

// A handle for a port pointer, without touching the port (it may be gone).
inline OvixPortHandle H(OvixPortBase* p) { return reinterpret_cast<OvixPortHandle>(p); }

// A small frame with a recognisable index.
struct TestFrame {
  std::vector<uint8_t> pixels;
  OvixVideoFrame frame{};
  explicit TestFrame(int64_t index = 0, int32_t format = OVIX_FORMAT_RGB32, int width = 4, int height = 2);
};

}  // namespace ovix::test
