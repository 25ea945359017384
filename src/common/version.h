// Version texts: dotted decimal numbers such as "6.5.1.2", compared component by component,
// and the placeholders "${browser_version}" and "${version}" that page addresses in manifests
// may carry.
//
//   CompareVersion(u"1.2", u"1.2.0.0")   == 0     (a missing component counts as 0)
//   CompareVersion(u"10.0", u"9.9")      >  0
//   CompareVersion(u"1.2.3a", u"1.2.3")  == 0     (leading digits only)
//
// Pure functions (ReadBrowserVersion reads a file): safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace Logic {

// The version that stands for "not available".
inline constexpr const char16_t* kNoVersion = u"0.0.0.0";

// Negative, zero or positive as `a` is lower than, equal to or higher than `b`. Both texts are
// first trimmed of white space, stripped of every blank and trimmed of leading and trailing
// "."; texts equal without regard to ASCII case compare equal. The result of a difference is
// the first unequal component of `a` minus that of `b`.
int CompareVersion(std::u16string_view a, std::u16string_view b);

// The decimal value of the leading digits of `text` (0 when it does not start with a digit),
// saturated at INT32_MAX.
int LeadingDecimal(std::u16string_view text);

// The browser version: "%d.%d.%d.%d" from the version resource of the running executable, or
// "0.0.0.0" when it cannot be read.
std::u16string ReadBrowserVersion();

// Replaces every "${browser_version}" by `browser_version` and every "${version}" by
// `extension_version`; with an empty `extension_version`, "${version}" stays as it is.
std::u16string ReplaceVersionPlaceholders(std::u16string_view text,
                                          std::u16string_view browser_version,
                                          std::u16string_view extension_version);

}  // namespace Logic
