// The live ports. A handle that the application passes in is used only when
// it names a port of this registry: a destroyed port or a foreign pointer is
// refused before anything dereferences it.
#pragma once

#include <functional>
#include <memory>
#include <new>

#include "core/port_base.h"

namespace ovix {

namespace port_registry {

void Add(OvixPortBase* port);
// Removes the port; false when it was not live.
bool Remove(OvixPortBase* port);
bool Contains(const void* handle);
// Runs fn on every live port, under the registry's lock (fn may take a
// port's list lock, nothing else).
void ForEach(const std::function<void(OvixPortBase&)>& fn);
size_t Count();

}  // namespace port_registry

// The live port behind a handle, or null.
inline OvixPortBase* LivePort(OvixPortHandle handle) {
  return port_registry::Contains(handle) ? OvixPortBase::FromHandle(handle) : nullptr;
}

// The live port behind a handle when it is of class T, or null.
template <typename T>
T* LivePortAs(OvixPortHandle handle) {
  return dynamic_cast<T*>(LivePort(handle));
}

// Creates a port of class T and registers it; null when the allocation or
// the constructor fails.
template <typename T, typename... Args>
T* MakePort(Args&&... args) {
  try {
    auto port = std::make_unique<T>(std::forward<Args>(args)...);
    port_registry::Add(port.get());
    return port.release();
  } catch (...) {
    return nullptr;
  }
}

}  // namespace ovix
