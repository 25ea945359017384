#include "extension/routing_payloads.h"

#include "platform/strings.h"

namespace Logic {

std::u16string FEEnvelope(LONG number, const std::u16string& text, const std::u16string& fe_command,
                          LONG number2, LONG number3) {
  const std::u16string context =
      halcy::StringPrintf(u"%d, %s, %d, %d", number, text.c_str(), number2, number3);
  std::u16string envelope = u"{\"fecmd\":";
  envelope += fe_command;
  envelope += u", \"fecmdContext\":\"";
  envelope += context;
  envelope += u"\"}";
  return envelope;
}

std::u16string BackgroundPagePayload(const std::u16string& event_name,
                                     const std::u16string& event_details) {
  std::u16string payload = u"{ \"result\":\"ok\", \"content\":{\"eventname\":\"";
  payload += event_name;
  payload += u"\", \"eventdetails\":";
  payload += event_details;
  payload += u"}}";
  return payload;
}

std::u16string NamedEventPayload(const std::u16string& payload) {
  std::u16string text = u"{ \"result\":\"ok\", \"content\":";
  text += payload.empty() ? std::u16string(u"\"\"") : payload;
  text += u'}';
  return text;
}

}  // namespace Logic
