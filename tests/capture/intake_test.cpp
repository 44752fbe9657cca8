// The video input's configuration and its intake: buffer checks, row flips,
// the queue of 4 and the dispatch thread's diagnostics.
#include <atomic>
#include <cstring>
#include <numeric>

#include "capture_fixture.h"
#include "support/test_ports.h"

namespace ovix::test {
namespace {

namespace st = platform::subtype;

TEST(VideoInputConfig, SettersValidateStoreAndLog) {
  EXPECT_EQ(OVIX_CreateVideoInput(), nullptr);
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  OvixPortHandle in = OVIX_CreateVideoInput();
  ASSERT_NE(in, nullptr);
  auto* input = static_cast<OvixVideoInput*>(OvixPortBase::FromHandle(in));
  EXPECT_EQ(input->Type(), OVIX_PORT_VIDEO_INPUT);
  EXPECT_EQ(input->requestedWidth, 1280);
  EXPECT_EQ(input->selectedFormat, OVIX_FORMAT_RGB32);

  EXPECT_EQ(OVIX_SetVideoInputDevice(in, -1), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_SetVideoInputDevice(in, 7), OVIX_OK);  // checked only at start
  EXPECT_EQ(CountLogLines("Set video device index=7"), 1);
  const struct {
    int w, h, fps, fmt, result;
  } formats[] = {{0, 480, 30, 1, -2}, {640, 0, 30, 1, -2}, {640, 480, 0, 1, -2},
                 {640, 480, 30, 0, -2}, {640, 480, 30, 9, 0}, {640, 480, 15, 2, 0}};
  for (const auto& f : formats) EXPECT_EQ(OVIX_SetVideoInputFormat(in, f.w, f.h, f.fps, f.fmt), f.result);
  EXPECT_EQ(input->requestedFps, 15);
  EXPECT_EQ(input->selectedFormat, OVIX_FORMAT_NV12);
  EXPECT_EQ(CountLogLines("Set video format 640x480 fps=30 fmt=9"), 1);

  OvixVideoInputConfig cfg{2, 1920, 1080, 60, OVIX_FORMAT_YUY2, 2, 1, 0};
  EXPECT_EQ(OVIX_SetVideoInputConfig(in, &cfg), OVIX_OK);
  EXPECT_EQ(input->buffers, 4);
  EXPECT_EQ(CountLogLines("Set video config device=2 1920x1080 fps=60 fmt=1 cs=2 range=1 buffers=4"), 1);
  cfg.deviceIndex = 3;
  cfg.format = 0;
  EXPECT_EQ(OVIX_SetVideoInputConfig(in, &cfg), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(input->deviceIndex, 3);  // stored before the format was refused
  cfg.deviceIndex = -1;
  EXPECT_EQ(OVIX_SetVideoInputConfig(in, &cfg), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_SetVideoInputConfig(in, nullptr), OVIX_ERR_INVALID_ARG);

  OvixPortHandle mux = OVIX_CreateVideoMux();
  EXPECT_EQ(OVIX_SetVideoInputDevice(mux, 0), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_SetVideoInputFormat(mux, 640, 480, 30, 1), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_SetVideoInputConfig(mux, &cfg), OVIX_ERR_INVALID_ARG);
  OVIX_DestroyPort(mux);
  OVIX_DestroyPort(in);
}

class Intake : public CaptureTest {
 protected:
  // One camera with one capability; an input on it with a collecting
  // callback, started.
  void Open(uint32_t sub, int w, int h, int requestFormat) {
    StartWith({OnDemandCamera("cam", {virt::Capability(sub, w, h, 30)})});
    input_ = Input(0, w, h < 0 ? -h : h, 30, requestFormat);
    ASSERT_EQ(OVIX_SetVideoFrameCallback(input_, FrameCollector::Callback, &frames_), OVIX_OK);
    ASSERT_EQ(OVIX_Start(input_), OVIX_OK);
  }
  HRESULT Deliver(const std::vector<uint8_t>& bytes) { return virt::DeliverBuffer("cam", bytes.data(), bytes.size()); }

  OvixPortHandle input_ = nullptr;
  FrameCollector frames_;
};

std::vector<uint8_t> Ramp(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 640);
  return v;
}

TEST_F(Intake, ShortBufferDroppedLongerOneCut) {
  Open(st::kYUY2, 640, 480, OVIX_FORMAT_YUY2);
  ASSERT_EQ(Deliver(Ramp(614399)), S_OK);
  const std::vector<uint8_t> longer = Ramp(700000);
  ASSERT_EQ(Deliver(longer), S_OK);
  ASSERT_TRUE(frames_.WaitFor(1));
  EXPECT_EQ(CountLogLines("Drop short video buffer len=614399 required=614400 fmt=1"), 1);
  const SeenFrame f = frames_.Frames().at(0);
  EXPECT_EQ(f.frame.width, 640);
  EXPECT_EQ(f.frame.height, 480);
  EXPECT_EQ(f.frame.format, OVIX_FORMAT_YUY2);
  EXPECT_EQ(f.frame.stride[0], 1280);
  EXPECT_EQ(f.frame.data[1], nullptr);
  EXPECT_EQ(f.frame.frameIndex, 0);  // the dropped buffer took no index
  EXPECT_TRUE(std::equal(f.bytes.begin(), f.bytes.end(), longer.begin()));
  EXPECT_NE(f.tid, sys::CurrentThreadId());  // delivered on the dispatch thread
}

TEST_F(Intake, Nv12OddHeightLayout) {
  Open(st::kNV12, 640, 481, OVIX_FORMAT_NV12);
  EXPECT_EQ(Deliver(Ramp(462079)), S_OK);
  const std::vector<uint8_t> exact = Ramp(462080);
  EXPECT_EQ(Deliver(exact), S_OK);
  ASSERT_TRUE(frames_.WaitFor(1));
  EXPECT_EQ(CountLogLines("Drop short video buffer len=462079 required=462080 fmt=2"), 1);
  const SeenFrame f = frames_.Frames().at(0);
  EXPECT_EQ(f.frame.stride[0], 640);
  EXPECT_EQ(f.frame.stride[1], 640);
  EXPECT_EQ(f.frame.data[1] - f.frame.data[0], 640 * 481);
  EXPECT_EQ(f.bytes, exact);
}

TEST_F(Intake, BottomUpRgbIsTurnedUpright) {
  Open(st::kRGB32, 8, 4, OVIX_FORMAT_RGB32);  // positive height: bottom-up rows
  EXPECT_TRUE(As(input_)->BottomUp());
  std::vector<uint8_t> rows(8 * 4 * 4);
  for (int r = 0; r < 4; ++r) std::fill(rows.begin() + r * 32, rows.begin() + (r + 1) * 32, static_cast<uint8_t>(r));
  ASSERT_EQ(Deliver(rows), S_OK);
  ASSERT_TRUE(frames_.WaitFor(1));
  const SeenFrame f = frames_.Frames().at(0);
  for (int r = 0; r < 4; ++r) EXPECT_EQ(f.bytes[r * 32], 3 - r) << "row " << r;
  EXPECT_EQ(CountLogLines("Connected media type 8x4 bottomUp=1 fmt=4"), 1);
}

struct NoFlipCase {
  uint32_t sub;
  int height;
  int format;
  int bytesPerRow;
};

class IntakeNoFlip : public Intake, public testing::WithParamInterface<NoFlipCase> {};

TEST_P(IntakeNoFlip, RowsArriveAsTheyWereCaptured) {
  const NoFlipCase c = GetParam();
  Open(c.sub, 8, c.height, c.format);
  EXPECT_FALSE(As(input_)->BottomUp());
  std::vector<uint8_t> rows(static_cast<size_t>(c.bytesPerRow) * 4);
  for (int r = 0; r < 4; ++r)
    std::fill(rows.begin() + r * c.bytesPerRow, rows.begin() + (r + 1) * c.bytesPerRow, static_cast<uint8_t>(r));
  ASSERT_EQ(Deliver(rows), S_OK);
  ASSERT_TRUE(frames_.WaitFor(1));
  EXPECT_EQ(frames_.Frames().at(0).bytes, rows);
}

INSTANTIATE_TEST_SUITE_P(TopDownRgbAndYuv, IntakeNoFlip,
                         testing::Values(NoFlipCase{st::kRGB24, -4, OVIX_FORMAT_RGB24, 24},
                                         NoFlipCase{st::kYUY2, 4, OVIX_FORMAT_YUY2, 16}));

TEST_F(Intake, QueueKeepsTheFourNewestUnderABlockedConsumer) {
  StartWith({OnDemandCamera("cam", {virt::Capability(st::kYUY2, 16, 8, 30)})});
  input_ = Input(0, 16, 8, 30, OVIX_FORMAT_YUY2);
  HoldingCallback hold;
  OVIX_SetVideoFrameCallback(input_, HoldingCallback::Callback, &hold);
  ASSERT_EQ(OVIX_Start(input_), OVIX_OK);
  const std::vector<uint8_t> buffer(16 * 8 * 2, 1);
  ASSERT_EQ(Deliver(buffer), S_OK);
  ASSERT_TRUE(hold.entered.WaitFor(20));
  for (int i = 0; i < 6; ++i) ASSERT_EQ(Deliver(buffer), S_OK);  // frames 1..6 while 0 is held
  hold.release.Open();
  ASSERT_TRUE(hold.frames.WaitFor(5));
  std::vector<int64_t> indices;
  for (const SeenFrame& f : hold.frames.Frames()) indices.push_back(f.frame.frameIndex);
  EXPECT_EQ(indices, (std::vector<int64_t>{0, 3, 4, 5, 6}));
}

class SlowPort : public RecordingPort {
 public:
  SlowPort() : RecordingPort(OVIX_PORT_VIDEO_RENDER, "slow", nullptr) {}
  int OnVideoFrame(const OvixVideoFrame* f) override {
    // The work itself is slow here: this is the consumer being measured.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    return RecordingPort::OnVideoFrame(f);
  }
};

TEST_F(Intake, SlowConsumerIsReportedPerTargetAndForTheChain) {
  Open(st::kYUY2, 16, 8, OVIX_FORMAT_YUY2);
  auto* slow = MakePort<SlowPort>();
  ASSERT_EQ(OVIX_Connect(input_, H(slow)), OVIX_OK);
  ASSERT_EQ(Deliver(std::vector<uint8_t>(256, 2)), S_OK);
  ASSERT_TRUE(frames_.WaitFor(1));
  ASSERT_EQ(OVIX_Stop(input_), OVIX_OK);  // joins the dispatch thread: the delivery is over
  EXPECT_EQ(slow->VideoFrames(), 1);
  char target[64];
  std::snprintf(target, sizeof target, "target=%p type=10 elapsed=", static_cast<void*>(slow));
  EXPECT_EQ(CountLogLines("Slow source downstream dispatch device=0"), 1);
  EXPECT_EQ(CountLogLines(target), 1);
  EXPECT_EQ(CountLogLines("Slow video dispatch chain device=0"), 1);
  OVIX_DestroyPort(H(slow));
}

TEST_F(Intake, FramesQueuedWhenTheStopBeginsAreNeverDelivered) {
  StartWith({OnDemandCamera("cam", {virt::Capability(st::kYUY2, 16, 8, 30)})});
  input_ = Input(0, 16, 8, 30, OVIX_FORMAT_YUY2);
  HoldingCallback hold;
  hold.holdAt = -1;
  OVIX_SetVideoFrameCallback(input_, HoldingCallback::Callback, &hold);
  ASSERT_EQ(OVIX_Start(input_), OVIX_OK);
  const std::vector<uint8_t> buffer(256, 3);
  ASSERT_EQ(Deliver(buffer), S_OK);
  ASSERT_TRUE(hold.entered.WaitFor(20));
  ASSERT_EQ(Deliver(buffer), S_OK);
  ASSERT_EQ(Deliver(buffer), S_OK);
  std::thread stopper([&] { EXPECT_EQ(OVIX_Stop(input_), OVIX_OK); });
  while (As(input_)->IsRunning()) std::this_thread::yield();  // the stop has begun
  hold.release.Open();
  stopper.join();
  EXPECT_EQ(hold.frames.Count(), 1u);
  EXPECT_EQ(virt::DeliverBuffer("cam", buffer.data(), buffer.size()), E_UNEXPECTED);  // graph gone
}

}  // namespace
}  // namespace ovix::test
