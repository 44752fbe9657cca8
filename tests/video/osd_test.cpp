// The CPU overlay port: its items, its two outputs, the pictures it draws,
// and the text rasteriser and image decoder it draws with.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "core/port_registry.h"
#include "ovixcapture.h"
#include "platform/image_decoder.h"
#include "platform/text_rasteriser.h"
#include "support/test_ports.h"
#include "video/osd_reference.h"
#include "video/osd_test_support.h"
#include "video/video_osd.h"

namespace ovix::test {
namespace {

using platform::ArgbSurface;
using platform::DecodedImage;
using platform::ImageDecoder;

class VideoOsd : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OVIX_Init(), OVIX_OK);
    osd_ = Own(OVIX_CreateVideoOsd());
    ASSERT_NE(osd_, nullptr);
    overlay_ = Recorder("overlay");
    overlay_->SetAction([this](const OvixVideoFrame* f) {
      std::lock_guard lock(mutex_);
      frames_.push_back(Capture(f));
    });
  }
  void TearDown() override {
    for (OvixPortHandle h : owned_) OVIX_DestroyPort(h);
  }
  OvixPortHandle Own(OvixPortHandle h) {
    owned_.push_back(h);
    return h;
  }
  RecordingPort* Recorder(const std::string& name) {
    RecordingPort* p = MakeRecordingPort(OVIX_PORT_VIDEO_RENDER, name);
    Own(H(p));
    return p;
  }
  OvixVideoOsd* Port() { return LivePortAs<OvixVideoOsd>(osd_); }
  void ConnectOverlay() { ASSERT_EQ(OVIX_ConnectVideoOsdOutput(osd_, 1, H(overlay_)), OVIX_OK); }
  int Push(const OvixVideoFrame& f) { return OvixPortBase::FromHandle(osd_)->OnVideoFrame(&f); }
  // Pushes f and returns the one overlay frame it produced.
  Captured Overlay(const OvixVideoFrame& f) {
    const size_t before = frames_.size();
    EXPECT_EQ(Push(f), OVIX_OK);
    EXPECT_EQ(frames_.size(), before + 1);
    return frames_.size() > before ? frames_.back() : Captured{};
  }
  std::vector<OsdItem> Stored() {
    std::vector<OsdItem> out;
    for (const auto& p : Port()->Items().Snapshot()) out.push_back(*p);
    return out;
  }

  OvixPortHandle osd_ = nullptr;
  RecordingPort* overlay_ = nullptr;
  std::mutex mutex_;
  std::vector<Captured> frames_;
  std::vector<OvixPortHandle> owned_;
};

// The picture a frame becomes, drawn by the reference, as the bytes the
// port's output frame carries.
struct RefPlanes {
  std::vector<uint8_t> plane0, plane1;
};
RefPlanes Planes(const osdref::Picture& p) { return {p.main, p.uv}; }

// Pixels of an RGB32 capture that differ from the input (B, G, R only).
struct Changed {
  int count = 0;
  platform::PixelRect bounds{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
};
Changed ChangedPixels(const Captured& out, const OwnedFrame& in) {
  Changed c;
  for (int y = 0; y < in.frame.height; ++y)
    for (int x = 0; x < in.frame.width; ++x) {
      const uint8_t* o = out.Rgb(x, y);
      const uint8_t* i = &in.plane0[static_cast<size_t>(y) * in.frame.stride[0] + x * 4];
      if (o[0] == i[0] && o[1] == i[1] && o[2] == i[2]) continue;
      ++c.count;
      c.bounds.x0 = std::min(c.bounds.x0, x);
      c.bounds.y0 = std::min(c.bounds.y0, y);
      c.bounds.x1 = std::max(c.bounds.x1, x + 1);
      c.bounds.y1 = std::max(c.bounds.y1, y + 1);
    }
  return c;
}

// ---------------------------------------------------------------------------
// Items

TEST_F(VideoOsd, ItemsAreStoredWithTheirSubstitutions) {
  struct Case {
    int (*add)(OvixPortHandle, const OvixOsdItem*);
    int32_t kind;
    uint32_t color, back;
    int32_t size;
    float opacity;
    int32_t visible, transparent;
    uint32_t wantColor, wantBack;
    int32_t wantSize;
    float wantOpacity;
    int32_t wantVisible, wantTransparent;
  };
  const Case cases[] = {
      {OVIX_AddVideoOsdText, OVIX_OSD_TEXT, 0, 0, 0, 1.0f, 1, 0, 0xFFFFFFFF, 0x80000000, 36, 1.0f, 1, 0},
      {OVIX_AddVideoOsdImage, OVIX_OSD_IMAGE, 0x12345678, 0x0000FF00, -4, 1.5f, 5, 7, 0x12345678, 0x0000FF00, 36, 1.0f,
       1, 1},
      {OVIX_AddVideoOsdRect, OVIX_OSD_RECT, 0x00FF0000, 0, 0, -0.5f, 0, 0, 0x00FF0000, 0x80000000, 3, 0.0f, 0, 0},
      {OVIX_AddVideoOsdRect, OVIX_OSD_RECT, 1, 1, 600, NAN, -1, -1, 1, 1, 600, 0.0f, 1, 1},
      {OVIX_AddVideoOsdText, OVIX_OSD_TEXT, 2, 3, -1, 0.25f, 1, 0, 2, 3, 36, 0.25f, 1, 0},
  };
  for (const Case& c : cases) {
    OvixOsdItem it = NewItem(1, 2, 3, 4);
    it.kind = 77;  // ignored: the function decides the kind
    it.color = c.color;
    it.backColor = c.back;
    it.size = c.size;
    it.opacity = c.opacity;
    it.visible = c.visible;
    it.transparent = c.transparent;
    ASSERT_EQ(c.add(osd_, &it), OVIX_OK);
  }
  const std::vector<OsdItem> stored = Stored();
  ASSERT_EQ(stored.size(), std::size(cases));
  for (size_t i = 0; i < stored.size(); ++i) {
    SCOPED_TRACE(i);
    const Case& c = cases[i];
    EXPECT_EQ(stored[i].kind, c.kind);
    EXPECT_EQ(stored[i].color, c.wantColor);
    EXPECT_EQ(stored[i].backColor, c.wantBack);
    EXPECT_EQ(stored[i].size, c.wantSize);
    EXPECT_EQ(stored[i].opacity, c.wantOpacity);
    EXPECT_EQ(stored[i].visible, c.wantVisible);
    EXPECT_EQ(stored[i].transparent, c.wantTransparent);
    EXPECT_EQ(stored[i].fontName, u"Microsoft YaHei UI");
    EXPECT_EQ(std::make_tuple(stored[i].x, stored[i].y, stored[i].width, stored[i].height),
              std::make_tuple(1, 2, 3, 4));
  }
}

TEST_F(VideoOsd, IdsBelowOneAreAssignedInOrder) {
  OvixOsdItem it = TextItem(0, 0, 10, 10, u"a");
  it.id = 0;
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &it), OVIX_OK);
  it.id = -3;
  ASSERT_EQ(OVIX_AddVideoOsdRect(osd_, &it), OVIX_OK);
  it.id = 7;
  ASSERT_EQ(OVIX_AddVideoOsdImage(osd_, &it), OVIX_OK);
  it.id = 0;
  ASSERT_EQ(OVIX_SetVideoOsdImage(osd_, &it), OVIX_OK);  // replaces the image with id 7
  std::vector<int32_t> ids;
  for (const OsdItem& s : Stored()) ids.push_back(s.id);
  EXPECT_EQ(ids, (std::vector<int32_t>{1, 2, 3}));
}

TEST_F(VideoOsd, SetReplacesEveryItemOfItsKindOnly) {
  OvixOsdItem it = TextItem(0, 0, 10, 10, u"first");
  it.id = 11;
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &it), OVIX_OK);
  it.id = 12;
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &it), OVIX_OK);
  it.id = 13;
  ASSERT_EQ(OVIX_AddVideoOsdImage(osd_, &it), OVIX_OK);
  it.id = 14;
  ASSERT_EQ(OVIX_AddVideoOsdRect(osd_, &it), OVIX_OK);
  it.id = 15;
  SetText(it.text, OVIX_OSD_TEXT_SIZE, u"set");
  ASSERT_EQ(OVIX_SetVideoOsdText(osd_, &it), OVIX_OK);
  std::vector<std::pair<int32_t, int32_t>> idKinds;
  for (const OsdItem& s : Stored()) idKinds.push_back({s.id, s.kind});
  EXPECT_EQ(idKinds,
            (std::vector<std::pair<int32_t, int32_t>>{{13, OVIX_OSD_IMAGE}, {14, OVIX_OSD_RECT}, {15, OVIX_OSD_TEXT}}));
  EXPECT_EQ(Stored().back().text, u"set");
}

TEST_F(VideoOsd, UpdateRemoveAndClear) {
  OvixOsdItem it = TextItem(0, 0, 10, 10, u"old");
  it.id = 5;
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &it), OVIX_OK);
  ASSERT_EQ(OVIX_AddVideoOsdRect(osd_, &it), OVIX_OK);  // same id, other kind
  it.id = 6;
  ASSERT_EQ(OVIX_AddVideoOsdImage(osd_, &it), OVIX_OK);

  EXPECT_EQ(OVIX_UpdateVideoOsdText(osd_, 5, u"new"), OVIX_OK);
  EXPECT_EQ(Stored()[0].text, u"new");
  EXPECT_EQ(Stored()[1].text, u"old");                                      // the rectangle keeps its copy
  EXPECT_EQ(OVIX_UpdateVideoOsdText(osd_, 6, u"x"), OVIX_ERR_INVALID_ARG);  // an image
  EXPECT_EQ(OVIX_UpdateVideoOsdText(osd_, 9, u"x"), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_UpdateVideoOsdText(osd_, 0, u"x"), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_UpdateVideoOsdText(osd_, 5, nullptr), OVIX_ERR_INVALID_ARG);

  EXPECT_EQ(OVIX_RemoveVideoOsdItem(osd_, 5), OVIX_OK);
  ASSERT_EQ(Stored().size(), 1u);
  EXPECT_EQ(Stored()[0].id, 6);
  EXPECT_EQ(OVIX_RemoveVideoOsdItem(osd_, 5), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_ClearVideoOsd(osd_), OVIX_OK);
  EXPECT_TRUE(Stored().empty());
}

TEST_F(VideoOsd, TextFieldsAreReadNoFurtherThanTheirArrays) {
  OvixOsdItem it = NewItem(0, 0, 0, 0);
  std::fill(std::begin(it.text), std::end(it.text), u'a');
  std::fill(std::begin(it.fontName), std::end(it.fontName), u'f');
  std::fill(std::begin(it.imagePath), std::end(it.imagePath), u'p');
  it.id = 3;
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &it), OVIX_OK);
  const OsdItem s = Stored()[0];
  EXPECT_EQ(s.text.size(), size_t{OVIX_OSD_TEXT_SIZE});
  EXPECT_EQ(s.fontName.size(), size_t{OVIX_OSD_FONT_NAME_SIZE});
  EXPECT_EQ(s.imagePath.size(), size_t{OVIX_PATH_SIZE});
  const std::u16string longer(600, u'b');
  ASSERT_EQ(OVIX_UpdateVideoOsdText(osd_, 3, longer.c_str()), OVIX_OK);
  EXPECT_EQ(Stored()[0].text, longer.substr(0, OVIX_OSD_TEXT_SIZE));
}

TEST_F(VideoOsd, RefusesOtherPortsAndBadArguments) {
  OvixPortHandle mux = Own(OVIX_CreateVideoMux());
  const OvixOsdItem it = TextItem(0, 0, 1, 1, u"a");
  for (auto fn : {OVIX_SetVideoOsdText, OVIX_SetVideoOsdImage, OVIX_AddVideoOsdText, OVIX_AddVideoOsdImage,
                  OVIX_AddVideoOsdRect}) {
    EXPECT_EQ(fn(mux, &it), OVIX_ERR_INVALID_ARG);
    EXPECT_EQ(fn(nullptr, &it), OVIX_ERR_INVALID_ARG);
    EXPECT_EQ(fn(osd_, nullptr), OVIX_ERR_INVALID_ARG);
  }
  EXPECT_EQ(OVIX_UpdateVideoOsdText(mux, 1, u"a"), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_RemoveVideoOsdItem(mux, 1), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_ClearVideoOsd(mux), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_ConnectVideoOsdOutput(mux, 1, H(overlay_)), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_ConnectVideoOsdOutput(osd_, 1, nullptr), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_ConnectVideoOsdOutput(osd_, 2, H(overlay_)), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_ConnectVideoOsdOutput(osd_, -1, H(overlay_)), OVIX_ERR_INVALID_ARG);
  // Connected to itself, a frame would come back without end.
  EXPECT_EQ(OVIX_ConnectVideoOsdOutput(osd_, 0, osd_), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_ConnectVideoOsdOutput(osd_, 1, osd_), OVIX_ERR_INVALID_ARG);
  EXPECT_TRUE(Stored().empty());
  EXPECT_EQ(OvixPortBase::FromHandle(osd_)->OnVideoFrame(nullptr), OVIX_ERR_INVALID_ARG);

  OVIX_Shutdown();
  EXPECT_EQ(OVIX_CreateVideoOsd(), nullptr);
}

// ---------------------------------------------------------------------------
// Outputs

TEST_F(VideoOsd, WithoutOverlayDestinationFramesOnlyPassThrough) {
  RecordingPort* viaConnect = Recorder("a");
  RecordingPort* viaOutput0 = Recorder("b");
  ASSERT_EQ(OVIX_Connect(osd_, H(viaConnect)), OVIX_OK);
  ASSERT_EQ(OVIX_ConnectVideoOsdOutput(osd_, 0, H(viaOutput0)), OVIX_OK);
  OvixOsdItem it = RectItem(0, 0, 3, 3, 0xFFFF0000, 1);
  ASSERT_EQ(OVIX_AddVideoOsdRect(osd_, &it), OVIX_OK);
  OwnedFrame f = SolidRgb32(8, 8, 0xFF000000);
  const std::vector<uint8_t> before = f.plane0;
  EXPECT_EQ(Push(f.frame), OVIX_OK);
  EXPECT_EQ(viaConnect->LastVideoRecord(), &f.frame);
  EXPECT_EQ(viaOutput0->LastVideoRecord(), &f.frame);
  EXPECT_EQ(overlay_->VideoFrames(), 0);
  EXPECT_EQ(f.plane0, before);  // the input is never drawn into
}

TEST_F(VideoOsd, InvisibleItemsLeaveTheInputFrameAsItIs) {
  ConnectOverlay();
  OwnedFrame f = MakeFrame(OVIX_FORMAT_YUY2, 6, 4, 0, 1);
  EXPECT_EQ(Push(f.frame), OVIX_OK);  // no items at all
  OvixOsdItem it = TextItem(0, 0, 6, 4, u"hidden", 0xFFFF0000, 0xFF00FF00);
  it.visible = 0;
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &it), OVIX_OK);
  OvixOsdItem r = RectItem(0, 0, 5, 3, 0xFFFF0000, 1);
  r.visible = 0;
  ASSERT_EQ(OVIX_AddVideoOsdRect(osd_, &r), OVIX_OK);
  EXPECT_EQ(Push(f.frame), OVIX_OK);
  ASSERT_EQ(frames_.size(), 2u);
  for (const Captured& c : frames_) EXPECT_EQ(c.record, &f.frame);
}

TEST_F(VideoOsd, EachDestinationGetsEachOverlayFrameOnce) {
  RecordingPort* other = Recorder("other");
  ConnectOverlay();
  ConnectOverlay();
  ASSERT_EQ(OVIX_ConnectVideoOsdOutput(osd_, 1, H(other)), OVIX_OK);
  OvixOsdItem r = RectItem(0, 0, 3, 3, 0xFFFF0000, 1);
  ASSERT_EQ(OVIX_AddVideoOsdRect(osd_, &r), OVIX_OK);
  OwnedFrame f = SolidRgb32(4, 4, 0xFF000000);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Push(f.frame), OVIX_OK);
  EXPECT_EQ(overlay_->VideoFrames(), 3);
  EXPECT_EQ(other->VideoFrames(), 3);

  // Disconnecting takes it off both outputs.
  RecordingPort* plain = Recorder("plain");
  ASSERT_EQ(OVIX_ConnectVideoOsdOutput(osd_, 0, H(plain)), OVIX_OK);
  ASSERT_EQ(OVIX_ConnectVideoOsdOutput(osd_, 1, H(plain)), OVIX_OK);
  EXPECT_EQ(Push(f.frame), OVIX_OK);
  EXPECT_EQ(plain->VideoFrames(), 2);
  ASSERT_EQ(OVIX_Disconnect(osd_, H(plain)), OVIX_OK);
  EXPECT_EQ(Push(f.frame), OVIX_OK);
  EXPECT_EQ(plain->VideoFrames(), 2);
  EXPECT_EQ(overlay_->VideoFrames(), 5);
}

TEST_F(VideoOsd, FramesItCannotDrawOnGoOnlyToThePlainOutput) {
  RecordingPort* plain = Recorder("plain");
  ASSERT_EQ(OVIX_Connect(osd_, H(plain)), OVIX_OK);
  ConnectOverlay();
  OvixOsdItem r = RectItem(0, 0, 3, 3, 0xFFFF0000, 1);
  ASSERT_EQ(OVIX_AddVideoOsdRect(osd_, &r), OVIX_OK);
  struct Case {
    const char* what;
    std::function<void(OvixVideoFrame&)> spoil;
  };
  const Case cases[] = {
      {"MJPG", [](OvixVideoFrame& f) { f.format = OVIX_FORMAT_MJPG; }},
      {"H264", [](OvixVideoFrame& f) { f.format = OVIX_FORMAT_H264; }},
      {"unknown format", [](OvixVideoFrame& f) { f.format = 99; }},
      {"no pixels", [](OvixVideoFrame& f) { f.data[0] = nullptr; }},
      {"width 0", [](OvixVideoFrame& f) { f.width = 0; }},
      {"negative height", [](OvixVideoFrame& f) { f.height = -2; }},
  };
  int plainFrames = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OwnedFrame f = SolidRgb32(4, 4, 0xFF000000);
    c.spoil(f.frame);
    EXPECT_EQ(Push(f.frame), OVIX_ERR_UNSUPPORTED);
    EXPECT_EQ(plain->VideoFrames(), ++plainFrames);
  }
  EXPECT_EQ(overlay_->VideoFrames(), 0);
}

TEST_F(VideoOsd, OverlayFramesCarryTheWorkPictureLayout) {
  ConnectOverlay();
  // Visible, but it changes no pixel: the frame is copied and leaves as is.
  OvixOsdItem it = TextItem(0, 0, 0, 0, u"invisible ink");
  it.opacity = 0;
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &it), OVIX_OK);
  struct Case {
    int32_t format;
    int w, h, stride;
    bool separateChroma;
    int32_t wantFormat;
    int wantStride0, wantStride1;
  };
  const Case cases[] = {
      {OVIX_FORMAT_YUY2, 641, 3, 1282, true, OVIX_FORMAT_YUY2, 1284, 0},
      {OVIX_FORMAT_YUY2, 640, 2, 0, true, OVIX_FORMAT_YUY2, 1280, 0},
      {OVIX_FORMAT_YUY2, 7, 3, 20, true, OVIX_FORMAT_YUY2, 16, 0},
      {OVIX_FORMAT_NV12, 33, 5, 40, true, OVIX_FORMAT_NV12, 33, 34},
      {OVIX_FORMAT_NV12, 33, 5, 40, false, OVIX_FORMAT_NV12, 33, 34},
      {OVIX_FORMAT_NV12, 8, 4, 0, false, OVIX_FORMAT_NV12, 8, 8},
      {OVIX_FORMAT_RGB24, 5, 3, 16, true, OVIX_FORMAT_RGB32, 20, 0},
      {OVIX_FORMAT_RGB24, 5, 3, 0, true, OVIX_FORMAT_RGB32, 20, 0},
      {OVIX_FORMAT_RGB32, 4, 2, 24, true, OVIX_FORMAT_RGB32, 16, 0},
  };
  int64_t index = 40;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.format << " " << c.w << "x" << c.h << " stride " << c.stride);
    OwnedFrame f = MakeFrame(c.format, c.w, c.h, c.stride, static_cast<uint32_t>(index), c.separateChroma, index);
    f.frame.reserved = 9;
    const Captured out = Overlay(f.frame);
    ++index;
    EXPECT_EQ(out.meta.format, c.wantFormat);
    EXPECT_EQ(out.meta.stride[0], c.wantStride0);
    EXPECT_EQ(out.meta.stride[1], c.wantStride1);
    EXPECT_EQ(out.meta.data[1] != nullptr, c.wantFormat == OVIX_FORMAT_NV12);
    EXPECT_EQ(out.meta.data[2], nullptr);
    EXPECT_EQ(out.meta.data[3], nullptr);
    EXPECT_EQ(out.meta.stride[2] | out.meta.stride[3] | out.meta.reserved, 0);
    EXPECT_EQ(std::make_tuple(out.meta.width, out.meta.height, out.meta.timestamp, out.meta.frameIndex),
              std::make_tuple(c.w, c.h, f.frame.timestamp, f.frame.frameIndex));
    const RefPlanes want = Planes(osdref::Prepare(f.frame));
    EXPECT_EQ(out.plane0, want.plane0);
    EXPECT_EQ(out.plane1, want.plane1);
    if (c.format == OVIX_FORMAT_YUY2 && c.w == 641) {
      for (int y = 0; y < c.h; ++y) {
        EXPECT_EQ(out.plane0[y * 1284 + 1282], 128);
        EXPECT_EQ(out.plane0[y * 1284 + 1283], 128);
        EXPECT_TRUE(std::equal(&out.plane0[y * 1284], &out.plane0[y * 1284 + 1282], &f.plane0[y * 1282]));
      }
    }
    if (c.format == OVIX_FORMAT_RGB24) {
      for (size_t i = 3; i < out.plane0.size(); i += 4) ASSERT_EQ(out.plane0[i], 255);
    }
  }
}

// ---------------------------------------------------------------------------
// Drawing

// Random frames of odd and even sizes in every format, with every kind of
// item, against the plain arithmetic; twice per size, so that the second
// frame draws items prepared for the first.
TEST_F(VideoOsd, DrawingMatchesThePlainArithmeticByteForByte) {
  ConnectOverlay();
  TempDir dir;
  const std::string png = dir.File("alpha.png");
  ASSERT_TRUE(WritePng(png, PatternImage(7, 5, 3, true)));
  const std::string bmp = dir.File("keyed.bmp");
  Image keyed = PatternImage(6, 6, 4, false);
  for (size_t i = 0; i < keyed.argb.size(); i += 4) keyed.argb[i] = 0xFF102030;
  ASSERT_TRUE(WriteBmp(bmp, keyed));
  auto rasteriser = platform::AcquireTextRasteriser();

  const int sizes[][2] = {{1, 1}, {2, 2}, {3, 5}, {17, 9}, {64, 33}, {101, 47}, {258, 13}};
  const int32_t formats[] = {OVIX_FORMAT_YUY2, OVIX_FORMAT_NV12, OVIX_FORMAT_RGB24, OVIX_FORMAT_RGB32};
  std::mt19937 rng(2024);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  struct Listed {
    OvixOsdItem item;
    int32_t kind;
  };
  std::vector<Listed> items;
  // The picture as the reference draws the listed items on it.
  auto reference = [&](const OvixVideoFrame& frame) {
    osdref::Picture want = osdref::Prepare(frame);
    for (const Listed& l : items) {
      if (l.kind == OVIX_OSD_TEXT) osdref::DrawText(want, l.item, *rasteriser);
      if (l.kind == OVIX_OSD_IMAGE) osdref::DrawImage(want, l.item);
      if (l.kind == OVIX_OSD_RECT) osdref::DrawRect(want, l.item);
    }
    return want;
  };
  for (const auto& size : sizes) {
    const int W = size[0], H = size[1];
    if (!items.empty()) {
      // The items of the last size, prepared for it, on a frame of this one.
      SCOPED_TRACE(testing::Message() << "size change to " << W << "x" << H);
      OwnedFrame f = MakeFrame(OVIX_FORMAT_RGB32, W, H, 0, rng());
      const osdref::Picture want = reference(f.frame);
      const Captured out = Overlay(f.frame);
      ASSERT_EQ(out.plane0, want.main);
      ASSERT_EQ(out.plane1, want.uv);
    }
    ASSERT_EQ(OVIX_ClearVideoOsd(osd_), OVIX_OK);
    items.clear();
    for (int n = 0; n < 7; ++n) {
      const int kind = n % 3 + 1;
      OvixOsdItem it{};
      if (kind == OVIX_OSD_TEXT) {
        it = TextItem(pick(-8, W / 2), pick(-8, H / 2), pick(-2, W), pick(-2, H),
                      u"Ovix 0123 \u00c4\u00d6 wrap me please", rng(), rng() | (n == 0 ? 0u : 0x01000000u),
                      pick(-1, 18));
        it.transparent = pick(0, 1);
      } else if (kind == OVIX_OSD_IMAGE) {
        it = ImageItem(pick(-4, W / 2), pick(-4, H / 2), pick(-1, W), pick(-1, H), n % 2 ? png : bmp);
        it.transparent = pick(0, 1);
        it.backColor = 0xFF102030;
      } else {
        it = RectItem(pick(-5, W), pick(-5, H), pick(-W, W), pick(-H, H), rng(), pick(0, 40));
      }
      it.opacity = std::uniform_real_distribution<float>(-0.2f, 1.2f)(rng);
      it.layer = pick(0, 2);
      items.push_back({it, kind});
      const int r = kind == OVIX_OSD_TEXT    ? OVIX_AddVideoOsdText(osd_, &it)
                    : kind == OVIX_OSD_IMAGE ? OVIX_AddVideoOsdImage(osd_, &it)
                                             : OVIX_AddVideoOsdRect(osd_, &it);
      ASSERT_EQ(r, OVIX_OK);
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const Listed& a, const Listed& b) { return a.item.layer < b.item.layer; });
    for (int32_t format : formats) {
      for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(testing::Message() << "format " << format << " " << W << "x" << H << " pass " << pass);
        const int stride = pass == 0 ? 0 : MinStride(format, W) + pick(1, 9);
        OwnedFrame f = MakeFrame(format, W, H, stride, rng(), pass == 0);
        const osdref::Picture want = reference(f.frame);
        const Captured out = Overlay(f.frame);
        ASSERT_EQ(out.plane0, want.main);
        ASSERT_EQ(out.plane1, want.uv);
      }
    }
  }
}

TEST_F(VideoOsd, TextBoxesTakeTheirAutomaticSizes) {
  ConnectOverlay();
  struct Case {
    int frameW, frameH, x, y, w, h, size;
    platform::PixelRect want;  // empty: nothing drawn
  };
  const Case cases[] = {
      {1920, 120, 100, 10, 0, 0, 20, {100, 10, 1920, 50}},
      {1920, 120, 100, 10, 300, -1, 20, {100, 10, 400, 50}},
      {1920, 120, 100, 10, 0, 25, 0, {100, 10, 1920, 35}},
      {1920, 120, 100, 10, -5, 0, 0, {100, 10, 1920, 82}},
      {200, 100, -20, -5, 50, 30, 10, {0, 0, 30, 25}},
      {200, 100, 150, 90, 0, 0, 36, {150, 90, 200, 100}},
      {200, 100, 200, 10, 0, 0, 10, {}},
      {200, 100, 250, 10, 0, 0, 10, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "x " << c.x << " y " << c.y << " w " << c.w << " h " << c.h);
    // Only the opaque box shows: the text is a space.
    OvixOsdItem it = TextItem(c.x, c.y, c.w, c.h, u" ", 0xFFFFFFFF, 0xFF204060, c.size);
    ASSERT_EQ(OVIX_SetVideoOsdText(osd_, &it), OVIX_OK);
    OwnedFrame f = SolidRgb32(c.frameW, c.frameH, 0xFF000000);
    const Captured out = Overlay(f.frame);
    const Changed changed = ChangedPixels(out, f);
    if (c.want.Empty()) {
      EXPECT_EQ(changed.count, 0);
      continue;
    }
    EXPECT_EQ(changed.count, c.want.Width() * c.want.Height());
    EXPECT_EQ(std::make_tuple(changed.bounds.x0, changed.bounds.y0, changed.bounds.x1, changed.bounds.y1),
              std::make_tuple(c.want.x0, c.want.y0, c.want.x1, c.want.y1));
  }
}

TEST_F(VideoOsd, ColoursOfZeroDrawWhiteTextAndAHalfBlackBox) {
  ConnectOverlay();
  OvixOsdItem rect = RectItem(1, 1, 10, 10, 0, 1);
  ASSERT_EQ(OVIX_AddVideoOsdRect(osd_, &rect), OVIX_OK);
  OvixOsdItem box = TextItem(20, 0, 10, 10, u" ", 0, 0, 8);
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &box), OVIX_OK);
  OvixOsdItem ink = TextItem(40, 0, 60, 40, u"WM", 0, 0, 30);
  ink.transparent = 1;
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &ink), OVIX_OK);
  // A colour whose alpha byte is 0 draws opaque.
  OvixOsdItem red = RectItem(1, 20, 10, 10, 0x00FF0000, 1);
  ASSERT_EQ(OVIX_AddVideoOsdRect(osd_, &red), OVIX_OK);

  OwnedFrame f = SolidRgb32(100, 40, 0xFFC8C8C8);  // grey 200
  const Captured out = Overlay(f.frame);
  EXPECT_EQ(std::vector<uint8_t>(out.Rgb(1, 1), out.Rgb(1, 1) + 4), (std::vector<uint8_t>{255, 255, 255, 255}));
  EXPECT_EQ(std::vector<uint8_t>(out.Rgb(1, 20), out.Rgb(1, 20) + 4), (std::vector<uint8_t>{0, 0, 255, 255}));
  // 200 x (1 - 128/255) + 0.5, truncated.
  EXPECT_EQ(std::vector<uint8_t>(out.Rgb(25, 5), out.Rgb(25, 5) + 4), (std::vector<uint8_t>{100, 100, 100, 255}));
  int white = 0;
  for (int y = 0; y < 40; ++y)
    for (int x = 40; x < 100; ++x) {
      const uint8_t* p = out.Rgb(x, y);
      ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]) << x << "," << y;
      white += p[0] == 255;
    }
  EXPECT_GT(white, 20);
}

TEST_F(VideoOsd, OpacityZeroChangesNothing) {
  ConnectOverlay();
  TempDir dir;
  const std::string png = dir.File("i.png");
  ASSERT_TRUE(WritePng(png, PatternImage(8, 8, 1, false)));
  OvixOsdItem text = TextItem(0, 0, 0, 0, u"Hello", 0xFFFFFFFF, 0xFF0000FF, 12);
  OvixOsdItem image = ImageItem(2, 2, 0, 0, png);
  OvixOsdItem rect = RectItem(1, 1, 20, 10, 0xFFFF0000, 4);
  for (OvixOsdItem* it : {&text, &image, &rect}) it->opacity = 0.0f;
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &text), OVIX_OK);
  ASSERT_EQ(OVIX_AddVideoOsdImage(osd_, &image), OVIX_OK);
  ASSERT_EQ(OVIX_AddVideoOsdRect(osd_, &rect), OVIX_OK);
  for (int32_t format : {OVIX_FORMAT_RGB32, OVIX_FORMAT_YUY2, OVIX_FORMAT_NV12}) {
    OwnedFrame f = MakeFrame(format, 30, 16, 0, 5);
    const Captured out = Overlay(f.frame);
    EXPECT_EQ(out.plane0, f.plane0) << format;
    EXPECT_EQ(out.plane1, f.plane1) << format;
  }
}

TEST_F(VideoOsd, RectangleOutlines) {
  ConnectOverlay();
  struct Case {
    const char* what;
    int x, y, w, h, size;
    std::vector<std::pair<int, int>> drawn, untouched;
  };
  const Case cases[] = {
      {"no width", 10, 10, 0, 40, 3, {}, {{10, 10}, {10, 30}, {10, 50}}},
      {"no height", 10, 10, 40, 0, 3, {}, {{10, 10}, {30, 10}}},
      {"left of the frame", -100, 5, 50, 20, 3, {}, {{0, 5}, {0, 15}}},
      {"thin", 10, 10, 40, 30, 1, {{10, 10}, {50, 40}, {30, 10}, {10, 25}}, {{11, 11}, {30, 30}}},
      {"negative size", 50, 40, -40, -30, 1, {{10, 10}, {50, 40}, {30, 10}, {10, 25}}, {{11, 11}, {30, 30}}},
      {"default thickness", 10, 10, 40, 30, 0, {{12, 20}, {20, 12}, {48, 20}}, {{13, 20}, {20, 13}, {47, 20}}},
      {"thickness above 32",
       0,
       0,
       99,
       99,
       100,
       {{50, 31}, {31, 50}, {50, 68}, {68, 50}},
       {{50, 32}, {32, 50}, {50, 67}, {67, 50}}},
      {"over the edges", -10, -10, 200, 200, 2, {{0, 0}, {1, 50}, {50, 1}, {99, 99}, {98, 50}}, {{2, 50}, {50, 97}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(OVIX_ClearVideoOsd(osd_), OVIX_OK);
    OvixOsdItem r = RectItem(c.x, c.y, c.w, c.h, 0xFFFFFFFF, c.size);
    ASSERT_EQ(OVIX_AddVideoOsdRect(osd_, &r), OVIX_OK);
    OwnedFrame f = SolidRgb32(100, 100, 0xFF000000);
    const Captured out = Overlay(f.frame);
    if (c.drawn.empty()) {
      EXPECT_EQ(out.plane0, f.plane0);
    }
    for (auto [x, y] : c.drawn) EXPECT_EQ(out.Rgb(x, y)[0], 255) << x << "," << y;
    for (auto [x, y] : c.untouched) EXPECT_EQ(out.Rgb(x, y)[0], 0) << x << "," << y;
  }
}

TEST_F(VideoOsd, HigherLayersDrawOverLowerOnes) {
  ConnectOverlay();
  OvixOsdItem top = TextItem(0, 0, 20, 10, u" ", 0, 0xFFFF0000, 5);  // red, layer 5, added first
  top.layer = 5;
  OvixOsdItem bottom = TextItem(10, 0, 20, 10, u" ", 0, 0xFF0000FF, 5);  // blue, layer 1
  bottom.layer = 1;
  OvixOsdItem later = TextItem(15, 0, 10, 10, u" ", 0, 0xFF00FF00, 5);  // green, layer 5, added last
  later.layer = 5;
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &top), OVIX_OK);
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &bottom), OVIX_OK);
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &later), OVIX_OK);
  OwnedFrame f = SolidRgb32(40, 10, 0xFF000000);
  const Captured out = Overlay(f.frame);
  auto rgb = [&](int x) { return std::vector<uint8_t>(out.Rgb(x, 5), out.Rgb(x, 5) + 3); };
  EXPECT_EQ(rgb(5), (std::vector<uint8_t>{0, 0, 255}));   // red alone
  EXPECT_EQ(rgb(12), (std::vector<uint8_t>{0, 0, 255}));  // red over blue
  EXPECT_EQ(rgb(17), (std::vector<uint8_t>{0, 255, 0}));  // green over red
  EXPECT_EQ(rgb(27), (std::vector<uint8_t>{255, 0, 0}));  // blue alone
}

TEST_F(VideoOsd, TextChangesPixelsOnlyInsideItsBox) {
  ConnectOverlay();
  const std::u16string text = u"Wrapped words overflow their box on every side Wwwwwwwwwwwwwwwwwwwww";
  const int bx = 30, by = 20, bw = 60, bh = 18;
  OvixOsdItem it = TextItem(bx, by, bw, bh, text, 0xFFFFFFFF, 0, 16);
  it.transparent = 1;
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &it), OVIX_OK);
  OwnedFrame f = SolidRgb32(160, 80, 0xFF000000);
  const Captured out = Overlay(f.frame);
  const Changed changed = ChangedPixels(out, f);
  EXPECT_GT(changed.count, 50);
  EXPECT_GE(changed.bounds.x0, bx);
  EXPECT_GE(changed.bounds.y0, by);
  EXPECT_LE(changed.bounds.x1, bx + bw);
  EXPECT_LE(changed.bounds.y1, by + bh);

  // Drawn without the cut, the same text does reach beyond the box.
  ArgbSurface whole(160, 80);
  ASSERT_TRUE(platform::AcquireTextRasteriser()->DrawText(whole, text, {"DejaVu Sans", 16, 0xFFFFFFFF},
                                                          {double(bx), double(by), double(bw), double(bh)}));
  int outside = 0;
  for (int y = 0; y < 80; ++y)
    for (int x = 0; x < 160; ++x)
      if ((whole.Pixel(x, y) >> 24) && (x < bx || x >= bx + bw || y < by || y >= by + bh)) ++outside;
  EXPECT_GT(outside, 0);
}

TEST_F(VideoOsd, HostileTextDrawsWithoutFault) {
  ConnectOverlay();
  OvixOsdItem it = TextItem(5, 5, 0, 0, u"", 0xFFFFFF00, 0x40000000, 14);
  const char16_t pattern[] = {0xD83D, 0xDE00, u'e',  0x0301, 0x0308, 0x4E2D, 0xD800, u' ',
                              0xDC00, u'\n',  u'\t', 0x0007, 0x0301, 0xFFFF, 0x200D, 0xDBFF};
  for (size_t i = 0; i < OVIX_OSD_TEXT_SIZE; ++i) it.text[i] = pattern[i % std::size(pattern)];  // no terminator
  std::fill(std::begin(it.fontName), std::end(it.fontName), u'Z');  // no such face, no terminator
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &it), OVIX_OK);
  OwnedFrame f = SolidRgb32(120, 60, 0xFF000000);
  osdref::Picture want = osdref::Prepare(f.frame);
  osdref::DrawText(want, it, *platform::AcquireTextRasteriser());
  const Captured out = Overlay(f.frame);
  EXPECT_EQ(out.plane0, want.main);
  EXPECT_GT(ChangedPixels(out, f).count, 0);
}

TEST_F(VideoOsd, ImageItemsDrawTheirFile) {
  ConnectOverlay();
  TempDir dir;
  const Image picture = PatternImage(6, 4, 9, false);
  const std::string bmp = dir.File("p.bmp");
  ASSERT_TRUE(WriteBmp(bmp, picture));
  OvixOsdItem it = ImageItem(1, 2, 0, 0, bmp);
  ASSERT_EQ(OVIX_SetVideoOsdImage(osd_, &it), OVIX_OK);
  OwnedFrame f = SolidRgb32(10, 8, 0xFF000000);
  Captured out = Overlay(f.frame);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) {
      const uint32_t p = picture.argb[y * 6 + x];
      const uint8_t* o = out.Rgb(1 + x, 2 + y);
      ASSERT_EQ(std::make_tuple(o[0], o[1], o[2]), std::make_tuple(p & 0xFF, (p >> 8) & 0xFF, (p >> 16) & 0xFF));
    }
  EXPECT_EQ(ChangedPixels(out, f).bounds.x1, 7);

  // The key colour turns transparent.
  Image keyed = picture;
  keyed.argb[0] = 0xFF336699;
  ASSERT_TRUE(WriteBmp(bmp, keyed));
  it.transparent = 1;
  it.backColor = 0x00336699;
  ASSERT_EQ(OVIX_SetVideoOsdImage(osd_, &it), OVIX_OK);
  out = Overlay(f.frame);
  EXPECT_EQ(out.Rgb(1, 2)[2], 0);
  EXPECT_EQ(out.Rgb(2, 2)[2], (picture.argb[1] >> 16) & 0xFF);

  // A file replaced on disk shows from the next frame.
  ASSERT_TRUE(WriteBmp(bmp, Image{2, 2, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}}));
  out = Overlay(f.frame);
  EXPECT_EQ(ChangedPixels(out, f).count, 4);

  // PNG, JPEG and GIF, scaled.
  const std::string png = dir.File("p.png"), jpg = dir.File("p.jpg"), gif = dir.File("p.gif");
  ASSERT_TRUE(WritePng(png, picture));
  ASSERT_TRUE(WriteJpg(jpg, Image{8, 8, std::vector<uint32_t>(64, 0xFFFFFFFF)}));
  // One red pixel.
  WriteBytes(gif, {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0xFF, 0, 0, 0,  0,
                   0,   ',', 0,   0,   0,   0,   1, 0, 1, 0, 0,    2, 2, 0x44, 1, 0, ';'});
  for (const std::string& path : {png, jpg, gif}) {
    SCOPED_TRACE(path);
    OvixOsdItem scaled = ImageItem(1, 1, 4, 3, path);
    ASSERT_EQ(OVIX_SetVideoOsdImage(osd_, &scaled), OVIX_OK);
    out = Overlay(f.frame);
    const Changed changed = ChangedPixels(out, f);
    EXPECT_EQ(changed.count, 12);
    if (path == gif) {
      EXPECT_EQ(std::vector<uint8_t>(out.Rgb(2, 2), out.Rgb(2, 2) + 3), (std::vector<uint8_t>{0, 0, 255}));
    }
  }
}

uint32_t Crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

void PutChunk(std::vector<uint8_t>& png, const char* type, const std::vector<uint8_t>& data) {
  const uint32_t n = static_cast<uint32_t>(data.size());
  for (int s = 24; s >= 0; s -= 8) png.push_back(static_cast<uint8_t>(n >> s));
  const size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  const uint32_t crc = Crc32(&png[start], png.size() - start);
  for (int s = 24; s >= 0; s -= 8) png.push_back(static_cast<uint8_t>(crc >> s));
}

// A PNG of w x h RGBA pixels whose image data is the given zlib stream.
std::vector<uint8_t> Png(uint32_t w, uint32_t h, const std::vector<uint8_t>& zlib) {
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> ihdr;
  for (uint32_t v : {w, h})
    for (int s = 24; s >= 0; s -= 8) ihdr.push_back(static_cast<uint8_t>(v >> s));
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  PutChunk(png, "IHDR", ihdr);
  if (!zlib.empty()) PutChunk(png, "IDAT", zlib);
  PutChunk(png, "IEND", {});
  return png;
}

// A zlib stream that inflates to about `bytes` zero bytes from a few
// hundred kilobytes: one literal, then back-references of 258 bytes.
std::vector<uint8_t> ZlibBomb(size_t bytes) {
  std::vector<uint8_t> out = {0x78, 0x01};
  uint32_t acc = 0;
  int bits = 0;
  auto put = [&](uint32_t v, int n, bool reversed) {  // Huffman codes go most significant bit first
    for (int i = 0; i < n; ++i) {
      const uint32_t bit = reversed ? (v >> (n - 1 - i)) & 1u : (v >> i) & 1u;
      acc |= bit << bits;
      if (++bits == 8) {
        out.push_back(static_cast<uint8_t>(acc));
        acc = 0;
        bits = 0;
      }
    }
  };
  put(1, 1, false);    // last block
  put(1, 2, false);    // fixed Huffman codes
  put(0x30, 8, true);  // literal 0
  for (size_t n = 1; n < bytes; n += 258) {
    put(0xC5, 8, true);  // length 258
    put(0, 5, true);     // distance 1
  }
  put(0, 7, true);  // end of block
  if (bits) out.push_back(static_cast<uint8_t>(acc));
  out.insert(out.end(), {0, 0, 0, 0});
  return out;
}

TEST_F(VideoOsd, BadImageFilesDrawNothing) {
  ConnectOverlay();
  TempDir dir;
  const std::string good = dir.File("good.png");
  ASSERT_TRUE(WritePng(good, PatternImage(16, 16, 2, false)));
  const std::vector<uint8_t> goodBytes = ReadBytes(good);
  std::vector<uint8_t> noise(3000);
  std::mt19937 rng(8);
  for (uint8_t& b : noise) b = static_cast<uint8_t>(rng());
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"noise.png", noise},
      {"truncated.png", std::vector<uint8_t>(goodBytes.begin(), goodBytes.begin() + goodBytes.size() / 2)},
      {"header-only.png", std::vector<uint8_t>(goodBytes.begin(), goodBytes.begin() + 33)},
      {"huge.png", Png(8000, 8000, {})},
      {"wide.png", Png(100000, 1, {})},
      {"bomb.png", Png(64, 64, ZlibBomb(32u << 20))},
      {"empty.png", {}},
      {"bad-magic.bmp", {'B', 'M', 1, 2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File(c.name);
    WriteBytes(path, c.bytes);
    DecodedImage img;
    std::string error;
    EXPECT_FALSE(ImageDecoder::DecodeFile(path, img, &error));
    EXPECT_FALSE(error.empty());
    if (std::string(c.name) == "bomb.png") {
      EXPECT_EQ(error, "outofmem");
    }
    OvixOsdItem it = ImageItem(0, 0, 0, 0, path);
    ASSERT_EQ(OVIX_SetVideoOsdImage(osd_, &it), OVIX_OK);
    OwnedFrame f = SolidRgb32(20, 20, 0xFF000000);
    EXPECT_EQ(Overlay(f.frame).plane0, f.plane0);
  }
  for (const std::string& path : {dir.File("missing.png"), dir.File("")}) {
    OvixOsdItem it = ImageItem(0, 0, 0, 0, path);
    ASSERT_EQ(OVIX_SetVideoOsdImage(osd_, &it), OVIX_OK);
    OwnedFrame f = SolidRgb32(20, 20, 0xFF000000);
    EXPECT_EQ(Overlay(f.frame).plane0, f.plane0) << path;
  }
  // A file removed after it was drawn draws nothing from then on.
  OvixOsdItem it = ImageItem(0, 0, 0, 0, good);
  ASSERT_EQ(OVIX_SetVideoOsdImage(osd_, &it), OVIX_OK);
  OwnedFrame f = SolidRgb32(20, 20, 0xFF000000);
  EXPECT_NE(Overlay(f.frame).plane0, f.plane0);
  std::filesystem::remove(good);
  EXPECT_EQ(Overlay(f.frame).plane0, f.plane0);
}

// Two sources feed the one port at the same time while a third thread edits
// its items: every overlay frame still shows its own source's picture.
TEST_F(VideoOsd, OverlappingDeliveriesEachDrawTheirOwnPicture) {
  constexpr int kFrames = 150;
  constexpr int W = 64, Hh = 32;
  std::atomic<int> received{0}, wrong{0};
  overlay_->SetAction([&](const OvixVideoFrame* f) {
    received.fetch_add(1);
    // The corner is outside every item: it shows the source's colour.
    const uint8_t expect = (f->frameIndex & 1) ? 0xC0 : 0x40;
    const uint8_t* corner = f->data[0] + static_cast<size_t>(Hh - 1) * f->stride[0] + (W - 1) * 4;
    const uint8_t* first = f->data[0];
    if (corner[0] != expect || first[0] != expect) wrong.fetch_add(1);
  });
  ConnectOverlay();
  OvixOsdItem text = TextItem(4, 4, 40, 20, u"0", 0xFFFFFFFF, 0xFF000080, 10);
  text.id = 1;
  ASSERT_EQ(OVIX_AddVideoOsdText(osd_, &text), OVIX_OK);
  OvixOsdItem rect = RectItem(2, 2, 50, 25, 0xFFFF0000, 2);
  ASSERT_EQ(OVIX_AddVideoOsdRect(osd_, &rect), OVIX_OK);

  auto feed = [&](uint32_t colour, int parity) {
    OwnedFrame f = SolidRgb32(W, Hh, colour);
    for (int i = 0; i < kFrames; ++i) {
      f.frame.frameIndex = 2 * i + parity;
      Push(f.frame);
    }
  };
  std::atomic<bool> done{false};
  std::thread editor([&] {
    for (int i = 0; !done.load(); ++i) {
      const std::u16string t = i % 2 ? u"12" : u"345";
      OVIX_UpdateVideoOsdText(osd_, 1, t.c_str());
    }
  });
  std::thread a(feed, 0xFF404040u, 0), b(feed, 0xFFC0C0C0u, 1);
  a.join();
  b.join();
  done.store(true);
  editor.join();
  EXPECT_EQ(received.load(), 2 * kFrames);
  EXPECT_EQ(wrong.load(), 0);
}

// ---------------------------------------------------------------------------
// The platform services

// Rows of a surface that carry ink, as bands of consecutive rows.
int InkBands(const ArgbSurface& s, int* maxInkX = nullptr) {
  int bands = 0;
  bool previous = false;
  if (maxInkX) *maxInkX = -1;
  for (int y = 0; y < s.Height(); ++y) {
    bool ink = false;
    for (int x = 0; x < s.Width(); ++x)
      if (s.Pixel(x, y) >> 24) {
        ink = true;
        if (maxInkX) *maxInkX = std::max(*maxInkX, x);
      }
    bands += ink && !previous;
    previous = ink;
  }
  return bands;
}

TEST(OsdTextRasteriser, FindsFacesByNameAndFallsBack) {
  auto r = platform::AcquireTextRasteriser();
  EXPECT_EQ(r->ResolveFace("DejaVu Sans"), "DejaVu Sans");
  EXPECT_EQ(r->ResolveFace("dejavu sans"), "DejaVu Sans");
  const std::string fallback = r->ResolveFace("Ovix Face That Is Not Installed");
  EXPECT_FALSE(fallback.empty());
  EXPECT_EQ(fallback, r->ResolveFace(platform::kDefaultOverlayFace));
  ArgbSurface s(100, 40);
  ASSERT_TRUE(r->DrawText(s, u"Fallback", {"Ovix Face That Is Not Installed", 16, 0xFFFFFFFF}, {2, 2, 96, 36}));
  EXPECT_EQ(InkBands(s), 1);
  // One rasteriser for the whole process while it is held.
  EXPECT_EQ(platform::AcquireTextRasteriser(), r);
}

TEST(OsdTextRasteriser, WrapsAtWordsInsideTheBoxWidth) {
  auto r = platform::AcquireTextRasteriser();
  const platform::TextStyle style{"DejaVu Sans", 20, 0xFFFFFFFF};
  ArgbSurface word(400, 200);
  ASSERT_TRUE(r->DrawText(word, u"mmm", style, {10, 0, 380, 200}));
  int wordRight = 0;
  ASSERT_EQ(InkBands(word, &wordRight), 1);
  const double width = wordRight - 10 + 6;  // one word fits, two do not

  struct Case {
    std::u16string text;
    double boxWidth;
    int bands;
  };
  const Case cases[] = {
      {u"mmm mmm mmm", 380, 1},
      {u"mmm mmm mmm", width, 3},
      {u"mmm\nmmm", 380, 2},
      {u"mmmmmmmmmmmmmmm", width, 5},  // a word wider than the box breaks between characters
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "width " << c.boxWidth << " bands " << c.bands);
    ArgbSurface s(400, 200);
    ASSERT_TRUE(r->DrawText(s, c.text, style, {10, 0, c.boxWidth, 200}));
    int right = 0;
    EXPECT_EQ(InkBands(s, &right), c.bands);
    EXPECT_LE(right, 10 + c.boxWidth + 2);
  }
}

TEST(OsdTextRasteriser, DrawsOnlyIntoItsWindowWhatTheWholeSurfaceGets) {
  auto r = platform::AcquireTextRasteriser();
  const platform::TextStyle style{"DejaVu Sans", 18, 0xC0FFFF00};
  const platform::LayoutBox box{-7, 3, 90, 60};
  ArgbSurface whole(120, 70);
  whole.FillRect(box.x, box.y, box.width, box.height, 0x80102030);
  ASSERT_TRUE(r->DrawText(whole, u"Window cut text that wraps", style, box));
  const platform::PixelRect window{5, 10, 60, 41};
  ArgbSurface part(120, 70, window);
  part.FillRect(box.x, box.y, box.width, box.height, 0x80102030);
  ASSERT_TRUE(r->DrawText(part, u"Window cut text that wraps", style, box));
  for (int y = 0; y < 70; ++y)
    for (int x = 0; x < 120; ++x) {
      const bool inside = x >= window.x0 && x < window.x1 && y >= window.y0 && y < window.y1;
      ASSERT_EQ(part.Pixel(x, y), inside ? whole.Pixel(x, y) : 0u) << x << "," << y;
    }
}

TEST(OsdImageDecoder, DecodesTheCommonFormats) {
  TempDir dir;
  const Image alpha = PatternImage(5, 3, 6, true);
  ASSERT_TRUE(WritePng(dir.File("a.png"), alpha));
  const Image opaque = PatternImage(4, 2, 7, false);
  ASSERT_TRUE(WriteBmp(dir.File("o.bmp"), opaque));
  DecodedImage img;
  ASSERT_TRUE(ImageDecoder::DecodeFile(dir.File("a.png"), img));
  EXPECT_EQ(std::make_tuple(img.width, img.height), std::make_tuple(5, 3));
  EXPECT_EQ(img.argb, alpha.argb);
  ASSERT_TRUE(ImageDecoder::DecodeFile(dir.File("o.bmp"), img));
  EXPECT_EQ(img.argb, opaque.argb);
  ASSERT_TRUE(WriteJpg(dir.File("j.jpg"), PatternImage(9, 7, 1, false)));
  ASSERT_TRUE(ImageDecoder::DecodeFile(dir.File("j.jpg"), img));
  EXPECT_EQ(std::make_tuple(img.width, img.height), std::make_tuple(9, 7));
  EXPECT_FALSE(ImageDecoder::DecodeFile(dir.File(""), img));  // a folder
}

TEST(OsdImageDecoder, ScalesBilinearlyBetweenPixelCentres) {
  struct Case {
    DecodedImage image;
    int w, h;
    std::vector<uint32_t> want;
  };
  const Case cases[] = {
      {{2, 1, {0xFF000000, 0xFFFFFFFF}}, 4, 1, {0xFF000000, 0xFF404040, 0xFFBFBFBF, 0xFFFFFFFF}},
      {{2, 1, {0xFF000000, 0xFFFFFFFF}}, 2, 1, {0xFF000000, 0xFFFFFFFF}},
      // A transparent neighbour lends no colour.
      {{2, 1, {0xFFFF0000, 0x0000FF00}}, 4, 1, {0xFFFF0000, 0xBFFF0000, 0x40FF0000, 0}},
      {{1, 1, {0x80123456}}, 3, 2, std::vector<uint32_t>(6, 0x80123456)},
  };
  for (const Case& c : cases) {
    ArgbSurface s(c.w + 2, c.h + 2);
    platform::DrawImageScaled(s, c.image, 1, 1, c.w, c.h);
    std::vector<uint32_t> got;
    for (int y = 1; y <= c.h; ++y)
      for (int x = 1; x <= c.w; ++x) got.push_back(s.Pixel(x, y));
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(s.Pixel(0, 0), 0u);
  }
}

}  // namespace
}  // namespace ovix::test
