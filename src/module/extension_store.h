// The browser's extension database: the database service hands out a store factory, the
// factory opens the store component "7CF27C53-9B5D-4314-BD5A-13CC4C1A1020" described by a
// parameter object, and the store keeps one record per installed extension (id, state, flags,
// directory, manifest). The module reaches the store only through CExtensionDB; the host
// supplies the implementation (host/extension_store.*).
//
//   ComPtr<IDatabaseService> db = ...;            // Util::Com::GetService
//   ComPtr<IStoreFactory> factory;  db->CreateStoreFactory(1, 0, 0, &factory);
//   ComPtr<IStoreParams> params;    // Util::Com::CreateObjectByIID(IStoreParams::kIID, ...)
//   params->SetRelativePath(u"localextensions\\extdb_v2.json");
//   ComPtr<IExtensionStore> store;  factory->OpenStore(kExtensionStoreId, params, &store);
//
// Free-threaded: every object here may be called from any thread; each call is atomic.
#pragma once

#include "platform/com.h"

namespace Logic {

struct IExtensionAgent;

// The store component that holds the extension database.
inline constexpr char16_t kExtensionStoreId[] = u"7CF27C53-9B5D-4314-BD5A-13CC4C1A1020";

// The database parameter object, created by interface through the object factory.
struct IStoreParams : IUnknown {
  static constexpr IID kIID = MakeGuid("43011CA5-9AE5-497B-8A6E-17D29713661F");
  // 3, 4: the store's path relative to the user's system data directory.
  virtual HRESULT SetRelativePath(LPCWSTR path) = 0;
  virtual HRESULT GetRelativePath(BSTR* path) = 0;
};

// A counted list of agents, the answer of a query.
struct IExtensionAgentList : IUnknown {
  static constexpr IID kIID = MakeGuid("B0E63A2F-6A0B-4F0D-9C44-4E1B9A3C7D21");
  virtual HRESULT GetCount(LONG* count) = 0;
  // E_INVALIDARG (and null) outside 0..count-1; otherwise a counted agent.
  virtual HRESULT GetAt(LONG index, IExtensionAgent** agent) = 0;
};

// The extension store. Every change is persisted before the call returns.
struct IExtensionStore : IUnknown {
  static constexpr IID kIID = MakeGuid("6D1C7A52-3E4B-4B8A-8F21-0C5D9E7B4A13");
  // 3: adds the agent's record (replacing a record with the same id).
  virtual HRESULT Add(IExtensionAgent* agent) = 0;
  // 4: every record as a new agent, in id order. The module asks with the selectors 256 (whole
  // records) and 3 (every state); other selectors give E_INVALIDARG.
  virtual HRESULT Query(LONG what, LONG states, IExtensionAgentList** agents) = 0;
  // 5, 6: the record's state; S_FALSE when no record has that id. The state value of
  // IExtensionMgr slot 33 and the state of enable and disable are the same field.
  virtual HRESULT SetState(LPCWSTR id, LONG state) = 0;
  virtual HRESULT SetValue(LPCWSTR id, LONG value) = 0;
  // 7: S_FALSE when no record has that id.
  virtual HRESULT Remove(LPCWSTR id) = 0;
  // 8: replaces the record of `id` with the agent's (directory and manifest included).
  virtual HRESULT Update(LPCWSTR id, IExtensionAgent* agent) = 0;
  // 9: replaces the record of the agent's own id; S_FALSE when there is none.
  virtual HRESULT UpdateRecord(IExtensionAgent* agent) = 0;
  // 10: the database file's absolute path (a new BSTR).
  virtual HRESULT GetPath(BSTR* path) = 0;
};

struct IStoreFactory : IUnknown {
  static constexpr IID kIID = MakeGuid("A4F1B7C3-52D8-4E96-9B0A-7E3C1D5F8B62");
  // 3: opens the store component `store_id` with `params`; E_INVALIDARG for an unknown id or a
  // missing path, E_FAIL when the file cannot be read or created.
  virtual HRESULT OpenStore(LPCWSTR store_id, IStoreParams* params, IExtensionStore** store) = 0;
};

// The database service.
struct IDatabaseService : IUnknown {
  static constexpr IID kIID = MakeGuid("77E3516B-7C36-4F4B-8501-1A18EF736B10");
  // 3: a store factory of `kind` (the module asks for kind 1 with two zeros).
  virtual HRESULT CreateStoreFactory(LONG kind, LONG reserved1, LONG reserved2,
                                     IStoreFactory** factory) = 0;
};

}  // namespace Logic
