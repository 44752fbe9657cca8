#include "platform/sample_grabber.h"

#include <utility>

#include "platform/fault_points.h"

namespace ovix::platform {
namespace {

// The grabber whose callback the calling thread is in, so that a callback
// detaching itself does not wait for its own return.
thread_local const SampleGrabberFilter* t_inCallbackOf = nullptr;

class InCallbackMark {
 public:
  explicit InCallbackMark(const SampleGrabberFilter* grabber) : outer_(t_inCallbackOf) { t_inCallbackOf = grabber; }
  ~InCallbackMark() { t_inCallbackOf = outer_; }
  InCallbackMark(const InCallbackMark&) = delete;
  InCallbackMark& operator=(const InCallbackMark&) = delete;

 private:
  const SampleGrabberFilter* outer_;
};

}  // namespace

HRESULT SampleGrabberFilter::SetMediaType(const MediaType& type) {
  if (HRESULT hr = FaultCheck("SetMediaType"); Failed(hr)) return hr;
  std::lock_guard lock(mutex_);
  requested_ = type;
  return S_OK;
}

HRESULT SampleGrabberFilter::SetOneShot(bool oneShot) {
  std::lock_guard lock(mutex_);
  oneShot_ = oneShot;
  return S_OK;
}

HRESULT SampleGrabberFilter::SetBufferSamples(bool buffer) {
  std::lock_guard lock(mutex_);
  bufferSamples_ = buffer;
  return S_OK;
}

HRESULT SampleGrabberFilter::SetCallback(std::shared_ptr<SampleGrabberCallback> callback, int which) {
  if (HRESULT hr = FaultCheck("SetCallback"); Failed(hr)) return hr;
  if (which != 0 && which != 1) return E_INVALIDARG;
  std::shared_ptr<SampleGrabberCallback> old;
  {
    std::unique_lock lock(mutex_);
    old = std::exchange(callback_, std::move(callback));
    which_ = which;
    ++generation_;
    retiredCalls_ += currentCalls_;
    currentCalls_ = 0;
    const int own = t_inCallbackOf == this ? 1 : 0;
    retiredIdle_.wait(lock, [&] { return retiredCalls_ <= own; });
  }
  // Released outside the lock: the last reference may run the caller's
  // destructor.
  old.reset();
  return S_OK;
}

HRESULT SampleGrabberFilter::GetConnectedMediaType(MediaType& out) {
  if (HRESULT hr = FaultCheck("GetConnectedMediaType"); Failed(hr)) return hr;
  return input_.ConnectionMediaType(out);
}

bool SampleGrabberFilter::Accepts(const MediaType& type) const {
  std::lock_guard lock(mutex_);
  if (requested_.major != MajorType::Null && type.major != requested_.major) return false;
  if (requested_.subtype != subtype::kNull && type.subtype != requested_.subtype) return false;
  if (requested_.formatType != FormatKind::Null && type.formatType != requested_.formatType) return false;
  return true;
}

HRESULT SampleGrabberFilter::OnReceive(const uint8_t* data, size_t length, int64_t sampleTime) {
  if (!IsRunning()) return kVfwWrongState;
  if (!input_.ConnectedTo()) return VFW_E_NOT_CONNECTED;

  std::shared_ptr<SampleGrabberCallback> callback;
  int which = 0;
  uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    callback = callback_;
    which = which_;
    generation = generation_;
    if (callback) ++currentCalls_;
  }
  if (callback) {
    {
      InCallbackMark mark(this);
      const double seconds = static_cast<double>(sampleTime) / 1e7;
      // The callback sees the sample's own memory, as an in-place filter's
      // callback does.
      if (which == 1) {
        callback->BufferCB(seconds, const_cast<uint8_t*>(data), static_cast<long>(length));
      } else {
        callback->SampleCB(seconds);
      }
    }
    // Dropped before the call counts as finished: once detached, the
    // grabber holds no reference to it.
    callback.reset();
    std::lock_guard lock(mutex_);
    if (generation == generation_) {
      --currentCalls_;
    } else if (--retiredCalls_ == 0) {
      retiredIdle_.notify_all();
    }
  }
  // A grabber with nothing connected downstream still grabs.
  const HRESULT hr = output_.Deliver(data, length, sampleTime);
  return hr == VFW_E_NOT_CONNECTED ? S_OK : hr;
}

HRESULT SampleGrabberFilter::InputPin::QueryAccept(const MediaType& type) {
  return grabber_.Accepts(type) ? S_OK : S_FALSE;
}

HRESULT SampleGrabberFilter::InputPin::Receive(const uint8_t* data, size_t length, int64_t sampleTime) {
  return grabber_.OnReceive(data, length, sampleTime);
}

HRESULT SampleGrabberFilter::OutputPin::EnumMediaTypes(std::vector<MediaType>& out) {
  out.clear();
  MediaType connected;
  if (Succeeded(grabber_.input_.ConnectionMediaType(connected))) out.push_back(connected);
  return S_OK;
}

HRESULT SampleGrabberFilter::OutputPin::QueryAccept(const MediaType& type) {
  MediaType in;
  if (Failed(grabber_.input_.ConnectionMediaType(in))) return S_FALSE;
  const bool same = type.major == in.major && type.subtype == in.subtype && type.formatType == in.formatType &&
                    type.width == in.width && type.height == in.height;
  return same ? S_OK : S_FALSE;
}

}  // namespace ovix::platform
