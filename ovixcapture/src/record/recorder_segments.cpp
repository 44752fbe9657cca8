// Segments of a recording: when to cut, what the next file is called, and
// closing the open one.
#include <cstdio>

#include "record/aac_encoder.h"
#include "record/mp4_writer.h"
#include "record/recorder.h"
#include "platform/sys.h"

namespace ovix {

bool OvixRecorder::ShouldSplit(int64_t time) const {
  if (!segmentOpen_ || split_ == OVIX_RECORD_SPLIT_NONE) return false;
  const int64_t elapsed = time - segmentStart_;
  if (split_ == OVIX_RECORD_SPLIT_TIME) return seconds_ > 0 && elapsed >= int64_t{seconds_} * 10'000'000;
  if (split_ != OVIX_RECORD_SPLIT_SIZE || maxBytes_ == 0) return false;
  // Audio counts at 16,000 bytes a second, the AAC bit rate's share.
  const int64_t audioBytes = audio_ && elapsed > 0 ? elapsed * 16'000 / 10'000'000 : 0;
  int64_t estimate = 0;
  if (directMode_ && directBytes_ > 0) {
    estimate = directBytes_ + audioBytes;
  } else if (elapsed > 0 && bitrate_ > 0) {
    estimate = elapsed * bitrate_ / 80'000'000 + audioBytes;
  }
  return static_cast<uint64_t>(estimate) >= maxBytes_;
}

std::u16string OvixRecorder::NextSegmentName() const {
  if (split_ == OVIX_RECORD_SPLIT_NONE) return filePath_;
  const size_t dot = filePath_.rfind(u'.');
  const size_t slash = filePath_.find_last_of(u"\\/");
  std::u16string stem = filePath_, extension = u".mp4";
  if (dot != std::u16string::npos && (slash == std::u16string::npos || slash < dot)) {
    stem = filePath_.substr(0, dot);
    extension = filePath_.substr(dot);
  }
  const sys::LocalTime t = sys::Now();
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, "_%04u%02u%02u_%02u%02u%02u_%03u_%04d", t.year, t.month, t.day, t.hour,
                t.minute, t.second, t.millisecond, segmentIndex_ + 1);
  std::u16string wide;
  for (const char* c = suffix; *c; ++c) wide.push_back(static_cast<char16_t>(*c));
  return stem + wide + extension;
}

void OvixRecorder::CloseSegment() {
  if (writer_) FinalizeDirectSegment();
  aac_.reset();
  aacFailed_ = false;
  if (writer_) writer_->Reset();
  writer_.reset();
  segmentOpen_ = false;
  audioStreamReady_ = false;
  segmentPath_.clear();
  directMode_ = false;
  units_.annexB.clear();
}

}  // namespace ovix
