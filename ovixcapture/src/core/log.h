// The library's diagnostic log: ovixcapture.log next to the executable,
// every line mirrored to the debugger output. Off until OVIX_EnableLog(1);
// while off, a log call costs one atomic read.
#pragma once

#include <string>

namespace ovix::log {

// Writes one line "[hh:mm:ss.mmm][tid=N][file:line] message". file is the
// issuing source's path or tag; only its last component is printed.
void Write(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

bool IsEnabled();

// OVIX_EnableLog: switch on (recreating the file) or off. 0, or -1 when the
// file cannot be created.
int Enable(int enable);

// Opens the file for appending when logging is on and no file is open.
void OpenIfEnabled();

// Writes the closing line and closes the file if one is open; logging stays
// enabled, so the next line reopens the file for appending.
void CloseFile();

// Where the log file goes: the executable's folder, or the bare file name
// (current directory) when the executable's path cannot be had.
std::string FilePath();

}  // namespace ovix::log

#define OVIX_LOG(tag, ...) ::ovix::log::Write(tag, __LINE__, __VA_ARGS__)
