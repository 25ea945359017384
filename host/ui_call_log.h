// The record of the calls the module makes on the browser's UI stand-ins (the extension-point
// manager, windows, menus, popups, pages): one JSON line per call,
//   {"to":"ui","call":"NAME","args":[...]}
// NAME is the operation's name in its interface header; the arguments come in order, numbers
// as numbers and strings (JSON texts included) as strings. Scenario users read what the
// browser showed from these lines.
//
//   auto log = std::make_shared<host::CUiCallLog>(host::CUiCallLog::StdoutWriter());
//   (the host's services keep one that writes nowhere until a scenario gives it a writer)
//   log->Record("ShowBubble", {point, extension_id, frame_id});
//
// Free-threaded: the writer is called once per line under the log's lock, so lines never
// interleave and keep the order of the calls.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// `text` as a JSON string (quotation marks included), UTF-8: quotation mark and backslash
// escaped, BS FF LF CR TAB as \b \f \n \r \t, other code units below U+0020 as \u00XX.
std::string JsonQuoted(std::u16string_view text);

// A window handle as the number a recorded call shows for it.
inline int64_t HandleArg(void* handle) {
  return static_cast<int64_t>(reinterpret_cast<uintptr_t>(handle));
}

// One argument of a recorded call: a number or a string (a null string is written as "").
// It keeps the value as given; the JSON form is made only when a line is written, so that a
// log without a writer costs a copy and no formatting.
class UiArg {
 public:
  UiArg(int64_t number) : number_(number), is_text_(false) {}  // NOLINT: implicit by design
  UiArg(int number) : UiArg(static_cast<int64_t>(number)) {}
  UiArg(const char16_t* text) : text_(text ? text : u"") {}
  UiArg(std::u16string_view text) : text_(text) {}
  UiArg(const std::u16string& text) : text_(text) {}
  std::string json() const { return is_text_ ? JsonQuoted(text_) : std::to_string(number_); }

 private:
  std::u16string text_;
  int64_t number_ = 0;
  bool is_text_ = true;
};

class CUiCallLog {
 public:
  using LineWriter = std::function<void(const std::string& line)>;
  // Writes the line and a line feed to standard output in one write, and flushes.
  static LineWriter StdoutWriter();

  explicit CUiCallLog(LineWriter writer = LineWriter()) : writer_(std::move(writer)) {}
  // Replaces the writer (an empty one drops the lines); returns when no call uses the old one.
  void SetWriter(LineWriter writer);
  void Record(std::string_view call, const std::vector<UiArg>& args);
  // Whether lines are written now: a caller with costly arguments may skip Record without one.
  bool HasWriter();

 private:
  std::mutex lock_;
  LineWriter writer_;  // Guarded by lock_; called under it
};

}  // namespace host
