// Delivery through the port graph, connect and disconnect, and destroying
// ports.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ovixcapture.h"
#include "support/log_capture.h"
#include "support/test_ports.h"

namespace ovix::test {
namespace {

struct CallbackLog {
  Journal* journal;
  std::string name;
};

void JournalCallback(const OvixVideoFrame* frame, void* user) {
  auto* log = static_cast<CallbackLog*>(user);
  log->journal->Add(log->name, frame->frameIndex);
}

class PortGraph : public testing::Test {
 protected:
  void TearDown() override {
    for (OvixPortBase* p : owned_) OVIX_DestroyPort(H(p));
  }
  RecordingPort* Port(int32_t type, const std::string& name, bool second = false) {
    RecordingPort* p = MakeRecordingPort(type, name, &journal_, second);
    owned_.push_back(p);
    return p;
  }
  Journal journal_;
  std::vector<OvixPortBase*> owned_;
};

TEST_F(PortGraph, CallbackFirstThenDownstreamInConnectionOrder) {
  RecordingPort* src = Port(OVIX_PORT_VIDEO_FRAME_SOURCE, "src");
  RecordingPort* b = Port(OVIX_PORT_VIDEO_RENDER, "B");
  RecordingPort* a = Port(OVIX_PORT_RECORDER, "A");
  CallbackLog cb{&journal_, "callback"};
  ASSERT_EQ(OVIX_SetVideoFrameCallback(H(src), JournalCallback, &cb), OVIX_OK);
  ASSERT_EQ(OVIX_Connect(H(src), H(a)), OVIX_OK);
  ASSERT_EQ(OVIX_Connect(H(src), H(b)), OVIX_OK);
  ASSERT_EQ(OVIX_Connect(H(src), H(a)), OVIX_OK);  // twice: still once in the list

  for (int i = 0; i < 3; ++i) {
    TestFrame f(i);
    src->Emit(&f.frame);
  }
  std::vector<Journal::Entry> expected;
  for (int i = 0; i < 3; ++i) {
    expected.push_back({"callback", i});
    expected.push_back({"A", i});
    expected.push_back({"B", i});
  }
  EXPECT_EQ(journal_.Entries(), expected);
}

TEST_F(PortGraph, DisconnectRemovesOnlyThatDestination) {
  RecordingPort* src = Port(OVIX_PORT_VIDEO_MUX, "src");
  RecordingPort* a = Port(OVIX_PORT_VIDEO_RENDER, "A");
  RecordingPort* b = Port(OVIX_PORT_VIDEO_CROP, "B");
  RecordingPort* c = Port(OVIX_PORT_RECORDER, "C");
  for (RecordingPort* d : {a, b, c}) ASSERT_EQ(OVIX_Connect(H(src), H(d)), OVIX_OK);
  EXPECT_EQ(OVIX_Disconnect(H(src), H(b)), OVIX_OK);
  EXPECT_EQ(OVIX_Disconnect(H(src), H(b)), OVIX_OK);  // not connected: still 0
  EXPECT_EQ(src->DownstreamSnapshot(), (std::vector<OvixPortBase*>{a, c}));
  EXPECT_EQ(OVIX_Disconnect(nullptr, H(a)), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_Disconnect(H(src), nullptr), OVIX_ERR_INVALID_ARG);
}

TEST_F(PortGraph, RemovedCallbackNoLongerRuns) {
  RecordingPort* src = Port(OVIX_PORT_VIDEO_FRAME_SOURCE, "src");
  RecordingPort* a = Port(OVIX_PORT_VIDEO_RENDER, "A");
  CallbackLog cb{&journal_, "callback"};
  OVIX_SetVideoFrameCallback(H(src), JournalCallback, &cb);
  OVIX_Connect(H(src), H(a));
  TestFrame f0(0), f1(1);
  src->Emit(&f0.frame);
  ASSERT_EQ(OVIX_SetVideoFrameCallback(H(src), nullptr, nullptr), OVIX_OK);
  src->Emit(&f1.frame);
  EXPECT_EQ(journal_.FramesOf("callback"), (std::vector<int64_t>{0}));
  EXPECT_EQ(journal_.FramesOf("A"), (std::vector<int64_t>{0, 1}));
}

TEST_F(PortGraph, PortThatDisconnectsItselfDuringDeliveryStillGetsThatFrame) {
  RecordingPort* src = Port(OVIX_PORT_VIDEO_FRAME_SOURCE, "src");
  RecordingPort* a = Port(OVIX_PORT_VIDEO_MUX, "A");
  RecordingPort* b = Port(OVIX_PORT_VIDEO_RENDER, "B");
  OVIX_Connect(H(src), H(a));
  OVIX_Connect(H(src), H(b));
  // A takes itself and B off the source while the first frame is delivered.
  a->SetAction([&](const OvixVideoFrame* f) {
    if (f->frameIndex == 0) {
      EXPECT_EQ(OVIX_Disconnect(H(src), H(a)), OVIX_OK);
      EXPECT_EQ(OVIX_Disconnect(H(src), H(b)), OVIX_OK);
    }
  });
  TestFrame f0(0), f1(1);
  src->Emit(&f0.frame);
  src->Emit(&f1.frame);
  EXPECT_EQ(journal_.FramesOf("A"), (std::vector<int64_t>{0}));
  EXPECT_EQ(journal_.FramesOf("B"), (std::vector<int64_t>{0}));
}

TEST_F(PortGraph, AudioGoesToAudioCallbackAndDownstream) {
  RecordingPort* src = Port(OVIX_PORT_AUDIO_INPUT, "src");
  RecordingPort* a = Port(OVIX_PORT_AUDIO_RENDER, "A");
  OVIX_Connect(H(src), H(a));
  int calls = 0;
  OVIX_SetAudioFrameCallback(
      H(src), [](const OvixAudioFrame*, void* u) { ++*static_cast<int*>(u); }, &calls);
  uint8_t pcm[8] = {};
  OvixAudioFrame frame{pcm, 8, 48000, 2, 16, 777};
  src->EmitAudio(&frame);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(journal_.FramesOf("A"), (std::vector<int64_t>{777}));
}

TEST_F(PortGraph, DestroyStopsFirstAndLogsEachStep) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  RecordingPort* p = MakeRecordingPort(OVIX_PORT_RECORDER, "p");
  char addr[32];
  std::snprintf(addr, sizeof addr, "%p", static_cast<void*>(p));
  EXPECT_EQ(OVIX_DestroyPort(H(p)), OVIX_OK);
  const std::string a(addr);
  EXPECT_EQ(CountLogLines("OVIX_DestroyPort begin port=" + a + " type=30"), 1);
  EXPECT_EQ(CountLogLines("OVIX_DestroyPort stopped port=" + a + " type=30 result=0"), 1);
  EXPECT_EQ(CountLogLines("OVIX_DestroyPort complete port=" + a + " type=30"), 1);
  // The port is gone: its handle is refused from now on.
  EXPECT_EQ(OVIX_DestroyPort(H(p)), OVIX_ERR_INVALID_ARG);
  EXPECT_EQ(OVIX_Start(H(p)), OVIX_ERR_INVALID_ARG);
}

TEST_F(PortGraph, PortWhoseStopFailsIsKeptAndDestroyableLater) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  RecordingPort* src = Port(OVIX_PORT_VIDEO_FRAME_SOURCE, "src");
  RecordingPort* p = MakeRecordingPort(OVIX_PORT_VIDEO_RENDER, "p", &journal_);
  OVIX_Connect(H(src), H(p));
  p->SetStopResult(OVIX_ERR_FAILED);
  EXPECT_EQ(OVIX_DestroyPort(H(p)), OVIX_ERR_FAILED);
  EXPECT_EQ(CountLogLines("stopResult=-1"), 1);
  EXPECT_EQ(CountLogLines("OVIX_DestroyPort complete"), 0);
  // Still alive and working.
  TestFrame f(5);
  src->Emit(&f.frame);
  EXPECT_EQ(journal_.FramesOf("p"), (std::vector<int64_t>{5}));
  EXPECT_EQ(OVIX_Stop(H(p)), OVIX_ERR_FAILED);
  p->SetStopResult(OVIX_OK);
  EXPECT_EQ(OVIX_DestroyPort(H(p)), OVIX_OK);
  EXPECT_EQ(p == nullptr, false);
}

TEST_F(PortGraph, DestroyedDestinationIsTakenOffItsSources) {
  RecordingPort* src = Port(OVIX_PORT_VIDEO_FRAME_SOURCE, "src");
  RecordingPort* osd = Port(OVIX_PORT_VIDEO_OSD, "osd", /*second=*/true);
  RecordingPort* render = MakeRecordingPort(OVIX_PORT_VIDEO_RENDER, "render", &journal_);
  OVIX_Connect(H(src), H(render));
  osd->GetSecondOutput()->list.Add(render);
  ASSERT_EQ(OVIX_DestroyPort(H(render)), OVIX_OK);
  EXPECT_TRUE(src->DownstreamSnapshot().empty());
  EXPECT_TRUE(osd->GetSecondOutput()->list.Snapshot().empty());
  TestFrame f(1);
  src->Emit(&f.frame);  // nothing left to reach, and nothing freed is touched
  osd->EmitSecond(&f.frame);
  EXPECT_TRUE(journal_.Entries().empty());
}

class BorrowedPort : public RecordingPort {
 public:
  BorrowedPort() : RecordingPort(OVIX_PORT_FILE_VIDEO_OUTPUT, "borrowed", nullptr) {}
  bool IsBorrowed() const override { return true; }
};

TEST_F(PortGraph, BorrowedPortIsRefusedAndKeepsWorking) {
  ASSERT_EQ(OVIX_EnableLog(1), 0);
  auto* borrowed = MakePort<BorrowedPort>();
  RecordingPort* render = Port(OVIX_PORT_VIDEO_RENDER, "render");
  EXPECT_EQ(OVIX_DestroyPort(H(borrowed)), OVIX_ERR_UNSUPPORTED);
  EXPECT_EQ(CountLogLines("OVIX_DestroyPort rejected borrowed file output"), 1);
  EXPECT_EQ(borrowed->Stops(), 0);
  ASSERT_EQ(OVIX_Connect(H(borrowed), H(render)), OVIX_OK);
  TestFrame f(9);
  borrowed->Emit(&f.frame);
  EXPECT_EQ(journal_.FramesOf("render"), (std::vector<int64_t>{9}));
  // Its owner (the file source) destroys it; here the test does.
  port_registry::Remove(borrowed);
  delete borrowed;
}

TEST_F(PortGraph, OverlayListDisconnectWaitsForTheDeliveryInFlight) {
  RecordingPort* osd = Port(OVIX_PORT_VIDEO_OSD, "osd", /*second=*/true);
  RecordingPort* render = Port(OVIX_PORT_VIDEO_RENDER, "render");
  osd->GetSecondOutput()->list.Add(render);
  OVIX_Connect(H(osd), H(render));

  std::atomic<bool> entered{false}, release{false}, finished{false};
  render->SetAction([&](const OvixVideoFrame*) {
    entered = true;
    while (!release) std::this_thread::yield();
    finished = true;
  });
  std::thread deliverer([&] {
    TestFrame f(1);
    osd->EmitSecond(&f.frame);
  });
  while (!entered) std::this_thread::yield();
  std::atomic<bool> disconnected{false};
  std::thread disconnector([&] {
    EXPECT_EQ(OVIX_Disconnect(H(osd), H(render)), OVIX_OK);
    disconnected = true;
  });
  // The disconnect cannot return while the delivery is held (it gives up only
  // after about 200 ms); once released, the delivery has finished by the time
  // the disconnect returns.
  release = true;
  disconnector.join();
  deliverer.join();
  EXPECT_TRUE(disconnected);
  EXPECT_TRUE(finished);
  EXPECT_TRUE(osd->GetSecondOutput()->list.Snapshot().empty());
  EXPECT_TRUE(osd->DownstreamSnapshot().empty());
}

TEST_F(PortGraph, OverlayListDisconnectGivesUpOnAStuckDelivery) {
  RecordingPort* osd = Port(OVIX_PORT_VIDEO_OSD, "osd", /*second=*/true);
  RecordingPort* render = Port(OVIX_PORT_VIDEO_RENDER, "render");
  osd->GetSecondOutput()->list.Add(render);
  std::atomic<bool> entered{false}, release{false};
  render->SetAction([&](const OvixVideoFrame*) {
    entered = true;
    while (!release) std::this_thread::yield();
  });
  std::thread deliverer([&] {
    TestFrame f(1);
    osd->EmitSecond(&f.frame);
  });
  while (!entered) std::this_thread::yield();
  // The wait is bounded: the disconnect returns although the delivery is
  // still running.
  EXPECT_EQ(OVIX_Disconnect(H(osd), H(render)), OVIX_OK);
  EXPECT_EQ(osd->GetSecondOutput()->inFlight.load(), 1);
  release = true;
  deliverer.join();
  EXPECT_EQ(osd->GetSecondOutput()->inFlight.load(), 0);
}

}  // namespace
}  // namespace ovix::test
