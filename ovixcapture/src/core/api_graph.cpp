// Connecting, disconnecting, starting, stopping and destroying ports, and
// their application callbacks.
#include <chrono>
#include <thread>

#include "core/api_guard.h"
#include "core/connection_rules.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "core/port_registry.h"
#include "ovixcapture.h"

using namespace ovix;

namespace {

// A delivery to the second output list that is still running when a
// destination is taken off it is waited for, 1 ms at a time, this often.
constexpr int kSecondOutputWaitSteps = 200;

}  // namespace

extern "C" {

int OVIX_Connect(OvixPortHandle src, OvixPortHandle dst) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    OvixPortBase* s = LivePort(src);
    OvixPortBase* d = LivePort(dst);
    if (!s || !d) {
      OVIX_LOG(kTagApi, "OVIX_Connect invalid src=%p dst=%p", static_cast<void*>(src), static_cast<void*>(dst));
      return OVIX_ERR_INVALID_ARG;
    }
    if (!ConnectionAllowed(s->Type(), d->Type())) {
      OVIX_LOG(kTagApi, "OVIX_Connect unsupported srcType=%d dstType=%d", s->Type(), d->Type());
      return OVIX_ERR_UNSUPPORTED;
    }
    const int result = s->Connect(d);
    OVIX_LOG(kTagApi, "OVIX_Connect src=%p type=%d dst=%p type=%d result=%d", static_cast<void*>(s), s->Type(),
             static_cast<void*>(d), d->Type(), result);
    return result;
  });
}

int OVIX_Disconnect(OvixPortHandle src, OvixPortHandle dst) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    // dst is only compared, never dereferenced, so a destination that is
    // already gone can still be taken off a live source's lists.
    OvixPortBase* s = LivePort(src);
    if (!s || !dst) return OVIX_ERR_INVALID_ARG;
    const OvixPortBase* d = OvixPortBase::FromHandle(dst);
    if (SecondOutput* second = s->GetSecondOutput()) {
      second->list.Remove(d);
      for (int i = 0; i < kSecondOutputWaitSteps && second->inFlight.load(std::memory_order_acquire) > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    s->Disconnect(d);
    return OVIX_OK;
  });
}

int OVIX_DestroyPort(OvixPortHandle port) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    OvixPortBase* p = LivePort(port);
    if (!p) return OVIX_ERR_INVALID_ARG;
    const int32_t type = p->Type();
    void* const address = p;
    if (p->IsBorrowed()) {
      OVIX_LOG(kTagApi, "OVIX_DestroyPort rejected borrowed file output port=%p type=%d", address, type);
      return OVIX_ERR_UNSUPPORTED;
    }
    OVIX_LOG(kTagApi, "OVIX_DestroyPort begin port=%p type=%d", address, type);
    const int stopResult = p->Stop();
    OVIX_LOG(kTagApi, "OVIX_DestroyPort stopped port=%p type=%d result=%d", address, type, stopResult);
    if (stopResult != OVIX_OK) {
      OVIX_LOG(kTagApi, "OVIX_DestroyPort aborted port=%p type=%d stopResult=%d", address, type, stopResult);
      return stopResult;
    }
    port_registry::Remove(p);
    // A source still listing the port would hand the next frame to freed
    // memory; take the port off every list first.
    port_registry::ForEach([p](OvixPortBase& other) { other.Forget(p); });
    delete p;
    OVIX_LOG(kTagApi, "OVIX_DestroyPort complete port=%p type=%d", address, type);
    return OVIX_OK;
  });
}

int OVIX_Start(OvixPortHandle port) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    OvixPortBase* p = LivePort(port);
    if (!p) return OVIX_ERR_INVALID_ARG;
    const int result = p->Start();
    OVIX_LOG(kTagApi, "OVIX_Start port=%p type=%d result=%d", static_cast<void*>(p), p->Type(), result);
    return result;
  });
}

int OVIX_Stop(OvixPortHandle port) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    OvixPortBase* p = LivePort(port);
    if (!p) return OVIX_ERR_INVALID_ARG;
    const int result = p->Stop();
    OVIX_LOG(kTagApi, "OVIX_Stop port=%p type=%d result=%d", static_cast<void*>(p), p->Type(), result);
    return result;
  });
}

int OVIX_SetVideoFrameCallback(OvixPortHandle port, OvixVideoFrameCallback fn, void* user) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    OvixPortBase* p = LivePort(port);
    return p ? p->SetVideoFrameCallback(fn, user) : OVIX_ERR_INVALID_ARG;
  });
}

int OVIX_SetAudioFrameCallback(OvixPortHandle port, OvixAudioFrameCallback fn, void* user) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    OvixPortBase* p = LivePort(port);
    return p ? p->SetAudioFrameCallback(fn, user) : OVIX_ERR_INVALID_ARG;
  });
}

}  // extern "C"
