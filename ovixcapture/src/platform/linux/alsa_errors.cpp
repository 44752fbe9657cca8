#include "platform/linux/alsa_errors.h"

#include <cerrno>

#include "platform/audio_client.h"

namespace ovix::platform::alsa {

HRESULT HrFromAlsa(int err) {
  if (err >= 0) return S_OK;
  switch (-err) {
    case ENODEV:
    case EBADFD:
    case ESHUTDOWN:
      return AUDCLNT_E_DEVICE_INVALIDATED;
    case EBUSY:
      return AUDCLNT_E_DEVICE_IN_USE;
    case ENOENT:
    case ENXIO:
      return E_NOTFOUND;
    case ENOMEM:
      return E_OUTOFMEMORY;
    default:
      return HrFromErrno(-err);
  }
}

HRESULT HrFromAlsaFormat(int err) { return err == -EINVAL ? AUDCLNT_E_UNSUPPORTED_FORMAT : HrFromAlsa(err); }

TransferFault ClassifyTransferError(int err) {
  switch (-err) {
    case EAGAIN:
    case EINTR:
      return TransferFault::Retry;
    case EPIPE:
    case ESTRPIPE:
      return TransferFault::Recover;
    case ENODEV:
    case EBADFD:
    case ESHUTDOWN:
      return TransferFault::Invalidated;
    default:
      return TransferFault::Failed;
  }
}

}  // namespace ovix::platform::alsa
