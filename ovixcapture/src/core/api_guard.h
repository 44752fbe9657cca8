// No exception crosses the exported interface: every exported body runs
// inside Guarded, which turns an escaping exception into the function's
// failure value.
#pragma once

#include <type_traits>
#include <utility>

namespace ovix {

template <typename F>
std::invoke_result_t<F> Guarded(std::invoke_result_t<F> onException, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    return onException;
  }
}

}  // namespace ovix
