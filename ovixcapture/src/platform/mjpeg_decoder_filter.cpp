#include "platform/mjpeg_decoder_filter.h"

#include <turbojpeg.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/filter_graph.h"

namespace ovix::platform {
namespace {

struct TurboJpegDestroy {
  void operator()(void* handle) const { tjDestroy(handle); }
};

class MjpegDecoderFilter final : public GraphFilter {
 public:
  MjpegDecoderFilter() : input_(*this), output_(*this), decompressor_(tjInitDecompress()) {}
  std::vector<Pin*> Pins() override { return {&input_, &output_}; }

 private:
  class InputPin final : public GraphInputPin {
   public:
    explicit InputPin(MjpegDecoderFilter& decoder) : GraphInputPin(decoder), decoder_(decoder) {}
    HRESULT QueryAccept(const MediaType& type) override {
      const bool mjpg = type.major == MajorType::Video && type.subtype == subtype::kMJPG;
      return mjpg && type.width > 0 && type.height != 0 ? S_OK : S_FALSE;
    }
    HRESULT Receive(const uint8_t* data, size_t length, int64_t sampleTime) override {
      return decoder_.Decode(data, length, sampleTime);
    }

   private:
    MjpegDecoderFilter& decoder_;
  };

  class OutputPin final : public GraphOutputPin {
   public:
    explicit OutputPin(MjpegDecoderFilter& decoder) : GraphOutputPin(decoder), decoder_(decoder) {}
    HRESULT EnumMediaTypes(std::vector<MediaType>& out) override {
      out.clear();
      MediaType in;
      if (Failed(decoder_.input_.ConnectionMediaType(in))) return S_OK;
      out.push_back(VideoType(subtype::kRGB32, in.width, std::abs(in.height), in.avgTimePerFrame));
      return S_OK;
    }
    // RGB32 at the input's size, either row order.
    HRESULT QueryAccept(const MediaType& type) override {
      MediaType in;
      if (Failed(decoder_.input_.ConnectionMediaType(in))) return S_FALSE;
      const bool ok = type.major == MajorType::Video && type.subtype == subtype::kRGB32 &&
                      type.formatType == FormatKind::VideoInfo && type.width == in.width &&
                      std::abs(type.height) == std::abs(in.height);
      return ok ? S_OK : S_FALSE;
    }

   private:
    MjpegDecoderFilter& decoder_;
  };

  // On the streaming thread, one buffer at a time: the picture buffer is
  // reused from one buffer to the next.
  HRESULT Decode(const uint8_t* data, size_t length, int64_t sampleTime) {
    if (!IsRunning()) return kVfwWrongState;
    MediaType out;
    if (Failed(output_.ConnectionMediaType(out))) return VFW_E_NOT_CONNECTED;
    if (!decompressor_ || !data || length == 0 || length > ULONG_MAX) return S_FALSE;

    const auto size = static_cast<unsigned long>(length);
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(decompressor_.get(), data, size, &width, &height, &subsampling, &colorspace) != 0) {
      return S_FALSE;
    }
    if (width != out.width || height != std::abs(out.height)) return S_FALSE;

    const int pitch = width * 4;
    pixels_.resize(static_cast<size_t>(pitch) * static_cast<size_t>(height));
    const int flags = TJFLAG_STOPONWARNING | (out.height > 0 ? TJFLAG_BOTTOMUP : 0);
    if (tjDecompress2(decompressor_.get(), data, size, pixels_.data(), width, pitch, height, TJPF_BGRA, flags) != 0) {
      return S_FALSE;
    }
    return output_.Deliver(pixels_.data(), pixels_.size(), sampleTime);
  }

  InputPin input_;
  OutputPin output_;
  std::unique_ptr<void, TurboJpegDestroy> decompressor_;
  std::vector<uint8_t> pixels_;
};

}  // namespace

std::shared_ptr<Filter> MakeMjpegDecoderFilter() { return std::make_shared<MjpegDecoderFilter>(); }

}  // namespace ovix::platform
