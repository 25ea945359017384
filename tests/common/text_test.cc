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

using Logic::Base64Encode;

TEST(Base64Test, MatchesTheStandardVectorsAndBreaksLinesAfter76Characters) {
  const std::string a76(76, 'A');  // 57 zero bytes encode to 76 "A"
  const auto zeros = [](size_t n) { return std::string(n, '\0'); };
  const struct {
    std::string input;
    unsigned flags;
    std::string expected;
  } cases[] = {
      {"", Logic::kBase64Default, ""},
      {"f", Logic::kBase64Default, "Zg=="},
      {"fo", Logic::kBase64Default, "Zm8="},
      {"foo", Logic::kBase64Default, "Zm9v"},
      {"f", Logic::kBase64NoPadding, "Zg"},
      // The two last alphabet characters and every bit of the bytes.
      {std::string("\xFB\xFF\xBF", 3), Logic::kBase64Default, "+/+/"},
      {zeros(57), Logic::kBase64Default, a76 + "\r\n"},
      {zeros(58), Logic::kBase64Default, a76 + "\r\nAA=="},
      // Padding counts as output: 56 bytes make 75 characters and one "=".
      {zeros(56), Logic::kBase64Default, std::string(75, 'A') + "=\r\n"},
      {zeros(58), Logic::kBase64NoLineBreaks, a76 + "AA=="},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, Base64Encode(c.input, c.flags))
        << "input size " << c.input.size() << " flags " << c.flags;
  }
}

TEST(JsonEscapeTest, EscapesQuotesBackslashesAndControlCharactersOnly) {
  EXPECT_EQ(u"say \\\"hi\\\" C:\\\\dir", Logic::EscapeJsonText(u"say \"hi\" C:\\dir"));
  EXPECT_EQ(u"\\b\\f\\n\\r\\t", Logic::EscapeJsonText(u"\b\f\n\r\t"));
  EXPECT_EQ(u"\\u0000\\u001F\\u0001", Logic::EscapeJsonText(std::u16string(u"\0\x1f\x01", 3)));
  // The solidus, DEL and non-ASCII text pass unchanged.
  EXPECT_EQ(u"a/b\x7f\u4e2d\U0001F602", Logic::EscapeJsonText(u"a/b\x7f\u4e2d\U0001F602"));
}

using Logic::CompareVersion;

int Sign(int v) { return (v > 0) - (v < 0); }

struct VersionCase {
  const char16_t* a;
  const char16_t* b;
  int sign;
};

TEST(VersionTest, ComparesComponentByComponent) {
  const VersionCase cases[] = {
      {u"1.2", u"1.2.0.0", 0},   // a missing component counts as 0
      {u"10.0", u"9.9", 1},      // numbers, not text
      {u"1.2.3a", u"1.2.3", 0},  // leading digits only
      {u"6.5.0.1", u"6.5", 1},
      {u" 1.2. ", u"1.2", 0},  // surrounding blanks and a trailing dot
      {u"..1.2..", u"1.2", 0},
      {u"abc", u"ABC", 0},                // equal without regard to case
      {u"", u"0.0.0.0", 0},               // no digits reads as 0
      {u"1..2", u"1.0.2", 0},             // an empty component reads as 0
      {u"4294967296", u"2147483647", 0},  // components saturate
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(halcy::Utf16ToUtf8(c.a) + " vs " + halcy::Utf16ToUtf8(c.b));
    EXPECT_EQ(c.sign, Sign(CompareVersion(c.a, c.b)));
    EXPECT_EQ(-c.sign, Sign(CompareVersion(c.b, c.a)));
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
