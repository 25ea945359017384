#include "host/extension_store.h"

#include <cerrno>
#include <cmath>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "common/log.h"
#include "common/paths.h"
#include "extension/extension_agent.h"
#include "host/durable_file.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "platform/strings.h"

namespace host {
namespace {

constexpr char16_t kFormatName[] = u"plexore-extdb";
// Query selectors the module uses: whole records, every state.
constexpr LONG kQueryWholeRecords = 256;
constexpr LONG kQueryAllStates = 3;

// The answer of a query: agents made for the caller.
class CExtensionAgentList : public halcy::ComObjectRoot, public Logic::IExtensionAgentList {
 public:
  HALCY_BEGIN_INTERFACES(CExtensionAgentList)
  HALCY_INTERFACE(CExtensionAgentList, Logic::IExtensionAgentList)
  HALCY_END_INTERFACES()

  explicit CExtensionAgentList(std::vector<ComPtr<Logic::IExtensionAgent>> agents)
      : agents_(std::move(agents)) {}

  HRESULT GetCount(LONG* count) override {
    if (!count) return E_POINTER;
    *count = static_cast<LONG>(agents_.size());
    return S_OK;
  }
  HRESULT GetAt(LONG index, Logic::IExtensionAgent** agent) override {
    if (!agent) return E_POINTER;
    *agent = nullptr;
    if (index < 0 || static_cast<size_t>(index) >= agents_.size()) return E_INVALIDARG;
    *agent = ComPtr<Logic::IExtensionAgent>(agents_[index]).Detach();
    return S_OK;
  }

 private:
  const std::vector<ComPtr<Logic::IExtensionAgent>> agents_;  // constant after construction
};

void AppendString(std::u16string* out, std::u16string_view name, std::u16string_view value) {
  out->append(u"\"").append(name).append(u"\":\"");
  Logic::AppendJsonEscaped(value, out);
  out->push_back(u'"');
}

bool ReadLong(const Logic::CJsonValue& value, LONG* out) {
  if (!value.IsNumber()) return false;
  const double number = value.GetNumber();
  if (std::trunc(number) != number || number < -2147483648.0 || number > 2147483647.0) {
    return false;
  }
  *out = static_cast<LONG>(number);
  return true;
}

const Logic::CJsonValue* Member(const Logic::CJsonValue& object, std::u16string_view name) {
  auto it = object.GetObject().find(name);
  return it == object.GetObject().end() ? nullptr : it->second.get();
}

bool ParseRecord(const Logic::CJsonValue& value, ExtensionRecord* record) {
  if (!value.IsObject()) return false;
  const Logic::CJsonValue* id = Member(value, u"id");
  const Logic::CJsonValue* state = Member(value, u"state");
  const Logic::CJsonValue* flags = Member(value, u"flags");
  const Logic::CJsonValue* directory = Member(value, u"directory");
  if (!id || !id->IsString() || id->GetString().empty() || !state || !flags || !directory ||
      !directory->IsString()) {
    return false;
  }
  if (!ReadLong(*state, &record->state) || !ReadLong(*flags, &record->flags)) return false;
  record->id = id->GetString();
  record->directory = directory->GetString();
  record->manifest.clear();
  if (const Logic::CJsonValue* manifest = Member(value, u"manifest")) {
    if (manifest->IsString()) {
      record->manifest = manifest->GetString();
    } else if (manifest->IsObject()) {
      record->manifest = Logic::ToJsonString(*manifest);
    } else if (manifest->type() != Logic::kJsonNull) {
      return false;
    }
  }
  return true;
}

std::u16string Text(BSTR bstr) { return halcy::BstrText(bstr); }

// BSTR inputs are read up to their first NUL.
std::u16string Text(LPCWSTR text) { return text ? std::u16string(text) : u""; }

// A record's fields as an agent takes them, made while the store is locked so that the texts
// are copied once, straight into the strings the agent reads.
struct AgentFields {
  explicit AgentFields(const ExtensionRecord& record)
      : id(record.id),
        directory(record.directory),
        manifest(record.manifest),
        state(record.state),
        flags(record.flags) {}
  halcy::ScopedBstr id, directory, manifest;
  LONG state, flags;
};

ComPtr<Logic::IExtensionAgent> MakeAgent(const AgentFields& fields) {
  ComPtr<Logic::IExtensionAgent> agent;
  if (FAILED(Util::Com::CreateObjectByIID(Logic::IExtensionAgent::kIID,
                                          agent.ReleaseAndGetVoidAddress())) ||
      !agent) {
    return nullptr;
  }
  agent->SetId(fields.id.Get());
  agent->SetState(fields.state);
  agent->SetFlags(fields.flags);
  agent->SetDirectory(fields.directory.Get());
  agent->SetManifest(fields.manifest.Get());
  return agent;
}

}  // namespace

std::string SerializeExtensionRecords(const ExtensionRecords& records) {
  std::u16string text = u"{\"format\":\"";
  text.append(kFormatName).append(u"\",\"version\":1,\"extensions\":[\n");
  bool first = true;
  for (const auto& [id, record] : records) {
    if (!first) text.append(u",\n");
    first = false;
    text.push_back(u'{');
    AppendString(&text, u"id", record.id);
    text.append(halcy::StringPrintf(u",\"state\":%d,\"flags\":%d,", record.state, record.flags));
    AppendString(&text, u"directory", record.directory);
    text.push_back(u',');
    AppendString(&text, u"manifest", record.manifest);
    text.push_back(u'}');
  }
  text.append(first ? u"]}\n" : u"\n]}\n");
  return halcy::Utf16ToUtf8(text);
}

namespace {

// Adds the record `value` (the `number`th of the file) or describes why it cannot be read.
void TakeRecord(const Logic::CJsonValue* value, int number, ExtensionRecords* records,
                ParsedRecords* parsed) {
  ExtensionRecord record;
  if (!value || !ParseRecord(*value, &record)) {
    parsed->dropped.push_back(
        "record " + std::to_string(number) +
        (value ? " lacks a usable id, state, flags or directory" : " is not valid JSON"));
    return;
  }
  std::u16string id = record.id;
  (*records)[std::move(id)] = std::move(record);
}

// A file that does not parse whole: its header line, then one record per line (a trailing ","
// or the closing "]}" aside), as SerializeExtensionRecords writes it.
void SalvageLines(std::string_view bytes, ExtensionRecords* records, ParsedRecords* parsed) {
  const size_t first_end = bytes.find('\n');
  const std::string header = "{\"format\":\"" + halcy::Utf16ToUtf8(kFormatName) + "\"";
  if (first_end == std::string_view::npos || !bytes.starts_with(header)) return;
  parsed->is_store = true;
  int number = 0;
  for (size_t start = first_end + 1; start < bytes.size();) {
    size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == ',' || line.back() == '\r' || line.back() == ' ')) {
      line.remove_suffix(1);
    }
    if (line.empty() || line == "]}") continue;
    std::unique_ptr<Logic::CJsonValue> value = Logic::ParseJsonUtf8(line);
    TakeRecord(value.get(), ++number, records, parsed);
  }
}

}  // namespace

ParsedRecords ParseExtensionRecords(std::string_view bytes, ExtensionRecords* records) {
  records->clear();
  ParsedRecords parsed;
  std::unique_ptr<Logic::CJsonValue> root = Logic::ParseJsonUtf8(bytes);
  const Logic::CJsonValue* format = root && root->IsObject() ? Member(*root, u"format") : nullptr;
  const Logic::CJsonValue* list = format ? Member(*root, u"extensions") : nullptr;
  if (!format || format->GetString() != kFormatName || !list || !list->IsArray()) {
    SalvageLines(bytes, records, &parsed);
    return parsed;
  }
  parsed.is_store = parsed.whole = true;
  int number = 0;
  for (const auto& element : list->GetArray())
    TakeRecord(element.get(), ++number, records, &parsed);
  return parsed;
}

bool ReadAgentRecord(Logic::IExtensionAgent* agent, ExtensionRecord* record) {
  halcy::ScopedBstr id, directory, manifest;
  if (FAILED(agent->GetId(id.Receive())) || id.View().empty()) return false;
  record->id = Text(id.Get());
  record->state = 0;
  record->flags = 0;
  agent->GetState(&record->state);
  agent->GetFlags(&record->flags);
  agent->GetDirectory(directory.Receive());
  agent->GetManifest(manifest.Receive());  // S_FALSE and "" without a manifest
  record->directory = Text(directory.Get());
  record->manifest = Text(manifest.Get());
  return true;
}

HRESULT CExtensionStore::Open(const std::u16string& path) {
  path_ = path;
  native_path_ = halcy::ToNativePath(path);
  const size_t cut = path.find_last_of(u"\\/");
  if (cut != std::u16string::npos && !Logic::CreateDirectoryRecursive(path.substr(0, cut), 8)) {
    Logic::Log(Logic::kLogFailure, u"oldlog;", u"extension store: cannot create the folder of %s",
               path.c_str());
    return E_FAIL;
  }
  // Left by a writer killed between creating and renaming its copy; never the database itself.
  RemoveStaleTemporaries(native_path_);
  std::string bytes, problem;
  switch (ReadFileBytes(native_path_, &bytes, &problem)) {
    case ReadResult::kMissing:
      return S_OK;  // no database yet: an empty store
    case ReadResult::kRefused:
      // Left as it is: an empty store here would be saved over the user's records later.
      Logic::Log(Logic::kLogFailure, u"oldlog;", u"extension store: %s %S", path.c_str(),
                 problem.c_str());
      return E_FAIL;
    case ReadResult::kRead:
      break;
  }
  ExtensionRecords records;
  const ParsedRecords parsed = ParseExtensionRecords(bytes, &records);
  std::lock_guard<std::mutex> lock(lock_);
  records_ = std::move(records);
  if (parsed.whole && parsed.dropped.empty()) return S_OK;
  return KeepDamagedCopy(bytes.size(), parsed);
}

HRESULT CExtensionStore::KeepDamagedCopy(size_t size, const ParsedRecords& parsed) {
  const std::string aside = MoveAside(native_path_, "corrupt");
  if (aside.empty()) {
    // Neither usable nor movable: refuse to open rather than overwrite it later.
    Logic::Log(Logic::kLogFailure, u"oldlog;",
               u"extension store: %s is damaged and could not be moved aside", path_.c_str());
    records_.clear();
    return E_FAIL;
  }
  for (const std::string& dropped : parsed.dropped) {
    Logic::Log(Logic::kLogFailure, u"oldlog;", u"extension store: %s: dropped %S", path_.c_str(),
               dropped.c_str());
  }
  Logic::Log(Logic::kLogFailure, u"oldlog;",
             u"extension store: %s is damaged (%d bytes); moved aside to %S, keeping %d records",
             path_.c_str(), static_cast<int>(size), aside.c_str(),
             static_cast<int>(records_.size()));
  // The records kept are written at once: without a store file the next start would find none.
  if (!records_.empty() && !ReplaceFileDurably(native_path_, SerializeExtensionRecords(records_))) {
    Logic::Log(Logic::kLogFailure, u"oldlog;", u"extension store: writing %s failed (errno %d)",
               path_.c_str(), errno);
  }
  return S_OK;
}

HRESULT CExtensionStore::Add(Logic::IExtensionAgent* agent) {
  if (!agent) return E_POINTER;
  ExtensionRecord record;
  if (!ReadAgentRecord(agent, &record)) return E_INVALIDARG;
  return Put(std::move(record), false);
}

HRESULT CExtensionStore::Query(LONG what, LONG states, Logic::IExtensionAgentList** agents) {
  if (!agents) return E_POINTER;
  *agents = nullptr;
  if (what != kQueryWholeRecords || states != kQueryAllStates) return E_INVALIDARG;
  std::deque<AgentFields> copy;  // the fields cannot move, a deque never moves them
  {
    std::lock_guard<std::mutex> lock(lock_);
    for (const auto& [id, record] : records_) copy.emplace_back(record);
  }
  std::vector<ComPtr<Logic::IExtensionAgent>> list;
  list.reserve(copy.size());
  for (const AgentFields& fields : copy) {
    ComPtr<Logic::IExtensionAgent> agent = MakeAgent(fields);
    if (!agent) return E_FAIL;  // no agent class registered
    list.push_back(std::move(agent));
  }
  ComPtr<CExtensionAgentList> result = halcy::MakeComObject<CExtensionAgentList>(std::move(list));
  if (!result) return E_OUTOFMEMORY;
  *agents = result.Detach();
  return S_OK;
}

HRESULT CExtensionStore::SetState(LPCWSTR id, LONG state) {
  if (!id || !*id) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(lock_);
  auto it = records_.find(std::u16string_view(id));
  if (it == records_.end()) return S_FALSE;
  if (it->second.state == state) return S_OK;
  ExtensionRecord undo = it->second;
  it->second.state = state;
  return PersistOrUndo(undo.id, &undo);
}

// The value of IExtensionMgr slot 33 is the record's state.
HRESULT CExtensionStore::SetValue(LPCWSTR id, LONG value) { return SetState(id, value); }

HRESULT CExtensionStore::Remove(LPCWSTR id) {
  if (!id || !*id) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(lock_);
  auto it = records_.find(std::u16string_view(id));
  if (it == records_.end()) return S_FALSE;
  ExtensionRecord undo = std::move(it->second);
  records_.erase(it);
  return PersistOrUndo(undo.id, &undo);
}

HRESULT CExtensionStore::Update(LPCWSTR id, Logic::IExtensionAgent* agent) {
  if (!agent) return E_POINTER;
  if (!id || !*id) return E_INVALIDARG;
  ExtensionRecord record;
  if (!ReadAgentRecord(agent, &record)) return E_INVALIDARG;
  record.id = Text(id);
  return Put(std::move(record), true);
}

HRESULT CExtensionStore::UpdateRecord(Logic::IExtensionAgent* agent) {
  if (!agent) return E_POINTER;
  ExtensionRecord record;
  if (!ReadAgentRecord(agent, &record)) return E_INVALIDARG;
  return Put(std::move(record), true);
}

HRESULT CExtensionStore::GetPath(BSTR* path) {
  if (!path) return E_POINTER;
  *path = SysAllocStringLen(path_.data(), static_cast<UINT>(path_.size()));
  return *path ? S_OK : E_OUTOFMEMORY;
}

size_t CExtensionStore::RecordCount() {
  std::lock_guard<std::mutex> lock(lock_);
  return records_.size();
}

HRESULT CExtensionStore::Put(ExtensionRecord record, bool must_exist) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = records_.find(record.id);
  if (it == records_.end()) {
    if (must_exist) return S_FALSE;
    std::u16string id = record.id;
    records_.emplace(id, std::move(record));
    return PersistOrUndo(id, nullptr);
  }
  ExtensionRecord undo = std::exchange(it->second, std::move(record));
  return PersistOrUndo(undo.id, &undo);
}

HRESULT CExtensionStore::PersistOrUndo(const std::u16string& id, const ExtensionRecord* undo) {
  if (ReplaceFileDurably(native_path_, SerializeExtensionRecords(records_))) return S_OK;
  Logic::Log(Logic::kLogFailure, u"oldlog;", u"extension store: writing %s failed (errno %d)",
             path_.c_str(), errno);
  if (undo) {
    records_[id] = *undo;
  } else {
    records_.erase(id);
  }
  return E_FAIL;
}

}  // namespace host
