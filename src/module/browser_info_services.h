// Small browser services the extension manager calls: the statistics service with its property
// set, the version service and the skin service. Each is optional: a missing service skips the
// feature silently.
//
// Free-threaded: every object here may be called from any thread; each call is atomic.
#pragma once

#include "platform/com.h"

namespace Logic {

// A set of named string values, created by interface through the object factory.
struct IPropertySet : IUnknown {
  static constexpr IID kIID = MakeGuid("44014358-3A9A-4FB2-92C6-B2A4AA26721E");
  // 3: sets (or replaces) the value of `name`; names keep the order of their first setting.
  virtual HRESULT SetValue(LPCWSTR name, LPCWSTR value) = 0;
  // 4, 5: read back, for whoever records the set.
  virtual HRESULT GetCount(LONG* count) = 0;
  virtual HRESULT GetAt(LONG index, BSTR* name, BSTR* value) = 0;
};

struct IStatisticsService : IUnknown {
  static constexpr IID kIID = MakeGuid("FFE82E85-C590-4457-8923-9259600FBF59");
  // 3: records an action: category (`name`), key (`value`), a kind (the module passes 2) and
  // the properties of the action.
  virtual HRESULT RecordAction(LPCWSTR name, LPCWSTR value, LONG kind,
                               IPropertySet* properties) = 0;
  virtual HRESULT ReservedSlot4() = 0;
  virtual HRESULT ReservedSlot5() = 0;
  virtual HRESULT ReservedSlot6() = 0;
  virtual HRESULT ReservedSlot7() = 0;
  virtual HRESULT ReservedSlot8() = 0;
  virtual HRESULT ReservedSlot9() = 0;
  virtual HRESULT ReservedSlot10() = 0;
  // 11: adds `increment` to the counter `counter` of record `category` for `action`.
  virtual HRESULT CountUserAction(LPCWSTR category, LPCWSTR action, LPCWSTR counter,
                                  LONG increment) = 0;
};

struct IVersionService : IUnknown {
  static constexpr IID kIID = MakeGuid("C4A29502-C073-47C5-B3F0-C3E9FCDC524D");
  // 3: the browser's version text, for example "6.5.1.2" (a new BSTR).
  virtual HRESULT GetBrowserVersion(BSTR* version) = 0;
};

struct ISkinService : IUnknown {
  static constexpr IID kIID = MakeGuid("1AAD1505-38AF-4996-856A-63BA03B3A237");
  // 3: resources named "<prefix>..." are looked up below `directory` from now on.
  virtual HRESULT RegisterPathPrefix(LPCWSTR prefix, LPCWSTR directory) = 0;
};

}  // namespace Logic
