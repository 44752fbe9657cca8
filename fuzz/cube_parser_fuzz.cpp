// Arbitrary bytes into the .cube parser, whole and in pieces, under both
// domain rules: it must never crash, and both ways must agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "video/cube_lut.h"
#include "video/cube_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (ovix::CubeDomainRule rule : {ovix::CubeDomainRule::kColorEngine, ovix::CubeDomainRule::kRenderer}) {
    ovix::CubeParseResult whole;
    const bool ok = ovix::ParseCube(text.c_str(), rule, whole);

    ovix::CubeParser parser;
    const size_t piece = size % 97 + 1;
    for (size_t at = 0; at < size; at += piece) parser.Feed(text.data() + at, size - at < piece ? size - at : piece);
    ovix::CubeParseResult pieces;
    if (parser.Finish(rule, pieces) != ok) std::abort();
    if (!ok) continue;
    if (pieces.entries != whole.entries || pieces.size != whole.size) std::abort();
    const size_t n = static_cast<size_t>(whole.size);
    if (whole.size < 2 || whole.size > 128 || whole.entries.size() != n * n * n * 3) std::abort();
    for (float v : whole.entries)
      if (!(v >= 0.0f && v <= 1.0f)) std::abort();
    const auto engine = ovix::BuildColorEngineLut(whole);
    const auto render = ovix::BuildRenderLut(whole);
    if (engine->bytes.size() != whole.entries.size() || render->texels.size() != n * n * n * 4) std::abort();
  }
  return 0;
}
