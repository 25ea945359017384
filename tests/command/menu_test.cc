// The context menu manager (store, JSON, listeners on their own threads) and the menu command
// host (its four commands on the UI thread against the host's window and menu services, and
// the selection sent to the extension that opened the latest menu).
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "command/co_ext_menu_cmd_host.h"
#include "command/extension_context_menu_mgr.h"
#include "common/paths.h"
#include "extension/extension_mgr.h"
#include "extension/extension_test_util.h"
#include "host/statistics_service.h"
#include "platform/bstr.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "support/temp_env.h"
#include "support/test_host.h"
#include "support/thread_gate.h"
#include "thread/thread_service.h"

namespace {

using Logic::CCoExtensionContextMenuMgr;
using Logic::CCoExtMenuCmdHost;

std::u16string Text(BSTR text) { return text ? std::u16string(text) : std::u16string(); }

using extension_testing::Arg;

// Remembers each menu JSON it is given with the thread it came on.
class RecordingMenuListener : public halcy::ComObjectRoot, public Logic::IExtContextMenuListener {
 public:
  HALCY_BEGIN_INTERFACES(RecordingMenuListener)
  HALCY_INTERFACE(RecordingMenuListener, Logic::IExtContextMenuListener)
  HALCY_END_INTERFACES()

  HRESULT OnContextMenuChanged(BSTR menu_json) override {
    std::lock_guard<std::mutex> hold(mutex_);
    calls_.push_back({Text(menu_json), GetCurrentThreadId()});
    cv_.notify_all();
    return S_OK;
  }
  struct Call {
    std::u16string json;
    DWORD thread_id;
  };
  std::vector<Call> calls() {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> hold(mutex_);
    return cv_.wait_for(hold, std::chrono::seconds(10), [&] { return calls_.size() >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Call> calls_;  // Guarded by mutex_
};

HRESULT AddItem(Logic::IExtensionContextMenuMgr* menus, std::u16string_view ext,
                std::u16string_view text, std::u16string_view menu_id) {
  return menus->AddItem(Arg(ext), Arg(u"page"), Arg(text), Arg(menu_id), Arg(u"c"), Arg(u"i.png"));
}

std::u16string Item(std::u16string_view ext, std::u16string_view menu_id,
                    std::u16string_view text) {
  return u"{\"condition\":\"c\",\"contexttype\":\"page\",\"extid\":\"" + std::u16string(ext) +
         u"\",\"iconpath\":\"i.png\",\"menuid\":\"" + std::u16string(menu_id) + u"\",\"text\":\"" +
         std::u16string(text) + u"\"}";
}

std::u16string MenuJson(Logic::IExtensionContextMenuMgr* menus) {
  halcy::ScopedBstr json;
  EXPECT_EQ(S_OK, menus->GetMenuJson(json.Receive()));
  return std::u16string(json.View());
}

TEST(ContextMenuMgrTest, ItemsOfOneMenuIdKeepTheirOrderAndIncompleteItemsAreNotStored) {
  ComPtr<CCoExtensionContextMenuMgr> menus = halcy::MakeComObject<CCoExtensionContextMenuMgr>();
  EXPECT_EQ(u"[]", MenuJson(menus.Get()));
  EXPECT_EQ(S_OK, AddItem(menus.Get(), u"b", u"Second", u"1"));
  EXPECT_EQ(S_OK, AddItem(menus.Get(), u"b", u"First", u"1"));
  EXPECT_EQ(S_OK, AddItem(menus.Get(), u"b", u"", u"1"));       // no text
  EXPECT_EQ(S_OK, AddItem(menus.Get(), u"", u"Orphan", u"1"));  // no extension
  EXPECT_EQ(S_OK, AddItem(menus.Get(), u"a", u"NoId", u""));    // no menu id
  EXPECT_EQ(S_OK, AddItem(menus.Get(), u"a", u"Zero", u"0"));
  EXPECT_EQ(S_OK, AddItem(menus.Get(), u"b", u"Early", u"0"));
  // Extensions and menu ids ascending; items of one menu id in the order added.
  EXPECT_EQ(u"[" + Item(u"a", u"0", u"Zero") + u"," + Item(u"b", u"0", u"Early") + u"," +
                Item(u"b", u"1", u"Second") + u"," + Item(u"b", u"1", u"First") + u"]",
            MenuJson(menus.Get()));
}

TEST(ContextMenuMgrTest, EveryMemberIsEscapedAsTheJsonWriterEscapesStrings) {
  ComPtr<CCoExtensionContextMenuMgr> menus = halcy::MakeComObject<CCoExtensionContextMenuMgr>();
  // Quotation mark, solidus, backslash, the short escapes, another control character and
  // non-ASCII text, in each member.
  const std::u16string odd = u"q\"s/b\\n\nt\t\x01\u00e9";
  const std::u16string written = u"q\\\"s\\/b\\\\n\\nt\\t\\u0001\u00e9";
  ASSERT_EQ(S_OK, menus->AddItem(Arg(u"x" + odd), Arg(u"c" + odd), Arg(u"t" + odd), Arg(u"m" + odd),
                                 Arg(u"d" + odd), Arg(u"i" + odd)));
  EXPECT_EQ(u"[{\"condition\":\"d" + written + u"\",\"contexttype\":\"c" + written +
                u"\",\"extid\":\"x" + written + u"\",\"iconpath\":\"i" + written +
                u"\",\"menuid\":\"m" + written + u"\",\"text\":\"t" + written + u"\"}]",
            MenuJson(menus.Get()));
}

TEST(ContextMenuMgrTest, RemovingAnExtensionDeliversTheNewJsonToEveryListener) {
  ComPtr<CCoExtensionContextMenuMgr> menus = halcy::MakeComObject<CCoExtensionContextMenuMgr>();
  ComPtr<RecordingMenuListener> first = halcy::MakeComObject<RecordingMenuListener>();
  ComPtr<RecordingMenuListener> second = halcy::MakeComObject<RecordingMenuListener>();
  EXPECT_EQ(E_INVALIDARG, menus->AddListener(1, GetCurrentThreadId(), nullptr, 0));
  EXPECT_EQ(E_INVALIDARG, menus->NextListenerId(nullptr));
  ULONG id1 = 0, id2 = 0;
  ASSERT_EQ(S_OK, menus->NextListenerId(&id1));
  ASSERT_EQ(S_OK, menus->NextListenerId(&id2));
  EXPECT_EQ(id1 + 1, id2);
  ASSERT_EQ(S_OK, menus->AddListener(id1, GetCurrentThreadId(), first.Get(), 0));
  ASSERT_EQ(S_OK, menus->AddListenerOnCallingThread(nullptr, second.Get()));
  AddItem(menus.Get(), u"a", u"Keep", u"1");
  AddItem(menus.Get(), u"b", u"Drop", u"1");
  EXPECT_TRUE(first->calls().empty()) << "adding items does not notify";
  ASSERT_EQ(S_OK, menus->RemoveExtensionItems(Arg(u"b")));
  // Both listeners are on this thread: called at once, inside the remove.
  const std::u16string expected = u"[" + Item(u"a", u"1", u"Keep") + u"]";
  for (RecordingMenuListener* listener : {first.Get(), second.Get()}) {
    ASSERT_EQ(1u, listener->calls().size());
    EXPECT_EQ(expected, listener->calls()[0].json);
    EXPECT_EQ(GetCurrentThreadId(), listener->calls()[0].thread_id);
  }
}

TEST(ContextMenuMgrTest, AListenerOfAnotherThreadGetsTheRefreshThroughATaskOnItsThread) {
  testing_support::TestHost host;
  ComPtr<CCoExtensionContextMenuMgr> menus = halcy::MakeComObject<CCoExtensionContextMenuMgr>();
  ComPtr<RecordingMenuListener> on_ui = halcy::MakeComObject<RecordingMenuListener>();
  ComPtr<RecordingMenuListener> on_mgr = halcy::MakeComObject<RecordingMenuListener>();
  ASSERT_EQ(S_OK, menus->AddListener(1, host.ThreadId(Thread::kThreadUI), on_ui.Get(), 0));
  ASSERT_EQ(S_OK,
            menus->AddListener(2, host.ThreadId(Thread::kThreadExtensionManager), on_mgr.Get(), 0));
  AddItem(menus.Get(), u"a", u"One", u"1");
  {
    testing_support::ThreadGate gate(Thread::kThreadUI);  // the UI thread waits here
    ASSERT_EQ(S_OK, menus->Refresh());
    EXPECT_TRUE(on_ui->calls().empty()) << "not called on the refreshing thread";
    gate.Release();
    ASSERT_TRUE(on_ui->WaitFor(1));
  }
  ASSERT_TRUE(on_mgr->WaitFor(1));
  ASSERT_TRUE(host.WaitIdle());
  ASSERT_EQ(1u, on_ui->calls().size());
  EXPECT_EQ(host.ThreadId(Thread::kThreadUI), on_ui->calls()[0].thread_id);
  EXPECT_EQ(host.ThreadId(Thread::kThreadExtensionManager), on_mgr->calls()[0].thread_id);
  EXPECT_EQ(u"[" + Item(u"a", u"1", u"One") + u"]", on_ui->calls()[0].json);
}

// --- The menu command host ---

// Records what the menu host sends through the extension manager.
class RecordingExtensionMgr : public Logic::CCoExtensionMgr {
 public:
  HRESULT SendToExtensionInternal(BSTR id, BSTR command, BSTR arguments) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(Text(id) + u" " + Text(command) + u" " + Text(arguments));
    return S_OK;
  }
  std::vector<std::u16string> sent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::u16string> sent_;  // Guarded by mutex_
};

struct UiLine {
  std::string text;
  DWORD thread_id;
};

class MenuCmdHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // With the sibling modules beside the browser the module looks the manager service up.
    for (const char16_t* module : Logic::kSiblingModules) {
      testing_support::WriteFileOrDie(env_.browser_dir() + "/" + halcy::Utf16ToUtf8(module + 1),
                                      "");
    }
    Logic::ResetPathCachesForTesting();
    host_.ReplaceService(Logic::IExtensionMgr::kIID,
                         static_cast<Logic::IExtensionMgr*>(mgr_.Get()));
    host_.services().ui_log()->SetWriter([this](const std::string& line) {
      std::lock_guard<std::mutex> hold(mutex_);
      lines_.push_back({line, GetCurrentThreadId()});
    });
  }
  void TearDown() override {
    host_.services().ui_log()->SetWriter({});
    host_.services().menus()->Clear();  // the menu shown last holds the menu host
  }

  HRESULT Command(std::u16string_view ext, std::u16string_view command, std::u16string_view args) {
    return menu_host_->HandleCommand(Arg(ext), Arg(command), Arg(args), 0);
  }
  // The recorded calls named `call`, as their argument lists.
  std::vector<std::string> Calls(const std::string& call) {
    std::vector<std::string> found;
    const std::string head = "{\"to\":\"ui\",\"call\":\"" + call + "\",\"args\":";
    std::lock_guard<std::mutex> hold(mutex_);
    for (const UiLine& line : lines_) {
      if (line.text.rfind(head, 0) == 0) found.push_back(line.text.substr(head.size()));
    }
    return found;
  }
  std::vector<UiLine> lines() {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }
  bool Select(LONG menu, LONG event) {
    return host_.RunOn(Thread::kThreadUI,
                       [&] { return host_.services().menus()->SelectLastShown(menu, event); });
  }

  extension_testing::BrowserEnvironment env_;
  testing_support::TestHost host_;
  ComPtr<RecordingExtensionMgr> mgr_ = halcy::MakeComObject<RecordingExtensionMgr>();
  ComPtr<CCoExtMenuCmdHost> menu_host_ = halcy::MakeComObject<CCoExtMenuCmdHost>();
  std::mutex mutex_;
  std::vector<UiLine> lines_;  // Guarded by mutex_
};

constexpr char16_t kShowMenu[] = u"extension.invoke.ui.showmenu";
constexpr char16_t kMenuArgs[] =
    u"{\"windowid\":\"w1\",\"frameid\":1,\"pos\":2,\"menuitem\":\"m\"}";

TEST_F(MenuCmdHostTest, TheFourCommandsRunOnTheUiThreadAndOthersAreNotTaken) {
  const char16_t* const taken[] = {kShowMenu, u"extension.invoke.ui.showmenububle",
                                   u"extension.invoke.ui.closemenuwindow",
                                   u"extension.invoke.ui.showmenuwindow"};
  {
    testing_support::ThreadGate gate(Thread::kThreadUI);
    for (const char16_t* command : taken) {
      SCOPED_TRACE(halcy::Utf16ToUtf8(command));
      EXPECT_EQ(S_OK, Command(u"ext", command, kMenuArgs));
    }
    EXPECT_TRUE(lines().empty()) << "nothing ran on the calling thread";
    gate.Release();
    ASSERT_TRUE(host_.WaitIdle());
  }
  // showmenu's calls, the bubble, the two closes, the skinned window's two.
  const std::vector<UiLine> ran = lines();
  ASSERT_GE(ran.size(), 4u);
  for (const UiLine& line : ran) EXPECT_EQ(host_.ThreadId(Thread::kThreadUI), line.thread_id);
  EXPECT_EQ(1u, Calls("ShowMenuBubble").size());
  EXPECT_EQ(1u, Calls("CloseMenuWindow").size());
  EXPECT_EQ(1u, Calls("InitSkinWindow").size());
  EXPECT_EQ(
      1, host_.services().statistics_service()->Total(u"UserAction", u"AcceleratorOpen", u"count"));
  EXPECT_EQ(1, host_.services().statistics_service()->Total(u"UserAction", u"AcceleratorClick",
                                                            u"count"));
  for (const char16_t* other : {u"extension.invoke.ui.showwindow", u"extension.invoke.ui.ShowMenu",
                                u"showmenu", u"extension.invoke.utility.geturl"}) {
    EXPECT_EQ(E_NOTIMPL, Command(u"ext", other, kMenuArgs)) << halcy::Utf16ToUtf8(other);
  }
}

TEST_F(MenuCmdHostTest, AMenuBubbleIs348By245UnlessToldOtherwise) {
  Command(u"ext", u"extension.invoke.ui.showmenububle",
          u"{\"windowid\":\"w\",\"id\":7,\"url\":\"http://a/b\"}");
  Command(u"ext", u"extension.invoke.ui.showmenububle",
          u"{\"windowid\":\"w\",\"id\":\"8\",\"url\":\"u\",\"width\":\"100\",\"height\":50}");
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ((std::vector<std::string>{R"(["ext","w",7,"http://a/b",348,245]})",
                                      R"(["ext","w",8,"u",100,50]})"}),
            Calls("ShowMenuBubble"));
}

TEST_F(MenuCmdHostTest, ASecondShowMenuWhileTheMenuIsUpDoesNothing) {
  Command(u"ext", kShowMenu, kMenuArgs);
  Command(u"ext", kShowMenu, kMenuArgs);
  ASSERT_TRUE(host_.WaitIdle());
  ASSERT_EQ(1u, Calls("Show").size());
  EXPECT_EQ(R"(["ext","w1","m"]})", Calls("Setup")[0]);
  EXPECT_EQ("[2]}", Calls("SetSelectionCallback")[0]);
  // No extension window w1: no rectangle, so the menu opens where the pointer is.
  EXPECT_EQ("[0,0,0,0,1]}", Calls("Show")[0]);
  // Once a pick closed it, the next showmenu opens the menu again.
  ASSERT_TRUE(Select(1, 1));
  Command(u"ext", kShowMenu, kMenuArgs);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(2u, Calls("Show").size());
}

TEST_F(MenuCmdHostTest, AfterAAndThenBOpenMenusTheSelectionGoesToBWithItsPayloadByteForByte) {
  EXPECT_FALSE(Select(1, 1)) << "no menu shown yet";
  Command(u"extA", kShowMenu, u"{\"windowid\":\"wa\"}");
  Command(u"extB", kShowMenu, u"{\"windowid\":\"wb\"}");
  ASSERT_TRUE(host_.WaitIdle());
  ASSERT_EQ(2u, Calls("Show").size());
  ASSERT_TRUE(Select(3, -4));
  EXPECT_EQ(std::vector<std::u16string>{u"extB extension.notify.ui.selectmenu "
                                        u"{\t\t\t\t\t\t  \"menuid\":\"3\","
                                        u"\t\t\t\t\t\t  \"menueventid\":\"-4\""
                                        u"\t\t\t\t\t\t  }"},
            mgr_->sent());
}

TEST_F(MenuCmdHostTest, AMenuOverAShownMenuWindowIsPlacedAgainstItsRectangle) {
  Command(u"ext", u"extension.invoke.ui.showmenuwindow",
          u"{\"windowid\":\"w1\",\"xmlfile\":\"m.xml\",\"frame_id\":9,\"xpos\":3,\"ypos\":4}");
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(R"(["extskin:\\ext\\m.xml","w1","ext"]})", Calls("InitSkinWindow").at(0));
  Command(u"ext", kShowMenu, kMenuArgs);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ("[100,80,500,380,0]}", Calls("Show").at(0));
  Command(u"ext", u"extension.invoke.ui.closemenuwindow", u"{\"windowid\":\"w1\"}");
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ(R"(["ext","w1"]})", Calls("CloseWindow").at(0));
  // The menu is down and its window gone: the next menu has no rectangle to go by.
  Command(u"ext", kShowMenu, kMenuArgs);
  ASSERT_TRUE(host_.WaitIdle());
  EXPECT_EQ("[0,0,0,0,1]}", Calls("Show").at(1));
}

}  // namespace
