// The manager's side of the browser's UI extension points: what each extension's description
// holds when it reaches the host's UI extension-point manager, when it is registered and
// withdrawn, the clicks that come back through the listener, and accelerators registered with
// the host's browser-window service.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "common/json_escape.h"
#include "extension/extension_mgr.h"
#include "extension/extension_mgr_impl.h"
#include "extension/ui_ext_points.h"
#include "extension/ui_ext_pt_mgr.h"
#include "extension_mgr_fakes.h"
#include "extension_mgr_test_util.h"
#include "host/browser_model.h"
#include "host/browser_window_service.h"
#include "host/ui_ext_points.h"
#include "platform/bstr.h"
#include "platform/strings.h"

namespace {

using extension_testing::ExtensionMgrFixture;
using extension_testing::JournalEntry;
using extension_testing::Record;
using extension_testing::StoreRecord;

StoreRecord WithManifest(const std::u16string& id, const std::u16string& manifest, LONG state = 1) {
  StoreRecord record = Record(id, state);
  record.manifest = manifest;
  return record;
}

class UIPointsTest : public ExtensionMgrFixture {
 protected:
  host::CUIExtPtMgr* points() { return host_.services().ui_points(); }
  // The installed extension's directory with a backslash, as icon paths are made absolute.
  std::u16string Dir(const std::u16string& id) { return DataDirectoryText() + u"\\" + id + u"\\"; }
  HRESULT Click(const std::u16string& id, const std::u16string& point) {
    return host_.RunOn(Thread::kThreadUI, [&] {
      return points()->Click(id, point, u"http://a.example/x", 11, 1, true, u"go");
    });
  }
  HRESULT MenuClick(const std::u16string& id, const std::u16string& point) {
    return host_.RunOn(Thread::kThreadUI, [&] { return points()->MenuClick(id, point, 1, 7); });
  }
  std::vector<JournalEntry> Dll() { return journal_->EntriesOf(u"dll"); }
};

TEST_F(UIPointsTest, IconPathsAreMadeAbsoluteAndEscapedAndStringPointsAreLeftOut) {
  Start({WithManifest(u"icons",
                      u"{\"name\":\"n\",\"toolbarui\":{\"icongroup\":{\"normal\":\"t.png\"},"
                      u"\"animation_icon\":{\"path\":\"spin.gif\"}},"
                      u"\"addressui\":{\"icongroup\":{\"normal\":\"n.png\",\"press\":\"p.png\","
                      u"\"hover\":\"h.png\"}},"
                      u"\"appbarui\":\"not an object\",\"sidebarui\":{\"icongroup\":{\"press\":"
                      u"\"kept.png\"}}}")});
  const auto registered = points()->Points(u"icons");
  auto escaped = [&](const char16_t* file) { return Logic::EscapeJsonText(Dir(u"icons") + file); };
  ASSERT_EQ(3u, registered.size());  // the application bar's string gives no button
  EXPECT_EQ(u"{\"animation_icon\":{\"path\":\"" + escaped(u"spin.gif") +
                u"\"},\"icongroup\":{\"normal\":\"" + escaped(u"t.png") + u"\"}}",
            registered.at(Logic::kToolbarPointId));
  EXPECT_EQ(u"{\"icongroup\":{\"hover\":\"" + escaped(u"h.png") + u"\",\"normal\":\"" +
                escaped(u"n.png") + u"\",\"press\":\"" + escaped(u"p.png") + u"\"}}",
            registered.at(Logic::kAddressBarPointId));
  // Only the address bar's "press" is an icon path; the side bar's stays as written.
  EXPECT_EQ(u"{\"icongroup\":{\"press\":\"kept.png\"}}", registered.at(Logic::kSideBarPointId));
  EXPECT_NE(std::u16string::npos, escaped(u"t.png").find(u"\\\\"));  // backslashes escaped
}

TEST_F(UIPointsTest, StartUpDropsRegistrationsOfExtensionsNoLongerInstalled) {
  ComPtr<Logic::IUIExtDescription> ghost;
  ASSERT_EQ(S_OK, host::CUIExtDescription::Create(Logic::IUIExtDescription::kIID,
                                                  ghost.ReleaseAndGetVoidAddress()));
  halcy::ScopedBstr id(u"ghost"), point(Logic::kToolbarPointId), json(u"{}");
  ghost->SetExtensionId(id.Get());
  ghost->AddPoint(point.Get(), json.Get());
  ASSERT_EQ(S_OK, points()->RegisterDescription(ghost.Get(), 0));
  Start({WithManifest(u"live", u"{\"toolbarui\":{\"caption\":\"c\"}}"),
         WithManifest(u"off", u"{\"toolbarui\":{\"caption\":\"c\"}}", 0)});
  EXPECT_EQ(std::vector<std::u16string>{u"live"}, points()->RegisteredExtensions());
  EXPECT_EQ(u"{\"caption\":\"c\"}", points()->Points(u"live").at(Logic::kToolbarPointId));
}

TEST_F(UIPointsTest, ClicksOfALibraryExtensionGoOutToTheDllHost) {
  Start({Record(u"lib")});
  ASSERT_EQ(S_OK, Click(u"lib", Logic::kSideBarPointId));
  ASSERT_EQ(S_OK, MenuClick(u"lib", Logic::kAppBarPointId));
  ASSERT_TRUE(journal_->WaitFor(2));
  EXPECT_EQ((std::vector<std::u16string>{
                u"0x07000011 s:lib n:0 s:extension.notify.ui.click "
                u"s:{\"frame\":\"1\", \"LButton\":\"1\",\"extpt\":\"sidebarui\", "
                u"\"url\":\"http://a.example/x\", \"tab_id\":\"11\", \"btnname\":\"go\"} n:0",
                u"0x07000006 s:lib n:2 n:1 n:7"}),
            journal_->Texts(u"dll"));
}

TEST_F(UIPointsTest, ClicksOfAPageExtensionBecomePageEventsAndSideBarMenusAreNameless) {
  Start({WithManifest(u"paged", u"{\"background_page\":\"bg.html\"}")});
  AddCore(u"paged", Thread::kThreadUI);
  ASSERT_EQ(S_OK, Click(u"paged", Logic::kAppBarPointId));
  ASSERT_EQ(S_OK, MenuClick(u"paged", Logic::kSideBarPointId));
  ASSERT_TRUE(journal_->WaitFor(2));
  const std::vector<JournalEntry> core = journal_->EntriesOf(u"core:paged");
  ASSERT_EQ(2u, core.size());
  EXPECT_NE(std::u16string::npos, core[0].payload.find(u"browserAction.onClicked"));
  EXPECT_NE(std::u16string::npos, core[0].payload.find(u"\"extpt\":\"appui\""))
      << halcy::Utf16ToUtf8(core[0].payload);
  EXPECT_NE(std::u16string::npos, core[1].payload.find(u"browserAction.onMenuClicked"));
  // No frame 1 in the browser: tab 0; the side bar has no name in menu clicks.
  EXPECT_NE(
      std::u16string::npos,
      core[1].payload.find(u"{\"frame\":\"1\",\"tabid\":\"0\",\"extpt\":\"\", \"menuID\":\"7\"}"))
      << halcy::Utf16ToUtf8(core[1].payload);
  EXPECT_TRUE(Dll().empty());
}

TEST_F(UIPointsTest, ClicksForAnExtensionThatIsNotInstalledDoNothing) {
  Start({Record(u"lib")});
  EXPECT_EQ(S_OK, Click(u"absent", Logic::kToolbarPointId));
  EXPECT_EQ(S_FALSE, MenuClick(u"absent", Logic::kToolbarPointId));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(journal_->Entries().empty());
}

TEST_F(UIPointsTest, GuideDisplayReachesTheExtensionAsCompactJson) {
  Start({Record(u"lib")});
  ComPtr<Logic::IUIExtListener> listener = impl()->UIListenerForTesting();
  halcy::ScopedBstr id(u"lib"), url(u"page?a=\"b\"");
  ASSERT_TRUE(host_.RunOn(
      Thread::kThreadUI, [&] { return listener->OnGuideShow(id.Get(), 5, url.Get(), 1) == S_OK; }));
  ASSERT_TRUE(host_.RunOn(
      Thread::kThreadUI, [&] { return listener->OnGuideShow(id.Get(), 5, url.Get(), 0) == S_OK; }));
  ASSERT_TRUE(journal_->WaitFor(2));
  EXPECT_EQ((std::vector<std::u16string>{u"0x07000011 s:lib n:0 s:extension.response.ui.showguide "
                                         u"s:{\"show\":\"1\",\"url\":\"page?a=\\\"b\\\"\"} n:0",
                                         u"0x07000011 s:lib n:0 s:extension.response.ui.showguide "
                                         u"s:{\"show\":\"0\",\"url\":\"page?a=\\\"b\\\"\"} n:0"}),
            journal_->Texts(u"dll"));
}

TEST_F(UIPointsTest, ListenerSlotsAnswerMinusOneAfterUninitialize) {
  Start({Record(u"lib")});
  ComPtr<Logic::IUIExtListener> listener = impl()->UIListenerForTesting();
  EXPECT_EQ(listener.Get(), points()->listener().Get());  // handed over at switch user
  halcy::ScopedBstr id(u"absent"), point(Logic::kToolbarPointId), url(u"u"), name(u"b");
  EXPECT_EQ(S_FALSE, listener->OnMenuClick(id.Get(), point.Get(), 1, 2));
  ASSERT_EQ(S_OK, mgr_->UnInitialize());
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(-1, listener->OnMenuClick(id.Get(), point.Get(), 1, 2));
  EXPECT_EQ(-1, listener->OnButtonClick(id.Get(), point.Get(), url.Get(), 1, 1, 1, name.Get()));
  EXPECT_EQ(-1, listener->OnGuideShow(id.Get(), 0, url.Get(), 1));
  LONG answer = 0;
  EXPECT_EQ(S_OK, listener->QueryEnabled(&answer));
  EXPECT_EQ(1, answer);
}

TEST_F(UIPointsTest, DisableWithdrawsPointsClosesTabsAndClosesTheCoreOnItsOwnerThread) {
  Start({WithManifest(u"paged", u"{\"background_page\":\"bg.html\",\"toolbarui\":{\"a\":1}}")});
  host::CBrowserModel* model = host_.services().browser_model();
  ASSERT_TRUE(host_.RunOn(Thread::kThreadUI, [&] {
    return model->AddFrame(1) == S_OK &&
           model->AddTab(1, 11, u"hcbrowser://localextensions/PAGED/options.html", u"o") == S_OK &&
           model->AddTab(1, 12, u"http://other.example/", u"x") == S_OK;
  }));
  AddCore(u"paged", Thread::kThreadIPC);
  ASSERT_EQ(1u, points()->Points(u"paged").size());
  halcy::ScopedBstr id(u"paged");
  ASSERT_EQ(S_OK, mgr_->DisableExtension(id.Get()));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_TRUE(points()->Points(u"paged").empty());
  EXPECT_FALSE(model->Tab(11).has_value());  // the extension's page, in any case
  EXPECT_TRUE(model->Tab(12).has_value());
  std::vector<JournalEntry> closes;
  for (const JournalEntry& e : journal_->EntriesOf(u"core:paged")) {
    if (e.name == u"close") closes.push_back(e);
  }
  ASSERT_EQ(1u, closes.size());
  EXPECT_EQ(host_.ThreadId(Thread::kThreadIPC), closes[0].thread_id);
  // Nothing reaches the closed core any more.
  halcy::ScopedBstr name(u"extension.response.x"), payload(u"{}");
  const size_t before = journal_->EntriesOf(u"core:paged").size();
  mgr_->DeliverToExtension(id.Get(), name.Get(), payload.Get());
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(before, journal_->EntriesOf(u"core:paged").size());
}

TEST_F(UIPointsTest, AcceleratorsAreRegisteredOnEveryFrameOnTheUiThread) {
  Start({WithManifest(u"keyed", u"{\"accelerator\":\"Ctrl+Shift+Y\"}"),
         WithManifest(u"nokey", u"{\"accelerator\":\"Ctrl+Shift\"}")});
  host::CBrowserModel* model = host_.services().browser_model();
  ASSERT_TRUE(host_.RunOn(
      Thread::kThreadUI, [&] { return model->AddFrame(1) == S_OK && model->AddFrame(2) == S_OK; }));
  ASSERT_EQ(S_OK, mgr_->RegisterAllAccelerators());
  ASSERT_TRUE(host_.WaitIdle());
  host::CBrowserWindowService* windows = host_.services().browser_windows();
  for (LONG frame : {1, 2}) {
    EXPECT_EQ(std::vector<std::u16string>{u"keyed"}, windows->Registered(frame, 0x0359)) << frame;
    EXPECT_TRUE(windows->Registered(frame, 0x0300).empty());  // "Ctrl+Shift" has no key
  }
  // A second registration replaces the first rather than adding to it.
  ASSERT_EQ(S_OK, mgr_->RegisterAllAccelerators());
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(1u, windows->Registered(1, 0x0359).size());
}

TEST_F(UIPointsTest, StartUpRegistersEveryRunningExtensionsAcceleratorOnEveryFrameInOrder) {
  std::mutex lock;
  std::vector<std::string> lines;  // guarded by lock
  host_.services().ui_log()->SetWriter([&](const std::string& line) {
    if (line.find("\"RegisterAccelerator\"") == std::string::npos) return;
    std::lock_guard<std::mutex> hold(lock);
    lines.push_back(line);
  });
  host::CBrowserModel* model = host_.services().browser_model();
  ASSERT_TRUE(host_.RunOn(
      Thread::kThreadUI, [&] { return model->AddFrame(1) == S_OK && model->AddFrame(2) == S_OK; }));
  Start({WithManifest(u"alpha", u"{\"accelerator\":\"Ctrl+Shift+Y\"}"),
         WithManifest(u"beta", u"{\"accelerator\":\"Alt+6\"}", 2),
         WithManifest(u"gamma", u"{\"accelerator\":\"Ctrl+Shift+Y\"}", 0),  // not running
         WithManifest(u"delta", u"{\"accelerator\":\"Ctrl+Shift\"}")});     // no key
  ASSERT_TRUE(host_.WaitIdle());
  host_.services().ui_log()->SetWriter(nullptr);
  host::CBrowserWindowService* windows = host_.services().browser_windows();
  for (LONG frame : {1, 2}) {
    EXPECT_EQ(std::vector<std::u16string>{u"alpha"}, windows->Registered(frame, 0x0359)) << frame;
    EXPECT_EQ(std::vector<std::u16string>{u"beta"}, windows->Registered(frame, 0x0436)) << frame;
    EXPECT_TRUE(windows->Registered(frame, 0x0300).empty()) << frame;
  }
  // Extension by extension (in installed order), each on every frame; nothing twice.
  EXPECT_EQ(std::vector<std::string>(
                {R"({"to":"ui","call":"RegisterAccelerator","args":[1,857,"alpha"]})",
                 R"({"to":"ui","call":"RegisterAccelerator","args":[2,857,"alpha"]})",
                 R"({"to":"ui","call":"RegisterAccelerator","args":[1,1078,"beta"]})",
                 R"({"to":"ui","call":"RegisterAccelerator","args":[2,1078,"beta"]})"}),
            lines);
}

}  // namespace

TEST_F(UIPointsTest, ReRegisteringAnAcceleratorMovesTheExtensionToTheEndOfItsFrame) {
  host::CBrowserWindowService* windows = host_.services().browser_windows();
  for (const char16_t* id : {u"a", u"b", u"c"}) windows->Register(7, 0x0359, id);
  windows->Register(8, 0x0359, u"b");  // another frame keeps its own list
  windows->Register(7, 0x0359, u"a");
  EXPECT_EQ(std::vector<std::u16string>({u"b", u"c", u"a"}), windows->Registered(7, 0x0359));
  windows->Register(7, 0x0436, u"b");  // a new key replaces the old one
  EXPECT_EQ(std::vector<std::u16string>({u"c", u"a"}), windows->Registered(7, 0x0359));
  EXPECT_EQ(std::vector<std::u16string>{u"b"}, windows->Registered(7, 0x0436));
  EXPECT_EQ(std::vector<std::u16string>{u"b"}, windows->Registered(8, 0x0359));
}
