// Start-up and shut-down of the media runtime: the steps that stand for the
// COM apartment and the media framework's start-up. On this platform they
// only keep count, in the same order and with the same results, so that
// OVIX_Init and OVIX_Shutdown stay balanced and their failure paths testable.
#pragma once

#include <cstdint>

#include "platform/hresult.h"

namespace ovix::platform {

class MediaRuntime {
 public:
  // The calling thread enters the single-threaded apartment: S_OK the first
  // time, S_FALSE when it already was; RPC_E_CHANGED_MODE when it is in the
  // multithreaded apartment. Fault point "CoInitializeEx".
  static HRESULT InitializeApartment();
  // Enters the multithreaded apartment (library worker threads).
  static HRESULT InitializeWorkerApartment();
  static void UninitializeApartment();
  // Fault point "MFStartup".
  static HRESULT Startup(uint32_t version, uint32_t flags);
  static HRESULT Shutdown();
  static void FreeUnusedLibraries();
  // Stands for CoTaskMemAlloc of a small record: false when the allocation
  // is to fail. Fault point "CoTaskMemAlloc".
  static bool TaskMemAllocSucceeds();

  // Bookkeeping read by the tests.
  static int ApartmentDepth();  // of the calling thread
  static int StartupCount();
};

}  // namespace ovix::platform
