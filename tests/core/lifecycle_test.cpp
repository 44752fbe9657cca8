// Start-up and shut-down of the library: the creators' rule, repeated and
// failed start-ups, versions and the default pipeline mode.
#include <gtest/gtest.h>

#include "ovixcapture.h"
#include "platform/media_runtime.h"
#include "platform/virtual/control.h"
#include "support/log_capture.h"
#include "support/test_ports.h"

namespace ovix::test {
namespace {

using platform::MediaRuntime;

using Creator = OvixPortHandle (*)();
const struct {
  const char* name;
  Creator create;
  int32_t type;
} kCreators[] = {
    {"OVIX_CreateVideoFrameSource", OVIX_CreateVideoFrameSource, OVIX_PORT_VIDEO_FRAME_SOURCE},
    {"OVIX_CreateVideoMux", OVIX_CreateVideoMux, OVIX_PORT_VIDEO_MUX},
    {"OVIX_CreateAudioMux", OVIX_CreateAudioMux, OVIX_PORT_AUDIO_MUX},
};

TEST(Lifecycle, CreatorsReturnNullUnlessInitialised) {
  for (const auto& c : kCreators) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.create(), nullptr) << "before OVIX_Init";
    ASSERT_EQ(OVIX_Init(), OVIX_OK);
    OvixPortHandle port = c.create();
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(OvixPortBase::FromHandle(port)->Type(), c.type);
    EXPECT_EQ(OVIX_DestroyPort(port), OVIX_OK);
    OVIX_Shutdown();
    EXPECT_EQ(c.create(), nullptr) << "after OVIX_Shutdown";
  }
}

TEST(Lifecycle, PortsMadeBeforeShutdownStillWorkAfterIt) {
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  OvixPortHandle source = OVIX_CreateVideoFrameSource();
  OvixPortHandle mux = OVIX_CreateVideoMux();
  ASSERT_NE(source, nullptr);
  ASSERT_NE(mux, nullptr);
  OVIX_Shutdown();

  int frames = 0;
  EXPECT_EQ(OVIX_Connect(source, mux), OVIX_OK);
  EXPECT_EQ(OVIX_SetVideoFrameCallback(
                mux, [](const OvixVideoFrame*, void* u) { ++*static_cast<int*>(u); }, &frames),
            OVIX_OK);
  EXPECT_EQ(OVIX_Start(source), OVIX_OK);
  TestFrame f(3);
  EXPECT_EQ(OVIX_PushVideoFrame(source, &f.frame), OVIX_OK);
  EXPECT_EQ(frames, 1);
  EXPECT_EQ(OVIX_Stop(source), OVIX_OK);
  EXPECT_EQ(OVIX_Disconnect(source, mux), OVIX_OK);
  EXPECT_EQ(OVIX_DestroyPort(source), OVIX_OK);
  EXPECT_EQ(OVIX_DestroyPort(mux), OVIX_OK);
}

TEST(Lifecycle, InitTwiceRepeatsEveryStepAndShutdownBalancesTheLast) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  EXPECT_EQ(CountLogLines("OVIX_Init version=6.2.3 defaultPipelineMode=0"), 2);
  EXPECT_EQ(CountLogLines("Device enum completed video=1 audioInput=1 audioRender=1"), 2);
  EXPECT_EQ(MediaRuntime::ApartmentDepth(), 2);
  EXPECT_EQ(OVIX_GetVideoDeviceCount(), 1);
  EXPECT_EQ(OVIX_Shutdown(), OVIX_OK);
  EXPECT_EQ(MediaRuntime::ApartmentDepth(), 1);  // one apartment entry per successful call
  EXPECT_EQ(OVIX_GetVideoDeviceCount(), 0);
  MediaRuntime::UninitializeApartment();
  MediaRuntime::Shutdown();
}

TEST(Lifecycle, ShutdownWithoutInitIsHarmless) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  const int startups = MediaRuntime::StartupCount();
  EXPECT_EQ(OVIX_Shutdown(), OVIX_OK);
  EXPECT_EQ(OVIX_Shutdown(), OVIX_OK);
  EXPECT_EQ(MediaRuntime::StartupCount(), startups);
  EXPECT_EQ(MediaRuntime::ApartmentDepth(), 0);
  EXPECT_GE(CountLogLines("] OVIX_Shutdown"), 1);
}

TEST(Lifecycle, MediaStartupFailureUndoesTheApartmentAndClosesTheLog) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  virt::FailCall("MFStartup", E_FAIL);
  EXPECT_EQ(OVIX_Init(), OVIX_ERR_FAILED);
  EXPECT_EQ(MediaRuntime::ApartmentDepth(), 0);
  EXPECT_EQ(OVIX_CreateVideoMux(), nullptr);
  EXPECT_EQ(OVIX_GetVideoDeviceInfo(0, nullptr), OVIX_ERR_NOT_INITIALIZED);
  auto lines = LogFileLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(lines[lines.size() - 2].find("MFStartup failed hr=0x80004005"), std::string::npos);
  EXPECT_EQ(lines.back(), "==== ovixcapture log closed ====");
  // Logging stays on: the next start-up appends to the same file.
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  EXPECT_EQ(CountLogLines("MFStartup failed"), 1);
  EXPECT_EQ(CountLogLines("==== ovixcapture log started"), 2);
}

TEST(Lifecycle, ApartmentRefusedFailsWithoutChangingAnything) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  const std::string before = ReadLogFile();
  const int startups = MediaRuntime::StartupCount();
  virt::FailCall("CoInitializeEx", E_OUTOFMEMORY);
  EXPECT_EQ(OVIX_Init(), OVIX_ERR_FAILED);
  EXPECT_EQ(ReadLogFile(), before);  // nothing logged
  EXPECT_EQ(MediaRuntime::StartupCount(), startups);
  EXPECT_EQ(MediaRuntime::ApartmentDepth(), 0);
  EXPECT_EQ(OVIX_GetVideoDeviceCount(), 0);
}

TEST(Lifecycle, ThreadInAnotherApartmentStartsWithoutOwningIt) {
  ASSERT_EQ(MediaRuntime::InitializeWorkerApartment(), S_OK);
  EXPECT_EQ(OVIX_Init(), OVIX_OK);
  EXPECT_EQ(OVIX_GetVideoDeviceCount(), 1);
  OVIX_Shutdown();
  EXPECT_EQ(MediaRuntime::ApartmentDepth(), 1);  // the library did not take the thread's apartment away
  MediaRuntime::UninitializeApartment();
}

TEST(Lifecycle, Versions) {
  EXPECT_STREQ(OVIX_GetVersion(), "6.2.3");
  EXPECT_EQ(OVIX_GetApiVersion(), 60203);
  OvixVersion v{-1, -1, -1};
  OVIX_GetVersionEx(&v);
  EXPECT_EQ(v.major, 6);
  EXPECT_EQ(v.minor, 2);
  EXPECT_EQ(v.patch, 3);
  OVIX_GetVersionEx(nullptr);
}

TEST(Lifecycle, DefaultPipelineMode) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  const struct {
    int mode;
    int result;
    int after;
  } cases[] = {{1, 0, 1}, {2, -2, 1}, {-1, -2, 1}, {0, 0, 0}, {INT32_MIN, -2, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    EXPECT_EQ(OVIX_SetDefaultPipelineMode(c.mode), c.result);
    EXPECT_EQ(OVIX_GetDefaultPipelineMode(), c.after);
  }
  EXPECT_EQ(CountLogLines("Set default SDK pipeline mode=1"), 1);
  EXPECT_EQ(CountLogLines("Set default SDK pipeline mode=0"), 1);
  EXPECT_EQ(CountLogLines("pipeline mode=2"), 0);
  // Survives a start-up and shows in its line.
  OVIX_SetDefaultPipelineMode(1);
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  EXPECT_EQ(CountLogLines("OVIX_Init version=6.2.3 defaultPipelineMode=1"), 1);
  OVIX_Shutdown();
  EXPECT_EQ(OVIX_GetDefaultPipelineMode(), 1);
  OVIX_SetDefaultPipelineMode(0);
}

TEST(Lifecycle, StartAndStopOnPortsWithoutStateOfTheirOwn) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  OvixPortHandle mux = OVIX_CreateVideoMux();
  EXPECT_EQ(OVIX_Start(nullptr), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_Stop(nullptr), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(CountLogLines("OVIX_Start port="), 0);
  EXPECT_EQ(OVIX_Start(mux), OVIX_OK);
  EXPECT_EQ(OVIX_Stop(mux), OVIX_OK);
  char start[96], stop[96];
  std::snprintf(start, sizeof start, "OVIX_Start port=%p type=20 result=0", static_cast<void*>(mux));
  std::snprintf(stop, sizeof stop, "OVIX_Stop port=%p type=20 result=0", static_cast<void*>(mux));
  EXPECT_EQ(CountLogLines(start), 1);
  EXPECT_EQ(CountLogLines(stop), 1);
  OVIX_DestroyPort(mux);
}

}  // namespace
}  // namespace ovix::test
