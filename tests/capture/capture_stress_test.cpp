// Six inputs over two real-time virtual cameras, started, stopped,
// connected, disconnected and given callbacks at random from three threads.
// Run under the thread sanitizer in CI; afterwards every input is stopped,
// no capture thread is left and (under the address sanitizer) nothing leaks.
#include <dirent.h>

#include <atomic>
#include <random>

#include "capture_fixture.h"
#include "support/test_ports.h"

namespace ovix::test {
namespace {

namespace st = platform::subtype;

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

std::atomic<int> g_frames{0};
void CountFrame(const OvixVideoFrame* f, void*) {
  if (f && f->data[0]) g_frames.fetch_add(1, std::memory_order_relaxed);
}

TEST(CaptureStress, RandomOperationsFromThreeThreads) {
  // A first thread makes the sanitizers start their own helper threads, so
  // the baseline holds them.
  std::thread([] {}).join();
  const int baselineThreads = ThreadCount();
  virt::ClearDevices();
  for (const char* id : {"cam-a", "cam-b"}) {
    virt::CameraSpec spec;
    spec.id = id;
    spec.friendlyName = std::string("Stress ") + id;
    spec.capabilities = {virt::Capability(st::kYUY2, 160, 120, 30), virt::Capability(st::kYUY2, 320, 240, 30),
                         virt::Capability(st::kNV12, 320, 240, 30)};
    spec.realTime = true;
    virt::AddCamera(spec);
  }
  ASSERT_EQ(OVIX_Init(), OVIX_OK);

  constexpr int kInputs = 6;
  OvixPortHandle inputs[kInputs];
  for (int i = 0; i < kInputs; ++i) {
    inputs[i] = OVIX_CreateVideoInput();
    OVIX_SetVideoInputDevice(inputs[i], i % 2);
    const bool big = i % 3 == 0;
    OVIX_SetVideoInputFormat(inputs[i], big ? 320 : 160, big ? 240 : 120, 30,
                             i == 5 ? OVIX_FORMAT_NV12 : OVIX_FORMAT_YUY2);
  }
  OvixPortHandle mux = OVIX_CreateVideoMux();
  RecordingPort* sink = MakeRecordingPort(OVIX_PORT_VIDEO_RENDER);
  ASSERT_EQ(OVIX_Connect(mux, H(sink)), OVIX_OK);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::atomic<int> operations{0};
  auto worker = [&](unsigned seed) {
    std::mt19937 rng(seed);
    while (std::chrono::steady_clock::now() < deadline) {
      OvixPortHandle in = inputs[rng() % kInputs];
      switch (rng() % 6) {
        case 0: OVIX_Start(in); break;
        case 1: OVIX_Stop(in); break;
        case 2: OVIX_Connect(in, mux); break;
        case 3: OVIX_Disconnect(in, mux); break;
        case 4: OVIX_SetVideoFrameCallback(in, (rng() & 1) ? CountFrame : nullptr, nullptr); break;
        case 5: std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 20)); break;  // let frames flow
      }
      operations.fetch_add(1, std::memory_order_relaxed);
    }
  };
  std::thread t1(worker, 1u), t2(worker, 2u), t3(worker, 3u);
  t1.join();
  t2.join();
  t3.join();

  for (OvixPortHandle in : inputs) EXPECT_EQ(OVIX_Stop(in), OVIX_OK);
  for (OvixPortHandle in : inputs) EXPECT_FALSE(static_cast<OvixVideoInput*>(OvixPortBase::FromHandle(in))->IsRunning());
  EXPECT_FALSE(virt::IsStreaming("cam-a"));
  EXPECT_FALSE(virt::IsStreaming("cam-b"));
  EXPECT_GT(operations.load(), 100);
  const int throughMux = sink->VideoFrames();
  for (OvixPortHandle in : inputs) EXPECT_EQ(OVIX_DestroyPort(in), OVIX_OK);
  OVIX_DestroyPort(mux);
  OVIX_DestroyPort(H(sink));
  OVIX_Shutdown();
  EXPECT_EQ(ThreadCount(), baselineThreads);
  std::printf("stress: %d operations, %d frames by callback, %d through the mux\n", operations.load(),
              g_frames.load(), throughMux);
}

}  // namespace
}  // namespace ovix::test
