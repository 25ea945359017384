// Changes of the installed set: install, reinstall, update, enable, disable and delete, with
// the database, the listeners' broadcasts, the statistics and the unload message they produce;
// and the start of background pages: which extensions get a hidden core, what the web-view host
// is asked, and that a page outside the extension's directory is not started.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "extension/bk_core.h"
#include "extension/extension_mgr_test_util.h"
#include "extension/web_view_service.h"
#include "platform/bstr.h"
#include "platform/strings.h"
#include "support/log_capture.h"
#include "support/temp_env.h"
#include "support/thread_gate.h"

namespace extension_testing {
namespace {

using halcy::ScopedBstr;
using halcy::Utf16ToUtf8;

// `path` as the manager records it: "/" turned into "\".
std::u16string Backslashed(std::u16string path) {
  std::replace(path.begin(), path.end(), u'/', u'\\');
  return path;
}

using InstallTest = ExtensionMgrFixture;

TEST_F(InstallTest, BadSourcesAndTooOldBrowsersAreRefusedWithoutTouchingTheStore) {
  Start({Record(u"alpha")});  // without a version file the browser is 0.0.0.0
  // The manifest (null: no directory) and the result.
  const std::tuple<const char*, const char*, HRESULT> cases[] = {
      {"nodir", nullptr, S_FALSE},
      {"array", "[1,2]", E_FAIL},
      {"cut", "{\"name\":", E_FAIL},
      {"newer", "{\"lowestbrowser\":\"0.0.0.1\"}", E_FAIL},
      {"same", "{\"lowestbrowser\":\"0.0.0.0\"}", S_OK},
  };
  for (const auto& [name, manifest, expected] : cases) {
    const std::u16string id = halcy::Utf8ToUtf16(name);
    const std::u16string dir = manifest ? ExtensionDir(name, manifest)
                                        : halcy::Utf8ToUtf16(env_.appdata() + "/no/such/dir");
    EXPECT_EQ(expected, Install(id, dir)) << name;
    EXPECT_EQ(expected == S_OK, Agent(id) != nullptr) << name;
    EXPECT_EQ(expected == S_OK, StoredRecords().count(id) == 1) << name;
  }
}

TEST_F(InstallTest, ReinstallNeedsSetupOnlineAndReplacesTheManifestAndTheDirectory) {
  StoreRecord online = Record(u"online");
  online.manifest = u"{\"name\":\"old\",\"setuponline\":\"1\"}";
  StoreRecord fixed = Record(u"fixed");
  fixed.manifest = u"{\"name\":\"old\",\"setuponline\":\"2\"}";
  Start({online, fixed});
  const std::u16string dir = ExtensionDir("new", "{\"name\":\"new\",\"setuponline\":\"1\"}");
  EXPECT_EQ(S_FALSE, Install(u"fixed", dir));
  EXPECT_EQ(fixed.manifest, StoredRecords().at(u"fixed").manifest);
  EXPECT_EQ(S_OK, Install(u"online", dir));
  EXPECT_NE(std::u16string::npos, StoredRecords().at(u"online").manifest.find(u"\"new\""));
  EXPECT_EQ(Backslashed(dir), StoredRecords().at(u"online").directory);
  // Below the data directory the record names it by the prefix.
  std::filesystem::create_directories(UserExtensionsDir() + "/mine");
  testing_support::WriteFileOrDie(UserExtensionsDir() + "/mine/manifest.json", "{}");
  ASSERT_EQ(S_OK, Install(u"mine", DataDirectoryText() + u"\\mine"));
  EXPECT_EQ(u"hcextdbpath/mine", StoredRecords().at(u"mine").directory);
  // A failed reinstall puts the old manifest back on the agent.
  EXPECT_EQ(E_FAIL, Install(u"online", ExtensionDir("broken", "\"text\"")));
  ASSERT_TRUE(Agent(u"online"));
  EXPECT_EQ(u"new", Logic::AgentText(Agent(u"online").Get(), &Logic::IExtensionAgent::GetName));
}

TEST_F(InstallTest, UpdateTooNewForTheBrowserIsDeletedAndMapUntouched) {
  Start({Record(u"alpha")});
  const std::u16string dir = ExtensionDir("upd", "{\"name\":\"alpha\",\"lowestbrowser\":\"99\"}");
  EXPECT_EQ(S_FALSE, Install(u"alpha", dir, 1, /*update=*/true));
  EXPECT_FALSE(std::filesystem::exists(Utf16ToUtf8(dir)));
  EXPECT_EQ(Record(u"alpha").manifest, StoredRecords().at(u"alpha").manifest);
  const std::u16string ok = ExtensionDir("upd2", "{\"name\":\"alpha2\",\"version\":\"2.0\"}");
  EXPECT_EQ(S_OK, Install(u"alpha", ok, 1, /*update=*/true));
  EXPECT_NE(std::u16string::npos, StoredRecords().at(u"alpha").manifest.find(u"2.0"));
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
  EXPECT_EQ(std::vector<std::u16string>{u"0x07000002 s:lib"}, journal_->Texts(u"dll"));
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
            listener_->journal().Names(u"State:"));
  std::vector<std::string> lines = StatisticsLines();
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

TEST_F(InstallTest, StormOfEnablesAndDisablesKeepsAgentStoreAndBroadcastsInStep) {
  Start({Record(u"a"), Record(u"b")});
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 60; ++i) {
        ScopedBstr id((i + t) % 2 ? u"a" : u"b");
        (i * 7 + t) % 3 ? mgr_->EnableExtension(id.Get()) : mgr_->DisableExtension(id.Get());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(180u, listener_->journal().Names(u"State:").size());
  for (const std::u16string id : {u"a", u"b"}) {
    LONG state = -1;
    Agent(id)->GetState(&state);
    EXPECT_EQ(StoredRecords().at(id).state, state);
    // The last broadcast for the id names its final state.
    EXPECT_EQ(u"State:" + id + (state ? u"=1" : u"=0"),
              listener_->journal().Names(u"State:" + id).back());
  }
}

// The web-view service, its factory, its host and the cores it creates in one class: every call
// goes into the journal as a "web" entry.
class FakeWebView : public halcy::ComObjectRoot,
                    public Logic::IExtWebViewService,
                    public Logic::IExtWebViewFactory,
                    public Logic::IExtWebViewHost,
                    public Logic::IExtWebViewCore,
                    public Logic::IExtBackgroundCore {
 public:
  HALCY_BEGIN_INTERFACES(FakeWebView)
  HALCY_INTERFACE(FakeWebView, Logic::IExtWebViewService)
  HALCY_INTERFACE(FakeWebView, Logic::IExtWebViewFactory)
  HALCY_INTERFACE(FakeWebView, Logic::IExtWebViewHost)
  HALCY_INTERFACE(FakeWebView, Logic::IExtWebViewCore)
  HALCY_INTERFACE(FakeWebView, Logic::IExtBackgroundCore)
  HALCY_END_INTERFACES()
  explicit FakeWebView(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
  HRESULT GetViewFactory(LONG, Logic::IExtWebViewFactory** factory) override {
    return QueryInterface(Logic::IExtWebViewFactory::kIID, reinterpret_cast<void**>(factory));
  }
  HRESULT GetWebViewHost(Logic::IExtWebViewHost** host) override {
    return QueryInterface(Logic::IExtWebViewHost::kIID, reinterpret_cast<void**>(host));
  }
  HRESULT CreateCore(LONG a, LONG b, LONG c, Logic::IExtWebViewCore** core) override {
    journal_->Add(u"web", halcy::StringPrintf(u"create %d,%d,%d", a, b, c));
    return halcy::MakeComObject<FakeWebView>(journal_)->QueryInterface(
        Logic::IExtWebViewCore::kIID, reinterpret_cast<void**>(core));
  }
  HRESULT Navigate(BSTR address) override {
    journal_->Add(u"web", u"navigate", Text(address));
    return S_OK;
  }
  HRESULT GetReportedValues(LONG*, LONG*) override { return S_OK; }
  HRESULT GetRoutingHandle(LONG*) override { return S_OK; }
  HRESULT DeliverMessage(BSTR name, BSTR payload) override {
    journal_->Add(u"web", Text(name), Text(payload));
    return S_OK;
  }
  HRESULT Close() override {
    journal_->Add(u"web", u"close");
    return S_OK;
  }

 private:
  const std::shared_ptr<Journal> journal_;
};

StoreRecord WithPage(const std::u16string& id, LONG state, const std::u16string& page,
                     const std::u16string& extra = u"") {
  StoreRecord record = Record(id, state);
  record.manifest = u"{\"name\":\"n\",\"background_page\":\"" + page + u"\"" + extra + u"}";
  return record;
}

class BackgroundStartTest : public ExtensionMgrFixture {
 protected:
  BackgroundStartTest() {
    host_.ReplaceService(
        Logic::IExtWebViewService::kIID,
        static_cast<Logic::IExtWebViewService*>(halcy::MakeComObject<FakeWebView>(journal_).Get()));
  }
  // Five extensions: only "alpha" and "paged2" may have a page started.
  void StartFive() {
    const std::u16string page = u"bg/main.html";
    Start({WithPage(u"alpha", 1, page), WithPage(u"both", 1, page, u",\"librarypath\":\"b.so\""),
           WithPage(u"off", 0, page), WithPage(u"paged2", 2, page), Record(u"plain")},
          Thread::kThreadExtensionManager);
  }
  void Deliver(const char16_t* extension_id) {
    halcy::ScopedBstr id(extension_id), name(u"extension.response.x"), payload(u"{}");
    ASSERT_EQ(S_OK, mgr_->DeliverToExtension(id.Get(), name.Get(), payload.Get()));
    ASSERT_TRUE(host_.WaitIdle());
  }
};

TEST_F(BackgroundStartTest, EnabledPagesWithoutLibraryGetACoreOnTheUiThreadAtStartEnableInstall) {
  StartFive();
  const std::u16string nav = u"navigate hcbrowser://localextensions/";
  Deliver(u"paged2");  // the new core receives its extension's messages
  halcy::ScopedBstr alpha(u"alpha");
  ASSERT_EQ(S_OK, mgr_->DisableExtension(alpha.Get()));
  ASSERT_EQ(S_OK, mgr_->EnableExtension(alpha.Get()));
  const char* manifest = "{\"name\":\"n\",\"background_page\":\"p.html\"}";
  ASSERT_EQ(S_OK, Install(u"fresh", ExtensionDir("fresh", manifest), 1));
  ASSERT_EQ(S_OK, Install(u"quiet", ExtensionDir("quiet", manifest), 0));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<std::u16string>{
                u"create 1,0,0", nav + u"alpha/bg/main.html", u"create 1,0,0",
                nav + u"paged2/bg/main.html", u"extension.response.x {}", u"close", u"create 1,0,0",
                nav + u"alpha/bg/main.html", u"create 1,0,0", nav + u"fresh/p.html"}),
            journal_->Texts(u"web"));
  for (const JournalEntry& e : journal_->EntriesOf(u"web")) {
    EXPECT_EQ(host_.ThreadId(Thread::kThreadUI), e.thread_id);
  }
}

TEST_F(BackgroundStartTest, APageStillBeingCreatedWhenItsExtensionIsDisabledGetsNoCore) {
  StartFive();
  halcy::ScopedBstr alpha(u"alpha");
  ASSERT_EQ(S_OK, mgr_->DisableExtension(alpha.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  {
    // The UI thread is held while enable posts the page's creation there and disable runs.
    testing_support::ThreadGate hold(Thread::kThreadUI);
    ASSERT_EQ(S_OK, mgr_->EnableExtension(alpha.Get()));
    ASSERT_EQ(S_OK, mgr_->DisableExtension(alpha.Get()));
    host_.RunOn(Thread::kThreadExtensionManager, [] {});  // both have run there
  }
  ASSERT_TRUE(host_.WaitIdle());
  const size_t before = journal_->Texts(u"web").size();
  Deliver(u"alpha");
  EXPECT_EQ(before, journal_->Texts(u"web").size()) << "a disabled extension's page got a message";
}

TEST_F(BackgroundStartTest, WithoutTheWebViewServiceNothingStarts) {
  host_.ReplaceService(Logic::IExtWebViewService::kIID, nullptr);
  StartFive();
  EXPECT_TRUE(journal_->Texts(u"web").empty());
}

TEST_F(BackgroundStartTest, APageOutsideTheDirectoryIsNotStartedWithOneLine) {
  const std::pair<const char16_t*, const char16_t*> pages[] = {
      {u"good", u"bg/main.html?x=1#top"},
      {u"up", u"../x.html"},
      {u"escaped", u"%2e%2E/x.html"},
      {u"nul", u"a%00b.html"},
      {u"link", u"page.html"},
      {u"fifo", u"page.html"},
  };
  std::vector<StoreRecord> records;
  for (const auto& [id, page] : pages) records.push_back(WithPage(id, 1, page));
  PutRecords(records);
  const std::string dir = UserExtensionsDir();
  std::filesystem::create_symlink(env_.appdata() + "/outside.html", dir + "/link/page.html");
  ASSERT_EQ(0, ::mkfifo((dir + "/fifo/page.html").c_str(), 0600));
  testing_support::LogCapture log;
  Start(records, Thread::kThreadExtensionManager);
  EXPECT_EQ(
      (std::vector<std::u16string>{
          u"create 1,0,0", u"navigate hcbrowser://localextensions/good/bg/main.html?x=1#top"}),
      journal_->Texts(u"web"));
  // Only the good page was started; each other one has its line.
  EXPECT_EQ(std::size(pages) - 1, log.LinesWithTag(u"extMgr;").size());
}

}  // namespace
}  // namespace extension_testing
