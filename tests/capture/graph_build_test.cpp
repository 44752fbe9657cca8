// Building the capture graph on devices that behave differently: the order
// of the connection strategies, virtual cameras, device faults, compressed
// formats and failures of the graph objects.
#include "capture_fixture.h"

namespace ovix::test {
namespace {

namespace st = platform::subtype;

class GraphBuild : public CaptureTest {
 protected:
  // Index in the log of the first line containing text, or -1.
  static int LineOf(const std::string& text) {
    const auto lines = LogFileLines();
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
    return -1;
  }
};

TEST_F(GraphBuild, NegotiatedFormatIsConnectedExplicitly) {
  StartWith({OnDemandCamera("cam", {virt::Capability(st::kMJPG, 1280, 720, 30), virt::Capability(st::kYUY2, 1280, 720, 10),
                                    virt::Capability(st::kMJPG, 1920, 1080, 30), virt::Capability(st::kYUY2, 640, 480, 30)})});
  OvixPortHandle in = Input(0, 640, 480, 30, OVIX_FORMAT_YUY2);
  ASSERT_EQ(OVIX_Start(in), OVIX_OK);
  EXPECT_EQ(CountLogLines("Capture format negotiation device=0 requested=640x480 fps=30 preferredFmt=1"), 1);
  EXPECT_EQ(CountLogLines("Caps[3] 640x480 fps=30 subtypeFmt=1 usable=1 score=1001513000030 better=1"), 1);
  EXPECT_EQ(CountLogLines("Preferred capture format set hr=0x00000000 requested=640x480 fps=30 selected=640x480 "
                          "fps=30 fmt=1 policy=request-max,H264,MJPG,YUY2,NV12,RGB"),
            1);
  EXPECT_EQ(CountLogLines("SampleGrabber requested subtype fmt=1 wildcardH264=0 hr=0x00000000"), 1);
  EXPECT_EQ(CountLogLines("DirectShow connect: capture -> sample grabber using selected AM_MEDIA_TYPE"), 1);
  EXPECT_EQ(CountLogLines("Connected media type 640x480 bottomUp=0 fmt=1"), 1);
  EXPECT_EQ(CountLogLines("DirectShow capture graph started"), 1);
  EXPECT_EQ(CountLogLines("safe pin-media"), 0);
  auto type = virt::ConnectedType("cam");
  ASSERT_TRUE(type.has_value());
  EXPECT_EQ(type->avgTimePerFrame, 333333);
}

TEST_F(GraphBuild, MjpgOnlyDeviceIsDecodedToRgb32) {
  StartWith({OnDemandCamera("cam", {virt::Capability(st::kMJPG, 64, 48, 30)})});
  OvixPortHandle in = Input(0, 64, 48, 30, OVIX_FORMAT_MJPG);
  FrameCollector frames;
  OVIX_SetVideoFrameCallback(in, FrameCollector::Callback, &frames);
  ASSERT_EQ(OVIX_Start(in), OVIX_OK);
  EXPECT_EQ(CountLogLines("SampleGrabber requested subtype fmt=4 wildcardH264=0"), 1);
  EXPECT_EQ(CountLogLines("DirectShow connect: MJPG capture -> sample grabber using intelligent connect"), 1);
  EXPECT_EQ(CountLogLines("Connected media type 64x48 bottomUp=1 fmt=4"), 1);
  ASSERT_EQ(virt::DeliverFrames("cam", 2), S_OK);
  ASSERT_TRUE(frames.WaitFor(2));
  const SeenFrame f = frames.Frames().at(1);
  EXPECT_EQ(f.frame.format, OVIX_FORMAT_RGB32);
  EXPECT_EQ(f.frame.width, 64);
  EXPECT_EQ(f.frame.height, 48);
  EXPECT_EQ(f.frame.stride[0], 256);
}

TEST_F(GraphBuild, DeviceRefusingTypedConnectsEndsInIntelligentConnect) {
  auto spec = OnDemandCamera("cam", {virt::Capability(st::kYUY2, 640, 480, 30)});
  spec.refuseTypedConnect = true;
  StartWith({spec});
  OvixPortHandle in = Input(0, 640, 480, 30, OVIX_FORMAT_YUY2);
  ASSERT_EQ(OVIX_Start(in), OVIX_OK);
  const int explicitLine = LineOf("DirectShow connect: capture -> sample grabber using selected AM_MEDIA_TYPE");
  const int safeLine = LineOf("DirectShow safe pin-media attempt=1 subtype=0x32595559 size=640x480");
  const int safeFailed = LineOf("DirectShow safe pin-media connection failed hr=0x80040207");
  const int fallback = LineOf("DirectShow connect fallback: capture -> sample grabber using intelligent connect");
  const int rendererLine = LineOf("DirectShow connect fallback: sample grabber -> null renderer using NULL media type");
  EXPECT_GE(explicitLine, 0);
  EXPECT_GT(safeLine, explicitLine);
  EXPECT_GT(safeFailed, safeLine);
  EXPECT_GT(fallback, safeFailed);
  EXPECT_GT(rendererLine, fallback);
  EXPECT_EQ(CountLogLines("Connected media type 640x480 bottomUp=0 fmt=1"), 1);
}

TEST_F(GraphBuild, VirtualCameraNamesDisableIntelligentConnect) {
  const struct {
    const char* name;
    bool virtualCamera;
  } names[] = {{"OBS Virtual Camera", true},     {"obs virtual CAMERA", true}, {"My OBS Virtual Camera 2", true},
               {"Virtual Camera by OBS", true},  {"OBS Camera", false},        {"obs Virtual Camera Plus", false}};
  for (const auto& n : names) {
    SCOPED_TRACE(n.name);
    StartWith({OnDemandCamera("cam", {virt::Capability(st::kMJPG, 64, 48, 30)}, n.name)});
    OvixPortHandle in = Input(0, 64, 48, 30, OVIX_FORMAT_MJPG);
    const int result = OVIX_Start(in);
    EXPECT_EQ(CountLogLines("OBS Virtual Camera detected; unsafe intelligent connect fallback disabled"),
              n.virtualCamera ? 1 : 0);
    if (n.virtualCamera) {
      // MJPG needs a decoder, which only intelligent connect inserts.
      EXPECT_EQ(result, OVIX_ERR_FAILED);
      EXPECT_EQ(CountLogLines("DirectShow MJPG intelligent connect skipped for OBS Virtual Camera"), 1);
      EXPECT_EQ(CountLogLines("DirectShow intelligent connect skipped for OBS Virtual Camera hr=0x80040207"), 1);
      EXPECT_EQ(CountLogLines("Manual video graph connect failed hr=0x80040207"), 1);
      EXPECT_EQ(CountLogLines("using intelligent connect"), 0);
      EXPECT_FALSE(virt::IsStreaming("cam"));
    } else {
      EXPECT_EQ(result, OVIX_OK);
    }
    for (OvixPortHandle h : owned_) OVIX_DestroyPort(h);
    owned_.clear();
    OVIX_Shutdown();
  }
}

TEST_F(GraphBuild, VirtualCameraWithRawFormatUsesExplicitConnect) {
  StartWith({OnDemandCamera("cam", {virt::Capability(st::kYUY2, 640, 480, 30)}, "OBS Virtual Camera")});
  OvixPortHandle in = Input(0, 640, 480, 30, OVIX_FORMAT_YUY2);
  EXPECT_EQ(OVIX_Start(in), OVIX_OK);
  EXPECT_EQ(CountLogLines("Connected media type 640x480 bottomUp=0 fmt=1"), 1);
}

TEST_F(GraphBuild, FaultInsideAConnectIsTrappedAndTheNextStrategyRuns) {
  StartWith({OnDemandCamera("cam", {virt::Capability(st::kYUY2, 320, 240, 30)})});
  virt::RaiseFaultInConnect("cam", 0xC0000005u);
  OvixPortHandle in = Input(0, 320, 240, 30, OVIX_FORMAT_YUY2);
  ASSERT_EQ(OVIX_Start(in), OVIX_OK);
  EXPECT_EQ(CountLogLines("DirectShow explicit connect trapped device exception=0xC0000005"), 1);
  EXPECT_EQ(CountLogLines("DirectShow safe pin-media connection succeeded"), 1);
  EXPECT_EQ(CountLogLines("Connected media type 320x240 bottomUp=0 fmt=1"), 1);
}

TEST_F(GraphBuild, H264DeviceIsReadBackAsH264) {
  auto cap = virt::Capability(st::kH264, 640, 480, 30);
  cap.type.formatType = platform::FormatKind::Mpeg2Video;
  cap.type.cbFormat = 160;
  StartWith({OnDemandCamera("cam", {cap})});
  OvixPortHandle in = Input(0, 640, 480, 30, OVIX_FORMAT_H264);
  FrameCollector frames;
  OVIX_SetVideoFrameCallback(in, FrameCollector::Callback, &frames);
  ASSERT_EQ(OVIX_Start(in), OVIX_OK);
  EXPECT_EQ(CountLogLines("SampleGrabber requested subtype fmt=0 wildcardH264=1"), 1);
  EXPECT_EQ(CountLogLines("Connected media type 640x480 bottomUp=0 fmt=6"), 1);
  const std::vector<uint8_t> nal = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x21};
  ASSERT_EQ(virt::DeliverBuffer("cam", nal.data(), nal.size()), S_OK);
  ASSERT_TRUE(frames.WaitFor(1));
  const SeenFrame f = frames.Frames().at(0);
  EXPECT_EQ(f.frame.format, OVIX_FORMAT_H264);
  EXPECT_EQ(f.frame.stride[0], 9);
  EXPECT_EQ(f.bytes, nal);
}

TEST_F(GraphBuild, FailuresOfTheGraphObjectsTearTheGraphDown) {
  const struct {
    const char* call;
    const char* line;
  } cases[] = {
      {"CreateFilterGraph", "Create FilterGraph failed hr=0x80004005"},
      {"CreateCaptureGraphBuilder", "Create CaptureGraphBuilder2 failed hr=0x80004005"},
      {"BindToFilter", "Bind video capture filter failed hr=0x80004005"},
      {"CreateSampleGrabber", "Create SampleGrabber failed hr=0x80004005"},
      {"QuerySampleGrabber", "Query ISampleGrabber failed hr=0x80004005"},
      {"CreateNullRenderer", "Create NullRenderer failed hr=0x80004005"},
      {"SetCallback", "Set SampleGrabber callback failed hr=0x80004005"},
      {"QueryMediaControl", "Query IMediaControl failed hr=0x80004005"},
      {"Run", "DirectShow graph Run failed hr=0x80004005"},
      {"CreateDispatchThread", "Create video dispatch thread failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    StartWith({OnDemandCamera("cam", {virt::Capability(st::kYUY2, 320, 240, 30)})});
    OvixPortHandle in = Input(0, 320, 240, 30, OVIX_FORMAT_YUY2);
    virt::FailCall(c.call, E_FAIL);
    EXPECT_EQ(OVIX_Start(in), OVIX_ERR_FAILED);
    EXPECT_EQ(CountLogLines(c.line), 1);
    EXPECT_FALSE(As(in)->IsRunning());
    EXPECT_FALSE(virt::IsStreaming("cam"));
    EXPECT_EQ(CountLogLines("Independent open failed for device index=0, try shared mux path"), 1);
    // The same input starts once the platform behaves.
    EXPECT_EQ(OVIX_Start(in), OVIX_OK);
    for (OvixPortHandle h : owned_) OVIX_DestroyPort(h);
    owned_.clear();
    OVIX_Shutdown();
    virt::Reset();
  }
}

TEST_F(GraphBuild, InvalidDeviceIndexAfterARefresh) {
  StartWith({OnDemandCamera("cam", {virt::Capability(st::kYUY2, 320, 240, 30)})});
  OvixPortHandle in = Input(1, 320, 240, 30, OVIX_FORMAT_YUY2);
  EXPECT_EQ(OVIX_Start(in), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(CountLogLines("Invalid video device index=1 deviceCount=1"), 1);
  // A device plugged in meanwhile is found by the refresh.
  virt::AddCamera(OnDemandCamera("cam2", {virt::Capability(st::kYUY2, 320, 240, 30)}));
  EXPECT_EQ(OVIX_Start(in), OVIX_OK);
}

}  // namespace
}  // namespace ovix::test
