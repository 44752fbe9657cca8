#include "alsa_test_devices.h"

#include <alsa/asoundlib.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/linux/alsa_endpoints.h"
#include "platform/services.h"

namespace ovix::test {
namespace {

constexpr const char* kConfigVar = "ALSA_CONFIG_PATH";

std::string Config(const std::string& in, const std::string& out, bool defaultOpens) {
  std::string c;
  c += defaultOpens ? "pcm.!default { type plug slave.pcm \"ovix_out\" hint { show on description \"Test default\" } }\n"
                    : "pcm.!default { type hw card 31 hint { show on description \"Test default\" } }\n";
  c += "pcm.ovix_out { type file slave.pcm { type null } file \"" + out + "\" format \"raw\" }\n";
  c += "pcm.ovix_in { type file slave.pcm { type null } file \"/dev/null\" infile \"" + in + "\" format \"raw\" }\n";
  c += "pcm.ovix_duplex { type null hint { show on description \"Test Duplex\nSecond line\" } }\n";
  c += "pcm.surround51 { type null hint { show on description \"Surround view\" } }\n";
  c += "pcm.null { type null hint { show on description \"Discard\" } }\n";
  c += "pcm.ovix_s16 { type linear slave { pcm \"ovix_out\" format S16_LE } }\n";
  c += "pcm.ovix_unlisted { type null }\n";
  c += "pcm.ovix_bare { type null }\n";
  c += "pcm.ovix_args { @args [ FILE FORMAT ] @args.FILE { type string } @args.FORMAT { type string default \"raw\" }\n"
       "  type file slave.pcm { type null } file $FILE format $FORMAT }\n";
  // The hint listing opens each sound card's control; without this a
  // machine that has cards could not list at all.
  c += "ctl.hw { @args [ CARD ] @args.CARD { type string } type hw card $CARD }\n";
  c += "namehint.pcm {\n"
       "  speaker \"ovix_out|Test Speaker|IOIDOutput\"\n"
       "  microphone \"ovix_in|Test Microphone|IOIDInput\"\n"
       "  bare \"ovix_bare\"\n"
       "}\n";
  return c;
}

}  // namespace

void RegisterAlsaProvider() {
  static std::once_flag once;
  std::call_once(once, [] { platform::RegisterAudioEndpointProvider(&platform::alsa::AlsaEndpointProvider()); });
}

AlsaTestDevices::AlsaTestDevices(const std::vector<uint8_t>& in, bool defaultOpens) {
  inPath_ = dir_.Write("in.raw", std::string(in.begin(), in.end()));
  outPath_ = dir_.File("out.raw");
  const std::string config = dir_.Write("asound.conf", Config(inPath_, outPath_, defaultOpens));
  if (const char* previous = std::getenv(kConfigVar)) previousPath_ = previous;
  setenv(kConfigVar, config.c_str(), 1);
  snd_config_update_free_global();  // the next ALSA call reads ours
}

AlsaTestDevices::~AlsaTestDevices() {
  if (previousPath_) setenv(kConfigVar, previousPath_->c_str(), 1);
  else unsetenv(kConfigVar);
  snd_config_update_free_global();
}

std::vector<uint8_t> AlsaTestDevices::Read(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

}  // namespace ovix::test
