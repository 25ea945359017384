#include "common/version.h"

#include <cstdint>
#include <limits>
#include <vector>

#include "platform/file_system.h"
#include "platform/strings.h"
#include "platform/system_paths.h"
#include "platform/version_resource.h"

namespace Logic {
namespace {

bool IsWhiteSpace(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
}

std::u16string Normalise(std::u16string_view text) {
  std::u16string out;
  for (char16_t c : text) {
    if (!IsWhiteSpace(c)) out.push_back(c);  // covers both trims and the blank removal
  }
  const size_t first = out.find_first_not_of(u'.');
  if (first == std::u16string::npos) return std::u16string();
  const size_t last = out.find_last_not_of(u'.');
  return out.substr(first, last - first + 1);
}

// Takes the part before the first "." off `text`; a text without "." becomes "0".
// Returns whether a "." was found.
bool TakeComponent(std::u16string* text, std::u16string* component) {
  const size_t dot = text->find(u'.');
  if (dot == std::u16string::npos) {
    *component = *text;
    text->assign(1, u'0');
    return false;
  }
  *component = text->substr(0, dot);
  text->erase(0, dot + 1);
  return true;
}

}  // namespace

int LeadingDecimal(std::u16string_view text) {
  int64_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') break;
    value = value * 10 + (c - u'0');
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  }
  return static_cast<int>(value);
}

int CompareVersion(std::u16string_view a, std::u16string_view b) {
  std::u16string left = Normalise(a);
  std::u16string right = Normalise(b);
  if (halcy::AsciiToLower(left) == halcy::AsciiToLower(right)) return 0;
  for (;;) {
    std::u16string left_part, right_part;
    const bool left_dot = TakeComponent(&left, &left_part);
    const bool right_dot = TakeComponent(&right, &right_part);
    const int difference = LeadingDecimal(left_part) - LeadingDecimal(right_part);
    if (difference != 0) return difference;
    if (!left_dot && !right_dot) return 0;
  }
}

std::u16string ReplaceVersionPlaceholders(std::u16string_view text,
                                          std::u16string_view browser_version,
                                          std::u16string_view extension_version) {
  constexpr std::u16string_view kBrowserVersion = u"${browser_version}";
  constexpr std::u16string_view kVersion = u"${version}";
  std::u16string out;
  out.reserve(text.size());
  // One pass, so that a replacement text is never scanned again.
  for (size_t i = 0; i < text.size();) {
    const std::u16string_view rest = text.substr(i);
    if (rest.starts_with(kBrowserVersion)) {
      out += browser_version;
      i += kBrowserVersion.size();
    } else if (!extension_version.empty() && rest.starts_with(kVersion)) {
      out += extension_version;
      i += kVersion.size();
    } else {
      out.push_back(text[i++]);
    }
  }
  return out;
}

std::u16string ReadBrowserVersion() {
  char16_t executable[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, executable, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return kNoVersion;
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(executable, &handle);
  if (size == 0) return kNoVersion;
  std::vector<BYTE> block(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!GetFileVersionInfoW(executable, handle, size, block.data()) ||
      !VerQueryValueW(block.data(), u"\\", reinterpret_cast<void**>(&info), &length) || !info) {
    return kNoVersion;
  }
  return halcy::StringPrintf(u"%d.%d.%d.%d", HIWORD(info->dwFileVersionMS),
                             LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS),
                             LOWORD(info->dwFileVersionLS));
}

}  // namespace Logic
