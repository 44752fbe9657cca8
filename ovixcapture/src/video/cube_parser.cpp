#include "video/cube_parser.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace ovix {

namespace {

constexpr uint64_t kMaxStoredEntries =
    static_cast<uint64_t>(kCubeMaxSize) * kCubeMaxSize * kCubeMaxSize;

// White space as the C library's scanf skips it in the "C" locale.
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

const char* SkipSpace(const char* p, const char* end) {
  while (p < end && IsSpace(*p)) ++p;
  return p;
}

bool StartsWith(const char* p, const char* end, const char* keyword, size_t length) {
  return static_cast<size_t>(end - p) >= length && std::memcmp(p, keyword, length) == 0;
}

// scanf's %d: optional sign and at least one digit after white space. The
// value saturates instead of wrapping, so a huge number can never pass as a
// small one.
bool ScanInt(const char*& p, const char* end, int64_t& value) {
  const char* q = SkipSpace(p, end);
  bool negative = false;
  if (q < end && (*q == '+' || *q == '-')) negative = *q++ == '-';
  if (q == end || *q < '0' || *q > '9') return false;
  int64_t v = 0;
  for (; q < end && *q >= '0' && *q <= '9'; ++q) v = v > INT64_MAX / 16 ? INT64_MAX / 16 : v * 10 + (*q - '0');
  value = negative ? -v : v;
  p = q;
  return true;
}

locale_t CLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c;
}

// The slow route for what std::from_chars does not take the way the C
// library does: a leading '+', hexadecimal, values beyond float's range.
bool ScanFloatSlow(const char*& p, const char* end, float& value) {
  char buffer[CubeParser::kMaxLineChars + 1];
  const size_t n = static_cast<size_t>(end - p);
  if (n >= sizeof buffer) return false;  // cannot happen: lines are at most 1023 characters
  std::memcpy(buffer, p, n);
  buffer[n] = '\0';
  char* stop = nullptr;
  const float v = strtof_l(buffer, &stop, CLocale());
  if (stop == buffer) return false;
  value = v;
  p += stop - buffer;
  return true;
}

// scanf's %f: a float after white space, in the "C" locale whatever the
// process's locale is.
bool ScanFloat(const char*& p, const char* end, float& value) {
  const char* q = SkipSpace(p, end);
  if (q == end) return false;
  const char* digits = q + (*q == '+' || *q == '-');
  const bool hex = end - digits >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
  if (*q == '+' || hex) return ScanFloatSlow(p = q, end, value);
  const std::from_chars_result r = std::from_chars(q, end, value, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) return ScanFloatSlow(p = q, end, value);
  if (r.ec != std::errc()) return false;
  p = r.ptr;
  return true;
}

bool ScanThreeFloats(const char* p, const char* end, float out[3]) {
  return ScanFloat(p, end, out[0]) && ScanFloat(p, end, out[1]) && ScanFloat(p, end, out[2]);
}

bool AllFinite(const float v[3]) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

float Clamp01(float v) { return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f; }

}  // namespace

void CubeParser::Feed(const char* data, size_t length) {
  if (Done() || length == 0) return;
  if (const void* nul = std::memchr(data, '\0', length)) {
    length = static_cast<size_t>(static_cast<const char*>(nul) - data);
    ended_ = true;
  }
  size_t pos = 0;
  while (pos < length && !failed_) {
    const char* start = data + pos;
    const auto* nl = static_cast<const char*>(std::memchr(start, '\n', length - pos));
    const size_t segment = nl ? static_cast<size_t>(nl - start) : length - pos;
    const size_t next = nl ? pos + segment + 1 : length;
    if (skipping_) {
      skipping_ = nl == nullptr;
    } else if (nl && line_.empty() && segment <= kMaxLineChars) {
      ParseLine(start, segment);  // the common case: a whole line inside this piece
    } else {
      const size_t room = kMaxLineChars - line_.size();
      line_.append(start, segment < room ? segment : room);
      if (segment > room) {
        ParseLine(line_.data(), line_.size());
        line_.clear();
        skipping_ = nl == nullptr;
      } else if (nl) {
        ParseLine(line_.data(), line_.size());
        line_.clear();
      }
    }
    pos = next;
  }
}

void CubeParser::ParseLine(const char* line, size_t length) {
  const char* p = line;
  const char* end = line + length;
  if (const void* hash = std::memchr(p, '#', length)) end = static_cast<const char*>(hash);
  while (end > p && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n')) --end;
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  if (p == end) return;

  static constexpr char kSize[] = "LUT_3D_SIZE";
  static constexpr char kMin[] = "DOMAIN_MIN";
  static constexpr char kMax[] = "DOMAIN_MAX";
  int64_t n = 0;
  float v[3];
  if (StartsWith(p, end, kSize, sizeof kSize - 1)) {
    const char* q = p + sizeof kSize - 1;
    if (ScanInt(q, end, n)) {
      if (n < kCubeMinSize || n > kCubeMaxSize)
        failed_ = true;
      else
        size_ = static_cast<int32_t>(n);
      return;
    }
  }
  if (StartsWith(p, end, kMin, sizeof kMin - 1) && ScanThreeFloats(p + sizeof kMin - 1, end, v)) {
    if (!AllFinite(v)) failed_ = true;
    std::memcpy(domainMin_, v, sizeof v);
    return;
  }
  if (StartsWith(p, end, kMax, sizeof kMax - 1) && ScanThreeFloats(p + sizeof kMax - 1, end, v)) {
    if (!AllFinite(v)) failed_ = true;
    std::memcpy(domainMax_, v, sizeof v);
    return;
  }
  if (StartsWith(p, end, "TITLE", 5)) return;
  if (ScanThreeFloats(p, end, v)) {
    // A NaN or infinity has no colour: the file is broken, not clampable.
    if (!AllFinite(v)) {
      failed_ = true;
      return;
    }
    if (entryCount_ < kMaxStoredEntries) {
      // Grow by doubling, but never past the largest grid: no copy of a
      // half-full block twice that size.
      if (entries_.size() == entries_.capacity())
        entries_.reserve(std::min<size_t>(std::max<size_t>(entries_.capacity() * 2, 3 * 64), 3 * kMaxStoredEntries));
      for (float c : v) entries_.push_back(Clamp01(c));
    }
    ++entryCount_;
  }
  // Anything else (other keywords, too few numbers, free text) is ignored.
}

bool CubeParser::Finish(CubeDomainRule rule, CubeParseResult& result) {
  if (!failed_ && !skipping_ && !line_.empty()) ParseLine(line_.data(), line_.size());
  line_.clear();
  if (failed_) return false;
  int64_t n = size_;
  if (n == 0) {
    n = static_cast<int64_t>(std::cbrt(static_cast<double>(entryCount_)) + 0.5);
    // An inferred size beyond the largest grid fails like a size line would.
    if (n < kCubeMinSize || n > kCubeMaxSize || static_cast<uint64_t>(n * n * n) != entryCount_) return false;
  }
  const uint64_t needed = static_cast<uint64_t>(n * n * n);
  if (entryCount_ < needed) return false;
  for (int c = 0; c < 3; ++c) {
    if (rule == CubeDomainRule::kColorEngine && domainMax_[c] == domainMin_[c]) return false;
    if (rule == CubeDomainRule::kRenderer && !(domainMin_[c] < domainMax_[c])) return false;
  }
  result.size = static_cast<int32_t>(n);
  std::memcpy(result.domainMin, domainMin_, sizeof domainMin_);
  std::memcpy(result.domainMax, domainMax_, sizeof domainMax_);
  entries_.resize(static_cast<size_t>(needed) * 3);
  result.entries = std::move(entries_);
  entries_.clear();
  return true;
}

bool ParseCube(const char* text, CubeDomainRule rule, CubeParseResult& result) {
  if (!text) return false;
  CubeParser parser;
  parser.Feed(text, std::strlen(text));
  return parser.Finish(rule, result);
}

}  // namespace ovix
