// OvixMp4Writer: the file's bytes box by box, sample timing, and every way a
// segment can fail to open, write or complete.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/sys.h"
#include "record/mp4_box_reader.h"
#include "record/mp4_writer.h"
#include "support/temp_dir.h"

namespace ovix {
namespace {

using Bytes = std::vector<uint8_t>;
using test::Cat;
using test::Fcc;
using test::Fields;
using test::Mp4Reader;

const Bytes kSps = {0x67, 0x42, 0xC0, 0x1E, 0x95, 0xA0, 0x50};  // Baseline: no avcC extension
const Bytes kPps = {0x68, 0xCE, 0x38, 0x80};
const Bytes kAsc = {0x11, 0x90};  // AAC-LC, 48 kHz, stereo

std::u16string U16(const std::string& utf8) {
  std::u16string out;
  EXPECT_TRUE(sys::Utf8ToUtf16(utf8, out));
  return out;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

const Bytes kMatrix = Fields({{4, 0x00010000}, {4, 0}, {4, 0}, {4, 0}, {4, 0x00010000}, {4, 0}, {4, 0}, {4, 0},
                              {4, 0x40000000}});

Bytes Tkhd(uint32_t id, uint64_t duration, uint32_t volume, uint32_t width, uint32_t height) {
  return Cat({Fields({{4, 104}, {4, Fcc("tkhd")}, {1, 1}, {3, 7}, {8, 0}, {8, 0}, {4, id}, {4, 0},
                      {8, duration}, {8, 0}, {2, 0}, {2, 0}, {2, volume}, {2, 0}}),
              kMatrix, Fields({{4, width << 16}, {4, height << 16}})});
}

Bytes Mdhd(uint32_t timescale, uint64_t duration) {
  return Fields({{4, 44}, {4, Fcc("mdhd")}, {1, 1}, {3, 0}, {8, 0}, {8, 0}, {4, timescale}, {8, duration},
                 {2, 0x55C4}, {2, 0}});
}

Bytes Hdlr(const char (&type)[5], const std::string& name) {
  Bytes b = Fields({{4, 45}, {4, Fcc("hdlr")}, {4, 0}, {4, 0}, {4, Fcc(type)}, {12, 0}});
  b.insert(b.end(), name.begin(), name.end());
  b.push_back(0);
  return b;
}

const Bytes kDinf = Fields({{4, 36}, {4, Fcc("dinf")}, {4, 28}, {4, Fcc("dref")}, {4, 0}, {4, 1},
                            {4, 12}, {4, Fcc("url ")}, {1, 0}, {3, 1}});
const Bytes kStsc = Fields({{4, 28}, {4, Fcc("stsc")}, {4, 0}, {4, 1}, {4, 1}, {4, 1}, {4, 1}});

struct Sample {
  uint32_t size;
  uint64_t offset;
};

Bytes Stts(const std::vector<std::pair<uint32_t, uint32_t>>& runs) {
  Bytes b = Fields({{4, 16 + 8 * runs.size()}, {4, Fcc("stts")}, {4, 0}, {4, runs.size()}});
  for (auto [count, delta] : runs) b = Cat({b, Fields({{4, count}, {4, delta}})});
  return b;
}

Bytes Stsz(const std::vector<Sample>& s) {
  Bytes b = Fields({{4, 20 + 4 * s.size()}, {4, Fcc("stsz")}, {4, 0}, {4, 0}, {4, s.size()}});
  for (const Sample& x : s) b = Cat({b, Fields({{4, x.size}})});
  return b;
}

Bytes Co64(const std::vector<Sample>& s) {
  Bytes b = Fields({{4, 16 + 8 * s.size()}, {4, Fcc("co64")}, {4, 0}, {4, s.size()}});
  for (const Sample& x : s) b = Cat({b, Fields({{8, x.offset}})});
  return b;
}

// stts runs as written in the file.
std::vector<std::pair<uint32_t, uint32_t>> SttsRuns(const Mp4Reader& r, const test::Box& stts) {
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  const uint32_t n = r.U32(stts.offset + 12);
  for (uint32_t i = 0; i < n; ++i) runs.emplace_back(r.U32(stts.offset + 16 + 8 * i), r.U32(stts.offset + 20 + 8 * i));
  return runs;
}

class Mp4WriterTest : public ::testing::Test {
 protected:
  test::TempDir dir_{"ovix_mp4"};
};

// The whole file of a short segment with both tracks, every box compared
// with its layout table.
TEST_F(Mp4WriterTest, LayoutByteForByte) {
  const std::string path = dir_.File("layout.mp4");
  OvixMp4Writer w;
  ASSERT_TRUE(w.Open(U16(path), 320, 240, 30, kSps, kPps));
  w.EnableAudioTrack(48000, 2, 0, kAsc);

  const Bytes v0 = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21};
  const Bytes v0Out = {0, 0, 0, 4, 0x67, 0x42, 0xC0, 0x1E, 0, 0, 0, 2, 0x68, 0xCE, 0, 0, 0, 4, 0x65, 0x88, 0x84, 0x21};
  const Bytes v1 = {0, 0, 0, 3, 0x41, 0x9A, 0x02};  // length-prefixed: unchanged
  const Bytes v2 = {0x65, 0x88, 0x80};               // one bare NAL unit
  const Bytes v2Out = {0, 0, 0, 3, 0x65, 0x88, 0x80};
  const Bytes a0 = {0x21, 0x10, 0x04, 0x60, 0x8C};
  const Bytes a1 = {0x21, 0x10, 0x05};
  ASSERT_TRUE(w.WriteVideoSample(v0.data(), v0.size(), 0, true));
  ASSERT_TRUE(w.WriteAudioSample(a0.data(), a0.size(), 0, 0));
  ASSERT_TRUE(w.WriteVideoSample(v1.data(), v1.size(), 333333, false));
  ASSERT_TRUE(w.WriteAudioSample(a1.data(), a1.size(), 213333, 0));
  ASSERT_TRUE(w.WriteVideoSample(v2.data(), v2.size(), 666666, true));
  EXPECT_EQ(w.VideoSampleCount(), 3u);
  EXPECT_EQ(w.AudioSampleCount(), 2u);
  EXPECT_EQ(w.PayloadBytes(), static_cast<int64_t>(v0Out.size() + v1.size() + v2Out.size() + a0.size() + a1.size()));
  EXPECT_EQ(w.AudioBytes(), static_cast<int64_t>(a0.size() + a1.size()));
  ASSERT_TRUE(w.Finalize());
  EXPECT_FALSE(w.IsOpen());

  const Mp4Reader r(test::ReadFileBytes(path));
  const std::vector<test::Box> top = r.TopLevel();
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(r.Whole(top[0]), Fields({{4, 36}, {4, Fcc("ftyp")}, {4, Fcc("isom")}, {4, 0x200}, {4, Fcc("isom")},
                                     {4, Fcc("iso2")}, {4, Fcc("avc1")}, {4, Fcc("mp41")}, {4, Fcc("mp42")}}));

  // mdat: the 64-bit form at 36, then the samples in write order.
  const test::Box& mdat = top[1];
  const test::Box& moov = top[2];
  EXPECT_EQ(mdat.offset, 36u);
  EXPECT_EQ(r.Slice(36, 16), Fields({{4, 1}, {4, Fcc("mdat")}, {8, moov.offset - 36}}));
  const Bytes payload = Cat({v0Out, a0, v1, a1, v2Out});
  EXPECT_EQ(r.Slice(52, moov.offset - 52), payload);
  const uint64_t ov0 = 52, oa0 = ov0 + v0Out.size(), ov1 = oa0 + a0.size(), oa1 = ov1 + v1.size(),
                 ov2 = oa1 + a1.size();

  EXPECT_EQ(r.ChildTypes(moov), (std::vector<std::string>{"mvhd", "trak", "trak"}));
  const uint64_t videoEnd = 666666 + 333333, audioEnd = 213333 + 213333;
  EXPECT_EQ(r.Whole(r.Get("moov/mvhd")),
            Cat({Fields({{4, 120}, {4, Fcc("mvhd")}, {1, 1}, {3, 0}, {8, 0}, {8, 0}, {4, 10000000}, {8, videoEnd},
                         {4, 0x00010000}, {2, 0x0100}, {10, 0}}),
                 kMatrix, Fields({{24, 0}, {4, 3}})}));

  // Video track.
  EXPECT_EQ(r.ChildTypes(r.Get("moov/trak")), (std::vector<std::string>{"tkhd", "mdia"}));
  EXPECT_EQ(r.ChildTypes(r.Get("moov/trak/mdia")), (std::vector<std::string>{"mdhd", "hdlr", "minf"}));
  EXPECT_EQ(r.ChildTypes(r.Get("moov/trak/mdia/minf")), (std::vector<std::string>{"vmhd", "dinf", "stbl"}));
  EXPECT_EQ(r.ChildTypes(r.Get("moov/trak/mdia/minf/stbl")),
            (std::vector<std::string>{"stsd", "stts", "stss", "stsc", "stsz", "co64"}));
  EXPECT_EQ(r.Whole(r.Get("moov/trak/tkhd")), Tkhd(1, videoEnd, 0, 320, 240));
  EXPECT_EQ(r.Whole(r.Get("moov/trak/mdia/mdhd")), Mdhd(10000000, videoEnd));
  EXPECT_EQ(r.Whole(r.Get("moov/trak/mdia/hdlr")), Hdlr("vide", "VideoHandler"));
  EXPECT_EQ(r.Whole(r.Get("moov/trak/mdia/minf/vmhd")), Fields({{4, 20}, {4, Fcc("vmhd")}, {1, 0}, {3, 1}, {8, 0}}));
  EXPECT_EQ(r.Whole(r.Get("moov/trak/mdia/minf/dinf")), kDinf);
  const Bytes avcC = Cat({Fields({{1, 1}, {1, 0x42}, {1, 0xC0}, {1, 0x1E}, {1, 0xFF}, {1, 0xE1}, {2, 7}}), kSps,
                          Fields({{1, 1}, {2, 4}}), kPps});
  const size_t avc1Size = 86 + 8 + avcC.size();
  const test::Box stsd = r.Get("moov/trak/mdia/minf/stbl/stsd");
  EXPECT_EQ(r.Slice(stsd.offset, 16), Fields({{4, 16 + avc1Size}, {4, Fcc("stsd")}, {4, 0}, {4, 1}}));
  const test::Box avc1 = r.Get("moov/trak/mdia/minf/stbl/stsd/avc1");
  EXPECT_EQ(r.Slice(avc1.offset, 86),
            Fields({{4, avc1Size}, {4, Fcc("avc1")}, {6, 0}, {2, 1}, {16, 0}, {2, 320}, {2, 240}, {4, 0x00480000},
                    {4, 0x00480000}, {4, 0}, {2, 1}, {32, 0}, {2, 0x0018}, {2, 0xFFFF}}));
  EXPECT_EQ(r.Whole(r.Get("moov/trak/mdia/minf/stbl/stsd/avc1/avcC")),
            Cat({Fields({{4, 8 + avcC.size()}, {4, Fcc("avcC")}}), avcC}));
  const std::string vstbl = "moov/trak/mdia/minf/stbl/";
  EXPECT_EQ(r.Whole(r.Get(vstbl + "stts")), Stts({{3, 333333}}));
  EXPECT_EQ(r.Whole(r.Get(vstbl + "stss")), Fields({{4, 24}, {4, Fcc("stss")}, {4, 0}, {4, 2}, {4, 1}, {4, 3}}));
  EXPECT_EQ(r.Whole(r.Get(vstbl + "stsc")), kStsc);
  const std::vector<Sample> video = {{static_cast<uint32_t>(v0Out.size()), ov0},
                                     {static_cast<uint32_t>(v1.size()), ov1},
                                     {static_cast<uint32_t>(v2Out.size()), ov2}};
  EXPECT_EQ(r.Whole(r.Get(vstbl + "stsz")), Stsz(video));
  EXPECT_EQ(r.Whole(r.Get(vstbl + "co64")), Co64(video));

  // Audio track.
  EXPECT_EQ(r.ChildTypes(r.Get("moov/trak#1/mdia/minf")), (std::vector<std::string>{"smhd", "dinf", "stbl"}));
  EXPECT_EQ(r.ChildTypes(r.Get("moov/trak#1/mdia/minf/stbl")),
            (std::vector<std::string>{"stsd", "stts", "stsc", "stsz", "co64"}));
  EXPECT_EQ(r.Whole(r.Get("moov/trak#1/tkhd")), Tkhd(2, audioEnd, 0x0100, 0, 0));
  EXPECT_EQ(r.Whole(r.Get("moov/trak#1/mdia/mdhd")), Mdhd(48000, 2048));
  EXPECT_EQ(r.Whole(r.Get("moov/trak#1/mdia/hdlr")), Hdlr("soun", "SoundHandler"));
  EXPECT_EQ(r.Whole(r.Get("moov/trak#1/mdia/minf/smhd")), Fields({{4, 16}, {4, Fcc("smhd")}, {4, 0}, {4, 0}}));
  EXPECT_EQ(r.Whole(r.Get("moov/trak#1/mdia/minf/dinf")), kDinf);
  const std::string astbl = "moov/trak#1/mdia/minf/stbl/";
  const Bytes esds = Fields({{4, 39}, {4, Fcc("esds")}, {4, 0}, {1, 0x03}, {1, 25}, {2, 2}, {1, 0},
                             {1, 0x04}, {1, 17}, {1, 0x40}, {1, 0x15}, {3, 0}, {4, 128000}, {4, 128000},
                             {1, 0x05}, {1, 2}, {1, 0x11}, {1, 0x90}, {1, 0x06}, {1, 1}, {1, 2}});
  const test::Box mp4a = r.Get(astbl + "stsd/mp4a");
  EXPECT_EQ(r.Slice(mp4a.offset, 36), Fields({{4, 36 + esds.size()}, {4, Fcc("mp4a")}, {6, 0}, {2, 1}, {8, 0},
                                              {2, 2}, {2, 16}, {2, 0}, {2, 0}, {2, 0xBB80}, {2, 0}}));
  EXPECT_EQ(r.Whole(r.Get(astbl + "stsd/mp4a/esds")), esds);
  EXPECT_EQ(r.Whole(r.Get(astbl + "stts")), Stts({{2, 1024}}));
  EXPECT_EQ(r.Whole(r.Get(astbl + "stsc")), kStsc);
  const std::vector<Sample> audio = {{static_cast<uint32_t>(a0.size()), oa0}, {static_cast<uint32_t>(a1.size()), oa1}};
  EXPECT_EQ(r.Whole(r.Get(astbl + "stsz")), Stsz(audio));
  EXPECT_EQ(r.Whole(r.Get(astbl + "co64")), Co64(audio));
}

// The audio track is written only when enabled and holding a sample; the
// next track ID follows.
TEST_F(Mp4WriterTest, TrackCount) {
  struct Case {
    const char* name;
    bool enable, writeAudio;
    size_t traks;
  } const cases[] = {{"video only", false, false, 1}, {"audio on, no sample", true, false, 1},
                     {"audio on with a sample", true, true, 2}};
  for (const Case& c : cases) {
    const std::string path = dir_.File(std::string(c.name) + ".mp4");
    OvixMp4Writer w;
    ASSERT_TRUE(w.Open(U16(path), 64, 48, 30, kSps, kPps));
    if (c.enable) w.EnableAudioTrack(48000, 2, 96000, kAsc);
    const Bytes v = {0x65, 0x88};
    ASSERT_TRUE(w.WriteVideoSample(v.data(), v.size(), 0, true));
    if (c.writeAudio) {
      ASSERT_TRUE(w.WriteAudioSample(v.data(), v.size(), 0, 0));
    }
    ASSERT_TRUE(w.Finalize());
    const Mp4Reader r(test::ReadFileBytes(path));
    const test::Box moov = r.Get("moov");
    EXPECT_EQ(r.ChildTypes(moov).size(), 1 + c.traks) << c.name;
    EXPECT_EQ(r.U32(r.Get("moov/mvhd").offset + 116), 1 + c.traks) << c.name;
  }
}

// Descriptor lengths take 1 to 4 bytes of 7 bits each.
TEST_F(Mp4WriterTest, EsdsDescriptorLengths) {
  struct Case {
    size_t ascSize;
    Bytes es, decoderConfig, specificInfo;  // the length bytes of each descriptor
  } const cases[] = {
      {2, {0x19}, {0x11}, {0x02}},
      {104, {0x7F}, {0x77}, {0x68}},
      {105, {0x81, 0x00}, {0x78}, {0x69}},
      {128, {0x81, 0x19}, {0x81, 0x10}, {0x81, 0x00}},
      {200, {0x81, 0x61}, {0x81, 0x58}, {0x81, 0x48}},
      {20000, {0x81, 0x9C, 0x3B}, {0x81, 0x9C, 0x31}, {0x81, 0x9C, 0x20}},
  };
  for (const Case& c : cases) {
    const std::string path = dir_.File("esds" + std::to_string(c.ascSize) + ".mp4");
    const Bytes asc(c.ascSize, 0x12);
    OvixMp4Writer w;
    ASSERT_TRUE(w.Open(U16(path), 64, 48, 30, kSps, kPps));
    w.EnableAudioTrack(44100, 1, 96000, asc);
    const Bytes s = {0x65, 0x88};
    ASSERT_TRUE(w.WriteVideoSample(s.data(), s.size(), 0, true));
    ASSERT_TRUE(w.WriteAudioSample(s.data(), s.size(), 0, 0));
    ASSERT_TRUE(w.Finalize());
    const Bytes body = Cat({Fields({{1, 3}}), c.es, Fields({{2, 2}, {1, 0}, {1, 4}}), c.decoderConfig,
                            Fields({{1, 0x40}, {1, 0x15}, {3, 0}, {4, 96000}, {4, 96000}, {1, 5}}), c.specificInfo,
                            asc, Fields({{1, 6}, {1, 1}, {1, 2}})});
    const Mp4Reader r(test::ReadFileBytes(path));
    EXPECT_EQ(r.Whole(r.Get("moov/trak#1/mdia/minf/stbl/stsd/mp4a/esds")),
              Cat({Fields({{4, 12 + body.size()}, {4, Fcc("esds")}, {4, 0}}), body}))
        << c.ascSize;
    // 44,100 as 16.16 and the channel count.
    const test::Box mp4a = r.Get("moov/trak#1/mdia/minf/stbl/stsd/mp4a");
    EXPECT_EQ(r.Slice(mp4a.offset + 24, 12), Fields({{2, 1}, {2, 16}, {4, 0}, {2, 0xAC44}, {2, 0}}));
  }
}

struct VideoTimingCase {
  const char* name;
  int32_t fps;
  std::vector<int64_t> pts, wantPts, wantDuration;
  std::vector<std::pair<uint32_t, uint32_t>> stts;
};

TEST_F(Mp4WriterTest, VideoTiming) {
  const VideoTimingCase cases[] = {
      {"regular", 30, {0, 333333, 666666}, {0, 333333, 666666}, {333333, 333333, 333333}, {{3, 333333}}},
      {"equal pts", 30, {0, 0}, {0, 333333}, {333333, 333333}, {{2, 333333}}},
      {"decreasing pts", 30, {1000000, 500000}, {1000000, 1333333}, {333333, 333333}, {{2, 333333}}},
      {"irregular; last gets a frame", 30, {0, 100, 200, 400000}, {0, 100, 200, 400000},
       {100, 100, 399800, 333333}, {{2, 100}, {1, 399800}, {1, 333333}}},
      {"negative pts clamp to 0", 30, {-5, -1, 10}, {0, 333333, 666666}, {333333, 333333, 333333}, {{3, 333333}}},
      {"fps below 1 is 30", 0, {0, 0}, {0, 333333}, {333333, 333333}, {{2, 333333}}},
      {"25 fps", 25, {0, 0, 0}, {0, 400000, 800000}, {400000, 400000, 400000}, {{3, 400000}}},
      {"60 fps", 60, {0, 0}, {0, 166666}, {166666, 166666}, {{2, 166666}}},
      // Track durations are 32-bit; one that wraps to 0 counts as 1.
      {"gaps beyond 32 bits", 30, {0, 1, 4294967297, 9294967297}, {0, 1, 4294967297, 9294967297},
       {1, 4294967296, 5000000000, 333333}, {{2, 1}, {1, 705032704}, {1, 333333}}},
  };
  for (const VideoTimingCase& c : cases) {
    const std::string path = dir_.File(std::string(c.name) + ".mp4");
    OvixMp4Writer w;
    ASSERT_TRUE(w.Open(U16(path), 64, 48, c.fps, kSps, kPps));
    EXPECT_EQ(w.FrameDuration(), c.wantDuration.back()) << c.name;
    const Bytes s = {0x41, 0x9A};
    for (int64_t pts : c.pts) ASSERT_TRUE(w.WriteVideoSample(s.data(), s.size(), pts, false));
    std::vector<int64_t> pts, duration;
    for (const Mp4SampleEntry& e : w.VideoSamples()) {
      pts.push_back(e.pts);
      duration.push_back(e.duration);
    }
    EXPECT_EQ(pts, c.wantPts) << c.name;
    EXPECT_EQ(duration, c.wantDuration) << c.name;
    ASSERT_TRUE(w.Finalize());

    const Mp4Reader r(test::ReadFileBytes(path));
    const uint64_t videoEnd = c.wantPts.back() + c.wantDuration.back();
    EXPECT_EQ(SttsRuns(r, r.Get("moov/trak/mdia/minf/stbl/stts")), c.stts) << c.name;
    EXPECT_EQ(r.U64(r.Get("moov/mvhd").offset + 32), videoEnd) << c.name;
    EXPECT_EQ(r.U64(r.Get("moov/trak/tkhd").offset + 36), videoEnd) << c.name;
    EXPECT_EQ(r.U64(r.Get("moov/trak/mdia/mdhd").offset + 32), videoEnd) << c.name;
    // No sync samples: an empty stss.
    EXPECT_EQ(r.U32(r.Get("moov/trak/mdia/minf/stbl/stss").offset + 12), 0u) << c.name;
  }
}

struct AudioTimingCase {
  const char* name;
  int32_t rate;
  std::vector<std::pair<int64_t, int64_t>> in;  // pts, duration
  std::vector<int64_t> wantPts, wantDuration;
  std::vector<uint32_t> wantTrackDuration;
};

TEST_F(Mp4WriterTest, AudioTiming) {
  const AudioTimingCase cases[] = {
      {"48 kHz default frame", 48000, {{0, 0}}, {0}, {213333}, {1024}},
      {"equal pts", 48000, {{0, 0}, {0, -5}}, {0, 213333}, {213333, 213333}, {1024, 1024}},
      {"44.1 kHz default frame", 44100, {{0, 0}, {0, 0}}, {0, 232199}, {232199, 232199}, {1024, 1024}},
      {"given duration rounds half up", 48000, {{0, 100000}}, {0}, {100000}, {480}},
      {"duration of no whole sample counts 1024", 48000, {{0, 1}}, {0}, {1}, {1024}},
      {"gap stretches the previous frame", 48000, {{0, 0}, {426666, 0}}, {0, 426666}, {426666, 213333},
       {2048, 1024}},
      {"earlier pts follows the previous frame", 48000, {{1000000, 0}, {500000, 0}}, {1000000, 1213333},
       {213333, 213333}, {1024, 1024}},
      {"gap of no whole sample keeps the track duration", 48000, {{0, 0}, {1, 0}}, {0, 1}, {1, 213333},
       {1024, 1024}},
      {"negative pts clamps to 0", 48000, {{-100, 0}}, {0}, {213333}, {1024}},
  };
  for (const AudioTimingCase& c : cases) {
    const std::string path = dir_.File(std::string(c.name) + ".mp4");
    OvixMp4Writer w;
    ASSERT_TRUE(w.Open(U16(path), 64, 48, 30, kSps, kPps));
    w.EnableAudioTrack(c.rate, 2, 0, kAsc);
    const Bytes s = {0x21, 0x10};
    ASSERT_TRUE(w.WriteVideoSample(s.data(), s.size(), 0, true));
    for (auto [pts, duration] : c.in) ASSERT_TRUE(w.WriteAudioSample(s.data(), s.size(), pts, duration));
    std::vector<int64_t> pts, duration;
    std::vector<uint32_t> trackDuration;
    uint64_t samples = 0;
    for (const Mp4SampleEntry& e : w.AudioSamples()) {
      pts.push_back(e.pts);
      duration.push_back(e.duration);
      trackDuration.push_back(e.trackDuration);
      samples += e.trackDuration;
      EXPECT_TRUE(e.key) << c.name;
    }
    EXPECT_EQ(pts, c.wantPts) << c.name;
    EXPECT_EQ(duration, c.wantDuration) << c.name;
    EXPECT_EQ(trackDuration, c.wantTrackDuration) << c.name;
    ASSERT_TRUE(w.Finalize());

    const Mp4Reader r(test::ReadFileBytes(path));
    const uint64_t audioEnd = c.wantPts.back() + c.wantDuration.back();
    EXPECT_EQ(r.U64(r.Get("moov/trak#1/tkhd").offset + 36), audioEnd) << c.name;
    EXPECT_EQ(r.U32(r.Get("moov/trak#1/mdia/mdhd").offset + 28), static_cast<uint32_t>(c.rate)) << c.name;
    EXPECT_EQ(r.U64(r.Get("moov/trak#1/mdia/mdhd").offset + 32), samples) << c.name;
    EXPECT_EQ(r.U64(r.Get("moov/mvhd").offset + 32), std::max<uint64_t>(audioEnd, 333333)) << c.name;
    std::vector<uint32_t> deltas;
    for (auto [count, delta] : SttsRuns(r, r.Get("moov/trak#1/mdia/minf/stbl/stts")))
      deltas.insert(deltas.end(), count, delta);
    EXPECT_EQ(deltas, c.wantTrackDuration) << c.name;
  }
}

TEST_F(Mp4WriterTest, OpenRefusals) {
  struct Case {
    const char* name;
    std::u16string path;
    int32_t width, height;
    Bytes sps, pps;
  };
  const std::string file = dir_.File("refused.mp4");
  const Case cases[] = {
      {"empty path", u"", 64, 48, kSps, kPps},
      {"zero width", U16(file), 0, 48, kSps, kPps},
      {"negative height", U16(file), 64, -1, kSps, kPps},
      {"empty sps", U16(file), 64, 48, {}, kPps},
      {"empty pps", U16(file), 64, 48, kSps, {}},
      {"sps of 3 bytes", U16(file), 64, 48, {0x67, 0x42, 0xC0}, kPps},
      {"lone surrogate", u"/tmp/ovix_\xD800.mp4", 64, 48, kSps, kPps},
      {"missing folder", U16(dir_.Path() + "/none/x.mp4"), 64, 48, kSps, kPps},
  };
  for (const Case& c : cases) {
    OvixMp4Writer w;
    EXPECT_FALSE(w.Open(c.path, c.width, c.height, 30, c.sps, c.pps)) << c.name;
    EXPECT_FALSE(w.IsOpen()) << c.name;
    EXPECT_FALSE(Exists(file)) << c.name;
    EXPECT_TRUE(w.Finalize()) << c.name;  // nothing open
  }
}

TEST_F(Mp4WriterTest, Utf16PathBecomesUtf8) {
  const std::string path = dir_.File("clip_\xC3\xA9t\xC3\xA9_\xE6\x97\xA5\xE6\x9C\xAC.mp4");
  OvixMp4Writer w;
  ASSERT_TRUE(w.Open(U16(path), 64, 48, 30, kSps, kPps));
  EXPECT_EQ(w.Path(), U16(path));
  const Bytes s = {0x65, 0x88};
  ASSERT_TRUE(w.WriteVideoSample(s.data(), s.size(), 0, true));
  ASSERT_TRUE(w.Finalize());
  EXPECT_TRUE(Exists(path));
}

// Writes that cannot be taken leave the tables as they were.
TEST_F(Mp4WriterTest, SampleRefusals) {
  OvixMp4Writer w;
  const Bytes s = {0x65, 0x88};
  EXPECT_FALSE(w.WriteVideoSample(s.data(), s.size(), 0, true));  // not open
  ASSERT_TRUE(w.Open(U16(dir_.File("refusals.mp4")), 64, 48, 30, kSps, kPps));
  EXPECT_TRUE(w.IsOpen());
  EXPECT_FALSE(w.WriteAudioSample(s.data(), s.size(), 0, 0));  // audio track off
  EXPECT_FALSE(w.WriteVideoSample(nullptr, 2, 0, true));
  EXPECT_FALSE(w.WriteVideoSample(s.data(), 0, 0, true));
  const Bytes noUnits = {0, 0, 0, 1, 0, 0, 0, 1};
  EXPECT_FALSE(w.WriteVideoSample(noUnits.data(), noUnits.size(), 0, true));
  w.EnableAudioTrack(48000, 2, 0, kAsc);
  EXPECT_FALSE(w.WriteAudioSample(nullptr, 2, 0, 0));
  EXPECT_FALSE(w.WriteAudioSample(s.data(), 0, 0, 0));
  EXPECT_EQ(w.VideoSampleCount(), 0u);
  EXPECT_EQ(w.AudioSampleCount(), 0u);
  EXPECT_EQ(w.PayloadBytes(), 0);
  // Finalize without video: the file stays unindexed and it reports failure.
  EXPECT_FALSE(w.Finalize());
  EXPECT_FALSE(w.IsOpen());
}

// What is left on disk when a segment is not completed: ftyp, the mdat
// header with size 0 and the sample bytes, no moov.
TEST_F(Mp4WriterTest, IncompleteFiles) {
  const Bytes header = Cat({Fields({{4, 36}, {4, Fcc("ftyp")}, {4, Fcc("isom")}, {4, 0x200}, {4, Fcc("isom")},
                                    {4, Fcc("iso2")}, {4, Fcc("avc1")}, {4, Fcc("mp41")}, {4, Fcc("mp42")}}),
                            Fields({{4, 1}, {4, Fcc("mdat")}, {8, 0}})});
  const Bytes a = {0x21, 0x10, 0x04};
  const Bytes v = {0x65, 0x88};
  const Bytes vOut = {0, 0, 0, 2, 0x65, 0x88};

  {  // Finalize with audio but no video.
    const std::string path = dir_.File("no_video.mp4");
    OvixMp4Writer w;
    ASSERT_TRUE(w.Open(U16(path), 64, 48, 30, kSps, kPps));
    w.EnableAudioTrack(48000, 2, 0, kAsc);
    ASSERT_TRUE(w.WriteAudioSample(a.data(), a.size(), 0, 0));
    EXPECT_FALSE(w.Finalize());
    EXPECT_EQ(test::ReadFileBytes(path), Cat({header, a}));
  }
  {  // Reset, then a Finalize that has nothing to do.
    const std::string path = dir_.File("reset.mp4");
    OvixMp4Writer w;
    ASSERT_TRUE(w.Open(U16(path), 64, 48, 30, kSps, kPps));
    ASSERT_TRUE(w.WriteVideoSample(v.data(), v.size(), 0, true));
    w.Reset();
    EXPECT_FALSE(w.IsOpen());
    EXPECT_EQ(w.VideoSampleCount(), 0u);
    EXPECT_EQ(w.PayloadBytes(), 0);
    EXPECT_TRUE(w.Finalize());
    EXPECT_EQ(test::ReadFileBytes(path), Cat({header, vOut}));
  }
  {  // A second Open abandons the first file and starts afresh.
    const std::string first = dir_.File("first.mp4"), second = dir_.File("second.mp4");
    OvixMp4Writer w;
    ASSERT_TRUE(w.Open(U16(first), 64, 48, 30, kSps, kPps));
    w.EnableAudioTrack(48000, 2, 0, kAsc);
    ASSERT_TRUE(w.WriteVideoSample(v.data(), v.size(), 0, true));
    ASSERT_TRUE(w.WriteAudioSample(a.data(), a.size(), 0, 0));
    ASSERT_TRUE(w.Open(U16(second), 64, 48, 25, kSps, kPps));
    EXPECT_EQ(test::ReadFileBytes(first), Cat({header, vOut, a}));
    EXPECT_EQ(w.VideoSampleCount(), 0u);
    EXPECT_EQ(w.AudioSampleCount(), 0u);
    EXPECT_EQ(w.PayloadBytes(), 0);
    EXPECT_EQ(w.AudioBytes(), 0);
    EXPECT_FALSE(w.AudioEnabled());
    EXPECT_FALSE(w.WriteAudioSample(a.data(), a.size(), 0, 0));
    ASSERT_TRUE(w.WriteVideoSample(v.data(), v.size(), 0, true));
    ASSERT_TRUE(w.Finalize());
    const Mp4Reader r(test::ReadFileBytes(second));
    EXPECT_EQ(r.U64(r.Get("moov/trak/mdia/minf/stbl/co64").offset + 16), 52u);
    EXPECT_EQ(r.U32(r.Get("moov/trak/mdia/minf/stbl/stts").offset + 20), 400000u);
    EXPECT_EQ(r.ChildTypes(r.Get("moov")).size(), 2u);
  }
}

// A full disk never reports success: /dev/full takes bytes into the stream's
// buffer and fails when they are flushed.
TEST_F(Mp4WriterTest, FullDisk) {
  if (!Exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const Bytes small = {0x65, 0x88};
  {  // A sample larger than the buffer fails at once; the table keeps only
     // the previous entry's new duration.
    OvixMp4Writer w;
    ASSERT_TRUE(w.Open(u"/dev/full", 64, 48, 30, kSps, kPps));
    ASSERT_TRUE(w.WriteVideoSample(small.data(), small.size(), 0, true));
    const Bytes big(3 << 20, 0x41);
    EXPECT_FALSE(w.WriteVideoSample(big.data(), big.size(), 1000, false));
    ASSERT_EQ(w.VideoSampleCount(), 1u);
    EXPECT_EQ(w.VideoSamples()[0].duration, 1000);
    EXPECT_EQ(w.PayloadBytes(), 6);
    EXPECT_TRUE(w.IsOpen());
    EXPECT_FALSE(w.Finalize());
    EXPECT_FALSE(w.IsOpen());
  }
  {  // Every sample fits the buffer; completing the file fails.
    OvixMp4Writer w;
    ASSERT_TRUE(w.Open(u"/dev/full", 64, 48, 30, kSps, kPps));
    w.EnableAudioTrack(48000, 2, 0, kAsc);
    ASSERT_TRUE(w.WriteVideoSample(small.data(), small.size(), 0, true));
    ASSERT_TRUE(w.WriteAudioSample(small.data(), small.size(), 0, 0));
    EXPECT_FALSE(w.Finalize());
    EXPECT_FALSE(w.IsOpen());
  }
}

}  // namespace
}  // namespace ovix
