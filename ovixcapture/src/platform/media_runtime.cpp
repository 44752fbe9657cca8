#include "platform/media_runtime.h"

#include <atomic>

#include "platform/fault_points.h"

namespace ovix::platform {
namespace {

enum class Apartment { None, Single, Multi };

thread_local Apartment t_apartment = Apartment::None;
thread_local int t_depth = 0;
std::atomic<int> g_startups{0};

HRESULT Enter(Apartment kind, const char* faultName) {
  if (HRESULT hr = FaultCheck(faultName); Failed(hr)) return hr;
  if (t_depth > 0 && t_apartment != kind) return RPC_E_CHANGED_MODE;
  t_apartment = kind;
  return t_depth++ == 0 ? S_OK : S_FALSE;
}

}  // namespace

HRESULT MediaRuntime::InitializeApartment() { return Enter(Apartment::Single, "CoInitializeEx"); }

HRESULT MediaRuntime::InitializeWorkerApartment() { return Enter(Apartment::Multi, "CoInitializeEx(MTA)"); }

void MediaRuntime::UninitializeApartment() {
  if (t_depth > 0 && --t_depth == 0) t_apartment = Apartment::None;
}

HRESULT MediaRuntime::Startup(uint32_t version, uint32_t flags) {
  (void)version;
  (void)flags;
  if (HRESULT hr = FaultCheck("MFStartup"); Failed(hr)) return hr;
  g_startups.fetch_add(1, std::memory_order_acq_rel);
  return S_OK;
}

HRESULT MediaRuntime::Shutdown() {
  int n = g_startups.load(std::memory_order_acquire);
  while (n > 0 && !g_startups.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel)) {
  }
  return S_OK;
}

void MediaRuntime::FreeUnusedLibraries() {}

bool MediaRuntime::TaskMemAllocSucceeds() { return Succeeded(FaultCheck("CoTaskMemAlloc")); }

int MediaRuntime::ApartmentDepth() { return t_depth; }

int MediaRuntime::StartupCount() { return g_startups.load(std::memory_order_acquire); }

}  // namespace ovix::platform
