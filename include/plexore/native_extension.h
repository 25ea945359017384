/* plexore native extension SDK: the C interface between a native extension library and the
 * browser's extension-library process (plexore-host --type=BrindleProcess).
 *
 * A native extension is a shared library named by its manifest's "librarypath". The browser
 * never loads it into its own process: a child process loads it with
 * dlopen(RTLD_NOW | RTLD_LOCAL), calls plexore_extension_load once, hands it the messages that
 * concern it through plexore_extension_message, and calls plexore_extension_unload before it
 * lets go of the library (on unload, shutdown, or when the browser goes away).
 *
 * Threads: load, message and unload are all called on one thread of the child, in the order
 * the messages arrived. host->send and host->log may be called from any thread, also from
 * inside those three calls, for as long as the library is loaded; a library that starts
 * threads of its own ends them in plexore_extension_unload.
 *
 * Parameters travel in payload order. A PLEXORE_INT carries a 32-bit value and a
 * PLEXORE_INT64 a 64-bit value, both in `number` (`text` is NULL); a PLEXORE_STRING carries
 * UTF-8 text, NUL-terminated, in `text` (`number` is 0). Everything handed to
 * plexore_extension_message is valid only for the length of that call.
 *
 * Example (the whole of a library that answers a named event with a command):
 *
 *   static const plexore_host* host;
 *   static char id[128];
 *   int plexore_extension_load(const plexore_host* h, const char* extension_id) {
 *     if (h->abi != PLEXORE_NATIVE_ABI) return 1;
 *     host = h;
 *     snprintf(id, sizeof id, "%s", extension_id);
 *     return 0;
 *   }
 *   void plexore_extension_message(unsigned type, const plexore_param* p, int count) {
 *     if (type == PLEXORE_MSG_NAMED_EVENT && count == 2 && !strcmp(p[0].text, "tick"))
 *       plexore_send_command(host, id, "extension.invoke.utility.getversion", "{}", 1);
 *   }
 *   void plexore_extension_unload(void) { host = NULL; }
 *
 * This header is a public interface: it only ever grows, and PLEXORE_NATIVE_ABI changes if it
 * must ever break. */
#ifndef PLEXORE_NATIVE_EXTENSION_H_
#define PLEXORE_NATIVE_EXTENSION_H_

#ifdef __cplusplus
extern "C" {
#endif

/* clang-format off */
#define PLEXORE_NATIVE_ABI 1
enum { PLEXORE_INT = 0, PLEXORE_INT64 = 1, PLEXORE_STRING = 2 };
typedef struct plexore_param { int kind; long long number; const char* text; } plexore_param;  /* text: UTF-8, NUL-terminated */
typedef struct plexore_host {
  int abi;                    /* PLEXORE_NATIVE_ABI */
  void* context;
  int (*send)(void* context, unsigned type, const plexore_param* params, int count);  /* 1 sent, 0 refused */
  void (*log)(void* context, int level, const char* text);
} plexore_host;

/* Makes the three entry points visible even when the library hides its other symbols. */
#if defined(_WIN32)
#define PLEXORE_EXPORT __declspec(dllexport)
#else
#define PLEXORE_EXPORT __attribute__((visibility("default")))
#endif

/* Exported by the library with C linkage. */
PLEXORE_EXPORT int  plexore_extension_load(const plexore_host* host, const char* extension_id);  /* 0: loaded */
PLEXORE_EXPORT void plexore_extension_message(unsigned type, const plexore_param* params, int count);
PLEXORE_EXPORT void plexore_extension_unload(void);
/* clang-format on */

/* ---- Messages a library receives (type, then the parameters in order) ---------------------
 * "id" is the extension id; a per-extension message reaches only that extension's library,
 * a broadcast reaches every loaded library. */
#define PLEXORE_MSG_FORWARDED_CALL                                                            \
  0x07000003u                                 /* string, int64, string, string, int64, int64: \
                                                 to the library whose id is the first string, \
                                                 else to every library */
#define PLEXORE_MSG_MENU_CLICK 0x07000006u    /* id, int point, int frame, int menu */
#define PLEXORE_MSG_FRAME_CREATED 0x07000007u /* none; broadcast */
#define PLEXORE_MSG_NAMED_EVENT                                                               \
  0x07000008u                                  /* string name, string payload; broadcast (and \
                                                  sent: see below) */
#define PLEXORE_MSG_REQUEST_ANSWER 0x0700000Au /* id, int64 handle, int value, string result */
#define PLEXORE_MSG_PAGE_INFO                                                     \
  0x0700000Du                                /* id, int64 frame, int64, int flag, \
                                                string request, string information */
#define PLEXORE_MSG_OWNER_ANSWER 0x0700000Fu /* id, int64, string */
#define PLEXORE_MSG_LIBRARY_MESSAGE                                                        \
  0x07000011u                                  /* id, int request context, string command, \
                                                  string arguments, int */
#define PLEXORE_MSG_BROWSER_NOTIFY 0x07000012u /* string name, string payload; broadcast */

/* ---- Messages a library may send with host->send -----------------------------------------
 * Anything else, a parameter list of other kinds or count, or an extension id ("id") that is
 * not the library's own, is refused (send returns 0). */
#define PLEXORE_MSG_FE_RESPONSE 0x07000004u /* id, int64, string, string, int64, int64 */
#define PLEXORE_MSG_UI_COMMAND 0x07000005u  /* id, int64, int64, string command */
/*      PLEXORE_MSG_NAMED_EVENT 0x07000008u       string name, string payload */
#define PLEXORE_MSG_SNAPSHOT_PAGE 0x07000009u /* int64 frame, id, int, string target */
#define PLEXORE_MSG_OPEN_PAGE                               \
  0x0700000Bu /* id, int64 frame, string url, int relative, \
                 int run script, string script, int */
#define PLEXORE_MSG_GET_PAGE_INFO                                                  \
  0x0700000Cu                                 /* id, int64 frame, int64, int flag, \
                                                 string request */
#define PLEXORE_MSG_OWNER_REQUEST 0x0700000Eu /* id, int64, string, string */
#define PLEXORE_MSG_COMMAND                            \
  0x07000010u /* id, string command, string arguments, \
                 int request context */

/* Log levels for host->log (lines below the browser's configured level are dropped). */
enum {
  PLEXORE_LOG_TRACE = 5,
  PLEXORE_LOG_DETAIL = 16,
  PLEXORE_LOG_PROGRESS = 32,
  PLEXORE_LOG_EVENT = 37,
  PLEXORE_LOG_FAILURE = 64
};

/* ---- Typed helpers ------------------------------------------------------------------------ */
static inline plexore_param plexore_int_param(int value) {
  plexore_param p;
  p.kind = PLEXORE_INT;
  p.number = value;
  p.text = 0;
  return p;
}

static inline plexore_param plexore_int64_param(long long value) {
  plexore_param p;
  p.kind = PLEXORE_INT64;
  p.number = value;
  p.text = 0;
  return p;
}

static inline plexore_param plexore_string_param(const char* text) {
  plexore_param p;
  p.kind = PLEXORE_STRING;
  p.number = 0;
  p.text = text;
  return p;
}

/* Sends an extension command (PLEXORE_MSG_COMMAND); its answer comes back as a
 * PLEXORE_MSG_LIBRARY_MESSAGE with the same request context. 1 sent, 0 refused. */
static inline int plexore_send_command(const plexore_host* host, const char* extension_id,
                                       const char* command, const char* arguments,
                                       int request_context) {
  plexore_param p[4];
  p[0] = plexore_string_param(extension_id);
  p[1] = plexore_string_param(command);
  p[2] = plexore_string_param(arguments);
  p[3] = plexore_int_param(request_context);
  return host->send(host->context, PLEXORE_MSG_COMMAND, p, 4);
}

/* Raises a named event (PLEXORE_MSG_NAMED_EVENT) with a JSON payload. 1 sent, 0 refused. */
static inline int plexore_send_named_event(const plexore_host* host, const char* name,
                                           const char* payload) {
  plexore_param p[2];
  p[0] = plexore_string_param(name);
  p[1] = plexore_string_param(payload);
  return host->send(host->context, PLEXORE_MSG_NAMED_EVENT, p, 2);
}

/* ---- Web pages (answers, where there are any, arrive as messages) ---------------------------
 * Frame ids are the browser's top-level frame ids; -1 names every top-level frame. */

/* Opens `url` in a new tab of frame `frame` (PLEXORE_MSG_OPEN_PAGE). With `relative` set, an
 * address that does not begin with "http://", "https://" or "hcbrowser://" (in lower case) is
 * taken inside the extension's own directory. A non-empty `script` runs in the new page when
 * `run_script` is set. Nothing is answered. 1 sent, 0 refused. */
static inline int plexore_open_page(const plexore_host* host, const char* extension_id,
                                    long long frame, const char* url, int relative, int run_script,
                                    const char* script) {
  plexore_param p[7];
  p[0] = plexore_string_param(extension_id);
  p[1] = plexore_int64_param(frame);
  p[2] = plexore_string_param(url);
  p[3] = plexore_int_param(relative);
  p[4] = plexore_int_param(run_script);
  p[5] = plexore_string_param(script);
  p[6] = plexore_int_param(0);
  return host->send(host->context, PLEXORE_MSG_OPEN_PAGE, p, 7);
}

/* Asks for the information of the page shown in frame `frame` (PLEXORE_MSG_GET_PAGE_INFO).
 * Every frame handled answers with a PLEXORE_MSG_PAGE_INFO carrying `request` back; its last
 * string is the page's information (a JSON text with "title" and "url") when `with_text` is
 * set, else empty. An unknown frame is not answered. 1 sent, 0 refused. */
static inline int plexore_get_page_info(const plexore_host* host, const char* extension_id,
                                        long long frame, int with_text, const char* request) {
  plexore_param p[5];
  p[0] = plexore_string_param(extension_id);
  p[1] = plexore_int64_param(frame);
  p[2] = plexore_int64_param(0);
  p[3] = plexore_int_param(with_text);
  p[4] = plexore_string_param(request);
  return host->send(host->context, PLEXORE_MSG_GET_PAGE_INFO, p, 5);
}

/* Takes a PNG snapshot of the page shown in frame `frame` into the file `target`, an absolute
 * path whose directory exists (PLEXORE_MSG_SNAPSHOT_PAGE). Each frame handled answers with a
 * PLEXORE_MSG_REQUEST_ANSWER (id, frame, 1, target) once the file is written, or (id, -1, 0,
 * target) when the snapshot failed or could not start (a page takes one snapshot at a time;
 * a target that is relative, holds "..", or is a symbolic link is refused). 1 sent, 0
 * refused. */
static inline int plexore_snapshot_page(const plexore_host* host, const char* extension_id,
                                        long long frame, const char* target) {
  plexore_param p[4];
  p[0] = plexore_int64_param(frame);
  p[1] = plexore_string_param(extension_id);
  p[2] = plexore_int_param(0);
  p[3] = plexore_string_param(target);
  return host->send(host->context, PLEXORE_MSG_SNAPSHOT_PAGE, p, 4);
}

/* Passes `command` with two numbers to the extension's toolbar button (PLEXORE_MSG_UI_COMMAND;
 * the browser keeps the low 32 bits of each). Nothing is answered. 1 sent, 0 refused. */
static inline int plexore_post_ui_command(const plexore_host* host, const char* extension_id,
                                          long long value1, long long value2, const char* command) {
  plexore_param p[4];
  p[0] = plexore_string_param(extension_id);
  p[1] = plexore_int64_param(value1);
  p[2] = plexore_int64_param(value2);
  p[3] = plexore_string_param(command);
  return host->send(host->context, PLEXORE_MSG_UI_COMMAND, p, 4);
}

static inline void plexore_log(const plexore_host* host, int level, const char* text) {
  host->log(host->context, level, text);
}

#ifdef __cplusplus
}
#endif

#endif /* PLEXORE_NATIVE_EXTENSION_H_ */
