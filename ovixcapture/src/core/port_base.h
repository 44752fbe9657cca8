// The base of every port: its type, its downstream list, its application
// callbacks, and the delivery step that hands a frame to the callback first
// and then to each downstream port, in connection order, on the calling
// thread, with no lock held.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/callback_slot.h"
#include "core/port_list.h"
#include "ovixcapture.h"

namespace ovix {

class OvixPortBase {
 public:
  OvixPortBase(const OvixPortBase&) = delete;
  OvixPortBase& operator=(const OvixPortBase&) = delete;

  // Ends in the base teardown: destroyed is set, both lists emptied and the
  // callbacks cleared.
  virtual ~OvixPortBase();
  virtual bool IsBorrowed() const { return false; }
  virtual int Start() { return OVIX_OK; }
  virtual int Stop() { return OVIX_OK; }
  virtual int Flush() { return OVIX_OK; }
  virtual int SetPaused(bool paused) {
    (void)paused;
    return OVIX_OK;
  }
  virtual int OnVideoFrame(const OvixVideoFrame* frame) {
    (void)frame;
    return OVIX_OK;
  }
  virtual int OnAudioFrame(const OvixAudioFrame* frame) {
    (void)frame;
    return OVIX_OK;
  }
  virtual int SetVideoFrameCallback(OvixVideoFrameCallback fn, void* user);
  virtual int SetAudioFrameCallback(OvixAudioFrameCallback fn, void* user);

  int32_t Type() const { return type_; }
  bool IsDestroyed() const { return destroyed_.load(std::memory_order_acquire); }

  // Adds dst to the downstream list (once). -2 for null, -1 once teardown
  // has begun.
  int Connect(OvixPortBase* dst);
  // Removes every occurrence of dst from the downstream list.
  void Disconnect(const OvixPortBase* dst);
  // Removes dst from every list of this port (a destroyed port).
  void Forget(const OvixPortBase* dst);

  SecondOutput* GetSecondOutput() { return second_.get(); }
  std::vector<OvixPortBase*> DownstreamSnapshot() const { return downstream_.Snapshot(); }

  OvixPortHandle Handle() { return reinterpret_cast<OvixPortHandle>(this); }
  static OvixPortBase* FromHandle(OvixPortHandle h) { return reinterpret_cast<OvixPortBase*>(h); }

 protected:
  explicit OvixPortBase(int32_t type, bool withSecondOutput = false);

  void DeliverVideo(const OvixVideoFrame* frame);
  void DeliverAudio(const OvixAudioFrame* frame);
  // Hands frame to the second output list, counting the delivery in flight so
  // that a disconnect from that list can wait for it to end.
  void DeliverSecondOutput(const OvixVideoFrame* frame);

  CallbackSlot<OvixVideoFrameCallback> videoCallback_;
  CallbackSlot<OvixAudioFrameCallback> audioCallback_;

 private:
  const int32_t type_;
  PortList downstream_;
  std::unique_ptr<SecondOutput> second_;
  std::atomic<bool> destroyed_{false};
};

}  // namespace ovix
