// Files from OvixMp4Writer judged by FFmpeg's own tools: libx264 streams at
// three profiles, handed over as Annex-B access units, as length-prefixed
// access units and as one NAL unit per call, with and without an AAC track
// from FFmpeg's native encoder. Each file must probe and decode without a
// complaint, hold every frame, decode to the same pictures as the raw
// stream, and carry the audio it was given.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "support/shell.h"
#include "platform/sys.h"
#include "record/av_test_streams.h"
#include "record/mp4_writer.h"
#include "support/temp_dir.h"

namespace ovix {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kFrames = 30;
constexpr int64_t kFrameTime = 333333;
constexpr int kSampleRate = 48000;
constexpr int64_t kPcmFrames = 47 * 1024;  // about the video's second

// stdout and stderr of a command.
std::string Shell(const std::string& command) { return test::RunShell(command + " 2>&1"); }

// The decoded pictures' checksums; a line that is no frame line is kept
// whole so it shows in the comparison.
std::vector<std::string> FrameHashes(const std::string& input) {
  std::vector<std::string> hashes;
  const std::string out = Shell("ffmpeg -nostdin -v error " + input + " -map 0:v:0 -f framemd5 -");
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(at, end - at);
    at = end + 1;
    if (line.empty() || line[0] == '#') continue;
    const size_t comma = line.rfind(',');
    hashes.push_back(comma == std::string::npos ? line : line.substr(line.find_first_not_of(' ', comma + 1)));
  }
  return hashes;
}

const char* NextLine(const char* text) {
  const char* nl = std::strchr(text, '\n');
  return nl ? nl + 1 : "";
}

struct SourceStream {
  test::H264Stream h264;
  std::vector<std::string> hashes;  // of the raw Annex-B stream
  std::string error;
};

// Encoded and decoded once per profile for all cases.
const SourceStream& Source(const std::string& profile, test::TempDir& dir) {
  static std::map<std::string, SourceStream> cache;
  auto [it, fresh] = cache.try_emplace(profile);
  SourceStream& s = it->second;
  if (!fresh) return s;
  test::H264Options options;
  options.profile = profile.c_str();
  options.frames = kFrames;
  s.h264 = test::EncodeH264(options, s.error);
  if (!s.error.empty()) return s;
  const std::string raw = dir.File(profile + ".h264");
  if (FILE* f = std::fopen(raw.c_str(), "wb")) {
    for (const Bytes& au : s.h264.accessUnits) std::fwrite(au.data(), 1, au.size(), f);
    std::fclose(f);
  }
  s.hashes = FrameHashes("-f h264 -i '" + raw + "'");
  return s;
}

const test::AacStream& Aac(std::string& error) {
  static const test::AacStream aac = test::EncodeAacSine(kSampleRate, 2, kPcmFrames, error);
  return aac;
}

enum class Form { kAnnexB, kLengthPrefixed, kSingleNal };

Bytes LengthPrefixed(const Bytes& au) {
  Bytes out;
  for (std::span<const uint8_t> nal : test::SplitAnnexB(au)) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(nal.size() >> s));
    out.insert(out.end(), nal.begin(), nal.end());
  }
  return out;
}

bool HasStartCode(const Bytes& b) {
  for (size_t i = 0; i + 2 < b.size(); ++i)
    if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) return true;
  return false;
}

using ExternalCase = std::tuple<const char*, Form, bool>;

class Mp4WriterFfmpeg : public ::testing::TestWithParam<ExternalCase> {
 protected:
  static test::TempDir& Dir() {
    static test::TempDir dir("ovix_mp4_ffmpeg");
    return dir;
  }
};

TEST_P(Mp4WriterFfmpeg, FileDecodesToTheSourcePictures) {
  const auto [profile, form, withAudio] = GetParam();
  const SourceStream& source = Source(profile, Dir());
  ASSERT_EQ(source.error, "");
  ASSERT_EQ(source.hashes.size(), static_cast<size_t>(kFrames));
  std::string aacError;
  const test::AacStream& aac = Aac(aacError);
  ASSERT_EQ(aacError, "");

  const std::string path = Dir().File(std::string(profile) + "_" + std::to_string(static_cast<int>(form)) +
                                (withAudio ? "_aac" : "") + ".mp4");
  std::u16string path16;
  ASSERT_TRUE(sys::Utf8ToUtf16(path, path16));
  OvixMp4Writer w;
  ASSERT_TRUE(w.Open(path16, 320, 240, 30, source.h264.sps, source.h264.pps));
  if (withAudio) w.EnableAudioTrack(kSampleRate, 2, 128000, aac.audioSpecificConfig);

  size_t audioNext = 0;
  const auto audioPts = [](size_t i) { return static_cast<int64_t>(i) * 1024 * 10'000'000 / kSampleRate; };
  const auto writeAudioUntil = [&](int64_t t) {
    for (; withAudio && audioNext < aac.frames.size() && audioPts(audioNext) <= t; ++audioNext) {
      const Bytes& f = aac.frames[audioNext];
      ASSERT_TRUE(w.WriteAudioSample(f.data(), f.size(), audioPts(audioNext), 0));
    }
  };
  for (int i = 0; i < kFrames; ++i) {
    const int64_t t = i * kFrameTime;
    writeAudioUntil(t);
    const Bytes& au = source.h264.accessUnits[i];
    switch (form) {
      case Form::kAnnexB:
        ASSERT_TRUE(w.WriteVideoSample(au.data(), au.size(), t, source.h264.keys[i]));
        break;
      case Form::kLengthPrefixed: {
        const Bytes avcc = LengthPrefixed(au);
        // A NAL length of 256..511 holds 00 00 01 and would be read as
        // Annex-B; the source's noise keeps every unit longer.
        ASSERT_FALSE(HasStartCode(avcc)) << "frame " << i;
        ASSERT_TRUE(w.WriteVideoSample(avcc.data(), avcc.size(), t, source.h264.keys[i]));
        break;
      }
      case Form::kSingleNal: {
        // Parameter sets travel in avcC; each picture is one slice.
        int pictures = 0;
        for (std::span<const uint8_t> nal : test::SplitAnnexB(au)) {
          const int type = nal[0] & 0x1F;
          if (type != 1 && type != 5) continue;
          ++pictures;
          ASSERT_TRUE(w.WriteVideoSample(nal.data(), nal.size(), t, type == 5));
        }
        ASSERT_EQ(pictures, 1) << "frame " << i;
        break;
      }
    }
  }
  writeAudioUntil(INT64_MAX);
  EXPECT_EQ(w.VideoSampleCount(), static_cast<size_t>(kFrames));
  EXPECT_EQ(w.AudioSampleCount(), withAudio ? aac.frames.size() : 0u);
  ASSERT_TRUE(w.Finalize());

  const std::string file = "'" + path + "'";
  EXPECT_EQ(Shell("ffprobe -v error " + file), "");
  EXPECT_EQ(Shell("ffmpeg -nostdin -v error -i " + file + " -f null -"), "");
  EXPECT_EQ(FrameHashes("-i " + file), source.hashes);

  // Per stream: its type, duration and the frames a full read finds.
  const std::string streams = Shell("ffprobe -v error -count_frames -show_entries "
                                    "stream=codec_type,duration,nb_read_frames -of csv=p=0 " + file);
  char type[16] = {};
  double duration = -1;
  long frames = -1;
  const char* line = streams.c_str();
  ASSERT_EQ(std::sscanf(line, "%15[^,],%lf,%ld", type, &duration, &frames), 3) << streams;
  EXPECT_STREQ(type, "video");
  EXPECT_EQ(frames, kFrames);
  line = NextLine(line);
  if (!withAudio) {
    EXPECT_STREQ(line, "") << streams;
    return;
  }
  ASSERT_EQ(std::sscanf(line, "%15[^,],%lf,%ld", type, &duration, &frames), 3) << streams;
  EXPECT_STREQ(type, "audio");
  EXPECT_EQ(frames, static_cast<long>(aac.frames.size()));
  const double pcm = static_cast<double>(aac.pcmFrames) / kSampleRate;
  EXPECT_LE(std::fabs(duration - pcm), 1024.0 / kSampleRate + 1e-6) << duration << " s for " << pcm << " s";
  EXPECT_STREQ(NextLine(line), "") << streams;
}

std::string CaseName(const ::testing::TestParamInfo<ExternalCase>& info) {
  static const char* const kForms[] = {"AnnexB", "LengthPrefixed", "SingleNal"};
  return std::string(std::get<0>(info.param)) + "_" + kForms[static_cast<int>(std::get<1>(info.param))] +
         (std::get<2>(info.param) ? "_Aac" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Mp4WriterFfmpeg,
    ::testing::Combine(::testing::Values("baseline", "main", "high"),
                       ::testing::Values(Form::kAnnexB, Form::kLengthPrefixed, Form::kSingleNal),
                       ::testing::Bool()),
    CaseName);

}  // namespace
}  // namespace ovix
