// PCM handles and the sample formats the streams exchange with ALSA.
#pragma once

#include <alsa/asoundlib.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/wave_format.h"

namespace ovix::platform::alsa {

struct PcmCloser {
  void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct HwParamsFree {
  void operator()(snd_pcm_hw_params_t* p) const { snd_pcm_hw_params_free(p); }
};
using HwParams = std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree>;

struct SwParamsFree {
  void operator()(snd_pcm_sw_params_t* p) const { snd_pcm_sw_params_free(p); }
};
using SwParams = std::unique_ptr<snd_pcm_sw_params_t, SwParamsFree>;

// 0 or a negative ALSA code; out is empty on failure.
int AllocHwParams(HwParams& out);
int AllocSwParams(SwParams& out);

// Opens the PCM of that name, non-blocking: the streams poll with timeouts
// so that a stop is never stuck behind a device.
int OpenPcm(const std::string& name, snd_pcm_stream_t stream, PcmHandle& out);

// Opens the PCM of that name behind ALSA's plug layer, which converts rate,
// channels and sample format to whatever the device plays. The plug is
// defined in a private copy of the global configuration, with the name as
// its slave, so any name the configuration resolves works (arguments,
// quotes, ':' and ',' included) without relying on a "plug" alias being
// defined.
int OpenPlugPcm(const std::string& name, snd_pcm_stream_t stream, PcmHandle& out);

// True when the PCM opens; closed again at once. ALSA's own error messages
// are kept quiet: a probe that fails is an answer, not a fault.
bool PcmOpens(const std::string& name, snd_pcm_stream_t stream);

// Silences ALSA's error messages on this thread while it lives.
class QuietAlsaErrors {
 public:
  QuietAlsaErrors();
  ~QuietAlsaErrors();
  QuietAlsaErrors(const QuietAlsaErrors&) = delete;
  QuietAlsaErrors& operator=(const QuietAlsaErrors&) = delete;

 private:
  snd_local_error_handler_t previous_;
};

// The ALSA format of a wave format: integer PCM of 8, 16, 24 (packed) or 32
// bits, or 32-bit float, under the plain or the extensible tag.
std::optional<snd_pcm_format_t> AlsaFormatOf(const WaveFormat& format);
// The wave format of an ALSA format at a rate and channel count; empty for
// formats the streams do not hand out.
std::optional<WaveFormat> WaveFormatOf(snd_pcm_format_t format, unsigned rate, unsigned channels);

}  // namespace ovix::platform::alsa
