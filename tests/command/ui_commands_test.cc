// The common command host's window, frame, bubble, navigation and page commands, driven through
// HandleCommand against the host's browser model, popup frames and UI extension-point
// manager; what the browser showed is read from its {"to":"ui",...} lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/browser_windows.h"
#include "command/cmd_host_fixture.h"
#include "command/cmd_host_lookups.h"
#include "command/command_args.h"
#include "extension/ui_ext_points.h"
#include "extension/web_view_service.h"
#include "host/popup_frames.h"
#include "json/json_reader.h"
#include "platform/com_object.h"
#include "platform/windows.h"
#include "support/temp_env.h"
#include "support/thread_gate.h"
#include "thread/frame_lookup.h"

namespace command_testing {
namespace {

std::string Line(const std::string& call, const std::string& args) {
  return "{\"to\":\"ui\",\"call\":\"" + call + "\",\"args\":[" + args + "]}";
}

std::string Utf8(const std::u16string& text) { return halcy::Utf16ToUtf8(text); }

// Argument `index` of a recorded line, as text (a number's digits, a string's value).
std::u16string ArgOf(const std::string& line, size_t index) {
  std::unique_ptr<Logic::CJsonValue> root = Logic::ParseJson(halcy::Utf8ToUtf16(line));
  const Logic::CJsonValue* args = root ? Logic::FindMember(*root, u"args") : nullptr;
  if (!args || !args->IsArray() || index >= args->GetArray().size()) return u"<none>";
  return Logic::MemberText(*args->GetArray()[index]);
}

// The browser's web-view service only has to be there for popups to open.
class CWebViewServiceStub : public halcy::ComObjectRoot, public Logic::IExtWebViewService {
 public:
  HALCY_BEGIN_INTERFACES(CWebViewServiceStub)
  HALCY_INTERFACE(CWebViewServiceStub, Logic::IExtWebViewService)
  HALCY_END_INTERFACES()
  HRESULT GetViewFactory(LONG, Logic::IExtWebViewFactory**) override { return E_NOTIMPL; }
};

// Records the window manager's close and update calls.
class CRecordingWindowMgr : public halcy::ComObjectRoot, public Logic::IExtWindowMgr {
 public:
  HALCY_BEGIN_INTERFACES(CRecordingWindowMgr)
  HALCY_INTERFACE(CRecordingWindowMgr, Logic::IExtWindowMgr)
  HALCY_END_INTERFACES()
  HRESULT ReservedSlot3() override { return E_NOTIMPL; }
  HRESULT CloseWindow(BSTR extension_id, BSTR window_id) override {
    return Add(u"close " + Logic::BstrText(extension_id) + u" " + Logic::BstrText(window_id));
  }
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT ReservedSlot6() override { return E_NOTIMPL; }
  HRESULT UpdateWindow(BSTR extension_id, BSTR window_id, LONG element_id, BSTR update) override {
    return Add(u"update " + Logic::BstrText(extension_id) + u" " + Logic::BstrText(window_id) +
               u" " + Num(element_id) + u" " + Logic::BstrText(update));
  }
  HRESULT GetWindowHandle(BSTR, BSTR, HANDLE*) override { return E_NOTIMPL; }
  std::vector<std::u16string> calls() {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }

 private:
  HRESULT Add(std::u16string call) {
    std::lock_guard<std::mutex> hold(mutex_);
    calls_.push_back(std::move(call));
    return S_OK;
  }
  std::mutex mutex_;
  std::vector<std::u16string> calls_;  // Guarded by mutex_
};

class UICommandTest : public CmdHostTest {
 protected:
  void SetUp() override {
    AddTwoFrames();
    web_view_ = halcy::MakeComObject<CWebViewServiceStub>();
    host_.ReplaceService(Logic::IExtWebViewService::kIID, web_view_.Get());
  }
  std::string Handle(LONG frame_id) {
    return std::to_string(reinterpret_cast<uintptr_t>(model()->WindowOf(frame_id)));
  }
  ComPtr<CWebViewServiceStub> web_view_;
};

// The popup is set up in the browser's order, and the reply leaves the UI thread only after
// HandleCommand returned S_OK.
TEST_F(UICommandTest, PopFrameSetsThePopupUpInOrderAndRepliesFromTheUIThread) {
  {
    testing_support::ThreadGate gate(Thread::kThreadUI);
    ASSERT_EQ(S_OK, Command(u"extension.invoke.ui.popframe",
                            u"{\"url\":\"notes/p.html?v=${version}\",\"frame_id\":\"2\","
                            u"\"caption\":\"Notes\",\"icon\":\"img\\\\n.png\"}",
                            31));
    EXPECT_TRUE(port_->replies().empty());
  }
  std::vector<SentReply> replies = RepliesWhenIdle();
  ASSERT_EQ(1u, replies.size());
  EXPECT_EQ(u"extension.response.ui.popframe", replies[0].command);
  EXPECT_EQ(u"{\"success\":\"1\", \"frame_id\":\"5001\" }", replies[0].arguments);
  EXPECT_EQ(31, replies[0].request_context);
  EXPECT_EQ(host_.ThreadId(Thread::kThreadUI), replies[0].thread_id);
  EXPECT_EQ((std::vector<std::string>{
                Line("SetOwnerFrame", "5001,2"),
                Line("SetMainWindow", "5001,2"),
                Line("SetSize", "5001,400,300"),
                Line("CreateFrameWindow", "5001"),
                Line("Show", "5001,5"),
                Line("SetOwnerWindow", "5001," + Handle(2)),
                Line("SetCaption", "5001,\"Notes\""),
                Line("SetIcon", "5001,\"hcbrowser://localextensions/ext1/img/n.png\""),
                Line("Navigate",
                     "5001,\"hcbrowser://localextensions/ext1/notes/p.html?v=1.0.3\",1,-1,0,0,2"),
            }),
            UiLines());
}

// The same URL, letter for letter, brings the open popup back; another letter case opens anew.
TEST_F(UICommandTest, PopFrameReusesAnOpenPopupOnlyForTheSameUrl) {
  const char16_t* kPopFrame = u"extension.invoke.ui.popframe";
  ASSERT_EQ(S_OK, Command(kPopFrame, u"{\"url\":\"http://a.example/P\"}"));
  ASSERT_TRUE(host_.WaitIdle());
  ComPtr<host::CPopupFrame> first = host_.services().popup_frames()->ById(5001);
  ASSERT_TRUE(first);
  first->Minimize();
  const size_t lines_before = UiLines().size();
  ASSERT_EQ(S_OK, Command(kPopFrame, u"{\"url\":\"http://a.example/P\",\"width\":9}"));
  std::vector<std::string> lines = UiLines();
  EXPECT_EQ((std::vector<std::string>{Line("Restore", "5001"), Line("Activate", "5001")}),
            std::vector<std::string>(lines.begin() + lines_before, lines.end()));
  ASSERT_EQ(S_OK, Command(kPopFrame, u"{\"url\":\"http://a.example/p\"}"));
  std::vector<SentReply> replies = RepliesWhenIdle();
  ASSERT_EQ(3u, replies.size());
  EXPECT_EQ(u"{\"success\":\"1\", \"frame_id\":\"5001\" }", replies[1].arguments);
  EXPECT_EQ(u"{\"success\":\"1\", \"frame_id\":\"5002\" }", replies[2].arguments);
  EXPECT_EQ(2, host_.services().popup_frames()->Count());
}

struct PopupSizeCase {
  const char16_t* command;
  const char16_t* arguments;
  const char* owner;  // SetOwnerFrame's second argument
  const char* size;   // SetSize's arguments after the popup's id
};

TEST_F(UICommandTest, PopupCommandsReadTheirOwnKeysAndSizes) {
  const PopupSizeCase cases[] = {
      {u"extension.invoke.ui.popframe", u"{\"url\":\"http://x/1\"}", "-1", "400,300"},
      {u"extension.invoke.ui.popframe",
       u"{\"url\":\"http://x/2\",\"width\":\"640\",\"height\":480,\"frame_id\":1,\"frameId\":2}",
       "1", "640,480"},
      {u"hcbrowser.extension.popsimpleframe",
       u"{\"url\":\"http://x/3\",\"width\":640,\"height\":480,\"frame_id\":1,\"frameId\":2}", "2",
       "400,300"},
  };
  LONG popup = 5001;
  for (const PopupSizeCase& c : cases) {
    const size_t before = UiLines().size();
    ASSERT_EQ(S_OK, Command(c.command, c.arguments));
    std::vector<std::string> lines = UiLines();
    ASSERT_LT(before + 2, lines.size()) << Utf8(c.arguments);
    const std::string id = std::to_string(popup++);
    EXPECT_EQ(Line("SetOwnerFrame", id + "," + c.owner), lines[before]) << Utf8(c.arguments);
    const size_t size_line = before + (std::string(c.owner) == "-1" ? 1 : 2);
    EXPECT_EQ(Line("SetSize", id + "," + c.size), lines[size_line]) << Utf8(c.arguments);
  }
}

TEST_F(UICommandTest, PopupFailuresAnswerSuccessZeroAndEmptyUrlsNothing) {
  EXPECT_EQ(S_OK, Command(u"extension.invoke.ui.popframe", u"{\"caption\":\"x\"}"));
  EXPECT_EQ(S_OK, Command(u"hcbrowser.extension.popsimpleframe", u"not json"));
  EXPECT_TRUE(RepliesWhenIdle().empty());
  host_.ReplaceService(Logic::IExtWebViewService::kIID, nullptr);
  EXPECT_EQ(S_OK, Command(u"extension.invoke.ui.popframe", u"{\"url\":\"http://x/\"}", 4));
  std::vector<SentReply> replies = RepliesWhenIdle();
  ASSERT_EQ(1u, replies.size());
  EXPECT_EQ(u"{\"success\":\"0\", \"frame_id\":\"0\" }", replies[0].arguments);
  EXPECT_EQ(0, host_.services().popup_frames()->Count()) << "no window without the service";
}

struct PointCase {
  const char16_t* command;
  const char16_t* arguments;  // "%s" stands for the showPos value
  size_t point_arg;           // the point's position in the recorded call
};

// Each command's own accepted keywords, in any letter case, and its own default.
TEST_F(UICommandTest, ShowPosKeywordsAreCaseInsensitivePerCommandWithTheirDefaults) {
  using namespace Logic;
  const std::u16string kNone = u"";
  struct Expect {
    const char16_t* keyword;
    std::u16string point;
  };
  const std::pair<PointCase, std::vector<Expect>> table[] = {
      {{u"extension.invoke.ui.showHtmlBubble", u"{\"htmlpage\":\"b.html\"%s}", 0},
       {{u"AddressUI", kAddressBarPointId},
        {u"appbarui", kAppBarPointId},
        {u"TOOLBARUI", kToolbarPointId},
        {u"sidebarui", kSideBarPointId},
        {u"smartbarui", kNone},
        {nullptr, kNone}}},
      {{u"extension.invoke.ui.showbubble2", u"{\"htmlpage\":\"b.html\"%s}", 0},
       {{u"addressUI", kAddressBarPointId},
        {u"AppBarUI", kAppBarPointId},
        {u"sidebarui", kToolbarPointId},
        {u"nowhere", kToolbarPointId},
        {nullptr, kToolbarPointId}}},
      {{u"extension.invoke.ui.showguide", u"{\"tab_id\":11%s}", 0},
       {{u"SmartBarUI", kSmartBarPointId},
        {u"addressui", kAddressBarPointId},
        {u"appbarui", kToolbarPointId},
        {nullptr, kToolbarPointId}}},
      {{u"extension.invoke.ui.updateInfo", u"{\"infoname\":\"n\"%s}", 3},
       {{u"SMARTBARUI", kSmartBarPointId},
        {u"Sidebarui", kSideBarPointId},
        {u"toolbarui", kToolbarPointId},
        {u"x", kNone}}},
      {{u"extension.invoke.ui.showPageExt", u"{\"tab_id\":11%s}", 5},
       {{u"smartbarUI", kSmartBarPointId},
        {u"SIDEBARUI", kSideBarPointId},
        {u"toolbarui", kAddressBarPointId},
        {nullptr, kAddressBarPointId}}},
  };
  for (const auto& [c, expects] : table) {
    for (const Expect& e : expects) {
      std::u16string arguments = c.arguments;
      const std::u16string pos =
          e.keyword ? u",\"showPos\":\"" + std::u16string(e.keyword) + u"\"" : u"";
      arguments.replace(arguments.find(u"%s"), 2, pos);
      const size_t before = UiLines().size();
      EXPECT_EQ(S_OK, Command(c.command, arguments));
      std::vector<std::string> lines = UiLines();
      ASSERT_EQ(before + 1, lines.size()) << Utf8(c.command) << " " << Utf8(arguments);
      EXPECT_EQ(e.point, ArgOf(lines.back(), c.point_arg))
          << Utf8(c.command) << " " << Utf8(arguments);
    }
  }
}

// Versions, extension-relative locations and the channel code, through the navigation commands.
TEST_F(UICommandTest, NavigationAddressesArePreparedPerCommand) {
  testing_support::ScopedEnv channel("HALCY_CHANNEL", "ch42");
  struct Case {
    const char16_t* command;
    const char16_t* url;
    const char16_t* version;  // the calling extension's; "" when it is not installed
    std::u16string expected;
    size_t url_arg;
  };
  const std::u16string base = u"hcbrowser://localextensions/ext1/";
  const Case cases[] = {
      {u"ui.tabnavigate", u"p.html?a=${version}&b=${version}&c=${browser_version}", u"2.0",
       base + u"p.html?a=2.0&b=2.0&c=6.5.1.2", 2},
      {u"ui.tabnavigate", u"p.html?a=${version}&c=${browser_version}", u"",
       base + u"p.html?a=${version}&c=6.5.1.2", 2},
      {u"ui.tabnavigate", u"HTTP://Up.example/x", u"2.0", u"HTTP://Up.example/x", 2},
      {u"ui.tabnavigate", u"HcBrowser://home/", u"2.0", u"HcBrowser://home/", 2},
      {u"ui.tabnavigate", u"https://s.example/", u"2.0", base + u"https://s.example/", 2},
      {u"ui.tabnavigate", u"dir\\\\sub\\\\a.html", u"2.0", base + u"dir/sub/a.html", 2},
      {u"ui.newTabNavigate", u"http://SEARCH.halcy.example/s?wd=${version}", u"2.0",
       u"http://SEARCH.halcy.example/s?wd=2.0&tn=ch42", 2},
      {u"ui.newTabNavigate", u"http://search.halcy.example/x?wd=1", u"2.0",
       u"http://search.halcy.example/x?wd=1", 2},
      {u"ui.newTabNavigate", u"a.html", u"2.0", base + u"a.html", 2},
  };
  for (const Case& c : cases) {
    port_->set_version(c.version);
    const std::u16string arguments =
        u"{\"url\":\"" + std::u16string(c.url) + u"\",\"tab_id\":21,\"frame\":\"2\",\"active\":1}";
    const size_t before = UiLines().size();
    EXPECT_EQ(S_OK, Command(u"extension.invoke." + std::u16string(c.command), arguments));
    std::vector<std::string> lines = UiLines();
    ASSERT_EQ(before + 1, lines.size()) << Utf8(c.url);
    EXPECT_EQ(c.expected, ArgOf(lines.back(), c.url_arg)) << Utf8(c.url);
  }
  // newTabAndNavigate takes the URL as it stands.
  EXPECT_EQ(S_OK, Command(u"hcbrowser.extension.newTabAndNavigate",
                          u"{\"url\":\"p.html?${version}\",\"frame\":2}"));
  EXPECT_EQ(Line("NewTabNavigate", "\"ext1\",2,\"p.html?${version}\""), UiLines().back());
}

TEST_F(UICommandTest, HtmlBubbleForTheAddressBarNeedsTheActivePageUrl) {
  const char16_t* kBubble = u"extension.invoke.ui.showHtmlBubble";
  EXPECT_EQ(S_FALSE, Command(kBubble,
                             u"{\"showPos\":\"addressui\",\"tab_id\":21,"
                             u"\"url\":\"http://two.example/b\",\"htmlpage\":\"b.html\"}"));
  EXPECT_TRUE(UiLines().empty());
  EXPECT_EQ(S_OK, Command(kBubble,
                          u"{\"showPos\":\"addressui\",\"tab_id\":21,\"url\":"
                          u"\"HTTP://TWO.example/A\",\"htmlpage\":\"b${version}.html\","
                          u"\"showtime\":5,\"width\":\"30\"}"));
  EXPECT_EQ((std::vector<std::string>{
                Line("ShowBubble", "\"" + Utf8(Logic::kAddressBarPointId) +
                                       "\",\"ext1\",2,\"b1.0.3.html\",5,-1,30,0,21")}),
            UiLines());
}

TEST_F(UICommandTest, SetTitleUpdatesTheToolbarCaptionEverywhere) {
  EXPECT_EQ(S_OK, Command(u"hcbrowser.browserAction.setTitle",
                          u"{\"title\":\"Hi\",\"tab_id\":21,\"frame\":2}"));
  EXPECT_EQ(
      (std::vector<std::string>{Line("UpdateInfo", "\"ext1\",\"caption\",\"Hi\",\"" +
                                                       Utf8(Logic::kToolbarPointId) + "\",-1,-1")}),
      UiLines());
}

// The first icon present is made absolute wherever it occurs, escaped so the text stays JSON.
TEST_F(UICommandTest, ShowPageExtMakesTheFirstIconAbsoluteAndEscapesIt) {
  port_->set_directory(u"C:\\e\"x\t");
  EXPECT_EQ(S_OK, Command(u"extension.invoke.ui.showPageExt",
                          u"{\"tab_id\":22,\"url\":\"u\",\"weight\":\"3\",\"pressdie\":\"7\","
                          u"\"btnname\":\"go\",\"icongroup\":{\"hover\":\"i/n.png\","
                          u"\"press\":\"i/p.png\",\"normal\":\"i/n.png\"}}"));
  std::vector<std::string> lines = UiLines();
  ASSERT_EQ(1u, lines.size());
  const std::u16string group = ArgOf(lines[0], 3);
  EXPECT_EQ(
      u"{\"hover\":\"C:\\\\e\\\"x\\t\\\\ext1\\\\i/n.png\",\"normal\":"
      u"\"C:\\\\e\\\"x\\t\\\\ext1\\\\i/n.png\",\"press\":\"i\\/p.png\"}",
      group);
  std::unique_ptr<Logic::CJsonValue> parsed = Logic::ParseJson(group);
  ASSERT_TRUE(parsed && parsed->IsObject());
  EXPECT_EQ(u"C:\\e\"x\t\\ext1\\i/n.png", Logic::TextOf(parsed.get(), u"normal"));
  EXPECT_EQ(u"2", ArgOf(lines[0], 1));  // the frame of tab 22
  EXPECT_EQ(u"3", ArgOf(lines[0], 6));
  EXPECT_EQ(u"go", ArgOf(lines[0], 7));
  EXPECT_EQ(u"1", ArgOf(lines[0], 8));
}

// The side bubble goes to the frame of the UI thread's first visible window.
TEST_F(UICommandTest, SideBubbleFindsTheFrameOfAVisibleWindowOfTheUIThread) {
  ASSERT_EQ(S_OK, model()->Activate(22));
  ASSERT_TRUE(ShowWindow(model()->WindowOf(1), 0));
  EXPECT_EQ(S_OK, Command(u"extension.invoke.ui.showsidebubble", u"{\"a\":1}", 8));
  EXPECT_EQ(S_OK, Command(u"extension.invoke.ui.showbubble2", u"{\"htmlpage\":\"s.html\"}"));
  std::vector<std::string> lines = UiLines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(Line("ShowSideBubble",
                 "\"" + Utf8(Logic::kSideBarPointId) + "\",\"ext1\",\"{\\\"a\\\":1}\",8,2,22"),
            lines[0]);
  EXPECT_EQ(u"2", ArgOf(lines[1], 2));
  ASSERT_TRUE(ShowWindow(model()->WindowOf(2), 0));
  EXPECT_EQ(S_OK, Command(u"extension.invoke.ui.showsidebubble", u"{}"));
  EXPECT_EQ(2u, UiLines().size()) << "no visible frame: nothing shown";
}

// Popups' windows belong to the UI thread too: found as kind 2, never as a frame with content.
TEST_F(UICommandTest, FrameLookupOfTheUIThreadTellsPopupsFromBrowserFrames) {
  ASSERT_EQ(S_OK, Command(u"extension.invoke.ui.popframe", u"{\"url\":\"http://p.example/\"}"));
  ASSERT_TRUE(host_.WaitIdle());
  ASSERT_TRUE(ShowWindow(model()->WindowOf(1), 0));
  ASSERT_TRUE(ShowWindow(model()->WindowOf(2), 0));
  auto lookup = [&](LONG kind, bool visible_only) {
    return host_.RunOn(Thread::kThreadUI, [&] {
      ComPtr<IUnknown> found;
      LONG frame_id = -1;
      ComPtr<Logic::IPopupFrame> popup;
      ComPtr<Logic::IBrowserFrame> frame;
      if (Thread::FindFrameOfCurrentThread(kind, found.ReleaseAndGetAddressOf(), visible_only) !=
          S_OK) {
        return -2L;
      }
      if (kind == 2 && SUCCEEDED(found.As(&popup))) popup->GetFrameId(&frame_id);
      if (kind == 0 && SUCCEEDED(found.As(&frame))) frame->GetFrameId(&frame_id);
      return static_cast<long>(frame_id);
    });
  };
  EXPECT_EQ(5001L, lookup(2, true));
  EXPECT_EQ(-2L, lookup(0, true)) << "the visible popup has no tabs";
  EXPECT_EQ(1L, lookup(0, false));
  // Another thread owns no window.
  ComPtr<IUnknown> found;
  EXPECT_EQ(E_FAIL, Thread::FindFrameOfCurrentThread(2, found.ReleaseAndGetAddressOf(), false));
  EXPECT_FALSE(found);
}

TEST_F(UICommandTest, WindowCommandsReachTheWindowManager) {
  auto windows = halcy::MakeComObject<CRecordingWindowMgr>();
  host_.ReplaceService(Logic::IExtWindowMgr::kIID, windows.Get());
  EXPECT_EQ(S_OK, Command(u"extension.invoke.ui.closewindow", u"{\"windowid\":\"w1\"}"));
  EXPECT_EQ(S_OK, Command(u"extension.invoke.ui.updatewindow",
                          u"{\"windowid\":\"w1\",\"updateinfo\":\"{}\"}"));
  EXPECT_EQ(S_OK, Command(u"extension.invoke.ui.updatewindow",
                          u"{\"windowid\":\"w2\",\"elementid\":\"4\",\"updateinfo\":\"t\"}"));
  EXPECT_EQ(S_OK, Command(u"extension.invoke.ui.updatewindow", u"{\"updateinfo\":\"t\"}"));
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<std::u16string>{u"close ext1 w1", u"update ext1 w1 -1 {}",
                                         u"update ext1 w2 4 t"}),
            windows->calls());
}

TEST_F(UICommandTest, PageCommandsCallThePageOfTheTab) {
  const std::pair<const char16_t*, const char16_t*> commands[] = {
      {u"extension.invoke.ui.saveallimage", u"{\"tab_id\":21}"},
      {u"extension.invoke.ui.saveoneimage",
       u"{\"tab_id\":21,\"rect\":{\"left\":1,\"top\":2,\"right\":3,\"bottom\":4},\"width\":5}"},
      {u"extension.invoke.utility.excutejs", u"{\"tab_id\":21,\"cmd\":\"go()\"}"},
      {u"extension.invoke.core.setattributebycustomid",
       u"{\"tab_id\":21,\"custom_id\":\"c\",\"attribute_name\":\"src\",\"value\":\"v\"}"},
      {u"extension.invoke.core.evalutejsforimagebycustomid",
       u"{\"tab_id\":21,\"custom_id\":\"c\",\"code\":\"f()\"}"},
      {u"extension.invoke.ui.activetab", u"{\"tab_id\":22,\"frame_id\":2}"},
      {u"extension.invoke.ui.openindependentwindow", u"{}"},
      {u"extension.invoke.ui.saveallimage", u"{\"tab_id\":99}"},  // no such tab: nothing
      {u"extension.invoke.ui.saveoneimage", u"rect"},             // malformed: nothing
  };
  // One at a time: UI-thread commands run after HandleCommand has returned.
  for (const auto& [command, arguments] : commands) {
    EXPECT_EQ(S_OK, Command(command, arguments)) << Utf8(command);
    ASSERT_TRUE(host_.WaitIdle());
  }
  EXPECT_EQ(
      (std::vector<std::string>{Line("SaveAllImages", "21"), Line("SaveOneImage", "21,1,2,3,4,5,0"),
                                Line("RunScript", "21,\"go()\""),
                                Line("SetAttributeByCustomId", "21,\"c\",\"src\",\"v\""),
                                Line("EvaluateScriptForImage", "21,\"c\",\"f()\""),
                                Line("SetWindowMode", "1,3"), Line("SetWindowMode", "2,3")}),
      UiLines());
  auto tab = model()->Frame(2);
  ASSERT_TRUE(tab);
  EXPECT_EQ(22, tab->active_tab);
}

}  // namespace
}  // namespace command_testing
