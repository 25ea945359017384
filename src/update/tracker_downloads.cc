// CExtensionTracker: the three work lists, marking and downloading, and what happens to a
// finished package (digest check, staging, the manager's install or update task).

#include <memory>
#include <string>

#include "common/file_util.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/version.h"
#include "extension/extension_agent.h"
#include "extension/extension_mgr_impl.h"
#include "extension/extension_paths.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "platform/bstr.h"
#include "platform/file_system.h"
#include "platform/object_factory.h"
#include "platform/string_list.h"
#include "platform/strings.h"
#include "update/extension_tracker.h"
#include "update/http_post.h"
#include "update/net_file_fetcher.h"
#include "update/tracker_support.h"

namespace Logic {
namespace {

constexpr char16_t kTag[] = u"ext;";
constexpr size_t kMaxSelectionFile = 1024 * 1024;

std::u16string DownloadDirectory() { return GetExtensionDataDirectory() + u"\\downloadtemp"; }
std::u16string UpdateDirectory() { return GetExtensionDataDirectory() + u"\\updatetemp"; }

// The version as a folder-name part: digits and dots only, else "new".
std::u16string VersionPart(const std::u16string& version) {
  if (version.empty() || version.find_first_not_of(u"0123456789.") != std::u16string::npos) {
    return u"new";
  }
  return version;
}

// Reads the array elements of a setup or selection list into `list`.
void CollectEntries(const CJsonValue::Array& elements, const char16_t* source,
                    const std::u16string* browser_version, TrackerWorkList* list) {
  for (const std::unique_ptr<CJsonValue>& element : elements) {
    if (!element || !element->IsObject()) continue;
    const CJsonValue* id = JsonMember(*element, u"id");
    TrackerListEntry entry;
    entry.id = id && id->IsString() ? id->GetString() : u"";
    if (!IsUsableTrackerId(entry.id, source) || !ReadListEntry(*element, source, &entry)) continue;
    if (browser_version && CompareVersion(*browser_version, entry.lowest_browser) < 0) continue;
    TrackerWorkItem& item = (*list)[entry.id];
    if (item.download) continue;  // a package already on its way is left alone
    item.url = entry.url;
    item.state = entry.state;
    item.type = entry.type;
    item.sha256 = entry.sha256;
  }
}

}  // namespace

bool CExtensionTracker::IsInstalled(const std::u16string& id) {
  ComPtr<IExtensionAgent> agent;
  halcy::ScopedBstr text(id);
  manager_->GetExtensionAgent(text.Get(), agent.ReleaseAndGetAddressOf());
  return agent != nullptr;
}

void CExtensionTracker::CheckLocalSelectedExtensions() {
  if (!manager_ || stopped_.load()) return;
  const std::u16string path = GetExtensionDataDirectory() + u"\\LocalSelectedExtensions.json";
  size_t size = 0;
  std::unique_ptr<char[]> bytes = ReadWholeFile(path, &size);
  if (!bytes) return;  // no selection
  last_file_ = path;
  Log(kLogTrace, kTag, u"extlist: local selection %s", last_file_.c_str());
  std::unique_ptr<CJsonValue> root;
  if (size <= kMaxSelectionFile) root = ParseJsonUtf8(std::string_view(bytes.get(), size));
  if (root && root->IsArray()) {
    CollectEntries(root->GetArray(), u"LocalSelectedExtensions.json", nullptr, &local_list_);
  }
  if (MarkAndDownload(&local_list_, true) == 0) DeletePath(path, false);
}

void CExtensionTracker::ProcessSetupList(const std::u16string& payload) {
  std::unique_ptr<CJsonValue> root = ParseJson(payload);
  const CJsonValue* force = root ? JsonMember(*root, u"force") : nullptr;
  const CJsonValue* list = force ? JsonMember(*force, u"list") : nullptr;
  if (!list || !list->IsArray()) return;  // another shape: dropped
  const std::u16string browser = manager_->GetBrowserVersion();
  CollectEntries(list->GetArray(), u"setup list", &browser, &server_list_);
  MarkAndDownload(&server_list_, true);
}

void CExtensionTracker::ProcessUpdateList(const std::u16string& payload) {
  std::unique_ptr<CJsonValue> root = ParseJson(payload);
  if (!root || !root->IsObject()) return;
  for (const auto& [id, value] : root->GetObject()) {
    if (value && value->IsObject()) IsUsableTrackerId(id, u"update list");  // logs the refused
  }
  ComPtr<IStringList> installed;
  if (FAILED(manager_->GetInstalledExtensions(installed.ReleaseAndGetAddressOf())) || !installed) {
    return;
  }
  const std::u16string browser = manager_->GetBrowserVersion();
  LONG count = 0;
  installed->GetCount(&count);
  for (LONG i = 0; i < count; ++i) {
    halcy::ScopedBstr id_text;
    installed->GetAt(i, id_text.Receive());
    const std::u16string id(id_text.View());
    const CJsonValue* member = JsonMember(*root, id);
    if (!member || !member->IsObject() || !IsUsableTrackerId(id, u"update list")) continue;
    TrackerListEntry entry;
    entry.id = id;
    if (!ReadListEntry(*member, u"update list", &entry)) continue;
    ComPtr<IExtensionAgent> agent;
    manager_->GetExtensionAgent(id_text.Get(), agent.ReleaseAndGetAddressOf());
    if (!agent) continue;
    halcy::ScopedBstr installed_version;
    agent->GetVersion(installed_version.Receive());
    if (CompareVersion(installed_version.View(), entry.version) >= 0 ||
        CompareVersion(browser, entry.lowest_browser) < 0) {
      continue;
    }
    TrackerWorkItem& item = update_list_[id];
    if (item.download) continue;
    item.skip = 0;
    item.url = entry.url;
    item.sha256 = entry.sha256;
    item.version = entry.version;
    agent->GetState(&item.state);
    agent->GetFlags(&item.type);
  }
  MarkAndDownload(&update_list_, false);
}

int CExtensionTracker::MarkAndDownload(TrackerWorkList* list, bool mark) {
  int started = 0;
  for (auto& [id, item] : *list) {
    if (mark && IsInstalled(id)) item.skip = 1;
    if (item.skip != 0 || item.download) continue;
    if (StartDownload(id, &item)) ++started;
  }
  return started;
}

bool CExtensionTracker::StartDownload(const std::u16string& id, TrackerWorkItem* item) {
  auto fail = [&id](const char16_t* why) {
    Log(kLogFailure, kTag, u"extlist: '%s' download not started: %s", id.c_str(), why);
    return false;
  };
  if (!IsHttpAddress(item->url)) return fail(u"no usable package address");
  if (!CreateDirectoryRecursive(DownloadDirectory(), 8)) return fail(u"no download folder");
  ComPtr<ICarryInfo> info;
  Util::Com::CreateObjectByIID(ICarryInfo::kIID, info.ReleaseAndGetVoidAddress());
  if (!info) return fail(u"no download object");
  halcy::ScopedBstr url(item->url);
  halcy::ScopedBstr file(
      halcy::StringPrintf(u"%s\\%s.zip", DownloadDirectory().c_str(), id.c_str()));
  info->SetUrl(url.Get());
  info->SetListener(this);
  info->SetFilePath(file.Get());
  if (!fetcher_) {
    Util::Com::CreateObjectByIID(INetFileFetcher::kIID, fetcher_.ReleaseAndGetVoidAddress());
    if (!fetcher_) return fail(u"no file fetcher");
  }
  if (FAILED(fetcher_->AddTask(info.Get()))) {
    info->ClearListener();
    return fail(u"the fetcher refused it");
  }
  item->download = std::move(info);
  return true;
}

TrackerWorkItem* CExtensionTracker::FindDownload(ICarryInfo* info, std::u16string* id,
                                                 ListKind* kind) {
  const std::pair<TrackerWorkList*, ListKind> lists[] = {{&local_list_, ListKind::kLocal},
                                                         {&server_list_, ListKind::kServer},
                                                         {&update_list_, ListKind::kUpdate}};
  for (const auto& [list, list_kind] : lists) {
    for (auto& [item_id, item] : *list) {
      if (item.download.Get() == info) {
        *id = item_id;
        *kind = list_kind;
        return &item;
      }
    }
  }
  return nullptr;
}

HRESULT CExtensionTracker::OnCarryStatus(ICarryInfo* info, LONG status) {
  if (status != 3 || !manager_ || stopped_.load()) return S_OK;
  std::u16string id;
  ListKind kind = ListKind::kLocal;
  TrackerWorkItem* item = FindDownload(info, &id, &kind);
  if (!item || item->skip != 0) return S_OK;
  InstallDownloaded(id, item, kind);
  return S_OK;
}

void CExtensionTracker::InstallDownloaded(const std::u16string& id, TrackerWorkItem* item,
                                          ListKind kind) {
  halcy::ScopedBstr file;
  item->download->GetFilePath(file.Receive());
  const std::u16string zip(file.View());
  if (fetcher_) fetcher_->RemoveTask(item->download.Get());
  item->download->ClearListener();
  item->download = nullptr;  // whatever follows, a later check may fetch it again
  if (!item->sha256.empty() && !FileMatchesSha256(zip, item->sha256)) {
    Log(kLogFailure, kTag, u"extlist: package of '%s' does not match its sha256, deleted",
        id.c_str());
    DeletePath(zip, false);
    return;
  }
  const bool update = kind == ListKind::kUpdate;
  const std::u16string target =
      update ? halcy::StringPrintf(u"%s\\%s-%s", UpdateDirectory().c_str(), id.c_str(),
                                   VersionPart(item->version).c_str())
             : halcy::StringPrintf(u"%s\\%s", GetExtensionDataDirectory().c_str(), id.c_str());
  if (!StagePackage(zip, update ? UpdateDirectory() : DownloadDirectory(), target)) return;
  Log(kLogDetail, kTag, u"extlist: '%s' staged at %s", id.c_str(), target.c_str());
  item->skip = 1;  // handed over; not fetched again while the lists live
  auto done = [](const std::u16string& extension_id, HRESULT result) {
    Log(SUCCEEDED(result) ? kLogEvent : kLogFailure, kTag, u"extlist: '%s' install result 0x%X",
        extension_id.c_str(), static_cast<unsigned>(result));
  };
  if (update) {
    manager_->PostUpdateExtension(id, item->type, item->state, target, done);
  } else {
    manager_->PostInstallExtension(id, item->type, item->state, target, done);
  }
}

HRESULT CExtensionTracker::OnCarryProgress(ICarryInfo* info, double received, double total) {
  halcy::ScopedBstr url;
  if (info) info->GetUrl(url.Receive());
  Log(kLogDetail, kTag, u"extlist: %s %f of %f", std::u16string(url.View()).c_str(), received,
      total);
  return S_OK;
}

HRESULT CExtensionTracker::OnCarryError(ICarryInfo* info, HRESULT error) {
  std::u16string id;
  ListKind kind = ListKind::kLocal;
  if (TrackerWorkItem* item = info ? FindDownload(info, &id, &kind) : nullptr) {
    Log(kLogFailure, kTag, u"extlist: download of '%s' failed 0x%X", id.c_str(),
        static_cast<unsigned>(error));
    if (fetcher_) fetcher_->RemoveTask(info);
    item->download->ClearListener();
    item->download = nullptr;
  }
  return S_OK;
}

}  // namespace Logic
