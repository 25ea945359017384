// Text helpers: Base64, JSON escaping, version comparison and version placeholders.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "common/encoding.h"
#include "common/extension_rules.h"
#include "common/json_escape.h"
#include "common/version.h"
#include "platform/strings.h"

namespace {

TEST(Base64Test, MatchesTheStandardVectorsAndBreaksLinesAfter76Characters) {
  const std::string a76(76, 'A'), z56(56, '\0'), z57(57, '\0'), z58(58, '\0');  // 57 zeros: 76 "A"
  const unsigned plain = Logic::kBase64Default;
  // clang-format off
  const std::tuple<std::string, unsigned, std::string> cases[] = {
      {"", plain, ""}, {"f", plain, "Zg=="}, {"fo", plain, "Zm8="}, {"foo", plain, "Zm9v"},
      {"f", Logic::kBase64NoPadding, "Zg"},
      // The two last alphabet characters and every bit of the bytes.
      {std::string("\xFB\xFF\xBF", 3), plain, "+/+/"},
      {z57, plain, a76 + "\r\n"}, {z58, plain, a76 + "\r\nAA=="},
      // Padding counts as output: 56 bytes make 75 characters and one "=".
      {z56, plain, std::string(75, 'A') + "=\r\n"}, {z58, Logic::kBase64NoLineBreaks, a76 + "AA=="},
  };
  // clang-format on
  for (const auto& [input, flags, expected] : cases) {
    EXPECT_EQ(expected, Logic::Base64Encode(input, flags))
        << "size " << input.size() << " flags " << flags;
  }
}

TEST(JsonEscapeTest, EscapesQuotesBackslashesAndControlCharactersOnly) {
  EXPECT_EQ(u"say \\\"hi\\\" C:\\\\dir", Logic::EscapeJsonText(u"say \"hi\" C:\\dir"));
  EXPECT_EQ(u"\\b\\f\\n\\r\\t", Logic::EscapeJsonText(u"\b\f\n\r\t"));
  EXPECT_EQ(u"\\u0000\\u001F\\u0001", Logic::EscapeJsonText(std::u16string(u"\0\x1f\x01", 3)));
  // The solidus, DEL and non-ASCII text pass unchanged.
  EXPECT_EQ(u"a/b\x7f\u4e2d\U0001F602", Logic::EscapeJsonText(u"a/b\x7f\u4e2d\U0001F602"));
}

TEST(VersionTest, ComparesComponentByComponent) {
  // clang-format off
  const std::tuple<const char16_t*, const char16_t*, int> cases[] = {
      // A missing or empty component and a text without digits read as 0.
      {u"1.2", u"1.2.0.0", 0}, {u"6.5.0.1", u"6.5", 1}, {u"", u"0.0.0.0", 0}, {u"1..2", u"1.0.2", 0},
      {u"10.0", u"9.9", 1},                             // numbers, not text
      {u"1.2.3a", u"1.2.3", 0}, {u"abc", u"ABC", 0},    // leading digits only
      {u" 1.2. ", u"1.2", 0}, {u"..1.2..", u"1.2", 0},  // surrounding blanks and dots
      {u"4294967296", u"2147483647", 0},                // components saturate
  };
  // clang-format on
  const auto sign = [](int v) { return (v > 0) - (v < 0); };
  for (const auto& [a, b, expected] : cases) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(a) + " vs " + halcy::Utf16ToUtf8(b));
    EXPECT_EQ(expected, sign(Logic::CompareVersion(a, b)));
    EXPECT_EQ(-expected, sign(Logic::CompareVersion(b, a)));
  }
}

TEST(VersionPlaceholderTest, ReplacesEveryOccurrenceOnceAndLeavesAnEmptyVersionsPlaceholder) {
  // The text, the browser's and the extension's versions, and the result.
  using C = const char16_t*;
  const std::tuple<C, C, C, C> cases[] = {
      {u"http://x/${browser_version}/${version}/a?v=${version}&b=${browser_version}", u"6.5.1.2",
       u"1.0", u"http://x/6.5.1.2/1.0/a?v=1.0&b=6.5.1.2"},
      {u"page.html?v=${version}&b=${browser_version}", u"6.5", u"",
       u"page.html?v=${version}&b=6.5"},
      // A version that itself looks like a placeholder must not be expanded twice.
      {u"${browser_version}|${version}", u"${version}", u"${version}", u"${version}|${version}"},
  };
  for (const auto& [text, browser, extension, expected] : cases) {
    EXPECT_EQ(expected, Logic::ReplaceVersionPlaceholders(text, browser, extension));
  }
}

TEST(ExtensionIdTest, AnIdNamesADirectoryAndNotOneOfTheManagersOwnFiles) {
  using Check = Logic::ExtensionIdCheck;
  // clang-format off
  const std::pair<std::u16string, Check> cases[] = {
      {u"azAZ09-_.x", Check::kUsable}, {std::u16string(128, u'a'), Check::kUsable},
      {u"", Check::kMalformed}, {std::u16string(129, u'a'), Check::kMalformed},
      {u".x", Check::kMalformed}, {u"a b", Check::kMalformed}, {u"a/b", Check::kMalformed},
      {u"EXTDB_v2.json", Check::kReserved}, {u"extdb_v2.json.tmp", Check::kReserved},
      {u"OldBackups", Check::kReserved}};
  // clang-format on
  for (const auto& [id, expected] : cases) {
    EXPECT_EQ(expected, Logic::CheckExtensionId(id)) << halcy::Utf16ToUtf8(id);
  }
}

}  // namespace
