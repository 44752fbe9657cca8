// Loading a .cube file by its UTF-16 path, the steps both LUT loaders share:
// the path check, the UTF-8 form of the path for log lines, reading and
// parsing. The file is parsed while it is read, in pieces, so a huge file
// costs no more memory than the largest table.
#pragma once

#include <string>

#include "ovixcapture.h"
#include "video/cube_parser.h"

namespace ovix {

enum class CubeLoadStatus { kOk, kInvalidPath, kOpenFailed, kParseError };

// The path as UTF-8 for a log line: at most 1023 bytes, cut at a character
// boundary. Units that do not form UTF-16 become '?'.
std::string CubePathForLog(const OvixWChar* path);

// kInvalidPath for a null or empty path (checked before anything else),
// kOpenFailed when the file cannot be opened as a regular file or measured,
// kParseError when its text does not parse under rule.
CubeLoadStatus LoadCubeFile(const OvixWChar* path, CubeDomainRule rule, CubeParseResult& result);

}  // namespace ovix
