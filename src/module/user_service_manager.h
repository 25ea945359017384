// IUserServiceManager: the browser's user service, with which the module registers listeners
// for user changes and asks who the current user is. The module never looks at the results of
// the registrations.
//
// Slots 3 and 4 are the browser's; the module's calls are 5 and 6. Free-threaded.
#pragma once

#include "platform/com.h"

namespace Logic {

// The listener interface under which the extension manager registers.
constexpr IID kIID_IUserChangeListener = MakeGuid("A1651591-9433-47A0-8BAB-4A88484F927A");

struct IUserServiceManager : IUnknown {
  static constexpr IID kIID = MakeGuid("5CBCAD2F-BCBA-46EB-AB48-0E84909F6C20");
  // 3: the current user's name (a new BSTR) and number.
  virtual HRESULT GetCurrentUser(BSTR* name, LONG* user_id) = 0;
  virtual HRESULT ReservedSlot4() = 0;
  // 5: registers `listener` under `listener_iid`, to be called on `thread_id`.
  virtual HRESULT RegisterListener(REFIID listener_iid, LONG listener_id, IUnknown* listener,
                                   DWORD thread_id) = 0;
  // 6: registers `listener` under `listener_iid`, to be called on the calling thread.
  virtual HRESULT RegisterListenerOnCallingThread(REFIID listener_iid, IUnknown* listener) = 0;
};

}  // namespace Logic
