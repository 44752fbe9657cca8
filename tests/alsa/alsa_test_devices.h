// ALSA devices a test defines for itself: a configuration in a private
// folder, made ALSA's only one while the object lives, so the tests need no
// sound hardware and no user configuration.
//
//   default        plug over ovix_out, hint "Test default" (both flows)
//   ovix_out       file over null: writes what it plays to OutPath()   (render, "Test Speaker")
//   ovix_in        file over null: reads InPath(), then zeros          (capture, "Test Microphone")
//   ovix_duplex    null, a two-line description                        (both)
//   ovix_bare      null, hinted without a description                  (both)
//   ovix_s16       takes integer samples only, played as S16_LE into ovix_out; not hinted
//   ovix_args:FILE=path[,FORMAT=raw]  file over null, not hinted
//   ovix_unlisted  null, not hinted; null and surround51 are hinted but filtered
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace ovix::test {

// Adds the ALSA provider to the platform registry, once per process, ahead
// of the virtual devices (as the shared library does).
void RegisterAlsaProvider();

class AlsaTestDevices {
 public:
  // in: what the test microphone reads. defaultOpens: false makes "default"
  // a card that does not exist.
  explicit AlsaTestDevices(const std::vector<uint8_t>& in = {}, bool defaultOpens = true);
  ~AlsaTestDevices();
  AlsaTestDevices(const AlsaTestDevices&) = delete;
  AlsaTestDevices& operator=(const AlsaTestDevices&) = delete;

  const std::string& InPath() const { return inPath_; }
  const std::string& OutPath() const { return outPath_; }
  // A path in the private folder, removed with it.
  std::string File(const std::string& name) { return dir_.File(name); }
  // A file's bytes; empty when it does not exist.
  static std::vector<uint8_t> Read(const std::string& path);

 private:
  TempDir dir_{"ovix_alsa"};
  std::string inPath_, outPath_;
  std::optional<std::string> previousPath_;
};

}  // namespace ovix::test
