#include "common/version.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/strings.h"

namespace {

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
  const struct {
    const char16_t* text;
    const char16_t* browser;
    const char16_t* extension;
    const char16_t* expected;
  } cases[] = {
      {u"http://x/${browser_version}/${version}/a?v=${version}&b=${browser_version}", u"6.5.1.2",
       u"1.0", u"http://x/6.5.1.2/1.0/a?v=1.0&b=6.5.1.2"},
      {u"page.html?v=${version}&b=${browser_version}", u"6.5", u"",
       u"page.html?v=${version}&b=6.5"},
      // A version that itself looks like a placeholder must not be expanded twice.
      {u"${browser_version}|${version}", u"${version}", u"${version}", u"${version}|${version}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, Logic::ReplaceVersionPlaceholders(c.text, c.browser, c.extension));
  }
}

}  // namespace
