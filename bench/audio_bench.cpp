// The audio ports' sample arithmetic against a plain copy of the same bytes:
// the capture conversion of a 480-frame float stereo packet to 16-bit PCM,
// and the render's volume scaling of a 480-frame 16-bit stereo block.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "audio/pcm_convert.h"
#include "run_times.h"

namespace {

constexpr uint32_t kFrames = 480;

std::vector<uint8_t> FloatPacket() {
  std::vector<uint8_t> data(kFrames * 8);
  for (uint32_t i = 0; i < kFrames * 2; ++i) {
    const float v = static_cast<float>(static_cast<int>(i % 200) - 100) / 90.0f;  // some beyond ±1
    std::memcpy(&data[i * 4], &v, 4);
  }
  return data;
}

void BM_CopyFloatPacket(benchmark::State& state) {
  const std::vector<uint8_t> src = FloatPacket();
  std::vector<uint8_t> dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kFrames * 2);
}
BENCHMARK(BM_CopyFloatPacket);

void BM_ConvertFloatPacket(benchmark::State& state) {
  const std::vector<uint8_t> src = FloatPacket();
  const ovix::MixSampleLayout layout = ovix::InterpretMixFormat(ovix::platform::FloatWaveFormat(48000, 2));
  std::vector<int16_t> out(kFrames * 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ovix::ConvertToPcm16(src.data(), kFrames, layout, 2, out.data()));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kFrames * 2);
}
BENCHMARK(BM_ConvertFloatPacket);

std::vector<int16_t> PcmBlock() {
  std::vector<int16_t> v(kFrames * 2);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int16_t>(i * 137);
  return v;
}

void BM_CopyPcmBlock(benchmark::State& state) {
  const std::vector<int16_t> src = PcmBlock();
  std::vector<int16_t> dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size() * 2);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kFrames * 2);
}
BENCHMARK(BM_CopyPcmBlock);

void BM_ScalePcmBlock(benchmark::State& state) {
  const std::vector<int16_t> src = PcmBlock();
  std::vector<int16_t> dst(src.size());
  for (auto _ : state) {
    ovix::ScalePcm16(src.data(), dst.data(), src.size(), 0.5f);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kFrames * 2);
}
BENCHMARK(BM_ScalePcmBlock);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ovix::bench::RunTimes reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double samples = kFrames * 2;
  std::printf("per sample: conversion %.3f ns, copy %.3f ns; scaling %.3f ns, copy %.3f ns\n",
              reporter.Of("BM_ConvertFloatPacket") / samples, reporter.Of("BM_CopyFloatPacket") / samples,
              reporter.Of("BM_ScalePcmBlock") / samples, reporter.Of("BM_CopyPcmBlock") / samples);
  std::printf("ratio: float stereo packet -> 16-bit PCM = %.2f x memcpy of the packet's bytes\n",
              reporter.Ratio("BM_ConvertFloatPacket", "BM_CopyFloatPacket"));
  std::printf("ratio: volume scaling of a 16-bit block = %.2f x memcpy of the block\n",
              reporter.Ratio("BM_ScalePcmBlock", "BM_CopyPcmBlock"));
  benchmark::Shutdown();
  return 0;
}
