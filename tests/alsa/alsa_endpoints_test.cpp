// The ALSA endpoint listing: which hints become endpoints, their ids, names
// and flows, the default endpoint and lookups by id.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "alsa_test_devices.h"
#include "platform/linux/alsa_endpoints.h"
#include "platform/virtual/control.h"

namespace ovix::platform::alsa {
namespace {

using test::AlsaTestDevices;

struct Listed {
  std::string id;
  std::string name;
  HRESULT nameHr;
  bool operator==(const Listed&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Listed& l) {
  return os << l.id << " \"" << l.name << "\" hr=" << l.nameHr;
}

Listed Describe(AudioEndpoint& e) {
  Listed l;
  EXPECT_EQ(e.GetId(l.id), S_OK);
  l.nameHr = e.ReadFriendlyName(l.name);
  return l;
}

std::vector<Listed> List(AudioFlow flow) {
  std::unique_ptr<AudioEndpointCollection> c;
  EXPECT_EQ(AlsaEndpointProvider().EnumerateEndpoints(flow, c), S_OK);
  std::vector<Listed> out;
  uint32_t n = 0;
  if (!c || c->GetCount(n) != S_OK) return out;
  for (uint32_t i = 0; i < n; ++i) {
    std::unique_ptr<AudioEndpoint> e;
    EXPECT_EQ(c->Item(i, e), S_OK);
    if (e) out.push_back(Describe(*e));
  }
  std::unique_ptr<AudioEndpoint> past;
  EXPECT_EQ(c->Item(n, past), E_INVALIDARG);
  return out;
}

TEST(AlsaPcmFilter, ListsDevicesInTheirOwnRight) {
  const struct {
    const char* name;
    bool listed;
  } cases[] = {
      {"default", true},         {"sysdefault:CARD=PCH", true}, {"front:CARD=PCH,DEV=0", true},
      {"hw:CARD=PCH,DEV=0", true}, {"hdmi:CARD=HDMI,DEV=0", true}, {"pulse", true},
      {"null", false},           {"surround51:CARD=PCH,DEV=0", false}, {"surround40", false},
      {"iec958:CARD=PCH", false}, {"dmix:CARD=PCH,DEV=0", false}, {"dsnoop:CARD=PCH,DEV=0", false},
      {"plughw:CARD=PCH,DEV=0", false}, {"upmix", false},   {"speexrate", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsListedPcm(c.name), c.listed) << c.name;
}

TEST(AlsaPcmFilter, JoinsDescriptionLines) {
  EXPECT_EQ(JoinDescription("HDA Intel PCH, ALC3246 Analog\nDefault Audio Device"),
            "HDA Intel PCH, ALC3246 Analog, Default Audio Device");
  EXPECT_EQ(JoinDescription("One line"), "One line");
  EXPECT_EQ(JoinDescription("a\n\nb\n"), "a, b");
  EXPECT_EQ(JoinDescription(""), "");
}

class AlsaEndpointsTest : public testing::Test {
 protected:
  void SetUp() override { test::RegisterAlsaProvider(); }
};

TEST_F(AlsaEndpointsTest, ListsTheHintedDevicesPerFlowInHintOrder) {
  AlsaTestDevices devices;
  const Listed def{"alsa:default", "Test default", S_OK};
  const Listed duplex{"alsa:ovix_duplex", "Test Duplex, Second line", S_OK};
  const Listed bare{"alsa:ovix_bare", "", S_FALSE};
  EXPECT_EQ(List(AudioFlow::Render),
            (std::vector<Listed>{def, duplex, {"alsa:ovix_out", "Test Speaker", S_OK}, bare}));
  EXPECT_EQ(List(AudioFlow::Capture),
            (std::vector<Listed>{def, duplex, {"alsa:ovix_in", "Test Microphone", S_OK}, bare}));
}

TEST_F(AlsaEndpointsTest, DefaultIsTheDefaultPcmWhenItOpens) {
  AlsaTestDevices devices;
  for (AudioFlow flow : {AudioFlow::Render, AudioFlow::Capture}) {
    std::unique_ptr<AudioEndpoint> e;
    ASSERT_EQ(AlsaEndpointProvider().GetDefaultEndpoint(flow, e), S_OK);
    EXPECT_EQ(Describe(*e), (Listed{"alsa:default", "Test default", S_OK}));

    // Through the enumerator over every provider: the real default comes first.
    std::unique_ptr<AudioDeviceEnumerator> all;
    ASSERT_EQ(AudioDeviceEnumerator::Create(all), S_OK);
    ASSERT_EQ(all->GetDefaultAudioEndpoint(flow, e), S_OK);
    EXPECT_EQ(Describe(*e).id, "alsa:default");
  }
}

TEST_F(AlsaEndpointsTest, NoDefaultWhenTheDefaultPcmDoesNotOpen) {
  AlsaTestDevices devices({}, /*defaultOpens=*/false);
  std::unique_ptr<AudioEndpoint> e;
  EXPECT_EQ(AlsaEndpointProvider().GetDefaultEndpoint(AudioFlow::Render, e), E_NOTFOUND);
  EXPECT_EQ(e, nullptr);
  std::unique_ptr<AudioDeviceEnumerator> all;
  ASSERT_EQ(AudioDeviceEnumerator::Create(all), S_OK);
  ASSERT_EQ(all->GetDefaultAudioEndpoint(AudioFlow::Render, e), S_OK);
  EXPECT_EQ(Describe(*e).id, virt::kNullSpeakerId);  // the virtual speaker stands in
  EXPECT_EQ(AlsaEndpointProvider().GetDevice("alsa:default", e), E_NOTFOUND);
}

TEST_F(AlsaEndpointsTest, FindsListedDevicesById) {
  AlsaTestDevices devices;
  const struct {
    const char* id;
    HRESULT hr;
  } cases[] = {
      {"alsa:ovix_out", S_OK},      {"alsa:ovix_in", S_OK},        {"alsa:ovix_duplex", S_OK},
      {"alsa:default", S_OK},       {"alsa:ovix_unlisted", E_NOTFOUND},  // opens, but is not a listed device
      {"alsa:null", E_NOTFOUND},    {"alsa:ovix_missing", E_NOTFOUND}, {"ovix_out", E_NOTFOUND},
      {"alsa:", E_NOTFOUND},        {virt::kNullSpeakerId, E_NOTFOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    std::unique_ptr<AudioEndpoint> e;
    EXPECT_EQ(AlsaEndpointProvider().GetDevice(c.id, e), c.hr);
    EXPECT_EQ(e != nullptr, c.hr == S_OK);
    if (e) {
      EXPECT_EQ(Describe(*e).id, c.id);
    }
  }
}

}  // namespace
}  // namespace ovix::platform::alsa
