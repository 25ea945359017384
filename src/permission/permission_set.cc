#include "permission/permission_set.h"

#include <string_view>

#include "permission/api_group_table.h"
#include "permission/read_write_lock_guard.h"
#include "platform/bstr.h"
#include "platform/string_list.h"
#include "platform/strings.h"
#include "url/parsed_url.h"

namespace Logic {
namespace {

constexpr char16_t kNonPermissionGroup[] = u"nonpermissionfunction";

std::u16string_view View(BSTR text) { return text ? std::u16string_view(text) : u""; }

// Narrow text in the ANSI code page, which is UTF-8 on this platform (as on Windows with the
// UTF-8 code page): every wide string converts, an unpaired surrogate as U+FFFD.
std::string ToAnsi(std::u16string_view text) { return halcy::Utf16ToUtf8(text); }

// Patterns are parsed with every scheme allowed, as the permission texts of a manifest may
// name any scheme.
std::optional<burl::URLPattern> ParsePattern(std::u16string_view text) {
  burl::URLPattern pattern(burl::URLPattern::SCHEME_ALL);
  if (pattern.Parse(ToAnsi(text)) != burl::URLPattern::PARSE_SUCCESS) return std::nullopt;
  return pattern;
}

}  // namespace

CCoPermissionSet::CCoPermissionSet() {
  ExclusiveLockGuard hold(lock_);
  api_permissions_.insert(kNonPermissionGroup);
}

HRESULT CCoPermissionSet::Initialize() { return S_OK; }

HRESULT CCoPermissionSet::UnInitialize() { return S_OK; }

HRESULT CCoPermissionSet::LoadPermissions(IStringList* permissions) {
  if (!permissions) return S_OK;
  LONG count = 0;
  // A list that cannot tell its size adds nothing.
  if (FAILED(permissions->GetCount(&count)) || count <= 0) return S_OK;
  for (LONG i = 0; i < count; ++i) {
    halcy::ScopedBstr element;
    // A failed read leaves the element empty: "" is no pattern, so it lands among the group
    // names and grants nothing.
    if (FAILED(permissions->GetAt(i, element.Receive()))) element.Reset();
    AddPermission(std::u16string(View(element.Get())));
  }
  return S_OK;
}

void CCoPermissionSet::AddPermission(const std::u16string& permission) {
  // The kind is decided on the text as written; the stored copy is lower-cased.
  const bool is_pattern = ParsePattern(permission).has_value();
  std::u16string lower = LowerCasePermissionText(permission);
  if (!is_pattern) {
    ExclusiveLockGuard hold(lock_);
    api_permissions_.insert(std::move(lower));
    return;
  }
  // The stored (lower-cased) text is parsed here once and the parse kept beside it, instead of
  // parsing the text again at every URL check. Parsing is a pure function of the text, so the
  // answers are the same; a stored text that does not parse keeps an empty parse and every
  // check skips it. Parsed outside the lock, which guards only the insertion.
  std::optional<burl::URLPattern> parsed = ParsePattern(lower);
  ExclusiveLockGuard hold(lock_);
  host_patterns_.try_emplace(std::move(lower), std::move(parsed));
}

HRESULT CCoPermissionSet::CheckApiPermission(BSTR api_name) {
  const ApiGroupTable& table = ApiGroupTable::Get();
  // The same lower-cased copy serves every group.
  const std::u16string lower = LowerCasePermissionText(View(api_name));
  SharedLockGuard hold(lock_);
  for (const std::u16string& group : api_permissions_) {
    const ApiGroupTable::NameSet* names = table.Find(group);
    if (names && names->find(lower) != names->end()) return S_OK;
  }
  return S_FALSE;
}

HRESULT CCoPermissionSet::CheckUrlPermission(BSTR url) {
  // Canonicalized once, when there is a pattern to match, rather than once per pattern: the
  // canonical form depends on the URL text alone.
  std::optional<burl::ParsedUrl> parsed_url;
  SharedLockGuard hold(lock_);
  for (const auto& [text, pattern] : host_patterns_) {
    if (!pattern) continue;
    if (!parsed_url) parsed_url.emplace(View(url));
    if (pattern->MatchesUrl(*parsed_url)) return S_OK;
  }
  return S_FALSE;
}

}  // namespace Logic
