// The fixture of the message-routing tests: a started manager with the recording DLL-host
// sender, the recording front end and, unless a test says otherwise, the module's own
// permission manager. Cores and command hosts are added per test. Used on the main thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "extension/extension_mgr_test_util.h"
#include "extension/routing_fakes.h"
#include "permission/permission_mgr.h"

namespace extension_testing {

// A record whose manifest has a background page or not, and the given "permissions" array.
StoreRecord RoutedExtension(const std::u16string& id, bool background_page,
                            const std::u16string& permissions = u"[]");

class RoutingFixture : public ExtensionMgrFixture {
 protected:
  // Starts a manager with `records` installed; `permission_mgr` registers the permission
  // manager service first.
  void Start(const std::vector<StoreRecord>& records, bool permission_mgr = true);

  // A recording core for `extension_id`, owned by the thread of `owner_kind`.
  ComPtr<RecordingCore> AddCore(const std::u16string& extension_id, int owner_kind,
                                LONG routing_handle = 0);
  ComPtr<RecordingCore> AddCmdHost(const std::u16string& name, HRESULT result);
  // ReceiveFromExtension on the extension-manager thread.
  HRESULT Receive(const std::u16string& extension_id, const std::u16string& command,
                  const std::u16string& arguments = u"{}", LONG request_context = 0);
  // The receivers that saw `command`, in order.
  std::vector<std::u16string> ReceiversOf(const std::u16string& command);

  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
};

}  // namespace extension_testing
