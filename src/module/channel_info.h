// IChannelInfo: the browser information service. The module uses two of its operations: slot
// 11 hands out the cache store, a small named-entry store in which the module keeps a fast copy
// of the installed-extension list, and slot 14 hands out the channel object whose slot 15 is
// the browser's channel code. The other slots are the browser's and answer E_NOTIMPL here.
//
// A null cache store or an empty channel code means the feature is absent.
//
// Free-threaded: every object here may be called from any thread; each call is atomic.
#pragma once

#include "platform/com.h"

struct IStringList;

namespace Logic {

// Named entries, each an ordered list of strings.
struct ICacheStore : IUnknown {
  static constexpr IID kIID = MakeGuid("E2B94C61-8D3A-4F57-A1C6-3B9D0E7F5A24");
  // 3: the strings of entry `name` as a new string list; at most `size_limit` strings are
  // returned. E_FAIL (and null) when the entry does not exist.
  virtual HRESULT ReadEntry(LPCWSTR name, LONG size_limit, IStringList** values) = 0;
  // 4: replaces entry `name` with a copy of `values`.
  virtual HRESULT WriteEntry(LPCWSTR name, IStringList* values) = 0;
};

struct IChannelObject : IUnknown {
  static constexpr IID kIID = MakeGuid("7B3E5D19-C4A2-4E86-9F10-2D6A8B4C1E37");
  virtual HRESULT ReservedSlot3() = 0;
  virtual HRESULT ReservedSlot4() = 0;
  virtual HRESULT ReservedSlot5() = 0;
  virtual HRESULT ReservedSlot6() = 0;
  virtual HRESULT ReservedSlot7() = 0;
  virtual HRESULT ReservedSlot8() = 0;
  virtual HRESULT ReservedSlot9() = 0;
  virtual HRESULT ReservedSlot10() = 0;
  virtual HRESULT ReservedSlot11() = 0;
  virtual HRESULT ReservedSlot12() = 0;
  virtual HRESULT ReservedSlot13() = 0;
  virtual HRESULT ReservedSlot14() = 0;
  // 15: the channel code text (a new BSTR, possibly empty).
  virtual HRESULT GetChannelCode(BSTR* code) = 0;
};

struct IChannelInfo : IUnknown {
  static constexpr IID kIID = MakeGuid("45A1F83C-2843-48BB-A07E-74ADD951AC59");
  virtual HRESULT ReservedSlot3() = 0;
  virtual HRESULT ReservedSlot4() = 0;
  virtual HRESULT ReservedSlot5() = 0;
  virtual HRESULT ReservedSlot6() = 0;
  virtual HRESULT ReservedSlot7() = 0;
  virtual HRESULT ReservedSlot8() = 0;
  virtual HRESULT ReservedSlot9() = 0;
  virtual HRESULT ReservedSlot10() = 0;
  // 11: the cache store (counted), or null and E_FAIL when there is none.
  virtual HRESULT GetCacheStore(ICacheStore** store) = 0;
  virtual HRESULT ReservedSlot12() = 0;
  virtual HRESULT ReservedSlot13() = 0;
  // 14: the channel object (counted).
  virtual HRESULT GetChannelObject(IChannelObject** channel) = 0;
};

}  // namespace Logic
