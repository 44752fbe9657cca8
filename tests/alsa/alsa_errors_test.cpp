// ALSA error codes as stream results, and what a stream does on each.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/audio_client.h"
#include "platform/linux/alsa_errors.h"

namespace ovix::platform::alsa {
namespace {

struct ErrorCase {
  int err;
  HRESULT hr;
  TransferFault fault;
};

TEST(AlsaErrors, MapsEachCodeToAResultAndAnAction) {
  const ErrorCase cases[] = {
      {-ENODEV, AUDCLNT_E_DEVICE_INVALIDATED, TransferFault::Invalidated},  // unplugged
      {-EBADFD, AUDCLNT_E_DEVICE_INVALIDATED, TransferFault::Invalidated},
      {-ESHUTDOWN, AUDCLNT_E_DEVICE_INVALIDATED, TransferFault::Invalidated},
      {-EPIPE, HrFromErrno(EPIPE), TransferFault::Recover},  // xrun
      {-ESTRPIPE, HrFromErrno(ESTRPIPE), TransferFault::Recover},  // suspended
      {-EAGAIN, HrFromErrno(EAGAIN), TransferFault::Retry},
      {-EINTR, HrFromErrno(EINTR), TransferFault::Retry},
      {-EBUSY, AUDCLNT_E_DEVICE_IN_USE, TransferFault::Failed},
      {-ENOENT, E_NOTFOUND, TransferFault::Failed},  // no PCM of that name
      {-ENXIO, E_NOTFOUND, TransferFault::Failed},
      {-ENOMEM, E_OUTOFMEMORY, TransferFault::Failed},
      {-EIO, HrFromErrno(EIO), TransferFault::Failed},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.err);
    EXPECT_EQ(HrFromAlsa(c.err), c.hr);
    EXPECT_EQ(ClassifyTransferError(c.err), c.fault);
    // Only format negotiation reads EINVAL differently.
    EXPECT_EQ(HrFromAlsaFormat(c.err), c.hr);
  }
  EXPECT_EQ(HrFromAlsa(0), S_OK);
  EXPECT_EQ(HrFromAlsa(480), S_OK);  // a frame count
  EXPECT_EQ(HrFromAlsa(-EINVAL), HrFromErrno(EINVAL));
  EXPECT_EQ(HrFromAlsaFormat(-EINVAL), AUDCLNT_E_UNSUPPORTED_FORMAT);
}

}  // namespace
}  // namespace ovix::platform::alsa
