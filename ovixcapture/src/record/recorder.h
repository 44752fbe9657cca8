// The recording port: copies every video frame into a bounded queue that
// its worker thread records, writes H.264 frames unchanged into the
// library's own MP4 files (with an AAC track from the PCM it receives),
// and cuts the recording into segments by size or time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/port_base.h"
#include "record/h264_input_form.h"

namespace ovix {

class OvixMp4Writer;
class OvixAacEncoder;
struct AacPacket;

class OvixRecorder final : public OvixPortBase {
 public:
  explicit OvixRecorder(std::u16string filePath);
  ~OvixRecorder() override;

  int Start() override;
  int Stop() override;
  int OnVideoFrame(const OvixVideoFrame* frame) override;
  int OnAudioFrame(const OvixAudioFrame* frame) override;

  // The exported functions' bodies. -1 when called from inside one of the
  // recorder's own callbacks (its lock is held there).
  int SetConfig(const OvixRecorderConfig& config);
  int GetStats(OvixRecorderStats& out);
  int SetVideoCallback(OvixEncodedVideoCallback fn, void* user);
  int SetAudioCallback(OvixEncodedAudioCallback fn, void* user);

  static constexpr int kQueueLimit = 8;

 private:
  struct QueuedFrame {
    OvixVideoFrame frame{};
    std::vector<uint8_t> planes[4];
  };

  // The configuration lock, remembering its holder so that a callback that
  // calls back into the recorder is refused instead of deadlocking.
  class ConfigLock {
   public:
    explicit ConfigLock(OvixRecorder& r) : r_(r), lock_(r.configMutex_) { r_.configOwner_.store(std::this_thread::get_id()); }
    ~ConfigLock() { r_.configOwner_.store(std::thread::id()); }

   private:
    OvixRecorder& r_;
    std::lock_guard<std::mutex> lock_;
  };
  bool HeldByThisThread() const { return configOwner_.load() == std::this_thread::get_id(); }

  static bool CopyFrame(const OvixVideoFrame& in, QueuedFrame& out);
  void WorkerLoop();
  int RouteVideoFrame(const OvixVideoFrame& frame);
  int RecordUncompressedFrame(const OvixVideoFrame& frame);

  // Segments (recorder_segments.cpp).
  bool ShouldSplit(int64_t time) const;
  std::u16string NextSegmentName() const;
  void CloseSegment();

  // The direct H.264 path (recorder_direct.cpp).
  int ProcessDirectH264Frame(const OvixVideoFrame& frame);
  int OpenDirectSegment(const OvixVideoFrame& frame);
  int WriteEncodedVideo(const uint8_t* bytes, size_t size, int64_t time, bool key);
  int ProcessDirectAudio(const OvixAudioFrame& frame);
  void FinalizeDirectSegment();
  void WriteAudioPackets(const std::vector<AacPacket>& packets, bool stopOnFailure, bool& failed);

  std::string PathText(const std::u16string& path) const;

  // Configuration, state, writers, counters and callbacks: under configMutex_.
  std::mutex configMutex_;
  std::atomic<std::thread::id> configOwner_{};
  std::u16string filePath_;
  int32_t width_ = 0, height_ = 0;
  int32_t targetFps_ = 30;
  int32_t bitrate_ = 8'000'000;
  int32_t reserved1_ = 1, reserved2_ = 1;
  int32_t inputMode_ = OVIX_RECORD_INPUT_AUTO;
  int32_t audio_ = 0;
  int32_t split_ = OVIX_RECORD_SPLIT_NONE;
  uint64_t maxBytes_ = 0;
  int32_t seconds_ = 0;

  // Written under configMutex_; OnVideoFrame reads it without the lock, so
  // that a delivering thread never waits for a frame being written.
  std::atomic<bool> running_{false};
  bool segmentOpen_ = false;

  int64_t baseTime_ = -1;
  int64_t nextTime_ = 0;
  int64_t frameDuration_ = 333'333;

  std::u16string segmentPath_;
  int32_t segmentIndex_ = 0;
  int64_t segmentStart_ = 0, segmentAudioStart_ = 0, segmentFrames_ = 0, segmentPcmSamples_ = 0;

  // Direct path.
  std::unique_ptr<OvixMp4Writer> writer_;
  std::unique_ptr<OvixAacEncoder> aac_;
  H264Units units_;
  std::vector<uint8_t> spsBytes_, ppsBytes_;
  bool directMode_ = false;
  bool directFatal_ = false;
  bool firstSampleLogged_ = false;
  int64_t directBytes_ = 0;
  bool aacFailed_ = false;
  bool audioStreamReady_ = false;

  int32_t audioRate_ = 48000, audioChannels_ = 2;
  int64_t audioTime_ = 0;

  int64_t inputFrames_ = 0, encodedFrames_ = 0, droppedFrames_ = 0, duplicatedFrames_ = 0;
  int64_t videoCallbacks_ = 0, audioCallbacks_ = 0;
  int64_t notRecorded_ = 0;  // uncompressed frames while the encoder path is not built in

  OvixEncodedVideoCallback videoFn_ = nullptr;
  void* videoUser_ = nullptr;
  OvixEncodedAudioCallback audioFn_ = nullptr;
  void* audioUser_ = nullptr;

  // The queue and the worker: under queueMutex_. No code holds both locks.
  std::mutex queueMutex_;
  std::condition_variable queueCv_;
  std::deque<std::unique_ptr<QueuedFrame>> queue_;
  int64_t asyncDropped_ = 0;
  bool workerRunning_ = false;
  bool workerStopRequested_ = false;
  std::thread worker_;
};

}  // namespace ovix
