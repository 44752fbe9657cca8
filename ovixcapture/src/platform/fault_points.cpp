#include "platform/fault_points.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>

namespace ovix::platform {
namespace {

struct Fault {
  int uses = 0;
  int nth = 0;     // 0: only counted
  int times = 1;   // 0: for ever
  HRESULT hr = S_OK;
};

std::mutex g_mutex;
std::atomic<bool> g_armed{false};

std::map<std::string, Fault, std::less<>>& Faults() {
  static std::map<std::string, Fault, std::less<>> faults;
  return faults;
}

}  // namespace

HRESULT FaultCheck(const char* call) {
  if (!g_armed.load(std::memory_order_acquire) || !call) return S_OK;
  std::lock_guard lock(g_mutex);
  auto it = Faults().find(std::string_view(call));
  if (it == Faults().end()) return S_OK;
  Fault& f = it->second;
  const int use = ++f.uses;
  if (f.nth <= 0 || use < f.nth) return S_OK;
  if (f.times == 0 || use < f.nth + f.times) return f.hr;
  return S_OK;
}

void ArmFault(const char* call, int nth, HRESULT hr, int times) {
  std::lock_guard lock(g_mutex);
  Faults()[call] = Fault{0, nth < 1 ? 1 : nth, times < 0 ? 1 : times, hr};
  g_armed.store(true, std::memory_order_release);
}

void CountUses(const char* call) {
  std::lock_guard lock(g_mutex);
  Faults()[call] = Fault{};
  g_armed.store(true, std::memory_order_release);
}

int FaultUses(const char* call) {
  std::lock_guard lock(g_mutex);
  auto it = Faults().find(std::string_view(call));
  return it == Faults().end() ? 0 : it->second.uses;
}

void ClearFaults() {
  std::lock_guard lock(g_mutex);
  Faults().clear();
  g_armed.store(false, std::memory_order_release);
}

}  // namespace ovix::platform
