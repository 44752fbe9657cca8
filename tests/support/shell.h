// Running an external judge (ffprobe, ffmpeg) from a test.
#pragma once

#include <cstdio>
#include <string>

namespace ovix::test {

// What the shell command writes to its standard output; redirections are
// the caller's ("2>&1" to see complaints too).
inline std::string RunShell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return "popen failed";
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

}  // namespace ovix::test
