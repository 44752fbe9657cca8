// Shared pieces of the audio port tests: a collector of delivered PCM
// blocks, virtual endpoints defined per test, and packet builders for the
// mix formats an endpoint may use.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "ovixcapture.h"
#include "platform/virtual/control.h"
#include "support/log_capture.h"

namespace ovix::test {

inline constexpr char kMicId[] = "test:mic";
inline constexpr char kSpeakerId[] = "test:speaker";

// One delivered block, copied.
struct SeenBlock {
  std::vector<int16_t> samples;
  OvixAudioFrame frame{};
};

// Collects the blocks an audio callback receives and waits for a number of
// them (condition variable with a generous limit, so a hang fails the test
// instead of blocking the suite).
class AudioCollector {
 public:
  static void Callback(const OvixAudioFrame* f, void* user) { static_cast<AudioCollector*>(user)->Add(f); }
  void Add(const OvixAudioFrame* f) {
    SeenBlock b;
    b.frame = *f;
    b.frame.data = nullptr;
    b.samples.resize(static_cast<size_t>(f->size) / 2);
    std::memcpy(b.samples.data(), f->data, b.samples.size() * 2);
    std::lock_guard lock(mutex_);
    blocks_.push_back(std::move(b));
    cv_.notify_all();
  }
  bool WaitFor(size_t count, int seconds = 20) { return WaitForMs(count, seconds * 1000); }
  bool WaitForMs(size_t count, int ms) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return blocks_.size() >= count; });
  }
  std::vector<SeenBlock> Blocks() {
    std::lock_guard lock(mutex_);
    return blocks_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<SeenBlock> blocks_;
};

// Bytes of a packet in a mix format, built sample by sample.
class PacketBuilder {
 public:
  void Float(float v) { Put(&v, 4); }
  void Int16(int16_t v) { Put(&v, 2); }
  void Int32(int32_t v) { Put(&v, 4); }
  void Uint8(uint8_t v) { Put(&v, 1); }
  void Int24(int32_t v) {
    const uint8_t b[3] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
    Put(b, 3);
  }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  void Put(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    bytes_.insert(bytes_.end(), b, b + n);
  }
  std::vector<uint8_t> bytes_;
};

// The library started with only the endpoints a test defines, and logging on.
class AudioTest : public testing::Test {
 protected:
  void SetUp() override {
    virt::ClearDevices();
    OVIX_EnableLog(1);
  }
  void TearDown() override { OVIX_Shutdown(); }

  static void AddMic(const platform::WaveFormat& mix, const char* id = kMicId) {
    virt::EndpointSpec spec;
    spec.flow = platform::AudioFlow::Capture;
    spec.id = id;
    spec.friendlyName = std::string("Mic ") + id;
    spec.mixFormat = mix;
    virt::AddEndpoint(spec);
  }
  static void AddSpeaker(const char* id = kSpeakerId, uint32_t bufferFrames = 0, bool isDefault = false) {
    virt::EndpointSpec spec;
    spec.flow = platform::AudioFlow::Render;
    spec.id = id;
    spec.friendlyName = std::string("Speaker ") + id;
    spec.bufferFrames = bufferFrames;
    spec.isDefault = isDefault;
    virt::AddEndpoint(spec);
  }
  static void Init() { ASSERT_EQ(OVIX_Init(), OVIX_OK); }
  // Starts the log file anew (switching logging on recreates it).
  static void FreshLog() {
    OVIX_EnableLog(0);
    OVIX_EnableLog(1);
  }
};

}  // namespace ovix::test
