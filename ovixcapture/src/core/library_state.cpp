#include "core/library_state.h"

#include <atomic>

namespace ovix::library_state {
namespace {

// Written only by OVIX_Init and OVIX_Shutdown; read by the creating
// functions on any thread, hence atomics with relaxed order.
std::atomic<bool> g_initialised{false};
std::atomic<bool> g_comStarted{false};
std::atomic<int> g_defaultPipelineMode{0};

}  // namespace

bool IsInitialised() { return g_initialised.load(std::memory_order_acquire); }
void SetInitialised(bool value) { g_initialised.store(value, std::memory_order_release); }

bool ComStartedByLibrary() { return g_comStarted.load(std::memory_order_relaxed); }
void SetComStartedByLibrary(bool value) { g_comStarted.store(value, std::memory_order_relaxed); }

int DefaultPipelineMode() { return g_defaultPipelineMode.load(std::memory_order_acquire); }
void SetDefaultPipelineMode(int mode) { g_defaultPipelineMode.exchange(mode, std::memory_order_acq_rel); }

}  // namespace ovix::library_state
