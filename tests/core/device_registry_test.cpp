// The device lists: names, identities and indices as the platform reports
// them, their error results, and finding a device again by identity.
#include <gtest/gtest.h>

#include <cstring>

#include "core/device_registry.h"
#include "ovixcapture.h"
#include "platform/virtual/control.h"
#include "support/log_capture.h"

namespace ovix::test {
namespace {

virt::CameraSpec Cam(std::string id, std::optional<std::string> name) {
  virt::CameraSpec spec;
  spec.id = std::move(id);
  spec.friendlyName = std::move(name);
  return spec;
}

virt::EndpointSpec Endpoint(platform::AudioFlow flow, std::string id, std::optional<std::string> name) {
  virt::EndpointSpec spec;
  spec.flow = flow;
  spec.id = std::move(id);
  spec.friendlyName = std::move(name);
  return spec;
}


using Info = int (*)(int, OvixDeviceInfo*);
using Count = int (*)();

const struct {
  const char* list;
  Count count;
  Info info;
  const char* builtInName;
  const char* builtInId;
} kLists[] = {
    {"video", OVIX_GetVideoDeviceCount, OVIX_GetVideoDeviceInfo, virt::kTestPatternName, virt::kTestPatternId},
    {"audio input", OVIX_GetAudioInputDeviceCount, OVIX_GetAudioInputDeviceInfo, virt::kTestToneName,
     virt::kTestToneId},
    {"audio render", OVIX_GetAudioRenderDeviceCount, OVIX_GetAudioRenderDeviceInfo, virt::kNullSpeakerName,
     virt::kNullSpeakerId},
};

TEST(DeviceLists, BuiltInVirtualDevicesAndTheErrorResults) {
  for (const auto& l : kLists) {
    SCOPED_TRACE(l.list);
    OvixDeviceInfo info{};
    EXPECT_EQ(l.count(), 0);
    EXPECT_EQ(l.info(0, &info), OVIX_ERR_NOT_INITIALIZED);
    ASSERT_EQ(OVIX_Init(), OVIX_OK);
    ASSERT_EQ(l.count(), 1);
    ASSERT_EQ(l.info(0, &info), OVIX_OK);
    EXPECT_EQ(info.index, 0);
    EXPECT_STREQ(info.name, l.builtInName);
    EXPECT_STREQ(info.id, l.builtInId);
    EXPECT_EQ(l.info(1, &info), OVIX_ERR_INVALID_ARG);
    EXPECT_EQ(l.info(-1, &info), OVIX_ERR_INVALID_ARG);
    EXPECT_EQ(l.info(0, nullptr), OVIX_ERR_INVALID_ARG);
    OVIX_Shutdown();
    EXPECT_EQ(l.count(), 0);
    EXPECT_EQ(l.info(0, &info), OVIX_ERR_NOT_INITIALIZED);
  }
}

TEST(DeviceLists, VideoDevicesInEnumerationOrderWithNameRules) {
  virt::ClearDevices();
  const std::string longName(300, 'n');
  const std::string longId(600, 'i');
  // A 3-byte character straddling byte 255 is cut inside the sequence.
  const std::string straddling = std::string(254, 'a') + "\xE2\x82\xAC";
  virt::AddCamera(Cam("cam-0", std::string("Cam Zero")));
  virt::AddCamera(Cam("cam-1", std::string("")));             // empty name
  virt::AddCamera(Cam("cam-2", std::nullopt));                // no name at all
  virt::AddCamera(Cam(longId, longName));                     // both cut
  virt::AddCamera(Cam("cam-4", std::string("bad \xC3\x28 utf8")));  // not convertible: empty
  virt::AddCamera(Cam("cam-5", straddling));
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  ASSERT_EQ(OVIX_GetVideoDeviceCount(), 6);
  const struct {
    std::string name;
    std::string id;
  } expected[] = {{"Cam Zero", "cam-0"},
                  {"Unknown Device", "cam-1"},
                  {"Unknown Device", "cam-2"},
                  {std::string(255, 'n'), std::string(511, 'i')},
                  {"Unknown Device", "cam-4"},
                  {straddling.substr(0, 255), "cam-5"}};
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    OvixDeviceInfo info;
    std::memset(&info, 0x7F, sizeof info);
    ASSERT_EQ(OVIX_GetVideoDeviceInfo(i, &info), OVIX_OK);
    EXPECT_EQ(info.index, i);
    EXPECT_EQ(std::string(info.name), expected[i].name);
    EXPECT_EQ(std::string(info.id), expected[i].id);
    EXPECT_EQ(info.name[255], '\0');
    EXPECT_EQ(info.id[511], '\0');
  }
}

TEST(DeviceLists, AudioEndpointsWithoutNameAndWithAFailedItem) {
  virt::ClearDevices();
  for (int i = 0; i < 3; ++i)
    virt::AddEndpoint(Endpoint(platform::AudioFlow::Capture, "mic-" + std::to_string(i), std::nullopt));
  virt::AddEndpoint(Endpoint(platform::AudioFlow::Render, "spk-0", std::string("Speaker")));
  virt::FailCall("Item", E_FAIL, /*nth=*/2);  // the second endpoint of the first list enumerated
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  ASSERT_EQ(OVIX_GetAudioInputDeviceCount(), 2);
  OvixDeviceInfo info{};
  ASSERT_EQ(OVIX_GetAudioInputDeviceInfo(0, &info), OVIX_OK);
  EXPECT_EQ(info.index, 0);
  EXPECT_STREQ(info.name, "Unknown Audio Device");
  EXPECT_STREQ(info.id, "mic-0");
  ASSERT_EQ(OVIX_GetAudioInputDeviceInfo(1, &info), OVIX_OK);
  EXPECT_EQ(info.index, 2);  // the skipped endpoint leaves a gap
  EXPECT_STREQ(info.id, "mic-2");
  ASSERT_EQ(OVIX_GetAudioRenderDeviceCount(), 1);
  ASSERT_EQ(OVIX_GetAudioRenderDeviceInfo(0, &info), OVIX_OK);
  EXPECT_STREQ(info.name, "Speaker");
}

TEST(DeviceLists, EnumerationFailuresLeaveTheListEmpty) {
  const char* faults[] = {"SystemDeviceEnum", "CreateClassEnumerator"};
  for (const char* fault : faults) {
    SCOPED_TRACE(fault);
    virt::FailCall(fault, E_FAIL);
    ASSERT_EQ(OVIX_Init(), OVIX_OK);
    EXPECT_EQ(OVIX_GetVideoDeviceCount(), 0);
    EXPECT_EQ(OVIX_GetAudioInputDeviceCount(), 1);
    OVIX_Shutdown();
  }
  virt::FailCall("EnumAudioEndpoints", E_FAIL, 1, /*times=*/0);
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  EXPECT_EQ(OVIX_GetVideoDeviceCount(), 1);
  EXPECT_EQ(OVIX_GetAudioInputDeviceCount(), 0);
  EXPECT_EQ(OVIX_GetAudioRenderDeviceCount(), 0);
}

TEST(DeviceLists, UnreadableIdentityStaysEmpty) {
  virt::FailCall("GetDisplayName", E_FAIL);
  virt::FailCall("GetId", E_FAIL);
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  OvixDeviceInfo info{};
  ASSERT_EQ(OVIX_GetVideoDeviceInfo(0, &info), OVIX_OK);
  EXPECT_STREQ(info.id, "");
  EXPECT_STREQ(info.name, virt::kTestPatternName);
  ASSERT_EQ(OVIX_GetAudioInputDeviceInfo(0, &info), OVIX_OK);
  EXPECT_STREQ(info.id, "");
}

TEST(DeviceLists, RefreshPicksUpChangesAndLogs) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  EXPECT_EQ(OVIX_RefreshDeviceList(), OVIX_ERR_NOT_INITIALIZED);
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  virt::AddCamera(Cam("cam-new", std::string("New Cam")));
  virt::AddEndpoint(Endpoint(platform::AudioFlow::Render, "spk-new", std::string("New Speaker")));
  EXPECT_EQ(OVIX_GetVideoDeviceCount(), 1);  // until the next enumeration
  EXPECT_EQ(OVIX_RefreshDeviceList(), OVIX_OK);
  EXPECT_EQ(OVIX_GetVideoDeviceCount(), 2);
  EXPECT_EQ(CountLogLines("] OVIX_RefreshDeviceList"), 1);
  EXPECT_EQ(CountLogLines("Device refresh completed video=2 audioInput=1 audioRender=2"), 1);
  auto& registry = device_registry::Get();
  EXPECT_EQ(registry.CapabilityLists().size(), 2u);
  EXPECT_EQ(registry.ProbedFlags(), (std::vector<bool>{false, false}));
}

TEST(DeviceLists, DeviceIsFoundByIdentityWhileOthersComeAndGo) {
  virt::ClearDevices();
  for (const char* id : {"cam-a", "cam-b", "cam-c"}) virt::AddCamera(Cam(id, std::string(id)));
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  auto& registry = device_registry::Get();
  std::unique_ptr<platform::CaptureMoniker> moniker;
  ASSERT_TRUE(virt::RemoveCamera("cam-a"));
  ASSERT_EQ(registry.FindVideoDevice(1, moniker), OVIX_OK);
  std::string name;
  moniker->GetDisplayName(name);
  EXPECT_EQ(name, "cam-b");
  EXPECT_EQ(registry.FindVideoDevice(0, moniker), OVIX_ERR_INVALID_ARG);  // unplugged
  EXPECT_EQ(moniker, nullptr);
  EXPECT_EQ(registry.FindVideoDevice(3, moniker), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(registry.FindVideoDevice(-1, moniker), OVIX_ERR_INVALID_ARG);
  virt::FailCall("CreateClassEnumerator", E_FAIL);
  EXPECT_EQ(registry.FindVideoDevice(2, moniker), OVIX_ERR_FAILED);
}

}  // namespace
}  // namespace ovix::test
