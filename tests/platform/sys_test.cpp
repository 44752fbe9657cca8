// System helpers: text conversion, thread and process ids, the executable's
// path, clocks, local time and the debugger-output hook.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/sys.h"

namespace ovix::test {
namespace {

uint32_t KernelTid() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

TEST(Utf, WellFormedTextRoundTrips) {
  const struct {
    const char* name;
    std::u16string utf16;
    std::string utf8;
  } cases[] = {
      {"empty", u"", ""},
      {"ASCII", u"Camera 1", "Camera 1"},
      {"U+007F", u"\u007F", "\x7F"},
      {"two bytes, lowest", u"\u0080", "\xC2\x80"},
      {"two bytes", u"caf\u00E9", "caf\xC3\xA9"},
      {"two bytes, highest", u"\u07FF", "\xDF\xBF"},
      {"three bytes, lowest", u"\u0800", "\xE0\xA0\x80"},
      {"three bytes", u"\u20AC \u6444\u50CF", "\xE2\x82\xAC \xE6\x91\x84\xE5\x83\x8F"},
      {"below the surrogates", u"\uD7FF", "\xED\x9F\xBF"},
      {"above the surrogates", u"\uE000", "\xEE\x80\x80"},
      {"three bytes, highest", u"\uFFFF", "\xEF\xBF\xBF"},
      {"surrogate pair, lowest", u"\U00010000", "\xF0\x90\x80\x80"},
      {"surrogate pair", u"\U0001F3A5", "\xF0\x9F\x8E\xA5"},
      {"surrogate pair, highest", u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
      {"mixed", u"a\u00E9\u20AC\U0001F3A5z", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xA5z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string utf8 = "stale";
    ASSERT_TRUE(sys::Utf16ToUtf8(c.utf16, utf8));
    EXPECT_EQ(utf8, c.utf8);
    std::u16string utf16 = u"stale";
    ASSERT_TRUE(sys::Utf8ToUtf16(c.utf8, utf16));
    EXPECT_EQ(utf16, c.utf16);
    EXPECT_TRUE(sys::IsValidUtf8(c.utf8));
  }
}

TEST(Utf, MalformedUtf16IsRejected) {
  const struct {
    const char* name;
    std::u16string text;
  } cases[] = {
      {"lone high surrogate at the end", u"ab\xD83C"},
      {"high surrogate before a letter", u"\xD83Cx"},
      {"two high surrogates", u"\xD83C\xD83C"},
      {"lone low surrogate", u"a\xDFA5"},
      {"pair in reverse order", u"\xDFA5\xD83C"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "stale";
    EXPECT_FALSE(sys::Utf16ToUtf8(c.text, out));
    EXPECT_TRUE(out.empty());
  }
}

TEST(Utf, MalformedUtf8IsRejected) {
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"overlong NUL", "\xC0\x80"},
      {"overlong two bytes", "\xC1\xBF"},
      {"overlong three bytes", "\xE0\x9F\xBF"},
      {"overlong four bytes", "\xF0\x8F\xBF\xBF"},
      {"truncated two bytes", "a\xC3"},
      {"truncated three bytes", "\xE2\x82"},
      {"truncated four bytes", "\xF0\x9F\x8E"},
      {"continuation missing mid-text", "\xE2\x82z"},
      {"stray continuation byte", "a\x80"},
      {"above U+10FFFF", "\xF4\x90\x80\x80"},
      {"lead byte F5", "\xF5\x80\x80\x80"},
      {"five-byte form", "\xF8\x88\x80\x80\x80"},
      {"byte FF", "\xFF"},
      {"encoded high surrogate", "\xED\xA0\x80"},
      {"encoded low surrogate", "\xED\xBF\xBF"},
      {"encoded surrogate pair", "\xED\xA0\xBC\xED\xBE\xA5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string out = u"stale";
    EXPECT_FALSE(sys::Utf8ToUtf16(c.text, out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(sys::IsValidUtf8(c.text));
  }
}

TEST(Utf, Utf16LengthStopsAtNulOrMax) {
  EXPECT_EQ(sys::Utf16Length(nullptr), 0u);
  EXPECT_EQ(sys::Utf16Length(u""), 0u);
  EXPECT_EQ(sys::Utf16Length(u"abc"), 3u);
  EXPECT_EQ(sys::Utf16Length(u"abc", 2), 2u);
}

TEST(Sys, ThreadIdIsTheKernelIdOfEachThread) {
  const uint32_t mine = sys::CurrentThreadId();
  EXPECT_EQ(mine, KernelTid());
  EXPECT_EQ(sys::CurrentThreadId(), mine) << "stable";
  EXPECT_EQ(sys::CurrentProcessId(), static_cast<uint32_t>(::getpid()));

  uint32_t reported[2] = {0, 0}, kernel[2] = {0, 0};
  std::thread a([&] { reported[0] = sys::CurrentThreadId(); kernel[0] = KernelTid(); });
  std::thread b([&] { reported[1] = sys::CurrentThreadId(); kernel[1] = KernelTid(); });
  a.join();
  b.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(reported[i], kernel[i]);
    EXPECT_NE(reported[i], mine);
  }
  EXPECT_NE(reported[0], reported[1]);
}

TEST(Sys, ExecutablePathNamesThisTestProgram) {
  const std::filesystem::path exe = sys::ExecutablePath();
  EXPECT_TRUE(exe.is_absolute()) << exe;
  EXPECT_EQ(exe.filename(), "platform_test");
  EXPECT_TRUE(std::filesystem::is_regular_file(exe));
}

TEST(Sys, LocalTimeFieldsAreInRange) {
  const sys::LocalTime t = sys::Now();
  EXPECT_GE(t.year, 2020u);
  EXPECT_GE(t.month, 1u);
  EXPECT_LE(t.month, 12u);
  EXPECT_GE(t.day, 1u);
  EXPECT_LE(t.day, 31u);
  EXPECT_LE(t.hour, 23u);
  EXPECT_LE(t.minute, 59u);
  EXPECT_LE(t.second, 60u);
  EXPECT_LE(t.millisecond, 999u);
}

TEST(Sys, MonotonicClocksNeverGoBackwards) {
  int64_t lastNs = sys::MonotonicNs();
  uint64_t lastMs = sys::TickCountMs();
  for (int i = 0; i < 10000; ++i) {
    const int64_t ns = sys::MonotonicNs();
    const uint64_t ms = sys::TickCountMs();
    ASSERT_GE(ns, lastNs);
    ASSERT_GE(ms, lastMs);
    lastNs = ns;
    lastMs = ms;
  }
}

TEST(Sys, DebugOutputGoesToTheInstalledHook) {
  std::vector<std::string> seen;
  sys::DebugOutput("before any hook");
  sys::SetDebugOutputHook([](const char* line, void* user) { static_cast<std::vector<std::string>*>(user)->push_back(line); },
                          &seen);
  sys::DebugOutput("one");
  sys::DebugOutput("two");
  sys::SetDebugOutputHook(nullptr, nullptr);
  sys::DebugOutput("after removal");
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "two"}));
}

}  // namespace
}  // namespace ovix::test
