// Changes of the installed set: install, reinstall, update, enable, disable and delete, with
// the database, the listeners' broadcasts, the statistics and the unload message they produce.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "extension/extension_mgr_test_util.h"
#include "platform/bstr.h"
#include "platform/strings.h"
#include "support/temp_env.h"

namespace extension_testing {
namespace {

using halcy::ScopedBstr;
using halcy::Utf16ToUtf8;

// `path` as the manager records it: "/" turned into "\".
std::u16string Backslashed(std::u16string path) {
  std::replace(path.begin(), path.end(), u'/', u'\\');
  return path;
}

class InstallTest : public ExtensionMgrFixture {
 protected:
  std::u16string StoredManifest(const std::u16string& id) {
    const host::ExtensionRecords records = StoredRecords();
    return records.count(id) ? records.at(id).manifest : u"<none>";
  }
};

TEST_F(InstallTest, BadSourcesAndTooOldBrowsersAreRefusedWithoutTouchingTheStore) {
  Start({Record(u"alpha")});  // without a version file the browser is 0.0.0.0
  const struct {
    const char* id;
    const char* manifest;  // null: no directory
    HRESULT expected;
  } cases[] = {
      {"nodir", nullptr, S_FALSE},
      {"array", "[1,2]", E_FAIL},
      {"cut", "{\"name\":", E_FAIL},
      {"newer", "{\"lowestbrowser\":\"0.0.0.1\"}", E_FAIL},
      {"same", "{\"lowestbrowser\":\"0.0.0.0\"}", S_OK},
      {"any", "{\"lowestbrowser\":\"\"}", S_OK},
  };
  for (const auto& c : cases) {
    const std::u16string id = halcy::Utf8ToUtf16(c.id);
    const std::u16string dir = c.manifest ? ExtensionDir(c.id, c.manifest)
                                          : halcy::Utf8ToUtf16(env_.appdata() + "/no/such/dir");
    EXPECT_EQ(c.expected, Install(id, dir)) << c.id;
    EXPECT_EQ(c.expected == S_OK, Agent(id) != nullptr) << c.id;
    EXPECT_EQ(c.expected == S_OK, StoredRecords().count(id) == 1) << c.id;
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
  ASSERT_TRUE(Agent(u"online"));
  EXPECT_EQ(u"new", Logic::AgentText(Agent(u"online").Get(), &Logic::IExtensionAgent::GetName));
}

TEST_F(InstallTest, DirectoryBelowTheDataDirectoryIsRecordedWithThePrefix) {
  Start({});
  std::filesystem::create_directories(UserExtensionsDir() + "/mine");
  testing_support::WriteFileOrDie(UserExtensionsDir() + "/mine/manifest.json", "{}");
  ASSERT_EQ(S_OK, Install(u"mine", DataDirectoryText() + u"\\mine"));
  EXPECT_EQ(u"hcextdbpath/mine", StoredRecords().at(u"mine").directory);
}

TEST_F(InstallTest, UpdateTooNewForTheBrowserIsDeletedAndMapUntouched) {
  Start({Record(u"alpha")});
  const std::u16string dir = ExtensionDir("upd", "{\"name\":\"alpha\",\"lowestbrowser\":\"99\"}");
  EXPECT_EQ(S_FALSE, Install(u"alpha", dir, 1, /*update=*/true));
  EXPECT_FALSE(std::filesystem::exists(Utf16ToUtf8(dir)));
  EXPECT_EQ(Record(u"alpha").manifest, StoredManifest(u"alpha"));
  const std::u16string ok = ExtensionDir("upd2", "{\"name\":\"alpha2\",\"version\":\"2.0\"}");
  EXPECT_EQ(S_OK, Install(u"alpha", ok, 1, /*update=*/true));
  EXPECT_NE(std::u16string::npos, StoredManifest(u"alpha").find(u"2.0"));
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
  EXPECT_TRUE(std::filesystem::exists(Utf16ToUtf8(dir)));
  EXPECT_EQ(std::vector<std::u16string>{Backslashed(dir)}, impl()->PendingDeletions());
  EXPECT_FALSE(std::filesystem::exists(Utf16ToUtf8(plain)));
  EXPECT_FALSE(Agent(u"lib"));
  EXPECT_TRUE(StoredRecords().empty());
  // Uninitialize works the list off.
  ASSERT_EQ(S_OK, mgr_->UnInitialize());
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_FALSE(std::filesystem::exists(Utf16ToUtf8(dir)));
  EXPECT_TRUE(impl()->PendingDeletions().empty());
}

TEST_F(InstallTest, EnableAndDisableRecordStatisticsAndBroadcast) {
  StoreRecord named = Record(u"alpha", 0);
  named.manifest = u"{\"name\":\"az AZ09-_.~&\\u00e9\",\"background_page\":\"bg.html\"}";
  Start({named});
  ScopedBstr id(u"alpha");
  ASSERT_EQ(S_OK, mgr_->EnableExtension(id.Get()));
  ASSERT_EQ(S_OK, mgr_->DisableExtension(id.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<std::u16string>{u"State:alpha=1", u"State:alpha=0"}),
            listener_->Texts(u"State:"));
  std::vector<std::string> lines = StatisticsLines();
  ASSERT_FALSE(lines.empty());
  lines.erase(lines.begin());  // the start-up's record
  EXPECT_EQ((std::vector<std::string>{
                "{\"category\":\"Function\",\"key\":\"PluginEnable\",\"kind\":2,\"properties\":{"
                "\"AppId\":\"alpha\",\"name\":\"az%20AZ09-_.~%26%C3%A9\"}}",
                "{\"category\":\"Function\",\"key\":\"PluginDisable\",\"kind\":2,\"properties\":{"
                "\"AppId\":\"alpha\",\"name\":\"az%20AZ09-_.~%26%C3%A9\"}}"}),
            lines);
  // A background page means no library to unload.
  EXPECT_TRUE(journal_->EntriesOf(u"dll").empty());
  EXPECT_EQ(0, StoredRecords().at(u"alpha").state);
}

TEST_F(InstallTest, StormOfEnableDisableDeleteKeepsMapStoreAndBroadcastsInStep) {
  Start({Record(u"a"), Record(u"b"), Record(u"c"), Record(u"d")});
  const std::u16string ids[] = {u"a", u"b", u"c", u"d"};
  // Each of three threads deletes "a" once and "b" twice, and enables or disables the rest.
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 60; ++i) {
        ScopedBstr id(ids[(i + t) % 4]);
        if (i == 20 - t || i == 41 - t || i == 45 - t) {
          mgr_->DeleteExtension(id.Get());
        } else {
          (i * 7 + t) % 2 ? mgr_->EnableExtension(id.Get()) : mgr_->DisableExtension(id.Get());
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(host_.WaitIdle());
  const host::ExtensionRecords stored = StoredRecords();
  const std::vector<std::u16string> broadcasts = listener_->Texts(u"State:");
  // Enable and disable always broadcast; a delete only while the id is installed.
  EXPECT_EQ(180u - 9 + 2, broadcasts.size());
  for (int i = 0; i < 4; ++i) {
    ComPtr<Logic::IExtensionAgent> agent = Agent(ids[i]);
    EXPECT_EQ(i >= 2, agent != nullptr) << i;
    ASSERT_EQ(stored.count(ids[i]) == 1, agent != nullptr) << i;
    if (!agent) continue;
    LONG state = -1;
    agent->GetState(&state);
    EXPECT_EQ(stored.at(ids[i]).state, state);
    // The last broadcast for the id names its final state.
    auto last = std::find_if(broadcasts.rbegin(), broadcasts.rend(), [&](const std::u16string& e) {
      return e.starts_with(u"State:" + ids[i] + u"=");
    });
    ASSERT_NE(broadcasts.rend(), last);
    EXPECT_EQ(u"State:" + ids[i] + (state ? u"=1" : u"=0"), *last);
  }
}

}  // namespace
}  // namespace extension_testing
