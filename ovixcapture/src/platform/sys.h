// Small system helpers the library needs from the operating system: thread
// and process ids, clocks, local time, the executable's path, text
// conversion and the debugger-output sink.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ovix::sys {

// Id of the calling thread as the system numbers it (the kernel thread id).
uint32_t CurrentThreadId();
uint32_t CurrentProcessId();

// Milliseconds since an arbitrary origin, monotonic.
uint64_t TickCountMs();
// Nanoseconds since an arbitrary origin, monotonic.
int64_t MonotonicNs();

struct LocalTime {
  unsigned year, month, day, hour, minute, second, millisecond;
};
LocalTime Now();

// Full path of the process's main executable, or an empty text when it cannot
// be read.
std::string ExecutablePath();

// UTF-8 <-> UTF-16. Both return false (and leave out empty) when the input is
// not well formed: a lone surrogate, an overlong or truncated sequence.
bool Utf16ToUtf8(std::u16string_view in, std::string& out);
bool Utf8ToUtf16(std::string_view in, std::u16string& out);
// True when the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view in);

// Length of a NUL-terminated UTF-16 text, stopping after max units.
size_t Utf16Length(const char16_t* s, size_t max = SIZE_MAX);

// Debugger output: every log line is mirrored here. Linux has no system-wide
// debugger channel, so the sink is a hook that a debugging tool or a test
// installs; without one the line goes nowhere.
using DebugOutputHook = void (*)(const char* line, void* user);
void SetDebugOutputHook(DebugOutputHook hook, void* user);
void DebugOutput(const char* line);

}  // namespace ovix::sys
