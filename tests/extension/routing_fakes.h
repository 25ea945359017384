// The recorder of the messages for the extension-DLL host: each goes into the journal as a
// "dll" entry, decoded by its type's parameter shape. Thread-safe.
#pragma once

#include <memory>

#include "extension/dll_host_slot.h"
#include "extension/extension_mgr_fakes.h"

namespace extension_testing {

class RecordingDllSender : public Logic::IDllHostSender {
 public:
  explicit RecordingDllSender(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
  bool Send(IPC::CMessage* message) override;

 private:
  const std::shared_ptr<Journal> journal_;
};

}  // namespace extension_testing
