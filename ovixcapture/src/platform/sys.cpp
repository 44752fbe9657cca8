#include "platform/sys.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <deque>
#include <mutex>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace ovix::sys {

uint32_t CurrentThreadId() {
  thread_local const uint32_t tid = static_cast<uint32_t>(::syscall(SYS_gettid));
  return tid;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

uint64_t TickCountMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int64_t MonotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

LocalTime Now() {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  tm lt{};
  time_t secs = tv.tv_sec;
  ::localtime_r(&secs, &lt);
  return LocalTime{static_cast<unsigned>(lt.tm_year + 1900), static_cast<unsigned>(lt.tm_mon + 1),
                   static_cast<unsigned>(lt.tm_mday),        static_cast<unsigned>(lt.tm_hour),
                   static_cast<unsigned>(lt.tm_min),         static_cast<unsigned>(lt.tm_sec),
                   static_cast<unsigned>(tv.tv_usec / 1000)};
}

std::string ExecutablePath() {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

bool Utf16ToUtf8(std::u16string_view in, std::string& out) {
  out.clear();
  std::string r;
  r.reserve(in.size() * 3);
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= in.size()) return false;
      uint32_t d = in[i + 1];
      if (d < 0xDC00 || d > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    if (c < 0x80) {
      r.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      r.push_back(static_cast<char>(0xC0 | (c >> 6)));
      r.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      r.push_back(static_cast<char>(0xE0 | (c >> 12)));
      r.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      r.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      r.push_back(static_cast<char>(0xF0 | (c >> 18)));
      r.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      r.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      r.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  out = std::move(r);
  return true;
}

namespace {
// Decodes one code point at s[i]; returns its length or 0 when malformed.
size_t DecodeUtf8(std::string_view s, size_t i, uint32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  size_t len;
  uint32_t min;
  if (b0 < 0x80) { cp = b0; return 1; }
  if ((b0 & 0xE0) == 0xC0) { len = 2; cp = b0 & 0x1F; min = 0x80; }
  else if ((b0 & 0xF0) == 0xE0) { len = 3; cp = b0 & 0x0F; min = 0x800; }
  else if ((b0 & 0xF8) == 0xF0) { len = 4; cp = b0 & 0x07; min = 0x10000; }
  else return 0;
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}
}  // namespace

bool Utf8ToUtf16(std::string_view in, std::u16string& out) {
  out.clear();
  std::u16string r;
  r.reserve(in.size());
  for (size_t i = 0; i < in.size();) {
    uint32_t cp = 0;
    size_t len = DecodeUtf8(in, i, cp);
    if (len == 0) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      r.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      r.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      r.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  out = std::move(r);
  return true;
}

bool IsValidUtf8(std::string_view in) {
  for (size_t i = 0; i < in.size();) {
    uint32_t cp = 0;
    size_t len = DecodeUtf8(in, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

size_t Utf16Length(const char16_t* s, size_t max) {
  if (!s) return 0;
  size_t n = 0;
  while (n < max && s[n] != 0) ++n;
  return n;
}

namespace {
struct HookPair {
  DebugOutputHook hook;
  void* user;
};
std::atomic<HookPair*> g_hook{nullptr};
std::mutex g_hookMutex;
// Hooks are installed rarely (by a debugging tool or a test) and an old pair
// may still be read by a logging thread, so every pair lives to the end.
std::deque<HookPair>& HookStore() {
  static std::deque<HookPair> store;
  return store;
}
}  // namespace

void SetDebugOutputHook(DebugOutputHook hook, void* user) {
  HookPair* pair = nullptr;
  if (hook) {
    std::lock_guard lock(g_hookMutex);
    pair = &HookStore().emplace_back(HookPair{hook, user});
  }
  g_hook.store(pair, std::memory_order_release);
}

void DebugOutput(const char* line) {
  HookPair* p = g_hook.load(std::memory_order_acquire);
  if (p && p->hook) p->hook(line, p->user);
}

}  // namespace ovix::sys
