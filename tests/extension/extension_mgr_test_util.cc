#include "extension/extension_mgr_test_util.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <future>

#include "common/paths.h"
#include "module/module.h"
#include "permission/permission_mgr.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "platform/strings.h"

namespace extension_testing {

StoreRecord Record(const std::u16string& id, LONG state, LONG flags) {
  return {id, state, flags, u"hcextdbpath/" + id,
          u"{\"name\":\"" + id + u"\",\"version\":\"1.0\"}"};
}

std::string StoreText(const std::vector<StoreRecord>& records) {
  host::ExtensionRecords map;
  for (const StoreRecord& record : records) map[record.id] = record;
  return host::SerializeExtensionRecords(map);
}

ExtensionMgrFixture::ExtensionMgrFixture() {
  halcy::CreatableClass agent;
  agent.create = [](REFIID iid, void** out) {
    return halcy::CreateComInstance<Logic::CCoExtensionAgent>(nullptr, iid, out);
  };
  registrations_.PublishClass(Logic::IExtensionAgent::kIID, std::move(agent));
  host_.ReplaceService(
      Logic::IPermissionMgr::kIID,
      static_cast<Logic::IPermissionMgr*>(halcy::MakeComObject<Logic::CCoPermissionMgr>().Get()));
  host_.ReplaceService(Logic::IFrontEndSinkService::kIID,
                       static_cast<Logic::IFrontEndSinkService*>(
                           halcy::MakeComObject<RecordingCore>(u"fe", journal_).Get()));
}

void ExtensionMgrFixture::Start(const std::vector<StoreRecord>& records, int listener_kind,
                                bool database, size_t events) {
  if (database) PutRecords(records);
  mgr_ = NewMgr();
  ASSERT_TRUE(mgr_);
  listener_ = ListenOn(mgr_.Get(), listener_kind);
  SwitchAndWait(mgr_.Get(), listener_.Get(), events);
  impl()->dll_host().Set(std::make_shared<RecordingDllSender>(journal_));
}

ComPtr<Logic::IExtensionAgent> ExtensionMgrFixture::Agent(const std::u16string& id) {
  ComPtr<Logic::IExtensionAgent> agent;
  halcy::ScopedBstr bid(id);
  mgr_->GetExtensionAgent(bid.Get(), agent.ReleaseAndGetAddressOf());
  return agent;
}

ComPtr<Logic::IExtensionMgr> ExtensionMgrFixture::NewMgr() {
  constexpr int kMgrClassIndex = 5;  // CCoExtensionMgr in the module's class table
  ComPtr<Logic::IExtensionMgr> mgr;
  EXPECT_EQ(S_OK, Logic::CreateClassInstance(kMgrClassIndex, nullptr, Logic::IExtensionMgr::kIID,
                                             mgr.ReleaseAndGetVoidAddress()));
  return mgr;
}

ComPtr<RecordingCore> ExtensionMgrFixture::ListenOn(Logic::IExtensionMgr* mgr, int kind) {
  auto listener = halcy::MakeComObject<RecordingCore>(u"listener", std::make_shared<Journal>());
  host_.RunOn(kind,
              [&] { EXPECT_EQ(S_OK, mgr->AddListenerOnCallingThread(nullptr, listener.Get())); });
  return listener;
}

void ExtensionMgrFixture::SwitchAndWait(Logic::IExtensionMgr* mgr, RecordingCore* listener,
                                        size_t events) {
  ASSERT_EQ(S_OK, mgr->SwitchUser());
  ASSERT_TRUE(listener->journal().WaitFor(events));
  ASSERT_TRUE(host_.WaitIdle());
}

ComPtr<RecordingCore> ExtensionMgrFixture::AddCore(const std::u16string& extension_id,
                                                   int owner_kind, LONG routing_handle) {
  auto core = halcy::MakeComObject<RecordingCore>(u"core:" + extension_id, journal_);
  const DWORD owner = host_.ThreadId(owner_kind);
  host_.RunOn(Thread::kThreadExtensionManager, [&] {
    impl()->InsertBKCoreInfoInExtMgrThread(ComPtr<Logic::IExtBackgroundCore>(core.Get()), owner, 0,
                                           0, extension_id, routing_handle);
  });
  return core;
}

ComPtr<RecordingCore> ExtensionMgrFixture::AddCmdHost(const std::u16string& name, HRESULT result) {
  auto host = halcy::MakeComObject<RecordingCore>(name, journal_, result);
  EXPECT_EQ(S_OK, mgr_->RegisterCmdHost(static_cast<Logic::IExtCmdHost*>(host.Get())));
  return host;
}

HRESULT ExtensionMgrFixture::Receive(const std::u16string& extension_id,
                                     const std::u16string& command, const std::u16string& arguments,
                                     LONG request_context) {
  return host_.RunOn(Thread::kThreadExtensionManager, [&] {
    return impl()->ReceiveFromExtension(extension_id, command, arguments, request_context);
  });
}

std::u16string ExtensionMgrFixture::ExtensionDir(const std::string& name, const char* manifest) {
  const std::string dir = env_.appdata() + "/sources/" + name;
  std::filesystem::create_directories(dir);
  if (manifest) testing_support::WriteFileOrDie(dir + "/manifest.json", manifest);
  return halcy::Utf8ToUtf16(dir);
}

HRESULT ExtensionMgrFixture::Install(const std::u16string& id, const std::u16string& dir,
                                     LONG state, bool update) {
  std::promise<HRESULT> result;
  auto done = [&result](const std::u16string&, HRESULT hr) { result.set_value(hr); };
  const HRESULT posted = update ? impl()->PostUpdateExtension(id, 0, state, dir, done)
                                : impl()->PostInstallExtension(id, 0, state, dir, done);
  return posted == S_OK ? result.get_future().get() : posted;
}

void ExtensionMgrFixture::PutRecords(const std::vector<StoreRecord>& records) {
  std::filesystem::create_directories(UserExtensionsDir());
  for (const StoreRecord& record : records) {
    std::filesystem::create_directory(UserExtensionsDir() + "/" + halcy::Utf16ToUtf8(record.id));
  }
  testing_support::WriteFileOrDie(UserExtensionsDir() + "/extdb_v2.json", StoreText(records));
}

host::ExtensionRecords ExtensionMgrFixture::StoredRecords() {
  host::ExtensionRecords records;
  host::ParseExtensionRecords(
      testing_support::ReadFileOrEmpty(UserExtensionsDir() + "/extdb_v2.json"), &records);
  return records;
}

std::string ExtensionMgrFixture::UserExtensionsDir() const {
  return halcy::ToNativePath(DataDirectoryText());
}

std::u16string ExtensionMgrFixture::DataDirectoryText() const {
  std::u16string root;
  EXPECT_TRUE(Logic::GetDataRoot(&root));
  std::u16string text = root + u"SysData\\localextensions";
  std::replace(text.begin(), text.end(), u'/', u'\\');
  return text;
}

void ExtensionMgrFixture::WriteConverter(const std::string& script) {
  const std::string path = env_.browser_dir() + "/Pellwick.exe";
  testing_support::WriteFileOrDie(path, "#!/bin/sh\n" + script);
  chmod(path.c_str(), 0755);
}

std::vector<std::string> ExtensionMgrFixture::StatisticsLines() const {
  std::vector<std::string> lines;
  for (const std::string& line : testing_support::SplitLines(
           testing_support::ReadFileOrEmpty(UserExtensionsDir() + "/../statistics.jsonl"))) {
    lines.push_back("{" + line.substr(line.find("\"category\"")));
  }
  return lines;
}

}  // namespace extension_testing
