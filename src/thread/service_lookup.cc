#include "thread/service_lookup.h"

#include "common/log.h"
#include "platform/object_factory.h"

namespace Thread {

HRESULT GetServiceOrLog(REFIID iid, const char16_t* name, void** out) {
  if (!out) return E_POINTER;
  HRESULT hr = Util::Com::GetService(iid, out);
  if (SUCCEEDED(hr) && *out) return hr;
  if (SUCCEEDED(hr)) hr = E_NOINTERFACE;  // a service that answered with nothing is absent
  *out = nullptr;
  Logic::Log(Logic::kLogFailure, u"oldlog;", u"GetService(%s) failed: %d", name, hr);
  return hr;
}

}  // namespace Thread
