// Fault points: which uses of an armed call fail, counting uses, disarming;
// and the start-up bookkeeping that stands for the apartment and the media
// framework.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/fault_points.h"
#include "platform/media_runtime.h"
#include "platform/virtual/control.h"

namespace ovix::test {
namespace {

using platform::ArmFault;
using platform::ClearFaults;
using platform::CountUses;
using platform::FaultCheck;
using platform::FaultUses;
using platform::MediaRuntime;

constexpr char kCall[] = "TestCall";
constexpr char kOther[] = "OtherCall";

// "x" for a use that failed with the armed result, "." for one that passed.
std::string Pattern(const char* call, int uses, HRESULT armed) {
  std::string p;
  for (int i = 0; i < uses; ++i) {
    const HRESULT hr = FaultCheck(call);
    p += hr == armed ? 'x' : hr == S_OK ? '.' : '?';
  }
  return p;
}

TEST(FaultPoints, ArmedFaultFailsTheChosenUses) {
  const struct {
    int nth, times;
    const char* pattern;
  } cases[] = {
      {1, 1, "x......."},
      {3, 1, "..x....."},
      {2, 3, ".xxx...."},
      {8, 1, ".......x"},
      {9, 1, "........"},
      {1, 0, "xxxxxxxx"},
      {4, 0, "...xxxxx"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "nth=" << c.nth << " times=" << c.times);
    ArmFault(kCall, c.nth, E_ACCESSDENIED, c.times);
    EXPECT_EQ(Pattern(kCall, 8, E_ACCESSDENIED), c.pattern);
    EXPECT_EQ(FaultUses(kCall), 8);
    EXPECT_EQ(FaultCheck(kOther), S_OK) << "other calls are untouched";
  }
  ClearFaults();
}

TEST(FaultPoints, ArmingAgainRestartsTheCount) {
  ArmFault(kCall, 2, E_FAIL);
  EXPECT_EQ(Pattern(kCall, 1, E_FAIL), ".");
  ArmFault(kCall, 2, E_OUTOFMEMORY);
  EXPECT_EQ(FaultUses(kCall), 0);
  EXPECT_EQ(Pattern(kCall, 3, E_OUTOFMEMORY), ".x.");
  ClearFaults();
}

TEST(FaultPoints, CountedCallIsCountedButNeverFails) {
  EXPECT_EQ(FaultUses(kCall), 0);
  CountUses(kCall);
  EXPECT_EQ(Pattern(kCall, 5, E_FAIL), ".....");
  EXPECT_EQ(FaultUses(kCall), 5);
  EXPECT_EQ(FaultUses(kOther), 0);

  virt::CountCall(kOther);
  FaultCheck(kOther);
  EXPECT_EQ(virt::CallUses(kOther), 1);
  ClearFaults();
}

TEST(FaultPoints, ClearingDisarms) {
  const struct {
    const char* name;
    void (*clear)();
  } cases[] = {
      {"ClearFaults", [] { ClearFaults(); }},
      {"virt::Reset", [] { virt::Reset(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    virt::FailCall(kCall, E_FAIL, 1, 0);
    ASSERT_EQ(FaultCheck(kCall), E_FAIL);
    c.clear();
    EXPECT_EQ(FaultCheck(kCall), S_OK);
    EXPECT_EQ(FaultUses(kCall), 0);
  }
}

// The apartment state is per thread: each case runs on a fresh one.
template <typename F>
void OnFreshThread(F f) {
  std::thread t(f);
  t.join();
}

TEST(MediaRuntime, ApartmentIsEnteredOnceAndLeftBalanced) {
  OnFreshThread([] {
    EXPECT_EQ(MediaRuntime::ApartmentDepth(), 0);
    EXPECT_EQ(MediaRuntime::InitializeApartment(), S_OK);
    EXPECT_EQ(MediaRuntime::InitializeApartment(), S_FALSE);
    EXPECT_EQ(MediaRuntime::ApartmentDepth(), 2);
    MediaRuntime::UninitializeApartment();
    EXPECT_EQ(MediaRuntime::ApartmentDepth(), 1);
    EXPECT_EQ(MediaRuntime::InitializeWorkerApartment(), RPC_E_CHANGED_MODE) << "still single-threaded";
    MediaRuntime::UninitializeApartment();
    EXPECT_EQ(MediaRuntime::ApartmentDepth(), 0);
    MediaRuntime::UninitializeApartment();  // one too many: no effect
    EXPECT_EQ(MediaRuntime::ApartmentDepth(), 0);
    EXPECT_EQ(MediaRuntime::InitializeApartment(), S_OK) << "entered afresh";
    MediaRuntime::UninitializeApartment();
  });
}

TEST(MediaRuntime, WorkerApartmentRefusesTheSingleThreadedOne) {
  OnFreshThread([] {
    EXPECT_EQ(MediaRuntime::InitializeWorkerApartment(), S_OK);
    EXPECT_EQ(MediaRuntime::InitializeApartment(), RPC_E_CHANGED_MODE);
    EXPECT_EQ(MediaRuntime::ApartmentDepth(), 1) << "the refused call adds nothing";
    MediaRuntime::UninitializeApartment();
    EXPECT_EQ(MediaRuntime::ApartmentDepth(), 0);
    EXPECT_EQ(MediaRuntime::InitializeApartment(), S_OK) << "free again once left";
    MediaRuntime::UninitializeApartment();
  });
}

TEST(MediaRuntime, ApartmentIsPerThread) {
  OnFreshThread([] {
    ASSERT_EQ(MediaRuntime::InitializeWorkerApartment(), S_OK);
    OnFreshThread([] {
      EXPECT_EQ(MediaRuntime::ApartmentDepth(), 0);
      EXPECT_EQ(MediaRuntime::InitializeApartment(), S_OK);
      MediaRuntime::UninitializeApartment();
    });
    MediaRuntime::UninitializeApartment();
  });
}

TEST(MediaRuntime, FaultPointsFailStartUpWithoutSideEffects) {
  OnFreshThread([] {
    virt::FailCall("CoInitializeEx", E_OUTOFMEMORY);
    EXPECT_EQ(MediaRuntime::InitializeApartment(), E_OUTOFMEMORY);
    EXPECT_EQ(MediaRuntime::ApartmentDepth(), 0);
    EXPECT_EQ(MediaRuntime::InitializeApartment(), S_OK) << "only the first use fails";
    MediaRuntime::UninitializeApartment();
  });

  const int before = MediaRuntime::StartupCount();
  virt::FailCall("MFStartup", E_FAIL);
  EXPECT_EQ(MediaRuntime::Startup(0x20070, 0), E_FAIL);
  EXPECT_EQ(MediaRuntime::StartupCount(), before);
  EXPECT_EQ(MediaRuntime::Startup(0x20070, 0), S_OK);
  EXPECT_EQ(MediaRuntime::StartupCount(), before + 1);
  EXPECT_EQ(MediaRuntime::Shutdown(), S_OK);
  EXPECT_EQ(MediaRuntime::StartupCount(), before);
  virt::Reset();
}

}  // namespace
}  // namespace ovix::test
