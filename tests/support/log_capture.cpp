#include "support/log_capture.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/log.h"
#include "platform/sys.h"

namespace ovix::test {

std::string ReadLogFile() {
  std::ifstream in(log::FilePath(), std::ios::binary);
  if (!in) return {};
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool LogFileExists() {
  std::ifstream in(log::FilePath(), std::ios::binary);
  return static_cast<bool>(in);
}

void RemoveLogFile() { std::remove(log::FilePath().c_str()); }

std::vector<std::string> LogFileLines() {
  std::vector<std::string> lines;
  const std::string all = ReadLogFile();
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(all.substr(start));
      break;
    }
    lines.push_back(all.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

int CountLogLines(const std::string& text) {
  int n = 0;
  for (const std::string& l : LogFileLines())
    if (l.find(text) != std::string::npos) ++n;
  return n;
}

DebugOutputCapture::DebugOutputCapture() { sys::SetDebugOutputHook(&DebugOutputCapture::Hook, this); }
DebugOutputCapture::~DebugOutputCapture() { sys::SetDebugOutputHook(nullptr, nullptr); }

std::vector<std::string> DebugOutputCapture::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

void DebugOutputCapture::Hook(const char* line, void* user) {
  auto* self = static_cast<DebugOutputCapture*>(user);
  std::lock_guard lock(self->mutex_);
  self->lines_.emplace_back(line);
}

}  // namespace ovix::test
