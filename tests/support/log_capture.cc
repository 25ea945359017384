#include "support/log_capture.h"

namespace testing_support {

LogCapture::LogCapture() { halcy::GetLogController()->AddObserver(this); }
LogCapture::~LogCapture() { halcy::GetLogController()->RemoveObserver(this); }

void LogCapture::OnLogLine(int level, std::u16string_view tag, std::u16string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back({level, std::u16string(tag), std::u16string(text)});
}

std::vector<LogLine> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<LogLine> LogCapture::LinesWithTag(const std::u16string& tag) const {
  std::vector<LogLine> out;
  for (LogLine& l : Lines()) {
    if (l.tag == tag) out.push_back(std::move(l));
  }
  return out;
}

bool LogCapture::Contains(const std::u16string& text) const {
  for (const LogLine& l : Lines()) {
    if (l.text.find(text) != std::u16string::npos) return true;
  }
  return false;
}

}  // namespace testing_support
