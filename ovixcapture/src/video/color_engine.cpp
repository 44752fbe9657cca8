#include "video/color_engine.h"

#include <cstdint>
#include <new>

#include "core/api_guard.h"
#include "core/library_state.h"
#include "core/log.h"
#include "core/log_tags.h"
#include "core/port_registry.h"
#include "video/cube_file.h"

namespace ovix {

namespace {

bool IsRawFormat(int32_t f) { return f >= OVIX_FORMAT_YUY2 && f <= OVIX_FORMAT_RGB32; }

}  // namespace

int OvixVideoColorEngine::SetConfig(const OvixColorConfig& config) {
  if (config.outFmt > 4) return OVIX_ERR_UNSUPPORTED;
  if (config.processor > 3) return OVIX_ERR_INVALID_ARG;
  // Written so that NaN fails too: it would pass both "< 0" and "> 1".
  if (!(config.strength >= 0.0f && config.strength <= 1.0f)) return OVIX_ERR_INVALID_ARG;
  OvixColorConfig stored = config;
  stored.strength = stored.strength < 0.0f ? 0.0f : (stored.strength > 1.0f ? 1.0f : stored.strength);
  {
    std::lock_guard lock(engineLock_);
    config_ = stored;
  }
  OVIX_LOG(kTagVideoColor, "ColorEngine config processor=%d enable=%d outFmt=%d strength=%.3f cs=%d range=%d",
           static_cast<int>(stored.processor), stored.enable, static_cast<int>(stored.outFmt),
           static_cast<double>(stored.strength), stored.cs, stored.range);
  return OVIX_OK;
}

OvixColorConfig OvixVideoColorEngine::Config() const {
  std::lock_guard lock(engineLock_);
  return config_;
}

void OvixVideoColorEngine::SetLut(ColorEngineLut lut) {
  ColorEngineLut old;
  {
    std::lock_guard lock(engineLock_);
    old = std::move(lut_);
    lut_ = std::move(lut);
  }
  // old is released here, outside the lock.
}

int32_t OvixVideoColorEngine::LutSize() const {
  std::lock_guard lock(engineLock_);
  return lut_.table ? lut_.table->size : 0;
}

int OvixVideoColorEngine::OnVideoFrame(const OvixVideoFrame* frame) {
  if (!frame) return OVIX_ERR_INVALID_ARG;
  if (!IsRawFormat(frame->format)) {
    DeliverVideo(frame);
    return OVIX_OK;
  }
  OvixColorConfig config;
  ColorEngineLut active;
  {
    std::lock_guard lock(engineLock_);
    config = config_;
    if (config.enable != 0 && lut_.table && lut_.table->size >= 2 && !lut_.table->table.empty()) active = lut_;
  }
  if (config.processor != 1 && config.processor != 3) {
    DeliverVideo(frame);
    return OVIX_OK;
  }
  const int32_t outFormat =
      config.outFmt >= 1 && config.outFmt <= 4 ? static_cast<int32_t>(config.outFmt) : frame->format;
  if (!active.table && outFormat == frame->format) {
    DeliverVideo(frame);
    return OVIX_OK;
  }
  ColorConversion job;
  job.outFormat = outFormat;
  job.colorSpace = config.cs >= 1 && config.cs <= 3 ? config.cs
                   : frame->width >= 1280 || frame->height > 576 ? 2
                                                                  : 1;
  job.fullRange = config.range == 1;
  job.strength = config.strength;
  job.lut = active.table.get();
  job.fixedLut = active.fixed.get();
  // No pixels to read, or rows too long for a 32-bit stride: refused like an
  // empty frame rather than read out of bounds.
  if (frame->width < 1 || frame->height < 1 || !frame->data[0] || frame->width > INT32_MAX / 4)
    return OVIX_ERR_INVALID_ARG;
  OvixVideoFrame out;
  try {
    ConvertColorFrame(*frame, job, buffers_, out);
  } catch (const std::bad_alloc&) {
    OVIX_LOG(kTagVideoColor, "ColorEngine out of memory, drop frame %dx%d fmt=%d", frame->width, frame->height,
             frame->format);
    return OVIX_ERR_FAILED;
  }
  DeliverVideo(&out);
  return OVIX_OK;
}

}  // namespace ovix

using namespace ovix;

extern "C" {

OvixPortHandle OVIX_CreateVideoColorEngine(void) {
  if (!library_state::IsInitialised()) return nullptr;
  OvixVideoColorEngine* port = MakePort<OvixVideoColorEngine>();
  return port ? port->Handle() : nullptr;
}

int OVIX_SetVideoColorEngineConfig(OvixPortHandle port, const OvixColorConfig* cfg) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* engine = LivePortAs<OvixVideoColorEngine>(port);
    if (!engine || !cfg) return OVIX_ERR_INVALID_ARG;
    return engine->SetConfig(*cfg);
  });
}

int OVIX_GetVideoColorEngineConfig(OvixPortHandle port, OvixColorConfig* out) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* engine = LivePortAs<OvixVideoColorEngine>(port);
    if (!engine || !out) return OVIX_ERR_INVALID_ARG;
    *out = engine->Config();
    return OVIX_OK;
  });
}

int OVIX_LoadVideoColorEngineCubeFile(OvixPortHandle port, const OvixWChar* path) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* engine = LivePortAs<OvixVideoColorEngine>(port);
    if (!engine || !path || path[0] == 0) return OVIX_ERR_INVALID_ARG;
    const std::string logPath = CubePathForLog(path);
    CubeParseResult parsed;
    switch (LoadCubeFile(path, CubeDomainRule::kColorEngine, parsed)) {
      case CubeLoadStatus::kOk: break;
      case CubeLoadStatus::kInvalidPath: return OVIX_ERR_INVALID_ARG;
      case CubeLoadStatus::kOpenFailed:
        OVIX_LOG(kTagVideoColor, "ColorEngine load cube failed: open file failed path=%s", logPath.c_str());
        return OVIX_ERR_FAILED;
      case CubeLoadStatus::kParseError:
        OVIX_LOG(kTagVideoColor, "ColorEngine load cube failed: parse error path=%s", logPath.c_str());
        return OVIX_ERR_FAILED;
    }
    ColorEngineLut lut;
    lut.table = BuildColorEngineLut(parsed);
    lut.fixed = std::make_shared<const color::ColorEngineFixedLut>(*lut.table);
    const int32_t size = lut.table->size;
    engine->SetLut(std::move(lut));
    OVIX_LOG(kTagVideoColor, "ColorEngine cube loaded path=%s dim=%d", logPath.c_str(), size);
    return OVIX_OK;
  });
}

int OVIX_ClearVideoColorEngineLut(OvixPortHandle port) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* engine = LivePortAs<OvixVideoColorEngine>(port);
    if (!engine) return OVIX_ERR_INVALID_ARG;
    engine->SetLut({});
    OVIX_LOG(kTagVideoColor, "ColorEngine LUT cleared");
    return OVIX_OK;
  });
}

}  // extern "C"
