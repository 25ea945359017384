// CExtCommonCmdHostImpl: the common command host's dispatch. Two command tables map command
// names (compared ordinally and case-sensitively) to handlers: a synchronous one, whose
// handlers run inside HandleCommand on the caller's thread, and a UI-thread one, whose handlers
// run as a task named "iter->second" on the UI thread while HandleCommand returns S_OK at once.
// A name in neither table gives E_NOTIMPL, so the extension manager offers the command to its
// next host. Replying handlers answer through PostReply, which drops replies whose status is
// E_NOTIMPL, S_FALSE or E_FAIL and hands every other one to the extension manager.
//
// Threads: both tables are filled in the constructor and only read afterwards, so dispatch
// takes no lock. The manager is attached once, before the host is registered; the attachment
// is read under its own lock from either thread. UI-table handlers run on the UI thread, one
// at a time in posting order.
//
// Lifetime: the object lives inside CCoExtCommonCmdHost and forwards AddRef and Release to it,
// so a posted task keeps the COM object alive until it has run or been dropped.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/com.h"

namespace Logic {

class CExtensionMgrImpl;
class ExtensionMgrPort;
struct IBrowserTab;

class CExtCommonCmdHostImpl {
 public:
  using Handler = HRESULT (CExtCommonCmdHostImpl::*)(BSTR extension_id, BSTR arguments,
                                                     LONG request_context);
  enum class Table { kSync, kUI };
  struct CommandRow {
    const char16_t* command;
    Table table;
    Handler handler;
  };
  // What popframe and popsimpleframe hand to the UI thread.
  struct PopupRequest {
    std::u16string extension_id, url, caption, icon;
    LONG width = 400, height = 300, frame_id = -1, request_context = 0;
    bool has_caption = false;
  };
  // The rows of both tables in filling order.
  static const CommandRow kCommandRows[];
  static const size_t kCommandRowCount;

  // `owner`: the COM object holding this implementation (borrowed; it owns us).
  explicit CExtCommonCmdHostImpl(IUnknown* owner);
  virtual ~CExtCommonCmdHostImpl();
  CExtCommonCmdHostImpl(const CExtCommonCmdHostImpl&) = delete;
  CExtCommonCmdHostImpl& operator=(const CExtCommonCmdHostImpl&) = delete;

  ULONG AddRef() { return owner_->AddRef(); }
  ULONG Release() { return owner_->Release(); }

  // Stores the manager (no reference) and reaches it through a port made for it.
  HRESULT SetExtensionMgr(CExtensionMgrImpl* manager);
  // Routes every call to the manager through `port` instead (null detaches). For embedders
  // and tests that stand in for the manager.
  void SetExtensionMgrPort(std::shared_ptr<ExtensionMgrPort> port);
  HRESULT DetachExtensionMgr() { return S_OK; }

  virtual HRESULT HandleCommand(BSTR extension_id, BSTR command, BSTR arguments,
                                LONG request_context);

  // Logs the reply ("ext:post to libi, ...", level 37, "extCloud;") and, unless `status` is
  // E_NOTIMPL, S_FALSE or E_FAIL, hands it to the manager; the status itself does not travel.
  void PostReply(const std::u16string& extension_id, HRESULT status, const std::u16string& command,
                 const std::u16string& arguments, LONG request_context);

 private:
  // The attached manager's port, or null before SetExtensionMgr.
  std::shared_ptr<ExtensionMgrPort> port() const;

  // --- Synchronous table ---
  HRESULT GetFavicon(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT GetWindowStatus(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT GetVersion(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT GetExtension(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT SourceCode(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT UploadLog(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT ToLibAsync(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT ShowPageExt(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT SaveAllImage(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT ShowHtmlBubble(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT NewTabNavigate(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT TabNavigate(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT PopFrame(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT GetLogInfo(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT SetTitle(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT PopSimpleFrame(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT NewTabAndNavigate(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT ShowGuide(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT PageExtensionCall(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT SetAttributeByCustomId(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT EvaluteJsForImageByCustomId(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT UtilityLog(BSTR extension_id, BSTR arguments, LONG request_context);

  // --- UI-thread table ---
  HRESULT GetActivePage(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT GetAllPages(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT GetImageCount(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT GetFrameByTab(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT IsFrameFullScreen(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT Uninstall(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT GetUrl(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT GetTitle(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT ShowWindow(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT CloseWindow(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT GetMediaInfo(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT CallLogin(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT UpdateWindow(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT GetElementInfoByPoint(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT ShowBubble2(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT OpenIndependentWindow(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT ShowExt(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT ShowSideBubble(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT SaveOneImage(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT ExcuteJs(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT ActiveTab(BSTR extension_id, BSTR arguments, LONG request_context);
  HRESULT UpdateInfo(BSTR extension_id, BSTR arguments, LONG request_context);

  // Reads the popup commands' arguments (`frame_key`: "frame_id" or "frameId") and posts
  // PopFrameInUIThread; S_OK without a post when there is no URL.
  HRESULT PostPopFrame(BSTR extension_id, BSTR arguments, LONG request_context,
                       const char16_t* frame_key, bool read_size);
  // Finds or opens the popup and replies "extension.response.ui.popframe".
  HRESULT PopFrameInUIThread(PopupRequest request);
  HRESULT ReplyPopFrame(const PopupRequest& request, int success, LONG frame_id);

  // Shared by geturl, gettitle and getfavicon: the text `read` gives for the tab named by
  // "tab_id", replied under `key`.
  using TabTextGetter = HRESULT (*)(IBrowserTab*, BSTR*);
  HRESULT ReplyTabText(BSTR extension_id, BSTR arguments, LONG request_context,
                       const char16_t* reply_command, const char16_t* key, TabTextGetter read,
                       bool empty_when_absent);

 protected:
  // For hosts that reuse this dispatch with command tables of their own: `rows` (static,
  // `count` of them) fill the two tables instead of this host's commands. A derived host's
  // handlers enter the rows cast to Handler and are only ever called on the derived object.
  CExtCommonCmdHostImpl(IUnknown* owner, const CommandRow* rows, size_t count);

 private:
  // Constant after construction.
  IUnknown* const owner_;
  std::map<std::u16string, Handler> sync_table_;
  std::map<std::u16string, Handler> ui_table_;

  mutable std::mutex mgr_lock_;
  CExtensionMgrImpl* ext_mgr_ = nullptr;        // Guarded by mgr_lock_
  std::shared_ptr<ExtensionMgrPort> mgr_port_;  // Guarded by mgr_lock_
};

}  // namespace Logic
