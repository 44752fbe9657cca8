/* Silencing ALSA's error messages on the calling thread (C linkage). */
#ifndef OVIX_PLATFORM_LINUX_ALSA_QUIET_ERRORS_H
#define OVIX_PLATFORM_LINUX_ALSA_QUIET_ERRORS_H

#include <alsa/asoundlib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Installs a handler that discards messages; returns the previous one. */
snd_local_error_handler_t OvixAlsaQuietErrors(void);
void OvixAlsaRestoreErrors(snd_local_error_handler_t previous);

#ifdef __cplusplus
}
#endif

#endif
