// The browser's extension store: the component "7CF27C53-9B5D-4314-BD5A-13CC4C1A1020" that
// keeps the extension database file "extdb_v2.json", one record per installed extension.
//
// File format (UTF-8 JSON, one record per line, records in id order):
//   {"format":"plexore-extdb","version":1,"extensions":[
//   {"id":"demo","state":1,"flags":0,"directory":"hcextdbpath/demo","manifest":"{\"name\":..}"},
//   ...
//   ]}
// "id" (non-empty), "state", "flags" (integers) and "directory" are required; "manifest" is
// the manifest's compact JSON text, may also be written as a JSON object (handy in a
// hand-written seed file) and may be left out. A later record with the same id replaces an
// earlier one.
//
// Durability: the file is read and parsed once, at open. Every change rewrites it through
// host::ReplaceFileDurably (temporary file, fsync, rename) before the call returns, so a crash
// leaves either the old or the new file, never a mix. A file that is found damaged at open
// (not JSON, truncated, a bad record, not a store) is renamed to
// "extdb_v2.json.corrupt-YYYYMMDD-HHMMSS" and reported with a level-64 "oldlog;" line; every
// record that still parses is kept and written at once to a new store file (one level-64 line
// per dropped record), and the damaged copy is never overwritten. Temporary copies left by a
// writer that was killed are deleted at open. A missing file means an empty store; the file
// appears with the first change. A store path that is not a regular file (a directory, FIFO,
// device) or cannot be read fails the open and is left as it is.
//
// Thread-safe: every interface call may come from any thread; one lock serialises the records
// and the file writes. No lock is held while an agent or the object factory is called. The
// path is constant after Open, so GetPath never waits.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "module/extension_store.h"
#include "platform/com_object.h"

namespace host {

struct ExtensionRecord {
  std::u16string id;
  LONG state = 0;
  LONG flags = 0;
  std::u16string directory;
  std::u16string manifest;  // compact JSON text, "" without a manifest
};

using ExtensionRecords = std::map<std::u16string, ExtensionRecord, std::less<>>;

// The file text for `records`.
std::string SerializeExtensionRecords(const ExtensionRecords& records);

// What ParseExtensionRecords made of a file.
struct ParsedRecords {
  bool is_store = false;  // a store file, whole or damaged; false: nothing could be read
  bool whole = false;     // the whole file parsed; false: records were salvaged line by line
  std::vector<std::string> dropped;  // one description per record that could not be read
};

// Reads the records of a store file into `records`. Every record that parses is kept: a bad
// record costs that record only (listed in `dropped`), and a file cut short or otherwise
// broken is read line by line, since the store writes one record per line.
ParsedRecords ParseExtensionRecords(std::string_view bytes, ExtensionRecords* records);

class CExtensionStore : public halcy::ComObjectRoot, public Logic::IExtensionStore {
 public:
  HALCY_BEGIN_INTERFACES(CExtensionStore)
  HALCY_INTERFACE(CExtensionStore, Logic::IExtensionStore)
  HALCY_END_INTERFACES()

  // Loads the store file at the absolute Windows-style `path`, creating its directory when
  // missing. E_FAIL when the directory cannot be created or the file exists but cannot be
  // read. Called once, before the store is handed out.
  HRESULT Open(const std::u16string& path);

  HRESULT Add(Logic::IExtensionAgent* agent) override;
  HRESULT Query(LONG what, LONG states, Logic::IExtensionAgentList** agents) override;
  HRESULT SetState(LPCWSTR id, LONG state) override;
  HRESULT SetValue(LPCWSTR id, LONG value) override;
  HRESULT Remove(LPCWSTR id) override;
  HRESULT Update(LPCWSTR id, Logic::IExtensionAgent* agent) override;
  HRESULT UpdateRecord(Logic::IExtensionAgent* agent) override;
  HRESULT GetPath(BSTR* path) override;

  // The record count, for the host and tests.
  size_t RecordCount();

 private:
  // Moves the damaged file aside, logs what was dropped and writes the records kept.
  // REQUIRES: lock_ held.
  HRESULT KeepDamagedCopy(size_t size, const ParsedRecords& parsed);
  // Stores `record` under its id. `must_exist`: S_FALSE when there is no such record.
  HRESULT Put(ExtensionRecord record, bool must_exist);
  // Writes the records; on failure puts `undo` back (nullopt: erases `id`) and returns E_FAIL.
  // REQUIRES: lock_ held.
  HRESULT PersistOrUndo(const std::u16string& id, const ExtensionRecord* undo);

  // Constant after Open
  std::u16string path_;
  std::string native_path_;

  std::mutex lock_;
  ExtensionRecords records_;  // Guarded by lock_
};

// Reads the five fields of `agent` into `record`; false when the agent has no id.
bool ReadAgentRecord(Logic::IExtensionAgent* agent, ExtensionRecord* record);

}  // namespace host
