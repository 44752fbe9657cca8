// The CPU video processors against their anchors, measured in the same run
// on 1920x1080 frames: the colour engine's YUY2 -> RGB32 and NV12 -> RGB32
// conversions against libyuv (whose matrix and range differ: a speed anchor
// only), the engine's 33-point LUT on RGB32 against FFmpeg's lut3d filter
// with trilinear interpolation on one thread, and a 1280x720 crop against a
// memcpy of the same bytes.
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <stdlib.h>
#include <unistd.h>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
}

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/port_base.h"
#include "ovixcapture.h"
#include "platform/sys.h"
#include "run_times.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080;
constexpr int kCropWidth = 1280, kCropHeight = 720;

// A picture with smooth gradients and some noise, like a camera's.
std::vector<uint8_t> NaturalBytes(size_t rowBytes, int rows) {
  std::vector<uint8_t> bytes(rowBytes * static_cast<size_t>(rows));
  std::mt19937 rng(7);
  for (int y = 0; y < rows; ++y)
    for (size_t x = 0; x < rowBytes; ++x)
      bytes[y * rowBytes + x] = static_cast<uint8_t>((x * 255 / rowBytes + y * 3 / 4 + (x % 4) * 40 + rng() % 8) & 255);
  return bytes;
}

OvixVideoFrame FrameOf(std::vector<uint8_t>& bytes, int32_t format, int stride) {
  OvixVideoFrame f{};
  f.data[0] = bytes.data();
  f.stride[0] = stride;
  if (format == OVIX_FORMAT_NV12) {
    f.data[1] = bytes.data() + static_cast<size_t>(stride) * kHeight;
    f.stride[1] = stride;
  }
  f.width = kWidth;
  f.height = kHeight;
  f.format = format;
  return f;
}

// A 33-point table that bends every channel, written once for both LUT runs.
const std::string& CubeFile() {
  static const std::string path = [] {
    std::string p = "/tmp/ovix_bench_XXXXXX.cube";
    const int fd = mkstemps(p.data(), 5);
    FILE* f = fdopen(fd, "w");
    std::fprintf(f, "LUT_3D_SIZE 33\n");
    for (int b = 0; b < 33; ++b)
      for (int g = 0; g < 33; ++g)
        for (int r = 0; r < 33; ++r)
          std::fprintf(f, "%.6f %.6f %.6f\n", std::pow(r / 32.0, 0.8) * 0.95 + 0.02 * b / 32.0,
                       g / 32.0 * 0.9 + 0.05 * r / 32.0, std::sqrt(b / 32.0) * 0.85 + 0.1);
    std::fclose(f);
    return p;
  }();
  return path;
}

struct Library {
  Library() { OVIX_Init(); }
  ~Library() { OVIX_Shutdown(); }
};

void RunEngine(benchmark::State& state, int32_t inFormat, int stride, uint32_t outFmt, bool lut) {
  Library library;
  std::vector<uint8_t> bytes = NaturalBytes(static_cast<size_t>(stride), inFormat == OVIX_FORMAT_NV12 ? kHeight * 3 / 2 : kHeight);
  const OvixVideoFrame frame = FrameOf(bytes, inFormat, stride);
  OvixPortHandle engine = OVIX_CreateVideoColorEngine();
  if (lut) {
    std::u16string path;
    ovix::sys::Utf8ToUtf16(CubeFile(), path);
    if (OVIX_LoadVideoColorEngineCubeFile(engine, path.c_str()) != OVIX_OK) state.SkipWithError("cube not loaded");
  }
  const OvixColorConfig cfg{1, lut ? 1 : 0, outFmt, 2, 2, 1.0f};
  OVIX_SetVideoColorEngineConfig(engine, &cfg);
  int delivered = 0;
  OVIX_SetVideoFrameCallback(
      engine, [](const OvixVideoFrame* f, void* u) {
        benchmark::DoNotOptimize(f->data[0]);
        ++*static_cast<int*>(u);
      }, &delivered);
  ovix::OvixPortBase* port = ovix::OvixPortBase::FromHandle(engine);
  for (auto _ : state) port->OnVideoFrame(&frame);
  if (delivered != static_cast<int>(state.iterations())) state.SkipWithError("frames not converted");
  OVIX_DestroyPort(engine);
}

void BM_EngineYuy2ToRgb32(benchmark::State& state) { RunEngine(state, OVIX_FORMAT_YUY2, kWidth * 2, OVIX_FORMAT_RGB32, false); }
BENCHMARK(BM_EngineYuy2ToRgb32)->Unit(benchmark::kMillisecond);

void BM_LibyuvYuy2ToArgb(benchmark::State& state) {
  std::vector<uint8_t> src = NaturalBytes(kWidth * 2, kHeight), dst(static_cast<size_t>(kWidth) * kHeight * 4);
  for (auto _ : state) {
    libyuv::YUY2ToARGB(src.data(), kWidth * 2, dst.data(), kWidth * 4, kWidth, kHeight);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_LibyuvYuy2ToArgb)->Unit(benchmark::kMillisecond);

void BM_EngineNv12ToRgb32(benchmark::State& state) { RunEngine(state, OVIX_FORMAT_NV12, kWidth, OVIX_FORMAT_RGB32, false); }
BENCHMARK(BM_EngineNv12ToRgb32)->Unit(benchmark::kMillisecond);

void BM_LibyuvNv12ToArgb(benchmark::State& state) {
  std::vector<uint8_t> src = NaturalBytes(kWidth, kHeight * 3 / 2), dst(static_cast<size_t>(kWidth) * kHeight * 4);
  for (auto _ : state) {
    libyuv::NV12ToARGB(src.data(), kWidth, src.data() + kWidth * kHeight, kWidth, dst.data(), kWidth * 4, kWidth,
                       kHeight);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_LibyuvNv12ToArgb)->Unit(benchmark::kMillisecond);

void BM_EngineLut33Rgb32(benchmark::State& state) { RunEngine(state, OVIX_FORMAT_RGB32, kWidth * 4, 0, true); }
BENCHMARK(BM_EngineLut33Rgb32)->Unit(benchmark::kMillisecond);

void BM_FfmpegLut3dTrilinear(benchmark::State& state) {
  AVFilterGraph* graph = avfilter_graph_alloc();
  graph->nb_threads = 1;
  AVFilterContext *src = nullptr, *sink = nullptr;
  char args[160];
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/25:pixel_aspect=1/1", kWidth, kHeight,
                AV_PIX_FMT_BGRA);
  bool ok = avfilter_graph_create_filter(&src, avfilter_get_by_name("buffer"), "in", args, nullptr, graph) >= 0 &&
            avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph) >= 0;
  AVFilterInOut* outputs = avfilter_inout_alloc();
  AVFilterInOut* inputs = avfilter_inout_alloc();
  outputs->name = av_strdup("in");
  outputs->filter_ctx = src;
  inputs->name = av_strdup("out");
  inputs->filter_ctx = sink;
  const std::string description = "lut3d=file=" + CubeFile() + ":interp=trilinear";
  ok = ok && avfilter_graph_parse_ptr(graph, description.c_str(), &inputs, &outputs, nullptr) >= 0 &&
       avfilter_graph_config(graph, nullptr) >= 0;
  avfilter_inout_free(&inputs);
  avfilter_inout_free(&outputs);
  AVFrame* in = av_frame_alloc();
  AVFrame* out = av_frame_alloc();
  in->format = AV_PIX_FMT_BGRA;
  in->width = kWidth;
  in->height = kHeight;
  ok = ok && av_frame_get_buffer(in, 0) >= 0;
  if (!ok) {
    state.SkipWithError("lut3d graph not built");
  } else {
    const std::vector<uint8_t> bytes = NaturalBytes(kWidth * 4, kHeight);
    for (int y = 0; y < kHeight; ++y)
      std::memcpy(in->data[0] + static_cast<ptrdiff_t>(y) * in->linesize[0], bytes.data() + y * kWidth * 4, kWidth * 4);
    int64_t pts = 0;
    for (auto _ : state) {
      in->pts = pts++;
      if (av_buffersrc_add_frame_flags(src, in, AV_BUFFERSRC_FLAG_KEEP_REF) < 0 ||
          av_buffersink_get_frame(sink, out) < 0) {
        state.SkipWithError("lut3d failed");
        break;
      }
      if (out->format != AV_PIX_FMT_BGRA) state.SkipWithError("lut3d converted the pixel format");
      av_frame_unref(out);
    }
  }
  av_frame_free(&in);
  av_frame_free(&out);
  avfilter_graph_free(&graph);
}
BENCHMARK(BM_FfmpegLut3dTrilinear)->Unit(benchmark::kMillisecond);

void BM_Crop720pOf1080pRgb32(benchmark::State& state) {
  Library library;
  std::vector<uint8_t> bytes = NaturalBytes(kWidth * 4, kHeight);
  const OvixVideoFrame frame = FrameOf(bytes, OVIX_FORMAT_RGB32, kWidth * 4);
  OvixPortHandle crop = OVIX_CreateVideoCrop();
  const OvixCropRect rect{320, 180, kCropWidth, kCropHeight};
  OVIX_SetVideoCropRect(crop, &rect);
  OVIX_EnableVideoCrop(crop, 1);
  int delivered = 0;
  OVIX_SetVideoFrameCallback(
      crop, [](const OvixVideoFrame* f, void* u) {
        benchmark::DoNotOptimize(f->data[0]);
        *static_cast<int*>(u) += f->width == kCropWidth;
      }, &delivered);
  ovix::OvixPortBase* port = ovix::OvixPortBase::FromHandle(crop);
  for (auto _ : state) port->OnVideoFrame(&frame);
  if (delivered != static_cast<int>(state.iterations())) state.SkipWithError("frames not cropped");
  OVIX_DestroyPort(crop);
}
BENCHMARK(BM_Crop720pOf1080pRgb32)->Unit(benchmark::kMillisecond);

void BM_Memcpy720pRgb32(benchmark::State& state) {
  std::vector<uint8_t> src = NaturalBytes(kCropWidth * 4, kCropHeight), dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Memcpy720pRgb32)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ovix::bench::RunTimes reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* what, const char* ours, const char* anchor, const char* goal) {
    if (reporter.Of(ours) > 0 && reporter.Of(anchor) > 0)
      std::printf("ratio: %s = %.3f (%s)\n", what, reporter.Ratio(ours, anchor), goal);
  };
  ratio("engine YUY2->RGB32 / libyuv YUY2ToARGB", "BM_EngineYuy2ToRgb32", "BM_LibyuvYuy2ToArgb", "goal <= 2");
  ratio("engine NV12->RGB32 / libyuv NV12ToARGB", "BM_EngineNv12ToRgb32", "BM_LibyuvNv12ToArgb", "goal <= 2");
  ratio("FFmpeg lut3d trilinear / engine 33-point LUT on RGB32", "BM_FfmpegLut3dTrilinear", "BM_EngineLut33Rgb32",
        "goal >= 5");
  ratio("crop 1280x720 of 1080p RGB32 / memcpy of its bytes", "BM_Crop720pOf1080pRgb32", "BM_Memcpy720pRgb32",
        "goal <= 1.2");
  std::remove(CubeFile().c_str());
  benchmark::Shutdown();
  return 0;
}
