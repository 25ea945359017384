// The query handlers of the common command host: tab, frame, version and login queries and
// their replies, plus the three commands that pass data on (uploadlog, toLibAsync and
// getimagecount).
#include <string>
#include <vector>

#include "command/browser_model.h"
#include "command/cmd_host_lookups.h"
#include "command/command_args.h"
#include "command/ext_common_cmd_host_impl.h"
#include "command/extension_mgr_port.h"
#include "command/pair_object.h"
#include "json/json_writer.h"
#include "platform/bstr.h"
#include "platform/strings.h"
#include "thread/service_lookup.h"

namespace Logic {
namespace {

using Host = CExtCommonCmdHostImpl;

std::u16string Text(BSTR text) { return BstrText(text); }

// The tab with `tab_id` among the tabs of the top-level frames: S_OK with the tab, S_FALSE
// when no tab has that id, E_FAIL when the frame service fails on the way.
HRESULT FindTopLevelTab(IBrowserFrameMgr* frames, LONG tab_id, ComPtr<IBrowserTab>* found) {
  LONG frame_count = 0;
  if (FAILED(frames->GetItemCount(kBrowserItemTopLevelFrame, &frame_count))) return E_FAIL;
  for (LONG i = 0; i < frame_count; ++i) {
    ComPtr<IBrowserFrame> frame;
    ComPtr<IBrowserTabContainer> tabs;
    if (FAILED(frames->GetItem(kBrowserItemTopLevelFrame, i, frame.ReleaseAndGetAddressOf())) ||
        !frame || FAILED(frame->GetTabContainer(tabs.ReleaseAndGetAddressOf()))) {
      return E_FAIL;
    }
    LONG tab_count = 0;
    if (!tabs || FAILED(tabs->GetTabCount(&tab_count))) continue;
    for (LONG j = 0; j < tab_count; ++j) {
      ComPtr<IBrowserTab> tab;
      LONG id = -1;
      if (FAILED(tabs->GetTab(j, tab.ReleaseAndGetAddressOf())) || !tab ||
          FAILED(tab->GetTabId(&id))) {
        return E_FAIL;
      }
      if (id == tab_id) {
        *found = tab;
        return S_OK;
      }
    }
  }
  return S_FALSE;
}

HRESULT ReadUrl(IBrowserTab* tab, BSTR* out) { return tab->GetUrl(out); }
HRESULT ReadTitle(IBrowserTab* tab, BSTR* out) { return tab->GetTitle(out); }
HRESULT ReadFavicon(IBrowserTab* tab, BSTR* out) { return tab->GetFavicon(out); }

std::u16string LoginText(ILoginService* login, HRESULT (ILoginService::*get)(BSTR*)) {
  halcy::ScopedBstr text;
  if (FAILED((login->*get)(text.Receive()))) return u"";
  return std::u16string(text.View());
}

bool IsLoggedIn(ILoginService* login) {
  BOOL logged_in = FALSE;
  return SUCCEEDED(login->IsLoggedIn(&logged_in)) && logged_in;
}

}  // namespace

HRESULT Host::ReplyTabText(BSTR extension_id, BSTR arguments, LONG request_context,
                           const char16_t* reply_command, const char16_t* key, TabTextGetter read,
                           bool empty_when_absent) {
  const std::u16string id = Text(extension_id);
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  if (!args) {
    CPairObject empty;
    empty.Add(key, u"");
    PostReply(id, E_INVALIDARG, reply_command,
              empty_when_absent ? empty.ToString() : kMalformedArgumentsMessage, request_context);
    return E_INVALIDARG;
  }
  LONG tab_id = -1;
  ReadNumberMember(*args, u"tab_id", &tab_id);
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  if (!frames) return E_FAIL;
  ComPtr<IBrowserTab> tab;
  HRESULT found = FindTopLevelTab(frames.Get(), tab_id, &tab);
  HRESULT status = S_OK;
  std::u16string value;
  if (FAILED(found)) {
    status = E_FAIL;
  } else if (found == S_OK) {
    halcy::ScopedBstr text;
    if (SUCCEEDED(read(tab.Get(), text.Receive()))) value = text.View();
  } else if (!empty_when_absent) {
    status = E_FAIL;  // no tab with that id: the extension hears nothing
  }
  CPairObject reply;
  reply.Add(key, value);
  PostReply(id, status, reply_command, reply.ToString(), request_context);
  return status;
}

HRESULT Host::GetUrl(BSTR extension_id, BSTR arguments, LONG request_context) {
  return ReplyTabText(extension_id, arguments, request_context,
                      u"extension.response.utility.geturl", u"url", &ReadUrl, true);
}

HRESULT Host::GetTitle(BSTR extension_id, BSTR arguments, LONG request_context) {
  return ReplyTabText(extension_id, arguments, request_context,
                      u"extension.response.utility.gettitle", u"title", &ReadTitle, false);
}

HRESULT Host::GetFavicon(BSTR extension_id, BSTR arguments, LONG request_context) {
  return ReplyTabText(extension_id, arguments, request_context,
                      u"extension.response.utility.getfavicon", u"favicon", &ReadFavicon, false);
}

HRESULT Host::GetVersion(BSTR extension_id, BSTR, LONG request_context) {
  std::shared_ptr<ExtensionMgrPort> manager = port();
  if (!manager) return E_FAIL;
  const std::u16string id = Text(extension_id);
  CPairObject reply;
  reply.Add(u"browserversion", manager->BrowserVersion());
  reply.Add(u"version", manager->ExtensionVersion(id));
  PostReply(id, S_OK, u"extension.response.utility.getversion", reply.ToString(), request_context);
  return S_OK;
}

HRESULT Host::GetExtension(BSTR extension_id, BSTR, LONG request_context) {
  if (!port()) return E_FAIL;
  PostReply(Text(extension_id), S_OK, u"extension.response.utility.getextension", u"",
            request_context);
  return S_OK;
}

HRESULT Host::GetLogInfo(BSTR extension_id, BSTR, LONG request_context) {
  ComPtr<ILoginService> login = Thread::GetServiceOrLog<ILoginService>(u"ILoginService");
  if (!login) return E_FAIL;
  CPairObject reply;
  reply.Add(u"userid", LoginText(login.Get(), &ILoginService::GetUserId));
  reply.Add(u"user", LoginText(login.Get(), &ILoginService::GetUserName));
  reply.Add(u"cookie", LoginText(login.Get(), &ILoginService::GetCookie));
  PostReply(Text(extension_id), S_OK, u"extension.response.login.getloginfo", reply.ToString(),
            request_context);
  return S_OK;
}

HRESULT Host::GetAllPages(BSTR extension_id, BSTR, LONG request_context) {
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  if (!frames) return E_FAIL;
  LONG frame_count = 0;
  HRESULT status = frames->GetItemCount(kBrowserItemTopLevelFrame, &frame_count);
  status = FAILED(status) ? E_FAIL : S_OK;
  LONG tab_total = 0;
  LONG frames_with_tabs = 0;
  std::u16string list;
  for (LONG i = 0; SUCCEEDED(status) && i < frame_count; ++i) {
    ComPtr<IBrowserFrame> frame;
    ComPtr<IBrowserTabContainer> tabs;
    LONG frame_id = -1;
    LONG tab_count = 0;
    if (FAILED(frames->GetItem(kBrowserItemTopLevelFrame, i, frame.ReleaseAndGetAddressOf())) ||
        !frame || FAILED(frame->GetTabContainer(tabs.ReleaseAndGetAddressOf()))) {
      status = E_FAIL;
      break;
    }
    if (!tabs) continue;
    ++frames_with_tabs;
    if (FAILED(frame->GetFrameId(&frame_id)) || FAILED(tabs->GetTabCount(&tab_count))) {
      status = E_FAIL;
      break;
    }
    for (LONG j = 0; j < tab_count; ++j) {
      LONG tab_id = -1;
      if (FAILED(tabs->GetTabId(j, &tab_id))) {
        status = E_FAIL;
        break;
      }
      if (!list.empty()) list += u',';
      list += halcy::StringPrintf(u"{\"%s\":\"%d\",\"%s\":\"%d\"}", u"tab_id", tab_id, u"frame_id",
                                  frame_id);
      ++tab_total;
    }
  }
  std::u16string reply;
  if (tab_total > 0) {
    reply = halcy::StringPrintf(u"{ \"%s\":\"%d\",  \"%s\":\"%d\",\"list\":[%s]}", u"count",
                                tab_total, u"framecount", frames_with_tabs, list.c_str());
  }
  PostReply(Text(extension_id), status, u"extension.response.utility.getallpages", reply,
            request_context);
  return status;
}

HRESULT Host::GetActivePage(BSTR extension_id, BSTR, LONG request_context) {
  CPairObject pairs;
  if (ComPtr<IBrowserFrameMgr> frames = FrameMgr()) {
    LONG frame_count = 0;
    if (FAILED(frames->GetItemCount(kBrowserItemTopLevelFrame, &frame_count))) frame_count = 0;
    for (LONG i = 0; i < frame_count; ++i) {
      ComPtr<IBrowserFrame> frame;
      ComPtr<IBrowserTabContainer> tabs;
      LONG tab_id = -1;
      // A frame without tabs, or without an active one, has nothing to list.
      if (SUCCEEDED(
              frames->GetItem(kBrowserItemTopLevelFrame, i, frame.ReleaseAndGetAddressOf())) &&
          frame && SUCCEEDED(frame->GetTabContainer(tabs.ReleaseAndGetAddressOf())) && tabs &&
          SUCCEEDED(tabs->GetTabId(kActiveTabIndex, &tab_id))) {
        pairs.Add(u"tab_id", tab_id);
      }
    }
  }
  std::u16string reply;
  if (!pairs.empty()) {
    std::u16string items;
    for (const std::u16string& pair : pairs.items()) {
      items += u'{';
      items.append(pair, 0, pair.size() - 1);  // without the pair's own comma
      items += u"},";
    }
    items.pop_back();
    reply = halcy::StringPrintf(u"{ \"%s\":\"%d\", \"list\":[%s]}", u"count",
                                static_cast<int>(pairs.size()), items.c_str());
  }
  PostReply(Text(extension_id), S_OK, u"extension.response.utility.getactivepage", reply,
            request_context);
  return S_OK;
}

HRESULT Host::GetFrameByTab(BSTR extension_id, BSTR arguments, LONG request_context) {
  const std::u16string id = Text(extension_id);
  constexpr char16_t kReply[] = u"extension.response.utility.getFramebyTab";
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  if (!args) {
    PostReply(id, S_OK, kReply, kMalformedArgumentsMessage, request_context);
    return S_OK;
  }
  LONG tab_id = -1;
  ReadNumberMember(*args, u"tab_id", &tab_id);
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  if (!frames) return E_FAIL;
  CPairObject reply;
  reply.Add(u"tab_id", tab_id);
  LONG frame_id = -1;
  if (FrameIdOfTab(frames.Get(), tab_id, &frame_id)) reply.Add(u"frame_id", frame_id);
  PostReply(id, S_OK, kReply, reply.ToString(), request_context);
  return S_OK;
}

HRESULT Host::IsFrameFullScreen(BSTR extension_id, BSTR arguments, LONG request_context) {
  const std::u16string id = Text(extension_id);
  constexpr char16_t kReply[] = u"extension.response.utility.isframefullscreen";
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  if (!args) {
    PostReply(id, E_INVALIDARG, kReply, kMalformedArgumentsMessage, request_context);
    return E_INVALIDARG;
  }
  LONG position = -1;
  ReadNumberMember(*args, u"frame_id", &position);
  std::u16string reply;
  ComPtr<IBrowserFrame> frame;
  BOOL full_screen = FALSE;
  // "frame_id" is a position in the list of top-level frames, as getallpages walks them.
  if (ComPtr<IBrowserFrameMgr> frames = FrameMgr();
      frames &&
      SUCCEEDED(
          frames->GetItem(kBrowserItemTopLevelFrame, position, frame.ReleaseAndGetAddressOf())) &&
      frame && SUCCEEDED(frame->IsFullScreen(&full_screen))) {
    CPairObject pairs;
    pairs.Add(u"frame_id", position);
    pairs.Add(u"status", full_screen ? 1 : 0);
    reply = pairs.ToString();
  }
  PostReply(id, S_OK, kReply, reply, request_context);
  return S_OK;
}

HRESULT Host::GetMediaInfo(BSTR extension_id, BSTR arguments, LONG request_context) {
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  LONG tab_id = -1;
  std::u16string request_id;
  if (!args || !ReadNumberMember(*args, u"tab_id", &tab_id) ||
      !ReadTextMember(*args, u"id", &request_id)) {
    return E_FAIL;
  }
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  ComPtr<IBrowserTab> tab = frames ? TabById(frames.Get(), tab_id) : nullptr;
  BOOL has_media = FALSE;
  if (!tab || FAILED(tab->HasMedia(&has_media)) || !has_media) return S_OK;
  BOOL empty = TRUE;
  if (FAILED(tab->GetMediaEmptyFlag(&empty))) empty = TRUE;
  std::u16string media;
  ComPtr<IUnknown> page;
  ComPtr<IPageContent> content;
  if (SUCCEEDED(tab->GetPage(page.ReleaseAndGetAddressOf())) && page &&
      SUCCEEDED(page.As(&content))) {
    halcy::ScopedBstr text;
    if (SUCCEEDED(content->GetMediaInfo(text.Receive()))) media = text.View();
  }
  if (media.empty()) media = u"{}";
  std::u16string reply =
      halcy::StringPrintf(u"{\"result\":%s,\"id\":\"%s\", \"empty\":\"%s\"}", media.c_str(),
                          request_id.c_str(), empty ? u"true" : u"false");
  // Straight to the manager: this reply does not go through PostReply and is not logged here.
  if (std::shared_ptr<ExtensionMgrPort> manager = port()) {
    manager->SendToExtension(Text(extension_id), u"extension.response.sniffer.getmediainfo", reply,
                             request_context);
  }
  return S_OK;
}

HRESULT Host::CallLogin(BSTR extension_id, BSTR arguments, LONG request_context) {
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  LONG tab_id = -1;
  if (args) ReadNumberMember(*args, u"tab_id", &tab_id);
  HANDLE window = nullptr;
  LONG frame_id = -1;
  ComPtr<IBrowserFrame> frame;
  if (ComPtr<IBrowserFrameMgr> frames = FrameMgr();
      frames && FrameIdOfTab(frames.Get(), tab_id, &frame_id) &&
      SUCCEEDED(frames->GetFrameById(frame_id, kBrowserItemAny, frame.ReleaseAndGetAddressOf())) &&
      frame && FAILED(frame->GetWindowHandle(&window))) {
    window = nullptr;
  }
  ComPtr<ILoginService> login = Thread::GetServiceOrLog<ILoginService>(u"ILoginService");
  if (!login) return E_FAIL;
  CJsonValue::Object reply;
  if (!IsLoggedIn(login.Get()) && window) {
    ComPtr<ILoginDialog> dialog = Thread::GetServiceOrLog<ILoginDialog>(u"ILoginDialog");
    if (!dialog) return E_FAIL;
    // Returns when the user has closed the dialog; the UI thread waits here.
    dialog->ShowLoginDialog(window, 1, 0, 0);
    reply[u"show"] = std::make_unique<CJsonValue>(u"1");
    reply[u"ret"] = std::make_unique<CJsonValue>(IsLoggedIn(login.Get()) ? u"1" : u"0");
  } else {
    reply[u"show"] = std::make_unique<CJsonValue>(u"0");
  }
  PostReply(Text(extension_id), S_OK, u"extension.response.login.calllogin",
            ToJsonString(CJsonValue(std::move(reply))), request_context);
  return S_OK;
}

HRESULT Host::UploadLog(BSTR extension_id, BSTR arguments, LONG) {
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  const CJsonValue* param = args ? FindMember(*args, u"param") : nullptr;
  if (!param || !param->IsObject()) return E_FAIL;
  std::shared_ptr<ExtensionMgrPort> manager = port();
  if (!manager) return E_FAIL;
  std::u16string type;
  LONG upload_type = 0;
  ReadTextMember(*param, u"type", &type);
  ReadNumberMember(*param, u"loguploadtype", &upload_type);
  const CJsonValue* content = FindMember(*param, u"content");
  manager->ReportSelfStatistics(Text(extension_id), upload_type, type,
                                content ? ToJsonString(*content) : u"");
  return S_OK;
}

HRESULT Host::ToLibAsync(BSTR extension_id, BSTR arguments, LONG) {
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  if (!args) return E_INVALIDARG;  // malformed: nothing is forwarded
  std::u16string context;
  ReadTextMember(*args, u"fecmdContext", &context);
  // The manager wrote the context as "%d, %s, %d, %d"; at most four fields are taken.
  std::vector<std::u16string> fields;
  size_t start = 0;
  while (fields.size() < 4 && start <= context.size()) {
    size_t comma = context.find(u',', start);
    if (comma == std::u16string::npos) comma = context.size();
    fields.push_back(context.substr(start, comma - start));
    start = comma + 1;
  }
  // The format put one blank after each comma; the numbers skip it, the text drops it here.
  if (fields.size() > 1 && !fields[1].empty() && fields[1][0] == u' ') fields[1].erase(0, 1);
  const CJsonValue* result = FindMember(*args, u"result");
  const std::u16string result_text = result ? ToJsonString(*result) : u"";
  std::shared_ptr<ExtensionMgrPort> manager = port();
  if (!manager || fields.size() != 4) return S_OK;
  manager->SendResponseToFrontEnd(Text(extension_id), result_text, DecimalToLong(fields[0]),
                                  fields[1], DecimalToLong(fields[2]), DecimalToLong(fields[3]));
  return S_OK;
}

HRESULT Host::GetImageCount(BSTR extension_id, BSTR arguments, LONG) {
  std::unique_ptr<CJsonValue> args = ParseCommandArguments(arguments);
  LONG tab_id = -1;
  if (args) ReadNumberMember(*args, u"tab_id", &tab_id);
  ComPtr<IBrowserFrameMgr> frames = FrameMgr();
  ComPtr<IBrowserTab> tab = frames ? TabById(frames.Get(), tab_id) : nullptr;
  ComPtr<IUnknown> page_object;
  ComPtr<IBrowserPage> page;
  if (!tab || FAILED(tab->GetPage(page_object.ReleaseAndGetAddressOf())) || !page_object ||
      FAILED(page_object.As(&page))) {
    return E_FAIL;
  }
  // The page answers the extension itself; the host sends no reply.
  return page->CountImages(extension_id);
}

}  // namespace Logic
