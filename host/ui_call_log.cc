#include "host/ui_call_log.h"

#include <cstdio>

#include "common/json_escape.h"
#include "platform/strings.h"

namespace host {

std::string JsonQuoted(std::u16string_view text) {
  return "\"" + halcy::Utf16ToUtf8(Logic::EscapeJsonText(text)) + "\"";
}

CUiCallLog::LineWriter CUiCallLog::StdoutWriter() {
  return [](const std::string& line) {
    const std::string whole = line + "\n";
    std::fwrite(whole.data(), 1, whole.size(), stdout);
    std::fflush(stdout);
  };
}

void CUiCallLog::SetWriter(LineWriter writer) {
  std::lock_guard<std::mutex> hold(lock_);
  writer_ = std::move(writer);
}

bool CUiCallLog::HasWriter() {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<bool>(writer_);
}

void CUiCallLog::Record(std::string_view call, const std::vector<UiArg>& args) {
  std::lock_guard<std::mutex> hold(lock_);
  if (!writer_) return;  // nobody reads the lines: nothing to format
  std::string line = "{\"to\":\"ui\",\"call\":\"";
  line += call;
  line += "\",\"args\":[";
  bool first = true;
  for (const UiArg& arg : args) {
    if (!first) line += ",";
    first = false;
    line += arg.json();
  }
  line += "]}";
  writer_(line);
}

}  // namespace host
