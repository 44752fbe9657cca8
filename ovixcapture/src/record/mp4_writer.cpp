#include "record/mp4_writer.h"

#include <sys/types.h>

#include <algorithm>
#include <limits>

#include "platform/sys.h"
#include "record/mp4_boxes.h"

namespace ovix {

namespace {

static_assert(sizeof(off_t) == 8, "files beyond 4 GiB need 64-bit offsets");

// Large enough that stdio hands the kernel big writes whatever the sample
// sizes, so streaming costs about what one fwrite of the same bytes does.
constexpr size_t kIoBufferSize = size_t{1} << 20;
// One AAC frame, 1024 samples, in 100-ns units times the rate.
constexpr int64_t kAacFrameTimesRate = 1024 * OvixMp4Writer::kTimescale;
constexpr int64_t kDefaultSampleRate = 48'000;
constexpr int32_t kDefaultBitrate = 128'000;
// Tables start with about a minute's worth and then grow by a quarter, so a
// long recording keeps capacity within 1.25 x the samples it holds.
constexpr int64_t kInitialTableSeconds = 60;

constexpr uint8_t kFileHeader[52] = {
    // ftyp: major "isom", minor 0x200, compatible isom iso2 avc1 mp41 mp42
    0, 0, 0, 36, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 2, 0,
    'i', 's', 'o', 'm', 'i', 's', 'o', '2', 'a', 'v', 'c', '1', 'm', 'p', '4', '1', 'm', 'p', '4', '2',
    // mdat in its 64-bit form; Finalize patches the size
    0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 0};
static_assert(sizeof(kFileHeader) == OvixMp4Writer::kMdatStart + 16);

void AppendEntry(std::vector<Mp4SampleEntry>& table, const Mp4SampleEntry& entry) {
  if (table.size() == table.capacity()) {
    table.reserve(table.capacity() + std::max<size_t>(table.capacity() / 4, 256));
  }
  table.push_back(entry);
}

// (duration x rate) rounded half up to whole samples; the product can pass
// 64 bits for absurd durations, so it is formed in 128 bits.
int64_t ToSamples(int64_t duration, int64_t rate) {
  const __int128 v = (static_cast<__int128>(duration) * rate + OvixMp4Writer::kTimescale / 2) /
                     OvixMp4Writer::kTimescale;
  return static_cast<int64_t>(v);
}

void Matrix(BoxBuilder& b) {
  for (uint32_t v : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) b.U32(v);
}

void TrackHeader(BoxBuilder& b, uint32_t trackId, int64_t duration, uint32_t volume, int32_t width,
                 int32_t height) {
  const size_t box = b.BeginFull("tkhd", 1, 0x000007);  // enabled, in movie, in preview
  b.U64(0);  // creation
  b.U64(0);  // modification
  b.U32(trackId);
  b.U32(0);
  b.U64(static_cast<uint64_t>(duration));
  b.Zeros(8);
  b.U16(0);  // layer
  b.U16(0);  // alternate group
  b.U16(volume);
  b.U16(0);
  Matrix(b);
  b.U32(static_cast<uint32_t>(width) << 16);
  b.U32(static_cast<uint32_t>(height) << 16);
  b.End(box);
}

void MediaHeader(BoxBuilder& b, uint32_t timescale, uint64_t duration) {
  const size_t box = b.BeginFull("mdhd", 1, 0);
  b.U64(0);
  b.U64(0);
  b.U32(timescale);
  b.U64(duration);
  b.U16(0x55C4);  // "und"
  b.U16(0);
  b.End(box);
}

void Handler(BoxBuilder& b, const char (&type)[5], const char (&name)[13]) {
  const size_t box = b.BeginFull("hdlr", 0, 0);
  b.U32(0);
  b.FourCc(type);
  b.Zeros(12);
  b.Bytes({reinterpret_cast<const uint8_t*>(name), sizeof(name)});  // with its NUL
  b.End(box);
}

void DataInformation(BoxBuilder& b) {
  const size_t dinf = b.Begin("dinf");
  const size_t dref = b.BeginFull("dref", 0, 0);
  b.U32(1);
  b.End(b.BeginFull("url ", 0, 0x000001));  // media in this file
  b.End(dref);
  b.End(dinf);
}

void TimeToSample(BoxBuilder& b, const std::vector<Mp4SampleEntry>& samples) {
  const size_t box = b.BeginFull("stts", 0, 0);
  const size_t countAt = b.Size();
  b.U32(0);
  uint32_t entries = 0;
  for (size_t i = 0; i < samples.size();) {
    const uint32_t delta = std::max<uint32_t>(samples[i].trackDuration, 1);
    size_t j = i + 1;
    while (j < samples.size() && std::max<uint32_t>(samples[j].trackDuration, 1) == delta) ++j;
    b.U32(static_cast<uint32_t>(j - i));
    b.U32(delta);
    ++entries;
    i = j;
  }
  b.PatchU32(countAt, entries);
  b.End(box);
}

void SyncSamples(BoxBuilder& b, const std::vector<Mp4SampleEntry>& samples) {
  const size_t box = b.BeginFull("stss", 0, 0);
  const size_t countAt = b.Size();
  b.U32(0);
  uint32_t entries = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (!samples[i].key) continue;
    b.U32(static_cast<uint32_t>(i + 1));
    ++entries;
  }
  b.PatchU32(countAt, entries);
  b.End(box);
}

// Every sample is a chunk of its own.
void SampleToChunk(BoxBuilder& b) {
  const size_t box = b.BeginFull("stsc", 0, 0);
  for (uint32_t v : {1u, 1u, 1u, 1u}) b.U32(v);  // entry count; first chunk, samples, description
  b.End(box);
}

void SampleSizesAndOffsets(BoxBuilder& b, const std::vector<Mp4SampleEntry>& samples) {
  const uint32_t count = static_cast<uint32_t>(samples.size());
  const size_t stsz = b.BeginFull("stsz", 0, 0);
  b.U32(0);  // sizes vary
  b.U32(count);
  uint8_t* p = b.Append(samples.size() * 4);
  for (const Mp4SampleEntry& s : samples) {
    StoreBe32(p, s.size);
    p += 4;
  }
  b.End(stsz);

  const size_t co64 = b.BeginFull("co64", 0, 0);
  b.U32(count);
  p = b.Append(samples.size() * 8);
  for (const Mp4SampleEntry& s : samples) {
    StoreBe64(p, static_cast<uint64_t>(s.offset));
    p += 8;
  }
  b.End(co64);
}

}  // namespace

OvixMp4Writer::OvixMp4Writer() = default;

OvixMp4Writer::~OvixMp4Writer() { CloseFile(); }

bool OvixMp4Writer::Open(std::u16string_view path, int32_t width, int32_t height, int32_t fps,
                         std::span<const uint8_t> sps, std::span<const uint8_t> pps) {
  CloseFile();
  videoSamples_.clear();
  audioSamples_.clear();
  audioEnabled_ = false;
  audioSpecificConfig_.clear();
  payloadBytes_ = 0;
  audioBytes_ = 0;
  writeFailed_ = false;
  if (path.empty() || width < 1 || height < 1 || sps.empty() || pps.empty()) return false;

  path_.assign(path);
  width_ = width;
  height_ = height;
  fps_ = fps < 1 ? 30 : fps;
  frameDuration_ = kTimescale / fps_;
  sps_.assign(sps.begin(), sps.end());
  pps_.assign(pps.begin(), pps.end());
  avcC_ = BuildAvcDecoderConfig(sps_, pps_);
  if (avcC_.empty()) return false;

  std::string utf8;
  if (!sys::Utf16ToUtf8(path, utf8) || utf8.find('\0') != std::string::npos) return false;
  // "e": the descriptor must not leak into processes started meanwhile.
  file_ = std::fopen(utf8.c_str(), "wb+e");
  if (!file_) return false;
  if (!ioBuffer_) ioBuffer_ = std::make_unique_for_overwrite<char[]>(kIoBufferSize);
  std::setvbuf(file_, ioBuffer_.get(), _IOFBF, kIoBufferSize);
  position_ = 0;
  if (!WriteBytes(kFileHeader, sizeof(kFileHeader))) {
    CloseFile();
    return false;
  }
  videoSamples_.reserve(static_cast<size_t>(fps_) * kInitialTableSeconds);
  return true;
}

void OvixMp4Writer::EnableAudioTrack(int32_t sampleRate, int32_t channels, int32_t bitrate,
                                     std::span<const uint8_t> audioSpecificConfig) {
  audioEnabled_ = true;
  sampleRate_ = sampleRate;
  channels_ = channels;
  bitrate_ = bitrate < 1 ? kDefaultBitrate : bitrate;
  audioSpecificConfig_.assign(audioSpecificConfig.begin(), audioSpecificConfig.end());
  if (sampleRate > 0 && audioSamples_.capacity() == 0) {
    audioSamples_.reserve(static_cast<size_t>(sampleRate / 1024 + 1) * kInitialTableSeconds);
  }
}

bool OvixMp4Writer::WriteVideoSample(const uint8_t* data, size_t size, int64_t pts, bool key) {
  if (!file_ || !data || size < 1) return false;
  if (!PlanLengthPrefixed(data, size, plan_) || plan_.outputSize == 0) return false;
  if (plan_.outputSize > std::numeric_limits<uint32_t>::max()) return false;  // stsz holds 32 bits

  Mp4SampleEntry entry;
  entry.offset = position_;
  entry.size = static_cast<uint32_t>(plan_.outputSize);
  entry.pts = std::max<int64_t>(pts, 0);
  entry.duration = frameDuration_;
  entry.trackDuration = static_cast<uint32_t>(frameDuration_);
  entry.key = key;
  if (!videoSamples_.empty()) {
    // Decoding order is presentation order here, so times must rise; a
    // repeated or earlier time is placed one frame after its predecessor.
    Mp4SampleEntry& prev = videoSamples_.back();
    if (entry.pts <= prev.pts) entry.pts = prev.pts + frameDuration_;
    int64_t d = entry.pts - prev.pts;
    if (d <= 0) d = frameDuration_;
    prev.duration = d;
    prev.trackDuration = static_cast<uint32_t>(d);
  }
  if (!WritePlanned(data, plan_)) return false;
  AppendEntry(videoSamples_, entry);
  payloadBytes_ += entry.size;
  return true;
}

bool OvixMp4Writer::WriteAudioSample(const uint8_t* data, size_t size, int64_t pts, int64_t duration) {
  if (!file_ || !audioEnabled_ || !data || size < 1) return false;
  if (size > std::numeric_limits<uint32_t>::max()) return false;
  const int64_t rate = sampleRate_ > 0 ? sampleRate_ : kDefaultSampleRate;

  Mp4SampleEntry entry;
  entry.offset = position_;
  entry.size = static_cast<uint32_t>(size);
  entry.pts = std::max<int64_t>(pts, 0);
  entry.duration = duration > 0 ? duration : kAacFrameTimesRate / rate;
  entry.key = true;
  const int64_t samples = ToSamples(entry.duration, rate);
  entry.trackDuration = samples == 0 ? 1024 : static_cast<uint32_t>(samples);
  if (!audioSamples_.empty()) {
    Mp4SampleEntry& prev = audioSamples_.back();
    if (entry.pts <= prev.pts) entry.pts = prev.pts + prev.duration;
    const int64_t d = entry.pts - prev.pts;
    if (d > 0) {
      prev.duration = d;
      const int64_t prevSamples = ToSamples(d, rate);
      if (prevSamples != 0) prev.trackDuration = static_cast<uint32_t>(prevSamples);
    }
  }
  if (!WriteBytes(data, size)) return false;
  AppendEntry(audioSamples_, entry);
  payloadBytes_ += entry.size;
  audioBytes_ += entry.size;
  return true;
}

bool OvixMp4Writer::Finalize() {
  if (!file_) return true;
  if (videoSamples_.empty()) {
    CloseFile();
    return false;
  }
  const off_t end = ftello(file_);
  uint8_t mdatSize[8];
  StoreBe64(mdatSize, static_cast<uint64_t>(end - kMdatStart));
  if (end < kMdatStart + 16 || fseeko(file_, kMdatSizePos, SEEK_SET) != 0 ||
      std::fwrite(mdatSize, 1, sizeof(mdatSize), file_) != sizeof(mdatSize) ||
      fseeko(file_, end, SEEK_SET) != 0) {
    CloseFile();
    return false;
  }

  const Mp4SampleEntry& lastVideo = videoSamples_.back();
  const int64_t videoEnd = lastVideo.pts + (lastVideo.duration > 0 ? lastVideo.duration : frameDuration_);
  int64_t audioEnd = 0;
  if (!audioSamples_.empty()) {
    const int64_t rate = sampleRate_ > 0 ? sampleRate_ : kDefaultSampleRate;
    const Mp4SampleEntry& last = audioSamples_.back();
    audioEnd = last.pts + (last.duration > 0 ? last.duration : kAacFrameTimesRate / rate);
  }
  const std::vector<uint8_t> moov = BuildMoov(videoEnd, audioEnd, audioEnabled_ && !audioSamples_.empty());

  bool ok = !writeFailed_ && !moov.empty();
  ok = ok && std::fwrite(moov.data(), 1, moov.size(), file_) == moov.size();
  ok = std::fflush(file_) == 0 && ok;
  ok = !std::ferror(file_) && ok;
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  return ok;
}

void OvixMp4Writer::Reset() {
  CloseFile();
  std::vector<Mp4SampleEntry>().swap(videoSamples_);
  std::vector<Mp4SampleEntry>().swap(audioSamples_);
  payloadBytes_ = 0;
  audioBytes_ = 0;
  writeFailed_ = false;
}

bool OvixMp4Writer::WriteBytes(const void* data, size_t size) {
  const size_t written = std::fwrite(data, 1, size, file_);
  position_ += static_cast<int64_t>(written);
  if (written == size && !std::ferror(file_)) return true;
  AfterFailedWrite();
  return false;
}

bool OvixMp4Writer::WritePlanned(const uint8_t* data, const LengthPrefixedPlan& plan) {
  if (plan.passThrough) return WriteBytes(data, plan.outputSize);
  for (const NalUnitSpan& unit : plan.units) {
    uint8_t length[4];
    StoreBe32(length, static_cast<uint32_t>(unit.size));
    if (!WriteBytes(length, sizeof(length)) || !WriteBytes(unit.data, unit.size)) return false;
  }
  return true;
}

void OvixMp4Writer::AfterFailedWrite() {
  // A failed flush may have dropped bytes of samples already accepted, so
  // the file can no longer be reported complete. The stream keeps going
  // from where the file really is, so later offsets stay right.
  writeFailed_ = true;
  std::clearerr(file_);
  const off_t at = ftello(file_);
  if (at >= 0) position_ = at;
}

void OvixMp4Writer::CloseFile() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

std::vector<uint8_t> OvixMp4Writer::BuildMoov(int64_t videoEnd, int64_t audioEnd, bool withAudio) const {
  BoxBuilder b;
  b.Reserve(1024 + avcC_.size() + audioSpecificConfig_.size() + videoSamples_.size() * 24 +
            (withAudio ? audioSamples_.size() * 20 : 0));
  const size_t moov = b.Begin("moov");

  const size_t mvhd = b.BeginFull("mvhd", 1, 0);
  b.U64(0);
  b.U64(0);
  b.U32(static_cast<uint32_t>(kTimescale));
  b.U64(static_cast<uint64_t>(std::max(videoEnd, audioEnd)));
  b.U32(0x00010000);  // rate 1.0
  b.U16(0x0100);      // volume 1.0
  b.Zeros(10);
  Matrix(b);
  b.Zeros(24);
  b.U32(withAudio ? 3 : 2);  // next track ID
  b.End(mvhd);

  {
    const size_t trak = b.Begin("trak");
    TrackHeader(b, 1, videoEnd, 0, width_, height_);
    const size_t mdia = b.Begin("mdia");
    MediaHeader(b, static_cast<uint32_t>(kTimescale), static_cast<uint64_t>(videoEnd));
    Handler(b, "vide", "VideoHandler");
    const size_t minf = b.Begin("minf");
    const size_t vmhd = b.BeginFull("vmhd", 0, 0x000001);
    b.U16(0);  // graphics mode
    b.Zeros(6);  // opcolor
    b.End(vmhd);
    DataInformation(b);
    const size_t stbl = b.Begin("stbl");
    const size_t stsd = b.BeginFull("stsd", 0, 0);
    b.U32(1);
    const size_t avc1 = b.Begin("avc1");
    b.Zeros(6);
    b.U16(1);  // data reference index
    b.Zeros(16);
    b.U16(static_cast<uint32_t>(width_));
    b.U16(static_cast<uint32_t>(height_));
    b.U32(0x00480000);  // 72 dpi
    b.U32(0x00480000);
    b.U32(0);
    b.U16(1);  // frame count
    b.Zeros(32);  // compressor name
    b.U16(0x0018);
    b.U16(0xFFFF);
    const size_t avcC = b.Begin("avcC");
    b.Bytes(avcC_);
    b.End(avcC);
    b.End(avc1);
    b.End(stsd);
    TimeToSample(b, videoSamples_);
    SyncSamples(b, videoSamples_);
    SampleToChunk(b);
    SampleSizesAndOffsets(b, videoSamples_);
    b.End(stbl);
    b.End(minf);
    b.End(mdia);
    b.End(trak);
  }

  if (withAudio) {
    uint64_t audioSamplesTotal = 0;
    for (const Mp4SampleEntry& s : audioSamples_) audioSamplesTotal += s.trackDuration;
    const size_t trak = b.Begin("trak");
    TrackHeader(b, 2, audioEnd, 0x0100, 0, 0);
    const size_t mdia = b.Begin("mdia");
    MediaHeader(b, static_cast<uint32_t>(sampleRate_), audioSamplesTotal);
    Handler(b, "soun", "SoundHandler");
    const size_t minf = b.Begin("minf");
    const size_t smhd = b.BeginFull("smhd", 0, 0);
    b.U16(0);  // balance
    b.U16(0);
    b.End(smhd);
    DataInformation(b);
    const size_t stbl = b.Begin("stbl");
    const size_t stsd = b.BeginFull("stsd", 0, 0);
    b.U32(1);
    const size_t mp4a = b.Begin("mp4a");
    b.Zeros(6);
    b.U16(1);  // data reference index
    b.Zeros(8);
    b.U16(static_cast<uint32_t>(channels_));
    b.U16(16);  // sample size
    b.U16(0);
    b.U16(0);
    b.U8(static_cast<uint32_t>(sampleRate_) >> 8);  // rate as 16.16
    b.U8(static_cast<uint32_t>(sampleRate_) & 0xFF);
    b.U16(0);

    const size_t esds = b.BeginFull("esds", 0, 0);
    const size_t ascLength = audioSpecificConfig_.size();
    const size_t decoderConfigLength = 13 + 1 + DescriptorLengthSize(ascLength) + ascLength;
    const size_t esLength = 3 + 1 + DescriptorLengthSize(decoderConfigLength) + decoderConfigLength + 3;
    b.DescriptorHeader(0x03, esLength);  // ES descriptor
    b.U16(0x0002);                       // ES ID
    b.U8(0x00);
    b.DescriptorHeader(0x04, decoderConfigLength);
    b.U8(0x40);  // MPEG-4 audio
    b.U8(0x15);  // audio stream
    b.U24(0);    // buffer size
    b.U32(static_cast<uint32_t>(bitrate_));
    b.U32(static_cast<uint32_t>(bitrate_));
    b.DescriptorHeader(0x05, ascLength);
    b.Bytes(audioSpecificConfig_);
    b.DescriptorHeader(0x06, 1);  // SL config: predefined MP4
    b.U8(0x02);
    b.End(esds);

    b.End(mp4a);
    b.End(stsd);
    TimeToSample(b, audioSamples_);
    SampleToChunk(b);
    SampleSizesAndOffsets(b, audioSamples_);
    b.End(stbl);
    b.End(minf);
    b.End(mdia);
    b.End(trak);
  }

  b.End(moov);
  // Boxes other than mdat have 32-bit sizes.
  if (b.Size() > std::numeric_limits<uint32_t>::max()) return {};
  return b.Release();
}

}  // namespace ovix
