// The direct H.264 path: frames already compressed are normalised to
// Annex-B, their parameter sets captured, and each access unit written as
// one sample into the segment's own MP4 file, with an AAC track from the
// PCM the recorder receives.
#include <sys/stat.h>

#include "core/log.h"
#include "core/log_tags.h"
#include "platform/hresult.h"
#include "platform/sys.h"
#include "record/aac_encoder.h"
#include "record/h264_nal.h"
#include "record/mp4_writer.h"
#include "record/recorder.h"

namespace ovix {
namespace {

uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

int OvixRecorder::ProcessDirectH264Frame(const OvixVideoFrame& frame) {
  const uint8_t* data = frame.data[0];
  const int32_t length = frame.stride[0];
  if (!data || length < 1) return OVIX_ERR_INVALID_ARG;
  if (directFatal_) {
    if (++droppedFrames_ % 240 == 1)
      OVIX_LOG(kTagRecorder, "Raw H264 recorder disabled after fatal writer init failure. dropped=%lld input=%lld",
               static_cast<long long>(droppedFrames_), static_cast<long long>(inputFrames_));
    return OVIX_OK;
  }
  const H264InputForm form = NormalizeH264Frame(data, static_cast<size_t>(length), units_, spsBytes_, ppsBytes_);
  if (units_.annexB.empty()) {
    ++droppedFrames_;
    return OVIX_OK;
  }
  if (!firstSampleLogged_) {
    OVIX_LOG(kTagRecorder,
             "Raw H264 first sample source=%s inputBytes=%d annexBBytes=%u nalCount=%d firstNal=%d key=%d sps=%u pps=%u",
             H264InputFormName(form), length, static_cast<unsigned>(units_.annexB.size()), units_.nalCount,
             units_.firstType, units_.key ? 1 : 0, static_cast<unsigned>(spsBytes_.size()),
             static_cast<unsigned>(ppsBytes_.size()));
    firstSampleLogged_ = true;
  }
  if (!segmentOpen_ && (spsBytes_.empty() || ppsBytes_.empty())) {
    if (++droppedFrames_ % 30 == 1)
      OVIX_LOG(kTagRecorder, "Raw H264 recorder waiting for SPS/PPS before MP4 writer start dropped=%lld sampleBytes=%d",
               static_cast<long long>(droppedFrames_), length);
    return OVIX_OK;
  }

  const int64_t t = frame.timestamp > 0 ? frame.timestamp : sys::MonotonicNs() / 100;
  int64_t time = 0;
  if (baseTime_ < 0) {
    baseTime_ = t;
    nextTime_ = 0;
  } else {
    time = t - baseTime_ > 0 ? t - baseTime_ : nextTime_;
  }

  if (OpenDirectSegment(frame) != OVIX_OK) {
    ++droppedFrames_;
    directFatal_ = true;
    OVIX_LOG(kTagRecorder,
             "Raw H264 recorder fatal: writer init failed. Stop direct record and inspect sequence-header/media-type "
             "logs above.");
    return OVIX_ERR_FAILED;
  }
  if (ShouldSplit(time)) {
    // Closing a segment empties the access-unit buffer, which still holds
    // this frame: it is set aside for the next segment to begin with.
    H264Units current = std::move(units_);
    CloseSegment();
    units_ = std::move(current);
    ++segmentIndex_;
    segmentPath_ = NextSegmentName();
    OVIX_LOG(kTagRecorder, "Raw H264 recorder open next segment=%d file=%s", segmentIndex_,
             PathText(segmentPath_).c_str());
    if (OpenDirectSegment(frame) != OVIX_OK) return OVIX_ERR_FAILED;
  }
  if (WriteEncodedVideo(units_.annexB.data(), units_.annexB.size(), time, units_.key) != OVIX_OK) return OVIX_ERR_FAILED;
  nextTime_ = time + frameDuration_;
  if (encodedFrames_ % 120 == 0)
    OVIX_LOG(kTagRecorder, "Raw H264 recorder stats input=%lld written=%lld dropped=%lld bytes=%lld fps=%d size=%dx%d",
             static_cast<long long>(inputFrames_), static_cast<long long>(encodedFrames_),
             static_cast<long long>(droppedFrames_), static_cast<long long>(directBytes_), targetFps_, width_, height_);
  DeliverVideo(&frame);
  return OVIX_OK;
}

int OvixRecorder::OpenDirectSegment(const OvixVideoFrame& frame) {
  if (segmentOpen_) return OVIX_OK;
  if (filePath_.empty()) return OVIX_ERR_INVALID_ARG;
  width_ = width_ > 0 ? width_ : frame.width;
  height_ = height_ > 0 ? height_ : frame.height;
  if (width_ <= 0 || height_ <= 0) {
    OVIX_LOG(kTagRecorder, "Raw H264 custom MP4 writer missing valid frame size cfg=%dx%d frame=%dx%d", width_,
             height_, frame.width, frame.height);
    return OVIX_ERR_INVALID_ARG;
  }
  if (spsBytes_.empty() || ppsBytes_.empty()) {
    OVIX_LOG(kTagRecorder, "Raw H264 custom MP4 writer needs SPS/PPS before open sps=%u pps=%u",
             static_cast<unsigned>(spsBytes_.size()), static_cast<unsigned>(ppsBytes_.size()));
    return OVIX_ERR_FAILED;
  }
  frameDuration_ = 10'000'000 / (targetFps_ < 1 ? 30 : targetFps_);
  if (segmentPath_.empty()) segmentPath_ = NextSegmentName();
  const SpsInfo sps = ParseSps(spsBytes_);
  OVIX_LOG(kTagRecorder,
           "Raw H264 custom MP4 sequence header sps=%u pps=%u profile=%d level=%d chroma=%d bitDepth=%d/%d parsed=%d",
           static_cast<unsigned>(spsBytes_.size()), static_cast<unsigned>(ppsBytes_.size()), sps.profileIdc,
           sps.levelIdc, sps.chromaFormatIdc, sps.bitDepthLuma, sps.bitDepthChroma, sps.parsed ? 1 : 0);
  if (audio_) OVIX_LOG(kTagRecorder, "Raw H264 custom MP4 muxer enables AAC audio track on first PCM audio frame.");
  auto writer = std::make_unique<OvixMp4Writer>();
  if (!writer->Open(segmentPath_, width_, height_, targetFps_, spsBytes_, ppsBytes_)) {
    writer.reset();
    OVIX_LOG(kTagRecorder, "Raw H264 custom MP4 open failed file=%s", PathText(segmentPath_).c_str());
    return OVIX_ERR_FAILED;
  }
  segmentStart_ = nextTime_;
  segmentAudioStart_ = audioTime_;
  segmentFrames_ = 0;
  segmentPcmSamples_ = 0;
  directBytes_ = 0;
  writer_ = std::move(writer);
  segmentOpen_ = true;
  directMode_ = true;
  OVIX_LOG(kTagRecorder,
           "Raw H264 custom MP4 writer ready file=%s %dx%d fps=%d profile=%d level=%d bitDepth=%d/%d segment=%d",
           PathText(segmentPath_).c_str(), width_, height_, targetFps_, sps.profileIdc, sps.levelIdc,
           sps.bitDepthLuma, sps.bitDepthChroma, segmentIndex_);
  return OVIX_OK;
}

int OvixRecorder::WriteEncodedVideo(const uint8_t* bytes, size_t size, int64_t time, bool key) {
  if (!segmentOpen_ || !bytes || size < 1) return OVIX_ERR_INVALID_ARG;
  if (!writer_) return OVIX_ERR_INVALID_ARG;  // the platform writer's branch arrives with the encoder path
  if (!writer_->WriteVideoSample(bytes, size, time - segmentStart_, key)) {
    OVIX_LOG(kTagRecorder, "Raw H264 custom MP4 WriteVideoSample failed t=%lld size=%d key=%d",
             static_cast<long long>(time), static_cast<int>(size), key ? 1 : 0);
    return OVIX_ERR_FAILED;
  }
  ++encodedFrames_;
  ++segmentFrames_;
  directBytes_ += static_cast<int64_t>(size);
  if (videoFn_) {
    OvixEncodedVideoPacket packet{};
    packet.data = const_cast<uint8_t*>(bytes);
    packet.size = static_cast<int32_t>(size);
    packet.origin = 1;
    packet.pts = packet.dts = time;
    packet.frameNumber = encodedFrames_;
    packet.key = key ? 1 : 0;
    packet.width = width_;
    packet.height = height_;
    videoFn_(&packet, videoUser_);
    ++videoCallbacks_;
  }
  return OVIX_OK;
}

void OvixRecorder::WriteAudioPackets(const std::vector<AacPacket>& packets, bool stopOnFailure, bool& failed) {
  failed = false;
  for (const AacPacket& p : packets) {
    if (p.data.empty()) continue;
    const int64_t pts = p.pts - segmentAudioStart_ > 0 ? p.pts - segmentAudioStart_ : 0;
    if (!writer_->WriteAudioSample(p.data.data(), p.data.size(), pts, p.duration)) {
      if (stopOnFailure) {
        OVIX_LOG(kTagRecorder, "Raw H264 custom MP4 WriteAudioSample failed size=%d", static_cast<int>(p.data.size()));
        failed = true;
        return;
      }
    }
    if (audioFn_) {
      OvixEncodedAudioPacket packet{};
      packet.data = const_cast<uint8_t*>(p.data.data());
      packet.size = static_cast<int32_t>(p.data.size());
      packet.origin = 1;
      packet.pts = p.pts;
      packet.sampleRate = audioRate_;
      packet.channels = audioChannels_;
      packet.bitsPerSample = 16;
      audioFn_(&packet, audioUser_);
      ++audioCallbacks_;
    }
  }
}

int OvixRecorder::ProcessDirectAudio(const OvixAudioFrame& frame) {
  if (!audio_ || aacFailed_ || frame.bitsPerSample != 16 || frame.channels <= 0 || frame.sampleRate <= 0 || !frame.data ||
      frame.size <= 0)
    return OVIX_OK;
  if (!aac_) {
    audioRate_ = frame.sampleRate;
    audioChannels_ = frame.channels;
    auto encoder = std::make_unique<OvixAacEncoder>();
    if (!encoder->Init(audioRate_, audioChannels_)) {
      encoder.reset();
      aacFailed_ = true;
      OVIX_LOG(kTagRecorder, "Raw H264 custom MP4 AAC encoder init failed sr=%d ch=%d", audioRate_, audioChannels_);
      return OVIX_OK;
    }
    if (!writer_->IsOpen() || encoder->sampleRate() < 1 || encoder->channels() < 1 ||
        encoder->audioSpecificConfig().empty()) {
      encoder.reset();
      aacFailed_ = true;
      OVIX_LOG(kTagRecorder, "%s", "Raw H264 custom MP4 enable AAC audio track failed");
      return OVIX_OK;
    }
    const int32_t bitrate = encoder->bitRate() < 1 ? 128'000 : encoder->bitRate();
    writer_->EnableAudioTrack(encoder->sampleRate(), encoder->channels(), bitrate, encoder->audioSpecificConfig());
    aac_ = std::move(encoder);
    audioStreamReady_ = true;
    OVIX_LOG(kTagRecorder, "Raw H264 custom MP4 AAC audio track ready sr=%d ch=%d bitrate=%d", audioRate_,
             audioChannels_, bitrate);
  }
  if (frame.channels != audioChannels_ || frame.sampleRate != audioRate_) return OVIX_OK;
  const int64_t samples = frame.size / (frame.channels * 2);
  if (samples == 0) return OVIX_OK;
  const int64_t duration = samples * 10'000'000 / (audioRate_ > 0 ? audioRate_ : 48000);
  std::vector<AacPacket> packets;
  const HRESULT hr = aac_->Encode(frame.data, frame.size, audioTime_, duration, packets);
  if (Failed(hr)) {
    OVIX_LOG(kTagRecorder, "Raw H264 custom MP4 AAC encode failed hr=0x%08X bytes=%d", static_cast<unsigned>(hr),
             frame.size);
    return OVIX_OK;
  }
  bool failed = false;
  WriteAudioPackets(packets, true, failed);
  if (failed) return OVIX_ERR_FAILED;
  audioTime_ += duration;
  segmentPcmSamples_ += samples;
  return OVIX_OK;
}

void OvixRecorder::FinalizeDirectSegment() {
  if (aac_ && aac_->ready()) {
    std::vector<AacPacket> packets;
    const HRESULT hr = aac_->Drain(packets);
    if (Failed(hr) && hr != MF_E_TRANSFORM_NEED_MORE_INPUT)
      OVIX_LOG(kTagRecorder, "Raw H264 custom MP4 AAC drain failed hr=0x%08X", static_cast<unsigned>(hr));
    bool failed = false;
    WriteAudioPackets(packets, false, failed);
  }
  const bool ok = writer_->Finalize();
  const std::string path = PathText(segmentPath_);
  OVIX_LOG(kTagRecorder,
           "Raw H264 custom MP4 finalize segment=%d file=%s ok=%d payloadBytes=%llu audioBytes=%llu fileBytes=%llu "
           "frames=%lld samples=%u audioSamples=%u audioPcmSamples=%lld",
           segmentIndex_, path.c_str(), ok ? 1 : 0, static_cast<unsigned long long>(writer_->PayloadBytes()),
           static_cast<unsigned long long>(writer_->AudioBytes()), static_cast<unsigned long long>(FileSize(path)),
           static_cast<long long>(segmentFrames_), static_cast<unsigned>(writer_->VideoSampleCount()),
           static_cast<unsigned>(writer_->AudioSampleCount()), static_cast<long long>(segmentPcmSamples_));
}

}  // namespace ovix
