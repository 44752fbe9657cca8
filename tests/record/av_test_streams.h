// Real streams for the MP4 writer's tests: H.264 from libx264 at a chosen
// profile and AAC from FFmpeg's native encoder, both through libavcodec, and
// the test's own Annex-B splitting (independent of the library's).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace ovix::test {

struct H264Options {
  const char* profile = "high";  // libx264's names: baseline, main, high, high10, high422, high444
  // Encoder input format (libavutil's name): yuv420p, yuv420p10le, yuv422p, yuv444p.
  const char* pixelFormat = "yuv420p";
  int width = 320;
  int height = 240;
  int frames = 30;
  int gop = 10;
};

struct H264Stream {
  std::vector<std::vector<uint8_t>> accessUnits;  // Annex-B, 4-byte start codes
  std::vector<bool> keys;
  std::vector<uint8_t> sps, pps;  // first of each, header byte first
};

// Empty `error` on success.
H264Stream EncodeH264(const H264Options& options, std::string& error);

// The NAL units of an Annex-B buffer (start codes of 3 or 4 bytes).
std::vector<std::span<const uint8_t>> SplitAnnexB(std::span<const uint8_t> au);

struct AacStream {
  std::vector<std::vector<uint8_t>> frames;  // raw AAC, 1024 samples each
  std::vector<uint8_t> audioSpecificConfig;
  int64_t pcmFrames = 0;
};

// A sine of pcmFrames samples per channel encoded to AAC-LC at 128 kbit/s.
AacStream EncodeAacSine(int sampleRate, int channels, int64_t pcmFrames, std::string& error);

}  // namespace ovix::test
