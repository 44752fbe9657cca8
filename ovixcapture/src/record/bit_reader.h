// MSB-first reader over an H.264 RBSP with the Exp-Golomb code. Running out
// of data is sticky: once exhausted, every read returns 0 and consumes
// nothing, so a parser can read a whole header and test once at the end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ovix {

class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) : data_(data), bits_(size * 8) {}

  // n in [0, 32]. Fewer than n bits left: exhausted, 0.
  uint32_t ReadBits(int n) {
    if (exhausted_) return 0;
    if (bits_ - pos_ < static_cast<size_t>(n)) {
      exhausted_ = true;
      return 0;
    }
    uint32_t v = 0;
    for (int i = 0; i < n; ++i, ++pos_) v = (v << 1) | ((data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1u);
    return v;
  }
  void SkipBits(int n) { ReadBits(n); }

  // ue(v). 32 leading zeros cannot start a 32-bit code: exhausted, 0. Data
  // ending inside the suffix gives the code's smallest value, 2^n - 1.
  uint32_t ReadUe() {
    int zeros = 0;
    for (;;) {
      if (exhausted_) return 0;
      if (pos_ >= bits_) {
        exhausted_ = true;
        return 0;
      }
      const bool one = (data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1u;
      ++pos_;
      if (one) break;
      if (++zeros == 32) {
        exhausted_ = true;
        return 0;
      }
    }
    if (zeros == 0) return 0;
    const uint32_t base = (1u << zeros) - 1u;
    const uint32_t suffix = ReadBits(zeros);
    return exhausted_ ? base : base + suffix;
  }

  bool Exhausted() const { return exhausted_; }

 private:
  const uint8_t* data_;
  size_t bits_;
  size_t pos_ = 0;
  bool exhausted_ = false;
};

}  // namespace ovix
