// What native libraries ask of the browser's pages, through the manager on the test host's
// threads with the host's real window model, extension-point manager and page snapshots:
// which frames answer a page-information request, the snapshot answers (at once for a page
// still busy, later with the frame id), the low 32 bits of the toolbar command's numbers, how
// an address is made absolute, that nothing happens before start-up, and the thread it all
// runs on.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "extension/extension_mgr_test_util.h"
#include "host/browser_model.h"
#include "platform/strings.h"
#include "support/temp_env.h"

namespace extension_testing {
namespace {

using Thread::kThreadExtensionManager;
using Thread::kThreadUI;
using Texts = std::vector<std::u16string>;

class WebPageTest : public ExtensionMgrFixture {
 protected:
  void SetUp() override {
    host_.services().ui_log()->SetWriter([this](const std::string& line) {
      std::lock_guard<std::mutex> hold(lines_lock_);
      ui_lines_.push_back(line);
    });
  }
  void TearDown() override {
    ExtensionMgrFixture::TearDown();
    host_.services().ui_log()->SetWriter(nullptr);
  }

  // Frame 1 with tabs 11 (active) and 12, frame 2 with tab 21.
  void AddPages() {
    host::CBrowserModel* model = host_.services().browser_model();
    ASSERT_EQ(S_OK, model->AddFrame(1));
    ASSERT_EQ(S_OK, model->AddTab(1, 11, u"https://news.example/", u"News"));
    ASSERT_EQ(S_OK, model->AddTab(1, 12, u"https://mail.example/", u"Mail"));
    ASSERT_EQ(S_OK, model->AddFrame(2));
    ASSERT_EQ(S_OK, model->AddTab(2, 21, u"https://docs.example/", u"Docs"));
  }

  // The ui lines recorded since the last call.
  std::vector<std::string> TakeUiLines() {
    EXPECT_TRUE(host_.WaitIdle());
    std::lock_guard<std::mutex> hold(lines_lock_);
    return std::exchange(ui_lines_, {});
  }

  std::mutex lines_lock_;
  std::vector<std::string> ui_lines_;  // Guarded by lines_lock_
};

std::string UiLine(const std::string& call, const std::string& args) {
  return "{\"to\":\"ui\",\"call\":\"" + call + "\",\"args\":[" + args + "]}";
}

TEST_F(WebPageTest, PageInfoAnswersOncePerTopLevelFrameAndNeverForAnUnknownFrame) {
  Start({Record(u"ext")});
  AddPages();
  EXPECT_EQ(S_FALSE, impl()->GetWebPageInfo(u"ext", -1, 0, 1, u"q1"));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((Texts{u"0x0700000D s:ext n:1 n:0 n:1 s:q1 s:{\"title\":\"News\",\"url\":"
                   u"\"https://news.example/\"}",
                   u"0x0700000D s:ext n:2 n:0 n:1 s:q1 s:{\"title\":\"Docs\",\"url\":"
                   u"\"https://docs.example/\"}"}),
            journal_->Texts(u"dll"));
  // An unknown frame: nothing. A named frame whose high bits are set: only its low 32 count.
  // A non-zero second number or a clear flag: the answer carries no information.
  EXPECT_EQ(S_FALSE, impl()->GetWebPageInfo(u"ext", 77, 0, 1, u"q2"));
  EXPECT_EQ(S_FALSE, impl()->GetWebPageInfo(u"ext", 0x700000002LL, 0, 1, u"q3"));
  EXPECT_EQ(S_FALSE, impl()->GetWebPageInfo(u"ext", 1, 5, 1, u"q4"));
  EXPECT_EQ(S_FALSE, impl()->GetWebPageInfo(u"ext", 1, 0, 0, u"q5"));
  ASSERT_TRUE(host_.WaitIdle());
  const Texts all = journal_->Texts(u"dll");
  EXPECT_EQ(
      (Texts{u"0x0700000D s:ext n:2 n:0 n:1 s:q3 s:{\"title\":\"Docs\",\"url\":"
             u"\"https://docs.example/\"}",
             u"0x0700000D s:ext n:1 n:0 n:1 s:q4 s:", u"0x0700000D s:ext n:1 n:0 n:0 s:q5 s:"}),
      Texts(all.begin() + 2, all.end()));
}

TEST_F(WebPageTest, RequestsArePostedFromTheManagersThreadAndAnsweredOnTheUIThread) {
  Start({Record(u"ext")});
  AddPages();
  EXPECT_EQ(S_FALSE, host_.RunOn(kThreadExtensionManager,
                                 [this] { return impl()->GetWebPageInfo(u"ext", 2, 0, 1, u"q"); }));
  ASSERT_TRUE(journal_->WaitFor(1));
  EXPECT_EQ(host_.ThreadId(kThreadUI), journal_->EntriesOf(u"dll").at(0).thread_id);
}

TEST_F(WebPageTest, SnapshotOfABusyPageIsRefusedAtOnceAndTheFinishedOneNamesItsFrame) {
  Start({Record(u"ext")});
  AddPages();
  testing_support::ScopedTempDir dir;
  const std::u16string target = halcy::Utf8ToUtf16(dir.path() + "/page.png");
  TakeUiLines();
  // Both starts in one UI task, so the first page's rendering cannot run in between.
  host_.RunOn(kThreadUI, [&] {
    impl()->SnapShotWebPageInUIThread(2, u"ext", 7, target);
    EXPECT_EQ(1u, impl()->PendingSnapshotCount());
    impl()->SnapShotWebPageInUIThread(2, u"ext", 8, target);
  });
  // The busy page is not even asked a second time.
  EXPECT_EQ(std::vector<std::string>{UiLine("StartSnapshot",
                                            "21,7,\"" + halcy::Utf16ToUtf8(target) + "\"")},
            TakeUiLines());
  EXPECT_EQ(
      (Texts{u"0x0700000A s:ext n:-1 n:0 s:" + target, u"0x0700000A s:ext n:2 n:1 s:" + target}),
      journal_->Texts(u"dll"));
  EXPECT_EQ(0u, impl()->PendingSnapshotCount());
  EXPECT_TRUE(std::filesystem::is_regular_file(dir.path() + "/page.png"));
  // The page is free again: a new snapshot starts and finishes.
  EXPECT_EQ(S_FALSE, impl()->SnapShotWebPage(2, u"ext", 9, target));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(u"0x0700000A s:ext n:2 n:1 s:" + target, journal_->Texts(u"dll").back());
}

TEST_F(WebPageTest, SnapshotThatCannotStartIsAnsweredWithMinusOne) {
  Start({Record(u"ext")});
  AddPages();
  EXPECT_EQ(S_FALSE, impl()->SnapShotWebPage(-1, u"ext", 0, u"relative/page.png"));
  ASSERT_TRUE(host_.WaitIdle());
  // One answer per top-level frame, each refused by the page.
  EXPECT_EQ((Texts{u"0x0700000A s:ext n:-1 n:0 s:relative/page.png",
                   u"0x0700000A s:ext n:-1 n:0 s:relative/page.png"}),
            journal_->Texts(u"dll"));
  EXPECT_EQ(0u, impl()->PendingSnapshotCount());
}

TEST_F(WebPageTest, ToolbarCommandCarriesTheLow32BitsOfItsNumbers) {
  Start({Record(u"ext")});
  TakeUiLines();
  EXPECT_EQ(S_FALSE, impl()->PostCommandToUI(u"ext", 0x100000005LL, -1, u"refresh"));
  EXPECT_EQ(S_FALSE, impl()->PostCommandToUI(u"ext", 0x7FFFFFFF00000000LL, 0x80000000LL, u"x"));
  EXPECT_EQ(
      (std::vector<std::string>{UiLine("PostCommand",
                                       "\"185A0831-E83A-4a49-A9FE-2632A7D59888\",\"ext\",5,-1,"
                                       "\"refresh\""),
                                UiLine("PostCommand",
                                       "\"185A0831-E83A-4a49-A9FE-2632A7D59888\",\"ext\",0,"
                                       "-2147483648,\"x\"")}),
      TakeUiLines());
}

TEST_F(WebPageTest, OpenWebPageMakesOnlyLowerCasePrefixesAbsolute) {
  Start({Record(u"ext")});
  AddPages();
  struct Case {
    const char16_t* url;
    LONG relative_allowed;
    const char* opened;
  } cases[] = {
      {u"view.html", 1, "hcbrowser://localextensions/ext/view.html"},
      {u"view.html", 0, "view.html"},
      {u"HTTP://site.example/", 1, "hcbrowser://localextensions/ext/HTTP://site.example/"},
      {u"http://site.example/", 1, "http://site.example/"},
      {u"https://site.example/", 1, "https://site.example/"},
      {u"hcbrowser://other/x", 1, "hcbrowser://other/x"},
  };
  for (const Case& c : cases) {
    TakeUiLines();
    EXPECT_EQ(S_FALSE, impl()->OpenWebPage(u"ext", 2, c.url, c.relative_allowed, 0, u"", 4));
    EXPECT_EQ(std::vector<std::string>{UiLine("OpenUrl",
                                              "2,\"" + std::string(c.opened) + "\",1,-1,1,0,2")},
              TakeUiLines())
        << halcy::Utf16ToUtf8(c.url);
  }
}

TEST_F(WebPageTest, OpenWebPageRunsTheScriptInTheNewTabUnlessGuardedOrUnknown) {
  Start({Record(u"ext")});
  AddPages();
  TakeUiLines();
  EXPECT_EQ(S_FALSE, impl()->OpenWebPage(u"ext", 1, u"https://a.example/", 0, 1, u"go()", 0));
  // The new tab's id is above every id in use.
  EXPECT_EQ((std::vector<std::string>{UiLine("OpenUrl", "1,\"https://a.example/\",1,-1,2,0,2"),
                                      UiLine("RunScript", "22,\"go()\"")}),
            TakeUiLines());
  // An unknown frame, an empty address, or an extension in the open-page guard: nothing.
  impl()->OpenWebPage(u"ext", 9, u"https://a.example/", 0, 1, u"go()", 0);
  impl()->OpenWebPage(u"ext", 1, u"", 0, 1, u"go()", 0);
  impl()->SetOpenPageBlocked(u"ext", true);
  impl()->OpenWebPage(u"ext", 1, u"https://a.example/", 0, 1, u"go()", 0);
  EXPECT_EQ(std::vector<std::string>{}, TakeUiLines());
}

TEST_F(WebPageTest, BeforeStartUpAndAfterUninitializeNothingIsPosted) {
  AddPages();
  ComPtr<Logic::IExtensionMgr> idle = NewMgr();
  ASSERT_TRUE(idle);
  Logic::CExtensionMgrImpl* impl = static_cast<Logic::CCoExtensionMgr*>(idle.Get())->impl();
  impl->dll_host().Set(std::make_shared<RecordingDllSender>(journal_));
  const auto post_all = [](Logic::CExtensionMgrImpl* impl) {
    EXPECT_EQ(S_FALSE, impl->OpenWebPage(u"ext", 1, u"https://a.example/", 0, 0, u"", 0));
    EXPECT_EQ(S_FALSE, impl->GetWebPageInfo(u"ext", -1, 0, 1, u"q"));
    EXPECT_EQ(S_FALSE, impl->SnapShotWebPage(-1, u"ext", 0, u"/tmp/x.png"));
    EXPECT_EQ(S_FALSE, impl->PostCommandToUI(u"ext", 1, 2, u"c"));
  };
  TakeUiLines();
  post_all(impl);
  EXPECT_EQ(std::vector<std::string>{}, TakeUiLines());
  EXPECT_TRUE(journal_->EntriesOf(u"dll").empty());

  Start({Record(u"ext")});
  ASSERT_EQ(S_OK, mgr_->UnInitialize());
  ASSERT_TRUE(host_.WaitIdle());
  impl = this->impl();
  impl->dll_host().Set(std::make_shared<RecordingDllSender>(journal_));
  TakeUiLines();
  post_all(impl);
  EXPECT_EQ(std::vector<std::string>{}, TakeUiLines());
  EXPECT_TRUE(journal_->EntriesOf(u"dll").empty());
}

}  // namespace
}  // namespace extension_testing
