// The CPU overlay port. Output 0 (the ordinary downstream list) gets every
// frame unchanged; output 1 (the second output list) gets a copy with the
// visible items drawn in, lower layers first.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "core/port_base.h"
#include "platform/text_rasteriser.h"
#include "video/video_osd_item.h"
#include "video/video_osd_picture.h"
#include "video/video_osd_prepared.h"

namespace ovix {

class OvixVideoOsd final : public OvixPortBase {
 public:
  OvixVideoOsd();
  ~OvixVideoOsd() override;

  int OnVideoFrame(const OvixVideoFrame* frame) override;

  OsdItemList& Items() { return items_; }
  // Output 0: the base connect; output 1: the overlay list. No connection
  // rules apply. -2 for another output, a null destination or the port
  // itself (a frame would come back to it without end).
  int ConnectOutput(int output, OvixPortBase* dst);

 private:
  // What one frame is drawn with: the work picture and the items prepared
  // for it. A port fed by one source reuses one; deliveries that overlap
  // (two sources, or a frame that comes back to the port) each get their
  // own, so that no picture is drawn into while it is being delivered.
  struct WorkState {
    explicit WorkState(platform::TextRasteriser* rasteriser) : prepared(rasteriser) {}
    OsdWorkPicture picture;
    OsdPreparedItems prepared;
  };

  std::unique_ptr<WorkState> TakeState();
  void ReturnState(std::unique_ptr<WorkState> state);
  void Draw(WorkState& state, const std::vector<OsdItemList::ItemPtr>& items);

  OsdItemList items_;
  std::shared_ptr<platform::TextRasteriser> rasteriser_;
  std::mutex statesMutex_;  // guards idleStates_ only
  std::vector<std::unique_ptr<WorkState>> idleStates_;
};

}  // namespace ovix
