#include "core/port_base.h"

namespace ovix {

OvixPortBase::OvixPortBase(int32_t type, bool withSecondOutput)
    : type_(type), second_(withSecondOutput ? std::make_unique<SecondOutput>() : nullptr) {}

OvixPortBase::~OvixPortBase() {
  destroyed_.exchange(true, std::memory_order_acq_rel);
  downstream_.Clear();
  if (second_) second_->list.Clear();
  videoCallback_.Set(nullptr, nullptr);
  audioCallback_.Set(nullptr, nullptr);
}

int OvixPortBase::SetVideoFrameCallback(OvixVideoFrameCallback fn, void* user) {
  videoCallback_.Set(fn, user);
  return OVIX_OK;
}

int OvixPortBase::SetAudioFrameCallback(OvixAudioFrameCallback fn, void* user) {
  audioCallback_.Set(fn, user);
  return OVIX_OK;
}

int OvixPortBase::Connect(OvixPortBase* dst) {
  if (!dst) return OVIX_ERR_INVALID_ARG;
  return downstream_.WithLock([&](std::vector<OvixPortBase*>& list) {
    if (destroyed_.load(std::memory_order_acquire)) return OVIX_ERR_FAILED;
    if (std::find(list.begin(), list.end(), dst) == list.end()) list.push_back(dst);
    return OVIX_OK;
  });
}

void OvixPortBase::Disconnect(const OvixPortBase* dst) { downstream_.Remove(dst); }

void OvixPortBase::Forget(const OvixPortBase* dst) {
  downstream_.Remove(dst);
  if (second_) second_->list.Remove(dst);
}

void OvixPortBase::DeliverVideo(const OvixVideoFrame* frame) {
  if (destroyed_.load(std::memory_order_acquire)) return;
  const auto cb = videoCallback_.Get();
  if (cb.fn) cb.fn(frame, cb.user);
  if (destroyed_.load(std::memory_order_acquire)) return;
  for (OvixPortBase* dst : downstream_.Snapshot())
    if (dst) dst->OnVideoFrame(frame);
}

void OvixPortBase::DeliverAudio(const OvixAudioFrame* frame) {
  if (destroyed_.load(std::memory_order_acquire)) return;
  const auto cb = audioCallback_.Get();
  if (cb.fn) cb.fn(frame, cb.user);
  for (OvixPortBase* dst : downstream_.Snapshot())
    if (dst) dst->OnAudioFrame(frame);
}

void OvixPortBase::DeliverSecondOutput(const OvixVideoFrame* frame) {
  if (!second_ || destroyed_.load(std::memory_order_acquire)) return;
  second_->inFlight.fetch_add(1, std::memory_order_acq_rel);
  for (OvixPortBase* dst : second_->list.Snapshot())
    if (dst) dst->OnVideoFrame(frame);
  second_->inFlight.fetch_sub(1, std::memory_order_acq_rel);
}

}  // namespace ovix
