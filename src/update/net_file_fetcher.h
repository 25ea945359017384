#pragma once

#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"

namespace Logic {

// INetFileFetcher: the interface of the network file fetcher. Its operations (in slot order after
// IUnknown) are declared with the behaviour that implements them.
struct INetFileFetcher : IUnknown {
  static constexpr IID kIID = kIID_INetFileFetcher;
};

// CCoNetFileFetcher: created by its class factory; answers its interfaces and IProvideClassInfo.
// Behaviour still missing here: the operations of the network file fetcher.
class CCoNetFileFetcher : public halcy::ComObjectRoot,
                          public INetFileFetcher,
                          public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoNetFileFetcher)
  HALCY_INTERFACE(CCoNetFileFetcher, INetFileFetcher)
  HALCY_INTERFACE(CCoNetFileFetcher, IProvideClassInfo)
  HALCY_END_INTERFACES()
};

}  // namespace Logic
