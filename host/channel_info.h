// The browser information service IChannelInfo {45A1F83C-...}: slot 11 hands out the cache
// store (host/cache_store.h), opened on first use from "cachestore.jsonl" in the system data
// directory and kept for the life of the service; slot 14 hands out the channel object, whose
// channel code (slot 15) is the value of $HALCY_CHANNEL at the time of the call, or "" (no
// channel) when it is unset. The other slots are the browser's and answer E_NOTIMPL.
//
// Free-threaded: every call from any thread.
#pragma once

#include <mutex>

#include "host/cache_store.h"
#include "module/channel_info.h"
#include "platform/com_object.h"

namespace host {

class CChannelObject : public halcy::ComObjectRoot, public Logic::IChannelObject {
 public:
  HALCY_BEGIN_INTERFACES(CChannelObject)
  HALCY_INTERFACE(CChannelObject, Logic::IChannelObject)
  HALCY_END_INTERFACES()

  // The environment variable that carries the channel code.
  static constexpr char kChannelVariable[] = "HALCY_CHANNEL";

  HRESULT ReservedSlot3() override { return E_NOTIMPL; }
  HRESULT ReservedSlot4() override { return E_NOTIMPL; }
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT ReservedSlot6() override { return E_NOTIMPL; }
  HRESULT ReservedSlot7() override { return E_NOTIMPL; }
  HRESULT ReservedSlot8() override { return E_NOTIMPL; }
  HRESULT ReservedSlot9() override { return E_NOTIMPL; }
  HRESULT ReservedSlot10() override { return E_NOTIMPL; }
  HRESULT ReservedSlot11() override { return E_NOTIMPL; }
  HRESULT ReservedSlot12() override { return E_NOTIMPL; }
  HRESULT ReservedSlot13() override { return E_NOTIMPL; }
  HRESULT ReservedSlot14() override { return E_NOTIMPL; }
  HRESULT GetChannelCode(BSTR* code) override;
};

class CChannelInfo : public halcy::ComObjectRoot, public Logic::IChannelInfo {
 public:
  HALCY_BEGIN_INTERFACES(CChannelInfo)
  HALCY_INTERFACE(CChannelInfo, Logic::IChannelInfo)
  HALCY_END_INTERFACES()

  HRESULT ReservedSlot3() override { return E_NOTIMPL; }
  HRESULT ReservedSlot4() override { return E_NOTIMPL; }
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT ReservedSlot6() override { return E_NOTIMPL; }
  HRESULT ReservedSlot7() override { return E_NOTIMPL; }
  HRESULT ReservedSlot8() override { return E_NOTIMPL; }
  HRESULT ReservedSlot9() override { return E_NOTIMPL; }
  HRESULT ReservedSlot10() override { return E_NOTIMPL; }
  // E_FAIL (null) when the system data directory is unknown or the journal cannot be read.
  HRESULT GetCacheStore(Logic::ICacheStore** store) override;
  HRESULT ReservedSlot12() override { return E_NOTIMPL; }
  HRESULT ReservedSlot13() override { return E_NOTIMPL; }
  HRESULT GetChannelObject(Logic::IChannelObject** channel) override;

 private:
  std::mutex lock_;
  ComPtr<CCacheStore> cache_store_;  // Guarded by lock_; made on first use
};

}  // namespace host
