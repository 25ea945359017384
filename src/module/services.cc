#include "module/services.h"

#include "command/extension_context_menu_mgr.h"
#include "command/extension_notify_mgr.h"
#include "common/log.h"
#include "common/paths.h"
#include "extension/extension_mgr.h"
#include "module/browser_info_services.h"
#include "module/channel_info.h"
#include "module/extension_store.h"
#include "module/logic_global_service.h"
#include "module/user_service_manager.h"
#include "permission/permission_mgr.h"
#include "platform/bstr.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "thread/service_lookup.h"
#include "thread/thread_post.h"
#include "thread/thread_service.h"

namespace Logic {

ComPtr<IExtensionNotifyMgr> GetExtensionNotifyMgr() {
  return Thread::GetServiceOrLog<IExtensionNotifyMgr>(u"IExtensionNotifyMgr");
}

ComPtr<IPermissionMgr> GetPermissionMgr() {
  return Thread::GetServiceOrLog<IPermissionMgr>(u"IPermissionMgr");
}

ComPtr<IExtensionMgr> GetExtensionMgr() {
  // Without the browser's sibling modules there is no extension system to talk to.
  if (!AreSiblingModulesPresent()) return nullptr;
  return Thread::GetServiceOrLog<IExtensionMgr>(u"IExtensionMgr");
}

ComPtr<IExtensionContextMenuMgr> GetExtensionContextMenuMgr() {
  return Thread::GetServiceOrLog<IExtensionContextMenuMgr>(u"IExtensionContextMenuMgr");
}

ComPtr<ILogicGlobalService> GetLogicGlobalService() {
  return Thread::GetServiceOrLog<ILogicGlobalService>(u"ILogicGlobalService");
}

ComPtr<IUserServiceManager> GetUserServiceManager() {
  ComPtr<IUserServiceManager> service;
  HRESULT hr = Util::Com::GetService(IUserServiceManager::kIID, service.ReleaseAndGetVoidAddress());
  if (FAILED(hr) || !service) {
    Log(kLogFailure, u"BrowserUser;", u"create IUserServiceManager failed");
    return nullptr;
  }
  return service;
}

void RegisterWithUserService(REFIID listener_iid, LONG listener_id, IUnknown* listener,
                             DWORD thread_id) {
  if (!listener) return;
  if (ComPtr<IUserServiceManager> users = GetUserServiceManager()) {
    users->RegisterListener(listener_iid, listener_id, listener, thread_id);
  }
}

void RegisterWithUserServiceOnCallingThread(REFIID listener_iid, IUnknown* listener) {
  if (!listener) return;
  if (ComPtr<IUserServiceManager> users = GetUserServiceManager()) {
    users->RegisterListenerOnCallingThread(listener_iid, listener);
  }
}

namespace {
template <class I>
ComPtr<I> GetServiceQuietly() {
  ComPtr<I> service;
  Util::Com::GetService(I::kIID, service.ReleaseAndGetVoidAddress());
  return service;
}
}  // namespace

ComPtr<IDatabaseService> GetDatabaseService() { return GetServiceQuietly<IDatabaseService>(); }
ComPtr<IChannelInfo> GetChannelInfo() { return GetServiceQuietly<IChannelInfo>(); }
ComPtr<IStatisticsService> GetStatisticsService() {
  return GetServiceQuietly<IStatisticsService>();
}
ComPtr<IVersionService> GetVersionService() { return GetServiceQuietly<IVersionService>(); }
ComPtr<ISkinService> GetSkinService() { return GetServiceQuietly<ISkinService>(); }

ComPtr<ICacheStore> GetCacheStore() {
  ComPtr<IChannelInfo> info = GetChannelInfo();
  ComPtr<ICacheStore> store;
  if (info) info->GetCacheStore(store.ReleaseAndGetAddressOf());
  return store;
}

std::vector<std::u16string> ReadCacheEntry(ICacheStore* store, const std::u16string& name,
                                           LONG size_limit) {
  std::vector<std::u16string> values;
  ComPtr<IStringList> list;
  if (!store || FAILED(store->ReadEntry(name.c_str(), size_limit, list.ReleaseAndGetAddressOf())) ||
      !list) {
    return values;
  }
  LONG count = 0;
  list->GetCount(&count);
  for (LONG i = 0; i < count; ++i) {
    halcy::ScopedBstr item;
    list->GetAt(i, item.Receive());
    values.emplace_back(item.View());
  }
  return values;
}

ComPtr<Thread::IThreadService> GetThreadService() { return Thread::GetThreadService(); }

ComPtr<Thread::IMessageLoopRegistry> GetMessageLoopRegistry() {
  return Thread::GetServiceOrLog<Thread::IMessageLoopRegistry>(u"IMessageLoopRegistry");
}

}  // namespace Logic
