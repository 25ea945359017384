// Changes of the installed set: install, reinstall, update, enable, disable and delete, with
// the store, the listeners' broadcasts, the statistics and the unload message they produce.

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "extension/dll_host_messages.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_mgr_test_util.h"
#include "extension/routing_fakes.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/kernel_object.h"
#include "platform/strings.h"
#include "platform/system_paths.h"
#include "support/temp_env.h"
#include "thread/thread_service.h"

namespace extension_testing {
namespace {

using halcy::ScopedBstr;

// `path` as the manager records it: "/" turned into "\".
std::u16string Backslashed(std::u16string path) {
  for (char16_t& c : path) {
    if (c == u'/') c = u'\\';
  }
  return path;
}

std::string ExecutableName() {
  char16_t path[512];
  DWORD n = GetModuleFileNameW(nullptr, path, 512);
  std::string native = halcy::ToNativePath(std::u16string(path, n));
  return native.substr(native.find_last_of('/') + 1);
}

class InstallTest : public ExtensionMgrFixture {
 protected:
  void Start(const std::vector<StoreRecord>& records, const std::string& browser = "6.5.1.2") {
    SetBrowserVersion(browser);
    InstallFakes();
    CreateDatabaseFile();
    PutRecords(records);
    mgr_ = NewMgr();
    listener_ = ListenOn(mgr_.Get(), Thread::kThreadUI);
    SwitchAndWait(mgr_.Get(), listener_.Get(), 2);
    impl()->dll_host().Set(std::make_shared<RecordingDllSender>(journal_));
  }
  void SetBrowserVersion(const std::string& version) {
    testing_support::WriteFileOrDie(env_.browser_dir() + "/" + ExecutableName() + ".version",
                                    version + "\n");
  }
  Logic::CExtensionMgrImpl* impl() const {
    return static_cast<Logic::CCoExtensionMgr*>(mgr_.Get())->impl();
  }
  // A directory below the data root holding `manifest` as manifest.json (none when null).
  std::u16string ExtensionDir(const std::string& name, const char* manifest) {
    const std::string dir = env_.appdata() + "/sources/" + name;
    std::filesystem::create_directories(dir);
    if (manifest) testing_support::WriteFileOrDie(dir + "/manifest.json", manifest);
    return halcy::Utf8ToUtf16(dir);
  }
  HRESULT Install(const std::u16string& id, const std::u16string& dir, bool update = false) {
    std::promise<HRESULT> result;
    auto done = [&result](const std::u16string&, HRESULT hr) { result.set_value(hr); };
    const HRESULT posted = update ? impl()->PostUpdateExtension(id, 0, 1, dir, done)
                                  : impl()->PostInstallExtension(id, 0, 1, dir, done);
    if (posted != S_OK) return posted;
    return result.get_future().get();
  }
  bool Installed(const std::u16string& id) {
    ComPtr<Logic::IExtensionAgent> agent;
    ScopedBstr bid(id);
    mgr_->GetExtensionAgent(bid.Get(), agent.ReleaseAndGetAddressOf());
    return agent != nullptr;
  }
  std::vector<StoreRecord> StoreRecords() { return fakes_.database->data->Records(); }
  std::vector<std::u16string> StateEvents() {
    std::vector<std::u16string> out;
    for (const ListenerEvent& e : listener_->Events()) {
      if (e.text.starts_with(u"State:")) out.push_back(e.text);
    }
    return out;
  }

  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
  ComPtr<Logic::IExtensionMgr> mgr_;
  ComPtr<RecordingListener> listener_;
};

TEST_F(InstallTest, MissingDirectoryGivesSFalseAndLeavesTheStoreUntouched) {
  Start({Record(u"alpha")});
  const size_t before = StoreRecords().size();
  EXPECT_EQ(S_FALSE, Install(u"beta", halcy::Utf8ToUtf16(env_.appdata() + "/no/such/dir")));
  EXPECT_EQ(before, StoreRecords().size());
  EXPECT_FALSE(Installed(u"beta"));
}

TEST_F(InstallTest, LowestBrowserDecidesWhetherTheInstallIsTaken) {
  struct Case {
    const char* browser;
    const char* lowest;
    HRESULT expected;
  } cases[] = {
      {"6.5.1.2", "99.0", E_FAIL},  {"6.5.0.0", "6.5", S_OK},  {"6.5.1.2", "6.5.1.3", E_FAIL},
      {"6.5.1.2", "6.5.1.2", S_OK}, {"10.0.0.0", "9.9", S_OK}, {"6.5.1.2", "", S_OK},
  };
  Start({});
  size_t events = listener_->Events().size();
  int n = 0;
  for (const Case& c : cases) {
    SetBrowserVersion(c.browser);
    ASSERT_EQ(S_OK, mgr_->SwitchUser());  // the browser version is read at switch user
    events += 2;
    ASSERT_TRUE(listener_->WaitForEvents(events));
    const std::u16string id = u"ext" + halcy::Utf8ToUtf16(std::to_string(n++));
    const std::string manifest =
        std::string("{\"name\":\"x\",\"lowestbrowser\":\"") + c.lowest + "\"}";
    EXPECT_EQ(c.expected, Install(id, ExtensionDir(halcy::Utf16ToUtf8(id), manifest.c_str())))
        << c.browser << " vs " << c.lowest;
    EXPECT_EQ(c.expected == S_OK, Installed(id)) << c.lowest;
    StoreRecord record;
    EXPECT_EQ(c.expected == S_OK, fakes_.database->data->Find(id, &record)) << c.lowest;
  }
}

TEST_F(InstallTest, BadManifestsFailWithoutTouchingTheStore) {
  Start({});
  EXPECT_EQ(E_FAIL, Install(u"a", ExtensionDir("a", nullptr)));
  EXPECT_EQ(E_FAIL, Install(u"b", ExtensionDir("b", "[1,2]")));
  EXPECT_EQ(E_FAIL, Install(u"c", ExtensionDir("c", "{\"name\":")));
  EXPECT_TRUE(StoreRecords().empty());
}

TEST_F(InstallTest, ReinstallNeedsSetupOnlineAndReplacesTheManifest) {
  StoreRecord online = Record(u"online");
  online.manifest = u"{\"name\":\"old\",\"setuponline\":\"1\"}";
  StoreRecord fixed = Record(u"fixed");
  fixed.manifest = u"{\"name\":\"old\",\"setuponline\":\"2\"}";
  Start({online, fixed});
  const std::u16string dir = ExtensionDir("new", "{\"name\":\"new\",\"setuponline\":\"1\"}");
  EXPECT_EQ(S_FALSE, Install(u"fixed", dir));
  StoreRecord record;
  ASSERT_TRUE(fakes_.database->data->Find(u"fixed", &record));
  EXPECT_EQ(fixed.manifest, record.manifest);

  EXPECT_EQ(S_OK, Install(u"online", dir));
  ASSERT_TRUE(fakes_.database->data->Find(u"online", &record));
  EXPECT_NE(std::u16string::npos, record.manifest.find(u"\"new\""))
      << halcy::Utf16ToUtf8(record.manifest);
  EXPECT_EQ(Backslashed(dir), record.directory);
  // A failed reinstall puts the old manifest back on the agent.
  EXPECT_EQ(E_FAIL, Install(u"online", ExtensionDir("broken", "\"text\"")));
  ComPtr<Logic::IExtensionAgent> agent;
  ScopedBstr id(u"online"), name;
  mgr_->GetExtensionAgent(id.Get(), agent.ReleaseAndGetAddressOf());
  ASSERT_TRUE(agent);
  agent->GetName(name.Receive());
  EXPECT_EQ(u"new", std::u16string(name.View()));
}

TEST_F(InstallTest, DirectoryBelowTheDataDirectoryIsRecordedWithThePrefix) {
  Start({});
  const std::string own = UserExtensionsDir() + "/mine";
  std::filesystem::create_directories(own);
  testing_support::WriteFileOrDie(own + "/manifest.json", "{\"name\":\"mine\"}");
  ASSERT_EQ(S_OK, Install(u"mine", DataDirectoryText() + u"\\mine"));
  StoreRecord record;
  ASSERT_TRUE(fakes_.database->data->Find(u"mine", &record));
  EXPECT_EQ(u"hcextdbpath/mine", record.directory);
}

TEST_F(InstallTest, UpdateTooNewForTheBrowserIsDeletedAndMapUntouched) {
  Start({Record(u"alpha")});
  const std::u16string dir = ExtensionDir("upd", "{\"name\":\"alpha\",\"lowestbrowser\":\"99\"}");
  EXPECT_EQ(S_FALSE, Install(u"alpha", dir, /*update=*/true));
  EXPECT_FALSE(std::filesystem::exists(halcy::Utf16ToUtf8(dir)));
  const std::u16string ok = ExtensionDir("upd2", "{\"name\":\"alpha2\",\"version\":\"2.0\"}");
  EXPECT_EQ(S_OK, Install(u"alpha", ok, /*update=*/true));
  StoreRecord record;
  ASSERT_TRUE(fakes_.database->data->Find(u"alpha", &record));
  EXPECT_NE(std::u16string::npos, record.manifest.find(u"2.0"));
}

TEST_F(InstallTest, DeleteOfANativeLibraryUnloadsItAndLeavesTheDirectoryPending) {
  Start({});
  const std::u16string dir = ExtensionDir("lib", "{\"name\":\"lib\",\"librarypath\":\"x.so\"}");
  const std::u16string plain = ExtensionDir("plain", "{\"name\":\"plain\"}");
  ASSERT_EQ(S_OK, Install(u"lib", dir));
  ASSERT_EQ(S_OK, Install(u"plain", plain));
  ScopedBstr lib(u"lib"), pid(u"plain");
  ASSERT_EQ(S_OK, mgr_->DeleteExtension(lib.Get()));
  ASSERT_EQ(S_OK, mgr_->DeleteExtension(pid.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  const std::vector<JournalEntry> sent = journal_->EntriesOf(u"dll");
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(u"0x07000002", sent[0].name);
  EXPECT_EQ(std::vector<IpcParam>{Str(u"lib")}, sent[0].params);
  EXPECT_TRUE(std::filesystem::exists(halcy::Utf16ToUtf8(dir)));
  EXPECT_EQ(std::vector<std::u16string>{Backslashed(dir)}, impl()->PendingDeletions());
  EXPECT_FALSE(std::filesystem::exists(halcy::Utf16ToUtf8(plain)));
  EXPECT_FALSE(Installed(u"lib"));
  EXPECT_TRUE(StoreRecords().empty());
  // Uninitialize works the list off.
  ASSERT_EQ(S_OK, mgr_->UnInitialize());
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_FALSE(std::filesystem::exists(halcy::Utf16ToUtf8(dir)));
  EXPECT_TRUE(impl()->PendingDeletions().empty());
}

TEST_F(InstallTest, EnableAndDisableRecordStatisticsAndBroadcast) {
  StoreRecord named = Record(u"alpha", 0);
  named.manifest = u"{\"name\":\"A b&c\\u00e9\",\"background_page\":\"bg.html\"}";
  Start({named});
  ScopedBstr id(u"alpha");
  ASSERT_EQ(S_OK, mgr_->EnableExtension(id.Get()));
  ASSERT_EQ(S_OK, mgr_->DisableExtension(id.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<std::u16string>{u"State:alpha=1", u"State:alpha=0"}), StateEvents());
  std::vector<RecordedAction> functions;
  for (const RecordedAction& a : fakes_.statistics->Actions()) {
    if (a.category == u"Function") functions.push_back(a);
  }
  ASSERT_EQ(2u, functions.size());
  EXPECT_EQ(u"PluginEnable", functions[0].key);
  EXPECT_EQ(u"PluginDisable", functions[1].key);
  const std::vector<std::pair<std::u16string, std::u16string>> props = {
      {u"AppId", u"alpha"}, {u"name", u"A%20b%26c%C3%A9"}};
  EXPECT_EQ(props, functions[0].properties);
  // A background page means no library to unload.
  EXPECT_TRUE(journal_->EntriesOf(u"dll").empty());
  StoreRecord record;
  ASSERT_TRUE(fakes_.database->data->Find(u"alpha", &record));
  EXPECT_EQ(0, record.state);
}

TEST_F(InstallTest, StormOfEnableDisableDeleteKeepsMapStoreAndBroadcastsInStep) {
  Start({Record(u"a"), Record(u"b"), Record(u"c"), Record(u"d")});
  const std::u16string ids[] = {u"a", u"b", u"c", u"d"};
  // Deletes broadcast only while the id is installed; enable and disable always broadcast.
  size_t delete_calls = 0;
  std::set<int> deleted;
  for (int t = 0; t < 3; ++t) {
    for (int i = 0; i < 60; ++i) {
      if ((i * 7 + t) % 10 == 9 && (i + t) % 4 != 3) {
        ++delete_calls;
        deleted.insert((i + t) % 4);
      }
    }
  }
  ASSERT_GT(delete_calls, deleted.size());  // some deletes hit an id already gone
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 60; ++i) {
        ScopedBstr id(ids[(i + t) % 4]);
        const int op = (i * 7 + t) % 10;
        if (op == 9 && (i + t) % 4 != 3) {
          mgr_->DeleteExtension(id.Get());
        } else if (op % 2) {
          mgr_->EnableExtension(id.Get());
        } else {
          mgr_->DisableExtension(id.Get());
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(Installed(u"d"));  // never deleted
  for (const std::u16string& id : ids) {
    StoreRecord record;
    const bool stored = fakes_.database->data->Find(id, &record);
    ASSERT_EQ(stored, Installed(id)) << halcy::Utf16ToUtf8(id);
    if (!stored) continue;
    ComPtr<Logic::IExtensionAgent> agent;
    ScopedBstr bid(id);
    mgr_->GetExtensionAgent(bid.Get(), agent.ReleaseAndGetAddressOf());
    LONG state = -1;
    agent->GetState(&state);
    EXPECT_EQ(record.state, state);
    // The last broadcast for the id names its final state.
    std::u16string last;
    for (const std::u16string& e : StateEvents()) {
      if (e.starts_with(u"State:" + id + u"=")) last = e;
    }
    EXPECT_EQ(u"State:" + id + (state ? u"=1" : u"=0"), last);
  }
  EXPECT_EQ(180u - delete_calls + deleted.size(), StateEvents().size());
  for (int index : deleted) EXPECT_FALSE(Installed(ids[index]));
}

}  // namespace
}  // namespace extension_testing
