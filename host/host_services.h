// The browser's threads and services as one unit: Start runs the UI (1), process-launcher (2),
// IPC (3, completion-port pump) and extension-manager (8) threads and registers with the object
// factory the thread service, the loop registry, the global logic service, the database
// service, the information service (cache store, channel), the statistics, version, skin and
// user services, the window and login model (host/browser_model.h, also the side-bar
// manager), the install guide's pop-up (host/guild_popup.h), the UI extension-point manager
// (host/ui_ext_points.h), the browser-window service (host/browser_window_service.h), the
// extension window and menu window managers (host/ext_windows.h), and the creatable database
// parameter object, property set, UI description, skinned window, popup menu, popup frame
// (host/popup_frames.h), download engine (host/download_engine.h) and program task and task
// manager (host/program_task.h); Stop signals the shutdown event, ends the threads (every queued
// task runs or is deleted) and withdraws the services and classes, putting back whatever was
// registered before.
//
// The module's own classes that the browser creates by interface (the extension agent, the
// download objects and their fetcher) are registered separately by RegisterModuleClasses,
// because tests that link the module's objects directly register their own factories instead.
//
//   host::CHostServices services;
//   if (!services.Start()) return 2;
//   ... drive the module ...
//   services.Stop();  // also done by the destructor
//
// Start and Stop belong to one owning thread; the services themselves are free-threaded.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "host/ext_windows.h"
#include "host/popup_frames.h"
#include "host/service_registrations.h"
#include "host/skin_windows.h"
#include "host/ui_call_log.h"
#include "platform/com.h"
#include "platform/object_factory.h"
#include "platform/win_types.h"

namespace host {

class CBrowserModel;
class CBrowserThread;
class CBrowserWindowService;
class CChannelInfo;
class CDatabaseService;
class CGuildPopup;
class CLogicGlobalService;
class CSkinService;
class CStatisticsService;
class CThreadService;
class CUIExtPtMgr;
class CUserServiceManager;
class CVersionService;
class CXmlDocumentClasses;

// Registers the module's classes that the browser creates by interface, activated by CLSID
// through the registry as the other module classes are: the extension agent, the common command
// host, the menu command host, the network file fetcher and the download object. For the host's
// main(); returns nothing because a missing module only shows when an object is created.
void RegisterModuleClasses();

class CHostServices {
 public:
  CHostServices();
  ~CHostServices();
  CHostServices(const CHostServices&) = delete;
  CHostServices& operator=(const CHostServices&) = delete;

  bool Start();
  void Stop();

  // Runs `fn` on the thread of `kind` (inline when already there) and waits for it. False
  // when the task was dropped without running (no such thread, or it is stopping).
  bool RunOnThread(int kind, const std::function<void()>& fn);

  // Returns true once, at one moment, every thread's queue was empty (delayed tasks not yet
  // due aside) and no task was running; false if that did not happen within `limit`. Called
  // from a thread that is not one of the host's.
  bool WaitIdle(std::chrono::milliseconds limit);

  // Null for a kind the host does not run, or before Start.
  CBrowserThread* thread(int kind) const;
  CThreadService* thread_service() const { return thread_service_.Get(); }
  CLogicGlobalService* logic_global_service() const { return logic_global_service_.Get(); }
  CDatabaseService* database_service() const { return database_service_.Get(); }
  CChannelInfo* channel_info() const { return channel_info_.Get(); }
  CStatisticsService* statistics_service() const { return statistics_service_.Get(); }
  CSkinService* skin_service() const { return skin_service_.Get(); }
  CUserServiceManager* user_service() const { return user_service_.Get(); }
  // The window and login model (frame service, login service and login dialog).
  CBrowserModel* browser_model() const { return browser_model_.Get(); }
  CUIExtPtMgr* ui_points() const { return ui_points_.Get(); }
  // The frames' accelerators and tab closing (host/browser_window_service.h).
  CBrowserWindowService* browser_windows() const { return browser_windows_.Get(); }
  // The skinned windows extensions opened (host/skin_windows.h).
  const std::shared_ptr<CSkinWindowTable>& skin_windows() const { return skin_windows_; }
  // Menu-window states and the popup menu shown last (host/ext_windows.h).
  const std::shared_ptr<CExtMenuTable>& menus() const { return menus_; }
  // The popup frames extensions opened (host/popup_frames.h).
  const std::shared_ptr<CPopupFrameTable>& popup_frames() const { return popup_frames_; }
  // The record of calls on the browser's UI stand-ins; it writes nowhere until given a writer.
  const std::shared_ptr<CUiCallLog>& ui_log() const { return ui_log_; }

 private:
  void Register();
  void Unregister();

  ComPtr<CThreadService> thread_service_;
  ComPtr<CLogicGlobalService> logic_global_service_;
  ComPtr<CDatabaseService> database_service_;
  ComPtr<CChannelInfo> channel_info_;
  ComPtr<CStatisticsService> statistics_service_;
  ComPtr<CGuildPopup> guild_popup_;  // the install guide's pop-up, printing to stdout
  ComPtr<CVersionService> version_service_;
  ComPtr<CSkinService> skin_service_;
  ComPtr<CUserServiceManager> user_service_;
  ComPtr<CBrowserModel> browser_model_;
  const std::shared_ptr<CUiCallLog> ui_log_ = std::make_shared<CUiCallLog>();
  ComPtr<CUIExtPtMgr> ui_points_;
  ComPtr<CBrowserWindowService> browser_windows_;
  const std::shared_ptr<CSkinWindowTable> skin_windows_ =
      std::make_shared<CSkinWindowTable>(ui_log_);
  const std::shared_ptr<CExtMenuTable> menus_ = std::make_shared<CExtMenuTable>(ui_log_);
  ComPtr<CExtWindowMgr> window_mgr_;
  ComPtr<CExtMenuWindowMgr> menu_window_mgr_;
  const std::shared_ptr<CPopupFrameTable> popup_frames_ =
      std::make_shared<CPopupFrameTable>(ui_log_);
  ComPtr<CXmlDocumentClasses> xml_classes_;
  std::vector<std::unique_ptr<CBrowserThread>> threads_;
  // What the object factory held before Start, put back by Stop.
  CServiceRegistrations registrations_;
};

}  // namespace host
