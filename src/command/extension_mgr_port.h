// ExtensionMgrPort: everything the common command host asks of the extension manager, in one
// narrow class: sending a reply to an extension, answering the front end, the browser and
// extension versions, deleting an extension, the self-reported statistics, the UI
// extension-point manager and the locations of an extension's files. The host talks
// to the manager only through it, so that the manager's routing can change behind it and
// tests can record what the host sends.
//
// MakeExtensionMgrPort wraps the real manager; the port borrows it (the manager owns the host
// and outlives it). Implementations are free-threaded: the host calls them from the
// extension-manager thread and from the UI thread.
#pragma once

#include <memory>
#include <string>

#include "platform/win_types.h"

namespace Logic {

class CExtensionMgrImpl;
struct IUIExtPtMgr;

class ExtensionMgrPort {
 public:
  virtual ~ExtensionMgrPort() = default;

  // Hands a reply to the manager's send-to-extension path, which delivers it on its own
  // thread; `request_context` comes back unchanged.
  virtual HRESULT SendToExtension(const std::u16string& extension_id, const std::u16string& command,
                                  const std::u16string& arguments, LONG request_context) = 0;
  // Returns the front end's late answer `result` to the requester named by the four fields of
  // its context.
  virtual HRESULT SendResponseToFrontEnd(const std::u16string& extension_id,
                                         const std::u16string& result, LONG number1,
                                         const std::u16string& text, LONG number2,
                                         LONG number3) = 0;
  virtual std::u16string BrowserVersion() = 0;
  // The installed extension's version, "" when it is not installed.
  virtual std::u16string ExtensionVersion(const std::u16string& extension_id) = 0;
  // Deletes the extension on the manager's thread.
  virtual HRESULT DeleteExtension(const std::u16string& extension_id) = 0;
  // The self-reported statistics record of "extension.invoke.cmd.uploadlog".
  virtual HRESULT ReportSelfStatistics(const std::u16string& extension_id, LONG upload_type,
                                       const std::u16string& type,
                                       const std::u16string& content) = 0;
  // The browser's UI extension-point manager (one reference), or E_FAIL and null.
  virtual HRESULT GetUIExtPtMgr(IUIExtPtMgr** manager) = 0;
  // The location of `relative_path` ("/" separators) inside the extension, as pages load it.
  virtual std::u16string ExtensionLocation(const std::u16string& extension_id,
                                           const std::u16string& relative_path) = 0;
  // The extension's directory ("\" separators), "" when it is not installed.
  virtual std::u16string ExtensionDirectory(const std::u16string& extension_id) = 0;
};

// A port onto `manager` (borrowed; not null).
std::shared_ptr<ExtensionMgrPort> MakeExtensionMgrPort(CExtensionMgrImpl* manager);

}  // namespace Logic
