#include "platform/linux/alsa_pcm.h"

#include <cerrno>

#include "platform/linux/alsa_quiet_errors.h"

namespace ovix::platform::alsa {
namespace {

struct ConfigDelete {
  void operator()(snd_config_t* c) const { snd_config_delete(c); }
};
using ConfigHandle = std::unique_ptr<snd_config_t, ConfigDelete>;

constexpr const char* kPlugId = "ovix_plug";

// Adds a child to a compound, deleting it when the parent refuses it.
int AddTo(snd_config_t* parent, snd_config_t* child) {
  const int err = snd_config_add(parent, child);
  if (err < 0) snd_config_delete(child);
  return err;
}

int AddString(snd_config_t* parent, const char* id, const char* value) {
  snd_config_t* node = nullptr;
  if (int err = snd_config_imake_string(&node, id, value); err < 0) return err;
  return AddTo(parent, node);
}

// The global configuration plus pcm.ovix_plug { type plug slave.pcm NAME }.
int PlugConfig(const std::string& name, ConfigHandle& out) {
  snd_config_t* global = nullptr;
  if (int err = snd_config_update_ref(&global); err < 0) return err;
  snd_config_t* copy = nullptr;
  int err = snd_config_copy(&copy, global);
  snd_config_unref(global);
  if (err < 0) return err;
  ConfigHandle root(copy);

  snd_config_t* pcms = nullptr;
  if (snd_config_search(root.get(), "pcm", &pcms) < 0) {
    if ((err = snd_config_make_compound(&pcms, "pcm", 0)) < 0) return err;
    if ((err = AddTo(root.get(), pcms)) < 0) return err;
  }
  snd_config_t* plug = nullptr;
  if ((err = snd_config_make_compound(&plug, kPlugId, 0)) < 0) return err;
  ConfigHandle plugOwner(plug);
  if ((err = AddString(plug, "type", "plug")) < 0) return err;
  snd_config_t* slave = nullptr;
  if ((err = snd_config_make_compound(&slave, "slave", 0)) < 0) return err;
  if ((err = AddTo(plug, slave)) < 0) return err;
  if ((err = AddString(slave, "pcm", name.c_str())) < 0) return err;
  if (snd_config_t* old = nullptr; snd_config_search(pcms, kPlugId, &old) >= 0) snd_config_delete(old);
  if ((err = snd_config_add(pcms, plug)) < 0) return err;
  plugOwner.release();  // pcms owns it now
  out = std::move(root);
  return 0;
}

}  // namespace

int AllocHwParams(HwParams& out) {
  snd_pcm_hw_params_t* p = nullptr;
  const int err = snd_pcm_hw_params_malloc(&p);
  out.reset(err < 0 ? nullptr : p);
  return err;
}

int AllocSwParams(SwParams& out) {
  snd_pcm_sw_params_t* p = nullptr;
  const int err = snd_pcm_sw_params_malloc(&p);
  out.reset(err < 0 ? nullptr : p);
  return err;
}

int OpenPcm(const std::string& name, snd_pcm_stream_t stream, PcmHandle& out) {
  out.reset();
  snd_pcm_t* pcm = nullptr;
  const int err = snd_pcm_open(&pcm, name.c_str(), stream, SND_PCM_NONBLOCK);
  if (err < 0) return err;
  out.reset(pcm);
  return 0;
}

int OpenPlugPcm(const std::string& name, snd_pcm_stream_t stream, PcmHandle& out) {
  out.reset();
  ConfigHandle config;
  if (int err = PlugConfig(name, config); err < 0) return err;
  snd_pcm_t* pcm = nullptr;
  // The opened PCM keeps no reference to the configuration it came from.
  const int err = snd_pcm_open_lconf(&pcm, kPlugId, stream, SND_PCM_NONBLOCK, config.get());
  if (err < 0) return err;
  out.reset(pcm);
  return 0;
}

bool PcmOpens(const std::string& name, snd_pcm_stream_t stream) {
  QuietAlsaErrors quiet;
  PcmHandle pcm;
  return OpenPcm(name, stream, pcm) == 0;
}

QuietAlsaErrors::QuietAlsaErrors() : previous_(OvixAlsaQuietErrors()) {}
QuietAlsaErrors::~QuietAlsaErrors() { OvixAlsaRestoreErrors(previous_); }

std::optional<snd_pcm_format_t> AlsaFormatOf(const WaveFormat& f) {
  const bool ext = f.formatTag == kWaveFormatExtensible;
  const bool isFloat = f.formatTag == kWaveFormatIeeeFloat || (ext && f.subFormat == kSubFormatIeeeFloat);
  const bool isPcm = f.formatTag == kWaveFormatPcm || (ext && f.subFormat == kSubFormatPcm);
  if (f.channels == 0 || f.blockAlign != f.channels * f.bitsPerSample / 8) return std::nullopt;
  if (ext && f.validBitsPerSample != 0 && f.validBitsPerSample != f.bitsPerSample) return std::nullopt;
  if (isFloat) return f.bitsPerSample == 32 ? std::optional(SND_PCM_FORMAT_FLOAT_LE) : std::nullopt;
  if (!isPcm) return std::nullopt;
  switch (f.bitsPerSample) {
    case 8: return SND_PCM_FORMAT_U8;
    case 16: return SND_PCM_FORMAT_S16_LE;
    case 24: return SND_PCM_FORMAT_S24_3LE;
    case 32: return SND_PCM_FORMAT_S32_LE;
    default: return std::nullopt;
  }
}

std::optional<WaveFormat> WaveFormatOf(snd_pcm_format_t format, unsigned rate, unsigned channels) {
  const auto ch = static_cast<uint16_t>(channels);
  switch (format) {
    case SND_PCM_FORMAT_U8: return PcmWaveFormat(rate, ch, 8);
    case SND_PCM_FORMAT_S16_LE: return PcmWaveFormat(rate, ch, 16);
    case SND_PCM_FORMAT_S24_3LE: return PcmWaveFormat(rate, ch, 24);
    case SND_PCM_FORMAT_S32_LE: return PcmWaveFormat(rate, ch, 32);
    case SND_PCM_FORMAT_FLOAT_LE: return FloatWaveFormat(rate, ch);
    default: return std::nullopt;
  }
}

}  // namespace ovix::platform::alsa
