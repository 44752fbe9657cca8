#include "platform/linux/alsa_endpoints.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>

#include "platform/linux/alsa_capture_stream.h"
#include "platform/linux/alsa_errors.h"
#include "platform/linux/alsa_pcm.h"
#include "platform/linux/alsa_render_stream.h"

namespace ovix::platform::alsa {
namespace {

struct HintsFree {
  void operator()(void** hints) const { snd_device_name_free_hint(hints); }
};

// A hint field, or nothing.
std::optional<std::string> HintField(const void* hint, const char* id) {
  std::unique_ptr<char, decltype(&std::free)> value(snd_device_name_get_hint(hint, id), &std::free);
  if (!value) return std::nullopt;
  return std::string(value.get());
}

class Endpoint final : public AudioEndpoint {
 public:
  Endpoint(PcmHint hint, AudioFlow flow) : hint_(std::move(hint)), flow_(flow) {}

  HRESULT GetId(std::string& out) override {
    out = std::string(kIdPrefix) + hint_.name;
    return S_OK;
  }
  HRESULT ReadFriendlyName(std::string& out) override {
    out = hint_.description;
    return hint_.hasDescription ? S_OK : S_FALSE;
  }
  HRESULT Activate(std::unique_ptr<AudioClient>& out) override {
    out = flow_ == AudioFlow::Capture ? MakeCaptureStream(hint_.name) : MakeRenderStream(hint_.name);
    return S_OK;
  }

 private:
  const PcmHint hint_;
  const AudioFlow flow_;
};

class Collection final : public AudioEndpointCollection {
 public:
  Collection(std::vector<PcmHint> hints, AudioFlow flow) : hints_(std::move(hints)), flow_(flow) {}
  HRESULT GetCount(uint32_t& count) override {
    count = static_cast<uint32_t>(hints_.size());
    return S_OK;
  }
  HRESULT Item(uint32_t index, std::unique_ptr<AudioEndpoint>& out) override {
    out.reset();
    if (index >= hints_.size()) return E_INVALIDARG;
    out = std::make_unique<Endpoint>(hints_[index], flow_);
    return S_OK;
  }

 private:
  const std::vector<PcmHint> hints_;
  const AudioFlow flow_;
};

bool Plays(const PcmHint& h, AudioFlow flow) { return flow == AudioFlow::Capture ? h.capture : h.render; }

snd_pcm_stream_t StreamOf(AudioFlow flow) {
  return flow == AudioFlow::Capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
}

// The default PCM's hint (its description) when listed, else a bare one.
PcmHint DefaultHint() {
  std::vector<PcmHint> hints;
  if (ListPcmHints(hints) == 0) {
    for (PcmHint& h : hints)
      if (h.name == kDefaultPcm) return std::move(h);
  }
  return PcmHint{kDefaultPcm, {}, false, true, true};
}

class Provider final : public AudioEndpointProvider {
 public:
  HRESULT EnumerateEndpoints(AudioFlow flow, std::unique_ptr<AudioEndpointCollection>& out) override {
    out.reset();
    std::vector<PcmHint> hints;
    if (int err = ListPcmHints(hints); err < 0) return HrFromAlsa(err);
    std::erase_if(hints, [&](const PcmHint& h) { return !Plays(h, flow); });
    out = std::make_unique<Collection>(std::move(hints), flow);
    return S_OK;
  }

  HRESULT GetDefaultEndpoint(AudioFlow flow, std::unique_ptr<AudioEndpoint>& out) override {
    out.reset();
    // Every configuration defines "default"; it is a device only where it opens.
    if (!PcmOpens(kDefaultPcm, StreamOf(flow))) return E_NOTFOUND;
    out = std::make_unique<Endpoint>(DefaultHint(), flow);
    return S_OK;
  }

  HRESULT GetDevice(const std::string& id, std::unique_ptr<AudioEndpoint>& out) override {
    out.reset();
    if (!id.starts_with(kIdPrefix)) return E_NOTFOUND;
    const std::string name = id.substr(kIdPrefix.size());
    if (name == kDefaultPcm) {
      for (AudioFlow flow : {AudioFlow::Render, AudioFlow::Capture}) {
        if (PcmOpens(name, StreamOf(flow))) {
          out = std::make_unique<Endpoint>(DefaultHint(), flow);
          return S_OK;
        }
      }
      return E_NOTFOUND;
    }
    std::vector<PcmHint> hints;
    if (ListPcmHints(hints) < 0) return E_NOTFOUND;
    for (PcmHint& h : hints) {
      if (h.name != name) continue;
      const AudioFlow flow = h.render ? AudioFlow::Render : AudioFlow::Capture;
      out = std::make_unique<Endpoint>(std::move(h), flow);
      return S_OK;
    }
    return E_NOTFOUND;
  }
};

}  // namespace

bool IsListedPcm(std::string_view name) {
  static constexpr std::string_view kViews[] = {"null",   "upmix",   "vdownmix", "iec958",     "spdif",
                                                "dmix",   "dsnoop",  "plughw",   "lavrate",    "samplerate",
                                                "speexrate", "usbstream"};
  const std::string_view base = name.substr(0, name.find(':'));
  if (base.empty() || base.starts_with("surround")) return false;  // surround21 ... surround71
  return std::find(std::begin(kViews), std::end(kViews), base) == std::end(kViews);
}

std::string JoinDescription(std::string_view description) {
  std::string out;
  size_t start = 0;
  while (start <= description.size()) {
    size_t end = description.find('\n', start);
    if (end == std::string_view::npos) end = description.size();
    const std::string_view line = description.substr(start, end - start);
    if (!line.empty()) {
      if (!out.empty()) out += ", ";
      out += line;
    }
    start = end + 1;
  }
  return out;
}

int ListPcmHints(std::vector<PcmHint>& out) {
  out.clear();
  void** raw = nullptr;
  QuietAlsaErrors quiet;
  if (int err = snd_device_name_hint(-1, "pcm", &raw); err < 0) return err;
  const std::unique_ptr<void*, HintsFree> hints(raw);
  for (void** h = raw; *h; ++h) {
    const std::optional<std::string> name = HintField(*h, "NAME");
    if (!name || !IsListedPcm(*name)) continue;
    if (std::any_of(out.begin(), out.end(), [&](const PcmHint& p) { return p.name == *name; })) continue;
    PcmHint hint;
    hint.name = *name;
    if (const std::optional<std::string> desc = HintField(*h, "DESC")) {
      hint.description = JoinDescription(*desc);
      hint.hasDescription = !hint.description.empty();
    }
    const std::optional<std::string> ioid = HintField(*h, "IOID");
    hint.capture = !ioid || *ioid != "Output";
    hint.render = !ioid || *ioid != "Input";
    out.push_back(std::move(hint));
  }
  return 0;
}

AudioEndpointProvider& AlsaEndpointProvider() {
  static Provider provider;
  return provider;
}

}  // namespace ovix::platform::alsa
