// The fixture of the message-routing tests: the extension-manager fixture, whose started
// manager sends to the DLL host, background cores, command hosts and the front end through
// recorders. Used on the test's main thread.
#pragma once

#include <string>

#include "extension/extension_mgr_test_util.h"

namespace extension_testing {

// A record whose manifest has a background page or not, and the given "permissions" array.
StoreRecord RoutedExtension(const std::u16string& id, bool background_page,
                            const std::u16string& permissions = u"[]");

using RoutingFixture = ExtensionMgrFixture;

}  // namespace extension_testing
