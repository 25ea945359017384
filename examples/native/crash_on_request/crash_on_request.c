/* crash_on_request: a native library that brings its process down when asked, for testing the
 * browser's recovery from a crashed extension-library process. Not part of the built-in set.
 *
 * On the named event "crash.now" it raises SIGSEGV on the library thread; everything else it
 * ignores. Built against include/plexore/native_extension.h alone. */
#include <signal.h>
#include <string.h>

#include "plexore/native_extension.h"

static const plexore_host* g_host;

int plexore_extension_load(const plexore_host* host, const char* extension_id) {
  if (!host || host->abi != PLEXORE_NATIVE_ABI) return 1;
  g_host = host;
  plexore_log(g_host, PLEXORE_LOG_PROGRESS, "crash_on_request: loaded");
  return 0;
}

void plexore_extension_message(unsigned type, const plexore_param* params, int count) {
  if (type == PLEXORE_MSG_NAMED_EVENT && count == 2 && params[0].kind == PLEXORE_STRING &&
      params[0].text && strcmp(params[0].text, "crash.now") == 0) {
    plexore_log(g_host, PLEXORE_LOG_FAILURE, "crash_on_request: crashing as asked");
    raise(SIGSEGV);
  }
}

void plexore_extension_unload(void) { g_host = NULL; }
