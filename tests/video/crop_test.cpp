// The crop port: the rectangle's clamping and alignment, its bypass rules,
// tightly packed output, and its setters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ovixcapture.h"
#include "support/log_capture.h"
#include "support/test_ports.h"

namespace ovix::test {

namespace {

int BytesPerPixel(int32_t format) {
  switch (format) {
    case OVIX_FORMAT_YUY2: return 2;
    case OVIX_FORMAT_RGB24: return 3;
    case OVIX_FORMAT_RGB32: return 4;
    default: return 1;
  }
}

// A frame whose every byte tells where it is, with padded rows; NV12 chroma
// follows the luma plane (reached through data[1] or, without it, through
// the luma plane's end) with a stride of its own.
struct Source {
  std::vector<uint8_t> bytes;
  OvixVideoFrame frame{};
  int chromaStride = 0;
  Source(int32_t format, int w, int h, bool chromaPointer = true, int chromaStrideField = -1) {
    const int stride = w * BytesPerPixel(format) + 24;
    chromaStride = format == OVIX_FORMAT_NV12 ? (chromaStrideField > 0 ? chromaStrideField : stride) : 0;
    bytes.resize(static_cast<size_t>(stride) * h + static_cast<size_t>(chromaStride) * ((h + 1) / 2));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    frame.data[0] = bytes.data();
    frame.stride[0] = stride;
    if (format == OVIX_FORMAT_NV12) {
      frame.data[1] = chromaPointer ? bytes.data() + static_cast<size_t>(stride) * h : nullptr;
      frame.stride[1] = chromaStrideField < 0 ? 0 : chromaStrideField;
    }
    frame.width = w;
    frame.height = h;
    frame.format = format;
    frame.timestamp = 1234;
    frame.frameIndex = 55;
    frame.reserved = 9;
  }
  // The bytes a cut (x, y, w, h) must deliver, packed.
  std::vector<uint8_t> Cut(int x, int y, int w, int h, bool chroma) const {
    const int bpp = BytesPerPixel(frame.format);
    std::vector<uint8_t> out;
    const uint8_t* plane = bytes.data() + (chroma ? static_cast<size_t>(frame.stride[0]) * frame.height : 0);
    const int stride = chroma ? chromaStride : frame.stride[0];
    const int rows = chroma ? h / 2 : h, top = chroma ? y / 2 : y;
    for (int i = 0; i < rows; ++i) {
      const uint8_t* row = plane + static_cast<size_t>(stride) * (top + i) + static_cast<size_t>(x) * bpp;
      out.insert(out.end(), row, row + static_cast<size_t>(w) * bpp);
    }
    return out;
  }
};

struct Delivered {
  const OvixVideoFrame* record = nullptr;
  OvixVideoFrame frame{};
  std::vector<uint8_t> plane0, plane1;
  int count = 0;
  static void Take(const OvixVideoFrame* f, void* user) {
    auto* d = static_cast<Delivered*>(user);
    ++d->count;
    d->record = f;
    d->frame = *f;
    d->plane0.clear();
    d->plane1.clear();
    if (f->format >= OVIX_FORMAT_YUY2 && f->format <= OVIX_FORMAT_RGB32 && f->data[0]) {
      d->plane0.assign(f->data[0], f->data[0] + static_cast<size_t>(f->stride[0]) * f->height);
      if (f->data[1]) d->plane1.assign(f->data[1], f->data[1] + static_cast<size_t>(f->stride[1]) * (f->height / 2));
    }
  }
};

class Crop : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OVIX_Init(), OVIX_OK);
    ASSERT_EQ(OVIX_EnableLog(1), 0);
    crop_ = OVIX_CreateVideoCrop();
    ASSERT_NE(crop_, nullptr);
    OVIX_SetVideoFrameCallback(crop_, &Delivered::Take, &out_);
  }
  void TearDown() override { OVIX_DestroyPort(crop_); }
  int Push(const OvixVideoFrame* f) { return OvixPortBase::FromHandle(crop_)->OnVideoFrame(f); }
  OvixPortHandle crop_ = nullptr;
  Delivered out_;
};

TEST_F(Crop, CutsClampsAndAlignsIntoPackedFrames) {
  const struct {
    const char* what;
    int32_t format;
    int W, H;
    OvixCropRect rect;
    int x, y, w, h;  // the cut expected
    bool chromaPointer = true;
    int chromaStride = -1;  // -1: field left 0, so the luma stride serves
  } cases[] = {
      {"all-zero rect, whole RGB32 frame", OVIX_FORMAT_RGB32, 640, 480, {0, 0, 0, 0}, 0, 0, 640, 480},
      {"all-zero rect, YUY2 width rounded to even", OVIX_FORMAT_YUY2, 641, 5, {0, 0, 0, 0}, 0, 0, 640, 5},
      {"all-zero rect, NV12 width and height rounded to even", OVIX_FORMAT_NV12, 65, 33, {0, 0, 0, 0}, 0, 0, 64, 32},
      {"negative origin", OVIX_FORMAT_RGB32, 640, 480, {-10, -4, 100, 50}, 0, 0, 100, 50},
      {"overflowing width", OVIX_FORMAT_RGB24, 640, 480, {600, 0, 100, 0}, 600, 0, 40, 480},
      {"overflowing height", OVIX_FORMAT_RGB24, 64, 48, {1, 40, 5, 20}, 1, 40, 5, 8},
      {"YUY2 origin and width rounded down", OVIX_FORMAT_YUY2, 64, 8, {3, 1, 7, 3}, 2, 1, 6, 3},
      {"NV12 rows rounded down, chroma from row y/2", OVIX_FORMAT_NV12, 64, 32, {4, 5, 10, 9}, 4, 4, 10, 8},
      {"NV12 with its own chroma stride", OVIX_FORMAT_NV12, 30, 10, {2, 2, 8, 6}, 2, 2, 8, 6, true, 40},
      {"NV12 without a chroma pointer", OVIX_FORMAT_NV12, 30, 10, {6, 2, 8, 6}, 6, 2, 8, 6, false},
      {"NV12 without a chroma pointer, own stride", OVIX_FORMAT_NV12, 30, 11, {0, 0, 0, 0}, 0, 0, 30, 10, false, 33},
      {"RGB24 odd origin kept", OVIX_FORMAT_RGB24, 20, 9, {3, 5, 7, 3}, 3, 5, 7, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Source src(c.format, c.W, c.H, c.chromaPointer, c.chromaStride);
    ASSERT_EQ(OVIX_SetVideoCropRect(crop_, &c.rect), OVIX_OK);
    ASSERT_EQ(OVIX_EnableVideoCrop(crop_, 1), OVIX_OK);
    out_ = {};
    ASSERT_EQ(Push(&src.frame), OVIX_OK);
    ASSERT_EQ(out_.count, 1);
    const OvixVideoFrame& f = out_.frame;
    EXPECT_NE(out_.record, &src.frame);
    EXPECT_EQ(f.width, c.w);
    EXPECT_EQ(f.height, c.h);
    EXPECT_EQ(f.format, c.format);
    EXPECT_EQ(f.stride[0], c.w * BytesPerPixel(c.format));
    EXPECT_EQ(f.timestamp, 1234);
    EXPECT_EQ(f.frameIndex, 55);
    EXPECT_EQ(f.reserved, 9);
    EXPECT_EQ(f.data[2], nullptr);
    EXPECT_EQ(f.data[3], nullptr);
    EXPECT_EQ(f.stride[2] | f.stride[3], 0);
    EXPECT_EQ(out_.plane0, src.Cut(c.x, c.y, c.w, c.h, false));
    if (c.format == OVIX_FORMAT_NV12) {
      ASSERT_NE(f.data[1], nullptr);
      EXPECT_EQ(f.stride[1], c.w);
      EXPECT_EQ(out_.plane1, src.Cut(c.x, c.y, c.w, c.h, true));
    } else {
      EXPECT_EQ(f.data[1], nullptr);
      EXPECT_EQ(f.stride[1], 0);
    }
  }
}

TEST_F(Crop, PassesFramesOnUnchangedWhenItCannotCut) {
  const struct {
    const char* what;
    int32_t format;
    int W, H;
    OvixCropRect rect;
    bool enabled;
    const char* logLine;  // null: nothing logged
  } cases[] = {
      {"disabled", OVIX_FORMAT_RGB32, 64, 8, {1, 1, 8, 4}, false, nullptr},
      {"YUY2 resolved width 1", OVIX_FORMAT_YUY2, 64, 8, {63, 0, 0, 0}, true,
       "VideoCrop invalid rect, bypass frame 64x8 fmt=1"},
      {"YUY2 asked width 1", OVIX_FORMAT_YUY2, 64, 8, {4, 0, 1, 0}, true,
       "VideoCrop invalid rect, bypass frame 64x8 fmt=1"},
      {"NV12 resolved height 1", OVIX_FORMAT_NV12, 64, 9, {0, 8, 0, 0}, true,
       "VideoCrop invalid rect, bypass frame 64x9 fmt=2"},
      {"origin right of the frame", OVIX_FORMAT_RGB24, 64, 8, {64, 0, 4, 4}, true,
       "VideoCrop invalid rect, bypass frame 64x8 fmt=3"},
      {"origin below the frame", OVIX_FORMAT_RGB32, 64, 8, {0, 8, 4, 4}, true,
       "VideoCrop invalid rect, bypass frame 64x8 fmt=4"},
      {"empty frame", OVIX_FORMAT_RGB32, 0, 8, {0, 0, 0, 0}, true, "VideoCrop invalid rect, bypass frame 0x8 fmt=4"},
      {"MJPG", OVIX_FORMAT_MJPG, 64, 8, {0, 0, 16, 4}, true, "VideoCrop unsupported format=5, bypass"},
      {"H264", OVIX_FORMAT_H264, 64, 8, {0, 0, 16, 4}, true, "VideoCrop unsupported format=6, bypass"},
      {"unknown format", 9, 64, 8, {0, 0, 16, 4}, true, "VideoCrop unsupported format=9, bypass"},
      {"no pixels", OVIX_FORMAT_RGB32, 64, 8, {0, 0, 16, 4}, true, "VideoCrop invalid rect, bypass frame 64x8 fmt=4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Source src(c.format == OVIX_FORMAT_NV12 ? c.format : OVIX_FORMAT_RGB32, 64, 9);
    src.frame.format = c.format;
    src.frame.width = c.W;
    src.frame.height = c.H;
    if (std::string(c.what) == "no pixels") src.frame.data[0] = nullptr;
    ASSERT_EQ(OVIX_SetVideoCropRect(crop_, &c.rect), OVIX_OK);
    ASSERT_EQ(OVIX_EnableVideoCrop(crop_, c.enabled), OVIX_OK);
    out_ = {};
    const int before = c.logLine ? CountLogLines(c.logLine) : 0;
    // Logged for every such frame.
    for (int i = 0; i < 2; ++i) ASSERT_EQ(Push(&src.frame), OVIX_OK);
    EXPECT_EQ(out_.count, 2);
    EXPECT_EQ(out_.record, &src.frame);
    if (c.logLine) {
      EXPECT_EQ(CountLogLines(c.logLine) - before, 2);
    }
  }
  EXPECT_EQ(CountLogLines("VideoCrop invalid rect"), 14);
  EXPECT_EQ(Push(nullptr), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(out_.count, 2);
}

TEST_F(Crop, SettersCopyTheirValuesAndLogThem) {
  OvixPortHandle engine = OVIX_CreateVideoColorEngine();
  const OvixCropRect rect{-10, -4, 100, 50};
  EXPECT_EQ(OVIX_SetVideoCropRect(engine, &rect), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_SetVideoCropRect(nullptr, &rect), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_SetVideoCropRect(crop_, nullptr), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_EnableVideoCrop(engine, 1), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_EnableVideoCrop(nullptr, 1), OVIX_ERR_INVALID_ARG);
  OVIX_DestroyPort(engine);
  EXPECT_EQ(CountLogLines("VideoCrop"), 0);

  EXPECT_EQ(OVIX_SetVideoCropRect(crop_, &rect), OVIX_OK);
  EXPECT_EQ(CountLogLines("VideoCrop set rect x=-10 y=-4 w=100 h=50"), 1);
  EXPECT_EQ(OVIX_EnableVideoCrop(crop_, 7), OVIX_OK);
  EXPECT_EQ(CountLogLines("VideoCrop enable=1"), 1);
  EXPECT_EQ(OVIX_EnableVideoCrop(crop_, 0), OVIX_OK);
  EXPECT_EQ(CountLogLines("VideoCrop enable=0"), 1);
}

TEST_F(Crop, FeedsItsConsumersAndReusesItsBuffers) {
  // Crop behind a frame source, in front of a recording consumer.
  OvixPortHandle source = OVIX_CreateVideoFrameSource();
  RecordingPort* consumer = MakeRecordingPort(OVIX_PORT_VIDEO_RENDER, "render");
  ASSERT_EQ(OVIX_Connect(source, crop_), OVIX_OK);
  ASSERT_EQ(OVIX_Connect(crop_, H(consumer)), OVIX_OK);
  const OvixCropRect rect{8, 2, 16, 4};
  ASSERT_EQ(OVIX_SetVideoCropRect(crop_, &rect), OVIX_OK);
  ASSERT_EQ(OVIX_EnableVideoCrop(crop_, 1), OVIX_OK);
  const Source big(OVIX_FORMAT_RGB32, 64, 16), small(OVIX_FORMAT_RGB32, 20, 10);
  std::vector<const uint8_t*> planes;
  for (const Source* s : {&big, &small, &big}) {
    ASSERT_EQ(OVIX_PushVideoFrame(source, &s->frame), OVIX_OK);
    planes.push_back(out_.frame.data[0]);
  }
  EXPECT_EQ(consumer->VideoFrames(), 3);
  EXPECT_EQ(out_.frame.width, 16);
  EXPECT_EQ(planes[1], planes[0]);
  EXPECT_EQ(planes[2], planes[0]);
  OVIX_DestroyPort(source);
  OVIX_DestroyPort(H(consumer));
}

}  // namespace
}  // namespace ovix::test
