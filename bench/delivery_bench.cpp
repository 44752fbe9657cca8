// What handing one frame through the port graph costs next to touching the
// frame once: frame source -> video mux -> two consumers, against a memcpy of
// the same 1920x1080 YUY2 picture (the least any consumer of it does).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "core/port_base.h"
#include "core/port_registry.h"
#include "ovixcapture.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

class CountingSink final : public ovix::OvixPortBase {
 public:
  CountingSink() : OvixPortBase(OVIX_PORT_VIDEO_RENDER) {}
  int OnVideoFrame(const OvixVideoFrame* f) override {
    benchmark::DoNotOptimize(f->data[0]);
    ++frames;
    return 0;
  }
  int64_t frames = 0;
};

void BM_MemcpyFrame(benchmark::State& state) {
  std::vector<uint8_t> src(kWidth * kHeight * 2, 7), dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(src.size()));
}
BENCHMARK(BM_MemcpyFrame);

void BM_DeliverThroughMux(benchmark::State& state) {
  OVIX_Init();
  OvixPortHandle source = OVIX_CreateVideoFrameSource();
  OvixPortHandle mux = OVIX_CreateVideoMux();
  auto* a = ovix::MakePort<CountingSink>();
  auto* b = ovix::MakePort<CountingSink>();
  OVIX_Connect(source, mux);
  OVIX_Connect(mux, a->Handle());
  OVIX_Connect(mux, b->Handle());
  std::vector<uint8_t> pixels(kWidth * kHeight * 2, 7);
  OvixVideoFrame frame{};
  frame.data[0] = pixels.data();
  frame.stride[0] = kWidth * 2;
  frame.width = kWidth;
  frame.height = kHeight;
  frame.format = OVIX_FORMAT_YUY2;
  for (auto _ : state) {
    OVIX_PushVideoFrame(source, &frame);
    ++frame.frameIndex;
  }
  if (a->frames != static_cast<int64_t>(state.iterations())) state.SkipWithError("frames lost");
  for (OvixPortHandle h : {source, mux, a->Handle(), b->Handle()}) OVIX_DestroyPort(h);
  OVIX_Shutdown();
}
BENCHMARK(BM_DeliverThroughMux);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  struct Collect : benchmark::ConsoleReporter {
    double memcpyNs = 0, deliverNs = 0;
    void ReportRuns(const std::vector<Run>& runs) override {
      for (const Run& r : runs) {
        const std::string name = r.benchmark_name();
        if (name.find("BM_MemcpyFrame") == 0) memcpyNs = r.GetAdjustedRealTime();
        if (name.find("BM_DeliverThroughMux") == 0) deliverNs = r.GetAdjustedRealTime();
      }
      ConsoleReporter::ReportRuns(runs);
    }
  } reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (reporter.memcpyNs > 0)
    std::printf("ratio: delivery through a mux to two consumers = %.5f x one memcpy of a 1080p YUY2 frame\n",
                reporter.deliverNs / reporter.memcpyNs);
  benchmark::Shutdown();
  return 0;
}
