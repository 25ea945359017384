// The host's window and login model: what it answers through the frame, login and dialog
// services, and the notification-manager calls it raises for each change, in order.
#include "host/browser_model.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "command/extension_notify_mgr.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/strings.h"

namespace host {
namespace {

std::u16string Text(BSTR text) { return text ? std::u16string(text, SysStringLen(text)) : u""; }

// Records every notification as one line "Name(arg, arg, ...)".
class RecordingNotifyMgr : public halcy::ComObjectRoot, public Logic::IExtensionNotifyMgr {
 public:
  HALCY_BEGIN_INTERFACES(RecordingNotifyMgr)
  HALCY_INTERFACE(RecordingNotifyMgr, Logic::IExtensionNotifyMgr)
  HALCY_END_INTERFACES()

  std::vector<std::u16string> calls() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }

  HRESULT Initialize() override { return S_OK; }
  HRESULT UnInitialize() override { return S_OK; }
  HRESULT NotifyUrlChange(BSTR old_url, BSTR new_url, LONG tab_id) override {
    return Add(u"UrlChange(%s, %s, %d)", Text(old_url).c_str(), Text(new_url).c_str(), tab_id);
  }
  HRESULT NotifyNavigate(BSTR url) override { return Add(u"Navigate(%s)", Text(url).c_str()); }
  HRESULT NotifySwitchTab(LONG old_tab, BSTR old_url, LONG new_tab, BSTR new_url,
                          LONG flag) override {
    return Add(u"SwitchTab(%d, %s, %d, %s, %d)", old_tab, Text(old_url).c_str(), new_tab,
               Text(new_url).c_str(), flag);
  }
  HRESULT NotifyCloseTab(LONG tab_id, LONG frame_id, BSTR url, LONG retain) override {
    return Add(u"CloseTab(%d, %d, %s, %d)", tab_id, frame_id, Text(url).c_str(), retain);
  }
  HRESULT NotifyAddTab(LONG tab_id, LONG frame_id) override {
    return Add(u"AddTab(%d, %d)", tab_id, frame_id);
  }
  HRESULT NotifyDocumentComplete(LONG tab_id, BSTR url) override {
    return Add(u"DocumentComplete(%d, %s)", tab_id, Text(url).c_str());
  }
  HRESULT NotifyRefresh(LONG tab_id, BSTR url) override {
    return Add(u"Refresh(%d, %s)", tab_id, Text(url).c_str());
  }
  HRESULT NotifyLogin(BSTR user_id, BSTR user, BSTR info, LONG first) override {
    return Add(u"Login(%s, %s, %s, %d)", Text(user_id).c_str(), Text(user).c_str(),
               Text(info).c_str(), first);
  }
  HRESULT NotifyLogout(BSTR user_id, BSTR user) override {
    return Add(u"Logout(%s, %s)", Text(user_id).c_str(), Text(user).c_str());
  }
  HRESULT NotifySwitchUser(BSTR old_user, BSTR new_user) override {
    return Add(u"SwitchUser(%s, %s)", Text(old_user).c_str(), Text(new_user).c_str());
  }
  HRESULT NotifyFrameFullScreen(LONG frame_id, LONG status) override {
    return Add(u"FullScreen(%d, %d)", frame_id, status);
  }
  HRESULT NotifyFrameCreate(LONG frame_id) override { return Add(u"FrameCreate(%d)", frame_id); }
  HRESULT NotifyFrameClose(LONG frame_id) override { return Add(u"FrameClose(%d)", frame_id); }
  HRESULT NotifyAccelerator(BSTR id, BSTR args) override {
    return Add(u"Accelerator(%s, %s)", Text(id).c_str(), Text(args).c_str());
  }
  HRESULT NotifySwitchCore(LONG tab_id) override { return Add(u"SwitchCore(%d)", tab_id); }

 private:
  template <class... A>
  HRESULT Add(const char16_t* format, A... args) {
    std::lock_guard<std::mutex> hold(mutex_);
    calls_.push_back(halcy::StringPrintf(format, args...));
    return S_OK;
  }

  mutable std::mutex mutex_;
  std::vector<std::u16string> calls_;  // Guarded by mutex_
};

class BrowserModelTest : public ::testing::Test {
 protected:
  BrowserModelTest() {
    previous_ = halcy::SetService(Logic::IExtensionNotifyMgr::kIID,
                                  static_cast<Logic::IExtensionNotifyMgr*>(notify_.Get()));
  }
  ~BrowserModelTest() override {
    halcy::SetService(Logic::IExtensionNotifyMgr::kIID, previous_.Get());
  }

  std::vector<std::u16string> Calls() { return notify_->calls(); }

  ComPtr<RecordingNotifyMgr> notify_ = halcy::MakeComObject<RecordingNotifyMgr>();
  ComPtr<IUnknown> previous_;
  ComPtr<CBrowserModel> model_ = halcy::MakeComObject<CBrowserModel>();
};

TEST_F(BrowserModelTest, TabLifecycleRaisesTheBrowsersNotificationsInOrder) {
  ASSERT_EQ(S_OK, model_->AddFrame(1));
  ASSERT_EQ(S_OK, model_->AddTab(1, 11, u"http://a/", u"A"));
  ASSERT_EQ(S_OK, model_->AddTab(1, 12, u"http://b/", u"B"));
  ASSERT_EQ(S_OK, model_->Navigate(12, u"http://c/"));
  ASSERT_EQ(S_OK, model_->Activate(12));
  ASSERT_EQ(S_FALSE, model_->Activate(12));  // already active: nothing raised
  ASSERT_EQ(S_OK, model_->CloseTab(12));
  ASSERT_EQ(S_OK, model_->SetFullScreen(1, true));
  ASSERT_EQ(S_FALSE, model_->SetFullScreen(1, true));
  ASSERT_EQ(S_OK, model_->CloseFrame(1));
  std::vector<std::u16string> expected = {
      u"FrameCreate(1)",
      u"AddTab(11, 1)",
      u"AddTab(12, 1)",
      u"UrlChange(http://b/, http://c/, 12)",
      u"DocumentComplete(12, http://c/)",
      u"SwitchTab(11, http://a/, 12, http://c/, 0)",
      u"CloseTab(12, 1, http://c/, 0)",
      u"SwitchTab(12, http://c/, 11, http://a/, 0)",
      u"FullScreen(1, 1)",
      u"CloseTab(11, 1, http://a/, 0)",
      u"FrameClose(1)",
  };
  EXPECT_EQ(expected, Calls());
}

TEST_F(BrowserModelTest, LoginEvents) {
  model_->Login({u"u1", u"alice", u"c=1"}, true);
  model_->SwitchUser(u"alice", u"bob");
  model_->Logout();
  model_->Logout();  // nobody signed in: nothing raised
  std::vector<std::u16string> expected = {u"Login(u1, alice, c=1, 1)", u"SwitchUser(alice, bob)",
                                          u"Logout(u1, bob)"};
  EXPECT_EQ(expected, Calls());
}

TEST_F(BrowserModelTest, ScriptingErrors) {
  EXPECT_EQ(E_INVALIDARG, model_->AddTab(1, 11, u"u", u"t"));  // no frame 1
  ASSERT_EQ(S_OK, model_->AddFrame(1));
  EXPECT_EQ(E_INVALIDARG, model_->AddFrame(1));
  ASSERT_EQ(S_OK, model_->AddTab(1, 11, u"u", u"t"));
  EXPECT_EQ(E_INVALIDARG, model_->AddTab(1, 11, u"u", u"t"));
  EXPECT_EQ(E_INVALIDARG, model_->Navigate(99, u"u"));
  EXPECT_EQ(E_INVALIDARG, model_->Activate(99));
  EXPECT_EQ(E_INVALIDARG, model_->CloseTab(99));
  EXPECT_EQ(E_INVALIDARG, model_->SetFullScreen(2, true));
  EXPECT_EQ(2u, Calls().size());  // only the two successful changes
}

TEST_F(BrowserModelTest, FrameServiceWalk) {
  ASSERT_EQ(S_OK, model_->AddFrame(5));
  ASSERT_EQ(S_OK, model_->AddFrame(6));
  ASSERT_EQ(S_OK, model_->AddTab(6, 61, u"http://x/", u"X"));
  ASSERT_EQ(S_OK, model_->AddTab(6, 62, u"http://y/", u"Y"));
  ASSERT_EQ(S_OK, model_->Activate(62));
  LONG count = 0;
  ASSERT_EQ(S_OK, model_->GetItemCount(Logic::kBrowserItemTopLevelFrame, &count));
  EXPECT_EQ(2, count);
  ASSERT_EQ(S_OK, model_->GetItemCount(Logic::kBrowserItemPopupFrame, &count));
  EXPECT_EQ(0, count);
  ComPtr<Logic::IBrowserFrame> frame;
  EXPECT_EQ(E_INVALIDARG, model_->GetItem(0, 2, frame.ReleaseAndGetAddressOf()));
  ASSERT_EQ(S_OK, model_->GetItem(0, 1, frame.ReleaseAndGetAddressOf()));
  LONG frame_id = 0;
  ASSERT_EQ(S_OK, frame->GetFrameId(&frame_id));
  EXPECT_EQ(6, frame_id);
  HANDLE window = nullptr;
  ASSERT_EQ(S_OK, frame->GetWindowHandle(&window));
  EXPECT_NE(nullptr, window);
  EXPECT_NE(model_->WindowOf(5), window);
  ComPtr<Logic::IBrowserTabContainer> tabs;
  ASSERT_EQ(S_OK, frame->GetTabContainer(tabs.ReleaseAndGetAddressOf()));
  LONG tab_id = 0;
  ASSERT_EQ(S_OK, tabs->GetTabId(Logic::kActiveTabIndex, &tab_id));
  EXPECT_EQ(62, tab_id);
  ASSERT_EQ(S_OK, tabs->GetTabId(0, &tab_id));
  EXPECT_EQ(61, tab_id);
  ComPtr<Logic::IBrowserTab> tab;
  ASSERT_EQ(S_OK, tabs->GetTab(1, tab.ReleaseAndGetAddressOf()));
  halcy::ScopedBstr url;
  ASSERT_EQ(S_OK, tab->GetUrl(url.Receive()));
  EXPECT_EQ(u"http://y/", url.View());
  // A frame without tabs has no active tab.
  ASSERT_EQ(S_OK, model_->GetItem(0, 0, frame.ReleaseAndGetAddressOf()));
  ASSERT_EQ(S_OK, frame->GetTabContainer(tabs.ReleaseAndGetAddressOf()));
  EXPECT_EQ(E_FAIL, tabs->GetTabId(Logic::kActiveTabIndex, &tab_id));
}

TEST_F(BrowserModelTest, LookupsByIdAndClosedItems) {
  ASSERT_EQ(S_OK, model_->AddFrame(1));
  ASSERT_EQ(S_OK, model_->AddTab(1, 11, u"http://a/", u"A"));
  ComPtr<IUnknown> item;
  EXPECT_EQ(S_FALSE,
            model_->GetItemById(12, Logic::kBrowserItemAny, item.ReleaseAndGetAddressOf()));
  EXPECT_EQ(nullptr, item.Get());
  ASSERT_EQ(S_OK, model_->GetItemById(11, Logic::kBrowserItemAny, item.ReleaseAndGetAddressOf()));
  ComPtr<Logic::IBrowserTab> tab;
  ASSERT_EQ(S_OK, item.As(&tab));
  LONG frame_id = 0;
  ASSERT_EQ(S_OK, tab->GetFrameId(&frame_id));
  EXPECT_EQ(1, frame_id);
  ComPtr<Logic::IBrowserFrame> frame;
  ASSERT_EQ(S_OK, model_->GetFrameById(1, Logic::kBrowserItemAny, frame.ReleaseAndGetAddressOf()));
  EXPECT_EQ(S_FALSE,
            model_->GetFrameById(2, Logic::kBrowserItemAny, frame.ReleaseAndGetAddressOf()));
  ASSERT_EQ(S_OK, model_->CloseTab(11));
  halcy::ScopedBstr title;
  EXPECT_EQ(E_FAIL, tab->GetTitle(title.Receive())) << "a closed tab answers nothing";
}

TEST_F(BrowserModelTest, PageMediaAndImageCount) {
  ASSERT_EQ(S_OK, model_->AddFrame(1));
  ASSERT_EQ(S_OK, model_->AddTab(1, 11, u"http://a/", u"A"));
  ASSERT_EQ(S_OK, model_->SetMedia(11, true, false, u"{\"v\":1}"));
  ComPtr<IUnknown> item;
  ComPtr<Logic::IBrowserTab> tab;
  ASSERT_EQ(S_OK, model_->GetItemById(11, Logic::kBrowserItemAny, item.ReleaseAndGetAddressOf()));
  ASSERT_EQ(S_OK, item.As(&tab));
  BOOL flag = FALSE;
  ASSERT_EQ(S_OK, tab->HasMedia(&flag));
  EXPECT_TRUE(flag);
  ASSERT_EQ(S_OK, tab->GetMediaEmptyFlag(&flag));
  EXPECT_FALSE(flag);
  ComPtr<IUnknown> page;
  ASSERT_EQ(S_OK, tab->GetPage(page.ReleaseAndGetAddressOf()));
  ComPtr<Logic::IPageContent> content;
  ASSERT_EQ(S_OK, page.As(&content));
  halcy::ScopedBstr media;
  ASSERT_EQ(S_OK, content->GetMediaInfo(media.Receive()));
  EXPECT_EQ(u"{\"v\":1}", media.View());
  ComPtr<Logic::IBrowserPage> browser_page;
  ASSERT_EQ(S_OK, page.As(&browser_page));
  halcy::ScopedBstr ext(u"extX");
  ASSERT_EQ(S_OK, browser_page->CountImages(ext.Get()));
  auto requests = model_->image_count_requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(u"extX", requests[0].first);
}

TEST_F(BrowserModelTest, LoginServiceAndDialog) {
  BOOL logged_in = TRUE;
  ASSERT_EQ(S_OK, model_->IsLoggedIn(&logged_in));
  EXPECT_FALSE(logged_in);
  halcy::ScopedBstr cookie;
  EXPECT_EQ(E_FAIL, model_->GetCookie(cookie.Receive()));
  // Shown without a prepared user: nobody signs in.
  int window_marker = 0;
  ASSERT_EQ(S_OK, model_->ShowLoginDialog(&window_marker, 1, 0, 0));
  ASSERT_EQ(S_OK, model_->IsLoggedIn(&logged_in));
  EXPECT_FALSE(logged_in);
  model_->SetDialogLogin(CBrowserModel::User{u"u9", u"dora", u"sid"});
  ASSERT_EQ(S_OK, model_->ShowLoginDialog(&window_marker, 1, 0, 0));
  ASSERT_EQ(S_OK, model_->IsLoggedIn(&logged_in));
  EXPECT_TRUE(logged_in);
  ASSERT_EQ(S_OK, model_->GetCookie(cookie.Receive()));
  EXPECT_EQ(u"sid", cookie.View());
  EXPECT_EQ(2, model_->login_dialog_shows());
  EXPECT_EQ(&window_marker, model_->last_dialog_owner());
  EXPECT_EQ(std::vector<std::u16string>{u"Login(u9, dora, sid, 1)"}, Calls());
}

TEST_F(BrowserModelTest, ConcurrentChangesAndWalksStayConsistent) {
  ASSERT_EQ(S_OK, model_->AddFrame(1));
  constexpr LONG kTabs = 200;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (LONG id = 100; id < 100 + kTabs; ++id) {
      model_->AddTab(1, id, u"http://w/", u"w");
      if (id % 3 == 0) model_->CloseTab(id);
    }
    done = true;
  });
  // Walks the tabs while they change: every id read back is a tab that existed.
  while (!done) {
    ComPtr<Logic::IBrowserFrame> frame;
    ComPtr<Logic::IBrowserTabContainer> tabs;
    ASSERT_EQ(S_OK, model_->GetItem(0, 0, frame.ReleaseAndGetAddressOf()));
    ASSERT_EQ(S_OK, frame->GetTabContainer(tabs.ReleaseAndGetAddressOf()));
    LONG count = 0;
    ASSERT_EQ(S_OK, tabs->GetTabCount(&count));
    for (LONG i = 0; i < count; ++i) {
      LONG id = -1;
      if (SUCCEEDED(tabs->GetTabId(i, &id))) {
        EXPECT_GE(id, 100);
        EXPECT_LT(id, 100 + kTabs);
      }
    }
  }
  writer.join();
  auto frame = model_->Frame(1);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(static_cast<size_t>(kTabs - kTabs / 3), frame->tabs.size());
}

}  // namespace
}  // namespace host
