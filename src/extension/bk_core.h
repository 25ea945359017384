// IExtBackgroundCore: the hidden web view that runs an extension's background page, as message
// routing sees it. The browser creates cores on the UI thread; the manager enters each into its
// background-core table (bk_core_table.h) with the thread that owns it and delivers messages
// for the page ("hcbrowser.extension.notify", a command reply, ...) there.
//
// A core is called only on its owner thread (the manager posts a "func" task when it is
// elsewhere), so an implementation needs no lock of its own for delivery.
#pragma once

#include "platform/com.h"

namespace Logic {

struct IExtBackgroundCore : IUnknown {
  static constexpr IID kIID = MakeGuid("E42B9D92-F64C-474F-BCE0-C050EC523E44");
  // 3: hands the page one message: its name and its payload text (often JSON).
  virtual HRESULT DeliverMessage(BSTR name, BSTR payload) = 0;
  // 4: closes the hidden view (the extension was disabled or deleted); nothing is delivered
  // after it.
  virtual HRESULT Close() = 0;
};

}  // namespace Logic
