// What the overlay costs per frame once its items are prepared: one text
// item and one rectangle drawn into a 1920x1080 frame, from input frame to
// overlay frame delivered, against one memcpy of the same frame (the copy
// into the work picture alone is that much).
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/port_base.h"
#include "core/port_registry.h"
#include "ovixcapture.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

size_t FrameBytes(int32_t format) {
  switch (format) {
    case OVIX_FORMAT_YUY2:
      return size_t{kWidth} * kHeight * 2;
    case OVIX_FORMAT_NV12:
      return size_t{kWidth} * kHeight * 3 / 2;
    default:
      return size_t{kWidth} * kHeight * 4;
  }
}

const char* FormatName(int32_t format) {
  switch (format) {
    case OVIX_FORMAT_YUY2:
      return "YUY2";
    case OVIX_FORMAT_NV12:
      return "NV12";
    default:
      return "RGB32";
  }
}

class CountingSink final : public ovix::OvixPortBase {
 public:
  CountingSink() : OvixPortBase(OVIX_PORT_VIDEO_RENDER) {}
  int OnVideoFrame(const OvixVideoFrame* f) override {
    benchmark::DoNotOptimize(f->data[0][0]);
    ++frames;
    return 0;
  }
  int64_t frames = 0;
};

void BM_MemcpyFrame(benchmark::State& state) {
  const auto format = static_cast<int32_t>(state.range(0));
  std::vector<uint8_t> src(FrameBytes(format), 7), dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
  state.SetLabel(FormatName(format));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(src.size()));
}

void SetText(OvixWChar* field, size_t capacity, std::u16string_view text) {
  std::memset(field, 0, capacity * sizeof(OvixWChar));
  std::memcpy(field, text.data(), std::min(text.size(), capacity - 1) * sizeof(OvixWChar));
}

void BM_OsdTextAndRect(benchmark::State& state) {
  const auto format = static_cast<int32_t>(state.range(0));
  OVIX_Init();
  OvixPortHandle osd = OVIX_CreateVideoOsd();
  auto* sink = ovix::MakePort<CountingSink>();
  OVIX_ConnectVideoOsdOutput(osd, 1, sink->Handle());

  // A caption across the frame (automatic box: 1880 x 72, half-black
  // background) and an outline.
  OvixOsdItem text{};
  text.visible = 1;
  text.x = 40;
  text.y = 40;
  text.opacity = 1.0f;
  SetText(text.text, OVIX_OSD_TEXT_SIZE, u"CH01  2024-05-01 12:34:56  ovixcapture overlay");
  SetText(text.fontName, OVIX_OSD_FONT_NAME_SIZE, u"DejaVu Sans");
  OVIX_AddVideoOsdText(osd, &text);
  OvixOsdItem rect{};
  rect.visible = 1;
  rect.x = 200;
  rect.y = 200;
  rect.width = 800;
  rect.height = 450;
  rect.opacity = 0.8f;
  rect.color = 0xFFFF4000;
  OVIX_AddVideoOsdRect(osd, &rect);

  // Picture-like bytes: the mixing cost must not depend on a flat frame.
  std::vector<uint8_t> pixels(FrameBytes(format));
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7 + i / 1931);
  OvixVideoFrame frame{};
  frame.data[0] = pixels.data();
  frame.width = kWidth;
  frame.height = kHeight;
  frame.format = format;
  frame.stride[0] = format == OVIX_FORMAT_YUY2 ? kWidth * 2 : format == OVIX_FORMAT_NV12 ? kWidth : kWidth * 4;
  if (format == OVIX_FORMAT_NV12) {
    frame.data[1] = pixels.data() + size_t{kWidth} * kHeight;
    frame.stride[1] = kWidth;
  }
  auto* port = ovix::OvixPortBase::FromHandle(osd);
  port->OnVideoFrame(&frame);  // prepares the items
  for (auto _ : state) {
    port->OnVideoFrame(&frame);
    ++frame.frameIndex;
  }
  if (sink->frames != static_cast<int64_t>(state.iterations()) + 1) state.SkipWithError("frames lost");
  state.SetLabel(FormatName(format));
  OVIX_DestroyPort(osd);
  OVIX_DestroyPort(sink->Handle());
  OVIX_Shutdown();
}

BENCHMARK(BM_MemcpyFrame)->Arg(OVIX_FORMAT_YUY2)->Arg(OVIX_FORMAT_NV12)->Arg(OVIX_FORMAT_RGB32);
BENCHMARK(BM_OsdTextAndRect)->Arg(OVIX_FORMAT_YUY2)->Arg(OVIX_FORMAT_NV12)->Arg(OVIX_FORMAT_RGB32);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  struct Collect : benchmark::ConsoleReporter {
    std::map<std::string, double> memcpyNs, osdNs;
    void ReportRuns(const std::vector<Run>& runs) override {
      // With repetitions, the median stands for the benchmark.
      for (const Run& r : runs) {
        if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
        const std::string& fn = r.run_name.function_name;
        if (fn == "BM_MemcpyFrame") memcpyNs[r.run_name.args] = r.GetAdjustedRealTime();
        if (fn == "BM_OsdTextAndRect") osdNs[r.run_name.args] = r.GetAdjustedRealTime();
      }
      ConsoleReporter::ReportRuns(runs);
    }
  } reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const auto& [arg, ns] : reporter.osdNs) {
    const auto m = reporter.memcpyNs.find(arg);
    if (m == reporter.memcpyNs.end() || m->second <= 0) continue;
    std::printf("ratio: overlay of one text and one rectangle, format %s = %.3f x one memcpy of the 1080p frame\n",
                FormatName(std::stoi(arg)), ns / m->second);
  }
  benchmark::Shutdown();
  return 0;
}
