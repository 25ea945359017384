#include "host/cache_store.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <utility>

#include "common/log.h"
#include "host/durable_file.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/string_list.h"
#include "platform/strings.h"

namespace host {
namespace {

// Compaction pays once replaced lines outweigh the live ones by this much.
constexpr size_t kCompactionSlack = 64 * 1024;

bool ParseLine(std::string_view line, std::u16string* name, std::vector<std::u16string>* values) {
  std::unique_ptr<Logic::CJsonValue> root = Logic::ParseJsonUtf8(line);
  if (!root || !root->IsObject()) return false;
  const auto& members = root->GetObject();
  auto n = members.find(u"name");
  auto v = members.find(u"values");
  if (n == members.end() || !n->second->IsString() || n->second->GetString().empty() ||
      v == members.end() || !v->second->IsArray()) {
    return false;
  }
  values->clear();
  for (const auto& element : v->second->GetArray()) {
    if (!element->IsString()) return false;
    values->push_back(element->GetString());
  }
  *name = n->second->GetString();
  return true;
}

}  // namespace

std::string CacheJournalLine(const std::u16string& name,
                             const std::vector<std::u16string>& values) {
  std::u16string text = u"{\"name\":\"";
  Logic::AppendJsonEscaped(name, &text);
  text.append(u"\",\"values\":[");
  for (size_t i = 0; i < values.size(); ++i) {
    text.append(i ? u",\"" : u"\"");
    Logic::AppendJsonEscaped(values[i], &text);
    text.push_back(u'"');
  }
  text.append(u"]}\n");
  return halcy::Utf16ToUtf8(text);
}

bool CCacheStore::Replay(const std::string& text, Entries* entries, bool* torn) {
  *torn = false;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      *torn = true;  // the last append was cut short: keep the previous values
      return true;
    }
    const std::string_view line(text.data() + start, end - start);
    Entry entry;
    std::u16string name;
    if (!ParseLine(line, &name, &entry.values)) return false;
    entry.line_bytes = line.size() + 1;
    (*entries)[std::move(name)] = std::move(entry);
    start = end + 1;
  }
  return true;
}

bool CCacheStore::Open(const std::u16string& path) {
  native_path_ = halcy::ToNativePath(path);
  std::string text, problem;
  switch (ReadFileBytes(native_path_, &text, &problem)) {
    case ReadResult::kMissing:
      return true;
    case ReadResult::kRefused:
      Logic::Log(Logic::kLogFailure, u"oldlog;", u"cache store: %s %S", path.c_str(),
                 problem.c_str());
      return false;
    case ReadResult::kRead:
      break;
  }
  Entries entries;
  bool torn = false;
  std::lock_guard<std::mutex> lock(lock_);
  if (!Replay(text, &entries, &torn)) {
    const std::string aside = MoveAside(native_path_, "corrupt");
    if (aside.empty()) {
      Logic::Log(Logic::kLogFailure, u"oldlog;",
                 u"cache store: %s is damaged and could not be moved aside", path.c_str());
      return false;
    }
    Logic::Log(Logic::kLogFailure, u"oldlog;",
               u"cache store: %s is damaged; moved aside to %S, starting empty", path.c_str(),
               aside.c_str());
    return true;
  }
  entries_ = std::move(entries);
  journal_bytes_ = text.size();
  live_bytes_ = 0;
  for (const auto& [name, entry] : entries_) live_bytes_ += entry.line_bytes;
  // A cut line must go before anything is appended behind it.
  if (torn || WorthCompacting()) return Compact();
  return true;
}

HRESULT CCacheStore::ReadEntry(LPCWSTR name, LONG size_limit, IStringList** values) {
  if (!values) return E_POINTER;
  *values = nullptr;
  if (!name || !*name || size_limit < 0) return E_INVALIDARG;
  std::vector<std::u16string> copy;
  {
    std::lock_guard<std::mutex> lock(lock_);
    auto it = entries_.find(std::u16string_view(name));
    if (it == entries_.end()) return E_FAIL;
    const std::vector<std::u16string>& all = it->second.values;
    copy.assign(all.begin(), all.begin() + std::min<size_t>(all.size(), size_limit));
  }
  ComPtr<IStringList> list;
  HRESULT hr = halcy::CreateStringList(IStringList::kIID, list.ReleaseAndGetVoidAddress());
  if (FAILED(hr)) return hr;
  for (const std::u16string& value : copy) {
    if (FAILED(hr = list->Append(value.c_str()))) return hr;
  }
  *values = list.Detach();
  return S_OK;
}

HRESULT CCacheStore::WriteEntry(LPCWSTR name, IStringList* values) {
  if (!name || !*name) return E_INVALIDARG;
  if (!values) return E_POINTER;
  Entry entry;
  LONG count = 0;
  if (FAILED(values->GetCount(&count))) return E_FAIL;
  for (LONG i = 0; i < count; ++i) {
    halcy::ScopedBstr item;
    if (FAILED(values->GetAt(i, item.Receive()))) return E_FAIL;
    entry.values.emplace_back(item.View());
  }
  const std::u16string key(name);
  const std::string line = CacheJournalLine(key, entry.values);
  entry.line_bytes = line.size();
  std::lock_guard<std::mutex> lock(lock_);
  if (!AppendToFile(native_path_, line)) {
    Logic::Log(Logic::kLogFailure, u"oldlog;", u"cache store: appending entry %s failed",
               key.c_str());
    // A short write may have left part of the line; rewriting the journal from memory removes
    // it before the next append could be glued to it.
    Compact();
    return E_FAIL;
  }
  journal_bytes_ += line.size();
  Entry& slot = entries_[key];
  live_bytes_ = live_bytes_ - slot.line_bytes + entry.line_bytes;
  slot = std::move(entry);
  // The entry is already in the journal; a failed compaction only leaves the journal long.
  if (WorthCompacting()) Compact();
  return S_OK;
}

int CCacheStore::compactions() {
  std::lock_guard<std::mutex> lock(lock_);
  return compactions_;
}

bool CCacheStore::WorthCompacting() const {
  return journal_bytes_ > 2 * live_bytes_ + kCompactionSlack;
}

bool CCacheStore::Compact() {
  std::string text;
  text.reserve(live_bytes_);
  for (const auto& [name, entry] : entries_) text += CacheJournalLine(name, entry.values);
  if (!ReplaceFileDurably(native_path_, text)) {
    Logic::Log(Logic::kLogFailure, u"oldlog;", u"cache store: compacting the journal failed");
    return false;
  }
  journal_bytes_ = text.size();
  ++compactions_;
  return true;
}

}  // namespace host
