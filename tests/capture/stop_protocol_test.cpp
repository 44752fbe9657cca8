// Stopping an input while its consumers are busy: the waits report what
// they wait for, run calls sent to the stopping thread, and refuse to wait
// for themselves.
#include <atomic>

#include "capture_fixture.h"
#include "platform/sent_calls.h"
#include "support/test_ports.h"

namespace ovix::test {
namespace {

namespace st = platform::subtype;

class StopProtocol : public CaptureTest {
 protected:
  void SetUp() override {
    StartWith({OnDemandCamera("cam", {virt::Capability(st::kYUY2, 32, 16, 30)})});
    input_ = Input(0, 32, 16, 30, OVIX_FORMAT_YUY2);
  }
  HRESULT DeliverOne() {
    const std::vector<uint8_t> b(32 * 16 * 2, 9);
    return virt::DeliverBuffer("cam", b.data(), b.size());
  }
  // Waits (without sleeping blindly) until the log holds n lines with text.
  static bool AwaitLogLines(const std::string& text, int n) {
    for (int i = 0; i < 3000; ++i) {
      if (CountLogLines(text) >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  OvixPortHandle input_ = nullptr;
};

class BlockingPort : public RecordingPort {
 public:
  BlockingPort(Gate* entered, Gate* release)
      : RecordingPort(OVIX_PORT_VIDEO_RENDER, "blocking", nullptr), entered_(entered), release_(release) {}
  int OnVideoFrame(const OvixVideoFrame* f) override {
    entered_->Open();
    release_->Wait();
    return RecordingPort::OnVideoFrame(f);
  }

 private:
  Gate* entered_;
  Gate* release_;
};

TEST_F(StopProtocol, BlockedDownstreamPortIsReportedUntilItReturns) {
  Gate entered, release;
  auto* port = MakePort<BlockingPort>(&entered, &release);
  ASSERT_EQ(OVIX_Connect(input_, H(port)), OVIX_OK);
  ASSERT_EQ(OVIX_Start(input_), OVIX_OK);
  ASSERT_EQ(DeliverOne(), S_OK);
  ASSERT_TRUE(entered.WaitFor(20));
  std::thread stopper([&] { EXPECT_EQ(OVIX_Stop(input_), OVIX_OK); });
  // The port holds on for two report periods, then returns.
  ASSERT_TRUE(AwaitLogLines("StopDirectShow dispatch still running", 2));
  release.Open();
  stopper.join();
  char target[96];
  std::snprintf(target, sizeof target, "stage=1 dispatchTid=");
  EXPECT_EQ(CountLogLines("StopDirectShow dispatch still running"), 2);
  EXPECT_EQ(CountLogLines(target), 2);
  std::snprintf(target, sizeof target, "target=%p targetType=10", static_cast<void*>(port));
  EXPECT_EQ(CountLogLines(target), 2);
  EXPECT_EQ(CountLogLines("StopDirectShow dispatch thread joined device=0"), 1);
  EXPECT_EQ(CountLogLines("Video input stop source complete device=0"), 1);
  EXPECT_EQ(port->VideoFrames(), 1);
  OVIX_DestroyPort(H(port));
}

TEST_F(StopProtocol, BlockedFrameCallbackShowsNoDownstreamTarget) {
  HoldingCallback hold;
  OVIX_SetVideoFrameCallback(input_, HoldingCallback::Callback, &hold);
  ASSERT_EQ(OVIX_Start(input_), OVIX_OK);
  ASSERT_EQ(DeliverOne(), S_OK);
  ASSERT_TRUE(hold.entered.WaitFor(20));
  std::thread stopper([&] { EXPECT_EQ(OVIX_Stop(input_), OVIX_OK); });
  ASSERT_TRUE(AwaitLogLines("StopDirectShow dispatch still running", 1));
  hold.release.Open();
  stopper.join();
  EXPECT_EQ(CountLogLines("stage=0 dispatchTid=0 target=(nil) targetType=0 dispatchMs=0"), 1);
}

TEST_F(StopProtocol, StopFromInsideTheFrameCallbackIsRefused) {
  struct State {
    OvixPortHandle input;
    std::atomic<int> stopResult{1}, destroyResult{1};
    Gate done;
  } state;
  state.input = input_;
  OVIX_SetVideoFrameCallback(
      input_,
      [](const OvixVideoFrame*, void* u) {
        auto* s = static_cast<State*>(u);
        if (s->stopResult != 1) return;
        s->stopResult = OVIX_Stop(s->input);
        s->destroyResult = OVIX_DestroyPort(s->input);
        s->done.Open();
      },
      &state);
  ASSERT_EQ(OVIX_Start(input_), OVIX_OK);
  ASSERT_EQ(DeliverOne(), S_OK);
  ASSERT_TRUE(state.done.WaitFor(20));
  EXPECT_EQ(state.stopResult.load(), OVIX_ERR_FAILED);
  EXPECT_EQ(state.destroyResult.load(), OVIX_ERR_FAILED);
  EXPECT_EQ(CountLogLines("StopDirectShow rejected self-join device=0"), 2);
  EXPECT_EQ(CountLogLines("StopDirectShow dispatch thread wait rejected device=0"), 2);
  EXPECT_EQ(CountLogLines("OVIX_DestroyPort aborted"), 1);
  // From the application's thread the destroy completes, joining the thread.
  EXPECT_EQ(OVIX_DestroyPort(input_), OVIX_OK);
  Forget(input_);
  EXPECT_EQ(CountLogLines("StopDirectShow dispatch thread joined device=0"), 1);
  EXPECT_EQ(CountLogLines("OVIX_DestroyPort complete"), 1);
}

TEST_F(StopProtocol, CallSentToTheStoppingThreadRunsDuringTheWait) {
  struct State {
    uint32_t stoppingThread = sys::CurrentThreadId();
    std::atomic<bool> stopping{false};
    std::atomic<bool> ranOnStopper{false};
    Gate entered;
  } state;
  OVIX_SetVideoFrameCallback(
      input_,
      [](const OvixVideoFrame*, void* u) {
        auto* s = static_cast<State*>(u);
        s->entered.Open();
        while (!s->stopping) std::this_thread::yield();
        // Like a consumer that sends a window message to the UI thread.
        platform::SendCall(s->stoppingThread,
                           [s] { s->ranOnStopper = sys::CurrentThreadId() == s->stoppingThread; });
      },
      &state);
  ASSERT_EQ(OVIX_Start(input_), OVIX_OK);
  ASSERT_EQ(DeliverOne(), S_OK);
  ASSERT_TRUE(state.entered.WaitFor(20));
  state.stopping = true;
  EXPECT_EQ(OVIX_Stop(input_), OVIX_OK);
  EXPECT_TRUE(state.ranOnStopper);
  EXPECT_EQ(CountLogLines("sentMsgWakeups=0"), 0);
  EXPECT_EQ(CountLogLines("StopDirectShow dispatch thread joined device=0"), 1);
}

TEST_F(StopProtocol, StopOfANeverStartedInput) {
  EXPECT_EQ(OVIX_Stop(input_), OVIX_OK);
  EXPECT_EQ(CountLogLines("Video input stop begin device=0 input="), 1);
  EXPECT_EQ(CountLogLines("StopDirectShow complete device=0"), 1);
  EXPECT_EQ(CountLogLines("Video input stop source complete device=0"), 1);
  EXPECT_EQ(CountLogLines("StopDirectShow begin device=0"), 1);
  EXPECT_EQ(CountLogLines("StopDirectShow waiting dispatch thread"), 0);
}

TEST_F(StopProtocol, StoppedSourceIsDisconnectedFromItsConsumers) {
  RecordingPort* render = MakeRecordingPort(OVIX_PORT_VIDEO_RENDER);
  ASSERT_EQ(OVIX_Connect(input_, H(render)), OVIX_OK);
  FrameCollector frames;
  OVIX_SetVideoFrameCallback(input_, FrameCollector::Callback, &frames);
  ASSERT_EQ(OVIX_Start(input_), OVIX_OK);
  ASSERT_EQ(DeliverOne(), S_OK);
  ASSERT_TRUE(frames.WaitFor(1));
  ASSERT_EQ(OVIX_Stop(input_), OVIX_OK);
  ASSERT_EQ(OVIX_Start(input_), OVIX_OK);
  ASSERT_EQ(DeliverOne(), S_OK);
  ASSERT_TRUE(frames.WaitFor(2));
  ASSERT_EQ(OVIX_Stop(input_), OVIX_OK);  // the delivery of frame 2 is over
  EXPECT_EQ(render->VideoFrames(), 1);
  OVIX_DestroyPort(H(render));
}

TEST_F(StopProtocol, SharedClientStoppingItselfOrItsSourceFromItsDeliveryIsRefused) {
  OvixPortHandle client = Input(0, 32, 16, 30, OVIX_FORMAT_YUY2);
  struct State {
    OvixPortHandle client, source;
    std::atomic<int> stopSelf{1}, stopSource{1};
    Gate done;
  } state;
  state.client = client;
  state.source = input_;
  OVIX_SetVideoFrameCallback(
      client,
      [](const OvixVideoFrame*, void* u) {
        auto* s = static_cast<State*>(u);
        if (s->stopSelf != 1) return;
        s->stopSelf = OVIX_Stop(s->client);
        s->stopSource = OVIX_Stop(s->source);
        s->done.Open();
      },
      &state);
  ASSERT_EQ(OVIX_Start(input_), OVIX_OK);
  ASSERT_EQ(OVIX_Start(client), OVIX_OK);
  ASSERT_TRUE(As(client)->IsSharedClient());
  ASSERT_EQ(DeliverOne(), S_OK);
  ASSERT_TRUE(state.done.WaitFor(20));
  EXPECT_EQ(state.stopSelf.load(), OVIX_ERR_FAILED);
  EXPECT_EQ(state.stopSource.load(), OVIX_ERR_FAILED);
  EXPECT_EQ(CountLogLines("Video input stop rejected inside its own delivery"), 2);
  EXPECT_TRUE(As(client)->IsRunning());
  EXPECT_TRUE(As(input_)->IsRunning());
  // From the application's thread both stop normally.
  EXPECT_EQ(OVIX_Stop(client), OVIX_OK);
  EXPECT_EQ(OVIX_Stop(input_), OVIX_OK);
}

}  // namespace
}  // namespace ovix::test
