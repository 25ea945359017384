// Recorders for the message-routing tests: the extension-DLL host, background cores, command
// hosts and the front end all write what they receive into one shared journal, in arrival
// order and with the thread each call ran on, so that a test can check order across
// receivers. Messages for the DLL host are decoded by their type's parameter shape.
//
// Thread-safe: receivers are called on the manager's threads while the test reads and waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "command/ext_cmd_host.h"
#include "extension/bk_core.h"
#include "extension/dll_host_slot.h"
#include "extension/extension_test_util.h"
#include "extension/fe_sink_service.h"
#include "platform/com_object.h"

namespace extension_testing {

// One decoded parameter of an IPC message: a number (int or int64) or a string.
struct IpcParam {
  bool is_string = false;
  int64_t number = 0;
  std::u16string text;
  bool operator==(const IpcParam&) const = default;
};
IpcParam Num(int64_t value);
IpcParam Str(std::u16string value);

struct JournalEntry {
  std::u16string receiver;       // "dll", a core's or host's name, "fe"
  std::u16string name;           // message or command name; for "dll" the type as "0x%08X"
  std::u16string payload;        // payload or arguments
  std::u16string extension_id;   // hosts and the front end
  LONG number1 = 0;              // host: request context; front end: sink value 1
  LONG number2 = 0;              // front end: sink value 2
  std::vector<IpcParam> params;  // "dll" only
  DWORD thread_id = 0;
};

class Journal {
 public:
  // Records one receipt, on the calling thread.
  void Add(std::u16string receiver, std::u16string name, std::u16string payload,
           std::u16string extension_id = u"", LONG number1 = 0, LONG number2 = 0,
           std::vector<IpcParam> params = {});
  // Waits until the journal holds `count` entries; false after `limit`.
  bool WaitFor(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
  std::vector<JournalEntry> Entries();
  std::vector<JournalEntry> EntriesOf(const std::u16string& receiver);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<JournalEntry> entries_;  // Guarded by mutex_
};

// Decodes the parameters of a message to the DLL process by its type; empty params and false
// when the type is unknown or the payload does not read in full (or has bytes left over).
bool DecodeDllMessage(const IPC::CMessage& message, std::vector<IpcParam>* params);

class RecordingDllSender : public Logic::IDllHostSender {
 public:
  explicit RecordingDllSender(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
  bool Send(IPC::CMessage* message) override;

 private:
  const std::shared_ptr<Journal> journal_;
};

class RecordingCore : public halcy::ComObjectRoot, public Logic::IExtBackgroundCore {
 public:
  HALCY_BEGIN_INTERFACES(RecordingCore)
  HALCY_INTERFACE(RecordingCore, Logic::IExtBackgroundCore)
  HALCY_END_INTERFACES()

  RecordingCore(std::u16string name, std::shared_ptr<Journal> journal)
      : name_(std::move(name)), journal_(std::move(journal)) {}
  HRESULT DeliverMessage(BSTR name, BSTR payload) override {
    journal_->Add(name_, Text(name), Text(payload));
    return S_OK;
  }

 private:
  const std::u16string name_;
  const std::shared_ptr<Journal> journal_;
};

// Answers every command with `result`.
class RecordingCmdHost : public halcy::ComObjectRoot, public Logic::IExtCmdHost {
 public:
  HALCY_BEGIN_INTERFACES(RecordingCmdHost)
  HALCY_INTERFACE(RecordingCmdHost, Logic::IExtCmdHost)
  HALCY_END_INTERFACES()

  RecordingCmdHost(std::u16string name, HRESULT result, std::shared_ptr<Journal> journal)
      : name_(std::move(name)), result_(result), journal_(std::move(journal)) {}
  HRESULT HandleCommand(BSTR extension_id, BSTR command, BSTR arguments,
                        LONG request_context) override {
    journal_->Add(name_, Text(command), Text(arguments), Text(extension_id), request_context);
    return result_;
  }

 private:
  const std::u16string name_;
  const HRESULT result_;
  const std::shared_ptr<Journal> journal_;
};

class RecordingFrontEnd : public halcy::ComObjectRoot, public Logic::IFrontEndSinkService {
 public:
  HALCY_BEGIN_INTERFACES(RecordingFrontEnd)
  HALCY_INTERFACE(RecordingFrontEnd, Logic::IFrontEndSinkService)
  HALCY_END_INTERFACES()

  explicit RecordingFrontEnd(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
  HRESULT DeliverToFrontEnd(LONG value1, LONG value2, BSTR extension_id, BSTR command,
                            BSTR arguments) override {
    journal_->Add(u"fe", Text(command), Text(arguments), Text(extension_id), value1, value2);
    return S_OK;
  }

 private:
  const std::shared_ptr<Journal> journal_;
};

}  // namespace extension_testing
