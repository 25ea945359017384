// The glob matcher: escapes, "?" and "*", UTF-8 characters, and the nesting limit.
#include "url/match_pattern.h"

#include <gtest/gtest.h>

#include <string>

namespace burl {
namespace {

struct GlobCase {
  std::string text;
  std::string pattern;
  bool matches;
};

void PrintTo(const GlobCase& c, std::ostream* os) {
  *os << '"' << c.text << "\" ~ \"" << c.pattern << '"';
}

class GlobTest : public testing::TestWithParam<GlobCase> {};

TEST_P(GlobTest, Matches) {
  const GlobCase& c = GetParam();
  EXPECT_EQ(MatchPattern(c.text, c.pattern), c.matches);
}

INSTANTIATE_TEST_SUITE_P(
    Basics, GlobTest,
    testing::Values(GlobCase{"", "", true}, GlobCase{"a", "", false}, GlobCase{"", "a", false},
                    GlobCase{"", "*", true}, GlobCase{"", "?", true}, GlobCase{"", "*?*", true},
                    GlobCase{"", "*a", false}, GlobCase{"abc", "abc", true},
                    GlobCase{"abc", "abd", false}, GlobCase{"abc", "ab", false},
                    GlobCase{"ab", "abc", false}, GlobCase{"abc", "a*c", true},
                    GlobCase{"ac", "a*c", true}, GlobCase{"abcbc", "a*bc", true},
                    GlobCase{"abcbd", "a*bc", false}, GlobCase{"abc", "a?c", true},
                    GlobCase{"ac", "a?c", true},  // "?" also matches nothing
                    GlobCase{"abbc", "a?c", false}, GlobCase{"/foo/bar", "/foo/*", true},
                    GlobCase{"/foo", "/foo/*", false}, GlobCase{"ABC", "abc", false}));

INSTANTIATE_TEST_SUITE_P(
    Escapes, GlobTest,
    testing::Values(GlobCase{"a?c", "a\\?c", true}, GlobCase{"abc", "a\\?c", false},
                    GlobCase{"ac", "a\\?c", false}, GlobCase{"a*c", "a\\*c", true},
                    GlobCase{"abc", "a\\*c", false}, GlobCase{"a\\c", "a\\\\c", true},
                    GlobCase{"ac", "a\\\\c", false}, GlobCase{"ab", "a\\b", true},
                    GlobCase{"a\\", "a\\", true}));  // a trailing "\" stands for itself

INSTANTIATE_TEST_SUITE_P(
    Utf8, GlobTest,
    testing::Values(GlobCase{"\xC3\xA9", "?", true},  // one character, two bytes
                    GlobCase{"\xC3\xA9\xC3\xA9", "?", false},
                    GlobCase{"a\xE2\x82\xAC"
                             "b",
                             "a?b", true},
                    GlobCase{"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", true},
                    GlobCase{"\xC3\xA9", "\xC3", false},        // half a sequence
                    GlobCase{"\xC3", "\xC3", false},            // invalid never matches
                    GlobCase{"x\xC3", "x*", true},              // wildcards pass over it
                    GlobCase{"\xC0\xAF", "\xC0\xAF", false}));  // overlong form

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Depth, GlobTest,
    testing::Values(
        // The k-th wildcard nests at depth k; depth 16 is the deepest attempt allowed.
        GlobCase{std::string(16, 'a'), std::string(16, '?'), true},
        GlobCase{std::string(17, 'a'), std::string(17, '?'), false},
        GlobCase{std::string(16, 'a'), Repeat("*a", 16), true},
        GlobCase{std::string(17, 'a'), Repeat("*a", 17), false},
        // Runs of "*" and "?" after a "*" count once.
        GlobCase{std::string(16, 'a'), Repeat("*?*a", 16), true},
        // Literals before the first wildcard cost no depth.
        GlobCase{std::string(20, 'a') + "b", std::string(20, 'a') + "*b", true}));

TEST(GlobHostileTest, ManyStarsAgainstLongTextFinish) {
  // Without remembering failures this is about 4000^15 attempts.
  const std::string text(4000, 'a');
  EXPECT_FALSE(MatchPattern(text, Repeat("*a", 15) + "*b"));
  EXPECT_TRUE(MatchPattern(text + "b", Repeat("*a", 15) + "*b"));
  EXPECT_FALSE(MatchPattern(text, Repeat("a?", 16) + "b"));
}

}  // namespace
}  // namespace burl
