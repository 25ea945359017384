#include "extension/extension_mgr_test_util.h"

#include <sys/stat.h>

#include <filesystem>

#include "common/paths.h"
#include "module/module.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/strings.h"
#include "support/temp_env.h"
#include "thread/thread_service.h"

namespace extension_testing {
namespace {

constexpr int kMgrClassIndex = 5;  // CCoExtensionMgr in the module's class table

}  // namespace

StoreRecord Record(const std::u16string& id, LONG state, LONG flags) {
  StoreRecord record;
  record.id = id;
  record.state = state;
  record.flags = flags;
  record.directory = u"hcextdbpath/" + id;
  record.manifest = u"{\"name\":\"" + id + u"\",\"version\":\"1.0\"}";
  return record;
}

std::u16string Text(BSTR text) { return text ? std::u16string(text, SysStringLen(text)) : u""; }

void ExtensionMgrFixture::TearDown() {
  EXPECT_TRUE(host_.WaitIdle());
  scoped_.reset();
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

std::string ExtensionMgrFixture::UserExtensionsDir() const {
  std::u16string root;
  EXPECT_TRUE(Logic::GetDataRoot(&root));
  return halcy::ToNativePath(root + u"SysData\\localextensions");
}

std::string ExtensionMgrFixture::BuiltInDir() const {
  return env_.browser_dir() + "/resource/userdata/localextensions";
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

void ExtensionMgrFixture::CreateDatabaseFile() {
  std::filesystem::create_directories(UserExtensionsDir());
  testing_support::WriteFileOrDie(UserExtensionsDir() + "/extdb_v2.json", "");
}

void ExtensionMgrFixture::WriteBuiltInSet(const std::vector<StoreRecord>& records,
                                          const std::string& db_version,
                                          const std::string& data_version) {
  std::filesystem::create_directories(BuiltInDir());
  std::string store;
  for (const StoreRecord& record : records) {
    const std::string dir = BuiltInDir() + "/" + halcy::Utf16ToUtf8(record.id);
    std::filesystem::create_directories(dir);
    testing_support::WriteFileOrDie(dir + "/manifest.json", halcy::Utf16ToUtf8(record.manifest));
    store += StoreFileLine(record);
  }
  testing_support::WriteFileOrDie(BuiltInDir() + "/extdb_v2.json", store);
  if (!db_version.empty()) {
    testing_support::WriteFileOrDie(
        BuiltInDir() + "/localextensionversion.json",
        "{\"dbversion\":\"" + db_version + "\",\"dataversion\":\"" + data_version + "\"}");
  }
}

void ExtensionMgrFixture::WriteConverter(const std::string& script) {
  const std::string path = env_.browser_dir() + "/Pellwick.exe";
  testing_support::WriteFileOrDie(path, "#!/bin/sh\n" + script);
  chmod(path.c_str(), 0755);
}

void ExtensionMgrFixture::PutRecords(const std::vector<StoreRecord>& records) {
  for (const StoreRecord& record : records) {
    fakes_.database->data->Put(record);
    std::filesystem::create_directories(UserExtensionsDir() + "/" + halcy::Utf16ToUtf8(record.id));
  }
}

}  // namespace extension_testing
