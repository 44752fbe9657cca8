// One attachment of a shared client to the input that owns the device: the
// source's dispatch thread delivers to the client through it, and closing it
// waits until no delivery is in flight.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace ovix {

class OvixVideoInput;

struct SharedClientSlot {
  std::mutex mutex;                  // guards inFlight, closed, client
  uint32_t inFlight = 0;             // deliveries begun and not ended
  bool closed = false;               // no new delivery may begin; never cleared
  OvixVideoInput* client = nullptr;  // cleared when closed
  std::atomic<int32_t> stage{0};     // 1 while a delivery runs
  std::atomic<uint32_t> dispatchTid{0};
  std::atomic<uint64_t> dispatchStartMs{0};
};

}  // namespace ovix
