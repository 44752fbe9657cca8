// A big-endian byte buffer for assembling ISO base media boxes in memory:
// a box is opened, filled and closed, and closing writes its 32-bit size
// (which counts the 8-byte header) once the contents are known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

namespace ovix {

inline void StoreBe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline void StoreBe64(uint8_t* p, uint64_t v) {
  StoreBe32(p, static_cast<uint32_t>(v >> 32));
  StoreBe32(p + 4, static_cast<uint32_t>(v));
}

// Bytes of an MPEG-4 descriptor length in its shortest form (1 to 4).
size_t DescriptorLengthSize(size_t length);

class BoxBuilder {
 public:
  void Reserve(size_t bytes) { buf_.reserve(bytes); }

  // Opens a box; the returned mark goes to End.
  size_t Begin(const char (&type)[5]);
  // Opens a full box: the header, then version and 24-bit flags.
  size_t BeginFull(const char (&type)[5], uint8_t version, uint32_t flags);
  void End(size_t mark);

  void U8(uint32_t v) { buf_.push_back(static_cast<uint8_t>(v)); }
  void U16(uint32_t v) { StoreBe16(Append(2), v); }
  void U24(uint32_t v) {
    uint8_t* p = Append(3);
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
  }
  void U32(uint32_t v) { StoreBe32(Append(4), v); }
  void U64(uint64_t v) { StoreBe64(Append(8), v); }
  void FourCc(const char (&code)[5]) { std::memcpy(Append(4), code, 4); }
  void Zeros(size_t n) { std::memset(Append(n), 0, n); }
  void Bytes(std::span<const uint8_t> bytes) {
    if (!bytes.empty()) std::memcpy(Append(bytes.size()), bytes.data(), bytes.size());
  }
  // Tag byte and shortest-form length of an MPEG-4 descriptor.
  void DescriptorHeader(uint8_t tag, size_t length);

  // n uninitialised bytes at the end, for tables filled in bulk.
  uint8_t* Append(size_t n) {
    const size_t at = buf_.size();
    buf_.resize(at + n);
    return buf_.data() + at;
  }
  // Overwrites a 32-bit field written earlier (an entry count known late).
  void PatchU32(size_t at, uint32_t v) { StoreBe32(buf_.data() + at, v); }

  size_t Size() const { return buf_.size(); }
  const std::vector<uint8_t>& Data() const { return buf_; }
  std::vector<uint8_t> Release() { return std::move(buf_); }

 private:
  std::vector<uint8_t> buf_;
};

}  // namespace ovix
