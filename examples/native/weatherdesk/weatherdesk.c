/* weatherdesk: the native library of the built-in "weatherdesk" extension.
 *
 * On the named event "weather.update" it asks the browser for its version with the command
 * "extension.invoke.utility.getversion" (the extension's "utility" permission lets it through)
 * and logs the answer, "extension.response.utility.getversion", when it comes back.
 *
 * On the named event "weather.page", whose payload is a frame id ("1"; -1 for every frame),
 * it opens its forecast page in a new tab of that frame with a script to run, asks for the
 * page's information, takes a PNG snapshot of it into "forecast.png" beside the library, and
 * tells its toolbar button; it logs the information and the snapshot's outcome as they come.
 *
 * Built against include/plexore/native_extension.h alone. All calls come on the library
 * thread of the extension-library process, so the state below needs no lock. */
#define _GNU_SOURCE /* dladdr */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plexore/native_extension.h"

static const plexore_host* g_host;
static char g_id[256];
static int g_next_request = 1;
/* The snapshot's target: forecast.png in the library's own directory ("" when unknown). */
static char g_snapshot[4096];

static void FindSnapshotTarget(void) {
  Dl_info info;
  const char* slash;
  g_snapshot[0] = '\0';
  if (!dladdr((void*)&plexore_extension_load, &info) || !info.dli_fname ||
      info.dli_fname[0] != '/') {
    return;
  }
  slash = strrchr(info.dli_fname, '/');
  snprintf(g_snapshot, sizeof g_snapshot, "%.*s/forecast.png", (int)(slash - info.dli_fname),
           info.dli_fname);
}

int plexore_extension_load(const plexore_host* host, const char* extension_id) {
  if (!host || host->abi != PLEXORE_NATIVE_ABI || !extension_id ||
      strlen(extension_id) >= sizeof g_id) {
    return 1;
  }
  g_host = host;
  snprintf(g_id, sizeof g_id, "%s", extension_id);
  FindSnapshotTarget();
  plexore_log(g_host, PLEXORE_LOG_PROGRESS, "weatherdesk: loaded");
  return 0;
}

static int IsString(const plexore_param* p, const char* text) {
  return p->kind == PLEXORE_STRING && p->text && strcmp(p->text, text) == 0;
}

static void ShowForecastPage(long long frame) {
  if (!plexore_open_page(g_host, g_id, frame, "forecast.html", 1, 1, "showForecast()") ||
      !plexore_get_page_info(g_host, g_id, frame, 1, "forecast") ||
      (g_snapshot[0] && !plexore_snapshot_page(g_host, g_id, frame, g_snapshot)) ||
      !plexore_post_ui_command(g_host, g_id, 1, 0, "forecast-shown")) {
    plexore_log(g_host, PLEXORE_LOG_FAILURE, "weatherdesk: a page request was refused");
  }
}

/* Logs what the browser answers about pages. */
static void LogPageAnswer(unsigned type, const plexore_param* params, int count) {
  char line[1024];
  if (type == PLEXORE_MSG_PAGE_INFO && count == 6 && params[5].kind == PLEXORE_STRING) {
    snprintf(line, sizeof line, "weatherdesk: page of frame %lld: %s", params[1].number,
             params[5].text);
    plexore_log(g_host, PLEXORE_LOG_EVENT, line);
  } else if (type == PLEXORE_MSG_REQUEST_ANSWER && count == 4 && IsString(&params[0], g_id) &&
             params[3].kind == PLEXORE_STRING) {
    snprintf(line, sizeof line, "weatherdesk: snapshot of frame %lld into %s: %s", params[1].number,
             params[3].text, params[2].number == 1 ? "written" : "failed");
    plexore_log(g_host, PLEXORE_LOG_EVENT, line);
  }
}

void plexore_extension_message(unsigned type, const plexore_param* params, int count) {
  if (!g_host) return;
  if (type == PLEXORE_MSG_NAMED_EVENT && count == 2 && IsString(&params[0], "weather.page") &&
      params[1].kind == PLEXORE_STRING && params[1].text) {
    ShowForecastPage(params[1].text[0] ? strtoll(params[1].text, NULL, 10) : 1);
    return;
  }
  if (type == PLEXORE_MSG_PAGE_INFO || type == PLEXORE_MSG_REQUEST_ANSWER) {
    LogPageAnswer(type, params, count);
    return;
  }
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
