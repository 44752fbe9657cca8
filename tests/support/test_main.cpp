// Main of every suite linked against the static core: the virtual platform
// is reset before each test, and a test that leaves a port alive, the library
// initialised or logging on fails.
#include <gtest/gtest.h>

#include "core/port_registry.h"
#include "ovixcapture.h"
#include "platform/virtual/control.h"

namespace {

class PlatformReset : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override { ovix::virt::Reset(); }
  void OnTestEnd(const testing::TestInfo& info) override {
    const size_t live = ovix::port_registry::Count();
    if (live != 0) {
      ADD_FAILURE() << info.name() << " left " << live << " port(s) alive";
    }
    OVIX_Shutdown();
    OVIX_EnableLog(0);
    ovix::virt::Reset();
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new PlatformReset);
  return RUN_ALL_TESTS();
}
