#include "host/classes_command.h"

#include <cstdio>
#include <string>
#include <vector>

#include "module/class_ids.h"
#include "platform/com_activation.h"
#include "platform/strings.h"
#include "platform/win32.h"

namespace host {
namespace {

std::string Narrow(const char16_t* s) { return halcy::Utf16ToUtf8(s); }

// Creates one class and queries its interfaces; prints "ProgID: I1 I2 ..." or the failure.
bool ActivateOne(const Logic::ClassId& c) {
  ComPtr<IUnknown> object;
  HRESULT hr = CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER, IUnknown::kIID,
                                object.ReleaseAndGetVoidAddress());
  if (FAILED(hr)) {
    std::printf("%-45s create failed: 0x%08X\n", Narrow(c.prog_id).c_str(),
                static_cast<unsigned>(hr));
    return false;
  }
  std::string answered;
  bool all = true;
  std::vector<Logic::InterfaceId> wanted(c.interfaces, c.interfaces + c.interface_count);
  wanted.push_back({u"IProvideClassInfo", Logic::kIID_IProvideClassInfo});
  for (const Logic::InterfaceId& i : wanted) {
    ComPtr<IUnknown> itf;
    if (SUCCEEDED(object->QueryInterface(i.iid, itf.ReleaseAndGetVoidAddress()))) {
      answered += " " + Narrow(i.name);
    } else {
      answered += " !" + Narrow(i.name);
      all = false;
    }
  }
  std::printf("%-45s%s\n", Narrow(c.prog_id).c_str(), answered.c_str());
  return all;
}

}  // namespace

int RunClassesCommand() {
  bool ok = true;
  for (const Logic::ClassId& c : Logic::kClassTable) ok = ActivateOne(c) && ok;

  HMODULE module = nullptr;
  if (FAILED(halcy::GetInprocServer(Logic::kClassTable[0].clsid, &module))) {
    std::printf("DllCanUnloadNow: module not registered\n");
    return 1;
  }
  using CanUnloadFn = HRESULT (*)();
  auto can_unload = reinterpret_cast<CanUnloadFn>(GetProcAddress(module, "DllCanUnloadNow"));
  HRESULT hr = can_unload ? can_unload() : E_FAIL;
  std::printf("DllCanUnloadNow: %s (0x%08X)\n", hr == S_OK ? "S_OK" : "S_FALSE",
              static_cast<unsigned>(hr));
  return ok && hr == S_OK ? 0 : 1;
}

}  // namespace host
