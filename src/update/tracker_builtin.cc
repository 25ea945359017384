// CExtensionTracker: the built-in refresh. When the version file shipped beside the browser is
// newer than the user's, shipped extensions newer than the installed copies replace them (the
// old copy kept as "<dir>backups", a replaced native library put on the unload list) and
// shipped extensions that are missing are copied in; each is then registered with the manager.

#include <memory>
#include <string>

#include "common/file_util.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/version.h"
#include "extension/extension_agent.h"
#include "extension/extension_db.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_paths.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/strings.h"
#include "update/extension_tracker.h"
#include "update/tracker_support.h"

namespace Logic {
namespace {

constexpr char16_t kTag[] = u"ext;";
constexpr char16_t kOldTag[] = u"oldlog;";
constexpr size_t kMaxShippedDb = 16 * 1024 * 1024;

std::u16string ShippedDirectory() {
  return GetBrowserDirectory() + u"\\resource\\userdata\\localextensions";
}

std::u16string StringMember(const CJsonValue& object, std::u16string_view key) {
  const CJsonValue* value = JsonMember(object, key);
  return value && value->IsString() ? value->GetString() : u"";
}

// One extension of the shipped database.
struct ShippedExtension {
  std::u16string id;
  std::u16string version;
  std::u16string library;  // the manifest's "librarypath", or ""
  LONG state = 1;
  LONG flags = 0;
};

std::vector<ShippedExtension> ReadShippedDatabase(const std::u16string& path) {
  std::vector<ShippedExtension> shipped;
  size_t size = 0;
  std::unique_ptr<char[]> bytes = ReadWholeFile(path, &size);
  if (!bytes || size > kMaxShippedDb) return shipped;
  std::unique_ptr<CJsonValue> root = ParseJsonUtf8(std::string_view(bytes.get(), size));
  const CJsonValue* list = root ? JsonMember(*root, u"extensions") : nullptr;
  if (!list || !list->IsArray()) return shipped;
  for (const std::unique_ptr<CJsonValue>& record : list->GetArray()) {
    if (!record || !record->IsObject()) continue;
    ShippedExtension extension;
    extension.id = StringMember(*record, u"id");
    if (!IsUsableTrackerId(extension.id, u"built-in database")) continue;
    const CJsonValue* manifest = JsonMember(*record, u"manifest");
    std::unique_ptr<CJsonValue> parsed;
    if (manifest && manifest->IsString()) parsed = ParseJson(manifest->GetString());
    const CJsonValue* fields = parsed ? parsed.get() : manifest;
    if (fields && fields->IsObject()) {
      extension.version = StringMember(*fields, u"version");
      extension.library = StringMember(*fields, u"librarypath");
    }
    if (const CJsonValue* state = JsonMember(*record, u"state"); state && state->IsNumber()) {
      extension.state = static_cast<LONG>(state->GetNumber());
    }
    if (const CJsonValue* flags = JsonMember(*record, u"flags"); flags && flags->IsNumber()) {
      extension.flags = static_cast<LONG>(flags->GetNumber());
    }
    shipped.push_back(std::move(extension));
  }
  return shipped;
}

// "dataversion" when set, else "dbversion" of a version pair.
int CompareVersionPairs(const ExtensionDataVersions& user, const ExtensionDataVersions& shipped) {
  const int data = CompareVersion(user.data_version, shipped.data_version);
  return data != 0 ? data : CompareVersion(user.db_version, shipped.db_version);
}

std::u16string UnloadListFile() {
  std::u16string directory;
  if (!GetCurrentUserDataDirectory(&directory)) return u"";
  if (!directory.empty() && directory.back() != u'\\') directory += u'\\';
  CreateDirectoryRecursive(directory + u"localextensions", 2);
  return directory + u"localextensions\\extensionunloadlist.ini";
}

}  // namespace

// Replaces the installed folder of `id` by the shipped one. The copy goes to a sibling first and
// takes the folder's place only when complete, so a failed copy leaves the installed folder as
// it was.
bool UpdateExtMgrDBData(const std::u16string& id, const std::u16string& shipped_dir,
                        const std::u16string& installed_dir, const std::u16string& old_library,
                        bool new_has_library) {
  Log(kLogTrace, kTag, u"UpdateExtMgrDBData");
  if (PathFileExistsW(installed_dir.c_str())) {
    const std::u16string backup = halcy::StringPrintf(u"%s%s", installed_dir.c_str(), u"backups");
    DeletePath(backup, true);
    CopyPath(installed_dir, backup, true);
  }
  Log(kLogTrace, kTag, u"ext %s should be updated, beforecopy", id.c_str());
  const std::u16string fresh = installed_dir + u".tracker-copy";
  DeletePath(fresh, true);
  if (!CopyPath(shipped_dir, fresh, true)) {
    DeletePath(fresh, true);
    return false;
  }
  if (!DeletePath(installed_dir, true) || !MoveFileExW(fresh.c_str(), installed_dir.c_str(), 0)) {
    DeletePath(fresh, true);
    return false;
  }
  Log(kLogTrace, kTag, u"ext %s should be updated, copyed", id.c_str());
  if (new_has_library && !old_library.empty()) {
    const std::u16string list = UnloadListFile();
    if (!list.empty()) AddToUnloadList(list, old_library);
  }
  Log(kLogTrace, kTag, u"ext %s should be updated, update ext info", id.c_str());
  return true;
}

HRESULT CExtensionTracker::CheckBuiltinExtensions() {
  if (!manager_) return S_OK;
  const std::u16string shipped_dir = ShippedDirectory();
  const std::u16string user_dir = GetExtensionDataDirectory();
  const ExtensionDataVersions shipped = ReadExtensionVersionFile(
      halcy::StringPrintf(u"%s\\%s", shipped_dir.c_str(), kExtensionVersionFileName));
  ExtensionDataVersions user = ReadExtensionVersionFile(
      halcy::StringPrintf(u"%s\\%s", user_dir.c_str(), kExtensionVersionFileName));
  if (user.data_version.empty()) user.data_version = shipped.data_version;
  if (user.db_version.empty()) user.db_version = shipped.db_version;
  if (CompareVersionPairs(user, shipped) >= 0) return S_OK;
  Log(kLogEvent, kTag, u"exts need be updated!");
  if (CopyBuiltinExtensions(shipped_dir + u"\\" + kExtensionDbFileName)) {
    CopyFileW(
        halcy::StringPrintf(u"%s\\%s", shipped_dir.c_str(), kExtensionVersionFileName).c_str(),
        halcy::StringPrintf(u"%s\\%s", user_dir.c_str(), kExtensionVersionFileName).c_str(), FALSE);
  }
  return S_OK;
}

bool CExtensionTracker::CopyBuiltinExtensions(const std::u16string& shipped_db) {
  Log(kLogEvent, kTag, u"exts updating!");
  const std::u16string shipped_dir = ShippedDirectory();
  const std::u16string user_dir = GetExtensionDataDirectory();
  bool ok = true;
  for (const ShippedExtension& extension : ReadShippedDatabase(shipped_db)) {
    const std::u16string source = shipped_dir + u"\\" + extension.id;
    ComPtr<IExtensionAgent> agent;
    halcy::ScopedBstr id(extension.id);
    manager_->GetExtensionAgent(id.Get(), agent.ReleaseAndGetAddressOf());
    if (!agent) {
      const std::u16string target = user_dir + u"\\" + extension.id;
      if (!CopyPath(source, target, true)) {
        ok = false;
        continue;
      }
      manager_->PostInstallExtension(extension.id, extension.flags, extension.state, target, {});
      continue;
    }
    halcy::ScopedBstr version, directory, library;
    agent->GetVersion(version.Receive());
    if (CompareVersion(version.View(), extension.version) >= 0) {
      Log(kLogTrace, kOldTag, u"ext %s is current: installed %s, shipped %s", extension.id.c_str(),
          std::u16string(version.View()).c_str(), extension.version.c_str());
      continue;
    }
    Log(kLogEvent, kTag, u"ext %s should be updated", extension.id.c_str());
    agent->GetDirectory(directory.Receive());
    agent->GetLibraryPath(library.Receive());
    const std::u16string installed = ResolveExtensionPath(directory.View());
    const std::u16string old_library =
        library.View().empty() ? u"" : installed + u"\\" + std::u16string(library.View());
    if (!UpdateExtMgrDBData(extension.id, source, installed, old_library,
                            !extension.library.empty())) {
      ok = false;
      continue;
    }
    LONG state = 1, flags = 0;
    agent->GetState(&state);
    agent->GetFlags(&flags);
    manager_->PostUpdateExtension(extension.id, flags, state, installed, {});
  }
  return ok;
}

}  // namespace Logic
