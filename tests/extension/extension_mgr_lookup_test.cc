// The extension manager's lookups (slots 11, 12, 19, 25, 30, 31, 33), the database wrapper,
// the cached list, the data converter and the browser version.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/paths.h"
#include "common/version.h"
#include "extension/data_converter.h"
#include "extension/extension_agent.h"
#include "extension/extension_db.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_mgr_test_util.h"
#include "extension/extension_paths.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/kernel_object.h"
#include "platform/string_list.h"
#include "platform/strings.h"
#include "platform/system_paths.h"
#include "support/log_capture.h"
#include "support/temp_env.h"
#include "thread/thread_service.h"

namespace extension_testing {
namespace {

using halcy::ScopedBstr;
using Logic::IExtensionAgent;
using Logic::IExtensionMgr;

// A manager started with `records` installed.
class ExtensionMgrLookupTest : public ExtensionMgrFixture {
 protected:
  void Start(const std::vector<StoreRecord>& records) {
    InstallFakes();
    CreateDatabaseFile();
    PutRecords(records);
    mgr_ = NewMgr();
    listener_ = ListenOn(mgr_.Get(), Thread::kThreadUI);
    SwitchAndWait(mgr_.Get(), listener_.Get(), 2);
  }

  std::u16string AgentDirectory(const std::u16string& id) {
    ComPtr<IExtensionAgent> agent;
    ScopedBstr bid(id), directory;
    EXPECT_EQ(S_OK, mgr_->GetExtensionAgent(bid.Get(), agent.ReleaseAndGetAddressOf()));
    if (agent) agent->GetDirectory(directory.Receive());
    return std::u16string(directory.View());
  }

  ComPtr<IExtensionMgr> mgr_;
  ComPtr<RecordingListener> listener_;
};

TEST_F(ExtensionMgrLookupTest, AgentLookupFindsInstalledAndLeavesOthersUntouched) {
  Start({Record(u"alpha", 1, 2)});
  ComPtr<IExtensionAgent> agent;
  ScopedBstr alpha(u"alpha"), missing(u"missing");
  ASSERT_EQ(S_OK, mgr_->GetExtensionAgent(alpha.Get(), agent.ReleaseAndGetAddressOf()));
  ASSERT_TRUE(agent);
  LONG flags = 0;
  agent->GetFlags(&flags);
  EXPECT_EQ(2, flags);
  auto* sentinel = reinterpret_cast<IExtensionAgent*>(0x1234);
  IExtensionAgent* out = sentinel;
  EXPECT_EQ(S_OK, mgr_->GetExtensionAgent(missing.Get(), &out));
  EXPECT_EQ(sentinel, out);
  EXPECT_EQ(S_FALSE, mgr_->GetExtensionAgent(alpha.Get(), nullptr));
  EXPECT_EQ(S_FALSE, mgr_->GetInstalledExtensions(nullptr));
}

TEST_F(ExtensionMgrLookupTest, UrlLookupMatchesTheBaseAddressIgnoringCase) {
  Start({Record(u"alpha"), Record(u"alphabet"), Record(u"Beta")});
  struct Case {
    const char16_t* url;
    HRESULT result;
    const char16_t* id;
  } cases[] = {
      {u"hcbrowser://localextensions/alpha/popup.html", S_OK, u"alpha"},
      {u"HCBROWSER://LocalExtensions/ALPHABET/x", S_OK, u"alphabet"},
      {u"hcbrowser://localextensions/beta/", S_OK, u"Beta"},
      {u"hcbrowser://localextensions/alph/", E_FAIL, u""},
      {u"hcbrowser://localextensions/alpha", E_FAIL, u""},  // the base ends in "/"
      {u"http://localextensions/alpha/", E_FAIL, u""},
      {u"", E_FAIL, u""},
  };
  for (const Case& c : cases) {
    ScopedBstr url(c.url), id;
    EXPECT_EQ(c.result, mgr_->FindExtensionOfUrl(url.Get(), id.Receive()))
        << halcy::Utf16ToUtf8(c.url);
    EXPECT_EQ(std::u16string(c.id), std::u16string(id.View()));
  }
}

TEST_F(ExtensionMgrLookupTest, SinkLookupRecordsTheExtensionFoundByUrl) {
  Start({Record(u"alpha"), Record(u"beta")});
  ScopedBstr url(u"hcbrowser://localextensions/beta/panel.html"), other(u"http://example.com/");
  ScopedBstr id;
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(1, 2, nullptr, url.Get()));
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(1, 2, id.Receive(), nullptr));
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(1, 2, id.Receive(), other.Get()));
  ASSERT_EQ(S_OK, mgr_->FindExtensionOfSink(1, 2, id.Receive(), url.Get()));
  EXPECT_EQ(u"beta", id.View());
  // Now known by its two values alone, and only by both.
  ASSERT_EQ(S_OK, mgr_->FindExtensionOfSink(1, 2, id.Receive(), nullptr));
  EXPECT_EQ(u"beta", id.View());
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(1, 3, id.Receive(), nullptr));
  EXPECT_EQ(E_FAIL, mgr_->FindExtensionOfSink(2, 1, id.Receive(), nullptr));
}

TEST_F(ExtensionMgrLookupTest, DataDirectoryResolvesTheDbPathPrefix) {
  StoreRecord elsewhere = Record(u"beta");
  elsewhere.directory = u"/opt/ext/beta/";
  Start({Record(u"alpha"), elsewhere});
  ScopedBstr directory;
  ASSERT_EQ(S_OK, mgr_->GetExtensionDataDirectory(directory.Receive()));
  EXPECT_EQ(DataDirectoryText(), directory.View());
  EXPECT_EQ(std::u16string::npos, directory.View().find(u'/'));
  EXPECT_EQ(u"hcextdbpath/alpha", AgentDirectory(u"alpha"));
  EXPECT_EQ(std::u16string(directory.View()) + u"\\alpha",
            Logic::ResolveExtensionPath(AgentDirectory(u"alpha")));
  EXPECT_EQ(u"/opt/ext/beta", Logic::ResolveExtensionPath(AgentDirectory(u"beta")));
}

TEST_F(ExtensionMgrLookupTest, ResourcePathAndNamedStrings) {
  Start({});
  ScopedBstr id(u"alpha"), file(u"img/icon.png"), path, key(u"anything"), value;
  ASSERT_EQ(S_OK, mgr_->BuildExtensionResourcePath(id.Get(), file.Get(), path.Receive()));
  EXPECT_EQ(u"hcbrowser://localextensions/alpha/img/icon.png", path.View());
  EXPECT_EQ(E_FAIL, mgr_->GetNamedString(key.Get(), value.Receive()));
}

TEST_F(ExtensionMgrLookupTest, StateValueReachesTheAgentAndTheDatabase) {
  Start({Record(u"alpha")});
  ScopedBstr alpha(u"alpha"), missing(u"missing");
  ASSERT_EQ(S_OK, mgr_->SetExtensionStateValue(alpha.Get(), 0));
  ComPtr<IExtensionAgent> agent;
  mgr_->GetExtensionAgent(alpha.Get(), agent.ReleaseAndGetAddressOf());
  LONG state = -1;
  agent->GetState(&state);
  EXPECT_EQ(0, state);
  StoreRecord stored;
  ASSERT_TRUE(fakes_.database->data->Find(u"alpha", &stored));
  EXPECT_EQ(0, stored.value);
  EXPECT_EQ(S_FALSE, mgr_->SetExtensionStateValue(missing.Get(), 0));
}

TEST_F(ExtensionMgrLookupTest, UnbuiltOperationsSayNotImplemented) {
  Start({});
  Logic::IExtensionAppGuild* guild = nullptr;
  EXPECT_EQ(E_NOTIMPL, mgr_->GetExtensionAppGuild(&guild));
  // Slot 17's class is not available here: the collaborator stays absent.
  Logic::IExtCmdHost* host = nullptr;
  EXPECT_EQ(E_FAIL, mgr_->GetExternalCmdHost2(&host));
  EXPECT_EQ(nullptr, host);
}

// --- The cached list ---

TEST_F(ExtensionMgrLookupTest, SaveWritesEveryRecordAndTheList) {
  StoreRecord beta = Record(u"beta", 0, 3);
  beta.directory = u"/opt/ext/beta";
  Start({Record(u"alpha"), beta});
  ASSERT_EQ(S_OK, mgr_->SaveCachedExtensionList());
  FakeCacheStore* cache = fakes_.channel_info->cache.Get();
  EXPECT_EQ((std::vector<std::u16string>{u"ext_alpha", u"ext_beta"}), cache->Get(u"ext_list"));
  EXPECT_EQ((std::vector<std::u16string>{u"alpha", u"1", u"0", u"hcextdbpath/alpha",
                                         u"{\"name\":\"alpha\",\"version\":\"1.0\"}"}),
            cache->Get(u"ext_alpha"));
  EXPECT_EQ((std::vector<std::u16string>{u"beta", u"0", u"3", u"/opt/ext/beta",
                                         u"{\"name\":\"beta\",\"version\":\"1.0\"}"}),
            cache->Get(u"ext_beta"));
}

TEST_F(ExtensionMgrLookupTest, LoadSkipsIncompleteRecordsAndMissingDirectories) {
  InstallFakes();
  std::filesystem::create_directories(UserExtensionsDir() + "/good");
  std::filesystem::create_directories(UserExtensionsDir() + "/noflags");
  std::filesystem::create_directories(UserExtensionsDir() + "/nostate");
  FakeCacheStore* cache = fakes_.channel_info->cache.Get();
  cache->Put(u"ext_list", {u"ext_good", u"ext_noflags", u"ext_nostate", u"ext_gone", u"ext_x"});
  cache->Put(u"ext_good", {u"good", u"2", u"1", u"hcextdbpath/good", u"{\"name\":\"G\"}"});
  cache->Put(u"ext_noflags", {u"noflags", u"1", u"", u"hcextdbpath/noflags", u"{}"});
  cache->Put(u"ext_nostate", {u"nostate", u"", u"0", u"hcextdbpath/nostate", u"{}"});
  cache->Put(u"ext_gone", {u"gone", u"1", u"0", u"hcextdbpath/gone", u"{}"});
  testing_support::LogCapture log;
  ComPtr<IExtensionMgr> mgr = NewMgr();
  ASSERT_EQ(S_OK, mgr->LoadCachedData());
  ComPtr<IStringList> ids;
  ASSERT_EQ(S_OK, mgr->GetInstalledExtensions(ids.ReleaseAndGetAddressOf()));
  LONG count = 0;
  ids->GetCount(&count);
  ASSERT_EQ(1, count);
  ComPtr<IExtensionAgent> agent;
  ScopedBstr good(u"good"), name;
  ASSERT_EQ(S_OK, mgr->GetExtensionAgent(good.Get(), agent.ReleaseAndGetAddressOf()));
  ASSERT_TRUE(agent);
  LONG state = 0, flags = 0;
  agent->GetState(&state);
  agent->GetFlags(&flags);
  agent->GetName(name.Receive());
  EXPECT_EQ(2, state);
  EXPECT_EQ(1, flags);
  EXPECT_EQ(u"G", name.View());
  bool traced = false;
  for (const auto& line : log.LinesWithTag(u"function;")) {
    traced |= line.text.find(u"Logic::CExtensionMgrImpl::LoadCachedData") != std::u16string::npos;
  }
  EXPECT_TRUE(traced);
}

TEST_F(ExtensionMgrLookupTest, WithoutCacheStoreNothingIsLoadedOrSaved) {
  fakes_.channel_info = nullptr;
  InstallFakes();
  ComPtr<IExtensionMgr> mgr = NewMgr();
  EXPECT_EQ(E_FAIL, mgr->LoadCachedData());
  EXPECT_EQ(E_FAIL, mgr->SaveCachedExtensionList());
}

// --- The database wrapper ---

using ExtensionDbTest = ExtensionMgrFixture;

TEST_F(ExtensionDbTest, OnlyJsonPathsGiveAWrapper) {
  InstallFakes();
  struct Case {
    const char16_t* path;
    bool wrapper;
  } cases[] = {
      {u"localextensions\\extdb_v2.json", true},
      {u"localextensions\\EXTDB_V2.JSON", true},
      {u"a.Json", true},
      {u".json", true},
      {u"localextensions\\extdb_v2.txt", false},
      {u"extdb_v2.json.bak", false},
      {u"json", false},
      {u"", false},
  };
  for (const Case& c : cases) {
    std::unique_ptr<Logic::CExtensionDB> db = Logic::CExtensionDB::Create(c.path);
    EXPECT_EQ(c.wrapper, db != nullptr) << halcy::Utf16ToUtf8(c.path);
  }
  std::unique_ptr<Logic::CExtensionDB> upper =
      Logic::CExtensionDB::Create(u"localextensions\\EXTDB_V2.JSON");
  ASSERT_EQ(S_OK, upper->Open());
  EXPECT_TRUE(upper->IsOpen());
  std::lock_guard<std::mutex> lock(fakes_.database->data->mutex);
  EXPECT_EQ(u"localextensions\\EXTDB_V2.JSON", fakes_.database->data->opened_relative_path);
}

TEST_F(ExtensionDbTest, EveryOperationFailsWhileClosed) {
  fakes_.database = nullptr;
  InstallFakes();
  std::unique_ptr<Logic::CExtensionDB> db = Logic::CExtensionDB::Create(u"x\\extdb_v2.json");
  ASSERT_TRUE(db);
  EXPECT_EQ(E_FAIL, db->Open());
  EXPECT_FALSE(db->IsOpen());
  ComPtr<IExtensionAgent> agent;
  halcy::CreateComInstance<Logic::CCoExtensionAgent>(nullptr, IExtensionAgent::kIID,
                                                     agent.ReleaseAndGetVoidAddress());
  std::vector<ComPtr<IExtensionAgent>> agents;
  std::u16string path;
  EXPECT_EQ(E_FAIL, db->AddExtension(agent.Get()));
  EXPECT_EQ(E_FAIL, db->Query(256, 3, &agents));
  EXPECT_EQ(E_FAIL, db->SetState(u"a", 1));
  EXPECT_EQ(E_FAIL, db->SetValue(u"a", 1));
  EXPECT_EQ(E_FAIL, db->Remove(u"a"));
  EXPECT_EQ(E_FAIL, db->Update(u"a", agent.Get()));
  EXPECT_EQ(E_FAIL, db->UpdateRecord(agent.Get()));
  EXPECT_EQ(E_FAIL, db->GetPath(&path));
  EXPECT_TRUE(agents.empty());
}

TEST_F(ExtensionDbTest, OpenWrapperForwardsToTheStore) {
  InstallFakes();
  std::unique_ptr<Logic::CExtensionDB> db = Logic::CExtensionDB::Create(u"ext\\db.json");
  ASSERT_EQ(S_OK, db->Open());
  ComPtr<IExtensionAgent> agent;
  halcy::CreateComInstance<Logic::CCoExtensionAgent>(nullptr, IExtensionAgent::kIID,
                                                     agent.ReleaseAndGetVoidAddress());
  ScopedBstr id(u"one");
  agent->SetId(id.Get());
  EXPECT_EQ(S_OK, db->AddExtension(agent.Get()));
  EXPECT_EQ(S_OK, db->SetState(u"one", 0));
  EXPECT_EQ(S_FALSE, db->SetState(u"two", 0));
  std::vector<ComPtr<IExtensionAgent>> agents;
  ASSERT_EQ(S_OK, db->Query(256, 3, &agents));
  ASSERT_EQ(1u, agents.size());
  LONG state = 1;
  agents[0]->GetState(&state);
  EXPECT_EQ(0, state);
  EXPECT_EQ(S_OK, db->Remove(u"one"));
  agents.clear();
  ASSERT_EQ(S_OK, db->Query(256, 3, &agents));
  EXPECT_TRUE(agents.empty());
}

TEST_F(ExtensionDbTest, VersionFileGivesBothVersionsOrNeither) {
  testing_support::ScopedTempDir dir;
  struct Case {
    const char* contents;  // null: no file
    const char16_t* db_version;
    const char16_t* data_version;
  } cases[] = {
      {"{\"dbversion\":\"3\",\"dataversion\":\"20261206\"}", u"3", u"20261206"},
      {"{\"dbversion\":\"3\"}", u"3", u""},
      {"{\"dbversion\":3,\"dataversion\":\"x\"}", u"", u"x"},
      {"[\"3\"]", u"", u""},
      {"{\"dbversion\":", u"", u""},
      {nullptr, u"", u""},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = dir.File("v" + std::to_string(n++) + ".json");
    if (c.contents) testing_support::WriteFileOrDie(path, c.contents);
    Logic::ExtensionDataVersions v = Logic::ReadExtensionVersionFile(halcy::Utf8ToUtf16(path));
    EXPECT_EQ(c.db_version, v.db_version) << path;
    EXPECT_EQ(c.data_version, v.data_version) << path;
  }
}

// --- Browser version and data converter ---

using ExtensionPlatformTest = ExtensionMgrFixture;

std::string ExecutableName() {
  char16_t path[512];
  DWORD n = GetModuleFileNameW(nullptr, path, 512);
  std::string native = halcy::ToNativePath(std::u16string(path, n));
  return native.substr(native.find_last_of('/') + 1);
}

TEST_F(ExtensionPlatformTest, BrowserVersionComesFromTheExecutablesVersionFile) {
  const std::string version_file = env_.browser_dir() + "/" + ExecutableName() + ".version";
  struct Case {
    const char* contents;  // null: no file
    const char16_t* version;
  } cases[] = {
      {"6.5.1.2\n", u"6.5.1.2"},   {"65535.0.10.7", u"65535.0.10.7"}, {"7.1\n", u"0.0.0.0"},
      {"65536.0.0.0", u"0.0.0.0"}, {"6.5.1.2.9", u"0.0.0.0"},         {"v6.5.1.2", u"0.0.0.0"},
      {nullptr, u"0.0.0.0"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(version_file);
    if (c.contents) testing_support::WriteFileOrDie(version_file, c.contents);
    EXPECT_EQ(c.version, Logic::ReadBrowserVersion()) << (c.contents ? c.contents : "(none)");
  }
}

TEST_F(ExtensionPlatformTest, ConverterGetsItsArgumentsAndIsWaitedFor) {
  // The converter sleeps briefly before it writes: the call must not return before it ends.
  WriteConverter("sleep 0.2\nprintf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args.txt\"\n");
  const std::u16string directory = u"C:\\Users\\a b\\SysData\\localextensions";
  EXPECT_EQ(halcy::Utf8ToUtf16(env_.browser_dir()) +
                u"\\Pellwick.exe --action=convert --type=extension --dir=\"" + directory + u"\"",
            Logic::BuildDataConverterCommandLine(u"convert", u"extension", directory));
  const size_t handles = halcy::OpenHandleCountForTesting();
  ASSERT_TRUE(Logic::RunDataConverter(u"convert", u"extension", directory));
  EXPECT_EQ(handles, halcy::OpenHandleCountForTesting());  // both process handles closed
  EXPECT_EQ("--action=convert\n--type=extension\n--dir=C:\\Users\\a b\\SysData\\localextensions\n",
            testing_support::ReadFileOrEmpty(env_.browser_dir() + "/args.txt"));
}

TEST_F(ExtensionPlatformTest, MissingConverterIsReportedNotWaitedFor) {
  testing_support::LogCapture log;
  EXPECT_FALSE(Logic::RunDataConverter(u"convert", u"extension", u"x"));
  EXPECT_FALSE(log.LinesWithTag(u"assert;").empty());
}

}  // namespace
}  // namespace extension_testing
