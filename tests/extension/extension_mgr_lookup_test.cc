// The extension manager's lookups (slots 11, 12, 19, 25, 30, 31, 33), the database wrapper,
// the cached list, the data converter and the browser version.

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "common/version.h"
#include "extension/data_converter.h"
#include "extension/extension_db.h"
#include "extension/extension_mgr_test_util.h"
#include "extension/extension_paths.h"
#include "module/channel_info.h"
#include "permission/permission_mgr.h"
#include "platform/bstr.h"
#include "platform/event.h"
#include "platform/kernel_object.h"
#include "platform/strings.h"
#include "support/log_capture.h"
#include "support/temp_env.h"

namespace extension_testing {
namespace {

using halcy::ScopedBstr;
using Logic::IExtensionAgent;
using Texts = std::vector<std::u16string>;

using ExtensionMgrLookupTest = ExtensionMgrFixture;

std::u16string Directory(IExtensionAgent* agent) {
  return agent ? Logic::AgentText(agent, &IExtensionAgent::GetDirectory) : u"<none>";
}

TEST_F(ExtensionMgrLookupTest, AgentLookupFindsInstalledAndLeavesOthersUntouched) {
  Start({Record(u"alpha", 1, 2)});
  ComPtr<IExtensionAgent> agent = Agent(u"alpha");
  ASSERT_TRUE(agent);
  LONG flags = 0;
  agent->GetFlags(&flags);
  EXPECT_EQ(2, flags);
  ScopedBstr alpha(u"alpha"), missing(u"missing");
  auto* sentinel = reinterpret_cast<IExtensionAgent*>(0x1234);
  IExtensionAgent* out = sentinel;
  EXPECT_EQ(S_OK, mgr_->GetExtensionAgent(missing.Get(), &out));
  EXPECT_EQ(sentinel, out);
  EXPECT_EQ(S_FALSE, mgr_->GetExtensionAgent(alpha.Get(), nullptr));
  EXPECT_EQ(S_FALSE, mgr_->GetInstalledExtensions(nullptr));
}

TEST_F(ExtensionMgrLookupTest, UrlLookupMatchesTheBaseAddressIgnoringCase) {
  Start({Record(u"alpha"), Record(u"alphabet"), Record(u"Beta")});
  const struct {
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
  for (const auto& c : cases) {
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
  ScopedBstr directory, id(u"alpha"), file(u"img/icon.png"), path;
  ASSERT_EQ(S_OK, mgr_->GetExtensionDataDirectory(directory.Receive()));
  EXPECT_EQ(DataDirectoryText(), directory.View());
  EXPECT_EQ(u"hcextdbpath/alpha", Directory(Agent(u"alpha").Get()));
  EXPECT_EQ(DataDirectoryText() + u"\\alpha",
            Logic::ResolveExtensionPath(Directory(Agent(u"alpha").Get())));
  EXPECT_EQ(u"/opt/ext/beta", Logic::ResolveExtensionPath(Directory(Agent(u"beta").Get())));
  ASSERT_EQ(S_OK, mgr_->BuildExtensionResourcePath(id.Get(), file.Get(), path.Receive()));
  EXPECT_EQ(u"hcbrowser://localextensions/alpha/img/icon.png", path.View());
}

TEST_F(ExtensionMgrLookupTest, StateValueReachesTheAgentAndTheDatabase) {
  Start({Record(u"alpha")});
  ScopedBstr alpha(u"alpha"), missing(u"missing");
  ASSERT_EQ(S_OK, mgr_->SetExtensionStateValue(alpha.Get(), 0));
  LONG state = -1;
  Agent(u"alpha")->GetState(&state);
  EXPECT_EQ(0, state);
  EXPECT_EQ(0, StoredRecords().at(u"alpha").state);
  EXPECT_EQ(S_FALSE, mgr_->SetExtensionStateValue(missing.Get(), 0));
}

// --- The cached list ---

TEST_F(ExtensionMgrLookupTest, SaveWritesEveryRecordAndTheList) {
  StoreRecord beta = Record(u"beta", 0, 3);
  beta.directory = u"/opt/ext/beta";
  Start({Record(u"alpha"), beta});
  ASSERT_EQ(S_OK, mgr_->SaveCachedExtensionList());
  EXPECT_EQ((Texts{u"ext_alpha", u"ext_beta"}), CacheEntry(u"ext_list"));
  EXPECT_EQ((Texts{u"alpha", u"1", u"0", u"hcextdbpath/alpha",
                   u"{\"name\":\"alpha\",\"version\":\"1.0\"}"}),
            CacheEntry(u"ext_alpha"));
  EXPECT_EQ(
      (Texts{u"beta", u"0", u"3", u"/opt/ext/beta", u"{\"name\":\"beta\",\"version\":\"1.0\"}"}),
      CacheEntry(u"ext_beta"));
}

TEST_F(ExtensionMgrLookupTest, LoadSkipsIncompleteRecordsAndMissingDirectories) {
  auto permissions = halcy::MakeComObject<Logic::CCoPermissionMgr>();
  host_.ReplaceService(Logic::IPermissionMgr::kIID,
                       static_cast<Logic::IPermissionMgr*>(permissions.Get()));
  for (const char* dir : {"good", "noflags", "nostate"}) {
    std::filesystem::create_directories(UserExtensionsDir() + "/" + dir);
  }
  PutCacheEntry(u"ext_list", {u"ext_good", u"ext_noflags", u"ext_nostate", u"ext_gone", u"ext_x"});
  PutCacheEntry(u"ext_good", {u"good", u"2", u"1", u"hcextdbpath/good",
                              u"{\"name\":\"G\",\"permissions\":[\"bookmarks\"]}"});
  PutCacheEntry(u"ext_noflags", {u"noflags", u"1", u"", u"hcextdbpath/noflags", u"{}"});
  PutCacheEntry(u"ext_nostate", {u"nostate", u"", u"0", u"hcextdbpath/nostate", u"{}"});
  PutCacheEntry(u"ext_gone", {u"gone", u"1", u"0", u"hcextdbpath/gone", u"{}"});
  mgr_ = NewMgr();
  ASSERT_EQ(S_OK, mgr_->LoadCachedData());
  ComPtr<IStringList> ids;
  ASSERT_EQ(S_OK, mgr_->GetInstalledExtensions(ids.ReleaseAndGetAddressOf()));
  EXPECT_EQ(Texts{u"good"}, Items(ids.Get()));
  ComPtr<IExtensionAgent> agent = Agent(u"good");
  ASSERT_TRUE(agent);
  LONG state = 0, flags = 0;
  agent->GetState(&state);
  agent->GetFlags(&flags);
  EXPECT_EQ(2, state);
  EXPECT_EQ(1, flags);
  EXPECT_EQ(u"G", Logic::AgentText(agent.Get(), &IExtensionAgent::GetName));
  // Loaded from the cache, it is known to the permission manager as well.
  ScopedBstr id(u"good"), granted(u"hcbrowser.bookmarks.getTree");
  EXPECT_EQ(S_OK, permissions->CheckApiPermission(id.Get(), granted.Get()));
}

TEST_F(ExtensionMgrLookupTest, WithoutInformationServiceNothingIsLoadedOrSaved) {
  host_.ReplaceService(Logic::IChannelInfo::kIID, nullptr);
  mgr_ = NewMgr();
  EXPECT_EQ(E_FAIL, mgr_->LoadCachedData());
  EXPECT_EQ(E_FAIL, mgr_->SaveCachedExtensionList());
}

// --- The database wrapper ---

using ExtensionDbTest = ExtensionMgrFixture;

TEST_F(ExtensionDbTest, OnlyJsonPathsGiveAWrapper) {
  const std::pair<const char16_t*, bool> cases[] = {
      {u"localextensions\\extdb_v2.json", true},
      {u"localextensions\\EXTDB_V2.JSON", true},
      {u"a.Json", true},
      {u".json", true},
      {u"localextensions\\extdb_v2.txt", false},
      {u"extdb_v2.json.bak", false},
      {u"json", false},
      {u"", false},
  };
  for (const auto& [path, wrapper] : cases) {
    std::unique_ptr<Logic::CExtensionDB> db = Logic::CExtensionDB::Create(path);
    EXPECT_EQ(wrapper, db != nullptr) << halcy::Utf16ToUtf8(path);
  }
}

TEST_F(ExtensionDbTest, EveryOperationFailsWhileClosed) {
  host_.ReplaceService(Logic::IDatabaseService::kIID, nullptr);
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

TEST_F(ExtensionDbTest, VersionFileGivesBothVersionsOrNeither) {
  const struct {
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
  for (const auto& c : cases) {
    const std::string path = env_.appdata() + "/v" + std::to_string(n++) + ".json";
    if (c.contents) testing_support::WriteFileOrDie(path, c.contents);
    Logic::ExtensionDataVersions v = Logic::ReadExtensionVersionFile(halcy::Utf8ToUtf16(path));
    EXPECT_EQ(c.db_version, v.db_version) << path;
    EXPECT_EQ(c.data_version, v.data_version) << path;
  }
}

// --- Browser version and data converter ---

using ExtensionPlatformTest = ExtensionMgrFixture;

TEST_F(ExtensionPlatformTest, BrowserVersionComesFromTheExecutablesVersionFile) {
  mgr_ = NewMgr();
  EXPECT_EQ(u"0.0.0.0", impl()->GetBrowserVersion());  // not read before start-up
  const std::pair<const char*, const char16_t*> cases[] = {
      {"6.5.1.2\n", u"6.5.1.2"},   {"65535.0.10.7", u"65535.0.10.7"}, {"7.1\n", u"0.0.0.0"},
      {"65536.0.0.0", u"0.0.0.0"}, {"6.5.1.2.9", u"0.0.0.0"},         {"v6.5.1.2", u"0.0.0.0"},
      {nullptr, u"0.0.0.0"},
  };
  for (const auto& [contents, version] : cases) {
    SetBrowserVersionFile(contents);
    EXPECT_EQ(version, Logic::ReadBrowserVersion()) << (contents ? contents : "(none)");
  }
}

TEST_F(ExtensionPlatformTest, ConverterGetsItsArgumentsAndIsWaitedForUntilCancelled) {
  // The converter waits for the file "go", sleeps briefly, then writes its arguments to a file
  // named by its action: a call that does not wait for it returns before that file is there.
  WriteConverter(
      "d=$(dirname \"$0\")\nwhile [ ! -e \"$d/go\" ]; do sleep 0.02; done\nsleep 0.2\n"
      "printf '%s\\n' \"$@\" > \"$d/${1#--action=}.txt\"\n");
  const std::u16string directory = u"C:\\Users\\a b\\SysData\\localextensions";
  EXPECT_EQ(halcy::Utf8ToUtf16(env_.browser_dir()) +
                u"\\Pellwick.exe --action=convert --type=extension --dir=\"" + directory + u"\"",
            Logic::BuildDataConverterCommandLine(u"convert", u"extension", directory));
  const size_t handles = halcy::OpenHandleCountForTesting();
  HANDLE cancelled = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  HANDLE not_cancelled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // Cancelled: the call returns while the converter still waits for "go".
  auto call = std::async(std::launch::async, [&] {
    return Logic::RunDataConverter(u"cancelled", u"extension", directory, cancelled);
  });
  const bool returned = call.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  testing_support::WriteFileOrDie(env_.browser_dir() + "/go", "");
  EXPECT_TRUE(returned) << "the cancelled call waited for the converter";
  EXPECT_TRUE(call.get());
  for (const auto& [action, cancel] : {std::pair{u"plain", HANDLE{}}, {u"waited", not_cancelled}}) {
    ASSERT_TRUE(Logic::RunDataConverter(action, u"extension", directory, cancel));
    EXPECT_EQ("--action=" + halcy::Utf16ToUtf8(action) +
                  "\n--type=extension\n--dir=C:\\Users\\a b\\SysData\\localextensions\n",
              testing_support::ReadFileOrEmpty(env_.browser_dir() + "/" +
                                               halcy::Utf16ToUtf8(action) + ".txt"));
  }
  CloseHandle(cancelled);
  CloseHandle(not_cancelled);
  EXPECT_EQ(handles, halcy::OpenHandleCountForTesting());  // the process handles are closed
}

TEST_F(ExtensionPlatformTest, MissingConverterIsReportedNotWaitedFor) {
  testing_support::LogCapture log;
  EXPECT_FALSE(Logic::RunDataConverter(u"convert", u"extension", u"x"));
  EXPECT_FALSE(log.LinesWithTag(u"assert;").empty());
}

}  // namespace
}  // namespace extension_testing
