// The texts message routing builds around what it carries: the front-end envelope, the payload
// a background page receives for an event, and the payload of a named event. Each inserts the
// given JSON text unchanged, so the result is JSON exactly when that text is.
//
//   FEEnvelope(3, u"tab", u"{\"a\":1}", 4, 5)
//       == u"{\"fecmd\":{\"a\":1}, \"fecmdContext\":\"3, tab, 4, 5\"}"
//   BackgroundPagePayload(u"ev", u"{}")
//       == u"{ \"result\":\"ok\", \"content\":{\"eventname\":\"ev\", \"eventdetails\":{}}}"
//   NamedEventPayload(u"") == u"{ \"result\":\"ok\", \"content\":\"\"}"
//
// Pure functions: safe from any thread.
#pragma once

#include <string>

#include "platform/win_types.h"

namespace Logic {

// The name of the message a background page receives for every routed event.
inline constexpr char16_t kBackgroundPageMessage[] = u"hcbrowser.extension.notify";
// The command under which a front-end command travels to an extension.
inline constexpr char16_t kFEToLibCommand[] = u"extension.invoke.fe.toLibAsync";

// {"fecmd":<fe_command>, "fecmdContext":"<number>, <text>, <number2>, <number3>"}
std::u16string FEEnvelope(LONG number, const std::u16string& text, const std::u16string& fe_command,
                          LONG number2, LONG number3);

// { "result":"ok", "content":{"eventname":"<event_name>", "eventdetails":<event_details>}}
std::u16string BackgroundPagePayload(const std::u16string& event_name,
                                     const std::u16string& event_details);

// { "result":"ok", "content":<payload>}, with "" standing for an empty payload.
std::u16string NamedEventPayload(const std::u16string& payload);

}  // namespace Logic
