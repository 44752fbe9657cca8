// ALSA's negative error codes as the audio stream calls report them, and
// what a stream does when a transfer fails.
#pragma once

#include "platform/hresult.h"

namespace ovix::platform::alsa {

// A negative ALSA (errno) code as a result code: a device that went away
// invalidates the stream, a busy one is in use, an unknown PCM name is not
// found; anything else keeps its errno. Zero and positive counts are S_OK.
HRESULT HrFromAlsa(int err);

// The same while negotiating hardware parameters, where EINVAL means the
// device refused the layout.
HRESULT HrFromAlsaFormat(int err);

// What a failed read or write on a running stream calls for.
enum class TransferFault {
  Retry,        // nothing ready yet (EAGAIN): try again later
  Recover,      // xrun or suspend: recover and go on, marking the gap
  Invalidated,  // the device is gone: the stream is dead
  Failed,       // any other error: the stream is dead with that error
};
TransferFault ClassifyTransferError(int err);

}  // namespace ovix::platform::alsa
