// StringList: the object factory's ordered list of strings, created by its interface
// {CC04A44F-92FC-4540-A2E0-C656D07F189D} with Util::Com::CreateObjectByIID. The module uses it
// for the installed-extension list and for permission lists.
//
// Slot order after IUnknown: 3 GetCount, 4 GetAt (the element as a new BSTR the caller frees),
// 5 Append (a copy of a NUL-terminated wide string, kept in order).
//
// Thread-safe: an instance may be used from several threads; each call is atomic.
#pragma once

#include "platform/com.h"

struct IStringList : IUnknown {
  static constexpr IID kIID = MakeGuid("CC04A44F-92FC-4540-A2E0-C656D07F189D");
  virtual HRESULT GetCount(LONG* count) = 0;
  // E_INVALIDARG (and a null item) when `index` is outside 0..count-1.
  virtual HRESULT GetAt(LONG index, BSTR* item) = 0;
  virtual HRESULT Append(LPCWSTR item) = 0;
};

namespace halcy {
// The factory function registered for IStringList::kIID.
HRESULT CreateStringList(REFIID iid, void** out);
}  // namespace halcy
