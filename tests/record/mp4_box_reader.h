// A small ISO base media box walker for the MP4 writer's tests: finds boxes
// by path, checks that every container's children tile it exactly, and reads
// big-endian fields. Also a builder of expected bytes from (width, value)
// field lists, so expectations read like the layout tables they come from.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ovix::test {

constexpr uint64_t Fcc(const char (&s)[5]) {
  return (uint64_t{static_cast<uint8_t>(s[0])} << 24) | (uint64_t{static_cast<uint8_t>(s[1])} << 16) |
         (uint64_t{static_cast<uint8_t>(s[2])} << 8) | uint64_t{static_cast<uint8_t>(s[3])};
}

struct Field {
  int bytes;
  uint64_t value;
};

// Big-endian bytes of the fields in order.
inline std::vector<uint8_t> Fields(std::initializer_list<Field> fields) {
  std::vector<uint8_t> out;
  for (const Field& f : fields)
    for (int i = f.bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(i >= 8 ? 0 : f.value >> (8 * i)));
  return out;
}

inline std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
  }
  return bytes;
}

struct Box {
  size_t offset = 0;  // of the size field
  size_t size = 0;    // whole box
  size_t header = 8;  // 16 for the 64-bit form
  std::string type;
};

class Mp4Reader {
 public:
  explicit Mp4Reader(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  uint64_t Be(size_t at, int n) const {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | (at + i < bytes_.size() ? bytes_[at + i] : 0);
    return v;
  }
  uint32_t U32(size_t at) const { return static_cast<uint32_t>(Be(at, 4)); }
  uint64_t U64(size_t at) const { return Be(at, 8); }
  std::vector<uint8_t> Slice(size_t at, size_t n) const {
    if (at > bytes_.size()) return {};
    n = std::min(n, bytes_.size() - at);
    return {bytes_.begin() + at, bytes_.begin() + at + n};
  }
  std::vector<uint8_t> Whole(const Box& b) const { return Slice(b.offset, b.size); }

  std::vector<Box> TopLevel() const { return Walk(0, bytes_.size(), "file"); }

  // Children of a container; where its own fields precede them depends on
  // its type. The children must fill the container exactly.
  std::vector<Box> Children(const Box& parent) const {
    static const std::map<std::string, size_t> kSkip = {
        {"moov", 8}, {"trak", 8}, {"mdia", 8}, {"minf", 8}, {"dinf", 8}, {"stbl", 8},
        {"stsd", 16}, {"dref", 16}, {"avc1", 86}, {"mp4a", 36}};
    const auto it = kSkip.find(parent.type);
    if (it == kSkip.end()) {
      ADD_FAILURE() << parent.type << " is not a container";
      return {};
    }
    return Walk(parent.offset + it->second, parent.offset + parent.size, parent.type);
  }
  std::vector<std::string> ChildTypes(const Box& parent) const {
    std::vector<std::string> types;
    for (const Box& b : Children(parent)) types.push_back(b.type);
    return types;
  }

  // "moov/trak#1/mdia": '#n' picks the n-th (0-based) box of that type.
  std::optional<Box> Find(std::string_view path) const {
    std::vector<Box> level = TopLevel();
    std::optional<Box> found;
    while (!path.empty()) {
      const size_t slash = path.find('/');
      std::string_view step = path.substr(0, slash);
      path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
      int index = 0;
      if (const size_t hash = step.find('#'); hash != std::string_view::npos) {
        index = std::stoi(std::string(step.substr(hash + 1)));
        step = step.substr(0, hash);
      }
      found.reset();
      for (const Box& b : level)
        if (b.type == step && index-- == 0) {
          found = b;
          break;
        }
      if (!found) return std::nullopt;
      if (!path.empty()) level = Children(*found);
    }
    return found;
  }
  // Fails the test when the box is missing.
  Box Get(std::string_view path) const {
    const std::optional<Box> b = Find(path);
    EXPECT_TRUE(b.has_value()) << "no box " << path;
    return b.value_or(Box{});
  }

 private:
  std::vector<Box> Walk(size_t begin, size_t end, const std::string& in) const {
    std::vector<Box> boxes;
    size_t at = begin;
    while (at < end) {
      if (end - at < 8) {
        ADD_FAILURE() << in << ": " << end - at << " stray bytes at " << at;
        break;
      }
      Box b;
      b.offset = at;
      b.size = U32(at);
      b.type.assign(reinterpret_cast<const char*>(bytes_.data() + at + 4), 4);
      if (b.size == 1) {
        b.header = 16;
        b.size = static_cast<size_t>(U64(at + 8));
      }
      if (b.size < b.header || b.size > end - at) {
        ADD_FAILURE() << in << ": box " << b.type << " at " << at << " has size " << b.size << ", "
                      << end - at << " bytes left";
        break;
      }
      boxes.push_back(b);
      at += b.size;
    }
    return boxes;
  }

  std::vector<uint8_t> bytes_;
};

}  // namespace ovix::test
