// Frames flowing from two threads while other threads connect, disconnect
// and replace callbacks. Run under the thread sanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ovixcapture.h"
#include "support/test_ports.h"

namespace ovix::test {
namespace {

struct Tag {
  std::atomic<int> calls{0};
  std::atomic<int> mismatches{0};
};
Tag g_tagA, g_tagB;

void CallbackA(const OvixVideoFrame*, void* user) {
  g_tagA.calls++;
  if (user != &g_tagA) g_tagA.mismatches++;
}
void CallbackB(const OvixVideoFrame*, void* user) {
  g_tagB.calls++;
  if (user != &g_tagB) g_tagB.mismatches++;
}

TEST(DeliveryConcurrency, GraphChangesWhileTwoThreadsPush) {
  ASSERT_EQ(OVIX_Init(), OVIX_OK);
  constexpr int kFramesPerPusher = 3000;
  OvixPortHandle source = OVIX_CreateVideoFrameSource();
  OvixPortHandle mux = OVIX_CreateVideoMux();
  Journal journal;
  RecordingPort* stable = MakeRecordingPort(OVIX_PORT_RECORDER, "stable", &journal);
  RecordingPort* churn = MakeRecordingPort(OVIX_PORT_VIDEO_RENDER, "churn");
  RecordingPort* churn2 = MakeRecordingPort(OVIX_PORT_VIDEO_CROP, "churn2");
  ASSERT_EQ(OVIX_Connect(source, mux), OVIX_OK);
  ASSERT_EQ(OVIX_Connect(mux, H(stable)), OVIX_OK);

  std::atomic<int> pushersDone{0};
  auto pusher = [&](int64_t base) {
    for (int i = 0; i < kFramesPerPusher; ++i) {
      TestFrame f(base + i);
      EXPECT_EQ(OVIX_PushVideoFrame(source, &f.frame), OVIX_OK);
    }
    pushersDone++;
  };
  std::thread p1(pusher, 0), p2(pusher, 1000000);
  std::thread changer([&] {
    for (int i = 0; pushersDone.load() < 2; ++i) {
      OVIX_Connect(mux, H(churn));
      OVIX_Connect(source, H(churn2));
      OVIX_SetVideoFrameCallback(mux, (i & 1) ? CallbackA : CallbackB, (i & 1) ? &g_tagA : &g_tagB);
      OVIX_Disconnect(mux, H(churn));
      OVIX_Disconnect(source, H(churn2));
      std::this_thread::yield();
    }
  });
  std::thread callbackChanger([&] {
    for (int i = 0; pushersDone.load() < 2; ++i) {
      OVIX_SetVideoFrameCallback(mux, (i & 1) ? CallbackB : CallbackA, (i & 1) ? &g_tagB : &g_tagA);
      OVIX_SetVideoFrameCallback(mux, nullptr, nullptr);
    }
  });
  p1.join();
  p2.join();
  changer.join();
  callbackChanger.join();

  // The consumer that stayed connected saw every frame once, each pusher's in
  // its order; no callback ever ran with the other setting's user pointer.
  std::vector<int64_t> first, second;
  for (int64_t idx : journal.FramesOf("stable")) (idx >= 1000000 ? second : first).push_back(idx);
  ASSERT_EQ(first.size(), static_cast<size_t>(kFramesPerPusher));
  ASSERT_EQ(second.size(), static_cast<size_t>(kFramesPerPusher));
  for (int i = 0; i < kFramesPerPusher; ++i) {
    ASSERT_EQ(first[i], i);
    ASSERT_EQ(second[i], 1000000 + i);
  }
  EXPECT_EQ(g_tagA.mismatches.load(), 0);
  EXPECT_EQ(g_tagB.mismatches.load(), 0);
  EXPECT_LE(churn->VideoFrames(), 2 * kFramesPerPusher);
  EXPECT_LE(churn2->VideoFrames(), 2 * kFramesPerPusher);

  for (OvixPortHandle h : {source, mux, H(stable), H(churn), H(churn2)}) EXPECT_EQ(OVIX_DestroyPort(h), OVIX_OK);
}

}  // namespace
}  // namespace ovix::test
