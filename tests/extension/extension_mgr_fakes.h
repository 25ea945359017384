// Recording fakes of the browser services the extension manager calls at start-up: the
// database service with its store factory, parameter object and an in-memory store; the
// information service with its cache store; the statistics service with its property set;
// the version and skin services; and a listener that records every event with the thread it
// arrived on. The test installs them with InstallFakes (services and creatable classes are
// restored when the returned guard goes).
//
// Thread-safe: the manager calls them from its threads while the test reads their records.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "extension/extension_mgr_listener.h"
#include "module/browser_info_services.h"
#include "module/channel_info.h"
#include "module/extension_store.h"
#include "platform/com_object.h"
#include "platform/object_factory.h"

namespace extension_testing {

struct StoreRecord {
  std::u16string id;
  LONG state = 1;
  LONG flags = 0;
  std::u16string directory;
  std::u16string manifest;
  LONG value = 0;  // the state value of SetValue
};

// The records of the fake store, shared by the database service and every store it opens.
// When a store opens, records found in its file ("<system data dir><relative path>", one
// record per line: id, state, flags, directory and manifest separated by tabs) are added.
class FakeStoreData {
 public:
  void Put(const StoreRecord& record);
  std::vector<StoreRecord> Records();
  bool Find(const std::u16string& id, StoreRecord* record);
  void LoadFile(const std::string& native_path);

  std::mutex mutex;
  std::map<std::u16string, StoreRecord> records;  // Guarded by mutex
  int opens = 0;                                  // Guarded by mutex
  std::u16string opened_relative_path;            // Guarded by mutex
  std::u16string opened_store_id;                 // Guarded by mutex
  LONG factory_kind = 0;                          // Guarded by mutex
};

// One line of the fake store's file format.
std::string StoreFileLine(const StoreRecord& record);

class FakeDatabaseService : public halcy::ComObjectRoot, public Logic::IDatabaseService {
 public:
  HALCY_BEGIN_INTERFACES(FakeDatabaseService)
  HALCY_INTERFACE(FakeDatabaseService, Logic::IDatabaseService)
  HALCY_END_INTERFACES()

  HRESULT CreateStoreFactory(LONG kind, LONG reserved1, LONG reserved2,
                             Logic::IStoreFactory** factory) override;

  std::shared_ptr<FakeStoreData> data = std::make_shared<FakeStoreData>();
};

// Entries as string lists, as the browser's cache store keeps them.
class FakeCacheStore : public halcy::ComObjectRoot, public Logic::ICacheStore {
 public:
  HALCY_BEGIN_INTERFACES(FakeCacheStore)
  HALCY_INTERFACE(FakeCacheStore, Logic::ICacheStore)
  HALCY_END_INTERFACES()

  HRESULT ReadEntry(LPCWSTR name, LONG size_limit, IStringList** values) override;
  HRESULT WriteEntry(LPCWSTR name, IStringList* values) override;

  void Put(const std::u16string& name, std::vector<std::u16string> values);
  std::vector<std::u16string> Get(const std::u16string& name);
  bool Has(const std::u16string& name);

 private:
  std::mutex mutex_;
  std::map<std::u16string, std::vector<std::u16string>> entries_;  // Guarded by mutex_
};

class FakeChannelInfo : public halcy::ComObjectRoot, public Logic::IChannelInfo {
 public:
  HALCY_BEGIN_INTERFACES(FakeChannelInfo)
  HALCY_INTERFACE(FakeChannelInfo, Logic::IChannelInfo)
  HALCY_END_INTERFACES()

  HRESULT ReservedSlot3() override { return E_NOTIMPL; }
  HRESULT ReservedSlot4() override { return E_NOTIMPL; }
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT ReservedSlot6() override { return E_NOTIMPL; }
  HRESULT ReservedSlot7() override { return E_NOTIMPL; }
  HRESULT ReservedSlot8() override { return E_NOTIMPL; }
  HRESULT ReservedSlot9() override { return E_NOTIMPL; }
  HRESULT ReservedSlot10() override { return E_NOTIMPL; }
  HRESULT GetCacheStore(Logic::ICacheStore** store) override;
  HRESULT ReservedSlot12() override { return E_NOTIMPL; }
  HRESULT ReservedSlot13() override { return E_NOTIMPL; }
  HRESULT GetChannelObject(Logic::IChannelObject** channel) override;

  ComPtr<FakeCacheStore> cache = halcy::MakeComObject<FakeCacheStore>();
};

struct RecordedAction {
  std::u16string category;
  std::u16string key;
  LONG kind;
  std::vector<std::pair<std::u16string, std::u16string>> properties;
};

class FakeStatistics : public halcy::ComObjectRoot, public Logic::IStatisticsService {
 public:
  HALCY_BEGIN_INTERFACES(FakeStatistics)
  HALCY_INTERFACE(FakeStatistics, Logic::IStatisticsService)
  HALCY_END_INTERFACES()

  HRESULT RecordAction(LPCWSTR name, LPCWSTR value, LONG kind,
                       Logic::IPropertySet* properties) override;
  HRESULT ReservedSlot4() override { return E_NOTIMPL; }
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT ReservedSlot6() override { return E_NOTIMPL; }
  HRESULT ReservedSlot7() override { return E_NOTIMPL; }
  HRESULT ReservedSlot8() override { return E_NOTIMPL; }
  HRESULT ReservedSlot9() override { return E_NOTIMPL; }
  HRESULT ReservedSlot10() override { return E_NOTIMPL; }
  HRESULT CountUserAction(LPCWSTR, LPCWSTR, LPCWSTR, LONG) override { return E_NOTIMPL; }

  std::vector<RecordedAction> Actions();

 private:
  std::mutex mutex_;
  std::vector<RecordedAction> actions_;  // Guarded by mutex_
};

class FakeVersionService : public halcy::ComObjectRoot, public Logic::IVersionService {
 public:
  HALCY_BEGIN_INTERFACES(FakeVersionService)
  HALCY_INTERFACE(FakeVersionService, Logic::IVersionService)
  HALCY_END_INTERFACES()
  HRESULT GetBrowserVersion(BSTR* version) override;
};

class FakeSkinService : public halcy::ComObjectRoot, public Logic::ISkinService {
 public:
  HALCY_BEGIN_INTERFACES(FakeSkinService)
  HALCY_INTERFACE(FakeSkinService, Logic::ISkinService)
  HALCY_END_INTERFACES()

  HRESULT RegisterPathPrefix(LPCWSTR prefix, LPCWSTR directory) override;
  std::vector<std::pair<std::u16string, std::u16string>> Registrations();

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::u16string, std::u16string>> registrations_;  // Guarded by mutex_
};

// One event a listener received: "FirstReady", "List:<ids>", "Dll:<0|1>" or "State:<id>=<n>",
// and the thread it ran on.
struct ListenerEvent {
  std::u16string text;
  DWORD thread_id;
};

class RecordingListener : public halcy::ComObjectRoot, public Logic::IExtensionMgrListener {
 public:
  HALCY_BEGIN_INTERFACES(RecordingListener)
  HALCY_INTERFACE(RecordingListener, Logic::IExtensionMgrListener)
  HALCY_END_INTERFACES()

  HRESULT OnFirstReady() override;
  HRESULT OnLocalExtensionList(BSTR extension_ids) override;
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT OnDllProcessState(BOOL running) override;
  HRESULT OnExtensionStateChanged(BSTR extension_id, LONG state) override;

  // Waits until `count` events arrived; false after `limit`.
  bool WaitForEvents(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
  std::vector<ListenerEvent> Events();
  // What OnFirstReady returns.
  void set_result(HRESULT result) { result_ = result; }

 private:
  HRESULT Record(std::u16string text);

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<ListenerEvent> events_;  // Guarded by mutex_
  HRESULT result_ = S_OK;              // Set before use
};

// The fakes as a set, registered with the object factory for the guard's lifetime. Services
// left null are registered as absent.
struct FakeServices {
  ComPtr<FakeDatabaseService> database = halcy::MakeComObject<FakeDatabaseService>();
  ComPtr<FakeChannelInfo> channel_info = halcy::MakeComObject<FakeChannelInfo>();
  ComPtr<FakeStatistics> statistics = halcy::MakeComObject<FakeStatistics>();
  ComPtr<FakeVersionService> version = halcy::MakeComObject<FakeVersionService>();
  ComPtr<FakeSkinService> skin = halcy::MakeComObject<FakeSkinService>();
};

class ScopedFakes {
 public:
  explicit ScopedFakes(const FakeServices& fakes);
  ~ScopedFakes();
  ScopedFakes(const ScopedFakes&) = delete;
  ScopedFakes& operator=(const ScopedFakes&) = delete;

 private:
  std::vector<std::pair<IID, ComPtr<IUnknown>>> services_;
  std::vector<std::pair<IID, halcy::CreatableClass>> classes_;
};

}  // namespace extension_testing
