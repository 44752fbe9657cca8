#include "video/video_osd.h"

#include <algorithm>
#include <exception>

#include "video/video_osd_blend.h"

namespace ovix {

OvixVideoOsd::OvixVideoOsd()
    : OvixPortBase(OVIX_PORT_VIDEO_OSD, /*withSecondOutput=*/true), rasteriser_(platform::AcquireTextRasteriser()) {}

OvixVideoOsd::~OvixVideoOsd() {
  items_.Clear();
  GetSecondOutput()->list.Clear();
  {
    std::lock_guard lock(statesMutex_);
    idleStates_.clear();
  }
  // The last overlay port to go shuts the rasteriser down.
  rasteriser_.reset();
}

int OvixVideoOsd::ConnectOutput(int output, OvixPortBase* dst) {
  if (!dst || dst == this) return OVIX_ERR_INVALID_ARG;
  if (output == 0) return Connect(dst);
  if (output == 1) {
    GetSecondOutput()->list.Add(dst);
    return OVIX_OK;
  }
  return OVIX_ERR_INVALID_ARG;
}

std::unique_ptr<OvixVideoOsd::WorkState> OvixVideoOsd::TakeState() {
  {
    std::lock_guard lock(statesMutex_);
    if (!idleStates_.empty()) {
      std::unique_ptr<WorkState> state = std::move(idleStates_.back());
      idleStates_.pop_back();
      return state;
    }
  }
  return std::make_unique<WorkState>(rasteriser_.get());
}

void OvixVideoOsd::ReturnState(std::unique_ptr<WorkState> state) {
  std::lock_guard lock(statesMutex_);
  idleStates_.push_back(std::move(state));
}

void OvixVideoOsd::Draw(WorkState& state, const std::vector<OsdItemList::ItemPtr>& items) {
  OsdWorkPicture& pic = state.picture;
  for (const OsdItemList::ItemPtr& item : items) {
    if (item->kind == OVIX_OSD_RECT) {
      DrawOsdRect(pic, *item);
      continue;
    }
    if (const OsdBlendMap* map = state.prepared.Get(item, pic.Width(), pic.Height(), pic.IsYuv())) map->Apply(pic);
  }
  state.prepared.Sweep();
}

int OvixVideoOsd::OnVideoFrame(const OvixVideoFrame* frame) {
  if (!frame) return OVIX_ERR_INVALID_ARG;
  DeliverVideo(frame);
  try {
    if (GetSecondOutput()->list.Snapshot().empty()) return OVIX_OK;
    std::vector<OsdItemList::ItemPtr> items = items_.Snapshot();
    items.erase(std::remove_if(items.begin(), items.end(), [](const auto& item) { return !item->visible; }),
                items.end());
    if (items.empty()) {
      DeliverSecondOutput(frame);
      return OVIX_OK;
    }
    std::stable_sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a->layer < b->layer; });
    if (!OsdWorkPicture::Supports(*frame)) return OVIX_ERR_UNSUPPORTED;

    std::unique_ptr<WorkState> state = TakeState();
    state->picture.Prepare(*frame);
    Draw(*state, items);
    const OvixVideoFrame out = state->picture.Output(*frame);
    DeliverSecondOutput(&out);
    ReturnState(std::move(state));
    return OVIX_OK;
  } catch (const std::exception&) {
    // Out of memory for the picture or an item: this frame has no overlay.
    return OVIX_ERR_FAILED;
  }
}

}  // namespace ovix
