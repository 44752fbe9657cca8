// OvixMp4Writer: the library's own MP4 writer for already-compressed H.264
// access units and raw AAC frames, one instance per segment file. Sample
// bytes stream into a single 64-bit `mdat` as they arrive; only a 32-byte
// entry per sample stays in memory, and `moov` is built in one buffer and
// appended when the segment is finalised. Not thread-safe: the recorder calls
// it under its configuration lock. Failures return false and log nothing
// (the recorder logs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "record/h264_nal.h"

namespace ovix {

struct Mp4SampleEntry {
  int64_t offset = 0;  // file offset of the sample's first byte
  int64_t pts = 0;     // 100-ns units, never negative
  // 100-ns units. 63 bits leave room for the key flag, keeping the entry at
  // 32 bytes; a duration never needs the sign bit's range.
  int64_t duration : 63 = 0;
  bool key : 1 = false;
  uint32_t size = 0;
  // In the track's timescale: 100 ns for video, PCM frames for audio.
  uint32_t trackDuration = 0;
};
static_assert(sizeof(Mp4SampleEntry) == 32, "one compact entry per sample");

class OvixMp4Writer {
 public:
  static constexpr int64_t kTimescale = 10'000'000;  // movie and video track
  static constexpr int64_t kMdatStart = 36;
  static constexpr int64_t kMdatSizePos = 44;

  OvixMp4Writer();
  ~OvixMp4Writer();
  OvixMp4Writer(const OvixMp4Writer&) = delete;
  OvixMp4Writer& operator=(const OvixMp4Writer&) = delete;

  // Starts a new file (a file still open is closed without its index). SPS
  // and PPS are NAL units with their header byte and no start code.
  bool Open(std::u16string_view path, int32_t width, int32_t height, int32_t fps,
            std::span<const uint8_t> sps, std::span<const uint8_t> pps);
  // The caller passes a rate and channel count of at least 1 and a
  // non-empty AudioSpecificConfig, while a file is open.
  void EnableAudioTrack(int32_t sampleRate, int32_t channels, int32_t bitrate,
                        std::span<const uint8_t> audioSpecificConfig);
  // One access unit (Annex-B, length-prefixed or one bare NAL unit); pts in
  // 100-ns units from the segment start.
  bool WriteVideoSample(const uint8_t* data, size_t size, int64_t pts, bool key);
  // One raw AAC frame; a duration of 0 or below means 1024 samples.
  bool WriteAudioSample(const uint8_t* data, size_t size, int64_t pts, int64_t duration);
  // Writes the index and closes the file. True without an open file; false
  // when the file could not be completed, including after any earlier write
  // error (buffered bytes of earlier samples may have been lost with it).
  bool Finalize();
  // Closes the file without its index and releases the tables.
  void Reset();

  bool IsOpen() const { return file_ != nullptr; }
  const std::u16string& Path() const { return path_; }
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  int32_t Fps() const { return fps_; }
  int64_t FrameDuration() const { return frameDuration_; }
  bool AudioEnabled() const { return audioEnabled_; }
  size_t VideoSampleCount() const { return videoSamples_.size(); }
  size_t AudioSampleCount() const { return audioSamples_.size(); }
  int64_t PayloadBytes() const { return payloadBytes_; }
  int64_t AudioBytes() const { return audioBytes_; }
  const std::vector<Mp4SampleEntry>& VideoSamples() const { return videoSamples_; }
  const std::vector<Mp4SampleEntry>& AudioSamples() const { return audioSamples_; }
  std::span<const uint8_t> AvcDecoderConfig() const { return avcC_; }

 private:
  bool WriteBytes(const void* data, size_t size);
  bool WritePlanned(const uint8_t* data, const LengthPrefixedPlan& plan);
  void AfterFailedWrite();
  void CloseFile();
  std::vector<uint8_t> BuildMoov(int64_t videoEnd, int64_t audioEnd, bool withAudio) const;

  FILE* file_ = nullptr;
  std::unique_ptr<char[]> ioBuffer_;  // the stream's buffer; outlives it
  int64_t position_ = 0;              // where the next byte goes
  bool writeFailed_ = false;          // a write error since Open

  std::u16string path_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t fps_ = 30;
  int64_t frameDuration_ = 333'333;
  std::vector<uint8_t> sps_, pps_, avcC_;

  std::vector<Mp4SampleEntry> videoSamples_, audioSamples_;
  int64_t payloadBytes_ = 0;
  int64_t audioBytes_ = 0;

  bool audioEnabled_ = false;
  int32_t sampleRate_ = 48'000;
  int32_t channels_ = 2;
  int32_t bitrate_ = 128'000;
  std::vector<uint8_t> audioSpecificConfig_;

  LengthPrefixedPlan plan_;  // reused so a sample costs no allocation
};

}  // namespace ovix
