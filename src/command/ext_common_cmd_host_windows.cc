// The common command host's handlers for popup frames, skinned independent windows, tab
// activation, window modes and operations on the page shown in a tab. Only the popup commands
// reply ("extension.response.ui.popframe"); the popup itself is always found or made on the UI
// thread.
#include <memory>
#include <string>

#include "command/browser_model.h"
#include "command/browser_popups.h"
#include "command/browser_windows.h"
#include "command/cmd_host_lookups.h"
#include "command/command_args.h"
#include "command/ext_common_cmd_host_impl.h"
#include "command/extension_mgr_port.h"
#include "command/skinned_window.h"
#include "command/ui_command_support.h"
#include "common/log.h"
#include "extension/web_view_service.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/strings.h"
#include "thread/service_lookup.h"
#include "thread/task.h"
#include "thread/thread_post.h"

namespace Logic {
namespace {

using Host = CExtCommonCmdHostImpl;
using halcy::ScopedBstr;

// The open popup showing exactly `url` (case-sensitive), or null.
ComPtr<IPopupFrame> OpenPopupOf(IBrowserFrameMgr* frames, const std::u16string& url) {
  LONG count = 0;
  if (FAILED(frames->GetItemCount(kBrowserItemPopupFrame, &count))) return nullptr;
  for (LONG i = 0; i < count; ++i) {
    ComPtr<IBrowserFrame> item;
    ComPtr<IPopupFrame> popup;
    ScopedBstr shown;
    if (SUCCEEDED(frames->GetItem(kBrowserItemPopupFrame, i, item.ReleaseAndGetAddressOf())) &&
        item && SUCCEEDED(item.As(&popup)) && SUCCEEDED(popup->GetUrl(shown.Receive())) &&
        shown.View() == url) {
      return popup;
    }
  }
  return nullptr;
}

// Sets a new popup up in the order the browser expects; false when its window cannot be made
// (nothing is shown then).
bool SetUpPopup(IPopupFrame* popup, IBrowserFrame* owner, const Host::PopupRequest& request) {
  popup->SetOwnerFrame(owner);
  ComPtr<IBrowserMainWindow> main_window;
  if (owner && SUCCEEDED(owner->QueryInterface(IBrowserMainWindow::kIID,
                                               main_window.ReleaseAndGetVoidAddress()))) {
    popup->SetMainWindow(main_window.Get());
  }
  popup->SetSize(request.width, request.height);
  if (FAILED(popup->CreateFrameWindow())) return false;
  popup->Show(5);
  HANDLE owner_window = nullptr;
  if (request.frame_id >= 0 && owner && SUCCEEDED(owner->GetWindowHandle(&owner_window))) {
    popup->SetOwnerWindow(owner_window);
  }
  ScopedBstr caption, icon, url(request.url);
  if (request.has_caption) caption.Reset(SysAllocString(request.caption.c_str()));
  if (!request.icon.empty()) icon.Reset(SysAllocString(request.icon.c_str()));
  popup->SetCaption(caption.Get());
  popup->SetIcon(icon.Get());
  popup->Navigate(url.Get(), 1, -1, 0, 0, 2);
  return true;
}

// The custom-id commands' common start: their log line, the arguments and the content of the
// tab's page; false when there is no such page.
bool CustomIdPage(BSTR extension_id, BSTR arguments, std::unique_ptr<CJsonValue>* args,
                  ComPtr<IPageContent>* page) {
  Log(kLogEvent, u"DeadImageLink;", u"ext:post From lib, extid:%s, args: %s\n",
      BstrText(extension_id).c_str(), BstrText(arguments).c_str());
  *args = ParseCommandArguments(arguments);
  *page = PageOfTab<IPageContent>(NumberOf(args->get(), u"tab_id", -1));
  return *page != nullptr;
}

}  // namespace

// --- Popup frames ---

HRESULT Host::PopFrame(BSTR extension_id, BSTR arguments, LONG request_context) {
  return PostPopFrame(extension_id, arguments, request_context, u"frame_id", true);
}

HRESULT Host::PopSimpleFrame(BSTR extension_id, BSTR arguments, LONG request_context) {
  return PostPopFrame(extension_id, arguments, request_context, u"frameId", false);
}

HRESULT Host::PostPopFrame(BSTR extension_id, BSTR arguments, LONG request_context,
                           const char16_t* frame_key, bool read_size) {
  std::shared_ptr<ExtensionMgrPort> manager = port();
  if (!manager) return E_FAIL;
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  if (!args) Log(kLogDetail, u"Extension;", u"%s", kMalformedArgumentsMessage);
  PopupRequest request;
  request.extension_id = BstrText(extension_id);
  request.url = TextOf(args.get(), u"url");
  if (request.url.empty()) return S_OK;  // nothing to open, nothing to answer
  if (read_size) {
    request.width = NumberOf(args.get(), u"width", 400);
    request.height = NumberOf(args.get(), u"height", 300);
  }
  request.frame_id = NumberOf(args.get(), frame_key, -1);
  request.has_caption = args && ReadTextMember(*args, u"caption", &request.caption);
  request.request_context = request_context;
  const std::u16string& id = request.extension_id;
  request.url =
      ResolveLocation(*manager, id, ReplaceVersionPlaceholders(*manager, id, request.url));
  request.icon = TextOf(args.get(), u"icon");
  if (!request.icon.empty()) request.icon = ResolveLocation(*manager, id, request.icon);
  Thread::CTask* task = Thread::NewTask(this, &Host::PopFrameInUIThread,
                                        u"&CExtCommonCmdHostImpl::PopFrameInUIThread", request);
  if (task) Thread::PostTask(Thread::kThreadUI, task);  // the result is ignored: nothing waits
  return S_OK;
}

HRESULT Host::PopFrameInUIThread(PopupRequest request) {
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  if (!frames) return ReplyPopFrame(request, 0, 0);
  if (ComPtr<IPopupFrame> open = OpenPopupOf(frames.Get(), request.url)) {
    BOOL minimized = FALSE;
    if (SUCCEEDED(open->IsMinimized(&minimized)) && minimized) open->Restore();
    open->Activate();
    LONG frame_id = 0;
    open->GetFrameId(&frame_id);
    ReplyPopFrame(request, 1, frame_id);
    return S_OK;
  }
  ComPtr<IBrowserFrame> owner;
  frames->GetFrameById(request.frame_id, kBrowserItemAny, owner.ReleaseAndGetAddressOf());
  ComPtr<IPopupFrame> popup;
  if (FAILED(Util::Com::CreateObjectByIID(IPopupFrame::kIID, popup.ReleaseAndGetVoidAddress())) ||
      !popup) {
    return ReplyPopFrame(request, 0, 0);
  }
  if (!Thread::GetServiceOrLog<IExtWebViewService>(u"IExtWebViewService") ||
      !SetUpPopup(popup.Get(), owner.Get(), request)) {
    return ReplyPopFrame(request, 0, 0);
  }
  LONG frame_id = 0;
  popup->GetFrameId(&frame_id);
  ReplyPopFrame(request, 1, frame_id);
  return S_OK;
}

// Returns E_FAIL for a failure's reply (success 0), which still reaches the extension.
HRESULT Host::ReplyPopFrame(const PopupRequest& request, int success, LONG frame_id) {
  PostReply(request.extension_id, S_OK, u"extension.response.ui.popframe",
            halcy::StringPrintf(u"{\"success\":\"%d\", \"frame_id\":\"%d\" }", success, frame_id),
            request.request_context);
  return success ? S_OK : E_FAIL;
}

// --- Skinned independent windows ---

HRESULT Host::ShowWindow(BSTR extension_id, BSTR arguments, LONG) {
  if (!port()) return E_FAIL;
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  if (!args) return E_INVALIDARG;
  const LONG tab_id = NumberOf(args.get(), u"tab_id", -1);
  LONG frame_id = -1;
  if (!ReadNumberMember(*args, u"frame_id", &frame_id)) frame_id = FrameFromArgument(u"", tab_id);
  return ShowSkinnedWindow(BstrText(extension_id), TextOf(args.get(), u"windowid"),
                           TextOf(args.get(), u"xmlfile"), frame_id,
                           NumberOf(args.get(), u"xpos", 0), NumberOf(args.get(), u"ypos", 0));
}

HRESULT Host::CloseWindow(BSTR extension_id, BSTR arguments, LONG) {
  if (!port()) return E_FAIL;
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  ComPtr<IExtWindowMgr> windows = Thread::GetServiceOrLog<IExtWindowMgr>(u"IExtWindowMgr");
  if (!windows) return E_FAIL;
  ScopedBstr window_id(TextOf(args.get(), u"windowid"));
  return windows->CloseWindow(extension_id, window_id.Get());
}

HRESULT Host::UpdateWindow(BSTR extension_id, BSTR arguments, LONG) {
  if (!port()) return E_FAIL;
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  const std::u16string window_text = TextOf(args.get(), u"windowid");
  if (window_text.empty()) return S_OK;  // no window named: nothing to update
  ComPtr<IExtWindowMgr> windows = Thread::GetServiceOrLog<IExtWindowMgr>(u"IExtWindowMgr");
  if (!windows) return E_FAIL;
  ScopedBstr window_id(window_text), update(TextOf(args.get(), u"updateinfo"));
  return windows->UpdateWindow(extension_id, window_id.Get(),
                               NumberOf(args.get(), u"elementid", -1), update.Get());
}

// --- Tabs and frames ---

HRESULT Host::ActiveTab(BSTR, BSTR arguments, LONG) {
  if (!port()) return E_FAIL;
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  if (!frames) return E_FAIL;
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  ComPtr<IBrowserFrame> frame;
  if (frames->GetFrameById(NumberOf(args.get(), u"frame_id", -1), kBrowserItemAny,
                           frame.ReleaseAndGetAddressOf()) != S_OK ||
      !frame) {
    return S_FALSE;
  }
  return frame->ActivateTab(NumberOf(args.get(), u"tab_id", -1));
}

HRESULT Host::OpenIndependentWindow(BSTR, BSTR arguments, LONG) {
  if (!port()) return E_FAIL;
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  if (!frames) return E_FAIL;
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  const LONG frame_id = NumberOf(args.get(), u"frame_id", -1);
  constexpr LONG kIndependentWindowMode = 3;  // the browser's value, passed unchanged
  auto switch_mode = [](IBrowserFrame* frame) {
    ComPtr<IBrowserMainWindow> window;
    if (frame && SUCCEEDED(frame->QueryInterface(IBrowserMainWindow::kIID,
                                                 window.ReleaseAndGetVoidAddress()))) {
      window->SetWindowMode(kIndependentWindowMode);
    }
  };
  ComPtr<IBrowserFrame> frame;
  if (frame_id != -1) {
    frames->GetFrameById(frame_id, kBrowserItemAny, frame.ReleaseAndGetAddressOf());
    switch_mode(frame.Get());
    return S_OK;
  }
  LONG count = 0;
  if (FAILED(frames->GetItemCount(kBrowserItemTopLevelFrame, &count))) return E_FAIL;
  for (LONG i = 0; i < count; ++i) {
    if (SUCCEEDED(frames->GetItem(kBrowserItemTopLevelFrame, i, frame.ReleaseAndGetAddressOf()))) {
      switch_mode(frame.Get());
    }
  }
  return S_OK;
}

// --- Page operations: each on the page of the tab named by "tab_id"; no tab, no call ---

HRESULT Host::SourceCode(BSTR extension_id, BSTR arguments, LONG) {
  if (!port()) return E_FAIL;
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  ComPtr<IBrowserPage> page = PageOfTab<IBrowserPage>(NumberOf(args.get(), u"tab_id", -1));
  if (!page) return S_OK;
  page->ShowSource(extension_id, arguments);
  Log(kLogDetail, u"Extension;", u" SourceCode: extsionid: %s, params: %s",
      BstrText(extension_id).c_str(), BstrText(arguments).c_str());
  return S_OK;
}

HRESULT Host::SaveAllImage(BSTR, BSTR arguments, LONG) {
  if (!port()) return E_FAIL;
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  if (ComPtr<IBrowserPage> page = PageOfTab<IBrowserPage>(NumberOf(args.get(), u"tab_id", -1))) {
    page->SaveAllImages();
  }
  return S_OK;
}

HRESULT Host::SaveOneImage(BSTR, BSTR arguments, LONG) {
  if (!port()) return E_FAIL;
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  if (!args) return E_INVALIDARG;
  ComPtr<IBrowserPage> page = PageOfTab<IBrowserPage>(NumberOf(args.get(), u"tab_id", -1));
  if (!page) return S_OK;
  const CJsonValue* rect = FindMember(*args, u"rect");
  page->SaveOneImage(NumberOf(rect, u"left", 0), NumberOf(rect, u"top", 0),
                     NumberOf(rect, u"right", 0), NumberOf(rect, u"bottom", 0),
                     NumberOf(args.get(), u"width", 0), NumberOf(args.get(), u"height", 0));
  return S_OK;
}

HRESULT Host::ExcuteJs(BSTR, BSTR arguments, LONG) {
  if (!port()) return E_FAIL;
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  if (ComPtr<IBrowserPage> page = PageOfTab<IBrowserPage>(NumberOf(args.get(), u"tab_id", -1))) {
    ScopedBstr script(TextOf(args.get(), u"cmd"));
    page->RunScript(script.Get());
  }
  return S_OK;
}

HRESULT Host::PageExtensionCall(BSTR extension_id, BSTR arguments, LONG) {
  if (!port()) return E_FAIL;
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  if (ComPtr<IBrowserPage> page = PageOfTab<IBrowserPage>(NumberOf(args.get(), u"tab_id", -1))) {
    ScopedBstr command(u"extension.invoke.pageextension.call");
    page->PageCall(command.Get(), extension_id, arguments);
  }
  return S_OK;
}

HRESULT Host::GetElementInfoByPoint(BSTR extension_id, BSTR arguments, LONG request_context) {
  if (!port()) return E_FAIL;
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  if (ComPtr<IBrowserPage> page = PageOfTab<IBrowserPage>(NumberOf(args.get(), u"tab_id", -1))) {
    ScopedBstr command(u"extension.invoke.core.getelementinfobypoint");
    page->GetElementInfoByPoint(command.Get(), extension_id, arguments, request_context);
  }
  return S_OK;
}

HRESULT Host::SetAttributeByCustomId(BSTR extension_id, BSTR arguments, LONG) {
  std::unique_ptr<CJsonValue> args;
  ComPtr<IPageContent> page;
  if (!port()) return E_FAIL;
  if (CustomIdPage(extension_id, arguments, &args, &page)) {
    ScopedBstr custom_id(TextOf(args.get(), u"custom_id")),
        name(TextOf(args.get(), u"attribute_name")), value(TextOf(args.get(), u"value"));
    page->SetAttributeByCustomId(custom_id.Get(), name.Get(), value.Get());
  }
  return S_OK;
}

HRESULT Host::EvaluteJsForImageByCustomId(BSTR extension_id, BSTR arguments, LONG) {
  std::unique_ptr<CJsonValue> args;
  ComPtr<IPageContent> page;
  if (!port()) return E_FAIL;
  if (CustomIdPage(extension_id, arguments, &args, &page)) {
    ScopedBstr custom_id(TextOf(args.get(), u"custom_id")), code(TextOf(args.get(), u"code"));
    page->EvaluateScriptForImage(custom_id.Get(), code.Get());
  }
  return S_OK;
}

}  // namespace Logic
