// The overlay port's exported functions. None of them logs.
#include "core/api_guard.h"
#include "core/library_state.h"
#include "core/port_registry.h"
#include "platform/sys.h"
#include "video/video_osd.h"

using namespace ovix;

namespace {

// Builds the item outside the port's lock and lists it through fn.
template <typename Fn>
int WithItem(OvixPortHandle port, const OvixOsdItem* record, int32_t kind, Fn&& fn) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* osd = LivePortAs<OvixVideoOsd>(port);
    if (!osd || !record) return OVIX_ERR_INVALID_ARG;
    fn(osd->Items(), BuildOsdItem(*record, kind));
    return OVIX_OK;
  });
}

void ReplaceKind(OsdItemList& list, OsdItem item) { list.Replace(std::move(item)); }
void Append(OsdItemList& list, OsdItem item) { list.Add(std::move(item)); }

}  // namespace

extern "C" {

OvixPortHandle OVIX_CreateVideoOsd(void) {
  return Guarded(static_cast<OvixPortHandle>(nullptr), []() -> OvixPortHandle {
    if (!library_state::IsInitialised()) return nullptr;
    OvixVideoOsd* port = MakePort<OvixVideoOsd>();
    return port ? port->Handle() : nullptr;
  });
}

int OVIX_SetVideoOsdText(OvixPortHandle port, const OvixOsdItem* item) {
  return WithItem(port, item, OVIX_OSD_TEXT, ReplaceKind);
}

int OVIX_SetVideoOsdImage(OvixPortHandle port, const OvixOsdItem* item) {
  return WithItem(port, item, OVIX_OSD_IMAGE, ReplaceKind);
}

int OVIX_AddVideoOsdText(OvixPortHandle port, const OvixOsdItem* item) {
  return WithItem(port, item, OVIX_OSD_TEXT, Append);
}

int OVIX_AddVideoOsdImage(OvixPortHandle port, const OvixOsdItem* item) {
  return WithItem(port, item, OVIX_OSD_IMAGE, Append);
}

int OVIX_AddVideoOsdRect(OvixPortHandle port, const OvixOsdItem* item) {
  return WithItem(port, item, OVIX_OSD_RECT, Append);
}

int OVIX_UpdateVideoOsdText(OvixPortHandle port, int id, const OvixWChar* text) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* osd = LivePortAs<OvixVideoOsd>(port);
    if (!osd || id <= 0 || !text) return OVIX_ERR_INVALID_ARG;
    // Read no further than a record's text field holds.
    std::u16string copy(text, sys::Utf16Length(text, OVIX_OSD_TEXT_SIZE));
    return osd->Items().UpdateText(id, std::move(copy)) ? OVIX_OK : OVIX_ERR_INVALID_ARG;
  });
}

int OVIX_RemoveVideoOsdItem(OvixPortHandle port, int id) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* osd = LivePortAs<OvixVideoOsd>(port);
    if (!osd) return OVIX_ERR_INVALID_ARG;
    return osd->Items().Remove(id) ? OVIX_OK : OVIX_ERR_INVALID_ARG;
  });
}

int OVIX_ClearVideoOsd(OvixPortHandle port) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* osd = LivePortAs<OvixVideoOsd>(port);
    if (!osd) return OVIX_ERR_INVALID_ARG;
    osd->Items().Clear();
    return OVIX_OK;
  });
}

int OVIX_ConnectVideoOsdOutput(OvixPortHandle port, int output, OvixPortHandle dst) {
  return Guarded(OVIX_ERR_FAILED, [&]() -> int {
    auto* osd = LivePortAs<OvixVideoOsd>(port);
    if (!osd) return OVIX_ERR_INVALID_ARG;
    return osd->ConnectOutput(output, LivePort(dst));
  });
}

}  // extern "C"
