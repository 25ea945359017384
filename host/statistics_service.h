// The browser's statistics service {FFE82E85-...} and the property set {44014358-...} that
// carries an action's named values.
//
// The statistics service appends one JSON line per call to "statistics.jsonl" in the system
// data directory (resolved on the first call), a file a user can read with any text tool:
//   {"time":"2026-12-06T02:00:00.123Z","category":"Function","key":"PluginEnable","kind":2,
//    "properties":{"AppId":"demo","name":"Demo"}}
//   {"time":"...","category":"UserAction","action":"click","counter":"count","increment":1,
//    "total":3}
// (each on one line). RecordAction writes the properties in the order the set holds them;
// CountUserAction also keeps the running total of each (category, action, counter) for the
// life of the service and writes it on the line.
//
// Free-threaded: every call from any thread; lines are appended whole and in call order.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "module/browser_info_services.h"
#include "platform/com_object.h"

namespace host {

// Creatable by IPropertySet::kIID through the object factory.
class CPropertySet : public halcy::ComObjectRoot, public Logic::IPropertySet {
 public:
  HALCY_BEGIN_INTERFACES(CPropertySet)
  HALCY_INTERFACE(CPropertySet, Logic::IPropertySet)
  HALCY_END_INTERFACES()

  // E_INVALIDARG for a null or empty name; a null value is "".
  HRESULT SetValue(LPCWSTR name, LPCWSTR value) override;
  HRESULT GetCount(LONG* count) override;
  HRESULT GetAt(LONG index, BSTR* name, BSTR* value) override;

  // The factory function registered with halcy::SetCreatableClass.
  static HRESULT Create(REFIID iid, void** out);

 private:
  std::mutex lock_;
  // Guarded by lock_: the values in the order of their first setting, and each name's
  // position among them (start-up records a set with one entry per installed extension).
  std::vector<std::pair<std::u16string, std::u16string>> values_;
  std::unordered_map<std::u16string, size_t> positions_;
};

class CStatisticsService : public halcy::ComObjectRoot, public Logic::IStatisticsService {
 public:
  HALCY_BEGIN_INTERFACES(CStatisticsService)
  HALCY_INTERFACE(CStatisticsService, Logic::IStatisticsService)
  HALCY_END_INTERFACES()

  static constexpr char16_t kFileName[] = u"statistics.jsonl";

  // E_INVALIDARG for a null category or key; E_FAIL when the line cannot be written.
  HRESULT RecordAction(LPCWSTR name, LPCWSTR value, LONG kind,
                       Logic::IPropertySet* properties) override;
  HRESULT ReservedSlot4() override { return E_NOTIMPL; }
  HRESULT ReservedSlot5() override { return E_NOTIMPL; }
  HRESULT ReservedSlot6() override { return E_NOTIMPL; }
  HRESULT ReservedSlot7() override { return E_NOTIMPL; }
  HRESULT ReservedSlot8() override { return E_NOTIMPL; }
  HRESULT ReservedSlot9() override { return E_NOTIMPL; }
  HRESULT ReservedSlot10() override { return E_NOTIMPL; }
  HRESULT CountUserAction(LPCWSTR category, LPCWSTR action, LPCWSTR counter,
                          LONG increment) override;

  // The running total of a counter (0 when never counted).
  LONG Total(const std::u16string& category, const std::u16string& action,
             const std::u16string& counter);

 private:
  using CounterKey = std::tuple<std::u16string, std::u16string, std::u16string>;

  // Appends one line: the time member, then `members` (JSON members, each led by a comma).
  // REQUIRES: lock_ held.
  HRESULT AppendLine(const std::u16string& members);

  std::mutex lock_;
  std::string native_path_;            // Guarded by lock_; resolved on first use
  std::map<CounterKey, LONG> totals_;  // Guarded by lock_
};

}  // namespace host
