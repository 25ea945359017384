#pragma once

#include "module/class_ids.h"
#include "platform/com.h"

namespace Logic {

// IExtServiceShared1: a further interface answered by the tracker and the install guide; the
// browser asks for it by IID.
struct IExtServiceShared1 : IUnknown {
  static constexpr IID kIID = kIID_IExtServiceShared1;
};

// IExtServiceShared2: a further interface answered by the tracker and the install guide; the
// browser asks for it by IID.
struct IExtServiceShared2 : IUnknown {
  static constexpr IID kIID = kIID_IExtServiceShared2;
};

}  // namespace Logic
