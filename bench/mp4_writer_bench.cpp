// The MP4 writer against its anchors: streaming 1080p-sized H.264 access
// units through WriteVideoSample versus a plain fwrite of the same bytes,
// and, for an hour of 60 fps video with 48 kHz AAC, the memory the sample
// tables hold, the allocations made while writing and the time Finalize
// takes to build and write the index.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "record/mp4_writer.h"
#include "run_times.h"

// Counts every allocation in the program, to show that writing a sample
// allocates nothing beyond table growth. (GCC takes the replaced pair for a
// mismatch once it inlines them.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<size_t> gAllocations{0};
void* operator new(size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kPath = "/tmp/ovix_bench_mp4_writer_" + std::to_string(getpid()) + ".mp4";
const std::u16string kPath16(kPath.begin(), kPath.end());
const Bytes kSps = {0x67, 0x64, 0x00, 0x28, 0xAC, 0xD9, 0x40, 0x78, 0x02, 0x27, 0xE5, 0xC0, 0x44};
const Bytes kPps = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
const Bytes kAsc = {0x11, 0x90};

// Slice-like payload: random bytes with emulation prevention applied, so
// the only start codes are the real ones.
void AppendNal(Bytes& au, uint8_t header, size_t size, std::mt19937& rng) {
  au.insert(au.end(), {0, 0, 0, 1, header});
  int zeros = 0;
  for (size_t i = 1; i < size; ++i) {
    uint8_t b = static_cast<uint8_t>(rng());
    if (zeros >= 2 && b <= 3) b = 3;
    zeros = b == 0 ? zeros + 1 : 0;
    au.push_back(b);
  }
  au.push_back(0x80);  // rbsp stop bit
}

// 300 access units: an IDR of ~200 KB (with SPS and PPS) every 30, the
// rest ~60 KB, as a 1080p stream at 8-15 Mbit/s has them.
const std::vector<Bytes>& Stream() {
  static const std::vector<Bytes> units = [] {
    std::mt19937 rng(1);
    std::vector<Bytes> v(300);
    for (size_t i = 0; i < v.size(); ++i) {
      if (i % 30 == 0) {
        v[i].insert(v[i].end(), {0, 0, 0, 1});
        v[i].insert(v[i].end(), kSps.begin(), kSps.end());
        v[i].insert(v[i].end(), {0, 0, 0, 1});
        v[i].insert(v[i].end(), kPps.begin(), kPps.end());
        AppendNal(v[i], 0x65, 200'000 + rng() % 20'000, rng);
      } else {
        AppendNal(v[i], 0x41, 55'000 + rng() % 10'000, rng);
      }
    }
    return v;
  }();
  return units;
}

int64_t StreamBytes() {
  int64_t n = 0;
  for (const Bytes& au : Stream()) n += static_cast<int64_t>(au.size());
  return n;
}

void BM_WriterStream(benchmark::State& state) {
  const std::vector<Bytes>& units = Stream();
  // One writer for every file, as the anchor keeps its buffer: each run
  // measures the streaming, not the first touch of a fresh 1 MiB buffer.
  ovix::OvixMp4Writer w;
  for (auto _ : state) {
    if (!w.Open(kPath16, 1920, 1080, 30, kSps, kPps)) state.SkipWithError("open failed");
    for (size_t i = 0; i < units.size(); ++i) {
      w.WriteVideoSample(units[i].data(), units[i].size(), static_cast<int64_t>(i) * 333'333, i % 30 == 0);
    }
    if (!w.Finalize()) state.SkipWithError("finalize failed");
  }
  state.SetBytesProcessed(state.iterations() * StreamBytes());
  std::remove(kPath.c_str());
}
BENCHMARK(BM_WriterStream)->Unit(benchmark::kMillisecond)->UseRealTime();

// The anchor: the same bytes with fwrite, with stdio's own buffer (arg 0)
// or with a 1 MiB one like the writer's (arg 1), which isolates the cost of
// the conversion and the table.
void BM_FwriteStream(benchmark::State& state) {
  const std::vector<Bytes>& units = Stream();
  std::vector<char> buffer(size_t{1} << 20);
  for (auto _ : state) {
    FILE* f = std::fopen(kPath.c_str(), "wb");
    if (!f) state.SkipWithError("fopen failed");
    if (state.range(0)) std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
    for (const Bytes& au : units) std::fwrite(au.data(), 1, au.size(), f);
    std::fclose(f);
  }
  state.SetBytesProcessed(state.iterations() * StreamBytes());
  std::remove(kPath.c_str());
}
BENCHMARK(BM_FwriteStream)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr int64_t kHourVideo = 216'000;   // 60 fps
constexpr int64_t kHourAudio = 168'750;   // 48 kHz / 1024
struct HourFigures {
  double bytesPerSample = 0, moovBytes = 0, allocationsWhileWriting = 0, writeNsPerSample = 0;
} gHour;

// One hour of tiny samples; only Finalize is timed.
void BM_HourFinalize(benchmark::State& state) {
  const Bytes video = {0, 0, 0, 1, 0x41, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  const Bytes audio(16, 0x21);
  for (auto _ : state) {
    ovix::OvixMp4Writer w;
    w.Open(kPath16, 1920, 1080, 60, kSps, kPps);
    w.EnableAudioTrack(48000, 2, 128000, kAsc);
    const size_t before = gAllocations.load();
    const auto writeStart = std::chrono::steady_clock::now();
    int64_t a = 0;
    for (int64_t v = 0; v < kHourVideo; ++v) {
      const int64_t t = v * 166'666;
      w.WriteVideoSample(video.data(), video.size(), t, v % 60 == 0);
      for (; a < kHourAudio && a * 10'240'000'000 / 48000 <= t; ++a) {
        w.WriteAudioSample(audio.data(), audio.size(), a * 10'240'000'000 / 48000, 0);
      }
    }
    for (; a < kHourAudio; ++a) w.WriteAudioSample(audio.data(), audio.size(), a * 10'240'000'000 / 48000, 0);
    const auto writeEnd = std::chrono::steady_clock::now();
    const size_t samples = w.VideoSampleCount() + w.AudioSampleCount();
    gHour.allocationsWhileWriting = static_cast<double>(gAllocations.load() - before);
    gHour.writeNsPerSample = std::chrono::duration<double, std::nano>(writeEnd - writeStart).count() / samples;
    gHour.bytesPerSample =
        static_cast<double>((w.VideoSamples().capacity() + w.AudioSamples().capacity()) * sizeof(ovix::Mp4SampleEntry)) /
        samples;
    const int64_t payloadEnd = 52 + w.PayloadBytes();

    const auto start = std::chrono::steady_clock::now();
    const bool ok = w.Finalize();
    const auto end = std::chrono::steady_clock::now();
    if (!ok) state.SkipWithError("finalize failed");
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());

    if (FILE* f = std::fopen(kPath.c_str(), "rb")) {
      std::fseek(f, 0, SEEK_END);
      gHour.moovBytes = static_cast<double>(std::ftell(f) - payloadEnd);
      std::fclose(f);
    }
  }
  state.counters["bytes_per_sample"] = gHour.bytesPerSample;
  state.counters["allocs_writing"] = gHour.allocationsWhileWriting;
  state.counters["moov_MB"] = gHour.moovBytes / 1e6;
  std::remove(kPath.c_str());
}
BENCHMARK(BM_HourFinalize)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  // File writes share the page cache with whatever else runs: interleaved
  // repetitions keep drift from favouring one side. Given flags win.
  std::vector<char*> args = {argv[0]};
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  char repetitions[] = "--benchmark_repetitions=5";
  char aggregates[] = "--benchmark_report_aggregates_only=true";
  args.insert(args.end(), {interleave, repetitions, aggregates});
  args.insert(args.end(), argv + 1, argv + argc);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  ovix::bench::RunTimes reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // A run's time by its name's start; with repetitions, the median's.
  const auto find = [&](const char* prefix) {
    double t = 0.0;
    for (const auto& [name, ns] : reporter.All()) {
      if (name.rfind(prefix, 0) != 0) continue;
      if (name.find("_median") != std::string::npos) return ns;
      if (name.find('_', std::string(prefix).size()) == std::string::npos) t = ns;
    }
    return t;
  };
  const double writer = find("BM_WriterStream"), plain = find("BM_FwriteStream/0"),
               buffered = find("BM_FwriteStream/1");
  if (writer > 0 && plain > 0 && buffered > 0) {
    std::printf("ratio: WriteVideoSample throughput = %.2f x plain fwrite, %.2f x fwrite with a 1 MiB buffer, "
                "of the same %.1f MB (goal >= 0.9)\n",
                plain / writer, buffered / writer, StreamBytes() / 1e6);
  }
  if (const double finalizeMs = find("BM_HourFinalize"); finalizeMs > 0) {
    std::printf("hour of 60 fps + 48 kHz AAC (%lld + %lld samples): Finalize %.1f ms (goal < 100), "
                "tables %.1f bytes per sample (goal < 48; entry %zu bytes), moov %.2f MB, "
                "%.0f allocations while writing, %.0f ns per tiny sample\n",
                static_cast<long long>(kHourVideo), static_cast<long long>(kHourAudio), finalizeMs,
                gHour.bytesPerSample, sizeof(ovix::Mp4SampleEntry), gHour.moovBytes / 1e6,
                gHour.allocationsWhileWriting, gHour.writeNsPerSample);
  }
  benchmark::Shutdown();
  return 0;
}
