#include "host/statistics_service.h"

#include <sys/time.h>

#include <ctime>

#include "common/log.h"
#include "common/paths.h"
#include "host/durable_file.h"
#include "json/json_writer.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/strings.h"

namespace host {
namespace {

void AppendQuoted(std::u16string* out, std::u16string_view text) {
  out->push_back(u'"');
  Logic::AppendJsonEscaped(text, out);
  out->push_back(u'"');
}

void AppendMember(std::u16string* out, std::u16string_view name, std::u16string_view value) {
  out->push_back(u',');
  AppendQuoted(out, name);
  out->push_back(u':');
  AppendQuoted(out, value);
}

std::u16string UtcNow() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  std::tm utc;
  gmtime_r(&now.tv_sec, &utc);
  char text[40];
  const size_t n = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  return halcy::Utf8ToUtf16(std::string(text, n)) +
         halcy::StringPrintf(u".%03dZ", static_cast<int>(now.tv_usec / 1000));
}

// The properties as a JSON object in the set's order.
std::u16string PropertiesJson(Logic::IPropertySet* properties) {
  std::u16string out = u"{";
  LONG count = 0;
  if (properties && SUCCEEDED(properties->GetCount(&count))) {
    for (LONG i = 0; i < count; ++i) {
      halcy::ScopedBstr name, value;
      if (FAILED(properties->GetAt(i, name.Receive(), value.Receive()))) continue;
      if (out.size() > 1) out.push_back(u',');
      AppendQuoted(&out, name.View());
      out.push_back(u':');
      AppendQuoted(&out, value.View());
    }
  }
  out.push_back(u'}');
  return out;
}

}  // namespace

HRESULT CPropertySet::SetValue(LPCWSTR name, LPCWSTR value) {
  if (!name || !*name) return E_INVALIDARG;
  std::u16string text = value ? value : u"";
  std::lock_guard<std::mutex> lock(lock_);
  auto [at, added] = positions_.try_emplace(name, values_.size());
  if (added) {
    values_.emplace_back(name, std::move(text));
  } else {
    values_[at->second].second = std::move(text);
  }
  return S_OK;
}

HRESULT CPropertySet::GetCount(LONG* count) {
  if (!count) return E_POINTER;
  std::lock_guard<std::mutex> lock(lock_);
  *count = static_cast<LONG>(values_.size());
  return S_OK;
}

HRESULT CPropertySet::GetAt(LONG index, BSTR* name, BSTR* value) {
  if (!name || !value) return E_POINTER;
  *name = nullptr;
  *value = nullptr;
  std::lock_guard<std::mutex> lock(lock_);
  if (index < 0 || static_cast<size_t>(index) >= values_.size()) return E_INVALIDARG;
  const auto& [key, text] = values_[index];
  *name = SysAllocStringLen(key.data(), static_cast<UINT>(key.size()));
  *value = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *name && *value ? S_OK : E_OUTOFMEMORY;
}

HRESULT CPropertySet::Create(REFIID iid, void** out) {
  return halcy::CreateComInstance<CPropertySet>(nullptr, iid, out);
}

HRESULT CStatisticsService::RecordAction(LPCWSTR name, LPCWSTR value, LONG kind,
                                         Logic::IPropertySet* properties) {
  if (!name || !value) return E_INVALIDARG;
  std::u16string members;
  AppendMember(&members, u"category", name);
  AppendMember(&members, u"key", value);
  members.append(halcy::StringPrintf(u",\"kind\":%d,\"properties\":", kind));
  members.append(PropertiesJson(properties));  // read before the lock: another object
  std::lock_guard<std::mutex> lock(lock_);
  return AppendLine(members);
}

HRESULT CStatisticsService::CountUserAction(LPCWSTR category, LPCWSTR action, LPCWSTR counter,
                                            LONG increment) {
  if (!category || !action || !counter) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(lock_);
  LONG& total = totals_[CounterKey(category, action, counter)];
  total += increment;
  std::u16string members;
  AppendMember(&members, u"category", category);
  AppendMember(&members, u"action", action);
  AppendMember(&members, u"counter", counter);
  members.append(halcy::StringPrintf(u",\"increment\":%d,\"total\":%d", increment, total));
  return AppendLine(members);
}

LONG CStatisticsService::Total(const std::u16string& category, const std::u16string& action,
                               const std::u16string& counter) {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = totals_.find(CounterKey(category, action, counter));
  return it == totals_.end() ? 0 : it->second;
}

HRESULT CStatisticsService::AppendLine(const std::u16string& members) {
  if (native_path_.empty()) {
    std::u16string path = kFileName;
    if (!Logic::GetDataDirectory(Logic::kDataDirectorySystem, &path, 0, u"")) return E_FAIL;
    native_path_ = halcy::ToNativePath(path);
  }
  std::u16string line = u"{\"time\":\"" + UtcNow() + u"\"" + members + u"}\n";
  if (AppendToFile(native_path_, halcy::Utf16ToUtf8(line))) return S_OK;
  Logic::Log(Logic::kLogFailure, u"oldlog;", u"statistics: cannot append to %S",
             native_path_.c_str());
  return E_FAIL;
}

}  // namespace host
