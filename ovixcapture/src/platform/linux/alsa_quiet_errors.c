/* ALSA declares snd_lib_error_set_local outside its extern "C" block, so C++
   cannot name it; these two calls reach it from C. */
#include <alsa/asoundlib.h>

#include "platform/linux/alsa_quiet_errors.h"

static void Discard(const char* file, int line, const char* function, int err, const char* fmt, va_list arg) {
  (void)file;
  (void)line;
  (void)function;
  (void)err;
  (void)fmt;
  (void)arg;
}

snd_local_error_handler_t OvixAlsaQuietErrors(void) { return snd_lib_error_set_local(&Discard); }

void OvixAlsaRestoreErrors(snd_local_error_handler_t previous) { snd_lib_error_set_local(previous); }
