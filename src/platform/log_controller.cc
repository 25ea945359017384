#include "platform/log_controller.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/strings.h"

namespace halcy {
namespace {

constexpr int kDefaultLevel = 64;
thread_local int t_indent = 0;
thread_local int t_delivering = 0;  // inside observer calls on this thread

class LogController final : public ILogController {
 public:
  LogController() {
    const char* env = std::getenv("HALCY_LOG");
    Configure(env ? env : "stderr:64");
  }

  bool Configure(std::string_view config) override {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseFile();
    enabled_ = false;
    min_level_ = kDefaultLevel;
    tags_.clear();
    if (config == "off") return true;
    size_t c1 = config.find(':');
    std::string_view sink = config.substr(0, c1);
    if (c1 != std::string_view::npos) {
      std::string_view rest = config.substr(c1 + 1);
      size_t c2 = rest.find(':');
      std::string level(rest.substr(0, c2));
      if (!level.empty()) min_level_ = std::atoi(level.c_str());
      if (c2 != std::string_view::npos) ParseTags(rest.substr(c2 + 1));
    }
    if (sink.empty() || sink == "stderr") {
      file_ = stderr;
    } else {
      file_ = std::fopen(std::string(sink).c_str(), "a");
      if (!file_) {
        std::fprintf(stderr, "halcy log: cannot open %.*s\n", static_cast<int>(sink.size()),
                     sink.data());
        return false;
      }
      owns_file_ = true;
    }
    enabled_ = true;
    return true;
  }

  void Flush() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_) std::fflush(file_);
  }

  bool IsEnabled(int level, const char16_t* tag) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return !observers_.empty() || SinkAccepts(level, tag);
  }

  void Write(int level, const char16_t* tag, const char16_t* text) override {
    if (!tag) tag = u"";
    if (!text) text = u"";
    std::vector<LogObserver*> observers;
    uint64_t delivery = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      observers = observers_;
      if (SinkAccepts(level, tag)) WriteLine(level, tag, text);
      if (observers.empty()) return;
      delivery = next_delivery_++;
      deliveries_.insert(delivery);
    }
    ++t_delivering;
    for (LogObserver* o : observers) o->OnLogLine(level, tag, text);
    --t_delivering;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      deliveries_.erase(deliveries_.find(delivery));
    }
    delivered_.notify_all();
  }

  void AddObserver(LogObserver* observer) override {
    std::lock_guard<std::mutex> lock(mutex_);
    observers_.push_back(observer);
  }
  // Returns once no call to `observer` is running on another thread: deliveries that began
  // before the removal are waited for (those that begin after it no longer see it). From
  // inside a delivery on this thread it cannot wait for itself and returns at once.
  void RemoveObserver(LogObserver* observer) override {
    std::unique_lock<std::mutex> lock(mutex_);
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
    if (t_delivering > 0) return;
    const uint64_t boundary = next_delivery_;
    delivered_.wait(lock, [&] { return deliveries_.empty() || *deliveries_.begin() >= boundary; });
  }

  int MinimumLevel() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return min_level_;
  }
  int IndentDepth() const override { return t_indent; }
  void Indent() override { ++t_indent; }
  void Unindent() override {
    if (t_indent > 0) --t_indent;
  }

 private:
  // REQUIRES: mutex_ held.
  bool SinkAccepts(int level, const char16_t* tag) const {
    if (!enabled_ || level < min_level_) return false;
    if (tags_.empty()) return true;
    std::u16string_view t(tag ? tag : u"");
    return std::find(tags_.begin(), tags_.end(), t) != tags_.end();
  }

  void ParseTags(std::string_view list) {
    std::u16string all = Utf8ToUtf16(list);
    size_t start = 0;
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i] == u';') {
        tags_.push_back(all.substr(start, i - start + 1));
        start = i + 1;
      }
    }
  }

  // REQUIRES: mutex_ held.
  void WriteLine(int level, const char16_t* tag, const char16_t* text) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts;
    localtime_r(&ts.tv_sec, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &parts);
    std::string line = Utf16ToUtf8(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::fprintf(file_, "%s.%03ld [%ld] %d %s %*s%s\n", stamp, ts.tv_nsec / 1000000,
                 static_cast<long>(syscall(SYS_gettid)), level, Utf16ToUtf8(tag).c_str(),
                 2 * t_indent, "", line.c_str());
    if (owns_file_) std::fflush(file_);
  }

  void CloseFile() {
    if (owns_file_ && file_) std::fclose(file_);
    file_ = nullptr;
    owns_file_ = false;
  }

  mutable std::mutex mutex_;
  // Guarded by mutex_
  bool enabled_ = false;
  int min_level_ = kDefaultLevel;
  std::vector<std::u16string> tags_;
  FILE* file_ = nullptr;
  bool owns_file_ = false;
  std::vector<LogObserver*> observers_;
  uint64_t next_delivery_ = 0;
  std::set<uint64_t> deliveries_;  // deliveries to observers still running
  std::condition_variable delivered_;
};

}  // namespace

ILogController* GetLogController() {
  static LogController* controller = new LogController();  // lives until exit, by design
  return controller;
}

}  // namespace halcy
