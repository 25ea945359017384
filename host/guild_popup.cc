#include "host/guild_popup.h"

#include <cstdio>

#include "common/json_escape.h"
#include "platform/strings.h"

namespace host {

CGuildPopup::LineWriter CGuildPopup::StdoutWriter() {
  return [](const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  };
}

HRESULT CGuildPopup::ShowMessage(BSTR text) { return Write("text", text); }

HRESULT CGuildPopup::ShowProgress(BSTR figure) { return Write("progress", figure); }

HRESULT CGuildPopup::OpenWindow(BSTR url) { return Write("window", url); }

HRESULT CGuildPopup::Write(const char* key, BSTR value) {
  const std::string line = std::string("{\"to\":\"popup\",\"") + key + "\":\"" +
                           halcy::Utf16ToUtf8(Logic::EscapeJsonText(value ? value : u"")) + "\"}";
  std::lock_guard<std::mutex> lock(lock_);
  if (writer_) writer_(line);
  return S_OK;
}

}  // namespace host
