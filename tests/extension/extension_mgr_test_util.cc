#include "extension/extension_mgr_test_util.h"

#include <sys/stat.h>

#include <filesystem>
#include <future>

#include "common/paths.h"
#include "extension/extension_agent.h"
#include "host/channel_info.h"
#include "host/statistics_service.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "platform/strings.h"
#include "platform/system_paths.h"
#include "support/temp_env.h"

namespace extension_testing {
namespace {

constexpr int kMgrClassIndex = 5;  // CCoExtensionMgr in the module's class table

std::string StoreText(const std::vector<StoreRecord>& records) {
  host::ExtensionRecords map;
  for (const StoreRecord& record : records) map[record.id] = record;
  return host::SerializeExtensionRecords(map);
}

}  // namespace

StoreRecord Record(const std::u16string& id, LONG state, LONG flags) {
  return {id, state, flags, u"hcextdbpath/" + id,
          u"{\"name\":\"" + id + u"\",\"version\":\"1.0\"}"};
}

ExtensionMgrFixture::ExtensionMgrFixture() {
  halcy::CreatableClass agent;
  agent.create = [](REFIID iid, void** out) {
    return halcy::CreateComInstance<Logic::CCoExtensionAgent>(nullptr, iid, out);
  };
  registrations_.PublishClass(Logic::IExtensionAgent::kIID, std::move(agent));
  statistics_ = halcy::MakeComObject<RecordingStatistics>(host_.services().statistics_service());
  host_.ReplaceService(Logic::IStatisticsService::kIID, statistics_.Get());
}

void ExtensionMgrFixture::TearDown() { EXPECT_TRUE(host_.WaitIdle()); }

void ExtensionMgrFixture::Start(const std::vector<StoreRecord>& records, int listener_kind) {
  PutRecords(records);
  mgr_ = NewMgr();
  ASSERT_TRUE(mgr_);
  listener_ = ListenOn(mgr_.Get(), listener_kind);
  SwitchAndWait(mgr_.Get(), listener_.Get(), 2);
}

Logic::CExtensionMgrImpl* ExtensionMgrFixture::impl() const {
  return static_cast<Logic::CCoExtensionMgr*>(mgr_.Get())->impl();
}

ComPtr<Logic::IExtensionAgent> ExtensionMgrFixture::Agent(const std::u16string& id) {
  ComPtr<Logic::IExtensionAgent> agent;
  halcy::ScopedBstr bid(id);
  mgr_->GetExtensionAgent(bid.Get(), agent.ReleaseAndGetAddressOf());
  return agent;
}

ComPtr<Logic::IExtensionMgr> ExtensionMgrFixture::NewMgr() {
  ComPtr<Logic::IExtensionMgr> mgr;
  EXPECT_EQ(S_OK, Logic::CreateClassInstance(kMgrClassIndex, nullptr, Logic::IExtensionMgr::kIID,
                                             mgr.ReleaseAndGetVoidAddress()));
  return mgr;
}

ComPtr<RecordingListener> ExtensionMgrFixture::ListenOn(Logic::IExtensionMgr* mgr, int kind) {
  ComPtr<RecordingListener> listener = halcy::MakeComObject<RecordingListener>();
  host_.RunOn(kind,
              [&] { EXPECT_EQ(S_OK, mgr->AddListenerOnCallingThread(nullptr, listener.Get())); });
  return listener;
}

void ExtensionMgrFixture::SwitchAndWait(Logic::IExtensionMgr* mgr, RecordingListener* listener,
                                        size_t events) {
  ASSERT_EQ(S_OK, mgr->SwitchUser());
  ASSERT_TRUE(listener->WaitForEvents(events));
  ASSERT_TRUE(host_.WaitIdle());
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
  for (const StoreRecord& record : records) {
    std::filesystem::create_directories(UserExtensionsDir() + "/" + halcy::Utf16ToUtf8(record.id));
  }
  std::filesystem::create_directories(UserExtensionsDir());
  testing_support::WriteFileOrDie(UserExtensionsDir() + "/extdb_v2.json", StoreText(records));
}

host::ExtensionRecords ExtensionMgrFixture::StoredRecords() {
  host::ExtensionRecords records;
  host::ParseExtensionRecords(
      testing_support::ReadFileOrEmpty(UserExtensionsDir() + "/extdb_v2.json"), &records);
  return records;
}

void ExtensionMgrFixture::PutCacheEntry(const std::u16string& name,
                                        const std::vector<std::u16string>& values) {
  ComPtr<Logic::ICacheStore> cache;
  ASSERT_EQ(S_OK, host_.services().channel_info()->GetCacheStore(cache.ReleaseAndGetAddressOf()));
  ComPtr<IStringList> list;
  Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress());
  for (const std::u16string& value : values) list->Append(value.c_str());
  ASSERT_EQ(S_OK, cache->WriteEntry(name.c_str(), list.Get()));
}

std::vector<std::u16string> ExtensionMgrFixture::CacheEntry(const std::u16string& name) {
  ComPtr<Logic::ICacheStore> cache;
  ComPtr<IStringList> list;
  host_.services().channel_info()->GetCacheStore(cache.ReleaseAndGetAddressOf());
  if (!cache || FAILED(cache->ReadEntry(name.c_str(), 1000, list.ReleaseAndGetAddressOf()))) {
    return {};
  }
  return Items(list.Get());
}

std::string ExtensionMgrFixture::UserExtensionsDir() const {
  return halcy::ToNativePath(DataDirectoryText());
}

std::u16string ExtensionMgrFixture::DataDirectoryText() const {
  std::u16string root;
  EXPECT_TRUE(Logic::GetDataRoot(&root));
  std::u16string text = root + u"SysData\\localextensions";
  for (char16_t& c : text) {
    if (c == u'/') c = u'\\';
  }
  return text;
}

void ExtensionMgrFixture::WriteBuiltInSet(const std::vector<StoreRecord>& records,
                                          const std::string& db_version,
                                          const std::string& data_version) {
  const std::string dir = env_.browser_dir() + "/resource/userdata/localextensions";
  for (const StoreRecord& record : records) {
    const std::string ext = dir + "/" + halcy::Utf16ToUtf8(record.id);
    std::filesystem::create_directories(ext);
    testing_support::WriteFileOrDie(ext + "/manifest.json", halcy::Utf16ToUtf8(record.manifest));
  }
  std::filesystem::create_directories(dir);
  testing_support::WriteFileOrDie(dir + "/extdb_v2.json", StoreText(records));
  if (!db_version.empty()) {
    testing_support::WriteFileOrDie(
        dir + "/localextensionversion.json",
        "{\"dbversion\":\"" + db_version + "\",\"dataversion\":\"" + data_version + "\"}");
  }
}

void ExtensionMgrFixture::SetBrowserVersionFile(const char* contents) {
  char16_t path[512];
  const DWORD n = GetModuleFileNameW(nullptr, path, 512);
  const std::string file =
      env_.browser_dir() + "/" +
      std::filesystem::path(halcy::ToNativePath(std::u16string(path, n))).filename().string() +
      ".version";
  std::filesystem::remove(file);
  if (contents) testing_support::WriteFileOrDie(file, contents);
}

void ExtensionMgrFixture::WriteConverter(const std::string& script) {
  const std::string path = env_.browser_dir() + "/Pellwick.exe";
  testing_support::WriteFileOrDie(path, "#!/bin/sh\n" + script);
  chmod(path.c_str(), 0755);
}

}  // namespace extension_testing
