// Recorders for what the extension manager calls: listeners, background cores, command hosts
// and the front end write what they receive into a journal, in arrival order and with the
// thread each call ran on. Thread-safe: the manager calls them from its threads while the test
// reads and waits.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "command/ext_cmd_host.h"
#include "extension/bk_core.h"
#include "extension/extension_mgr_listener.h"
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
  std::u16string receiver;       // "dll", "core:<id>", a host's name, "fe", "listener"
  std::u16string name;           // message, command or event; for "dll" the type as "0x%08X"
  std::u16string payload;        // payload or arguments; "<undecodable>" for a bad message
  std::u16string extension_id;   // hosts and the front end
  LONG number1 = 0;              // host: request context; front end: sink value 1
  LONG number2 = 0;              // front end: sink value 2
  std::vector<IpcParam> params;  // "dll" only
  DWORD thread_id = 0;
};

class Journal {
 public:
  // Records one receipt, on the calling thread.
  void Add(std::u16string receiver, std::u16string name, std::u16string payload = u"",
           std::u16string extension_id = u"", LONG number1 = 0, LONG number2 = 0,
           std::vector<IpcParam> params = {});
  // Waits until the journal holds `count` entries; false after ten seconds.
  bool WaitFor(size_t count);
  std::vector<JournalEntry> Entries();
  std::vector<JournalEntry> EntriesOf(const std::u16string& receiver);
  // The names of the entries that start with `prefix`.
  std::vector<std::u16string> Names(const std::u16string& prefix = u"");
  // The entries of `receiver` as texts: the name, the payload unless empty, the extension id
  // unless empty, the two numbers unless both are 0, the parameters ("s:<text>", "n:<number>").
  std::vector<std::u16string> Texts(const std::u16string& receiver);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<JournalEntry> entries_;  // Guarded by mutex_
};

// A background core, command host, front end and manager listener in one: every call goes into
// the journal under `name` ("fe" for the front end); commands are answered with `result`.
// Listener events are named "FirstReady", "List:<ids>" and "State:<id>=<0|1>".
class RecordingCore : public halcy::ComObjectRoot,
                      public Logic::IExtBackgroundCore,
                      public Logic::IExtCmdHost,
                      public Logic::IFrontEndSinkService,
                      public Logic::IExtensionMgrListener {
 public:
  HALCY_BEGIN_INTERFACES(RecordingCore)
  HALCY_INTERFACE(RecordingCore, Logic::IExtBackgroundCore)
  HALCY_INTERFACE(RecordingCore, Logic::IExtCmdHost)
  HALCY_INTERFACE(RecordingCore, Logic::IFrontEndSinkService)
  HALCY_INTERFACE(RecordingCore, Logic::IExtensionMgrListener)
  HALCY_END_INTERFACES()

  RecordingCore(std::u16string name, std::shared_ptr<Journal> journal, HRESULT result = S_OK)
      : name_(std::move(name)), journal_(std::move(journal)), result_(result) {}
  Journal& journal() { return *journal_; }

  HRESULT DeliverMessage(BSTR name, BSTR payload) override {
    journal_->Add(name_, Text(name), Text(payload));
    return S_OK;
  }
  HRESULT Close() override {
    journal_->Add(name_, u"close");
    return S_OK;
  }
  HRESULT HandleCommand(BSTR id, BSTR command, BSTR arguments, LONG context) override {
    journal_->Add(name_, Text(command), Text(arguments), Text(id), context);
    return result_;
  }
  HRESULT DeliverToFrontEnd(LONG value1, LONG value2, BSTR id, BSTR command,
                            BSTR arguments) override {
    journal_->Add(u"fe", Text(command), Text(arguments), Text(id), value1, value2);
    return S_OK;
  }
  HRESULT OnFirstReady() override { return Event(u"FirstReady"); }
  HRESULT OnLocalExtensionList(BSTR ids) override { return Event(u"List:" + Text(ids)); }
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT OnDllProcessState(BOOL) override { return E_NOTIMPL; }
  HRESULT OnExtensionStateChanged(BSTR id, LONG state) override {
    return Event(u"State:" + Text(id) + (state ? u"=1" : u"=0"));
  }

 private:
  HRESULT Event(std::u16string name) {
    journal_->Add(name_, std::move(name));
    return S_OK;
  }

  const std::u16string name_;
  const std::shared_ptr<Journal> journal_;
  const HRESULT result_;
};

}  // namespace extension_testing
