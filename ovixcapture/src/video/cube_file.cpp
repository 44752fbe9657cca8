#include "video/cube_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/sys.h"

namespace ovix {

namespace {

constexpr size_t kLogPathBytes = 1023;
constexpr size_t kReadPiece = 1 << 20;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// UTF-16 to UTF-8 that never fails: what cannot be decoded becomes '?'.
std::string LossyUtf8(std::u16string_view in) {
  std::string out;
  if (sys::Utf16ToUtf8(in, out)) return out;
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    const bool high = in[i] >= 0xD800 && in[i] <= 0xDBFF;
    const bool low = in[i] >= 0xDC00 && in[i] <= 0xDFFF;
    std::string piece;
    if (high && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      sys::Utf16ToUtf8(in.substr(i, 2), piece);
      ++i;
    } else if (high || low) {
      piece = "?";
    } else {
      sys::Utf16ToUtf8(in.substr(i, 1), piece);
    }
    out += piece;
  }
  return out;
}

}  // namespace

std::string CubePathForLog(const OvixWChar* path) {
  if (!path) return {};
  std::string utf8 = LossyUtf8(std::u16string_view(path, sys::Utf16Length(path)));
  if (utf8.size() > kLogPathBytes) {
    size_t cut = kLogPathBytes;
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
    utf8.resize(cut);
  }
  return utf8;
}

CubeLoadStatus LoadCubeFile(const OvixWChar* path, CubeDomainRule rule, CubeParseResult& result) {
  if (!path || path[0] == 0) return CubeLoadStatus::kInvalidPath;
  std::string name;
  if (!sys::Utf16ToUtf8(std::u16string_view(path, sys::Utf16Length(path)), name))
    return CubeLoadStatus::kOpenFailed;  // a path that is not UTF-16 names no file
  FileDescriptor file(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return CubeLoadStatus::kOpenFailed;
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return CubeLoadStatus::kOpenFailed;

  // Only the bytes that were there when the file was measured are read, so a
  // file that grows meanwhile cannot make the read endless.
  uint64_t left = static_cast<uint64_t>(st.st_size);
  CubeParser parser;
  auto piece = std::make_unique<char[]>(kReadPiece);
  while (left > 0 && !parser.Done()) {
    const size_t want = left < kReadPiece ? static_cast<size_t>(left) : kReadPiece;
    const ssize_t got = ::read(file.get(), piece.get(), want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // parse what was read
    parser.Feed(piece.get(), static_cast<size_t>(got));
    left -= static_cast<uint64_t>(got);
  }
  return parser.Finish(rule, result) ? CubeLoadStatus::kOk : CubeLoadStatus::kParseError;
}

}  // namespace ovix
