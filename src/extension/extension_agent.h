// IExtensionAgent: one installed extension as the rest of the browser sees it, and
// CCoExtensionAgent, the creatable COM class that carries the extension's record (CExtension)
// and forwards each call to it.
//
// Strings cross the interface as BSTRs: inputs are read up to their first NUL (a plain wide
// string works too), outputs are new BSTRs the caller frees. A getter called with a null
// out-pointer returns S_OK at once. `IExtensionAgent` and its base {1DBFA54F-...} are answered at
// the same pointer.
//
//   ComPtr<IExtensionAgent> agent;
//   Util::Com::CreateObjectByIID(IExtensionAgent::kIID, agent.ReleaseAndGetVoidAddress());
//   agent->SetId(id);  agent->SetManifest(manifest_text);
//
// Thread-safe: every operation may be called from any thread (the record has its own lock).
#pragma once

#include <string>
#include <vector>

#include "extension/extension.h"
#include "module/class_ids.h"
#include "platform/com.h"
#include "platform/com_object.h"

struct IStringList;

namespace Logic {

struct IUIExtDescription;

struct IExtensionAgentBase : IUnknown {
  static constexpr IID kIID = kIID_IExtensionAgentBase;
};

struct IExtensionAgent : IExtensionAgentBase {
  static constexpr IID kIID = kIID_IExtensionAgent;

  // 3: the extension's accelerator was pressed (tells the notification manager).
  virtual HRESULT OnAcceleratorPressed() = 0;
  // 4: the position value.
  virtual HRESULT SetPosition(LONG position) = 0;
  // 5: S_FALSE, and nothing changed, for an empty id.
  virtual HRESULT SetId(BSTR id) = 0;
  // 6, 7
  virtual HRESULT SetFlags(LONG flags) = 0;
  virtual HRESULT SetState(LONG state) = 0;
  // 8: trailing "\" and "/" are removed.
  virtual HRESULT SetDirectory(BSTR directory) = 0;
  // 9: parses the JSON text; a result that is not an object leaves the old manifest. S_OK
  // either way.
  virtual HRESULT SetManifest(BSTR json_text) = 0;
  // 10 to 14
  virtual HRESULT GetPosition(LONG* position) = 0;
  virtual HRESULT GetId(BSTR* id) = 0;
  virtual HRESULT GetFlags(LONG* flags) = 0;
  virtual HRESULT GetState(LONG* state) = 0;
  virtual HRESULT GetDirectory(BSTR* directory) = 0;
  // 15: the whole manifest as compact JSON (S_FALSE and "" without one).
  virtual HRESULT GetManifest(BSTR* json_text) = 0;
  // 16, 17: S_FALSE with a null string when the key is missing or empty.
  virtual HRESULT GetLibraryPath(BSTR* path) = 0;
  virtual HRESULT GetBackgroundPage(BSTR* page) = 0;
  // 18: a new UI description (ui_ext_description.h) holding the extension id and its UI
  // extension points, icon paths made absolute against `directory`. E_FAIL when the browser
  // offers no description object.
  virtual HRESULT BuildUIDescription(IUIExtDescription** description, BSTR directory) = 0;
  // 19: the front-end summary of the extension, paths resolved against `directory`; "" when
  // `flag` is FALSE or there is no manifest.
  virtual HRESULT GetSummary(BSTR directory, BOOL flag, BSTR* summary) = 0;
  // 20 to 26
  virtual HRESULT GetOptionsPage(BSTR* page) = 0;
  virtual HRESULT GetVersion(BSTR* version) = 0;
  virtual HRESULT GetUpdateUrl(BSTR* url) = 0;
  virtual HRESULT GetName(BSTR* name) = 0;
  virtual HRESULT GetLowestBrowser(BSTR* version) = 0;  // "0.0.0.0" when missing or empty
  virtual HRESULT GetInstallCommand(BSTR* command) = 0;
  virtual HRESULT GetUninstallCommand(BSTR* command) = 0;
  // 27: "setupcommand" "url" and "param"; E_FAIL when there is no manifest.
  virtual HRESULT GetSetupCommand(BSTR* url, BSTR* param) = 0;
  // 28: the program that "regpath" leads to, with "exeparam" and the registry's icon value.
  // E_FAIL when the declaration cannot be resolved, S_FALSE (nulls) when the program file is
  // missing.
  virtual HRESULT GetRegPathProgram(BSTR* program, BSTR* parameters, BSTR* icon) = 0;
  // 29, 30: "downloadurl"; "setuponline" as 1 for the text "1", else 0.
  virtual HRESULT GetDownloadUrl(BSTR* url) = 0;
  virtual HRESULT GetSetupOnline(LONG* online) = 0;
  // 31: "hcbrowser://localextensions/<id>/".
  virtual HRESULT GetBaseUrl(BSTR* url) = 0;
  // 32: the "permissions" strings as a new string list (platform/string_list.h).
  virtual HRESULT GetPermissions(IStringList** permissions) = 0;
  // 33: the "accelerator" as a hot-key word (accelerator.h); E_FAIL when it has none.
  virtual HRESULT GetAccelerator(WORD* hotkey) = 0;
  // 34: "pluginorder"; the value is left unchanged (S_FALSE) when the key is neither a number
  // nor a string.
  virtual HRESULT GetPluginOrder(LONG* order) = 0;
  // 35: the "contextmenu" array as compact JSON; S_FALSE and "" when there is none.
  virtual HRESULT GetContextMenu(BSTR* items_json) = 0;
  // 36: posts the registration of the accelerator with the browser's frames to the UI thread;
  // S_FALSE (nothing posted) for an extension without a valid accelerator.
  virtual HRESULT RegisterAccelerator() = 0;
};

// Whether the agent is in one of the two running states (1 and 2), in which its extension is
// started and shows its UI; false for a null agent or a failed read.
bool IsAgentRunning(IExtensionAgent* agent);

class CCoExtensionAgent : public halcy::ComObjectRoot,
                          public IExtensionAgent,
                          public halcy::ProvideClassInfoNoTypeLib {
 public:
  HALCY_BEGIN_INTERFACES(CCoExtensionAgent)
  HALCY_INTERFACE(CCoExtensionAgent, IExtensionAgent)
  HALCY_INTERFACE(CCoExtensionAgent, IExtensionAgentBase)
  HALCY_INTERFACE(CCoExtensionAgent, IProvideClassInfo)
  HALCY_END_INTERFACES()

  HRESULT OnAcceleratorPressed() override;
  HRESULT SetPosition(LONG position) override;
  HRESULT SetId(BSTR id) override;
  HRESULT SetFlags(LONG flags) override;
  HRESULT SetState(LONG state) override;
  HRESULT SetDirectory(BSTR directory) override;
  HRESULT SetManifest(BSTR json_text) override;
  HRESULT GetPosition(LONG* position) override;
  HRESULT GetId(BSTR* id) override;
  HRESULT GetFlags(LONG* flags) override;
  HRESULT GetState(LONG* state) override;
  HRESULT GetDirectory(BSTR* directory) override;
  HRESULT GetManifest(BSTR* json_text) override;
  HRESULT GetLibraryPath(BSTR* path) override;
  HRESULT GetBackgroundPage(BSTR* page) override;
  HRESULT BuildUIDescription(IUIExtDescription** description, BSTR directory) override;
  HRESULT GetSummary(BSTR directory, BOOL flag, BSTR* summary) override;
  HRESULT GetOptionsPage(BSTR* page) override;
  HRESULT GetVersion(BSTR* version) override;
  HRESULT GetUpdateUrl(BSTR* url) override;
  HRESULT GetName(BSTR* name) override;
  HRESULT GetLowestBrowser(BSTR* version) override;
  HRESULT GetInstallCommand(BSTR* command) override;
  HRESULT GetUninstallCommand(BSTR* command) override;
  HRESULT GetSetupCommand(BSTR* url, BSTR* param) override;
  HRESULT GetRegPathProgram(BSTR* program, BSTR* parameters, BSTR* icon) override;
  HRESULT GetDownloadUrl(BSTR* url) override;
  HRESULT GetSetupOnline(LONG* online) override;
  HRESULT GetBaseUrl(BSTR* url) override;
  HRESULT GetPermissions(IStringList** permissions) override;
  HRESULT GetAccelerator(WORD* hotkey) override;
  HRESULT GetPluginOrder(LONG* order) override;
  HRESULT GetContextMenu(BSTR* items_json) override;
  HRESULT RegisterAccelerator() override;

  // UI thread: registers `hotkey` with a command naming this extension on every frame of the
  // browser-window service that takes accelerators. Nothing without the service.
  void RegisterAcceleratorInUIThread(WORD hotkey);

  // The record behind the interface, for code inside the module.
  CExtension& record() { return extension_; }

 private:
  CExtension extension_;
};

// One extension's accelerator, as the frames register it.
struct AcceleratorEntry {
  std::u16string extension_id;
  WORD hotkey = 0;
};

// UI thread: registers each entry's hot key, in order, with a command naming its extension on
// every frame of the browser-window service that takes accelerators. Nothing without the service.
void RegisterAcceleratorsInUIThread(const std::vector<AcceleratorEntry>& entries);

// Posts ONE task to the UI thread that registers all `entries` (as above): what a start-up with
// many extensions uses instead of one task per agent. S_FALSE (nothing posted) when empty.
HRESULT PostAcceleratorRegistration(std::vector<AcceleratorEntry> entries);

}  // namespace Logic
