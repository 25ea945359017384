/* weatherdesk: the native library of the built-in "weatherdesk" extension.
 *
 * On the named event "weather.update" it asks the browser for its version with the command
 * "extension.invoke.utility.getversion" (the extension's "utility" permission lets it through)
 * and logs the answer, "extension.response.utility.getversion", when it comes back.
 *
 * Built against include/plexore/native_extension.h alone. All calls come on the library
 * thread of the extension-library process, so the state below needs no lock. */
#include <stdio.h>
#include <string.h>

#include "plexore/native_extension.h"

static const plexore_host* g_host;
static char g_id[256];
static int g_next_request = 1;

int plexore_extension_load(const plexore_host* host, const char* extension_id) {
  if (!host || host->abi != PLEXORE_NATIVE_ABI || !extension_id ||
      strlen(extension_id) >= sizeof g_id) {
    return 1;
  }
  g_host = host;
  snprintf(g_id, sizeof g_id, "%s", extension_id);
  plexore_log(g_host, PLEXORE_LOG_PROGRESS, "weatherdesk: loaded");
  return 0;
}

static int IsString(const plexore_param* p, const char* text) {
  return p->kind == PLEXORE_STRING && p->text && strcmp(p->text, text) == 0;
}

void plexore_extension_message(unsigned type, const plexore_param* params, int count) {
  if (!g_host) return;
  if (type == PLEXORE_MSG_NAMED_EVENT && count == 2 && IsString(&params[0], "weather.update")) {
    const int request = g_next_request++;
    if (!plexore_send_command(g_host, g_id, "extension.invoke.utility.getversion", "{}", request)) {
      plexore_log(g_host, PLEXORE_LOG_FAILURE, "weatherdesk: the version request was refused");
    }
    return;
  }
  if (type == PLEXORE_MSG_LIBRARY_MESSAGE && count == 5 &&
      IsString(&params[2], "extension.response.utility.getversion") &&
      params[3].kind == PLEXORE_STRING) {
    char line[1024];
    snprintf(line, sizeof line, "weatherdesk: browser version for request %lld: %s",
             params[1].number, params[3].text);
    plexore_log(g_host, PLEXORE_LOG_EVENT, line);
  }
}

void plexore_extension_unload(void) {
  if (g_host) plexore_log(g_host, PLEXORE_LOG_PROGRESS, "weatherdesk: unloaded");
  g_host = NULL;
}
