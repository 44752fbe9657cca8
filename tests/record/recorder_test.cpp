// The recorder port: configuration, the queue and its worker, routing by
// input mode, segment names and splits, statistics, and the direct H.264
// path into real MP4 files that ffprobe and ffmpeg accept.
#include <sys/resource.h>
#include <sys/wait.h>

#include <csignal>
#include <cmath>
#include <cstring>

#include "core/port_base.h"
#include "av_test_streams.h"
#include "recorder_fixture.h"

namespace ovix::test {
namespace {

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

void SetPath(OvixRecorderConfig& c, const std::string& path) {
  const std::u16string w = Wide(path);
  std::memcpy(c.filePath, w.c_str(), (w.size() + 1) * sizeof(char16_t));
}

TEST_F(RecorderTest, ConfigurationDefaultsAreLogged) {
  struct Case {
    int inputFps, recordFps, split, seconds;
    uint64_t maxBytes;
    const char* line;
  };
  const Case cases[] = {
      {0, 0, 1, 0, 0, "mode=follow-input targetFps=30 bitrate=8000000 audio=0 inputMode=0 split=1 maxBytes=1073741824 seconds=0"},
      {25, 0, 2, 0, 0, "inputFps=25 recordFps=0 mode=follow-input targetFps=25 bitrate=8000000 audio=0 inputMode=0 split=2 maxBytes=0 seconds=1800"},
      {25, 60, 0, -5, 7, "inputFps=25 recordFps=60 mode=custom targetFps=60 bitrate=8000000 audio=0 inputMode=0 split=0 maxBytes=7 seconds=-5"},
  };
  recorder_ = OVIX_CreateRecorder("/tmp/created.mp4");
  for (const Case& c : cases) {
    OvixRecorderConfig config{};
    config.inputFps = c.inputFps;
    config.recordFps = c.recordFps;
    config.split = c.split;
    config.seconds = c.seconds;
    config.maxBytes = c.maxBytes;
    ASSERT_EQ(OVIX_SetRecorderConfig(recorder_, &config), OVIX_OK);
    EXPECT_EQ(CountLogLines(std::string("Recorder config file=/tmp/created.mp4 size=0x0 ") +
                            (c.inputFps ? "" : "inputFps=0 recordFps=0 ") + c.line),
              1)
        << c.line;
  }
  EXPECT_EQ(OVIX_SetRecorderConfig(recorder_, nullptr), OVIX_ERR_INVALID_ARG);
  const OvixRecorderConfig any{};
  EXPECT_EQ(OVIX_SetRecorderConfig(nullptr, &any), OVIX_ERR_INVALID_ARG);
  OvixRecorderStats stats{};
  EXPECT_EQ(OVIX_GetRecorderStats(recorder_, nullptr), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_GetRecorderStats(recorder_, &stats), OVIX_OK);
  EXPECT_EQ(stats.targetFps, 60);
  OvixPortHandle mux = OVIX_CreateAudioMux();
  EXPECT_EQ(OVIX_GetRecorderStats(mux, &stats), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_SetRecorderVideoCallback(mux, nullptr, nullptr), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_DestroyPort(mux), OVIX_OK);
}

TEST_F(RecorderTest, ConfigurationIsRefusedWhileRecordingAndAnEmptyPathKeepsTheCreationPath) {
  MakeRecorder("kept.mp4", Config());
  EXPECT_EQ(CountLogLines("Recorder config file=" + dir_ + "/kept.mp4"), 1);
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  OvixRecorderConfig other = Config(15);
  SetPath(other, dir_ + "/other.mp4");
  EXPECT_EQ(OVIX_SetRecorderConfig(recorder_, &other), OVIX_ERR_FAILED);
  EXPECT_EQ(Stats().targetFps, 30);
  EXPECT_EQ(OVIX_Start(recorder_), OVIX_OK);  // a second start keeps the running recording
  ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
  EXPECT_EQ(OVIX_SetRecorderConfig(recorder_, &other), OVIX_OK);
  EXPECT_EQ(Stats().targetFps, 15);
  EXPECT_EQ(CountLogLines("Recorder start file=" + dir_ + "/kept.mp4 targetFps=30 asyncQueue=8"), 1);
  EXPECT_EQ(CountLogLines("Recorder stop asyncDropped=0"), 1);

  OvixPortHandle unnamed = OVIX_CreateRecorder(nullptr);
  EXPECT_EQ(OVIX_Start(unnamed), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_DestroyPort(unnamed), OVIX_OK);
  OVIX_Shutdown();
  EXPECT_EQ(OVIX_CreateRecorder("x.mp4"), nullptr);
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
}

TEST_F(RecorderTest, SegmentNamesFollowTheSplitMode) {
  struct Case {
    int split;
    std::string path;        // relative to the folder
    std::string stem, ext;   // of the expected name
  };
  std::filesystem::create_directory(dir_ + "/rec.old");
  const Case cases[] = {
      {0, "plain.mp4", "", ""},
      {1, "sized.mp4", "sized_", ".mp4"},
      {2, "timed.mov", "timed_", ".mov"},
      {2, "rec.old/clip", "rec.old/clip_", ".mp4"},
  };
  const auto units = MakeH264Stream(320, 240, 30, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    OvixRecorderConfig config = Config();
    config.split = c.split;
    MakeRecorder(c.path, config);
    ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
    PushH264(units[0], 1000);
    ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
    std::vector<std::string> written;
    const std::string folder = c.path.find('/') != std::string::npos ? dir_ + "/rec.old" : dir_;
    for (const auto& e : std::filesystem::directory_iterator(folder))
      if (e.is_regular_file()) written.push_back(e.path().string());
    ASSERT_EQ(written.size(), 1u);
    if (c.split == 0) {
      EXPECT_EQ(written[0], dir_ + "/" + c.path);
    } else {
      const std::string prefix = dir_ + "/" + c.stem;
      ASSERT_EQ(written[0].rfind(prefix, 0), 0u) << written[0];
      const std::string rest = written[0].substr(prefix.size());  // yyyymmdd_hhmmss_mmm_0001.ext
      ASSERT_EQ(rest.size(), 24 + c.ext.size()) << rest;
      EXPECT_EQ(rest.substr(8, 1), "_");
      EXPECT_EQ(rest.substr(15, 1), "_");
      EXPECT_EQ(rest.substr(19, 5), "_0001");
      EXPECT_EQ(rest.substr(24), c.ext);
    }
    for (const std::string& f : written) std::filesystem::remove(f);
    EXPECT_EQ(OVIX_DestroyPort(source_), OVIX_OK);
    EXPECT_EQ(OVIX_DestroyPort(recorder_), OVIX_OK);
    source_ = recorder_ = nullptr;
  }
}

TEST_F(RecorderTest, RecordsAnH264StreamIntoAFileThatPlays) {
  MakeRecorder("stream.mp4", Config());
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  const auto units = MakeH264Stream(320, 240, 30, 45);
  for (size_t i = 0; i < units.size(); ++i) PushH264(units[i], 5'000'000 + static_cast<int64_t>(i) * 333'333);
  ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);

  const OvixRecorderStats s = Stats();  // kept after the stop
  EXPECT_EQ(s.inputFrames, 45);
  EXPECT_EQ(s.encodedFrames, 45);
  EXPECT_EQ(s.droppedFrames, 0);
  EXPECT_EQ(s.videoCallbacks, 45);
  EXPECT_EQ(s.width, 320);
  EXPECT_EQ(s.height, 240);
  const auto video = packets_.Video();
  ASSERT_EQ(video.size(), 45u);
  for (size_t i = 0; i < video.size(); ++i) {
    EXPECT_EQ(video[i].pts, static_cast<int64_t>(i) * 333'333);
    EXPECT_EQ(video[i].frameNumber, static_cast<int64_t>(i) + 1);
    EXPECT_EQ(video[i].key, i % 30 == 0 ? 1 : 0) << i;
    EXPECT_EQ(video[i].origin, 1);
  }
  const ProbeResult p = Probe(dir_ + "/stream.mp4");
  EXPECT_EQ(p.probeErrors, "");
  EXPECT_EQ(p.decodeErrors, "");
  EXPECT_EQ(p.videoFrames, 45);
  EXPECT_EQ(p.streams, 1);
  EXPECT_EQ(CountLogLines("Raw H264 first sample source=AnnexB"), 1);
  EXPECT_EQ(CountLogLines("Raw H264 custom MP4 writer ready file=" + dir_ + "/stream.mp4 320x240 fps=30"), 1);
  EXPECT_EQ(CountLogLines("Raw H264 custom MP4 finalize segment=0 file=" + dir_ + "/stream.mp4 ok=1"), 1);
}

TEST_F(RecorderTest, FramesBeforeTheParameterSetsAreDroppedWithTheWaitingLine) {
  MakeRecorder("late.mp4", Config());
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  const std::vector<uint8_t> slice = {0, 0, 0, 1, 0x41, 0x9A, 0x20, 0x11};  // a non-IDR slice, no SPS/PPS yet
  for (int i = 0; i < 61; ++i) PushH264(slice, 1000 + i);
  const auto units = MakeH264Stream(320, 240, 30, 2);
  PushH264(units[0], 100'000);
  PushH264(units[1], 433'333);
  ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
  EXPECT_EQ(Stats().droppedFrames, 61);
  EXPECT_EQ(Stats().encodedFrames, 2);
  for (int n : {1, 31, 61})
    EXPECT_EQ(CountLogLines("Raw H264 recorder waiting for SPS/PPS before MP4 writer start dropped=" +
                            std::to_string(n) + " sampleBytes=8"),
              1);
  EXPECT_EQ(CountLogLines("Raw H264 recorder waiting for SPS/PPS"), 3);
  EXPECT_EQ(packets_.Video().at(0).key, 1);
  EXPECT_EQ(Probe(dir_ + "/late.mp4").videoFrames, 2);
}

TEST_F(RecorderTest, LengthPrefixedAndSingleUnitFramesAreRecorded) {
  MakeRecorder("forms.mp4", Config());
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  const auto stream = MakeH264Stream(320, 240, 30, 3);
  // Frame 0 as bare units one by one (SPS, PPS, IDR), frames 1 and 2 length-prefixed.
  const auto idrUnits = SplitAnnexB(stream[0]);
  ASSERT_GE(idrUnits.size(), 3u);
  for (const auto& u : idrUnits) {
    const int type = u[0] & 0x1F;
    if (type == 7 || type == 8 || type == 5) PushH264(std::vector<uint8_t>(u.begin(), u.end()), 1'000'000);
  }
  for (int i = 1; i < 3; ++i) {
    std::vector<uint8_t> avcc;
    for (const auto& u : SplitAnnexB(stream[static_cast<size_t>(i)])) {
      const uint32_t n = static_cast<uint32_t>(u.size());
      const uint8_t len[4] = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                              static_cast<uint8_t>(n)};
      avcc.insert(avcc.end(), len, len + 4);
      avcc.insert(avcc.end(), u.begin(), u.end());
    }
    PushH264(avcc, 1'000'000 + i * 333'333);
  }
  ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
  EXPECT_EQ(CountLogLines("Raw H264 first sample source=SingleNAL"), 1);
  // The SPS alone waits for its PPS and is dropped; the PPS frame is a
  // sample of its own before the IDR.
  EXPECT_EQ(Stats().droppedFrames, 1);
  const auto video = packets_.Video();
  ASSERT_EQ(video.size(), 4u);
  EXPECT_EQ(video[0].key, 0);
  EXPECT_EQ(video[1].key, 1);  // the bare IDR slice
  EXPECT_EQ(video[2].key, 0);
  // The PPS-only sample holds no picture (the decoder says so); the three
  // pictures decode.
  EXPECT_EQ(Probe(dir_ + "/forms.mp4").videoFrames, 3);
}

TEST_F(RecorderTest, EqualAndMissingTimestamps) {
  MakeRecorder("times.mp4", Config());
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  const auto units = MakeH264Stream(320, 240, 30, 6);
  PushH264(units[0], 2'000'000);
  PushH264(units[1], 2'000'000);  // not later than the first: one frame after the previous
  PushH264(units[2], 3'000'000);
  PushH264(units[3], 3'000'000);  // the same time as the one before: the file places it a frame later
  PushH264(units[4], 0);          // no time stamp: the clock's time, far beyond
  PushH264(units[5], 0);
  ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
  const auto video = packets_.Video();
  ASSERT_EQ(video.size(), 6u);
  EXPECT_EQ(video[0].pts, 0);
  EXPECT_EQ(video[1].pts, 333'333);
  EXPECT_EQ(video[2].pts, 1'000'000);
  EXPECT_EQ(video[3].pts, 1'000'000);
  EXPECT_GT(video[5].pts, video[4].pts);
  const std::string pts = RunShell("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 '" +
                                     dir_ + "/times.mp4' | head -4 | tr '\\n' ' '");
  EXPECT_EQ(pts, "0.000000 0.033333 0.100000 0.133333 ");
}

TEST_F(RecorderTest, SplitByTimeGivesCompleteSegmentsWithContinuousTimes) {
  OvixRecorderConfig config = Config();
  config.split = OVIX_RECORD_SPLIT_TIME;
  config.seconds = 1;
  MakeRecorder("timed.mp4", config);
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  const auto units = MakeH264Stream(320, 240, 30, 75);
  // Exact thirtieths of a second: every cut falls on an IDR picture.
  const auto at = [](size_t i) { return static_cast<int64_t>(i) * 10'000'000 / 30; };
  for (size_t i = 0; i < units.size(); ++i) PushH264(units[i], 1 + at(i));
  ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
  const auto files = Files();
  ASSERT_EQ(files.size(), 3u);
  int frames = 0;
  for (size_t k = 0; k < files.size(); ++k) {
    SCOPED_TRACE(files[k]);
    EXPECT_NE(files[k].find("_000" + std::to_string(k + 1) + ".mp4"), std::string::npos);
    const ProbeResult p = Probe(files[k]);
    EXPECT_EQ(p.probeErrors, "");
    frames += p.videoFrames;
  }
  EXPECT_EQ(frames, 75);
  const auto video = packets_.Video();
  ASSERT_EQ(video.size(), 75u);
  for (size_t i = 0; i < video.size(); ++i) EXPECT_EQ(video[i].pts, at(i)) << i;
  EXPECT_EQ(CountLogLines("Raw H264 recorder open next segment=1"), 1);
  EXPECT_EQ(CountLogLines("Raw H264 recorder open next segment=2"), 1);
}

TEST_F(RecorderTest, SplitBySizeGivesCompleteSegments) {
  OvixRecorderConfig config = Config();
  config.split = OVIX_RECORD_SPLIT_SIZE;
  config.maxBytes = 50'000;
  MakeRecorder("sized.mp4", config);
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  const auto units = MakeH264Stream(320, 240, 1, 60);  // every picture an IDR: any cut starts cleanly
  size_t total = 0;
  for (size_t i = 0; i < units.size(); ++i) {
    PushH264(units[i], 1 + static_cast<int64_t>(i) * 333'333);
    total += units[i].size();
  }
  ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
  const auto files = Files();
  EXPECT_GE(files.size(), std::max<size_t>(2, total / 50'000));
  int frames = 0;
  for (const auto& f : files) {
    const ProbeResult p = Probe(f);
    EXPECT_EQ(p.probeErrors, "") << f;
    EXPECT_EQ(p.decodeErrors, "") << f;
    frames += p.videoFrames;
  }
  EXPECT_EQ(frames, 60);
}

TEST_F(RecorderTest, TheQueueDropsTheOldestFramesWhenTheWorkerFallsBehind) {
  MakeRecorder("queue.mp4", Config());
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  const auto units = MakeH264Stream(320, 240, 30, 2);
  packets_.Hold();  // the worker stays in the callback of the first written frame, its lock held
  OvixVideoFrame f{};
  f.data[0] = const_cast<uint8_t*>(units[0].data());
  f.stride[0] = static_cast<int32_t>(units[0].size());
  f.width = 320;
  f.height = 240;
  f.format = OVIX_FORMAT_H264;
  f.timestamp = 1000;
  ASSERT_EQ(OVIX_PushVideoFrame(source_, &f), OVIX_OK);
  ASSERT_TRUE(packets_.WaitForVideo(1));
  f.data[0] = const_cast<uint8_t*>(units[1].data());
  f.stride[0] = static_cast<int32_t>(units[1].size());
  for (int i = 0; i < 8 + 61; ++i) {
    f.timestamp = 2000 + i;
    ASSERT_EQ(OVIX_PushVideoFrame(source_, &f), OVIX_OK);  // never waits for the held worker
  }
  for (int n : {1, 31, 61})
    EXPECT_EQ(CountLogLines("Recorder async queue dropped frames=" + std::to_string(n) + " queueLimit=8"), 1);
  EXPECT_EQ(CountLogLines("Recorder async queue dropped"), 3);
  // Stop while 8 frames wait: they are discarded, the file still completes.
  std::thread stopper([&] { EXPECT_EQ(OVIX_Stop(recorder_), OVIX_OK); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (CountLogLines("Recorder stop waiting for the worker thread discardedFrames=8") == 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  packets_.Release();
  stopper.join();
  EXPECT_EQ(Stats().encodedFrames, 1);
  EXPECT_EQ(CountLogLines("Recorder stop asyncDropped=61"), 1);
  EXPECT_EQ(Probe(dir_ + "/queue.mp4").probeErrors, "");
}

TEST_F(RecorderTest, InputModesRejectWhatTheyDoNotRecord) {
  OvixRecorderConfig config = Config();
  config.inputMode = OVIX_RECORD_INPUT_DIRECT_H264;
  MakeRecorder("direct.mp4", config);
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  std::vector<uint8_t> yuy2(64 * 2 * 8);
  OvixVideoFrame f{};
  f.data[0] = yuy2.data();
  f.stride[0] = 64 * 2;
  f.width = 64;
  f.height = 8;
  f.format = OVIX_FORMAT_YUY2;
  for (int i = 0; i < 3; ++i) PushAndWait(f);
  ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
  EXPECT_EQ(Stats().inputFrames, 3);
  EXPECT_EQ(Stats().encodedFrames, 0);
  EXPECT_EQ(Stats().droppedFrames, 0);
  EXPECT_EQ(CountLogLines("Recorder DIRECT_H264 mode rejects non-H264 frame fmt=1"), 3);

  config.inputMode = OVIX_RECORD_INPUT_ENCODE;
  ASSERT_EQ(OVIX_SetRecorderConfig(recorder_, &config), OVIX_OK);
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  const auto units = MakeH264Stream(320, 240, 30, 1);
  PushH264(units[0], 1);
  ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
  EXPECT_EQ(Stats().inputFrames, 1);
  EXPECT_EQ(CountLogLines("Recorder cannot re-encode H264 input before the standalone decoder module is enabled."), 1);

  // A frame that cannot be copied is refused before the queue.
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  OvixPortBase* port = OvixPortBase::FromHandle(recorder_);
  OvixVideoFrame empty{};
  empty.format = OVIX_FORMAT_H264;
  empty.width = 320;
  empty.height = 240;
  EXPECT_EQ(port->OnVideoFrame(&empty), OVIX_ERR_INVALID_ARG);  // no data
  empty.data[0] = yuy2.data();
  EXPECT_EQ(port->OnVideoFrame(&empty), OVIX_ERR_INVALID_ARG);  // no length
  empty.stride[0] = 16;
  empty.width = 0;
  EXPECT_EQ(port->OnVideoFrame(&empty), OVIX_ERR_INVALID_ARG);  // no size
  EXPECT_EQ(port->OnVideoFrame(nullptr), OVIX_ERR_INVALID_ARG);
  ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
  EXPECT_EQ(Stats().inputFrames, 0);
}

TEST_F(RecorderTest, TheFrameSizeComesFromTheFirstFrameAndStays) {
  MakeRecorder("size.mp4", Config());
  const auto units = MakeH264Stream(320, 240, 30, 1);
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
    PushH264(units[0], 1, run == 0 ? 320 : 640, run == 0 ? 240 : 480);
    ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
    EXPECT_EQ(Stats().width, 320);
    EXPECT_EQ(Stats().height, 240);
  }
}

TEST_F(RecorderTest, AFailedFirstOpenDisablesTheDirectPath) {
  MakeRecorder(dir_ + "/missing/folder/x.mp4", Config());
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  const auto units = MakeH264Stream(320, 240, 30, 1);
  for (int i = 0; i < 241; ++i) PushH264(units[0], 1 + i * 333'333);
  ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
  EXPECT_EQ(Stats().droppedFrames, 241);
  EXPECT_EQ(Stats().encodedFrames, 0);
  EXPECT_EQ(CountLogLines("Raw H264 custom MP4 open failed file=" + dir_ + "/missing/folder/x.mp4"), 1);
  EXPECT_EQ(CountLogLines("Raw H264 recorder fatal: writer init failed."), 1);
  EXPECT_EQ(CountLogLines("Raw H264 recorder disabled after fatal writer init failure. dropped=241 input=241"), 1);
  EXPECT_EQ(CountLogLines("Raw H264 recorder disabled after fatal writer init failure."), 1);
}

// 16-bit stereo PCM of a 440 Hz tone.
std::vector<int16_t> Tone(int rate, int channels, int frames, int offset) {
  std::vector<int16_t> pcm(static_cast<size_t>(frames * channels));
  for (int f = 0; f < frames; ++f)
    for (int c = 0; c < channels; ++c)
      pcm[static_cast<size_t>(f * channels + c)] =
          static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * (offset + f) / rate));
  return pcm;
}

class RecorderAudioTest : public RecorderTest {
 protected:
  void PushPcm(int rate, int channels, int frames, int offset) {
    std::vector<int16_t> pcm = Tone(rate, channels, frames, offset);
    OvixAudioFrame a{};
    a.data = reinterpret_cast<uint8_t*>(pcm.data());
    a.size = static_cast<int32_t>(pcm.size() * 2);
    a.sampleRate = rate;
    a.channels = channels;
    a.bitsPerSample = 16;
    ASSERT_EQ(audioSource_->OnAudioFrame(&a), OVIX_OK);
  }
  OvixPortBase* audioSource_ = nullptr;
};

TEST_F(RecorderAudioTest, PcmBecomesAnAacTrackOfTheSameLength) {
  OvixRecorderConfig config = Config();
  config.audio = 1;
  MakeRecorder("av.mp4", config);
  audioSource_ = OvixPortBase::FromHandle(recorder_);
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  const auto units = MakeH264Stream(320, 240, 30, 30);
  PushPcm(48000, 2, 480, 0);  // before the segment: remembered format only
  int pcmFrames = 0;
  for (size_t i = 0; i < units.size(); ++i) {
    PushH264(units[i], 1 + static_cast<int64_t>(i) * 333'333);
    // Whole AAC frames' worth, so the track's length can be compared exactly:
    // 46 blocks of 1024 samples over the 30 video frames.
    for (int k = 0; k < (i < 16 ? 2 : 1); ++k) {
      PushPcm(48000, 2, 1024, pcmFrames);
      pcmFrames += 1024;
    }
    PushPcm(44100, 2, 441, 0);  // another format in the same segment: ignored
  }
  ASSERT_EQ(pcmFrames, 46 * 1024);
  ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
  const ProbeResult p = Probe(dir_ + "/av.mp4");
  EXPECT_EQ(p.probeErrors, "");
  EXPECT_EQ(p.decodeErrors, "");
  EXPECT_EQ(p.streams, 2);
  EXPECT_NEAR(p.audioDuration, pcmFrames / 48000.0, 1024.0 / 48000.0 + 1e-6);
  EXPECT_GT(Stats().audioCallbacks, 0);
  const auto audio = packets_.Audio();
  ASSERT_FALSE(audio.empty());
  EXPECT_EQ(audio[0].sampleRate, 48000);
  EXPECT_EQ(CountLogLines("Raw H264 custom MP4 AAC audio track ready sr=48000 ch=2 bitrate=128000"), 1);
}

TEST_F(RecorderAudioTest, AudioOnWithoutPcmGivesAVideoOnlyFile) {
  OvixRecorderConfig config = Config();
  config.audio = 1;
  MakeRecorder("vonly.mp4", config);
  ASSERT_EQ(OVIX_Start(recorder_), OVIX_OK);
  const auto units = MakeH264Stream(320, 240, 30, 5);
  for (size_t i = 0; i < units.size(); ++i) PushH264(units[i], 1 + static_cast<int64_t>(i) * 333'333);
  ASSERT_EQ(OVIX_Stop(recorder_), OVIX_OK);
  const ProbeResult p = Probe(dir_ + "/vonly.mp4");
  EXPECT_EQ(p.probeErrors, "");
  EXPECT_EQ(p.streams, 1);
  EXPECT_EQ(CountLogLines("Raw H264 custom MP4 muxer enables AAC audio track on first PCM audio frame."), 1);
}

// A full disk, by a file-size limit in a child process: the segment being
// written fails, the earlier one stays complete.
TEST_F(RecorderTest, AFullDiskLeavesEarlierSegmentsPlayable) {
  const auto units = MakeH264Stream(320, 240, 30, 90);
  size_t first = 0, second = 0;
  for (size_t i = 0; i < units.size(); ++i) (i < 30 ? first : second) += units[i].size();
  const size_t limit = first + 8192;  // the first segment with its index fits, the second does not
  ASSERT_GT(second, limit + 4096);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG instead
    rlimit rl{};
    rl.rlim_cur = rl.rlim_max = limit;
    setrlimit(RLIMIT_FSIZE, &rl);
    OVIX_EnableLog(0);  // the log file is subject to the limit too
    OvixRecorderConfig config = Config();
    config.split = OVIX_RECORD_SPLIT_TIME;
    config.seconds = 1;
    SetPath(config, dir_ + "/full.mp4");
    OvixPortHandle r = OVIX_CreateRecorder("unused.mp4");
    OvixPortHandle s = OVIX_CreateVideoFrameSource();
    bool ok = r && s && OVIX_SetRecorderConfig(r, &config) == OVIX_OK && OVIX_Connect(s, r) == OVIX_OK &&
              OVIX_Start(s) == OVIX_OK && OVIX_Start(r) == OVIX_OK;
    for (size_t i = 0; ok && i < units.size(); ++i) {
      OvixVideoFrame f{};
      f.data[0] = const_cast<uint8_t*>(units[i].data());
      f.stride[0] = static_cast<int32_t>(units[i].size());
      f.width = 320;
      f.height = 240;
      f.format = OVIX_FORMAT_H264;
      // One second at 30 fps, then the rest inside the second segment's second.
      f.timestamp = 1 + (i < 30 ? static_cast<int64_t>(i) * 333'333 : 10'000'000 + static_cast<int64_t>(i - 30) * 100'000);
      OVIX_PushVideoFrame(s, &f);
      OvixRecorderStats st{};
      while (OVIX_GetRecorderStats(r, &st) == OVIX_OK && st.inputFrames < static_cast<int64_t>(i) + 1)
        std::this_thread::yield();
    }
    OvixRecorderStats st{};
    OVIX_GetRecorderStats(r, &st);
    ok = ok && OVIX_Stop(r) == OVIX_OK;
    OVIX_DestroyPort(s);
    OVIX_DestroyPort(r);
    OVIX_Shutdown();
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the recording process crashed";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const auto files = Files();
  ASSERT_EQ(files.size(), 2u);
  const ProbeResult kept = Probe(files[0]);
  EXPECT_EQ(kept.probeErrors, "");
  EXPECT_EQ(kept.decodeErrors, "");
  EXPECT_EQ(kept.videoFrames, 30);
  EXPECT_NE(Probe(files[1]).probeErrors, "");  // the segment that did not fit is not passed off as complete
}

}  // namespace
}  // namespace ovix::test
