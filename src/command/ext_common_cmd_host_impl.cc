#include "command/ext_common_cmd_host_impl.h"

#include <utility>

#include "command/extension_mgr_port.h"
#include "common/log.h"
#include "platform/bstr.h"
#include "thread/task.h"
#include "thread/thread_post.h"

namespace Logic {
namespace {

using Host = CExtCommonCmdHostImpl;
using Table = CExtCommonCmdHostImpl::Table;

// A copy of a BSTR that keeps a null a null. False when memory ran out.
bool CopyBstr(BSTR source, BSTR* copy) {
  *copy = source ? SysAllocStringLen(source, SysStringLen(source)) : nullptr;
  return !source || *copy;
}

// The task that runs a UI-table handler: it owns its copies of the extension id and the
// arguments and frees them with itself, whether it ran or was dropped.
class CUIHandlerTask final : public Thread::CPtrTaskBase<Host> {
 public:
  CUIHandlerTask(Host* host, Host::Handler handler, BSTR extension_id, BSTR arguments,
                 LONG request_context)
      : CPtrTaskBase<Host>(host, u"iter->second"),
        handler_(handler),
        extension_id_(extension_id),
        arguments_(arguments),
        request_context_(request_context) {}
  ~CUIHandlerTask() override {
    SysFreeString(extension_id_);
    SysFreeString(arguments_);
  }
  // The handler's result has no one to go to: its reply, if any, was posted by the handler.
  void Run() override {
    // Through a local: g++ 12's vptr sanitizer checks the wrong address for a pointer-to-member
    // call made directly on the base class's `target`.
    Host* host = target;
    (host->*handler_)(extension_id_, arguments_, request_context_);
  }

 private:
  const Host::Handler handler_;
  BSTR extension_id_;
  BSTR arguments_;
  const LONG request_context_;
};

}  // namespace

const Host::CommandRow Host::kCommandRows[] = {
    {u"extension.invoke.utility.getfavicon", Table::kSync, &Host::GetFavicon},
    {u"extension.invoke.utility.getwindowstatus", Table::kSync, &Host::GetWindowStatus},
    {u"extension.invoke.utility.getversion", Table::kSync, &Host::GetVersion},
    {u"extension.invoke.utility.getextension", Table::kSync, &Host::GetExtension},
    {u"extension.invoke.utility.sourcecode", Table::kSync, &Host::SourceCode},
    {u"extension.invoke.cmd.uploadlog", Table::kSync, &Host::UploadLog},
    {u"extension.response.fe.toLibAsync", Table::kSync, &Host::ToLibAsync},
    {u"extension.invoke.ui.showPageExt", Table::kSync, &Host::ShowPageExt},
    {u"extension.invoke.ui.saveallimage", Table::kSync, &Host::SaveAllImage},
    {u"extension.invoke.ui.showHtmlBubble", Table::kSync, &Host::ShowHtmlBubble},
    {u"extension.invoke.ui.newTabNavigate", Table::kSync, &Host::NewTabNavigate},
    {u"extension.invoke.ui.tabnavigate", Table::kSync, &Host::TabNavigate},
    {u"extension.invoke.ui.popframe", Table::kSync, &Host::PopFrame},
    {u"extension.invoke.login.getloginfo", Table::kSync, &Host::GetLogInfo},
    {u"hcbrowser.browserAction.setTitle", Table::kSync, &Host::SetTitle},
    {u"hcbrowser.extension.popsimpleframe", Table::kSync, &Host::PopSimpleFrame},
    {u"hcbrowser.extension.newTabAndNavigate", Table::kSync, &Host::NewTabAndNavigate},
    {u"extension.invoke.ui.showguide", Table::kSync, &Host::ShowGuide},
    {u"extension.invoke.pageextension.call", Table::kSync, &Host::PageExtensionCall},
    {u"extension.invoke.core.setattributebycustomid", Table::kSync, &Host::SetAttributeByCustomId},
    {u"extension.invoke.core.evalutejsforimagebycustomid", Table::kSync,
     &Host::EvaluteJsForImageByCustomId},
    {u"extension.invoke.utility.log", Table::kSync, &Host::UtilityLog},
    {u"extension.invoke.utility.getactivepage", Table::kUI, &Host::GetActivePage},
    {u"extension.invoke.utility.getallpages", Table::kUI, &Host::GetAllPages},
    {u"extension.invoke.utility.getimagecount", Table::kUI, &Host::GetImageCount},
    {u"extension.invoke.utility.getframebytab", Table::kUI, &Host::GetFrameByTab},
    {u"extension.invoke.utility.isframefullscreen", Table::kUI, &Host::IsFrameFullScreen},
    {u"extension.invoke.utility.uninstall", Table::kUI, &Host::Uninstall},
    {u"extension.invoke.utility.geturl", Table::kUI, &Host::GetUrl},
    {u"extension.invoke.utility.gettitle", Table::kUI, &Host::GetTitle},
    {u"extension.invoke.ui.showwindow", Table::kUI, &Host::ShowWindow},
    {u"extension.invoke.ui.closewindow", Table::kUI, &Host::CloseWindow},
    {u"extension.invoke.sniffer.getmediainfo", Table::kUI, &Host::GetMediaInfo},
    {u"extension.invoke.login.calllogin", Table::kUI, &Host::CallLogin},
    {u"extension.invoke.ui.updatewindow", Table::kUI, &Host::UpdateWindow},
    {u"extension.invoke.core.getelementinfobypoint", Table::kUI, &Host::GetElementInfoByPoint},
    {u"extension.invoke.ui.showbubble2", Table::kUI, &Host::ShowBubble2},
    {u"extension.invoke.ui.openindependentwindow", Table::kUI, &Host::OpenIndependentWindow},
    {u"extension.invoke.ui.showext", Table::kUI, &Host::ShowExt},
    {u"extension.invoke.ui.showsidebubble", Table::kUI, &Host::ShowSideBubble},
    {u"extension.invoke.ui.saveoneimage", Table::kUI, &Host::SaveOneImage},
    {u"extension.invoke.utility.excutejs", Table::kUI, &Host::ExcuteJs},
    {u"extension.invoke.ui.activetab", Table::kUI, &Host::ActiveTab},
    {u"extension.invoke.ui.updateInfo", Table::kUI, &Host::UpdateInfo},
};
const size_t Host::kCommandRowCount = sizeof(kCommandRows) / sizeof(kCommandRows[0]);

CExtCommonCmdHostImpl::CExtCommonCmdHostImpl(IUnknown* owner)
    : CExtCommonCmdHostImpl(owner, kCommandRows, kCommandRowCount) {}

CExtCommonCmdHostImpl::CExtCommonCmdHostImpl(IUnknown* owner, const CommandRow* rows,
                                             size_t count)
    : owner_(owner) {
  for (size_t i = 0; i < count; ++i) {
    (rows[i].table == Table::kUI ? ui_table_ : sync_table_)[rows[i].command] = rows[i].handler;
  }
}

CExtCommonCmdHostImpl::~CExtCommonCmdHostImpl() = default;

HRESULT CExtCommonCmdHostImpl::SetExtensionMgr(CExtensionMgrImpl* manager) {
  std::shared_ptr<ExtensionMgrPort> port = manager ? MakeExtensionMgrPort(manager) : nullptr;
  std::lock_guard<std::mutex> hold(mgr_lock_);
  ext_mgr_ = manager;
  mgr_port_ = std::move(port);
  return S_OK;
}

void CExtCommonCmdHostImpl::SetExtensionMgrPort(std::shared_ptr<ExtensionMgrPort> port) {
  std::lock_guard<std::mutex> hold(mgr_lock_);
  ext_mgr_ = nullptr;
  mgr_port_ = std::move(port);
}

std::shared_ptr<ExtensionMgrPort> CExtCommonCmdHostImpl::port() const {
  std::lock_guard<std::mutex> hold(mgr_lock_);
  return mgr_port_;
}

HRESULT CExtCommonCmdHostImpl::HandleCommand(BSTR extension_id, BSTR command, BSTR arguments,
                                             LONG request_context) {
  const std::u16string name(command ? command : u"", SysStringLen(command));
  auto iter = ui_table_.find(name);
  if (iter != ui_table_.end()) {
    BSTR id_copy = nullptr;
    BSTR arguments_copy = nullptr;
    // Reported instead of thrown: no exception crosses an interface.
    if (!CopyBstr(extension_id, &id_copy) || !CopyBstr(arguments, &arguments_copy)) {
      SysFreeString(id_copy);
      return E_OUTOFMEMORY;
    }
    auto* task = new (std::nothrow)
        CUIHandlerTask(this, iter->second, id_copy, arguments_copy, request_context);
    if (!task) {
      SysFreeString(id_copy);
      SysFreeString(arguments_copy);
      return E_OUTOFMEMORY;
    }
    Thread::PostTask(Thread::kThreadUI, task);  // the result is ignored: nothing waits
    return S_OK;
  }
  iter = sync_table_.find(name);
  if (iter != sync_table_.end() && iter->second) {
    return (this->*(iter->second))(extension_id, arguments, request_context);
  }
  return E_NOTIMPL;
}

void CExtCommonCmdHostImpl::PostReply(const std::u16string& extension_id, HRESULT status,
                                      const std::u16string& command,
                                      const std::u16string& arguments, LONG request_context) {
  Log(kLogEvent, u"extCloud;", u"ext:post to libi, extid:%s, command:%s, args: %s\n",
      extension_id.c_str(), command.c_str(), arguments.c_str());
  if (status == E_NOTIMPL || status == S_FALSE || status == E_FAIL) return;
  if (std::shared_ptr<ExtensionMgrPort> manager = port()) {
    manager->SendToExtension(extension_id, command, arguments, request_context);
  }
}

HRESULT CExtCommonCmdHostImpl::GetWindowStatus(BSTR, BSTR, LONG) {
  return S_OK;  // accepted and ignored: the browser answers window status itself
}

HRESULT CExtCommonCmdHostImpl::UtilityLog(BSTR extension_id, BSTR arguments, LONG) {
  Log(kLogDetail, u"Extension;", u"strExtensionID: %s, strParams: %s",
      extension_id ? extension_id : u"", arguments ? arguments : u"");
  return S_OK;
}

HRESULT CExtCommonCmdHostImpl::Uninstall(BSTR extension_id, BSTR, LONG) {
  if (std::shared_ptr<ExtensionMgrPort> manager = port()) {
    // The manager deletes on its own thread; the caller hears S_OK whatever the outcome.
    manager->DeleteExtension(std::u16string(extension_id ? extension_id : u""));
  }
  return S_OK;
}

}  // namespace Logic
