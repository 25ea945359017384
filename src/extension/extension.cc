#include "extension/extension.h"

#include <cmath>
#include <limits>

#include "common/version.h"
#include "extension/accelerator.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "platform/strings.h"

namespace Logic {
namespace {

std::u16string_view StripTrailingSeparators(std::u16string_view path) {
  while (!path.empty() && (path.back() == u'\\' || path.back() == u'/')) path.remove_suffix(1);
  return path;
}

int32_t TruncateToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  if (value <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(value);  // truncates toward zero
}

}  // namespace

void CExtension::SetPosition(int32_t position) {
  std::lock_guard<std::mutex> lock(mutex_);
  position_ = position;
}

int32_t CExtension::GetPosition() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return position_;
}

bool CExtension::SetId(std::u16string_view id) {
  if (id.empty()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  id_ = id;
  return true;
}

std::u16string CExtension::GetId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return id_;
}

void CExtension::SetFlags(int32_t flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  flags_ = flags;
}

int32_t CExtension::GetFlags() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return flags_;
}

void CExtension::SetState(int32_t state) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = state;
}

int32_t CExtension::GetState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void CExtension::SetDirectory(std::u16string_view directory) {
  std::lock_guard<std::mutex> lock(mutex_);
  directory_ = StripTrailingSeparators(directory);
}

std::u16string CExtension::GetDirectory() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return directory_;
}

bool CExtension::SetManifest(std::u16string_view json_text) {
  return AdoptManifest(ParseJson(std::u16string(json_text)));
}

bool CExtension::SetManifest(const char16_t* json_text) {
  return AdoptManifest(ParseJson(json_text));
}

bool CExtension::AdoptManifest(std::unique_ptr<CJsonValue> parsed) {
  // Parsed by the caller before the lock is taken: the text may be large and the old manifest
  // stays readable meanwhile.
  if (!parsed || !parsed->IsObject()) return false;
  std::unique_ptr<CJsonValue> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::exchange(manifest_, std::move(parsed));
    cached_text_.clear();
  }
  return true;  // `old` is destroyed here, outside the lock
}

bool CExtension::HasManifest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return manifest_ != nullptr;
}

std::u16string CExtension::GetManifestText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return manifest_ ? ToJsonString(*manifest_) : std::u16string();
}

const CJsonValue* CExtension::FindMember(std::u16string_view key) const {
  if (!manifest_) return nullptr;
  const CJsonValue::Object& members = manifest_->GetObject();
  auto it = members.find(key);
  return it == members.end() ? nullptr : it->second.get();
}

std::u16string CExtension::GetString(std::u16string_view key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const CJsonValue* member = FindMember(key);
  return member ? member->GetString() : std::u16string();
}

std::u16string CExtension::GetLowestBrowser() const {
  std::u16string version = GetString(u"lowestbrowser");
  return version.empty() ? std::u16string(kNoVersion) : version;
}

bool CExtension::GetPluginOrder(int32_t* order) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const CJsonValue* member = FindMember(u"pluginorder");
  if (!member) return false;
  if (member->IsNumber()) {
    *order = TruncateToInt32(member->GetNumber());
    return true;
  }
  if (member->IsString()) {
    *order = LeadingDecimal(member->GetString());
    return true;
  }
  return false;
}

bool CExtension::GetSetupCommand(std::u16string* url, std::u16string* param) const {
  std::lock_guard<std::mutex> lock(mutex_);
  url->clear();
  param->clear();
  if (!manifest_) return false;
  const CJsonValue* command = FindMember(u"setupcommand");
  if (!command || !command->IsObject()) return true;
  const CJsonValue::Object& members = command->GetObject();
  if (auto it = members.find(u"url"); it != members.end()) *url = it->second->GetString();
  if (auto it = members.find(u"param"); it != members.end()) *param = it->second->GetString();
  return true;
}

int32_t CExtension::GetSetupOnline() const { return GetString(u"setuponline") == u"1" ? 1 : 0; }

std::vector<std::u16string> CExtension::GetPermissions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::u16string> permissions;
  const CJsonValue* member = FindMember(u"permissions");
  if (!member || !member->IsArray()) return permissions;
  for (const auto& element : member->GetArray()) {
    if (element->IsString()) permissions.push_back(element->GetString());
  }
  return permissions;
}

bool CExtension::GetAccelerator(uint16_t* hotkey) const {
  const std::u16string text = GetString(u"accelerator");
  return !text.empty() && ParseAccelerator(text, hotkey);
}

std::u16string CExtension::GetContextMenu() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const CJsonValue* member = FindMember(u"contextmenu");
  return member && member->IsArray() ? ToJsonString(*member) : std::u16string();
}

void CExtension::ReadContextMenu(const std::function<void(const CJsonValue* items)>& read) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const CJsonValue* member = FindMember(u"contextmenu");
  read(member && member->IsArray() ? member : nullptr);
}

std::u16string CExtension::GetBaseUrl() const {
  return halcy::StringPrintf(u"%s%s/", kExtensionBaseUrlPrefix, GetId().c_str());
}

}  // namespace Logic
