#include "support/test_ports.h"

namespace ovix::test {

std::vector<int64_t> Journal::FramesOf(const std::string& who) const {
  std::lock_guard lock(mutex_);
  std::vector<int64_t> out;
  for (const Entry& e : entries_)
    if (e.who == who) out.push_back(e.frameIndex);
  return out;
}

int RecordingPort::OnVideoFrame(const OvixVideoFrame* frame) {
  videoFrames_.fetch_add(1);
  lastVideo_.store(frame);
  if (journal_) journal_->Add(name_, frame ? frame->frameIndex : -1);
  if (action_) action_(frame);
  return OVIX_OK;
}

int RecordingPort::OnAudioFrame(const OvixAudioFrame* frame) {
  audioFrames_.fetch_add(1);
  if (journal_) journal_->Add(name_, frame ? frame->timestamp : -1);
  return OVIX_OK;
}

RecordingPort* MakeRecordingPort(int32_t type, std::string name, Journal* journal, bool withSecondOutput) {
  return MakePort<RecordingPort>(type, std::move(name), journal, withSecondOutput);
}

TestFrame::TestFrame(int64_t index, int32_t format, int width, int height) {
  pixels.assign(static_cast<size_t>(width * height * 4), static_cast<uint8_t>(index));
  frame.data[0] = pixels.data();
  frame.stride[0] = width * 4;
  frame.width = width;
  frame.height = height;
  frame.format = format;
  frame.timestamp = index * 333333;
  frame.frameIndex = index;
}

}  // namespace ovix::test
