#include "core/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/sys.h"

namespace ovix::log {
namespace {

constexpr size_t kMessageSize = 2048;  // at most 2047 characters of message
constexpr size_t kLineSize = 2400;     // at most 2399 characters of line
// The folder part of the path comes from the system's path limit; longer
// paths (or none) fall back to the bare name in the current directory.
constexpr size_t kPathSize = 4096;
constexpr char kFileName[] = "ovixcapture.log";

std::atomic<int> g_enabled{0};
std::mutex g_lock;          // guards g_file: its opening, writing and closing
FILE* g_file = nullptr;

const char* BaseName(const char* path) {
  if (!path) return "";
  const char* slash = std::strrchr(path, '/');
  const char* back = std::strrchr(path, '\\');
  const char* last = slash > back ? slash : back;
  return last ? last + 1 : path;
}

void WriteAndFlush(const char* text) {
  std::fputs(text, g_file);
  std::fflush(g_file);
}

// Called with g_lock held.
bool Open(bool recreate) {
  if (g_file) return true;
  const std::string path = FilePath();
  g_file = std::fopen(path.c_str(), recreate ? "wb" : "ab");
  if (!g_file) return false;
  const sys::LocalTime t = sys::Now();
  char header[256];
  std::snprintf(header, sizeof header, "==== ovixcapture log started %04u-%02u-%02u %02u:%02u:%02u pid=%lu ====\r\n",
                t.year, t.month, t.day, t.hour, t.minute, t.second,
                static_cast<unsigned long>(sys::CurrentProcessId()));
  WriteAndFlush(header);
  return true;
}

// Called with g_lock held.
void CloseLocked() {
  if (!g_file) return;
  std::fclose(g_file);
  g_file = nullptr;
}

}  // namespace

std::string FilePath() {
  std::string exe = sys::ExecutablePath();
  if (exe.empty() || exe.size() >= kPathSize) return kFileName;
  const size_t cut = exe.find_last_of("/\\");
  if (cut != std::string::npos) exe.resize(cut + 1);
  if (exe.size() >= kPathSize - 1) return exe;
  exe += kFileName;
  if (exe.size() > kPathSize - 1) exe.resize(kPathSize - 1);
  return exe;
}

bool IsEnabled() { return g_enabled.load(std::memory_order_acquire) != 0; }

void Write(const char* file, int line, const char* format, ...) {
  if (g_enabled.load(std::memory_order_acquire) == 0) return;

  char message[kMessageSize];
  int n = -1;
  if (format) {
    va_list args;
    va_start(args, format);
    n = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
  }
  if (n < 0 || static_cast<size_t>(n) > kMessageSize - 1) {
    std::snprintf(message, sizeof message, "<log format failed: %s>", format ? format : "");
  }

  const sys::LocalTime t = sys::Now();
  char text[kLineSize];
  std::snprintf(text, sizeof text, "[%02u:%02u:%02u.%03u][tid=%lu][%s:%d] %s\r\n", t.hour, t.minute, t.second,
                t.millisecond, static_cast<unsigned long>(sys::CurrentThreadId()), BaseName(file), line, message);

  sys::DebugOutput(text);

  std::lock_guard lock(g_lock);
  // Read again under the lock: a line formatted just before logging was
  // switched off must not land after the closing line.
  if (g_enabled.load(std::memory_order_acquire) == 0) return;
  if (g_file || Open(false)) WriteAndFlush(text);
}

int Enable(int enable) {
  std::lock_guard lock(g_lock);
  if (enable) {
    const bool on = g_enabled.load(std::memory_order_acquire) != 0;
    if (!on && g_file) CloseLocked();  // a file left open before is not reused
    if (on && g_file) return 0;
    const bool opened = Open(true);
    g_enabled.exchange(opened ? 1 : 0, std::memory_order_acq_rel);
    if (g_file) WriteAndFlush("[LOG] runtime logging enabled, file is recreated for this application run.\r\n");
    return g_file ? 0 : -1;
  }
  g_enabled.exchange(0, std::memory_order_acq_rel);
  if (g_file) {
    WriteAndFlush("[LOG] runtime logging disabled.\r\n");
    CloseLocked();
  }
  return 0;
}

void OpenIfEnabled() {
  if (g_enabled.load(std::memory_order_acquire) == 0) return;
  std::lock_guard lock(g_lock);
  if (g_enabled.load(std::memory_order_acquire) != 0 && !g_file) Open(false);
}

void CloseFile() {
  std::lock_guard lock(g_lock);
  if (!g_file) return;
  WriteAndFlush("==== ovixcapture log closed ====\r\n");
  CloseLocked();
}

}  // namespace ovix::log
