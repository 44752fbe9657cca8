// The AAC encoder wrapper against scripted fake transforms (ADTS and raw
// output, refusals, stream changes, failures with their log lines, stream ids
// and output buffer rules), and the built-in libavcodec transform end to end,
// judged by libavcodec's own AAC decoder.
#include "record/aac_encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "ovixcapture.h"
#include "platform/aac_transform_libav.h"
#include "platform/audio_encoder_override.h"
#include "platform/virtual/control.h"
#include "support/log_capture.h"

namespace ovix::test {
namespace {

using platform::AudioEncoderTransform;
using platform::AudioMediaType;
using platform::AudioSubtype;
using platform::MajorType;
using platform::MediaSample;
using platform::OutputDataBuffer;
using platform::OutputStreamInfo;
using platform::ScopedAudioEncoderOverride;
using platform::TransformMessage;
using Bytes = std::vector<uint8_t>;

constexpr int64_t kFrame48k = 213333;  // 1024 samples at 48 kHz in 100 ns

// The encoder's statistics lines would only clutter the test output.
const int kQuietLibav = (av_log_set_level(AV_LOG_ERROR), 0);

// One scripted ProcessOutput result.
struct FakeOutput {
  HRESULT hr = S_OK;
  Bytes bytes;
  std::optional<int64_t> time;
  std::optional<int64_t> duration;
};

// A ProcessOutput that only returns hr.
FakeOutput Result(HRESULT hr) {
  FakeOutput o;
  o.hr = hr;
  return o;
}

// What a fake transform does and what it was asked; shared with the test
// because the wrapper owns the transform.
struct FakeScript {
  uint32_t inputStreams = 1, outputStreams = 1;
  HRESULT streamCountHr = S_OK;
  HRESULT streamIdsHr = E_NOTIMPL;
  uint32_t inputId = 0, outputId = 0;
  HRESULT setInputHr = S_OK, setOutputHr = S_OK;
  HRESULT infoHr = S_OK;
  OutputStreamInfo info;
  std::deque<HRESULT> inputResults;  // S_OK once empty
  std::deque<FakeOutput> outputs;    // MF_E_TRANSFORM_NEED_MORE_INPUT once empty

  std::vector<std::string> calls;
  AudioMediaType inputType, outputType;
  std::vector<std::shared_ptr<MediaSample>> accepted;
  std::vector<int64_t> suppliedCapacity;  // per ProcessOutput; -1: no sample supplied
  bool destroyed = false;

  bool Called(const std::string& call) const { return std::find(calls.begin(), calls.end(), call) != calls.end(); }
  size_t Count(const std::string& call) const { return std::count(calls.begin(), calls.end(), call); }
};

const char* MessageName(TransformMessage m) {
  switch (m) {
    case TransformMessage::CommandFlush: return "flush";
    case TransformMessage::CommandDrain: return "drain";
    case TransformMessage::NotifyBeginStreaming: return "begin";
    case TransformMessage::NotifyEndStreaming: return "end";
    case TransformMessage::NotifyEndOfStream: return "eos";
    case TransformMessage::NotifyStartOfStream: return "start";
  }
  return "?";
}

class FakeTransform final : public AudioEncoderTransform {
 public:
  explicit FakeTransform(std::shared_ptr<FakeScript> s) : s_(std::move(s)) {}
  ~FakeTransform() override { s_->destroyed = true; }

  HRESULT GetStreamCount(uint32_t& in, uint32_t& out) override {
    s_->calls.push_back("GetStreamCount");
    in = s_->inputStreams;
    out = s_->outputStreams;
    return s_->streamCountHr;
  }
  HRESULT GetStreamIDs(std::span<uint32_t> in, std::span<uint32_t> out) override {
    s_->calls.push_back("GetStreamIDs");
    if (Failed(s_->streamIdsHr)) return s_->streamIdsHr;
    in[0] = s_->inputId;
    out[0] = s_->outputId;
    return S_OK;
  }
  HRESULT SetInputType(uint32_t id, const AudioMediaType& t) override {
    s_->calls.push_back("SetInputType(" + std::to_string(id) + ")");
    s_->inputType = t;
    return s_->setInputHr;
  }
  HRESULT SetOutputType(uint32_t id, const AudioMediaType& t) override {
    s_->calls.push_back("SetOutputType(" + std::to_string(id) + ")");
    s_->outputType = t;
    return s_->setOutputHr;
  }
  HRESULT GetOutputStreamInfo(uint32_t id, OutputStreamInfo& info) override {
    s_->calls.push_back("GetOutputStreamInfo(" + std::to_string(id) + ")");
    info = s_->info;
    return s_->infoHr;
  }
  HRESULT ProcessMessage(TransformMessage m, uintptr_t) override {
    s_->calls.push_back(std::string("Message(") + MessageName(m) + ")");
    return S_OK;
  }
  HRESULT ProcessInput(uint32_t id, const std::shared_ptr<MediaSample>& sample) override {
    s_->calls.push_back("ProcessInput(" + std::to_string(id) + ")");
    HRESULT hr = S_OK;
    if (!s_->inputResults.empty()) {
      hr = s_->inputResults.front();
      s_->inputResults.pop_front();
    }
    if (Succeeded(hr)) s_->accepted.push_back(sample);
    return hr;
  }
  HRESULT ProcessOutput(uint32_t, OutputDataBuffer& b, uint32_t& status) override {
    s_->calls.push_back("ProcessOutput(" + std::to_string(b.streamId) + ")");
    s_->suppliedCapacity.push_back(b.sample ? b.sample->Buffer(0)->MaxLength() : -1);
    status = 0;
    b.events.push_back({1, S_OK});  // the wrapper is to let go of these
    if (s_->outputs.empty()) return MF_E_TRANSFORM_NEED_MORE_INPUT;
    FakeOutput o = std::move(s_->outputs.front());
    s_->outputs.pop_front();
    if (Failed(o.hr) || o.hr == MF_E_TRANSFORM_STREAM_CHANGE) return o.hr;
    if (!b.sample) b.sample = platform::CreateSampleWithBuffer(static_cast<uint32_t>(o.bytes.size()));
    auto buffer = b.sample->Buffer(0);
    std::copy(o.bytes.begin(), o.bytes.end(), buffer->Data());
    buffer->SetCurrentLength(static_cast<uint32_t>(o.bytes.size()));
    if (o.time) b.sample->SetSampleTime(*o.time);
    if (o.duration) b.sample->SetSampleDuration(*o.duration);
    return S_OK;
  }

 private:
  std::shared_ptr<FakeScript> s_;
};

ScopedAudioEncoderOverride::Factory FakeFactory(const std::shared_ptr<FakeScript>& script) {
  return [script] { return std::make_unique<FakeTransform>(script); };
}

// One ADTS frame around payload; with crc, the 9-byte header.
Bytes Adts(const Bytes& payload, bool crc = false) {
  const uint32_t header = crc ? 9 : 7;
  const uint32_t length = header + static_cast<uint32_t>(payload.size());
  Bytes f = {0xFF, static_cast<uint8_t>(crc ? 0xF0 : 0xF1), 0x4C, static_cast<uint8_t>(0x80 | ((length >> 11) & 3)),
             static_cast<uint8_t>(length >> 3), static_cast<uint8_t>(((length & 7) << 5) | 0x1F), 0xFC};
  if (crc) f.insert(f.end(), {0xAB, 0xCD});
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

Bytes Truncated(Bytes b) {
  b.pop_back();
  return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

int RecorderLines(const std::string& text) {
  int n = 0;
  for (const std::string& l : LogFileLines())
    if (l.find("[ovix_recorder.cpp:") != std::string::npos && l.find(text) != std::string::npos) ++n;
  return n;
}

const Bytes kPcm(1920, 0x11);  // 10 ms of 48 kHz stereo

class AacEncoderFake : public testing::Test {
 protected:
  std::shared_ptr<FakeScript> script_ = std::make_shared<FakeScript>();
  ScopedAudioEncoderOverride override_{{FakeFactory(script_)}};
  OvixAacEncoder encoder_;
  std::vector<AacPacket> packets_;

  HRESULT EncodeOnce(int64_t pts = 0) {
    return encoder_.Encode(kPcm.data(), static_cast<int32_t>(kPcm.size()), pts, 0, packets_);
  }
};

// ---------------------------------------------------------------------------
// AudioSpecificConfig

TEST(AacAudioSpecificConfig, FollowsTheSamplingFrequencyTable) {
  const struct {
    int32_t rate;
    int index;
  } table[] = {{96000, 0},  {88200, 1},  {64000, 2}, {48000, 3}, {44100, 4},  {32000, 5}, {24000, 6},
               {22050, 7},  {16000, 8},  {12000, 9}, {11025, 10}, {8000, 11}, {7350, 12}, {50000, 3},
               {44000, 3},  {192000, 3}, {1, 3}};
  for (const auto& c : table) {
    for (int32_t ch : {1, 2, 6}) {
      SCOPED_TRACE(testing::Message() << c.rate << " Hz " << ch << " ch");
      const auto asc = OvixAacEncoder::BuildAudioSpecificConfig(c.rate, ch);
      EXPECT_EQ(asc[0] >> 3, 2) << "AAC LC";
      EXPECT_EQ(((asc[0] & 7) << 1) | (asc[1] >> 7), c.index);
      EXPECT_EQ((asc[1] >> 3) & 0xF, ch);
      EXPECT_EQ(asc[1] & 7, 0);
    }
  }
  const struct {
    int32_t rate, ch;
    uint8_t b0, b1;
  } known[] = {{44100, 1, 0x12, 0x08}, {48000, 2, 0x11, 0x90}, {50000, 2, 0x11, 0x90}};
  for (const auto& k : known) {
    const auto asc = OvixAacEncoder::BuildAudioSpecificConfig(k.rate, k.ch);
    EXPECT_EQ(asc[0], k.b0) << k.rate;
    EXPECT_EQ(asc[1], k.b1) << k.rate;
  }
}

// ---------------------------------------------------------------------------
// Init

TEST_F(AacEncoderFake, InitConfiguresTheTransformAndLogsReady) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  EXPECT_EQ(encoder_.sampleRate(), 48000);
  EXPECT_EQ(encoder_.channels(), 2);
  ASSERT_TRUE(encoder_.Init(44100, 1));
  EXPECT_TRUE(encoder_.ready());
  EXPECT_EQ(encoder_.sampleRate(), 44100);
  EXPECT_EQ(encoder_.channels(), 1);
  EXPECT_EQ(encoder_.bitRate(), 128000);
  EXPECT_EQ(encoder_.audioSpecificConfig(), (Bytes{0x12, 0x08}));
  EXPECT_EQ(script_->calls, (std::vector<std::string>{"GetStreamCount", "GetStreamIDs", "SetInputType(0)",
                                                      "SetOutputType(0)", "GetOutputStreamInfo(0)",
                                                      "Message(begin)", "Message(start)"}));
  const AudioMediaType& in = script_->inputType;
  EXPECT_EQ(in.major, MajorType::Audio);
  EXPECT_EQ(in.subtype, AudioSubtype::Pcm);
  EXPECT_EQ(in.bitsPerSample, 16u);
  EXPECT_EQ(in.samplesPerSecond, 44100u);
  EXPECT_EQ(in.numChannels, 1u);
  EXPECT_EQ(in.blockAlignment, 2u);
  EXPECT_EQ(in.avgBytesPerSecond, 88200u);
  EXPECT_EQ(in.allSamplesIndependent, 1u);
  const AudioMediaType& out = script_->outputType;
  EXPECT_EQ(out.major, MajorType::Audio);
  EXPECT_EQ(out.subtype, AudioSubtype::Aac);
  EXPECT_EQ(out.bitsPerSample, 16u);
  EXPECT_EQ(out.samplesPerSecond, 44100u);
  EXPECT_EQ(out.numChannels, 1u);
  EXPECT_EQ(out.avgBytesPerSecond, 16000u);
  EXPECT_EQ(out.blockAlignment, 1u);
  EXPECT_EQ(out.aacProfileLevelIndication, 0x29u);
  EXPECT_EQ(RecorderLines("AAC encoder ready sr=44100 ch=1 bitrate=128000 asc=1208 outBuf=16384 provides=0"), 1);
}

TEST_F(AacEncoderFake, InitRefusesNonPositiveRateOrChannelsBeforeEnumerating) {
  virt::CountCall("MFTEnumEx");
  for (auto [rate, ch] : {std::pair{0, 2}, {-48000, 2}, {48000, 0}, {48000, -1}}) {
    EXPECT_FALSE(encoder_.Init(rate, ch)) << rate << "/" << ch;
    EXPECT_FALSE(encoder_.ready());
  }
  EXPECT_EQ(virt::CallUses("MFTEnumEx"), 0);
  EXPECT_EQ(EncodeOnce(), E_INVALIDARG);
}

TEST_F(AacEncoderFake, ReInitAndDestroyEndStreamingOnTheOldTransform) {
  auto second = std::make_shared<FakeScript>();
  {
    OvixAacEncoder encoder;
    ASSERT_TRUE(encoder.Init(48000, 2));
    ScopedAudioEncoderOverride inner({FakeFactory(second)});
    ASSERT_TRUE(encoder.Init(48000, 1));
    EXPECT_TRUE(script_->destroyed);
    EXPECT_EQ(script_->calls.back(), "Message(end)");
    EXPECT_FALSE(second->destroyed);
  }
  EXPECT_TRUE(second->destroyed);
  EXPECT_EQ(second->calls.back(), "Message(end)");
}

// Each failure of enumeration, activation or type configuration makes Init
// fail with its own line; the faults hit the built-in encoder as well as fakes.
TEST(AacEncoderInit, FailuresAreLogged) {
  const struct {
    const char* name;
    const char* fault;  // nullptr: none
    HRESULT hr;
    bool emptyList, nullFactory, fakeSetInputFails;
    const char* line;
  } cases[] = {
      {"enum error", "MFTEnumEx", E_FAIL, false, false, false, "AAC encoder MFTEnumEx failed hr=0x80004005 count=0"},
      {"no encoder", nullptr, S_OK, true, false, false, "AAC encoder MFTEnumEx failed hr=0x00000000 count=0"},
      {"activation fault", "ActivateObject", E_OUTOFMEMORY, false, false, false,
       "AAC encoder ActivateObject failed hr=0x8007000E"},
      {"activation refused", nullptr, S_OK, false, true, false, "AAC encoder ActivateObject failed hr=0x80004002"},
      {"input type fault", "SetInputType", MF_E_INVALIDMEDIATYPE, false, false, false,
       "AAC encoder ConfigureTypes failed hr=0xC00D36B4 sr=48000 ch=2 bitrate=128000"},
      {"output type fault", "SetOutputType", E_UNEXPECTED, false, false, false,
       "AAC encoder ConfigureTypes failed hr=0x8000FFFF sr=48000 ch=2 bitrate=128000"},
      {"fake refuses input type", nullptr, S_OK, false, false, true,
       "AAC encoder ConfigureTypes failed hr=0xC00D36B4 sr=48000 ch=2 bitrate=128000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    virt::Reset();
    ASSERT_EQ(OVIX_EnableLog(1), 0);
    auto script = std::make_shared<FakeScript>();
    script->setInputHr = c.fakeSetInputFails ? MF_E_INVALIDMEDIATYPE : S_OK;
    std::vector<ScopedAudioEncoderOverride::Factory> list;
    if (c.nullFactory) list.push_back([] { return std::unique_ptr<AudioEncoderTransform>(); });
    else if (!c.emptyList) list.push_back(FakeFactory(script));
    ScopedAudioEncoderOverride scoped(std::move(list));
    if (c.fault) virt::FailCall(c.fault, c.hr);

    OvixAacEncoder encoder;
    EXPECT_FALSE(encoder.Init(48000, 2));
    EXPECT_FALSE(encoder.ready());
    EXPECT_EQ(RecorderLines(c.line), 1);
    EXPECT_EQ(RecorderLines("AAC encoder ready"), 0);
    if (c.fakeSetInputFails) {
      EXPECT_TRUE(script->destroyed) << "released after a configuration failure";
      EXPECT_FALSE(script->Called("Message(end)"));
    }
    std::vector<AacPacket> packets;
    EXPECT_EQ(encoder.Encode(kPcm.data(), 4, 0, 0, packets), E_INVALIDARG);
    EXPECT_EQ(encoder.Drain(packets), S_OK);
    OVIX_EnableLog(0);
  }
}

TEST(AacEncoderInit, BuiltInEncoderFaultsAreLogged) {
  if (!platform::LibavAacEncoderAvailable()) GTEST_SKIP() << "libavcodec has no AAC encoder";
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  virt::FailCall("SetOutputType", E_FAIL);
  OvixAacEncoder encoder;
  EXPECT_FALSE(encoder.Init(48000, 2));
  EXPECT_EQ(RecorderLines("AAC encoder ConfigureTypes failed hr=0x80004005 sr=48000 ch=2 bitrate=128000"), 1);
  virt::FailCall("GetOutputStreamInfo", E_FAIL);
  EXPECT_TRUE(encoder.Init(48000, 2));
  EXPECT_EQ(RecorderLines("AAC encoder ready sr=48000 ch=2 bitrate=128000 asc=1190 outBuf=16384 provides=0"), 1);
}

TEST(AacEncoderInit, EncodersArePutInFrontOfTheBuiltInOne) {
  if (!platform::LibavAacEncoderAvailable()) GTEST_SKIP() << "libavcodec has no AAC encoder";
  auto script = std::make_shared<FakeScript>();
  std::vector<std::unique_ptr<platform::TransformActivate>> list;
  const platform::TypeFilter pcm{MajorType::Audio, AudioSubtype::Pcm}, aac{MajorType::Audio, AudioSubtype::Aac};
  ASSERT_EQ(platform::EnumAudioEncoders(platform::kMftEnumAll, pcm, aac, list), S_OK);
  EXPECT_EQ(list.size(), 1u);
  {
    ScopedAudioEncoderOverride front({FakeFactory(script)}, ScopedAudioEncoderOverride::Mode::Prepend);
    ASSERT_EQ(platform::EnumAudioEncoders(platform::kMftEnumAll, pcm, aac, list), S_OK);
    ASSERT_EQ(list.size(), 2u);
    std::unique_ptr<AudioEncoderTransform> t;
    ASSERT_EQ(list[0]->ActivateObject(t), S_OK);
    uint32_t in = 0, out = 0;
    t->GetStreamCount(in, out);
    EXPECT_TRUE(script->Called("GetStreamCount")) << "the fake comes first";
  }
  ASSERT_EQ(platform::EnumAudioEncoders(platform::kMftEnumAll, pcm, aac, list), S_OK);
  EXPECT_EQ(list.size(), 1u) << "the override ended with its scope";
}

// ---------------------------------------------------------------------------
// Stream ids and output buffers

TEST_F(AacEncoderFake, StreamIdsComeFromTheTransformOnlyForOneInputAndOneOutput) {
  const struct {
    uint32_t inputs, outputs;
    HRESULT countHr, idsHr;
    uint32_t expectIn, expectOut;
    bool idsAsked;
  } cases[] = {
      {1, 1, S_OK, S_OK, 7, 9, true},      {1, 1, S_OK, E_NOTIMPL, 0, 0, true},
      {2, 1, S_OK, S_OK, 0, 0, false},     {1, 2, S_OK, S_OK, 0, 0, false},
      {0, 0, S_OK, S_OK, 0, 0, false},     {1, 1, E_FAIL, S_OK, 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.inputs << "/" << c.outputs << " ids=" << std::hex << c.idsHr);
    *script_ = FakeScript{};
    script_->inputStreams = c.inputs;
    script_->outputStreams = c.outputs;
    script_->streamCountHr = c.countHr;
    script_->streamIdsHr = c.idsHr;
    script_->inputId = 7;
    script_->outputId = 9;
    script_->outputs.push_back({S_OK, {1, 2, 3}, 0, 1});
    ASSERT_TRUE(encoder_.Init(48000, 2));
    EXPECT_EQ(encoder_.inputStreamId(), c.expectIn);
    EXPECT_EQ(encoder_.outputStreamId(), c.expectOut);
    EXPECT_EQ(script_->Called("GetStreamIDs"), c.idsAsked);
    ASSERT_EQ(EncodeOnce(), S_OK);
    const std::string in = std::to_string(c.expectIn), out = std::to_string(c.expectOut);
    for (const std::string& call : {"SetInputType(" + in + ")", "SetOutputType(" + out + ")",
                                   "GetOutputStreamInfo(" + out + ")", "ProcessInput(" + in + ")"})
      EXPECT_TRUE(script_->Called(call)) << call;
    EXPECT_EQ(script_->Count("ProcessOutput(" + out + ")"), 2u);
  }
}

TEST_F(AacEncoderFake, OutputBufferSizeAndProvidedSamplesFollowTheStreamInfo) {
  const struct {
    HRESULT hr;
    uint32_t flags, size;
    uint32_t expectSize;
    bool expectProvides;
  } cases[] = {
      {S_OK, 0, 0, 16384, false},          {S_OK, 0, 8192, 16384, false},
      {S_OK, 0x7, 16385, 16385, false},    {S_OK, 0, 100000, 100000, false},
      {S_OK, 0x100, 0, 16384, true},       {E_FAIL, 0x100, 50000, 16384, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "flags=" << c.flags << " size=" << c.size);
    virt::Reset();
    ASSERT_EQ(OVIX_EnableLog(1), 0);
    auto script = std::make_shared<FakeScript>();
    script->infoHr = c.hr;
    script->info.flags = c.flags;
    script->info.size = c.size;
    script->outputs.push_back({S_OK, {0x21, 0x10}, 0, 1});
    ScopedAudioEncoderOverride scoped({FakeFactory(script)});
    OvixAacEncoder encoder;
    ASSERT_TRUE(encoder.Init(48000, 2));
    EXPECT_EQ(encoder.outputBufferSize(), c.expectSize);
    EXPECT_EQ(encoder.providesSamples(), c.expectProvides);
    EXPECT_EQ(RecorderLines("outBuf=" + std::to_string(c.expectSize) +
                            " provides=" + (c.expectProvides ? "1" : "0")),
              1);
    std::vector<AacPacket> packets;
    ASSERT_EQ(encoder.Encode(kPcm.data(), 4, 0, 0, packets), S_OK);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].data, (Bytes{0x21, 0x10}));
    const int64_t supplied = c.expectProvides ? -1 : c.expectSize;
    EXPECT_EQ(script->suppliedCapacity, (std::vector<int64_t>{supplied, supplied}));
    OVIX_EnableLog(0);
  }
}

// ---------------------------------------------------------------------------
// Encode: input samples and results

TEST_F(AacEncoderFake, EncodeRejectsBadCallsWithInvalidArg) {
  packets_.push_back({});
  EXPECT_EQ(EncodeOnce(), E_INVALIDARG) << "before Init";
  EXPECT_TRUE(packets_.empty());
  ASSERT_TRUE(encoder_.Init(48000, 2));
  EXPECT_EQ(encoder_.Encode(nullptr, 4, 0, 0, packets_), E_INVALIDARG);
  EXPECT_EQ(encoder_.Encode(kPcm.data(), 0, 0, 0, packets_), E_INVALIDARG);
  EXPECT_EQ(encoder_.Encode(kPcm.data(), -4, 0, 0, packets_), E_INVALIDARG);
  EXPECT_FALSE(script_->Called("ProcessInput(0)"));
}

TEST_F(AacEncoderFake, InputSampleCarriesThePcmAndItsTiming) {
  const struct {
    int32_t rate, channels, size;
    int64_t pts, duration;
    int64_t expectTime, expectDuration;
  } cases[] = {
      {48000, 2, 1920, 5000, 0, 5000, 100000},  // derived: 480 frames
      {48000, 2, 1920, -7, -1, 0, 100000},      // negative pts clamps to 0
      {44100, 1, 882, 12, 777, 12, 777},        // the caller's duration wins
      {44100, 1, 1, 3, 0, 3, 0},                // less than one frame
      {8000, 6, 1200, 0, 0, 0, 125000},         // 100 frames of 6 channels
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << "/" << c.channels << " size=" << c.size);
    *script_ = FakeScript{};
    ASSERT_TRUE(encoder_.Init(c.rate, c.channels));
    Bytes pcm(static_cast<size_t>(c.size));
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(encoder_.Encode(pcm.data(), c.size, c.pts, c.duration, packets_), S_OK);
    ASSERT_EQ(script_->accepted.size(), 1u);
    const auto& s = script_->accepted[0];
    ASSERT_EQ(s->BufferCount(), 1u);
    EXPECT_EQ(Bytes(s->Buffer(0)->Data(), s->Buffer(0)->Data() + s->Buffer(0)->CurrentLength()), pcm);
    EXPECT_EQ(s->SampleTime(), c.expectTime);
    EXPECT_EQ(s->SampleDuration(), c.expectDuration);
  }
}

TEST_F(AacEncoderFake, ResultsOfInputAndPulls) {
  const FakeOutput a{S_OK, {0xA1}, 100, 10}, b{S_OK, {0xB1}, 200, 10};
  const FakeOutput needMore = Result(MF_E_TRANSFORM_NEED_MORE_INPUT), change = Result(MF_E_TRANSFORM_STREAM_CHANGE);
  const struct {
    const char* name;
    std::vector<HRESULT> inputResults;
    std::vector<FakeOutput> outputs;
    HRESULT expect;
    Bytes expectFirstBytes;  // of each packet
    size_t expectPulls;
    size_t expectAccepted;
  } cases[] = {
      {"accepted", {S_OK}, {a, b}, S_OK, {0xA1, 0xB1}, 3, 1},
      {"nothing ready", {S_OK}, {}, S_OK, {}, 1, 1},
      {"refused: two pulls, the block is lost", {MF_E_NOTACCEPTING}, {a, needMore, b}, S_OK, {0xA1, 0xB1}, 4, 0},
      {"refused: the first pull's error is ignored", {MF_E_NOTACCEPTING}, {Result(E_FAIL), b}, S_OK, {0xB1}, 3, 0},
      {"refused: the second pull's error counts", {MF_E_NOTACCEPTING}, {a, needMore, Result(E_UNEXPECTED)}, E_UNEXPECTED,
       {0xA1}, 3, 0},
      {"input error", {E_OUTOFMEMORY}, {a}, E_OUTOFMEMORY, {}, 0, 0},
      {"output error", {S_OK}, {a, Result(MF_E_INVALIDREQUEST)}, MF_E_INVALIDREQUEST, {0xA1}, 2, 1},
      {"stream changes are pulled through", {S_OK}, {change, change, change, a, change, b}, S_OK, {0xA1, 0xB1}, 7, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    *script_ = FakeScript{};
    script_->inputResults.assign(c.inputResults.begin(), c.inputResults.end());
    script_->outputs.assign(c.outputs.begin(), c.outputs.end());
    ASSERT_TRUE(encoder_.Init(48000, 2));
    EXPECT_EQ(EncodeOnce(), c.expect);
    Bytes firsts;
    for (const AacPacket& p : packets_) firsts.push_back(p.data.at(0));
    EXPECT_EQ(firsts, c.expectFirstBytes);
    EXPECT_EQ(script_->Count("ProcessOutput(0)"), c.expectPulls);
    EXPECT_EQ(script_->accepted.size(), c.expectAccepted);
  }
}

TEST_F(AacEncoderFake, PlatformFaultsReachTheCaller) {
  script_->outputs.push_back({S_OK, {0xA1}, 0, 1});
  ASSERT_TRUE(encoder_.Init(48000, 2));
  virt::FailCall("ProcessInput", E_ABORT);
  EXPECT_EQ(EncodeOnce(), E_ABORT);
  EXPECT_FALSE(script_->Called("ProcessInput(0)")) << "the fault point stands in front of the transform";
  virt::FailCall("ProcessOutput", E_HANDLE);
  EXPECT_EQ(EncodeOnce(), E_HANDLE);
  EXPECT_TRUE(packets_.empty());
  EXPECT_EQ(EncodeOnce(), S_OK);
  EXPECT_EQ(packets_.size(), 1u);
}

// ---------------------------------------------------------------------------
// Output: ADTS splitting and raw frames

TEST_F(AacEncoderFake, OutputsBecomePackets) {
  const Bytes p1 = {1, 2, 3, 4}, p2 = {5, 6, 7}, p3 = {8, 9};
  struct Packet {
    Bytes data;
    int64_t pts, duration;
  };
  const struct {
    const char* name;
    int32_t rate;
    std::vector<FakeOutput> outputs;
    std::vector<Packet> expect;
  } cases[] = {
      {"ADTS, two frames (the second with CRC)", 48000, {{S_OK, Concat({Adts(p1), Adts(p2, true)}), 5000, 999}},
       {{p1, 5000, kFrame48k}, {p2, 5000 + kFrame48k, kFrame48k}}},
      {"ADTS at 44.1 kHz, three frames", 44100, {{S_OK, Concat({Adts(p1, true), Adts(p2, true), Adts(p3)}), 0, {}}},
       {{p1, 0, 232199}, {p2, 232199, 232199}, {p3, 464398, 232199}}},
      {"ADTS with trailing bytes", 48000, {{S_OK, Concat({Adts(p1), {0xFF, 0xF1, 0}}), 10, 1}},
       {{p1, 10, kFrame48k}}},
      {"ADTS frame running past the end: raw", 48000, {{S_OK, Truncated(Adts(p1)), 10, 55}},
       {{Truncated(Adts(p1)), 10, 55}}},
      {"ADTS frame no longer than its header: raw", 48000, {{S_OK, Adts({}), 10, 55}}, {{Adts({}), 10, 55}}},
      {"broken ADTS after a good output is dropped", 48000,
       {{S_OK, Adts(p1), 0, 1}, {S_OK, Truncated(Adts(p2)), 20, 1}, {S_OK, p3, 30, 40}},
       {{p1, 0, kFrame48k}, {p3, 30, 40}}},
      {"raw with its own time and duration", 48000, {{S_OK, p1, 777, 1234}, {S_OK, p2, 900, 1}},
       {{p1, 777, 1234}, {p2, 900, 1}}},
      {"raw without duration or time", 48000, {{S_OK, p1, {}, {}}}, {{p1, 0, kFrame48k}}},
      {"raw, duration below 1, negative time", 44100, {{S_OK, p1, -50, 0}, {S_OK, p2, 1, -3}},
       {{p1, 0, 232199}, {p2, 1, 232199}}},
      {"empty outputs make no packet", 48000, {{S_OK, {}, 1, 1}, {S_OK, p3, 2, 2}}, {{p3, 2, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    *script_ = FakeScript{};
    script_->outputs.assign(c.outputs.begin(), c.outputs.end());
    ASSERT_TRUE(encoder_.Init(c.rate, 2));
    ASSERT_EQ(EncodeOnce(), S_OK);
    ASSERT_EQ(packets_.size(), c.expect.size());
    for (size_t i = 0; i < packets_.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(packets_[i].data, c.expect[i].data);
      EXPECT_EQ(packets_[i].pts, c.expect[i].pts);
      EXPECT_EQ(packets_[i].duration, c.expect[i].duration);
    }
  }
}

TEST_F(AacEncoderFake, DrainCollectsWhatTheTransformStillHolds) {
  std::vector<AacPacket> packets(1);
  EXPECT_EQ(encoder_.Drain(packets), S_OK) << "not ready: nothing to do";
  EXPECT_TRUE(script_->calls.empty());
  ASSERT_TRUE(encoder_.Init(48000, 2));
  ASSERT_EQ(EncodeOnce(), S_OK);
  script_->outputs.push_back({S_OK, {0xD1}, 40, 1});
  script_->outputs.push_back({S_OK, {0xD2}, 50, 1});
  script_->calls.clear();
  EXPECT_EQ(encoder_.Drain(packets), MF_E_TRANSFORM_NEED_MORE_INPUT);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[1].data, Bytes{0xD2});
  EXPECT_EQ(script_->calls, (std::vector<std::string>{"Message(drain)", "ProcessOutput(0)", "ProcessOutput(0)",
                                                      "ProcessOutput(0)"}));
}

// ---------------------------------------------------------------------------
// The built-in libavcodec transform

std::vector<int16_t> Sine(int rate, int channels, int frames, double hz, double amplitude) {
  std::vector<int16_t> pcm(static_cast<size_t>(frames) * channels);
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      pcm[static_cast<size_t>(i) * channels + c] =
          static_cast<int16_t>(std::lround(amplitude * 32767.0 * std::sin(2 * std::numbers::pi * hz * i / rate)));
  return pcm;
}

// Decodes raw AAC frames with libavcodec's decoder, configured only by the
// AudioSpecificConfig; per channel, the decoded samples in order.
std::vector<std::vector<float>> DecodeAac(const std::vector<AacPacket>& packets, const std::vector<uint8_t>& asc) {
  const AVCodec* codec = avcodec_find_decoder_by_name("aac");
  EXPECT_NE(codec, nullptr);
  if (!codec) return {};
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->extradata = static_cast<uint8_t*>(av_mallocz(asc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  std::copy(asc.begin(), asc.end(), ctx->extradata);
  ctx->extradata_size = static_cast<int>(asc.size());
  EXPECT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::vector<std::vector<float>> out;
  auto receive = [&] {
    while (avcodec_receive_frame(ctx, frame) == 0) {
      EXPECT_EQ(frame->format, AV_SAMPLE_FMT_FLTP);
      out.resize(static_cast<size_t>(frame->ch_layout.nb_channels));
      for (int c = 0; c < frame->ch_layout.nb_channels; ++c) {
        const auto* p = reinterpret_cast<const float*>(frame->extended_data[c]);
        out[c].insert(out[c].end(), p, p + frame->nb_samples);
      }
    }
  };
  for (const AacPacket& p : packets) {
    if (av_new_packet(pkt, static_cast<int>(p.data.size())) != 0) break;
    std::copy(p.data.begin(), p.data.end(), pkt->data);
    EXPECT_EQ(avcodec_send_packet(ctx, pkt), 0);
    av_packet_unref(pkt);
    receive();
  }
  avcodec_send_packet(ctx, nullptr);
  receive();
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  return out;
}

// Normalised correlation of decoded[lag + i] with reference[i] over [from, to).
double Correlation(const std::vector<float>& decoded, const std::vector<double>& reference, int lag, int from, int to) {
  double xy = 0, xx = 0, yy = 0;
  for (int i = from; i < to; ++i) {
    const double x = decoded[static_cast<size_t>(i + lag)], y = reference[static_cast<size_t>(i)];
    xy += x * y;
    xx += x * x;
    yy += y * y;
  }
  return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0;
}

TEST(AacEncoderLibav, OneSecondOfSineSurvivesTheRoundTrip) {
  if (!platform::LibavAacEncoderAvailable()) GTEST_SKIP() << "libavcodec has no AAC encoder";
  for (auto [rate, channels] : {std::pair{48000, 2}, {44100, 1}}) {
    SCOPED_TRACE(testing::Message() << rate << " Hz " << channels << " ch");
    virt::Reset();
    ASSERT_EQ(OVIX_EnableLog(1), 0);
    constexpr double kAmplitude = 0.5;
    const std::vector<int16_t> pcm = Sine(rate, channels, rate, 1000.0, kAmplitude);
    OvixAacEncoder encoder;
    ASSERT_TRUE(encoder.Init(rate, channels));
    EXPECT_EQ(RecorderLines("outBuf=16384 provides=0"), 1);

    // 10 ms blocks, as the recorder hands them over.
    std::vector<AacPacket> all, packets;
    const int block = rate / 100;
    for (int at = 0; at < rate; at += block) {
      const int frames = std::min(block, rate - at);
      const auto* bytes = reinterpret_cast<const uint8_t*>(pcm.data() + static_cast<size_t>(at) * channels);
      ASSERT_EQ(encoder.Encode(bytes, frames * channels * 2, int64_t{at} * 10'000'000 / rate, 0, packets), S_OK);
      all.insert(all.end(), packets.begin(), packets.end());
    }
    EXPECT_EQ(encoder.Drain(packets), MF_E_TRANSFORM_NEED_MORE_INPUT);
    all.insert(all.end(), packets.begin(), packets.end());

    // Every 1024 samples, the last partial frame padded, plus the encoder's
    // priming frame.
    const size_t frames = (static_cast<size_t>(rate) + 1023) / 1024;
    EXPECT_EQ(all.size(), frames + 1);
    size_t bytes = 0;
    for (size_t k = 0; k < all.size(); ++k) {
      SCOPED_TRACE(k);
      EXPECT_EQ(all[k].pts, static_cast<int64_t>(k) * 1024 * 10'000'000 / rate);
      EXPECT_EQ(all[k].duration, 1024 * int64_t{10'000'000} / rate);
      EXPECT_FALSE(all[k].data.empty());
      EXPECT_NE(all[k].data[0], 0xFF) << "raw frames, no ADTS";
      bytes += all[k].data.size();
    }
    EXPECT_NEAR(static_cast<double>(bytes), 16000.0, 4000.0) << "about 128 kbit/s";

    const auto decoded = DecodeAac(all, encoder.audioSpecificConfig());
    ASSERT_EQ(decoded.size(), static_cast<size_t>(channels));
    ASSERT_GE(decoded[0].size(), static_cast<size_t>(rate + 1024));
    std::vector<double> reference(static_cast<size_t>(rate));
    for (int i = 0; i < rate; ++i) reference[i] = pcm[static_cast<size_t>(i) * channels] / 32768.0;
    // The decoded audio lags by the encoder's priming frame: silence, then
    // the sine from sample 1024 on.
    const int from = 2048, to = rate - 2048;
    size_t onset = 0;
    while (onset < decoded[0].size() && std::fabs(decoded[0][onset]) < kAmplitude / 4) ++onset;
    EXPECT_NEAR(static_cast<double>(onset), 1024.0, 16.0);
    for (int c = 0; c < channels; ++c) {
      SCOPED_TRACE(testing::Message() << "channel " << c);
      EXPECT_GT(Correlation(decoded[c], reference, 1024, from, to), 0.99);
      double energy = 0;
      for (int i = from; i < to; ++i) energy += double{decoded[c][i + 1024]} * decoded[c][i + 1024];
      const double rms = std::sqrt(energy / (to - from));
      EXPECT_NEAR(rms, kAmplitude / std::sqrt(2.0), 0.05 * kAmplitude);
    }
    OVIX_EnableLog(0);
  }
}

TEST(AacEncoderLibav, TransformRefusesInputWhileOutputWaits) {
  auto t = platform::CreateLibavAacTransform();
  if (!t) GTEST_SKIP() << "libavcodec has no AAC encoder";
  AudioMediaType in{MajorType::Audio, AudioSubtype::Pcm, 16, 48000, 2, 4, 192000, 1, 0};
  AudioMediaType out{MajorType::Audio, AudioSubtype::Aac, 16, 48000, 2, 1, 16000, 0, 0x29};
  EXPECT_EQ(t->SetOutputType(0, out), MF_E_TRANSFORM_TYPE_NOT_SET) << "input type first";
  OutputStreamInfo info;
  EXPECT_EQ(t->GetOutputStreamInfo(0, info), MF_E_TRANSFORM_TYPE_NOT_SET);
  ASSERT_EQ(t->SetInputType(0, in), S_OK);
  ASSERT_EQ(t->SetOutputType(0, out), S_OK);
  ASSERT_EQ(t->GetOutputStreamInfo(0, info), S_OK);
  EXPECT_EQ(info.flags & platform::kMftOutputStreamProvidesSamples, 0u);
  EXPECT_EQ(info.size, 8192u);

  auto pull = [&](int64_t* time = nullptr) {
    OutputDataBuffer b;
    b.sample = platform::CreateSampleWithBuffer(info.size);
    uint32_t status = 0;
    const HRESULT hr = t->ProcessOutput(0, b, status);
    if (time && Succeeded(hr)) *time = b.sample->SampleTime().value_or(-1);
    return hr;
  };
  const std::vector<int16_t> pcm = Sine(48000, 2, 3000, 440.0, 0.3);
  auto input = [&](size_t frames, int64_t time) {
    auto s = platform::CreateSampleWithBuffer(static_cast<uint32_t>(frames * 4), pcm.data(),
                                              static_cast<uint32_t>(frames * 4));
    s->SetSampleTime(time);
    return t->ProcessInput(0, s);
  };
  EXPECT_EQ(pull(), MF_E_TRANSFORM_NEED_MORE_INPUT);
  ASSERT_EQ(input(1000, 10'000), S_OK);
  EXPECT_EQ(pull(), MF_E_TRANSFORM_NEED_MORE_INPUT) << "short of a whole frame";
  ASSERT_EQ(input(2000, 0), S_OK);
  EXPECT_EQ(input(10, 0), MF_E_NOTACCEPTING) << "a packet waits";
  std::vector<int64_t> times;
  for (int64_t time = 0; pull(&time) == S_OK;) times.push_back(time);
  EXPECT_EQ(times, std::vector<int64_t>{10'000}) << "two frames in, one out: the first primed the encoder";
  ASSERT_EQ(t->ProcessMessage(TransformMessage::CommandDrain, 0), S_OK);
  for (int64_t time = 0; pull(&time) == S_OK;) times.push_back(time);
  // 3000 samples: three frames (the last padded) plus the priming frame, on
  // the first input's timeline.
  EXPECT_EQ(times, (std::vector<int64_t>{10'000, 10'000 + kFrame48k, 10'000 + 426666, 10'000 + 640000}));
  EXPECT_EQ(input(1024, 500), S_OK) << "a drained encoder starts a new stream";
  ASSERT_EQ(t->ProcessMessage(TransformMessage::CommandDrain, 0), S_OK);
  int64_t time = 0;
  EXPECT_EQ(pull(&time), S_OK);
  EXPECT_EQ(time, 500);
  ASSERT_EQ(t->ProcessMessage(TransformMessage::NotifyEndStreaming, 0), S_OK);
  EXPECT_EQ(pull(), MF_E_TRANSFORM_NEED_MORE_INPUT);
}

TEST(AacEncoderLibav, TransformChecksItsTypes) {
  auto t = platform::CreateLibavAacTransform();
  if (!t) GTEST_SKIP() << "libavcodec has no AAC encoder";
  const AudioMediaType good{MajorType::Audio, AudioSubtype::Pcm, 16, 44100, 1, 2, 88200, 1, 0};
  const struct {
    const char* name;
    void (*change)(AudioMediaType&);
  } bad[] = {
      {"video", [](AudioMediaType& m) { m.major = MajorType::Video; }},
      {"float", [](AudioMediaType& m) { m.subtype = AudioSubtype::Float; }},
      {"8 bits", [](AudioMediaType& m) { m.bitsPerSample = 8; }},
      {"50 kHz", [](AudioMediaType& m) { m.samplesPerSecond = 50000, m.avgBytesPerSecond = 100000; }},
      {"no channels", [](AudioMediaType& m) { m.numChannels = 0; }},
      {"block alignment", [](AudioMediaType& m) { m.blockAlignment = 4; }},
  };
  for (const auto& b : bad) {
    AudioMediaType m = good;
    b.change(m);
    EXPECT_EQ(t->SetInputType(0, m), MF_E_INVALIDMEDIATYPE) << b.name;
  }
  EXPECT_EQ(t->SetInputType(1, good), MF_E_INVALIDSTREAMNUMBER);
  ASSERT_EQ(t->SetInputType(0, good), S_OK);
  AudioMediaType out{MajorType::Audio, AudioSubtype::Aac, 16, 44100, 2, 1, 16000, 0, 0x29};
  EXPECT_EQ(t->SetOutputType(0, out), MF_E_INVALIDMEDIATYPE) << "channels differ from the input";
  out.numChannels = 1;
  EXPECT_EQ(t->SetOutputType(0, out), S_OK);
}

}  // namespace
}  // namespace ovix::test
