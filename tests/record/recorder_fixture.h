// Shared pieces of the recorder tests: a real H.264 stream (libx264 through
// the virtual camera's encoder), a frame source feeding a recorder, the
// encoded-data callbacks collected, and ffprobe/ffmpeg as external judges of
// the files written.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ovixcapture.h"
#include "platform/virtual/h264_test_encoder.h"
#include "support/log_capture.h"
#include "support/shell.h"

namespace ovix::test {

// count access units (Annex-B, SPS and PPS before every IDR, an IDR every
// fps pictures) of a moving picture.
inline std::vector<std::vector<uint8_t>> MakeH264Stream(int width, int height, int fps, int count) {
  std::unique_ptr<virt::H264TestEncoder> encoder;
  EXPECT_EQ(virt::H264TestEncoder::Open(width, height, fps, encoder), S_OK);
  std::vector<std::vector<uint8_t>> units;
  for (int i = 0; encoder && static_cast<int>(units.size()) < count && i < count * 4; ++i) {
    EXPECT_EQ(encoder->BeginPicture(), S_OK);
    for (int p = 0; p < 3; ++p) {
      const int w = p == 0 ? width : width / 2, h = p == 0 ? height : height / 2;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          encoder->Plane(p)[y * encoder->Stride(p) + x] = static_cast<uint8_t>(p == 0 ? x + y + 3 * i : 128 + (i & 15));
    }
    std::vector<uint8_t> unit;
    if (encoder->Encode(unit) == S_OK && !unit.empty()) units.push_back(std::move(unit));
  }
  EXPECT_EQ(static_cast<int>(units.size()), count);
  return units;
}

struct SeenVideoPacket {
  int64_t pts, frameNumber;
  int32_t size, key, width, height, origin;
};
struct SeenAudioPacket {
  int64_t pts;
  int32_t size, sampleRate, channels;
};

// The encoded-data callbacks' records, and a gate the video callback can
// hold the recorder's worker at.
class PacketLog {
 public:
  static void OnVideo(const OvixEncodedVideoPacket* p, void* user) {
    auto* self = static_cast<PacketLog*>(user);
    {
      std::unique_lock lock(self->mutex_);
      self->video_.push_back({p->pts, p->frameNumber, p->size, p->key, p->width, p->height, p->origin});
      self->cv_.notify_all();
      self->cv_.wait(lock, [&] { return !self->holding_; });
    }
  }
  static void OnAudio(const OvixEncodedAudioPacket* p, void* user) {
    auto* self = static_cast<PacketLog*>(user);
    std::lock_guard lock(self->mutex_);
    self->audio_.push_back({p->pts, p->size, p->sampleRate, p->channels});
    self->cv_.notify_all();
  }
  void Hold() {
    std::lock_guard lock(mutex_);
    holding_ = true;
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      holding_ = false;
    }
    cv_.notify_all();
  }
  bool WaitForVideo(size_t n, int seconds = 30) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(seconds), [&] { return video_.size() >= n; });
  }
  std::vector<SeenVideoPacket> Video() {
    std::lock_guard lock(mutex_);
    return video_;
  }
  std::vector<SeenAudioPacket> Audio() {
    std::lock_guard lock(mutex_);
    return audio_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool holding_ = false;
  std::vector<SeenVideoPacket> video_;
  std::vector<SeenAudioPacket> audio_;
};

// What ffprobe and ffmpeg make of a file: complaints (empty when none), the
// frames of its video stream, and its streams' durations.
struct ProbeResult {
  std::string probeErrors, decodeErrors;
  int videoFrames = -1;
  int streams = 0;
  double audioDuration = -1;
};
inline ProbeResult Probe(const std::string& file) {
  ProbeResult r;
  r.probeErrors = RunShell("ffprobe -v error '" + file + "' 2>&1 >/dev/null");
  r.decodeErrors = RunShell("ffmpeg -nostdin -v error -i '" + file + "' -f null - 2>&1");
  const std::string frames = RunShell("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                                        "stream=nb_read_frames -of csv=p=0 '" + file + "' 2>/dev/null");
  r.videoFrames = std::atoi(frames.c_str());
  r.streams = std::atoi(RunShell("ffprobe -v error -show_entries format=nb_streams -of csv=p=0 '" + file + "' 2>/dev/null").c_str());
  const std::string audio = RunShell("ffprobe -v error -select_streams a:0 -show_entries stream=duration -of csv=p=0 '" +
                                       file + "' 2>/dev/null");
  if (!audio.empty() && audio != "N/A\n") r.audioDuration = std::atof(audio.c_str());
  return r;
}

// A frame source feeding a recorder that writes into a private folder.
class RecorderTest : public testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/ovix_rec_XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
    OVIX_EnableLog(1);
    ASSERT_EQ(OVIX_Init(), OVIX_OK);
  }
  void TearDown() override {
    for (OvixPortHandle p : {source_, recorder_}) {
      if (p) {
        EXPECT_EQ(OVIX_DestroyPort(p), OVIX_OK);
      }
    }
    OVIX_Shutdown();
    std::error_code ec;
    if (!getenv("OVIX_KEEP_FILES")) std::filesystem::remove_all(dir_, ec);
  }

  // Creates the source and the recorder for path (relative to the folder,
  // or absolute), configured and connected.
  void MakeRecorder(const std::string& name, OvixRecorderConfig config) {
    const std::string path = name.empty() || name[0] == '/' ? name : dir_ + "/" + name;
    recorder_ = OVIX_CreateRecorder(path.c_str());
    ASSERT_NE(recorder_, nullptr);
    ASSERT_EQ(OVIX_SetRecorderConfig(recorder_, &config), OVIX_OK);
    ASSERT_EQ(OVIX_SetRecorderVideoCallback(recorder_, PacketLog::OnVideo, &packets_), OVIX_OK);
    ASSERT_EQ(OVIX_SetRecorderAudioCallback(recorder_, PacketLog::OnAudio, &packets_), OVIX_OK);
    source_ = OVIX_CreateVideoFrameSource();
    ASSERT_EQ(OVIX_Connect(source_, recorder_), OVIX_OK);
    ASSERT_EQ(OVIX_Start(source_), OVIX_OK);
  }
  static OvixRecorderConfig Config(int fps = 30) {
    OvixRecorderConfig c{};
    c.inputFps = fps;
    return c;
  }
  // Pushes one H.264 frame and waits until the worker has taken it.
  void PushH264(const std::vector<uint8_t>& unit, int64_t timestamp, int width = 320, int height = 240) {
    OvixVideoFrame f{};
    f.data[0] = const_cast<uint8_t*>(unit.data());
    f.stride[0] = static_cast<int32_t>(unit.size());
    f.width = width;
    f.height = height;
    f.format = OVIX_FORMAT_H264;
    f.timestamp = timestamp;
    PushAndWait(f);
  }
  void PushAndWait(const OvixVideoFrame& f) {
    const int64_t before = Stats().inputFrames;
    ASSERT_EQ(OVIX_PushVideoFrame(source_, &f), OVIX_OK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Stats().inputFrames == before && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_GT(Stats().inputFrames, before) << "the worker never took the frame";
  }
  OvixRecorderStats Stats() {
    OvixRecorderStats s{};
    EXPECT_EQ(OVIX_GetRecorderStats(recorder_, &s), OVIX_OK);
    return s;
  }
  // The files of the folder, sorted by name.
  std::vector<std::string> Files() const {
    std::vector<std::string> v;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) v.push_back(e.path().string());
    std::sort(v.begin(), v.end());
    return v;
  }

  std::string dir_;
  OvixPortHandle source_ = nullptr;
  OvixPortHandle recorder_ = nullptr;
  PacketLog packets_;
};

}  // namespace ovix::test
