// The context menu manager: every item extensions add to the browser's right-click menus, kept
// per extension and menu id, handed to the browser as one JSON array, and broadcast to the
// registered listeners (the browser's menu code) on each refresh. Adding items does not notify;
// callers add all of an extension's items and then refresh once.
//
//   ComPtr<IExtensionContextMenuMgr> menus = GetExtensionContextMenuMgr();
//   menus->AddItem(id, u"1", u"Translate", u"0", u"", u"");
//   menus->Refresh();  // every listener gets the new JSON on its own thread
//
// Free-threaded. The store and the listener list each have their own lock; no lock is held
// while a listener runs, so a listener may call back into the manager. A listener registered
// for another thread is called there, through a task named "func".
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "thread/listener_list.h"

namespace Logic {

// The interface under which menu listeners are registered with the user service.
constexpr IID kIID_IExtContextMenuListener = MakeGuid("607D0EC5-A659-4657-9D82-39163DFCAB1D");

// The browser's menu code: told the whole menu JSON each time the set changes.
struct IExtContextMenuListener : IUnknown {
  static constexpr IID kIID = kIID_IExtContextMenuListener;
  // 3
  virtual HRESULT OnContextMenuChanged(BSTR menu_json) = 0;
};

struct IExtensionContextMenuMgr : IUnknown {
  static constexpr IID kIID = kIID_IExtensionContextMenuMgr;
  // 3: a new listener id from the module-wide counter; E_INVALIDARG for a null out-pointer.
  virtual HRESULT NextListenerId(ULONG* listener_id) = 0;
  // 4: adds `listener`, to be called on `thread_id`; with `register_too` non-zero it is also
  // registered with the user service.
  virtual HRESULT AddListener(ULONG listener_id, DWORD thread_id, IExtContextMenuListener* listener,
                              LONG register_too) = 0;
  // 5: registers `for_user_service` with the user service (when there is one), then adds
  // `listener` for the calling thread.
  virtual HRESULT AddListenerOnCallingThread(IUnknown* for_user_service,
                                             IExtContextMenuListener* listener) = 0;
  // 6: appends an item to the list of (extid, menuid); an empty extid, text or menuid stores
  // nothing (still S_OK).
  virtual HRESULT AddItem(BSTR extid, BSTR contexttype, BSTR text, BSTR menuid, BSTR condition,
                          BSTR iconpath) = 0;
  // 7: erases every item of the extension, then refreshes.
  virtual HRESULT RemoveExtensionItems(BSTR extid) = 0;
  // 8: the menu JSON (a new BSTR).
  virtual HRESULT GetMenuJson(BSTR* menu_json) = 0;
  // 9: delivers the menu JSON to every listener.
  virtual HRESULT Refresh() = 0;
};

class CCoExtensionContextMenuMgr : public halcy::ComObjectRoot,
                                   public IExtensionContextMenuMgr,
                                   public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoExtensionContextMenuMgr)
  HALCY_INTERFACE(CCoExtensionContextMenuMgr, IExtensionContextMenuMgr)
  HALCY_INTERFACE(CCoExtensionContextMenuMgr, IProvideClassInfo)
  HALCY_END_INTERFACES()

  HRESULT NextListenerId(ULONG* listener_id) override;
  HRESULT AddListener(ULONG listener_id, DWORD thread_id, IExtContextMenuListener* listener,
                      LONG register_too) override;
  HRESULT AddListenerOnCallingThread(IUnknown* for_user_service,
                                     IExtContextMenuListener* listener) override;
  HRESULT AddItem(BSTR extid, BSTR contexttype, BSTR text, BSTR menuid, BSTR condition,
                  BSTR iconpath) override;
  HRESULT RemoveExtensionItems(BSTR extid) override;
  HRESULT GetMenuJson(BSTR* menu_json) override;
  HRESULT Refresh() override;

 private:
  struct Item {
    std::u16string extid, contexttype, text, menuid, condition, iconpath;
  };
  std::u16string BuildMenuJson();

  std::mutex store_lock_;
  // extid -> menuid -> items in the order added. Guarded by store_lock_.
  std::map<std::u16string, std::map<std::u16string, std::vector<Item>>> store_;
  Thread::CListenerList<IExtContextMenuListener> listeners_;
};

}  // namespace Logic
