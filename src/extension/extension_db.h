// CExtensionDB: the extension manager's wrapper around the browser's extension store
// (module/extension_store.h). It knows the store's path relative to the system data directory,
// the two versions of the built-in extension set ("localextensionversion.json"), and forwards
// each database operation to the store, failing with E_FAIL while no store is open.
//
//   std::unique_ptr<CExtensionDB> db = CExtensionDB::Create(u"localextensions\\extdb_v2.json");
//   if (db && (db->IsOpen() || SUCCEEDED(db->Open()))) db->Query(256, 3, &agents);
//
// Used on the extension-manager thread; IsOpen and GetPath may be called from any thread (the
// store pointer is guarded by a lock, and the store itself is free-threaded).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com.h"

namespace Logic {

struct IExtensionAgent;
struct IExtensionStore;

// The database file and its version file, below the system data directory.
inline constexpr char16_t kExtensionDbFolder[] = u"localextensions";
inline constexpr char16_t kExtensionDbFileName[] = u"extdb_v2.json";
inline constexpr char16_t kExtensionDbRelativePath[] = u"localextensions\\extdb_v2.json";
inline constexpr char16_t kExtensionVersionFileName[] = u"localextensionversion.json";
// The query that lists every installed extension: whole records (256), every state (3).
inline constexpr LONG kQueryWholeRecords = 256;
inline constexpr LONG kQueryAllStates = 3;

// The versions of the built-in set: "dbversion" and "dataversion" of the version file, both
// empty when the file is missing or not an object of strings.
struct ExtensionDataVersions {
  std::u16string db_version;
  std::u16string data_version;
};
ExtensionDataVersions ReadExtensionVersionFile(const std::u16string& path);

class CExtensionDB {
 public:
  // Null unless `relative_path` ends in ".json" (any letter case).
  static std::unique_ptr<CExtensionDB> Create(std::u16string_view relative_path);
  ~CExtensionDB();
  CExtensionDB(const CExtensionDB&) = delete;
  CExtensionDB& operator=(const CExtensionDB&) = delete;

  // Database service -> store factory of kind 1 -> parameter object with the relative path ->
  // the store "7CF27C53-...". E_FAIL, and still closed, when any step fails.
  HRESULT Open();
  bool IsOpen() const;

  HRESULT AddExtension(IExtensionAgent* agent);
  HRESULT Query(LONG what, LONG states, std::vector<ComPtr<IExtensionAgent>>* agents);
  HRESULT SetState(const std::u16string& id, LONG state);
  HRESULT SetValue(const std::u16string& id, LONG value);
  HRESULT Remove(const std::u16string& id);
  HRESULT Update(const std::u16string& id, IExtensionAgent* agent);
  HRESULT UpdateRecord(IExtensionAgent* agent);
  // The database file's absolute path.
  HRESULT GetPath(std::u16string* path);

  const std::u16string& relative_path() const { return relative_path_; }
  int store_kind() const { return kStoreKind; }
  void set_versions(ExtensionDataVersions versions) { versions_ = std::move(versions); }
  const ExtensionDataVersions& versions() const { return versions_; }

 private:
  static constexpr int kStoreKind = 1;
  explicit CExtensionDB(std::u16string relative_path);
  ComPtr<IExtensionStore> store() const;

  const std::u16string relative_path_;  // Constant after construction
  ExtensionDataVersions versions_;      // extension-manager thread only
  mutable std::mutex mutex_;
  ComPtr<IExtensionStore> store_;  // Guarded by mutex_; null while closed
};

}  // namespace Logic
