// Shared pieces of the capture tests: virtual cameras that deliver on
// demand, a collector of delivered frames, and a fixture that starts the
// library with those cameras.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_registry.h"
#include "capture/video_input.h"
#include "core/port_registry.h"
#include "ovixcapture.h"
#include "platform/sys.h"
#include "platform/virtual/control.h"
#include "support/log_capture.h"

namespace ovix::test {

// One delivered frame, copied.
struct SeenFrame {
  OvixVideoFrame frame{};
  std::vector<uint8_t> bytes;  // plane 0 (and plane 1 behind it for NV12)
  uint32_t tid = 0;
};

// Collects the frames a callback receives; waits for a count without
// sleeping (condition variable, generous limit so a hang fails instead of
// blocking the suite).
class FrameCollector {
 public:
  static void Callback(const OvixVideoFrame* f, void* user) { static_cast<FrameCollector*>(user)->Add(f); }
  void Add(const OvixVideoFrame* f) {
    SeenFrame s;
    s.frame = *f;
    s.tid = sys::CurrentThreadId();
    size_t n = 0;
    switch (f->format) {
      case OVIX_FORMAT_YUY2: n = static_cast<size_t>(f->width) * f->height * 2; break;
      case OVIX_FORMAT_NV12: n = static_cast<size_t>(f->width) * (f->height + (f->height + 1) / 2); break;
      case OVIX_FORMAT_RGB24: n = static_cast<size_t>(f->width) * f->height * 3; break;
      case OVIX_FORMAT_RGB32: n = static_cast<size_t>(f->width) * f->height * 4; break;
      default: n = static_cast<size_t>(f->stride[0]); break;
    }
    s.bytes.assign(f->data[0], f->data[0] + n);
    std::lock_guard lock(mutex_);
    frames_.push_back(std::move(s));
    cv_.notify_all();
  }
  bool WaitFor(size_t count, int seconds = 20) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(seconds), [&] { return frames_.size() >= count; });
  }
  std::vector<SeenFrame> Frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  size_t Count() {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<SeenFrame> frames_;
};

// A one-shot gate a delivery can wait at.
class Gate {
 public:
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return open_; });
  }
  bool WaitFor(int seconds) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(seconds), [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// A frame callback that collects every frame and holds the delivering
// thread at the given frame (or at every frame when holdAt is -1) until
// released.
struct HoldingCallback {
  FrameCollector frames;
  Gate entered, release;
  int64_t holdAt = 0;
  static void Callback(const OvixVideoFrame* f, void* user) {
    auto* h = static_cast<HoldingCallback*>(user);
    h->frames.Add(f);
    if (h->holdAt < 0 || f->frameIndex == h->holdAt) {
      h->entered.Open();
      h->release.Wait();
    }
  }
};

inline virt::CameraSpec OnDemandCamera(const std::string& id, std::vector<virt::VirtualCapability> caps,
                                       const std::string& name = "Test Camera") {
  virt::CameraSpec spec;
  spec.id = id;
  spec.friendlyName = name;
  spec.capabilities = std::move(caps);
  spec.realTime = false;
  return spec;
}

class CaptureTest : public testing::Test {
 protected:
  // Replaces the built-in devices with the given cameras and starts up.
  void StartWith(std::vector<virt::CameraSpec> cameras, bool log = true) {
    virt::ClearDevices();
    for (auto& c : cameras) virt::AddCamera(std::move(c));
    if (log) {
      ASSERT_EQ(OVIX_EnableLog(1), 0);
    }
    ASSERT_EQ(OVIX_Init(), OVIX_OK);
  }
  void TearDown() override {
    for (OvixPortHandle h : owned_) OVIX_DestroyPort(h);
  }
  OvixPortHandle Input(int device, int w, int h, int fps, int format) {
    OvixPortHandle in = OVIX_CreateVideoInput();
    EXPECT_NE(in, nullptr);
    EXPECT_EQ(OVIX_SetVideoInputDevice(in, device), OVIX_OK);
    EXPECT_EQ(OVIX_SetVideoInputFormat(in, w, h, fps, format), OVIX_OK);
    owned_.push_back(in);
    return in;
  }
  static OvixVideoInput* As(OvixPortHandle h) { return static_cast<OvixVideoInput*>(OvixPortBase::FromHandle(h)); }
  void Forget(OvixPortHandle h) { owned_.erase(std::remove(owned_.begin(), owned_.end(), h), owned_.end()); }

  std::vector<OvixPortHandle> owned_;
};

}  // namespace ovix::test
