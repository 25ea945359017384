// Start-up of background pages: which installed extensions get a hidden core, what the
// web-view host is asked, that the core then receives the extension's messages on the UI
// thread, and that a page outside the extension's directory is not started.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "extension/bk_core.h"
#include "extension/extension_mgr_test_util.h"
#include "extension/routing_fakes.h"
#include "extension/web_view_service.h"
#include "platform/bstr.h"
#include "platform/strings.h"
#include "support/log_capture.h"
#include "support/temp_env.h"
#include "support/thread_gate.h"

namespace extension_testing {
namespace {

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
  HRESULT GetViewFactory(LONG index, Logic::IExtWebViewFactory** factory) override {
    journal_->Add(u"web", halcy::StringPrintf(u"factory %d", index));
    return QueryInterface(Logic::IExtWebViewFactory::kIID, reinterpret_cast<void**>(factory));
  }
  HRESULT GetWebViewHost(Logic::IExtWebViewHost** host) override {
    journal_->Add(u"web", u"host");
    return QueryInterface(Logic::IExtWebViewHost::kIID, reinterpret_cast<void**>(host));
  }
  HRESULT CreateCore(LONG a, LONG b, LONG c, Logic::IExtWebViewCore** core) override {
    journal_->Add(u"web", halcy::StringPrintf(u"create %d,%d,%d", a, b, c));
    return halcy::MakeComObject<FakeWebView>(journal_)->QueryInterface(
        Logic::IExtWebViewCore::kIID, reinterpret_cast<void**>(core));
  }
  HRESULT Navigate(BSTR address) override {
    journal_->Add(u"web", u"navigate " + Text(address));
    return S_OK;
  }
  HRESULT GetReportedValues(LONG*, LONG*) override { return S_OK; }
  HRESULT GetRoutingHandle(LONG*) override { return S_OK; }
  HRESULT DeliverMessage(BSTR name, BSTR payload) override {
    journal_->Add(u"web", u"deliver " + Text(name) + u" " + Text(payload));
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
  void StartWith(const std::vector<StoreRecord>& records, bool with_web_view = true) {
    if (with_web_view) {
      host_.ReplaceService(Logic::IExtWebViewService::kIID,
                           static_cast<Logic::IExtWebViewService*>(
                               halcy::MakeComObject<FakeWebView>(journal_).Get()));
    }
    Start(records, Thread::kThreadExtensionManager);
  }
  // Five extensions: only "alpha" and "paged2" may have a page started.
  void StartFive(bool with_web_view = true) {
    const std::u16string page = u"bg/main.html";
    StartWith({WithPage(u"alpha", 1, page), WithPage(u"both", 1, page, u",\"librarypath\":\"b.so\""),
               WithPage(u"off", 0, page), WithPage(u"paged2", 2, page), Record(u"plain")},
              with_web_view);
  }
  std::vector<std::u16string> Calls() {
    std::vector<std::u16string> calls;
    for (const JournalEntry& e : journal_->EntriesOf(u"web")) calls.push_back(e.name);
    return calls;
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
  // The host is fetched once.
  EXPECT_EQ((std::vector<std::u16string>{u"factory 0", u"host", u"create 1,0,0",
                                         nav + u"alpha/bg/main.html", u"create 1,0,0",
                                         nav + u"paged2/bg/main.html",
                                         u"deliver extension.response.x {}", u"create 1,0,0",
                                         nav + u"alpha/bg/main.html", u"create 1,0,0",
                                         nav + u"fresh/p.html"}),
            Calls());
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
    ASSERT_TRUE(testing_support::Drain(Thread::kThreadExtensionManager));
  }
  ASSERT_TRUE(host_.WaitIdle());
  const size_t before = Calls().size();
  Deliver(u"alpha");
  EXPECT_EQ(before, Calls().size()) << "a disabled extension's page got a message";
}

TEST_F(BackgroundStartTest, WithoutTheWebViewServiceNothingStarts) {
  StartFive(false);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(BackgroundStartTest, APageOutsideTheDirectoryIsNotStartedWithOneLine) {
  const std::pair<const char16_t*, const char16_t*> pages[] = {
      {u"good", u"bg/main.html?x=1#top"}, {u"up", u"../x.html"},   {u"escaped", u"%2e%2E/x.html"},
      {u"nul", u"a%00b.html"},            {u"link", u"page.html"}, {u"fifo", u"page.html"}};
  std::vector<StoreRecord> records;
  for (const auto& [id, page] : pages) records.push_back(WithPage(id, 1, page));
  PutRecords(records);
  const std::string dir = UserExtensionsDir();
  testing_support::WriteFileOrDie(env_.appdata() + "/outside.html", "<html></html>");
  std::filesystem::create_symlink(env_.appdata() + "/outside.html", dir + "/link/page.html");
  ASSERT_EQ(0, ::mkfifo((dir + "/fifo/page.html").c_str(), 0600));
  testing_support::LogCapture log;
  StartWith(records);
  EXPECT_EQ((std::vector<std::u16string>{
                u"factory 0", u"host", u"create 1,0,0",
                u"navigate hcbrowser://localextensions/good/bg/main.html?x=1#top"}),
            Calls());
  std::u16string refused;
  for (const testing_support::LogLine& line : log.LinesWithTag(u"extMgr;")) {
    if (line.text.find(u"background_page") != std::u16string::npos) refused += line.text;
  }
  for (size_t i = 1; i < std::size(pages); ++i) {
    const std::u16string quoted = u"'" + std::u16string(pages[i].first) + u"'";
    EXPECT_NE(std::u16string::npos, refused.find(quoted)) << halcy::Utf16ToUtf8(quoted);
  }
  EXPECT_EQ(std::size(pages) - 1, log.LinesWithTag(u"extMgr;").size());
}

}  // namespace
}  // namespace extension_testing
