// A shared-mode audio stream on one endpoint, and its capture and render
// services. Shaped after what the audio ports need: the endpoint's mix
// format, a stream initialised for a format (capture: the mix format, with an
// event set once per period; render: any PCM layout, converted by the
// platform), packets of frames with flags on capture, buffers to fill and
// release on render, and start, stop and reset.
//
// Lifetime: the service objects keep what they need of their stream alive,
// so the stream and its services may be released in any order.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/hresult.h"
#include "platform/wait_event.h"
#include "platform/wave_format.h"

namespace ovix::platform {

inline constexpr uint32_t kShareModeShared = 0;

inline constexpr uint32_t kStreamFlagsEventCallback = 0x00040000;
inline constexpr uint32_t kStreamFlagsSrcDefaultQuality = 0x08000000;
inline constexpr uint32_t kStreamFlagsAutoConvertPcm = 0x80000000;

inline constexpr uint32_t kBufferFlagsDataDiscontinuity = 0x1;
inline constexpr uint32_t kBufferFlagsSilent = 0x2;
inline constexpr uint32_t kBufferFlagsTimestampError = 0x4;

// Result codes of the audio stream calls.
inline constexpr HRESULT AUDCLNT_E_NOT_INITIALIZED = MakeHr(0x88890001u);
inline constexpr HRESULT AUDCLNT_E_ALREADY_INITIALIZED = MakeHr(0x88890002u);
inline constexpr HRESULT AUDCLNT_E_DEVICE_INVALIDATED = MakeHr(0x88890004u);
inline constexpr HRESULT AUDCLNT_E_NOT_STOPPED = MakeHr(0x88890005u);
inline constexpr HRESULT AUDCLNT_E_BUFFER_TOO_LARGE = MakeHr(0x88890006u);
inline constexpr HRESULT AUDCLNT_E_OUT_OF_ORDER = MakeHr(0x88890007u);
inline constexpr HRESULT AUDCLNT_E_UNSUPPORTED_FORMAT = MakeHr(0x88890008u);
inline constexpr HRESULT AUDCLNT_E_INVALID_SIZE = MakeHr(0x88890009u);
inline constexpr HRESULT AUDCLNT_E_DEVICE_IN_USE = MakeHr(0x8889000Au);
inline constexpr HRESULT AUDCLNT_E_EVENTHANDLE_NOT_SET = MakeHr(0x88890014u);
inline constexpr HRESULT AUDCLNT_E_BUFFER_ERROR = MakeHr(0x88890018u);
inline constexpr HRESULT AUDCLNT_E_BUFFER_SIZE_ERROR = MakeHr(0x88890016u);
inline constexpr HRESULT AUDCLNT_S_BUFFER_EMPTY = MakeHr(0x08890001u);
inline constexpr HRESULT E_NOTFOUND = MakeHr(0x80070490u);

class AudioCaptureClient {
 public:
  virtual ~AudioCaptureClient() = default;
  // Frames in the next packet; 0 when none is waiting.
  virtual HRESULT GetNextPacketSize(uint32_t& frames) = 0;
  // The next packet: its data in the mix format (may be null for a silent
  // packet), its frame count and buffer flags. AUDCLNT_S_BUFFER_EMPTY with 0
  // frames when none is waiting. The packet stays held until ReleaseBuffer.
  virtual HRESULT GetBuffer(uint8_t*& data, uint32_t& frames, uint32_t& flags, uint64_t* devicePosition,
                            uint64_t* qpcPosition) = 0;
  virtual HRESULT ReleaseBuffer(uint32_t frames) = 0;
};

class AudioRenderClient {
 public:
  virtual ~AudioRenderClient() = default;
  // Room for frames frames in the stream's format (at most the buffer size
  // less the padding; AUDCLNT_E_BUFFER_TOO_LARGE beyond).
  virtual HRESULT GetBuffer(uint32_t frames, uint8_t*& data) = 0;
  // Hands the frames written into the buffer to the device; with
  // kBufferFlagsSilent they are played as silence whatever the buffer holds.
  virtual HRESULT ReleaseBuffer(uint32_t frames, uint32_t flags) = 0;
};

class AudioClient {
 public:
  virtual ~AudioClient() = default;
  // The endpoint's own format in shared mode.
  virtual HRESULT GetMixFormat(WaveFormat& out) = 0;
  // bufferDuration and periodicity in 100-ns units. Capture streams take the
  // mix format; render streams with kStreamFlagsAutoConvertPcm take any PCM
  // layout and convert it to what the device plays.
  virtual HRESULT Initialize(uint32_t shareMode, uint32_t streamFlags, int64_t bufferDuration, int64_t periodicity,
                             const WaveFormat& format) = 0;
  // The event set once per period (streams with kStreamFlagsEventCallback).
  virtual HRESULT SetEventHandle(std::shared_ptr<WaitEvent> event) = 0;
  // Stream buffer size in frames.
  virtual HRESULT GetBufferSize(uint32_t& frames) = 0;
  // Render: frames written but not yet played. Capture: frames waiting.
  virtual HRESULT GetCurrentPadding(uint32_t& frames) = 0;
  // GetService for the capture or the render client.
  virtual HRESULT GetCaptureClient(std::unique_ptr<AudioCaptureClient>& out) = 0;
  virtual HRESULT GetRenderClient(std::unique_ptr<AudioRenderClient>& out) = 0;
  virtual HRESULT Start() = 0;
  // Stops the stream, keeping what is buffered (Start resumes it).
  virtual HRESULT Stop() = 0;
  // Discards what is buffered; only while stopped (AUDCLNT_E_NOT_STOPPED).
  virtual HRESULT Reset() = 0;
};

}  // namespace ovix::platform
