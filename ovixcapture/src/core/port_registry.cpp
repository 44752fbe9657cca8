#include "core/port_registry.h"

#include <shared_mutex>
#include <unordered_set>

namespace ovix::port_registry {
namespace {

std::shared_mutex g_mutex;

std::unordered_set<const void*>& Live() {
  static std::unordered_set<const void*> live;
  return live;
}

}  // namespace

void Add(OvixPortBase* port) {
  std::unique_lock lock(g_mutex);
  Live().insert(static_cast<const void*>(port));
}

bool Remove(OvixPortBase* port) {
  std::unique_lock lock(g_mutex);
  return Live().erase(static_cast<const void*>(port)) != 0;
}

bool Contains(const void* handle) {
  if (!handle) return false;
  std::shared_lock lock(g_mutex);
  return Live().count(handle) != 0;
}

void ForEach(const std::function<void(OvixPortBase&)>& fn) {
  std::shared_lock lock(g_mutex);
  for (const void* p : Live()) fn(*static_cast<OvixPortBase*>(const_cast<void*>(p)));
}

size_t Count() {
  std::shared_lock lock(g_mutex);
  return Live().size();
}

}  // namespace ovix::port_registry
