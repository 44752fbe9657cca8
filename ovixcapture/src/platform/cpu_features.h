// What the processor offers, asked once; the pixel loops choose their
// vector forms by it at run time.
#pragma once

namespace ovix::platform {

inline bool HasAvx2() {
#if defined(__x86_64__)
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
#else
  return false;
#endif
}

}  // namespace ovix::platform
