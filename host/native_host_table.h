// The process side of the SDK's calls (include/plexore/native_extension.h): turning a message
// for a library into its plexore_param list, and checking and turning a library's send into
// an IPC message.
//
//   CLibraryParams params(values);  // values read from an incoming message
//   library->Message(type, params.data(), params.count());
//
//   std::string why;
//   IPC::CMessage* m = BuildLibraryMessage(type, params, count, u"weatherdesk", &why);
//   if (!m) return 0;  // refused
//
// Pure functions and a value type: safe from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ipc/ipc_message.h"
#include "ipc/ipc_message_values.h"
#include "plexore/native_extension.h"

namespace host {

// The parameters of one call of plexore_extension_message, owning their UTF-8 texts. A string
// with U+0000 in it reaches the library cut at that character.
class CLibraryParams {
 public:
  explicit CLibraryParams(const std::vector<IPC::MessageValue>& values);
  CLibraryParams(const CLibraryParams&) = delete;
  CLibraryParams& operator=(const CLibraryParams&) = delete;

  const plexore_param* data() const { return params_.empty() ? nullptr : params_.data(); }
  int count() const { return static_cast<int>(params_.size()); }

 private:
  std::vector<std::string> texts_;
  std::vector<plexore_param> params_;  // point into texts_
};

// The message (asynchronous, routing id 0) that a library's send asks for, owned by the caller;
// null with the reason in `why` when it is refused: `type` is not one a library may send,
// `params` does not match its shape kind by kind and in count, a string is null or not UTF-8,
// a PLEXORE_INT does not fit 32 bits, or the parameter that names the sending extension is not
// `own_id` (a library speaks only for its own extension).
IPC::CMessage* BuildLibraryMessage(unsigned type, const plexore_param* params, int count,
                                   std::u16string_view own_id, std::string* why);

}  // namespace host
