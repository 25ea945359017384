// The install guide's pop-up (update/guild_popup.h) as the browser stand-in shows it: each call
// becomes one JSON line, the way the host's other UI stand-ins print theirs:
//   {"to":"popup","text":"..."}       a message
//   {"to":"popup","progress":"42"}    the download's figure
//   {"to":"popup","window":"URL"}     a new window opened on URL
// The host registers one that writes to standard output; tests give it a writer of their own.
//
//   auto popup = halcy::MakeComObject<host::CGuildPopup>(host::CGuildPopup::StdoutWriter());
//
// Free-threaded: the writer is called once per line, under the pop-up's lock, so lines never
// interleave.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "platform/com.h"
#include "platform/com_object.h"
#include "update/guild_popup.h"

namespace host {

class CGuildPopup : public halcy::ComObjectRoot, public Logic::IGuildPopup {
 public:
  HALCY_BEGIN_INTERFACES(CGuildPopup)
  HALCY_INTERFACE(CGuildPopup, Logic::IGuildPopup)
  HALCY_END_INTERFACES()

  using LineWriter = std::function<void(const std::string& line)>;
  // Writes the line and a line feed to standard output and flushes.
  static LineWriter StdoutWriter();

  explicit CGuildPopup(LineWriter writer) : writer_(std::move(writer)) {}

  HRESULT ShowMessage(BSTR text) override;
  HRESULT ShowProgress(BSTR figure) override;
  HRESULT OpenWindow(BSTR url) override;

 private:
  HRESULT Write(const char* key, BSTR value);

  std::mutex lock_;
  const LineWriter writer_;  // called under lock_
};

}  // namespace host
