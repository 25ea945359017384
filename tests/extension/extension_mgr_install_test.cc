// Changes of the installed set: install, reinstall, update, enable, disable and delete, with
// the database, the listeners' broadcasts, the statistics and the unload message they produce.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "extension/extension_mgr_test_util.h"
#include "extension/routing_fakes.h"
#include "platform/bstr.h"
#include "platform/strings.h"
#include "support/temp_env.h"

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

class InstallTest : public ExtensionMgrFixture {
 protected:
  std::u16string StoredManifest(const std::u16string& id) {
    const host::ExtensionRecords records = StoredRecords();
    return records.count(id) ? records.at(id).manifest : u"<none>";
  }
};

TEST_F(InstallTest, BadSourcesAreRefusedWithoutTouchingTheStore) {
  Start({Record(u"alpha")});
  const struct {
    const char* id;
    bool directory;
    const char* manifest;  // null: no manifest file
    HRESULT expected;
  } cases[] = {
      {"nodir", false, nullptr, S_FALSE},
      {"nomanifest", true, nullptr, E_FAIL},
      {"array", true, "[1,2]", E_FAIL},
      {"cut", true, "{\"name\":", E_FAIL},
  };
  for (const auto& c : cases) {
    const std::u16string id = halcy::Utf8ToUtf16(c.id);
    const std::u16string dir = c.directory ? ExtensionDir(c.id, c.manifest)
                                           : halcy::Utf8ToUtf16(env_.appdata() + "/no/such/dir");
    EXPECT_EQ(c.expected, Install(id, dir)) << c.id;
    EXPECT_FALSE(Agent(id)) << c.id;
  }
  EXPECT_EQ(1u, StoredRecords().size());
}

TEST_F(InstallTest, LowestBrowserDecidesWhetherTheInstallIsTaken) {
  SetBrowserVersionFile("6.5.1.2\n");  // read at switch user
  Start({});
  const std::pair<const char*, HRESULT> cases[] = {
      {"6.5.1.3", E_FAIL}, {"6.5.1.2", S_OK}, {"6.5", S_OK}, {"", S_OK}};
  int n = 0;
  for (const auto& [lowest, expected] : cases) {
    const std::u16string id = u"ext" + halcy::Utf8ToUtf16(std::to_string(n++));
    const std::string manifest = std::string("{\"lowestbrowser\":\"") + lowest + "\"}";
    EXPECT_EQ(expected, Install(id, ExtensionDir(halcy::Utf16ToUtf8(id), manifest.c_str())))
        << lowest;
    EXPECT_EQ(expected == S_OK, Agent(id) != nullptr) << lowest;
    EXPECT_EQ(expected == S_OK, StoredRecords().count(id) == 1) << lowest;
  }
}

TEST_F(InstallTest, ReinstallNeedsSetupOnlineAndReplacesTheManifest) {
  StoreRecord online = Record(u"online");
  online.manifest = u"{\"name\":\"old\",\"setuponline\":\"1\"}";
  StoreRecord fixed = Record(u"fixed");
  fixed.manifest = u"{\"name\":\"old\",\"setuponline\":\"2\"}";
  Start({online, fixed});
  const std::u16string dir = ExtensionDir("new", "{\"name\":\"new\",\"setuponline\":\"1\"}");
  EXPECT_EQ(S_FALSE, Install(u"fixed", dir));
  EXPECT_EQ(fixed.manifest, StoredManifest(u"fixed"));

  EXPECT_EQ(S_OK, Install(u"online", dir));
  EXPECT_NE(std::u16string::npos, StoredManifest(u"online").find(u"\"new\""));
  EXPECT_EQ(Backslashed(dir), StoredRecords().at(u"online").directory);
  // A failed reinstall puts the old manifest back on the agent.
  EXPECT_EQ(E_FAIL, Install(u"online", ExtensionDir("broken", "\"text\"")));
  ComPtr<Logic::IExtensionAgent> agent = Agent(u"online");
  ASSERT_TRUE(agent);
  EXPECT_EQ(u"new", Logic::AgentText(agent.Get(), &Logic::IExtensionAgent::GetName));
}

TEST_F(InstallTest, DirectoryBelowTheDataDirectoryIsRecordedWithThePrefix) {
  Start({});
  const std::string own = UserExtensionsDir() + "/mine";
  std::filesystem::create_directories(own);
  testing_support::WriteFileOrDie(own + "/manifest.json", "{\"name\":\"mine\"}");
  ASSERT_EQ(S_OK, Install(u"mine", DataDirectoryText() + u"\\mine"));
  EXPECT_EQ(u"hcextdbpath/mine", StoredRecords().at(u"mine").directory);
}

TEST_F(InstallTest, UpdateTooNewForTheBrowserIsDeletedAndMapUntouched) {
  Start({Record(u"alpha")});
  const std::u16string dir = ExtensionDir("upd", "{\"name\":\"alpha\",\"lowestbrowser\":\"99\"}");
  EXPECT_EQ(S_FALSE, Install(u"alpha", dir, 1, /*update=*/true));
  EXPECT_FALSE(std::filesystem::exists(halcy::Utf16ToUtf8(dir)));
  EXPECT_EQ(Record(u"alpha").manifest, StoredManifest(u"alpha"));
  const std::u16string ok = ExtensionDir("upd2", "{\"name\":\"alpha2\",\"version\":\"2.0\"}");
  EXPECT_EQ(S_OK, Install(u"alpha", ok, 1, /*update=*/true));
  EXPECT_NE(std::u16string::npos, StoredManifest(u"alpha").find(u"2.0"));
}

TEST_F(InstallTest, DeleteOfANativeLibraryUnloadsItAndLeavesTheDirectoryPending) {
  Start({});
  auto journal = std::make_shared<Journal>();
  impl()->dll_host().Set(std::make_shared<RecordingDllSender>(journal));
  const std::u16string dir = ExtensionDir("lib", "{\"name\":\"lib\",\"librarypath\":\"x.so\"}");
  const std::u16string plain = ExtensionDir("plain", "{\"name\":\"plain\"}");
  ASSERT_EQ(S_OK, Install(u"lib", dir));
  ASSERT_EQ(S_OK, Install(u"plain", plain));
  ScopedBstr lib(u"lib"), pid(u"plain");
  ASSERT_EQ(S_OK, mgr_->DeleteExtension(lib.Get()));
  ASSERT_EQ(S_OK, mgr_->DeleteExtension(pid.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  const std::vector<JournalEntry> sent = journal->EntriesOf(u"dll");
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(u"0x07000002", sent[0].name);
  EXPECT_EQ(std::vector<IpcParam>{Str(u"lib")}, sent[0].params);
  EXPECT_TRUE(std::filesystem::exists(halcy::Utf16ToUtf8(dir)));
  EXPECT_EQ(std::vector<std::u16string>{Backslashed(dir)}, impl()->PendingDeletions());
  EXPECT_FALSE(std::filesystem::exists(halcy::Utf16ToUtf8(plain)));
  EXPECT_FALSE(Agent(u"lib"));
  EXPECT_TRUE(StoredRecords().empty());
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
  auto journal = std::make_shared<Journal>();
  impl()->dll_host().Set(std::make_shared<RecordingDllSender>(journal));
  ScopedBstr id(u"alpha");
  ASSERT_EQ(S_OK, mgr_->EnableExtension(id.Get()));
  ASSERT_EQ(S_OK, mgr_->DisableExtension(id.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<std::u16string>{u"State:alpha=1", u"State:alpha=0"}),
            listener_->Texts(u"State:"));
  const std::vector<RecordedAction> functions = statistics_->Actions(u"Function");
  ASSERT_EQ(2u, functions.size());
  EXPECT_EQ(u"PluginEnable", functions[0].key);
  EXPECT_EQ(u"PluginDisable", functions[1].key);
  EXPECT_EQ((Properties{{u"AppId", u"alpha"}, {u"name", u"A%20b%26c%C3%A9"}}),
            functions[0].properties);
  // A background page means no library to unload.
  EXPECT_TRUE(journal->EntriesOf(u"dll").empty());
  EXPECT_EQ(0, StoredRecords().at(u"alpha").state);
}

TEST_F(InstallTest, StormOfEnableDisableDeleteKeepsMapStoreAndBroadcastsInStep) {
  Start({Record(u"a"), Record(u"b"), Record(u"c"), Record(u"d")});
  const std::u16string ids[] = {u"a", u"b", u"c", u"d"};
  // Deletes broadcast only while the id is installed; enable and disable always broadcast.
  auto is_delete = [](int t, int i) { return (i * 7 + t) % 10 == 9 && (i + t) % 4 != 3; };
  size_t delete_calls = 0;
  std::set<int> deleted;
  for (int t = 0; t < 3; ++t) {
    for (int i = 0; i < 60; ++i) {
      if (is_delete(t, i)) {
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
        if (is_delete(t, i)) {
          mgr_->DeleteExtension(id.Get());
        } else if ((i * 7 + t) % 2) {
          mgr_->EnableExtension(id.Get());
        } else {
          mgr_->DisableExtension(id.Get());
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(Agent(u"d"));  // never deleted
  const host::ExtensionRecords stored = StoredRecords();
  const std::vector<std::u16string> broadcasts = listener_->Texts(u"State:");
  for (const std::u16string& id : ids) {
    ComPtr<Logic::IExtensionAgent> agent = Agent(id);
    ASSERT_EQ(stored.count(id) == 1, agent != nullptr) << halcy::Utf16ToUtf8(id);
    if (!agent) continue;
    LONG state = -1;
    agent->GetState(&state);
    EXPECT_EQ(stored.at(id).state, state);
    // The last broadcast for the id names its final state.
    std::u16string last;
    for (const std::u16string& e : broadcasts) {
      if (e.starts_with(u"State:" + id + u"=")) last = e;
    }
    EXPECT_EQ(u"State:" + id + (state ? u"=1" : u"=0"), last);
  }
  EXPECT_EQ(180u - delete_calls + deleted.size(), broadcasts.size());
  for (int index : deleted) EXPECT_FALSE(Agent(ids[index]));
}

}  // namespace
}  // namespace extension_testing
