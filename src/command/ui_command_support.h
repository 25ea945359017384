// What the common command host's window, bubble and navigation handlers share: extension-point
// keywords ("showPos"), the version placeholders of page addresses, extension-relative
// locations, the search endpoint that carries the channel code, and icon paths made absolute
// inside an icon-group text.
//
//   PointOfKeyword(u"AddressUI", {kAddr, kApp}, kToolbar)  -> the address bar's identifier
//   ReplaceVersionPlaceholders(u"p.html?v=${version}", u"6.5", u"1.2") -> u"p.html?v=1.2"
//
// Pure functions except ChannelCode (which asks the browser's information service): safe from
// any thread.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace Logic {

class ExtensionMgrPort;

// The identifier of the point whose keyword equals `keyword` (ignoring case) among `accepted`
// (point identifiers); `fallback` when none does (a null fallback means no point).
const char16_t* PointOfKeyword(std::u16string_view keyword,
                               std::initializer_list<const char16_t*> accepted,
                               const char16_t* fallback);

// Every "${browser_version}" becomes `browser_version`; every "${version}" becomes
// `extension_version`, unless that is empty, when the placeholder stays.
std::u16string ReplaceVersionPlaceholders(std::u16string text, std::u16string_view browser_version,
                                          std::u16string_view extension_version);
// The same with the versions asked of `port`.
std::u16string ReplaceVersionPlaceholders(ExtensionMgrPort& port,
                                          const std::u16string& extension_id, std::u16string text);

// True when `url` begins with "http://" or "hcbrowser://", in any letter case.
bool IsAbsoluteLocation(std::u16string_view url);
// `url` itself when absolute, else the extension's location of the path ("\" read as "/").
std::u16string ResolveLocation(ExtensionMgrPort& port, const std::u16string& extension_id,
                               const std::u16string& url);

// The query prefix of the search endpoint whose addresses carry the channel code.
extern const char16_t kSearchQueryPrefix[];
// `url` with "&tn=" and the channel code appended when it starts with kSearchQueryPrefix
// (ignoring case) and the browser's information service gives a non-empty code.
std::u16string AppendChannelCode(const std::u16string& url);

// `icon_group` with the first of its "normal", "press" and "hover" paths that is present made
// absolute ("DIRECTORY\path", escaped for JSON) wherever the relative text occurs.
std::u16string AbsoluteIconGroup(const std::u16string& icon_group, const std::u16string& directory);

}  // namespace Logic
