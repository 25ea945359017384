// LogCapture records every line written to the log controller while it lives, so that tests
// can assert on the system's log texts. Lines may arrive from any thread.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/log_controller.h"

namespace testing_support {

struct LogLine {
  int level;
  std::u16string tag;
  std::u16string text;
};

class LogCapture final : public halcy::LogObserver {
 public:
  LogCapture();
  ~LogCapture();

  std::vector<LogLine> Lines() const;
  // Lines whose tag equals `tag`.
  std::vector<LogLine> LinesWithTag(const std::u16string& tag) const;
  bool Contains(const std::u16string& text) const;

  void OnLogLine(int level, std::u16string_view tag, std::u16string_view text) override;

 private:
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;  // Guarded by mutex_
};

}  // namespace testing_support
