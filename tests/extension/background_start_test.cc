// Start-up of background pages: which installed extensions get a hidden core, what the
// web-view host is asked, and that the core then receives the extension's messages on the UI
// thread.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "extension/bk_core.h"
#include "extension/extension_mgr.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_mgr_test_util.h"
#include "extension/routing_fakes.h"
#include "extension/web_view_service.h"
#include "platform/bstr.h"
#include "platform/com_object.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "support/temp_env.h"
#include "support/thread_gate.h"
#include "thread/thread_service.h"

namespace extension_testing {
namespace {

// The web view and its cores write every call into the journal as "web" entries.
class FakeCore : public halcy::ComObjectRoot,
                 public Logic::IExtWebViewCore,
                 public Logic::IExtBackgroundCore {
 public:
  HALCY_BEGIN_INTERFACES(FakeCore)
  HALCY_INTERFACE(FakeCore, Logic::IExtWebViewCore)
  HALCY_INTERFACE(FakeCore, Logic::IExtBackgroundCore)
  HALCY_END_INTERFACES()
  explicit FakeCore(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
  HRESULT Navigate(BSTR address) override {
    journal_->Add(u"web", u"navigate " + Text(address), u"");
    return S_OK;
  }
  HRESULT GetReportedValues(LONG* value1, LONG* value2) override {
    *value1 = 31;
    *value2 = 32;
    return S_OK;
  }
  HRESULT GetRoutingHandle(LONG* handle) override {
    *handle = 77;
    return S_OK;
  }
  HRESULT DeliverMessage(BSTR name, BSTR payload) override {
    journal_->Add(u"web", u"deliver " + Text(name) + u" " + Text(payload), u"");
    return S_OK;
  }

 private:
  const std::shared_ptr<Journal> journal_;
};

class FakeWebView : public halcy::ComObjectRoot,
                    public Logic::IExtWebViewService,
                    public Logic::IExtWebViewFactory,
                    public Logic::IExtWebViewHost {
 public:
  HALCY_BEGIN_INTERFACES(FakeWebView)
  HALCY_INTERFACE(FakeWebView, Logic::IExtWebViewService)
  HALCY_INTERFACE(FakeWebView, Logic::IExtWebViewFactory)
  HALCY_INTERFACE(FakeWebView, Logic::IExtWebViewHost)
  HALCY_END_INTERFACES()
  explicit FakeWebView(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}
  HRESULT GetViewFactory(LONG index, Logic::IExtWebViewFactory** factory) override {
    journal_->Add(u"web", halcy::StringPrintf(u"factory %d", index), u"");
    return QueryInterface(Logic::IExtWebViewFactory::kIID, reinterpret_cast<void**>(factory));
  }
  HRESULT GetWebViewHost(Logic::IExtWebViewHost** host) override {
    journal_->Add(u"web", u"host", u"");
    return QueryInterface(Logic::IExtWebViewHost::kIID, reinterpret_cast<void**>(host));
  }
  HRESULT CreateCore(LONG a, LONG b, LONG c, Logic::IExtWebViewCore** core) override {
    journal_->Add(u"web", halcy::StringPrintf(u"create %d,%d,%d", a, b, c), u"");
    ComPtr<FakeCore> made = halcy::MakeComObject<FakeCore>(journal_);
    return made->QueryInterface(Logic::IExtWebViewCore::kIID, reinterpret_cast<void**>(core));
  }

 private:
  const std::shared_ptr<Journal> journal_;
};

StoreRecord WithManifest(const std::u16string& id, LONG state, const std::u16string& extra) {
  StoreRecord record = Record(id, state);
  record.manifest = u"{\"name\":\"" + id + u"\",\"version\":\"1.0\"" + extra + u"}";
  return record;
}

class BackgroundStartTest : public ExtensionMgrFixture {
 protected:
  void Start(bool with_web_view) {
    if (with_web_view) {
      web_view_ = halcy::MakeComObject<FakeWebView>(journal_);
      host_.ReplaceService(Logic::IExtWebViewService::kIID,
                           static_cast<Logic::IExtWebViewService*>(web_view_.Get()));
    }
    const std::u16string page = u",\"background_page\":\"bg/main.html\"";
    ExtensionMgrFixture::Start({WithManifest(u"alpha", 1, page),
                                WithManifest(u"both", 1, page + u",\"librarypath\":\"both.so\""),
                                WithManifest(u"off", 0, page), WithManifest(u"paged2", 2, page),
                                WithManifest(u"plain", 1, u"")},
                               Thread::kThreadExtensionManager);
    ASSERT_TRUE(host_.WaitIdle());
  }
  // The calls from the `first`th on.
  std::vector<std::u16string> Calls(size_t first = 0) {
    std::vector<std::u16string> calls;
    for (const JournalEntry& e : journal_->Entries()) calls.push_back(e.name);
    return std::vector<std::u16string>(calls.begin() + first, calls.end());
  }
  void Deliver(const char16_t* extension_id) {
    halcy::ScopedBstr id(extension_id), name(u"extension.response.x"), payload(u"{}");
    ASSERT_EQ(S_OK, mgr_->DeliverToExtension(id.Get(), name.Get(), payload.Get()));
    ASSERT_TRUE(host_.WaitIdle());
  }

  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
  ComPtr<FakeWebView> web_view_;
};

TEST_F(BackgroundStartTest, PagesWithoutLibraryInStateOneOrTwoGetACoreOnTheUiThread) {
  Start(true);
  // The host is fetched once; "both" has a library and "off" is disabled, so only two cores.
  const std::vector<std::u16string> expected = {
      u"factory 0",    u"host",
      u"create 1,0,0", u"navigate hcbrowser://localextensions/alpha/bg/main.html",
      u"create 1,0,0", u"navigate hcbrowser://localextensions/paged2/bg/main.html",
  };
  EXPECT_EQ(expected, Calls());
  // The new core receives its extension's messages, on the UI thread too.
  Deliver(u"paged2");
  EXPECT_EQ(std::vector<std::u16string>{u"deliver extension.response.x {}"},
            Calls(expected.size()));
  for (const JournalEntry& e : journal_->Entries()) {
    EXPECT_EQ(host_.ThreadId(Thread::kThreadUI), e.thread_id);
  }
}

TEST_F(BackgroundStartTest, EnableAndInstallInStateOneStartThePage) {
  Start(true);
  size_t before = Calls().size();
  halcy::ScopedBstr alpha(u"alpha");
  ASSERT_EQ(S_OK, mgr_->DisableExtension(alpha.Get()));
  ASSERT_EQ(S_OK, mgr_->EnableExtension(alpha.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<std::u16string>{
                u"create 1,0,0", u"navigate hcbrowser://localextensions/alpha/bg/main.html"}),
            Calls(before));

  // A new extension starts when installed enabled, and not when installed disabled.
  before = Calls().size();
  const char* manifest = "{\"name\":\"n\",\"background_page\":\"p.html\"}";
  ASSERT_EQ(S_OK, Install(u"fresh", ExtensionDir("fresh", manifest), 1));
  ASSERT_EQ(S_OK, Install(u"quiet", ExtensionDir("quiet", manifest), 0));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<std::u16string>{u"create 1,0,0",
                                         u"navigate hcbrowser://localextensions/fresh/p.html"}),
            Calls(before));
}

TEST_F(BackgroundStartTest, APageStillBeingCreatedWhenItsExtensionIsDisabledGetsNoCore) {
  Start(true);
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
  Start(false);
  EXPECT_TRUE(Calls().empty());
}

}  // namespace
}  // namespace extension_testing
