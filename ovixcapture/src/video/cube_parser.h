// The .cube text parser shared by the colour engine's and the renderer's LUT
// loaders. It reads line by line and can be fed the text in pieces, so a file
// is parsed while it is read and memory stays bounded by the largest grid
// whatever the file's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ovix {

// Grid points per axis a table may have.
inline constexpr int32_t kCubeMinSize = 2;
inline constexpr int32_t kCubeMaxSize = 128;

// The two loaders accept different domains: the colour engine refuses only a
// channel whose maximum equals its minimum (an inverted domain works there),
// the renderer needs the minimum below the maximum in every channel.
enum class CubeDomainRule { kColorEngine, kRenderer };

struct CubeParseResult {
  int32_t size = 0;
  float domainMin[3] = {0.0f, 0.0f, 0.0f};
  float domainMax[3] = {1.0f, 1.0f, 1.0f};
  // size^3 entries of R, G, B in file order (red fastest), clamped to [0, 1].
  std::vector<float> entries;
};

class CubeParser {
 public:
  // Longest line prefix that takes part in matching; the rest is skipped.
  static constexpr size_t kMaxLineChars = 1023;

  // Feeds the next piece of the text. The text ends at its first NUL byte;
  // anything fed after it is ignored.
  void Feed(const char* data, size_t length);
  // True once nothing fed from now on can change the outcome: the parse has
  // already failed or the text's NUL was seen.
  bool Done() const { return failed_ || ended_; }
  // Ends the text and checks it; false on any parse error.
  bool Finish(CubeDomainRule rule, CubeParseResult& result);

 private:
  void ParseLine(const char* line, size_t length);

  std::string line_;
  bool skipping_ = false;  // inside the unread rest of an overlong line
  bool ended_ = false;
  bool failed_ = false;
  int32_t size_ = 0;  // 0 until a size line was seen
  float domainMin_[3] = {0.0f, 0.0f, 0.0f};
  float domainMax_[3] = {1.0f, 1.0f, 1.0f};
  // Entries are kept up to the largest grid only; beyond that they are
  // counted, which is all the size checks need.
  std::vector<float> entries_;
  uint64_t entryCount_ = 0;
};

// Parses a whole NUL-terminated text. No message of its own: the loader logs.
bool ParseCube(const char* text, CubeDomainRule rule, CubeParseResult& result);

}  // namespace ovix
