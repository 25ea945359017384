// Connection points, the COM way for an object to report events to subscribers ("sinks"):
// IConnectionPointContainer and IConnectionPoint in their Win32 slot order, and
// `halcy::ConnectionSinkList`, the thread-safe list of subscribed sinks that an event source
// keeps behind its connection point.
//
//   ComPtr<IConnectionPointContainer> container;  // from the event source
//   ComPtr<IConnectionPoint> point;
//   container->FindConnectionPoint(IDownloadEvents::kIID, point.ReleaseAndGetAddressOf());
//   DWORD cookie = 0;
//   point->Advise(my_sink, &cookie);   // my_sink answers IDownloadEvents
//   ...
//   point->Unadvise(cookie);
//
// Enumeration (EnumConnectionPoints, EnumConnections) is not modelled: nothing in the browser
// walks the connections, so those two methods return E_NOTIMPL.
//
// ConnectionSinkList is safe from any thread. Firing copies the list under its lock and calls
// the sinks without it, so a sink may Advise or Unadvise from inside its event.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "platform/com.h"
#include "platform/win_types.h"

// Unadvise of a cookie that names no connection.
constexpr HRESULT CONNECT_E_NOCONNECTION = static_cast<HRESULT>(0x80040200);
// Advise of a sink that does not answer the event interface.
constexpr HRESULT CONNECT_E_CANNOTCONNECT = static_cast<HRESULT>(0x80040202);

// Enumerators are not modelled (see above); only their names are needed for the slots.
struct IEnumConnectionPoints;
struct IEnumConnections;
struct IConnectionPoint;

struct IConnectionPointContainer : IUnknown {
  static constexpr IID kIID = MakeGuid("B196B284-BAB4-101A-B69C-00AA00341D07");
  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** out) = 0;  // E_NOTIMPL
  virtual HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** out) = 0;
};

struct IConnectionPoint : IUnknown {
  static constexpr IID kIID = MakeGuid("B196B286-BAB4-101A-B69C-00AA00341D07");
  virtual HRESULT GetConnectionInterface(IID* iid) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** out) = 0;
  virtual HRESULT Advise(IUnknown* sink, DWORD* cookie) = 0;
  virtual HRESULT Unadvise(DWORD cookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** out) = 0;  // E_NOTIMPL
};

namespace halcy {

// The sinks of one event interface. Advise asks each sink for the event interface and keeps
// that pointer; cookies count from 1 and are never reused by one list.
class ConnectionSinkList {
 public:
  explicit ConnectionSinkList(REFIID event_iid) : event_iid_(event_iid) {}
  ConnectionSinkList(const ConnectionSinkList&) = delete;
  ConnectionSinkList& operator=(const ConnectionSinkList&) = delete;

  const IID& event_iid() const { return event_iid_; }

  // E_POINTER for a null sink or cookie, CONNECT_E_CANNOTCONNECT for a sink without the event
  // interface.
  HRESULT Advise(IUnknown* sink, DWORD* cookie);
  // CONNECT_E_NOCONNECTION for a cookie that is not subscribed.
  HRESULT Unadvise(DWORD cookie);
  // Drops every sink (their references are released outside the lock).
  void Clear();
  size_t size() const;

  // Calls `call(I*)` on a copy of the sinks, with no lock held. `I` is the event interface.
  template <class I, class F>
  void Fire(F&& call) const {
    for (const ComPtr<IUnknown>& sink : Snapshot()) call(static_cast<I*>(sink.Get()));
  }

 private:
  std::vector<ComPtr<IUnknown>> Snapshot() const;

  const IID event_iid_;
  mutable std::mutex mutex_;
  DWORD next_cookie_ = 1;                                  // Guarded by mutex_
  std::vector<std::pair<DWORD, ComPtr<IUnknown>>> sinks_;  // Guarded by mutex_
};

}  // namespace halcy
