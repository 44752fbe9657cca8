#include "record/recorder.h"

#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/log_tags.h"
#include "platform/sys.h"
#include "platform/thread_start.h"
#include "record/aac_encoder.h"
#include "record/mp4_writer.h"

namespace ovix {
namespace {

constexpr int64_t kDefaultMaxBytes = 1'073'741'824;
constexpr int32_t kDefaultSeconds = 1800;
constexpr int32_t kDefaultBitrate = 8'000'000;

// Bytes of each plane a queued frame keeps; 0 for a plane not copied.
size_t PlaneBytes(const OvixVideoFrame& f, int plane) {
  const auto absStride = [&](int i) { return static_cast<size_t>(std::abs(static_cast<int64_t>(f.stride[i]))); };
  const size_t height = static_cast<size_t>(f.height);
  switch (f.format) {
    case OVIX_FORMAT_MJPG:
    case OVIX_FORMAT_H264:
      return plane == 0 && f.stride[0] > 0 ? static_cast<size_t>(f.stride[0]) : 0;
    case OVIX_FORMAT_NV12: {
      if (plane > 1) return 0;
      const size_t pitch = f.stride[plane] > 0 ? static_cast<size_t>(f.stride[plane]) : static_cast<size_t>(f.width);
      return (plane == 0 ? height : (height + 1) / 2) * pitch;
    }
    default:
      return plane == 0 ? height * absStride(0) : 0;
  }
}

}  // namespace

OvixRecorder::OvixRecorder(std::u16string filePath) : OvixPortBase(OVIX_PORT_RECORDER), filePath_(std::move(filePath)) {}

OvixRecorder::~OvixRecorder() { Stop(); }

std::string OvixRecorder::PathText(const std::u16string& path) const {
  std::string text;
  sys::Utf16ToUtf8(path, text);
  return text;
}

int OvixRecorder::SetConfig(const OvixRecorderConfig& config) {
  if (HeldByThisThread()) return OVIX_ERR_FAILED;
  ConfigLock lock(*this);
  if (running_) return OVIX_ERR_FAILED;
  const size_t length = sys::Utf16Length(config.filePath, OVIX_PATH_SIZE);
  if (length > 0) filePath_.assign(config.filePath, config.filePath + length);
  reserved1_ = config.reserved1 == 0 ? 1 : config.reserved1;
  reserved2_ = config.reserved2 == 0 ? 1 : config.reserved2;
  width_ = config.width;
  height_ = config.height;
  targetFps_ = config.recordFps >= 1 ? config.recordFps : (config.inputFps >= 1 ? config.inputFps : 30);
  bitrate_ = config.bitrate > 0 ? config.bitrate : kDefaultBitrate;
  audio_ = config.audio;
  inputMode_ = config.inputMode;
  split_ = config.split;
  maxBytes_ = config.maxBytes;
  if (split_ == OVIX_RECORD_SPLIT_SIZE && maxBytes_ == 0) maxBytes_ = kDefaultMaxBytes;
  seconds_ = config.seconds;
  if (split_ == OVIX_RECORD_SPLIT_TIME && seconds_ <= 0) seconds_ = kDefaultSeconds;
  OVIX_LOG(kTagRecorder,
           "Recorder config file=%s size=%dx%d inputFps=%d recordFps=%d mode=%s targetFps=%d bitrate=%d audio=%d "
           "inputMode=%d split=%d maxBytes=%llu seconds=%d",
           PathText(filePath_).c_str(), width_, height_, config.inputFps, config.recordFps,
           config.recordFps > 0 ? "custom" : "follow-input", targetFps_, bitrate_, audio_, inputMode_, split_,
           static_cast<unsigned long long>(maxBytes_), seconds_);
  return OVIX_OK;
}

int OvixRecorder::GetStats(OvixRecorderStats& out) {
  if (HeldByThisThread()) return OVIX_ERR_FAILED;
  ConfigLock lock(*this);
  out.inputFrames = inputFrames_;
  out.encodedFrames = encodedFrames_;
  out.droppedFrames = droppedFrames_;
  out.duplicatedFrames = duplicatedFrames_;
  out.videoCallbacks = videoCallbacks_;
  out.audioCallbacks = audioCallbacks_;
  out.targetFps = targetFps_;
  out.width = width_;
  out.height = height_;
  return OVIX_OK;
}

int OvixRecorder::SetVideoCallback(OvixEncodedVideoCallback fn, void* user) {
  if (HeldByThisThread()) return OVIX_ERR_FAILED;
  ConfigLock lock(*this);
  videoFn_ = fn;
  videoUser_ = user;
  OVIX_LOG(kTagRecorder, "Recorder encoded video callback %s", fn ? "enabled" : "disabled");
  return OVIX_OK;
}

int OvixRecorder::SetAudioCallback(OvixEncodedAudioCallback fn, void* user) {
  if (HeldByThisThread()) return OVIX_ERR_FAILED;
  ConfigLock lock(*this);
  audioFn_ = fn;
  audioUser_ = user;
  OVIX_LOG(kTagRecorder, "Recorder encoded audio callback %s", fn ? "enabled" : "disabled");
  return OVIX_OK;
}

int OvixRecorder::Start() {
  if (HeldByThisThread() || worker_.get_id() == std::this_thread::get_id()) {
    OVIX_LOG(kTagRecorder, "Recorder start refused inside its own callback");
    return OVIX_ERR_FAILED;
  }
  {
    ConfigLock lock(*this);
    if (filePath_.empty()) return OVIX_ERR_INVALID_ARG;
    if (running_) {
      // A second start keeps the recording that runs.
      OVIX_LOG(kTagRecorder, "Recorder start ignored: already recording file=%s", PathText(filePath_).c_str());
      return OVIX_OK;
    }
    running_ = true;
    segmentOpen_ = false;
    baseTime_ = -1;
    frameDuration_ = 10'000'000 / (targetFps_ < 1 ? 30 : targetFps_);
    nextTime_ = 0;
    inputFrames_ = encodedFrames_ = droppedFrames_ = duplicatedFrames_ = videoCallbacks_ = audioCallbacks_ = 0;
    notRecorded_ = 0;
    audioTime_ = 0;
    segmentIndex_ = 0;
    segmentPath_.clear();
    segmentStart_ = segmentAudioStart_ = segmentFrames_ = segmentPcmSamples_ = 0;
    spsBytes_.clear();
    ppsBytes_.clear();
    units_ = H264Units{};
    directMode_ = directFatal_ = firstSampleLogged_ = false;
    directBytes_ = 0;
    aacFailed_ = false;
  }
  {
    std::lock_guard lock(queueMutex_);
    queue_.clear();
    workerRunning_ = true;
    workerStopRequested_ = false;
  }
  if (worker_.joinable()) worker_.join();
  if (const int err = platform::StartThread(worker_, [this] { WorkerLoop(); }); err != 0) {
    {
      std::lock_guard lock(queueMutex_);
      workerRunning_ = false;
    }
    ConfigLock lock(*this);
    running_ = false;
    OVIX_LOG(kTagRecorder, "Recorder start failed to create worker thread winerr=%d", err);
    return OVIX_ERR_FAILED;
  }
  ConfigLock lock(*this);
  OVIX_LOG(kTagRecorder, "Recorder start file=%s targetFps=%d asyncQueue=%d", PathText(filePath_).c_str(), targetFps_,
           kQueueLimit);
  return OVIX_OK;
}

int OvixRecorder::Stop() {
  if (HeldByThisThread() || worker_.get_id() == std::this_thread::get_id()) {
    // Joining the worker from itself, or waiting for the lock this thread holds, would never end.
    OVIX_LOG(kTagRecorder, "Recorder stop refused inside its own callback");
    return OVIX_ERR_FAILED;
  }
  // Frames still waiting are discarded before the worker could take the
  // next one: running is cleared and the queue emptied first, so a worker
  // busy with a frame finds nothing more once it lets go of the lock.
  const bool wasRunning = running_.exchange(false);
  size_t discarded = 0;
  {
    std::lock_guard lock(queueMutex_);
    workerStopRequested_ = true;
    discarded = queue_.size();
    queue_.clear();
  }
  queueCv_.notify_all();
  // The worker may be inside a frame (an encoded-data callback among its
  // steps); say what the stop waits for.
  if (worker_.joinable())
    OVIX_LOG(kTagRecorder, "Recorder stop waiting for the worker thread discardedFrames=%zu", discarded);
  if (worker_.joinable()) worker_.join();
  int64_t dropped = 0;
  {
    std::lock_guard lock(queueMutex_);
    workerRunning_ = false;
    workerStopRequested_ = false;
    dropped = asyncDropped_;
  }
  ConfigLock lock(*this);
  if (wasRunning || segmentOpen_) {
    OVIX_LOG(kTagRecorder, "Recorder stop asyncDropped=%lld", static_cast<long long>(dropped));
    CloseSegment();
  }
  return OVIX_OK;
}

bool OvixRecorder::CopyFrame(const OvixVideoFrame& in, QueuedFrame& out) {
  out.frame = in;
  for (int i = 0; i < 4; ++i) {
    out.frame.data[i] = nullptr;
    if (!in.data[i] || in.width <= 0 || in.height <= 0) continue;
    const size_t bytes = PlaneBytes(in, i);
    if (bytes == 0) continue;
    // A plane with a negative stride (bottom-up rows) starts at its last row
    // in memory: its bytes lie below data[i], so the copy starts from the
    // lowest row and the copied plane keeps the same layout.
    const int64_t stride = in.stride[i];
    const bool upward = stride < 0 && in.format != OVIX_FORMAT_H264 && in.format != OVIX_FORMAT_MJPG;
    const size_t lastRow = upward ? (bytes / static_cast<size_t>(-stride) - 1) * static_cast<size_t>(-stride) : 0;
    const uint8_t* from = in.data[i] - lastRow;
    out.planes[i].assign(from, from + bytes);
    out.frame.data[i] = out.planes[i].data() + lastRow;
  }
  return out.frame.data[0] != nullptr;
}

int OvixRecorder::OnVideoFrame(const OvixVideoFrame* frame) {
  if (!frame) return OVIX_ERR_INVALID_ARG;
  if (!running_.load()) return OVIX_OK;
  auto entry = std::make_unique<QueuedFrame>();
  if (!CopyFrame(*frame, *entry)) return OVIX_ERR_INVALID_ARG;
  bool discarded = false;
  int64_t dropped = 0;
  {
    std::lock_guard lock(queueMutex_);
    if (!workerRunning_ || workerStopRequested_) return OVIX_OK;
    while (queue_.size() >= static_cast<size_t>(kQueueLimit)) {
      queue_.pop_front();
      ++asyncDropped_;
      discarded = true;
    }
    queue_.push_back(std::move(entry));
    dropped = asyncDropped_;
  }
  if (discarded && dropped % 30 == 1)
    OVIX_LOG(kTagRecorder, "Recorder async queue dropped frames=%lld queueLimit=%d", static_cast<long long>(dropped),
             kQueueLimit);
  queueCv_.notify_one();
  return OVIX_OK;
}

void OvixRecorder::WorkerLoop() {
  std::unique_lock queueLock(queueMutex_);
  while (true) {
    queueCv_.wait(queueLock, [&] { return !queue_.empty() || workerStopRequested_; });
    if (queue_.empty()) return;  // stop requested
    std::unique_ptr<QueuedFrame> entry = std::move(queue_.front());
    queue_.pop_front();
    queueLock.unlock();
    {
      ConfigLock lock(*this);
      if (running_) RouteVideoFrame(entry->frame);
    }
    entry.reset();
    queueLock.lock();
  }
}

int OvixRecorder::RouteVideoFrame(const OvixVideoFrame& frame) {
  ++inputFrames_;
  if (frame.format == OVIX_FORMAT_H264) {
    if (inputMode_ == OVIX_RECORD_INPUT_ENCODE) {
      OVIX_LOG(kTagRecorder, "%s", "Recorder cannot re-encode H264 input before the standalone decoder module is enabled.");
      return OVIX_ERR_UNSUPPORTED;
    }
    return ProcessDirectH264Frame(frame);
  }
  if (inputMode_ == OVIX_RECORD_INPUT_DIRECT_H264) {
    OVIX_LOG(kTagRecorder, "Recorder DIRECT_H264 mode rejects non-H264 frame fmt=%d", frame.format);
    return OVIX_ERR_UNSUPPORTED;
  }
  return RecordUncompressedFrame(frame);
}

int OvixRecorder::RecordUncompressedFrame(const OvixVideoFrame& frame) {
  // This build records H.264 input only; an uncompressed frame is counted as
  // not written, and said so, rather than silently lost.
  ++droppedFrames_;
  if (++notRecorded_ % 120 == 1)
    OVIX_LOG(kTagRecorder, "Recorder encoder path unavailable; uncompressed frame not recorded fmt=%d dropped=%lld",
             frame.format, static_cast<long long>(notRecorded_));
  return OVIX_ERR_UNSUPPORTED;
}

int OvixRecorder::OnAudioFrame(const OvixAudioFrame* frame) {
  if (!frame || HeldByThisThread()) return OVIX_OK;
  ConfigLock lock(*this);
  if (!running_) return OVIX_OK;
  if (segmentOpen_ && writer_) return ProcessDirectAudio(*frame);
  if (!segmentOpen_) {
    if (frame->sampleRate > 0) audioRate_ = frame->sampleRate;
    if (frame->channels > 0) audioChannels_ = frame->channels;
  }
  return OVIX_OK;
}

}  // namespace ovix
