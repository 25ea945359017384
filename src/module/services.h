// Getters for the browser's services, as the module reaches them through the object factory.
// Each getter looks the service up on every call (never cached) and returns a counted pointer,
// or null when the service is absent; callers treat null as a feature that is not there and
// carry on. A failed lookup is logged:
//   "GetService(IPermissionMgr) failed: %d" (level 64, "oldlog;") for the named interfaces;
//   "create IUserServiceManager failed" (level 64, "BrowserUser;") for the user service.
//
//   if (ComPtr<IPermissionMgr> permissions = Logic::GetPermissionMgr()) { ... }
//
// Safe from any thread.
#pragma once

#include <string>
#include <vector>

#include "platform/com.h"

namespace Thread {
struct IThreadService;
struct IMessageLoopRegistry;
}  // namespace Thread

namespace Logic {

struct IExtensionMgr;
struct IExtensionNotifyMgr;
struct IExtensionContextMenuMgr;
struct IPermissionMgr;
struct ILogicGlobalService;
struct IUserServiceManager;
struct IDatabaseService;
struct IChannelInfo;
struct IStatisticsService;
struct IVersionService;
struct ISkinService;
struct ICacheStore;

ComPtr<IExtensionNotifyMgr> GetExtensionNotifyMgr();
ComPtr<IPermissionMgr> GetPermissionMgr();
// Null, without a lookup, unless every sibling module is present (AreSiblingModulesPresent).
ComPtr<IExtensionMgr> GetExtensionMgr();
ComPtr<IExtensionContextMenuMgr> GetExtensionContextMenuMgr();
ComPtr<ILogicGlobalService> GetLogicGlobalService();
ComPtr<IUserServiceManager> GetUserServiceManager();
// Registers `listener` (skipped when null) with the user service under `listener_iid`, to be
// called on `thread_id`, or on the calling thread. Without the service nothing is registered
// (after its log line); the service's answer is not looked at, the listener works without it.
void RegisterWithUserService(REFIID listener_iid, LONG listener_id, IUnknown* listener,
                             DWORD thread_id);
void RegisterWithUserServiceOnCallingThread(REFIID listener_iid, IUnknown* listener);
// Optional services whose absence is part of normal operation: looked up without a failure
// line.
ComPtr<IDatabaseService> GetDatabaseService();
ComPtr<IChannelInfo> GetChannelInfo();
ComPtr<IStatisticsService> GetStatisticsService();
ComPtr<IVersionService> GetVersionService();
ComPtr<ISkinService> GetSkinService();
// The information service's cache store (IChannelInfo slot 11), or null.
ComPtr<ICacheStore> GetCacheStore();
// The strings of the store's entry `name` (at most `size_limit`); none when it is missing.
std::vector<std::u16string> ReadCacheEntry(ICacheStore* store, const std::u16string& name,
                                           LONG size_limit);
ComPtr<Thread::IThreadService> GetThreadService();
ComPtr<Thread::IMessageLoopRegistry> GetMessageLoopRegistry();

}  // namespace Logic
