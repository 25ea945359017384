#pragma once

#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"

namespace Logic {

// ICarryInfoShared: a further interface answered by the download object.
struct ICarryInfoShared : IUnknown {
  static constexpr IID kIID = kIID_ICarryInfoShared;
};

// ICarryInfo: the interface of the download object. Its operations (in slot order after IUnknown)
// are declared with the behaviour that implements them.
struct ICarryInfo : IUnknown {
  static constexpr IID kIID = kIID_ICarryInfo;
};

// CCoCarryInfo: created by its class factory; answers its interfaces and IProvideClassInfo.
// Behaviour still missing here: the operations of download objects.
class CCoCarryInfo : public halcy::ComObjectRoot,
                     public ICarryInfo,
                     public ICarryInfoShared,
                     public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoCarryInfo)
  HALCY_INTERFACE(CCoCarryInfo, ICarryInfo)
  HALCY_INTERFACE(CCoCarryInfo, ICarryInfoShared)
  HALCY_INTERFACE(CCoCarryInfo, IProvideClassInfo)
  HALCY_END_INTERFACES()
};

}  // namespace Logic
