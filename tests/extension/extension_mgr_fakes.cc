#include "extension/extension_mgr_fakes.h"

#include <fstream>
#include <sstream>

#include "common/paths.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr_impl.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/string_list.h"
#include "platform/strings.h"
#include "platform/threads.h"

namespace extension_testing {
namespace {

using halcy::ScopedBstr;
using halcy::Utf16ToUtf8;
using halcy::Utf8ToUtf16;

std::u16string Text(const char16_t* text) { return text ? std::u16string(text) : u""; }

StoreRecord RecordOf(Logic::IExtensionAgent* agent) {
  StoreRecord record;
  record.id = Logic::AgentText(agent, &Logic::IExtensionAgent::GetId);
  agent->GetState(&record.state);
  agent->GetFlags(&record.flags);
  record.directory = Logic::AgentText(agent, &Logic::IExtensionAgent::GetDirectory);
  record.manifest = Logic::AgentText(agent, &Logic::IExtensionAgent::GetManifest);
  return record;
}

ComPtr<Logic::IExtensionAgent> AgentOf(const StoreRecord& record) {
  ComPtr<Logic::IExtensionAgent> agent;
  halcy::CreateComInstance<Logic::CCoExtensionAgent>(nullptr, Logic::IExtensionAgent::kIID,
                                                     agent.ReleaseAndGetVoidAddress());
  ScopedBstr id(record.id), directory(record.directory), manifest(record.manifest);
  agent->SetId(id.Get());
  agent->SetState(record.state);
  agent->SetFlags(record.flags);
  agent->SetDirectory(directory.Get());
  agent->SetManifest(manifest.Get());
  return agent;
}

class FakeAgentList : public halcy::ComObjectRoot, public Logic::IExtensionAgentList {
 public:
  HALCY_BEGIN_INTERFACES(FakeAgentList)
  HALCY_INTERFACE(FakeAgentList, Logic::IExtensionAgentList)
  HALCY_END_INTERFACES()

  HRESULT GetCount(LONG* count) override {
    *count = static_cast<LONG>(agents.size());
    return S_OK;
  }
  HRESULT GetAt(LONG index, Logic::IExtensionAgent** agent) override {
    if (index < 0 || index >= static_cast<LONG>(agents.size())) return E_INVALIDARG;
    return agents[static_cast<size_t>(index)].CopyTo(agent);
  }

  std::vector<ComPtr<Logic::IExtensionAgent>> agents;
};

class FakeStore : public halcy::ComObjectRoot, public Logic::IExtensionStore {
 public:
  HALCY_BEGIN_INTERFACES(FakeStore)
  HALCY_INTERFACE(FakeStore, Logic::IExtensionStore)
  HALCY_END_INTERFACES()

  FakeStore(std::shared_ptr<FakeStoreData> data, std::u16string path)
      : data_(std::move(data)), path_(std::move(path)) {}

  HRESULT Add(Logic::IExtensionAgent* agent) override {
    data_->Put(RecordOf(agent));
    return S_OK;
  }
  HRESULT Query(LONG what, LONG states, Logic::IExtensionAgentList** agents) override {
    if (what != 256 || states != 3) return E_INVALIDARG;
    ComPtr<FakeAgentList> list = halcy::MakeComObject<FakeAgentList>();
    for (const StoreRecord& record : data_->Records()) list->agents.push_back(AgentOf(record));
    *agents = list.Detach();
    return S_OK;
  }
  HRESULT SetState(LPCWSTR id, LONG state) override {
    return Change(id, [state](StoreRecord& r) { r.state = state; });
  }
  HRESULT SetValue(LPCWSTR id, LONG value) override {
    return Change(id, [value](StoreRecord& r) { r.value = value; });
  }
  HRESULT Remove(LPCWSTR id) override {
    std::lock_guard<std::mutex> lock(data_->mutex);
    return data_->records.erase(Text(id)) ? S_OK : S_FALSE;
  }
  HRESULT Update(LPCWSTR id, Logic::IExtensionAgent* agent) override {
    StoreRecord record = RecordOf(agent);
    record.id = Text(id);
    data_->Put(record);
    return S_OK;
  }
  HRESULT UpdateRecord(Logic::IExtensionAgent* agent) override {
    StoreRecord record = RecordOf(agent);
    if (!data_->Find(record.id, nullptr)) return S_FALSE;
    data_->Put(record);
    return S_OK;
  }
  HRESULT GetPath(BSTR* path) override {
    *path = SysAllocString(path_.c_str());
    return S_OK;
  }

 private:
  template <class F>
  HRESULT Change(LPCWSTR id, F change) {
    std::lock_guard<std::mutex> lock(data_->mutex);
    auto it = data_->records.find(Text(id));
    if (it == data_->records.end()) return S_FALSE;
    change(it->second);
    return S_OK;
  }

  std::shared_ptr<FakeStoreData> data_;
  const std::u16string path_;
};

class FakeStoreFactory : public halcy::ComObjectRoot, public Logic::IStoreFactory {
 public:
  HALCY_BEGIN_INTERFACES(FakeStoreFactory)
  HALCY_INTERFACE(FakeStoreFactory, Logic::IStoreFactory)
  HALCY_END_INTERFACES()

  explicit FakeStoreFactory(std::shared_ptr<FakeStoreData> data) : data_(std::move(data)) {}

  HRESULT OpenStore(LPCWSTR store_id, Logic::IStoreParams* params,
                    Logic::IExtensionStore** store) override {
    ScopedBstr relative;
    params->GetRelativePath(relative.Receive());
    std::u16string system_dir;
    Logic::GetDataDirectory(Logic::kDataDirectorySystem, &system_dir, 0, u"");
    const std::u16string path = system_dir + std::u16string(relative.View());
    {
      std::lock_guard<std::mutex> lock(data_->mutex);
      ++data_->opens;
      data_->opened_relative_path = std::u16string(relative.View());
      data_->opened_store_id = Text(store_id);
    }
    if (Text(store_id) != Logic::kExtensionStoreId) return E_INVALIDARG;
    data_->LoadFile(halcy::ToNativePath(path));
    ComPtr<FakeStore> opened = halcy::MakeComObject<FakeStore>(data_, path);
    *store = opened.Detach();
    return S_OK;
  }

 private:
  std::shared_ptr<FakeStoreData> data_;
};

class FakeStoreParams : public halcy::ComObjectRoot, public Logic::IStoreParams {
 public:
  HALCY_BEGIN_INTERFACES(FakeStoreParams)
  HALCY_INTERFACE(FakeStoreParams, Logic::IStoreParams)
  HALCY_END_INTERFACES()

  HRESULT SetRelativePath(LPCWSTR path) override {
    path_ = Text(path);
    return S_OK;
  }
  HRESULT GetRelativePath(BSTR* path) override {
    *path = SysAllocString(path_.c_str());
    return S_OK;
  }

 private:
  std::u16string path_;
};

class FakePropertySet : public halcy::ComObjectRoot, public Logic::IPropertySet {
 public:
  HALCY_BEGIN_INTERFACES(FakePropertySet)
  HALCY_INTERFACE(FakePropertySet, Logic::IPropertySet)
  HALCY_END_INTERFACES()

  HRESULT SetValue(LPCWSTR name, LPCWSTR value) override {
    for (auto& [n, v] : values_) {
      if (n == Text(name)) {
        v = Text(value);
        return S_OK;
      }
    }
    values_.emplace_back(Text(name), Text(value));
    return S_OK;
  }
  HRESULT GetCount(LONG* count) override {
    *count = static_cast<LONG>(values_.size());
    return S_OK;
  }
  HRESULT GetAt(LONG index, BSTR* name, BSTR* value) override {
    if (index < 0 || index >= static_cast<LONG>(values_.size())) return E_INVALIDARG;
    *name = SysAllocString(values_[static_cast<size_t>(index)].first.c_str());
    *value = SysAllocString(values_[static_cast<size_t>(index)].second.c_str());
    return S_OK;
  }

 private:
  std::vector<std::pair<std::u16string, std::u16string>> values_;
};

template <class T>
HRESULT CreateFake(REFIID iid, void** out) {
  return halcy::CreateComInstance<T>(nullptr, iid, out);
}

std::vector<std::u16string> SplitTabs(const std::u16string& line) {
  std::vector<std::u16string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find(u'\t', start);
    fields.push_back(line.substr(start, tab == std::u16string::npos ? tab : tab - start));
    if (tab == std::u16string::npos) return fields;
    start = tab + 1;
  }
}

}  // namespace

std::string StoreFileLine(const StoreRecord& record) {
  return Utf16ToUtf8(record.id + u"\t" +
                     halcy::StringPrintf(u"%d\t%d\t", record.state, record.flags) +
                     record.directory + u"\t" + record.manifest) +
         "\n";
}

void FakeStoreData::Put(const StoreRecord& record) {
  std::lock_guard<std::mutex> lock(mutex);
  records[record.id] = record;
}

std::vector<StoreRecord> FakeStoreData::Records() {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<StoreRecord> out;
  for (const auto& [id, record] : records) out.push_back(record);
  return out;
}

bool FakeStoreData::Find(const std::u16string& id, StoreRecord* record) {
  std::lock_guard<std::mutex> lock(mutex);
  auto it = records.find(id);
  if (it == records.end()) return false;
  if (record) *record = it->second;
  return true;
}

void FakeStoreData::LoadFile(const std::string& native_path) {
  std::ifstream in(native_path);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::u16string> fields = SplitTabs(Utf8ToUtf16(line));
    if (fields.size() != 5) continue;
    StoreRecord record;
    record.id = fields[0];
    record.state = std::stoi(Utf16ToUtf8(fields[1]));
    record.flags = std::stoi(Utf16ToUtf8(fields[2]));
    record.directory = fields[3];
    record.manifest = fields[4];
    Put(record);
  }
}

HRESULT FakeDatabaseService::CreateStoreFactory(LONG kind, LONG, LONG,
                                                Logic::IStoreFactory** factory) {
  {
    std::lock_guard<std::mutex> lock(data->mutex);
    data->factory_kind = kind;
  }
  ComPtr<FakeStoreFactory> created = halcy::MakeComObject<FakeStoreFactory>(data);
  *factory = created.Detach();
  return S_OK;
}

HRESULT FakeCacheStore::ReadEntry(LPCWSTR name, LONG size_limit, IStringList** values) {
  std::vector<std::u16string> entry;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(Text(name));
    if (it == entries_.end()) {
      *values = nullptr;
      return E_FAIL;
    }
    entry = it->second;
  }
  ComPtr<IStringList> list;
  Util::Com::CreateObjectByIID(IStringList::kIID, list.ReleaseAndGetVoidAddress());
  for (size_t i = 0; i < entry.size() && static_cast<LONG>(i) < size_limit; ++i) {
    list->Append(entry[i].c_str());
  }
  *values = list.Detach();
  return S_OK;
}

HRESULT FakeCacheStore::WriteEntry(LPCWSTR name, IStringList* values) {
  std::vector<std::u16string> entry;
  LONG count = 0;
  values->GetCount(&count);
  for (LONG i = 0; i < count; ++i) {
    ScopedBstr item;
    values->GetAt(i, item.Receive());
    entry.emplace_back(item.View());
  }
  Put(Text(name), std::move(entry));
  return S_OK;
}

void FakeCacheStore::Put(const std::u16string& name, std::vector<std::u16string> values) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[name] = std::move(values);
}

std::vector<std::u16string> FakeCacheStore::Get(const std::u16string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(name);
  return it == entries_.end() ? std::vector<std::u16string>() : it->second;
}

bool FakeCacheStore::Has(const std::u16string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.count(name) != 0;
}

HRESULT FakeChannelInfo::GetCacheStore(Logic::ICacheStore** store) {
  if (!cache) {
    *store = nullptr;
    return E_FAIL;
  }
  return ComPtr<Logic::ICacheStore>(cache).CopyTo(store);
}

HRESULT FakeChannelInfo::GetChannelObject(Logic::IChannelObject** channel) {
  *channel = nullptr;
  return E_NOTIMPL;
}

HRESULT FakeStatistics::RecordAction(LPCWSTR name, LPCWSTR value, LONG kind,
                                     Logic::IPropertySet* properties) {
  RecordedAction action{Text(name), Text(value), kind, {}};
  LONG count = 0;
  properties->GetCount(&count);
  for (LONG i = 0; i < count; ++i) {
    ScopedBstr n, v;
    properties->GetAt(i, n.Receive(), v.Receive());
    action.properties.emplace_back(n.View(), v.View());
  }
  std::lock_guard<std::mutex> lock(mutex_);
  actions_.push_back(std::move(action));
  return S_OK;
}

std::vector<RecordedAction> FakeStatistics::Actions() {
  std::lock_guard<std::mutex> lock(mutex_);
  return actions_;
}

HRESULT FakeVersionService::GetBrowserVersion(BSTR* version) {
  *version = SysAllocString(u"6.5.1.2");
  return S_OK;
}

HRESULT FakeSkinService::RegisterPathPrefix(LPCWSTR prefix, LPCWSTR directory) {
  std::lock_guard<std::mutex> lock(mutex_);
  registrations_.emplace_back(Text(prefix), Text(directory));
  return S_OK;
}

std::vector<std::pair<std::u16string, std::u16string>> FakeSkinService::Registrations() {
  std::lock_guard<std::mutex> lock(mutex_);
  return registrations_;
}

HRESULT RecordingListener::OnFirstReady() {
  Record(u"FirstReady");
  return result_;
}

HRESULT RecordingListener::OnLocalExtensionList(BSTR extension_ids) {
  return Record(u"List:" + Text(extension_ids));
}

HRESULT RecordingListener::OnDllProcessState(BOOL running) {
  return Record(running ? u"Dll:1" : u"Dll:0");
}

HRESULT RecordingListener::OnExtensionStateChanged(BSTR extension_id, LONG state) {
  return Record(u"State:" + Text(extension_id) + u"=" + (state ? u"1" : u"0"));
}

HRESULT RecordingListener::Record(std::u16string text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({std::move(text), GetCurrentThreadId()});
  }
  cv_.notify_all();
  return S_OK;
}

bool RecordingListener::WaitForEvents(size_t count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return events_.size() >= count; });
}

std::vector<ListenerEvent> RecordingListener::Events() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

ScopedFakes::ScopedFakes(const FakeServices& fakes) {
  auto set = [this](REFIID iid, IUnknown* service) {
    services_.emplace_back(iid, halcy::SetService(iid, service));
  };
  set(Logic::IDatabaseService::kIID, fakes.database.Get());
  set(Logic::IChannelInfo::kIID, fakes.channel_info.Get());
  set(Logic::IStatisticsService::kIID, fakes.statistics.Get());
  set(Logic::IVersionService::kIID, fakes.version.Get());
  set(Logic::ISkinService::kIID, fakes.skin.Get());
  auto creatable = [this](REFIID iid, HRESULT (*create)(REFIID, void**)) {
    halcy::CreatableClass entry;
    entry.create = create;
    classes_.emplace_back(iid, halcy::SetCreatableClass(iid, std::move(entry)));
  };
  creatable(Logic::IStoreParams::kIID, &CreateFake<FakeStoreParams>);
  creatable(Logic::IPropertySet::kIID, &CreateFake<FakePropertySet>);
  creatable(Logic::IExtensionAgent::kIID, &CreateFake<Logic::CCoExtensionAgent>);
}

ScopedFakes::~ScopedFakes() {
  for (auto it = classes_.rbegin(); it != classes_.rend(); ++it) {
    halcy::SetCreatableClass(it->first, std::move(it->second));
  }
  for (auto it = services_.rbegin(); it != services_.rend(); ++it) {
    halcy::SetService(it->first, it->second.Get());
  }
}

}  // namespace extension_testing
