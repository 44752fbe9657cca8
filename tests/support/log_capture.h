// Reading what the log wrote: the log file next to the test executable, and
// the lines mirrored to the debugger output.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace ovix::test {

// The whole log file, or an empty text when there is none.
std::string ReadLogFile();
bool LogFileExists();
void RemoveLogFile();
// The file split into lines ("\r\n" ends each).
std::vector<std::string> LogFileLines();
// Number of lines of the file containing text.
int CountLogLines(const std::string& text);

// Collects every line sent to the debugger output while it lives.
class DebugOutputCapture {
 public:
  DebugOutputCapture();
  ~DebugOutputCapture();
  std::vector<std::string> Lines() const;

 private:
  static void Hook(const char* line, void* user);
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace ovix::test
