#include "command/ui_command_support.h"

#include <algorithm>
#include <memory>

#include "command/command_args.h"
#include "command/extension_mgr_port.h"
#include "common/json_escape.h"
#include "extension/ui_ext_points.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "module/channel_info.h"
#include "platform/bstr.h"
#include "platform/strings.h"
#include "thread/service_lookup.h"

namespace Logic {
namespace {

void ReplaceAll(std::u16string* text, std::u16string_view from, std::u16string_view to) {
  for (size_t at = text->find(from); at != std::u16string::npos;
       at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() &&
         halcy::AsciiToLower(text.substr(0, prefix.size())) == halcy::AsciiToLower(prefix);
}

const char16_t* KeywordOfPoint(const char16_t* identifier) {
  for (const UIExtPoint& point : kUIExtPoints) {
    if (std::u16string_view(point.identifier) == identifier) return point.manifest_key;
  }
  return nullptr;
}

}  // namespace

// The search endpoint's host is ours to choose: "search.halcy.example", a name under a domain
// reserved for examples, so it never names a real server.
const char16_t kSearchQueryPrefix[] = u"http://search.halcy.example/s?";

const char16_t* PointOfKeyword(std::u16string_view keyword,
                               std::initializer_list<const char16_t*> accepted,
                               const char16_t* fallback) {
  const std::u16string lower = halcy::AsciiToLower(keyword);
  for (const char16_t* identifier : accepted) {
    const char16_t* name = KeywordOfPoint(identifier);
    if (name && lower == name) return identifier;
  }
  return fallback;
}

std::u16string ReplaceVersionPlaceholders(std::u16string text, std::u16string_view browser_version,
                                          std::u16string_view extension_version) {
  ReplaceAll(&text, u"${browser_version}", browser_version);
  if (!extension_version.empty()) ReplaceAll(&text, u"${version}", extension_version);
  return text;
}

std::u16string ReplaceVersionPlaceholders(ExtensionMgrPort& port,
                                          const std::u16string& extension_id, std::u16string text) {
  if (text.find(u"${") == std::u16string::npos) return text;
  return ReplaceVersionPlaceholders(std::move(text), port.BrowserVersion(),
                                    port.ExtensionVersion(extension_id));
}

bool IsAbsoluteLocation(std::u16string_view url) {
  return StartsWithIgnoringCase(url, u"http://") || StartsWithIgnoringCase(url, u"hcbrowser://");
}

std::u16string ResolveLocation(ExtensionMgrPort& port, const std::u16string& extension_id,
                               const std::u16string& url) {
  if (IsAbsoluteLocation(url)) return url;
  std::u16string path = url;
  std::replace(path.begin(), path.end(), u'\\', u'/');
  return port.ExtensionLocation(extension_id, path);
}

std::u16string AppendChannelCode(const std::u16string& url) {
  if (!StartsWithIgnoringCase(url, kSearchQueryPrefix)) return url;
  ComPtr<IChannelInfo> info = Thread::GetServiceOrLog<IChannelInfo>(u"IChannelInfo");
  ComPtr<IChannelObject> channel;
  halcy::ScopedBstr code;
  if (!info || FAILED(info->GetChannelObject(channel.ReleaseAndGetAddressOf())) || !channel ||
      FAILED(channel->GetChannelCode(code.Receive())) || code.View().empty()) {
    return url;
  }
  return url + u"&tn=" + std::u16string(code.View());
}

std::u16string AbsoluteIconGroup(const std::u16string& icon_group,
                                 const std::u16string& directory) {
  std::unique_ptr<CJsonValue> group = ParseJson(icon_group.c_str());
  if (!group || !group->IsObject()) return icon_group;
  for (const char16_t* key : {u"normal", u"press", u"hover"}) {
    std::u16string relative;
    if (!ReadTextMember(*group, key, &relative)) continue;
    if (relative.empty()) return icon_group;
    // The path as the group's JSON text spells it (the writer escapes the solidus).
    std::u16string written = ToJsonString(CJsonValue(relative));
    written = written.substr(1, written.size() - 2);
    std::u16string text = icon_group;
    ReplaceAll(&text, written, EscapeJsonText(directory + u"\\" + relative));
    return text;
  }
  return icon_group;
}

}  // namespace Logic
