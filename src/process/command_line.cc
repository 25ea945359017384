#include "process/command_line.h"

#include <utility>

#include "platform/strings.h"

namespace Logic {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

std::u16string Trimmed(const std::u16string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

CCommandLine::CCommandLine(std::u16string program) : program_(std::move(program)) {}

void CCommandLine::AppendSwitch(const std::u16string& name, const std::u16string& value) {
  switches_[name] = value;
  dirty_ = true;
}

void CCommandLine::AppendLooseValue(const std::u16string& value) {
  loose_values_.push_back(value);
  dirty_ = true;
}

const std::u16string& CCommandLine::GetCommandLineString() {
  if (!dirty_ && !command_line_.empty()) return command_line_;
  std::u16string line = u"\"" + program_ + u"\"";
  for (const auto& [name, value] : switches_) {
    line += halcy::StringPrintf(u" %s%s%s%s", u"--", name.c_str(), u"=", value.c_str());
  }
  for (const std::u16string& value : loose_values_) {
    line += halcy::StringPrintf(u" %s \"%s\"", u"--", value.c_str());
  }
  command_line_ = Trimmed(line);
  dirty_ = false;
  return command_line_;
}

}  // namespace Logic
