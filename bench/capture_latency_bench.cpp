// Captured buffer to application callback on the virtual camera at
// 1920x1080, YUY2 and NV12: the latency (median and 99th percentile) beside
// one memcpy of the same frame, and the intake's own cost per frame (the
// time the streaming thread spends handing a buffer over) as a ratio to
// that memcpy.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "ovixcapture.h"
#include "platform/sys.h"
#include "platform/virtual/control.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFrames = 300;

struct Arrival {
  std::mutex mutex;
  std::condition_variable cv;
  int64_t ns = 0;
  int count = 0;
};

void OnFrame(const OvixVideoFrame*, void* user) {
  auto* a = static_cast<Arrival*>(user);
  const int64_t now = ovix::sys::MonotonicNs();
  std::lock_guard lock(a->mutex);
  a->ns = now;
  ++a->count;
  a->cv.notify_all();
}

double MemcpyNs(size_t bytes) {
  std::vector<uint8_t> src(bytes, 1), dst(bytes);
  std::vector<int64_t> t;
  for (int i = 0; i < 50; ++i) {
    const int64_t s = ovix::sys::MonotonicNs();
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::DoNotOptimize(dst.data());
    t.push_back(ovix::sys::MonotonicNs() - s);
  }
  std::sort(t.begin(), t.end());
  return static_cast<double>(t[t.size() / 2]);
}

void Measure(benchmark::State& state, uint32_t subtype, int format, size_t bytes) {
  namespace v = ovix::virt;
  v::ClearDevices();
  v::CameraSpec spec;
  spec.id = "bench-cam";
  spec.friendlyName = std::string("Bench Camera");
  spec.capabilities = {v::Capability(subtype, kWidth, kHeight, 30)};
  v::AddCamera(spec);
  OVIX_Init();
  OvixPortHandle in = OVIX_CreateVideoInput();
  OVIX_SetVideoInputFormat(in, kWidth, kHeight, 30, format);
  Arrival arrival;
  OVIX_SetVideoFrameCallback(in, OnFrame, &arrival);
  if (OVIX_Start(in) != OVIX_OK) {
    state.SkipWithError("start failed");
    return;
  }
  std::vector<uint8_t> buffer(bytes, 0x55);
  std::vector<int64_t> latency, handover;
  for (auto _ : state) {
    latency.clear();
    handover.clear();
    for (int i = 0; i < kFrames; ++i) {
      int before;
      {
        std::lock_guard lock(arrival.mutex);
        before = arrival.count;
      }
      const int64_t start = ovix::sys::MonotonicNs();
      v::DeliverBuffer("bench-cam", buffer.data(), buffer.size());
      handover.push_back(ovix::sys::MonotonicNs() - start);
      std::unique_lock lock(arrival.mutex);
      arrival.cv.wait(lock, [&] { return arrival.count > before; });
      latency.push_back(arrival.ns - start);
    }
  }
  std::sort(latency.begin(), latency.end());
  std::sort(handover.begin(), handover.end());
  const double copy = MemcpyNs(bytes);
  const double median = static_cast<double>(latency[latency.size() / 2]);
  const double p99 = static_cast<double>(latency[latency.size() * 99 / 100]);
  const double intake = static_cast<double>(handover[handover.size() / 2]);
  state.counters["latency_median_us"] = median / 1000.0;
  state.counters["latency_p99_us"] = p99 / 1000.0;
  state.counters["memcpy_us"] = copy / 1000.0;
  state.counters["median_over_memcpy"] = median / copy;
  state.counters["p99_over_memcpy"] = p99 / copy;
  state.counters["intake_over_memcpy"] = intake / copy;
  OVIX_DestroyPort(in);
  OVIX_Shutdown();
  v::Reset();
}

void BM_CaptureToCallbackYUY2(benchmark::State& state) {
  Measure(state, ovix::platform::subtype::kYUY2, OVIX_FORMAT_YUY2, static_cast<size_t>(kWidth) * kHeight * 2);
}
void BM_CaptureToCallbackNV12(benchmark::State& state) {
  Measure(state, ovix::platform::subtype::kNV12, OVIX_FORMAT_NV12, static_cast<size_t>(kWidth) * kHeight * 3 / 2);
}
BENCHMARK(BM_CaptureToCallbackYUY2)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaptureToCallbackNV12)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
