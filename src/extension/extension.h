// CExtension: the record of one installed extension: its id, state, flags, directory and parsed
// manifest, and the typed questions the rest of the system asks about the manifest.
//
// Nothing is copied out of the manifest when it is set: every getter looks its key up again, so
// replacing the manifest changes every answer at once. Keys are matched exactly (case-sensitive);
// a missing key gives the getter's default, and string getters read a member of another type as
// the empty string.
//
//   CExtension ext;
//   ext.SetId(u"weather");
//   ext.SetManifest(u"{\"name\":\"Weather\",\"pluginorder\":\"12ab\"}");
//   int32_t order = -1;
//   ext.GetPluginOrder(&order);   // order == 12
//
// Thread-safe: every method may be called from any thread; the record's fields are guarded by
// one lock, which is never held while a file is read or another object is called.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/json_value.h"

namespace Logic {

// Flag bits of an extension.
inline constexpr int32_t kExtensionFlagNoUninstall = 1 << 0;
inline constexpr int32_t kExtensionFlagNoDisable = 1 << 1;

// The address every extension's own pages live below: "hcbrowser://localextensions/<id>/".
inline constexpr const char16_t* kExtensionBaseUrlPrefix = u"hcbrowser://localextensions/";

// What the manifest's "regpath" declaration leads to.
struct RegPathProgram {
  std::u16string program;     // "<directory from the registry>\<exename>"
  std::u16string parameters;  // "exeparam"
  std::u16string icon;        // the registry value named by "icon"
};

class CExtension {
 public:
  CExtension() = default;
  ~CExtension() = default;
  CExtension(const CExtension&) = delete;
  CExtension& operator=(const CExtension&) = delete;

  // --- The record ---
  void SetPosition(int32_t position);
  int32_t GetPosition() const;
  // False (and nothing changed) for an empty id.
  bool SetId(std::u16string_view id);
  std::u16string GetId() const;
  void SetFlags(int32_t flags);
  int32_t GetFlags() const;
  void SetState(int32_t state);
  int32_t GetState() const;
  // Trailing "\" and "/" are removed.
  void SetDirectory(std::u16string_view directory);
  std::u16string GetDirectory() const;

  // Parses `json_text`; anything but an object is discarded and the old manifest stays.
  // Returns whether the manifest was replaced.
  bool SetManifest(std::u16string_view json_text);
  // The same for NUL-terminated text (a BSTR), read in place up to its first NUL.
  bool SetManifest(const char16_t* json_text);
  bool HasManifest() const;
  // The manifest as compact JSON text; "" when there is none.
  std::u16string GetManifestText() const;

  // --- Manifest getters ---
  // The string payload of member `key` ("" when absent or not a string).
  std::u16string GetString(std::u16string_view key) const;
  std::u16string GetName() const { return GetString(u"name"); }
  std::u16string GetVersion() const { return GetString(u"version"); }
  std::u16string GetOptionsPage() const { return GetString(u"options_page"); }
  std::u16string GetUpdateUrl() const { return GetString(u"update_url"); }
  std::u16string GetLibraryPath() const { return GetString(u"librarypath"); }
  std::u16string GetBackgroundPage() const { return GetString(u"background_page"); }
  std::u16string GetInstallCommand() const { return GetString(u"installcommand"); }
  std::u16string GetUninstallCommand() const { return GetString(u"uninstallcommand"); }
  std::u16string GetDownloadUrl() const { return GetString(u"downloadurl"); }
  // "0.0.0.0" when missing or empty.
  std::u16string GetLowestBrowser() const;
  // A number is truncated toward zero (and saturated to 32 bits); a string gives the value of
  // its leading digits. False, with `*order` untouched, for anything else or no manifest.
  bool GetPluginOrder(int32_t* order) const;
  // The "url" and "param" strings of the "setupcommand" object (both "" when it is missing).
  // False only when there is no manifest.
  bool GetSetupCommand(std::u16string* url, std::u16string* param) const;
  // 1 when "setuponline" is the string "1", else 0.
  int32_t GetSetupOnline() const;
  // The string elements of the "permissions" array, in manifest order.
  std::vector<std::u16string> GetPermissions() const;
  // The "accelerator" string as a hot-key word (accelerator.h); false when there is none.
  bool GetAccelerator(uint16_t* hotkey) const;
  // The "contextmenu" array as compact JSON text; "" when it is missing or not an array.
  std::u16string GetContextMenu() const;
  // Calls `read` with the "contextmenu" array (null when it is missing or not an array) while
  // the record's lock is held, for a reader inside the module that would otherwise write the
  // array out and parse it back. `read` must not call the record or any other object.
  void ReadContextMenu(const std::function<void(const CJsonValue* items)>& read) const;
  // "hcbrowser://localextensions/<id>/".
  std::u16string GetBaseUrl() const;
  // Resolves "regpath" through the registry. False when the declaration, its root, its key or
  // its "param" value is missing; true with the program only when that file exists.
  bool GetRegPathProgram(RegPathProgram* result, bool* program_exists) const;

  // --- Texts for the browser ---
  // The front-end summary: with `flag` false or no manifest, "". See extension_summary.cc.
  std::u16string BuildSummary(std::u16string_view directory, bool flag) const;
  // The UI extension points declared in the manifest, as (identifier, JSON text) in point
  // order, with relative icon paths made absolute against `directory`; a path that would lead
  // out of the directory is emptied instead (extension_paths.h).
  std::vector<std::pair<std::u16string, std::u16string>> BuildUIPoints(
      std::u16string_view directory) const;

 private:
  struct SummaryFields;
  SummaryFields ReadSummaryFields() const;
  // Installs `parsed` when it is an object; see SetManifest.
  bool AdoptManifest(std::unique_ptr<CJsonValue> parsed);

  // REQUIRES: mutex_ held. The member `key` of the manifest, or null.
  const CJsonValue* FindMember(std::u16string_view key) const;

  mutable std::mutex mutex_;
  // Guarded by mutex_, in the record's declaration order.
  [[maybe_unused]] int32_t reference_ = 0;  // owner bookkeeping
  std::unique_ptr<CJsonValue> manifest_;    // always an object when set
  std::u16string id_;
  int32_t flags_ = 0;
  int32_t state_ = 1;
  std::u16string directory_;
  int32_t position_ = -1;
  [[maybe_unused]] int32_t second_value_ = -999;  // kept with the record
  std::u16string cached_text_;                    // emptied whenever the manifest is replaced
};

}  // namespace Logic
